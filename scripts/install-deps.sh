#!/usr/bin/env bash
# Installs what building, running and testing brevant need, from Debian 12's packages.
# Installs only what is missing, so running it again is quick and changes nothing.
set -euo pipefail

packages=(
    # build
    cmake g++ make pkg-config qt6-base-dev qt6-qpa-plugins libgl-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    # the sanitizer build
    clang libclang-rt-14-dev
    # a font that shows Cyrillic, and a display for machines without one
    fonts-dejavu-core fonts-liberation2 xvfb xauth x11-utils xdotool imagemagick
    # what a screen reader reads the window through, for the accessibility test
    dbus-daemon at-spi2-core python3-gi gir1.2-atspi-2.0
    # mail peers for the demo, the tests and the benchmarks; the provider-like server
    # (scripts/mail-server/with_submission.sh): Dovecot for the logins, openssl for the test certificates,
    # swaks (with Net::SSLeay for its TLS) as the peer client; Dovecot's IMAP for the sender's
    # mailbox (with_mailbox.sh)
    postfix python3 python3-aiosmtpd sharutils iproute2 procps
    dovecot-core dovecot-imapd openssl swaks libnet-ssleay-perl
    # packaging
    dpkg-dev file desktop-file-utils lintian appstream groff-base
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
else
    SUDO=
fi
echo "Installing: ${missing[*]}"
# Postfix is only a test peer here: never configure or start the system's own instance.
echo "postfix postfix/main_mailer_type select No configuration" | $SUDO debconf-set-selections
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
