#!/bin/bash
# Makes a fresh set of test certificates (EC P-256) in OUTDIR, for servers the tests start and the
# program trusting only the test authority:
#   ca.pem ca.key            the test certificate authority
#   server.pem server.key    mail.example.test and IP 127.0.0.1, signed by the test authority;
#                            the authority is the root, so the server sends server.pem alone
#   other.pem other.key      other.example.test, signed by the test authority (a name mismatch)
#   unknown.pem unknown.key  mail.example.test, signed by a second authority nobody trusts
#                            (its certificate is unknown-ca.pem)
#   expired.pem expired.key  mail.example.test, signed by the test authority, valid only in the past
# Usage: make-certs.sh OUTDIR. Files of the same names in OUTDIR are replaced; nothing else there is
# touched, and nothing outside it, so runs in different folders may overlap.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: make-certs.sh OUTDIR" >&2; exit 2; }
mkdir -p "$1"
OUT=$(cd "$1" && pwd -P)
TMP=$(mktemp -d "$OUT/.make-certs.XXXXXX")
trap 'rm -rf "$TMP"' EXIT
umask 077

# One configuration for every step, so that the system's openssl.cnf plays no part. `openssl ca`
# is used for every certificate: it alone sets a start date in the past (OpenSSL 3.0's x509 cannot).
cat >"$TMP/openssl.cnf" <<EOF
[ca]
default_ca = test_ca
[test_ca]
database = $TMP/index.txt
new_certs_dir = $TMP
rand_serial = yes
default_md = sha256
policy = any_name
unique_subject = no
copy_extensions = none
email_in_dn = no
[any_name]
commonName = supplied
[req]
distinguished_name = no_dn
prompt = no
[no_dn]
[authority]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[leaf]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = \$ENV::SAN
EOF
: >"$TMP/index.txt"
ssl() { SAN=${SAN:-none} openssl "$@" 2>"$TMP/err" || { cat "$TMP/err" >&2; exit 1; }; }

# NAME CN: a key NAME.key and its request
request() {
    ssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$TMP/$1.key"
    ssl req -new -config "$TMP/openssl.cnf" -key "$TMP/$1.key" -subj "/CN=$2" -out "$TMP/$1.csr"
}
# NAME CN ISSUER EXTENSIONS DATES...: NAME.pem signed by ISSUER (an authority by itself)
sign() {
    local name=$1 cn=$2 issuer=$3 ext=$4 by
    shift 4
    request "$name" "$cn"
    if [ "$issuer" = "$name" ]; then by=(-selfsign); else by=(-cert "$TMP/$issuer.pem"); fi
    ssl ca -batch -config "$TMP/openssl.cnf" "${by[@]}" -keyfile "$TMP/$issuer.key" \
        -extensions "$ext" -notext -in "$TMP/$name.csr" -out "$TMP/$name.pem" "$@"
}
ago() { date -u -d "$1 ago" +%Y%m%d%H%M%SZ; }
# The authorities date from before the expired certificate, as a real one would.
sign ca "Brevant Test CA" ca authority -startdate "$(ago '60 days')" -days 3650
sign unknown-ca "Unknown Test CA" unknown-ca authority -startdate "$(ago '60 days')" -days 3650
SAN="DNS:mail.example.test, IP:127.0.0.1" sign server mail.example.test ca leaf -days 825
SAN="DNS:other.example.test" sign other other.example.test ca leaf -days 825
SAN="DNS:mail.example.test" sign unknown mail.example.test unknown-ca leaf -days 825
SAN="DNS:mail.example.test" sign expired mail.example.test ca leaf \
    -startdate "$(ago '30 days')" -enddate "$(ago '2 days')"

chmod 644 "$TMP"/*.pem
chmod 600 "$TMP"/*.key # read by root only: servers load them before dropping privileges
for f in ca server other unknown expired; do mv -f "$TMP/$f.pem" "$TMP/$f.key" "$OUT/"; done
mv -f "$TMP/unknown-ca.pem" "$OUT/"
