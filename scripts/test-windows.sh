#!/usr/bin/env bash
# Runs brevant's tests for Windows under Wine, with the Qt that scripts/build-windows.sh
# cross-builds into ~/.cache/brevant/qt-6.4.2-mingw (it never builds Qt itself: without that
# cache it says so and exits 77). Everything goes into build-windows-tests/:
#   library tests  text_tests, job_tests, attach_tests, smtp_tests, built for Windows with a
#                  GoogleTest cross-built once from Debian's source, run by CTest through Wine
#   window tests   app_tests on the real Windows platform plugin, on Wine's X11 driver on a
#                  private Xvfb: the design of every control, the sends, the TLS cases that need
#                  no TLS server of Schannel (which Wine cannot be)
#   layout         brevant.exe and the Linux build's window on that Xvfb, screenshots of both
#                  (window-windows.png, window-linux.png, layout-edges.png) and every control at
#                  its design place in each, within 3 pixels
#   end to end     a series of three with attachments through tests/e2e's strict Postfix, in its
#                  network namespace, checked by check_maildir.py; then Schannel against the
#                  provider-like Postfix of scripts/mail-server/with_submission.sh: the series
#                  through 587 and 465 with the test authority in Windows' certificate store,
#                  and an unknown authority, another name and an expired certificate refused
#   packages       scripts/check-windows.sh: the zip and the silent installer and uninstaller,
#                  the notices in both; and scripts/check-notices.sh fails a copy of the folder
#                  with a notice missing, cut short or wrong, or a DLL that it does not name
# Ends with "Windows: N passed, N failed, N skipped"; exit status 1 when anything failed.
# Wine's prefix for the tests is kept warm in ~/.cache/brevant/wine-tests.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
cache=$HOME/.cache/brevant
qt_prefix=$cache/qt-6.4.2-mingw
gtest_prefix=$cache/googletest-mingw
export WINEPREFIX=$cache/wine-tests WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
out=$root/build-windows-tests
emulator=$out/wine-run
tests_exe=$out/tests/e2e/e2e_postfix_tests.exe
jobs=$(nproc 2>/dev/null || echo 2)
version=$(sed -n 's/^project(brevant VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

# Inside tests/e2e/e2e_postfix.sh's namespace: the Windows build sends the series of three with
# attachments. The test cannot start postqueue or Python (Wine starts a Linux program for a
# Windows one, but without a handle to wait for), so it leaves the checker's arguments and the
# job; they are checked here.
if [ "${1:-}" = --e2e-inside ]; then
    unset DISPLAY # offscreen: the wineserver and every Wine process live in the namespace
    scratch=$(mktemp -d)
    trap 'wineserver -k 2>/dev/null || true; rm -rf "$scratch"' EXIT
    BREVANT_E2E_CHECK_ARGS=$scratch/args "$emulator" "$tests_exe" \
        --gtest_filter=E2EPostfix.WindowsJobWithAttachmentsArrivesAsTheJobHoldsIt
    for _ in $(seq 300); do
        postqueue -p | grep -q "Mail queue is empty" && break
        sleep 0.1
    done
    args=()
    while IFS= read -r arg || [ -n "$arg" ]; do
        args+=("${arg/#C:/$WINEPREFIX/drive_c}")
    done <"$scratch/args"
    job=${args[2]}
    trap 'wineserver -k 2>/dev/null || true; rm -rf "$scratch" "$job"' EXIT
    python3 "$BREVANT_CHECK_MAILDIR" "${args[@]}"
    echo "check_maildir.py: the stored messages are the job's, each address once"
    # And the checker does see a difference: an attachment that was never sent.
    if python3 "$BREVANT_CHECK_MAILDIR" "${args[@]}" --attach "$job/mail.txt" >/dev/null; then
        echo "check_maildir.py takes an attachment that was never sent for sent" >&2
        exit 1
    fi
    exit 0
fi

# Inside with_submission.sh's namespace, its server presenting the certificate CERT: the test
# authority goes into the prefix's store of trusted roots, as Windows' certutil would put it
# there (Qt's Schannel backend hands Schannel the authorities added in the program through
# PFXImportCertStore, which under Wine imports no PKCS#12 without a key). With "server" both
# E2ESubmission tests must pass. With another certificate the program must end every TLS
# session before the login: it retries at every tick, so 15 s of the series are watched and
# Postfix's log and mailbox read (which box says why is Submission.*'s on Linux).
if [ "${1:-}" = --submission-inside ]; then
    unset DISPLAY
    cert=$2
    ca=$BREVANT_E2E_CA
    sha1=$(openssl x509 -in "$ca" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g')
    der=$(openssl x509 -in "$ca" -outform DER | od -An -v -tx1 | tr -d ' \n')
    size=$(printf %08x $((${#der} / 2)))
    # A serialized certificate: property 32 (the certificate), a 1, the length, the DER bytes.
    blob=2000000001000000${size:6:2}${size:4:2}${size:2:2}${size:0:2}$der
    key="HKLM\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\$sha1"
    trap 'wine reg delete "$key" /f >/dev/null 2>&1 || true; wineserver -k 2>/dev/null || true' EXIT
    wine reg add "$key" /v Blob /t REG_BINARY /d "$blob" /f >/dev/null
    if [ "$cert" = server ]; then
        "$emulator" "$tests_exe" --gtest_filter="E2ESubmission.*"
        exit
    fi
    timeout 15 "$emulator" "$tests_exe" --gtest_filter="E2ESubmission.SeriesOfThree*" \
        >/dev/null 2>&1 || true
    sessions=$(grep -cE "TLS connection established|SSL_accept error" "$BREVANT_E2E_MAILLOG" || true)
    logins=$(grep -c "sasl_username" "$BREVANT_E2E_MAILLOG" || true)
    stored=$(find "$BREVANT_E2E_REMOTE_MAILDIR/new" -type f | wc -l)
    echo "$cert certificate: $sessions TLS sessions, $logins logins, $stored messages"
    [ "$sessions" -gt 0 ] && [ "$logins" -eq 0 ] && [ "$stored" -eq 0 ]
    exit
fi

if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
else
    SUDO=
fi
exec </dev/null
started=$SECONDS

# The program, the zip and the setup, with the cached Qt only; it installs mingw-w64, Wine,
# NSIS and the rest. Then what the Linux tests need (Postfix, Dovecot, Python) and GoogleTest's
# source.
mkdir -p "$out"
rc=0
scripts/build-windows.sh --cached-qt-only >"$out/build-windows.log" 2>&1 || rc=$?
if [ $rc -ne 0 ]; then
    tail -n 20 "$out/build-windows.log" >&2
    [ $rc -eq 77 ] && echo "Windows tests not run: the cross-built Qt is not in the cache" >&2
    exit $rc
fi
scripts/install-deps.sh
if [ ! -f /usr/src/googletest/CMakeLists.txt ]; then
    $SUDO apt-get install -y -qq --no-install-recommends googletest
fi

# GoogleTest for Windows, once: static libraries from Debian's source, remade when that changes.
gtest_stamp=$(dpkg-query -W -f='${Version}' googletest)
if [ "$(cat "$gtest_prefix/.stamp" 2>/dev/null)" != "$gtest_stamp" ]; then
    echo "GoogleTest $gtest_stamp for Windows: building it once into $gtest_prefix"
    rm -rf "$gtest_prefix" "$gtest_prefix-work"
    cmake -S /usr/src/googletest -B "$gtest_prefix-work" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DBUILD_GMOCK=OFF \
        -DCMAKE_INSTALL_PREFIX="$gtest_prefix" >/dev/null
    cmake --build "$gtest_prefix-work" >/dev/null
    cmake --install "$gtest_prefix-work" >/dev/null
    rm -rf "$gtest_prefix-work"
    echo "$gtest_stamp" >"$gtest_prefix/.stamp"
fi

# The Wine prefix, made once.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Making the Wine prefix $WINEPREFIX"
    wineboot -i >/dev/null 2>&1
fi
wineserver -w

# CTest's emulator: runs a test program under Wine, with the DLLs of Qt and of the compiler's
# runtime on its path.
windows_path() { local p=${1//\//\\}; echo "Z:$p"; }
runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")
cat >"$emulator" <<EOF
#!/usr/bin/env bash
# Made by scripts/test-windows.sh: runs a Windows program under Wine for CTest.
set -uo pipefail
export WINEPREFIX='$WINEPREFIX' WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
export WINEPATH='$(windows_path "$qt_prefix/bin");$(windows_path "$runtime");$(windows_path /usr/x86_64-w64-mingw32/lib)'
export QT_PLUGIN_PATH='$(windows_path "$qt_prefix/plugins")'
# Wine hands a Windows program no QT_* variable of Linux's, but WINEQT_* as QT_*.
for v in \$(compgen -e); do [[ \$v == QT_* ]] && export "WINE\$v=\${!v}"; done
# A Windows program ends its lines with CR LF; CTest and GoogleTest's discovery read LF.
wine "\$@" 2> >(tr -d '\r' >&2) | tr -d '\r'
EOF
chmod +x "$emulator"

# The tests are discovered as CTest runs them, through the emulator, not at build time.
cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$qt_prefix/lib/cmake/Qt6/qt.toolchain.cmake" \
    -DQT_CHAINLOAD_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DBUILD_TESTING=ON -DBREVANT_BUILD_BENCH=OFF -DGTest_DIR="$gtest_prefix/lib/cmake/GTest" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$emulator" \
    -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST >"$out/configure.log" ||
    { cat "$out/configure.log" >&2; exit 1; }
cmake --build "$out" --parallel "$jobs" --target text_tests job_tests attach_tests smtp_tests \
    imap_tests mailbox_tests pace_tests app_tests e2e_postfix_tests >"$out/build.log" 2>&1 ||
    { grep -A 10 '^FAILED' "$out/build.log" >&2; exit 1; }
echo "Built for Windows in $((SECONDS - started)) s"

# A private display for everything that shows a window; gone at exit.
scratch=$(mktemp -d)
Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 1024x768x24 3>"$scratch/display" 2>/dev/null &
xvfb=$!
trap 'kill $xvfb 2>/dev/null || true; wineserver -k 2>/dev/null || true; rm -rf "$scratch"' EXIT
for _ in $(seq 100); do [ -s "$scratch/display" ] && break || sleep 0.1; done
export DISPLAY=:$(cat "$scratch/display")

passed=()
failed=()
skipped=()
check() { # DESCRIPTION COMMAND...: runs COMMAND and counts it as one test
    local what=$1
    shift
    if "$@"; then
        passed+=("$what")
        echo "ok: $what"
    else
        failed+=("$what")
        echo "FAILED: $what" >&2
    fi
}
# CTest with ARGS; its tests are counted, the reason of each skip taken from its output.
run_ctest() {
    local log=$scratch/ctest.log line
    ctest --test-dir "$out" --output-on-failure --timeout 300 "$@" | tee "$log" || true
    grep -qE '[0-9]+ tests failed out of [0-9]+' "$log" || failed+=("ctest $*: no summary")
    while read -r line; do
        case $line in
        *"(Skipped)"*) ;;
        *"(Failed)"* | *"(Timeout)"* | *"(SEGFAULT)"* | *"(Not Run)"* | *"Exception"*)
            failed+=("$(sed -E 's/^[0-9]+ - //; s/ \(.*//' <<<"$line")") ;;
        esac
    done < <(sed -n '/The following tests \(FAILED\|did not run\):/,/^$/p' "$log" |
        grep -E '^\s*[0-9]+ - ')
    mapfile -t -O ${#skipped[@]} skipped < <(awk '
        /^[0-9]+\/[0-9]+ Test: / { name = $3 }
        /: Skipped$/ { getline reason; print name ": " reason }' \
        "$out/Testing/Temporary/LastTest.log")
    mapfile -t -O ${#passed[@]} passed < <(grep -E '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* +Passed' "$log" |
        sed -E 's/.*: ([^ ]+) .*/\1/')
}

# The library tests, two at a time; then the window's, one at a time, since each takes the focus
# of the one display. The Linux scripts among the tests (package, start folder, screen reader,
# end to end) have no place here.
linux_only='^(accessibility|package|start_folder|e2e_.*)$'
window_tests='^(Window|BoxQueue|Delivery|MailingRun|Pacing|Submission|MailboxReader)\.'
run_ctest -j"$jobs" -E "$linux_only|$window_tests"
certs=$out/certs
rm -rf "$certs"
scripts/mail-server/make-certs.sh "$certs"
BREVANT_TEST_CERTS=$(windows_path "$certs") run_ctest -R "$window_tests"

# The layout: both programs on the same display and the same job, a screenshot of each window's
# client area, and in each, every control where controls.txt puts it.
if [ ! -x build/app/brevant ]; then
    cmake -S . -B build >/dev/null && cmake --build build --target brevant --parallel "$jobs" >/dev/null
fi
title="Программа отправки почтовых сообщений"
screenshot() { # SHOT COMMAND...: the client area of COMMAND's window
    local shot=$1 id=
    shift
    "$@" >"$scratch/program.log" 2>&1 &
    local pid=$!
    for _ in $(seq 600); do
        for candidate in $(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null); do
            xdotool getwindowgeometry "$candidate" | grep -q "Geometry: 442x418" && id=$candidate
        done
        [ -n "$id" ] && break
        sleep 0.1
    done
    sleep 1 # the first paint
    [ -n "$id" ] && import -window "$id" "$shot"
    kill $pid 2>/dev/null
    wait $pid 2>/dev/null || true
    wineserver -k 2>/dev/null || true # what Wine started for the emulator
    [ -n "$id" ] && [ -f "$shot" ]
}
wineserver -w
# Each program on a copy of the demo job of its own: the lock a window holds in its job folder
# stays out of the repository and out of the other program's way.
for copy in demo-windows demo-linux; do
    mkdir "$scratch/$copy"
    cp examples/demo/*.txt "$scratch/$copy"
done
check "brevant.exe shows its window on examples/demo under Wine" \
    screenshot "$out/window-windows.png" "$emulator" "build-windows/brevant-$version/brevant.exe" \
    "$(windows_path "$scratch/demo-windows")"
check "the Linux build shows its window on examples/demo" \
    screenshot "$out/window-linux.png" env QT_QPA_PLATFORM=xcb build/app/brevant \
    "$scratch/demo-linux"
layout() {
    local shot
    for shot in windows linux; do
        convert "$out/window-$shot.png" -colorspace Gray -edge 1 -threshold 12% -depth 8 \
            "$scratch/$shot.pgm" || return 1
    done
    convert "$out/window-linux.png" "$out/window-windows.png" +append "$out/layout-side-by-side.png"
    convert "$scratch/linux.pgm" "$scratch/windows.pgm" -compose difference -composite \
        "$out/layout-edges.png"
    python3 - "$root/tests/app/controls.txt" "$scratch/linux.pgm" "$scratch/windows.pgm" <<'EOF'
import sys

tolerance = 3  # pixels a style may draw a control's edge off its design rectangle


def edges(path):  # binary PGM: the set of (x, y) on an edge
    data = open(path, "rb").read()
    fields = data.split(maxsplit=4)
    width, height, pixels = int(fields[1]), int(fields[2]), fields[4]
    return {(i % width, i // width) for i, v in enumerate(pixels[: width * height]) if v}


rects, origin = {}, {"frmBrevant": (0, 0)}
for line in open(sys.argv[1], encoding="utf-8"):
    f = line.rstrip("\n").split("|")
    if line.startswith("#") or len(f) != 8:
        continue
    x, y, w, h = (int(v) // 15 for v in f[2:6])
    ox, oy = origin[f[1]]
    rects[f[0]] = (ox + x, oy + y, w, h)
    origin[f[0]] = (ox + x, oy + y)
ok = True
for name, path in (("Linux", sys.argv[2]), ("Windows", sys.argv[3])):
    points = edges(path)
    near = lambda p, r: r[0] - tolerance <= p[0] < r[0] + r[2] + tolerance and \
        r[1] - tolerance <= p[1] < r[1] + r[3] + tolerance
    stray = [p for p in points if not any(near(p, r) for r in rects.values())]
    # The status line is empty unless a series waits.
    empty = [c for c, r in rects.items()
             if c != "lblStatus" and sum(near(p, r) for p in points) < 10]
    print(f"{name}: {len(points)} edge pixels, {len(stray)} outside every control's place"
          f"{', nothing drawn at ' + ' '.join(empty) if empty else ''}")
    ok &= not empty and len(stray) <= len(points) // 100
# Each framed control's outer edges in both, side by side.
sides = lambda pts, r: [min(p[0] for p in pts), min(p[1] for p in pts),
                        max(p[0] for p in pts), max(p[1] for p in pts)]
lin, win = edges(sys.argv[2]), edges(sys.argv[3])
for control in ("txtHost", "txtSender", "txtRecipient", "txtSubject", "txtMessage", "cmdNew",
                "cmdSend", "Command1", "cmdAddFile", "cmdRemove", "lstAttachments"):
    r = rects[control]
    inner = lambda pts: [p for p in pts if r[0] - tolerance <= p[0] < r[0] + r[2] + tolerance
                         and r[1] - tolerance <= p[1] < r[1] + r[3] + tolerance]
    a, b = sides(inner(lin), r), sides(inner(win), r)
    design = [r[0], r[1], r[0] + r[2] - 1, r[1] + r[3] - 1]
    off = max(max(abs(u - v) for u, v in zip(a, design)), max(abs(u - v) for u, v in zip(b, design)))
    if off > tolerance:
        print(f"{control}: design {design}, Linux {a}, Windows {b}")
        ok = False
sys.exit(0 if ok else 1)
EOF
}
check "every control at its design place in both screenshots, within 3 pixels" layout

# End to end, each in a namespace of its own with its own wineserver.
wineserver -k 2>/dev/null || true
wineserver -w
check "a series of three with attachments through a strict Postfix arrives as the job holds it" \
    tests/e2e/e2e_postfix.sh "$0" --e2e-inside
for cert in server unknown other expired; do
    what="Schannel: logins and series through 587 and 465"
    [ $cert = server ] || what="Schannel refuses the $cert certificate before the login"
    check "$what" env BREVANT_E2E_SERVER_CERT=$cert \
        scripts/mail-server/with_submission.sh "$0" --submission-inside $cert
done

# The check of the packages' notices passes the folder as built, and fails it with any of these
# faults, each made in a copy of it.
check "check-notices.sh passes the folder as built" \
    scripts/check-notices.sh "build-windows/brevant-$version"
notices_faults() {
    local copy=$scratch/notices what fault missed=()
    while IFS='|' read -r what fault; do
        rm -rf "$copy"
        cp -r "build-windows/brevant-$version" "$copy"
        (cd "$copy" && bash -c "$fault")
        scripts/check-notices.sh "$copy" >/dev/null 2>&1 && missed+=("$what")
    done <<'CASES'
without the LGPL-3|rm licenses/LGPL-3.txt
with the GCC exception cut short|sed -i 30q licenses/GCC-exception-3.1.txt
with another text as the program's licence|cp licenses/LGPL-3.txt licenses/LICENSE.txt
without winpthreads' licence|rm licenses/winpthreads.txt
without THIRD-PARTY.txt|rm licenses/THIRD-PARTY.txt
whose THIRD-PARTY.txt leaves out a DLL|sed -i /libwinpthread-1.dll/d licenses/THIRD-PARTY.txt
with a DLL added and named nowhere|cp libwinpthread-1.dll zlib1.dll
with a plugin THIRD-PARTY.txt names removed|rm styles/qwindowsvistastyle.dll
with a part without its source|sed -i '/^  Source: .*mingw-w64 /d' licenses/THIRD-PARTY.txt
CASES
    rm -rf "$copy"
    [ ${#missed[@]} -eq 0 ] || { printf 'check-notices.sh passes a folder %s\n' "${missed[@]}" >&2; return 1; }
}
check "check-notices.sh fails a folder missing a notice, or with a DLL THIRD-PARTY.txt does not name" \
    notices_faults

# The zip and the installer, in a prefix of their own.
check_log=$scratch/check-windows.log
scripts/check-windows.sh "$out/window-check.png" 2>&1 | tee "$check_log" || true
mapfile -t -O ${#passed[@]} passed < <(sed -n 's/^ok: /check-windows: /p' "$check_log")
mapfile -t -O ${#failed[@]} failed < <(sed -n 's/^FAILED: /check-windows: /p' "$check_log")
grep -qE '^[0-9]+ passed, 0 failed$' "$check_log" || [ ${#failed[@]} -gt 0 ] ||
    failed+=("check-windows.sh did not finish")

echo
echo "Windows tests under Wine ($(wine --version)), $((SECONDS - started)) s:"
echo "screenshots: $out/window-windows.png, $out/window-linux.png, $out/layout-side-by-side.png"
if [ ${#skipped[@]} -gt 0 ]; then
    echo "Skipped:"
    printf '  %s\n' "${skipped[@]}"
fi
if [ ${#failed[@]} -gt 0 ]; then
    echo "Failed:"
    printf '  %s\n' "${failed[@]}"
fi
echo "Windows: ${#passed[@]} passed, ${#failed[@]} failed, ${#skipped[@]} skipped"
[ ${#failed[@]} -eq 0 ]
