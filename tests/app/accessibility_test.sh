#!/usr/bin/env bash
# Catches: a control of the window that a keyboard user can reach but a screen reader finds with no
# name, or with another name or role than the caption beside it, read from the AT-SPI tree.
# Usage: accessibility_test.sh path/to/brevant job-folder (without Xvfb, D-Bus or AT-SPI: 77)
set -euo pipefail
program=$(readlink -f "$1")
job=$(readlink -f "$2")
launcher=/usr/libexec/at-spi-bus-launcher
fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in Xvfb dbus-daemon dbus-send "$launcher"; do
    command -v "$tool" >/dev/null || { echo "SKIP: no $tool"; exit 77; }
done
/usr/bin/python3 -c 'import gi; gi.require_version("Atspi", "2.0")' 2>/dev/null ||
    { echo "SKIP: no AT-SPI bindings for Python (gir1.2-atspi-2.0)"; exit 77; }

scratch=$(mktemp -d)
stop() { # last started first, so that none sees the display or a bus it uses go away
    for pid in $(jobs -p | tac); do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
    rm -rf "$scratch"
}
trap 'stop || true' EXIT
within() { # tenths of a second, command: runs the command until it succeeds or the time is up
    for _ in $(seq "$1"); do eval "$2" && return 0 || sleep 0.1; done
    return 1
}
# A display, a session bus and an accessibility bus of our own, none of them the machine's.
export XDG_RUNTIME_DIR=$scratch
unset AT_SPI_BUS_ADDRESS WAYLAND_DISPLAY
Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 1024x768x24 3>"$scratch/display" 2>/dev/null &
within 100 '[ -s "$scratch/display" ]' || fail "Xvfb did not start"
DISPLAY=:$(cat "$scratch/display"); export DISPLAY
dbus-daemon --session --nofork --nopidfile --address="unix:dir=$scratch" --print-address=3 \
    3>"$scratch/bus" 2>/dev/null &
within 100 '[ -s "$scratch/bus" ]' || fail "the session bus did not start"
DBUS_SESSION_BUS_ADDRESS=$(head -n 1 "$scratch/bus"); export DBUS_SESSION_BUS_ADDRESS
"$launcher" --launch-immediately >"$scratch/at-spi.log" 2>&1 &
within 100 'dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
    org.freedesktop.DBus.NameHasOwner string:org.a11y.Bus | grep -q "boolean true"' ||
    { cat "$scratch/at-spi.log"; echo "SKIP: the AT-SPI bus did not start"; exit 77; }

QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_ACCESSIBILITY=1 "$program" "$job" &
/usr/bin/python3 - "$(dirname "$0")/controls.txt" <<'EOF' || exit 1
import sys, time, gi
gi.require_version("Atspi", "2.0")
from gi.repository import Atspi

# Each control a keyboard user can reach: its role and the name a screen reader says. The boxes
# are named by the captions beside them, colon and all.
EXPECTED = [("txtHost", "text", "Хост SMTP:"), ("txtSender", "text", "Ваш E-mail:"),
            ("txtRecipient", "text", "E-mail адресата:"), ("txtSubject", "text", "Тема:"),
            ("txtMessage", "text", "Текст письма"), ("cmdNew", "push button", "Новое сообщение"),
            ("cmdSend", "push button", "Послать одно"), ("cmdAddFile", "push button", "Вложить..."),
            ("cmdRemove", "push button", "Удалить"), ("lstAttachments", "list", "Вложенные файлы"),
            ("Command1", "push button", "Послать серию")]
TITLE = "Программа отправки почтовых сообщений"

# Each control is found by where it stands in the window, from the design in twips.
design = {}
for line in open(sys.argv[1], encoding="utf-8"):
    if not line.startswith("#"):
        fields = line.split("|")
        design[fields[0]] = (fields[1], [int(v) // 15 for v in fields[2:6]])
def place(control):
    parent, (x, y, w, h) = design[control]
    px, py = place(parent)[:2] if parent in design else (0, 0)
    return (x + px, y + py, w, h)

def children(node):
    return [c for c in map(node.get_child_at_index, range(node.get_child_count())) if c]
def window():
    for app in children(Atspi.get_desktop(0)):
        if app.get_name() == "brevant":
            return next((w for w in children(app) if w.get_name() == TITLE), None)
deadline = time.monotonic() + 30
while not (win := window()):
    if time.monotonic() > deadline:
        sys.exit("FAIL: no window of an application \"brevant\" in the AT-SPI tree")
    time.sleep(0.1)

focusable = {}  # place in the window: (role, name)
def walk(node):
    if node.get_state_set().contains(Atspi.StateType.FOCUSABLE):
        e = node.get_extents(Atspi.CoordType.WINDOW)
        focusable[(e.x, e.y, e.width, e.height)] = (node.get_role_name(), node.get_name())
    for child in children(node):
        walk(child)
walk(win)

faults = []
print(f"{'control':15} {'role':12} name")
for control, role, name in EXPECTED:
    found = focusable.pop(place(control), None)
    print(f"{control:15} {found[0] if found else '-':12} {repr(found[1]) if found else '-'}")
    if found != (role, name):
        faults.append(f"{control}: {'a %s named %r' % found if found else 'nothing focusable'}"
                      f" where a {role} named {name!r} belongs")
faults += [f"a {role} at {at[:2]} has no name" for at, (role, name) in focusable.items() if not name]
for fault in faults:
    print("FAIL:", fault)
sys.exit(1 if faults else 0)
EOF
echo PASS
