#!/usr/bin/env bash
# Makes the stand-in server's test TLS material (src/ferrovane/sdk/stand_in_server/tls),
# which ships in every copy of the package, so nothing in it may vouch for a real host:
# - server.pem and server-key.pem: a self-signed certificate for 127.0.0.1, ::1 and
#   localhost that cannot sign (CA:FALSE): trusting it trusts this one certificate;
# - client-ca.pem: the CA that the server checks client certificates against, constrained
#   to the loopback names; its key signs client.pem (certificate and key) and is thrown away.
set -euo pipefail
cd "$(dirname "$0")/.."
out=src/ferrovane/sdk/stand_in_server/tls
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
days=36500  # about a century: the tests outlive no certificate
loopback="IP:127.0.0.1,IP:::1,DNS:localhost"
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1"; }

key "$out/server-key.pem"
openssl req -x509 -new -key "$out/server-key.pem" -out "$out/server.pem" -days "$days" \
  -subj "/CN=Accounts stand-in server" -addext "subjectAltName=$loopback" \
  -addext "basicConstraints=critical,CA:FALSE" -addext "keyUsage=critical,digitalSignature" \
  -addext "extendedKeyUsage=serverAuth"

key "$work/ca-key.pem"
openssl req -x509 -new -key "$work/ca-key.pem" -out "$out/client-ca.pem" -days "$days" \
  -subj "/CN=Accounts stand-in client CA" \
  -addext "basicConstraints=critical,CA:TRUE,pathlen:0" -addext "keyUsage=critical,keyCertSign" \
  -addext "nameConstraints=critical,permitted;DNS:localhost,permitted;IP:127.0.0.1/255.255.255.255,permitted;IP:::1/ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"
key "$work/client-key.pem"
openssl req -new -key "$work/client-key.pem" -out "$work/client.csr" -subj "/CN=localhost"
printf '%s\n' "subjectAltName=DNS:localhost" "basicConstraints=critical,CA:FALSE" \
  "keyUsage=critical,digitalSignature" "extendedKeyUsage=clientAuth" >"$work/client.ext"
openssl x509 -req -in "$work/client.csr" -CA "$out/client-ca.pem" -CAkey "$work/ca-key.pem" \
  -set_serial "0x$(openssl rand -hex 16)" -days "$days" -extfile "$work/client.ext" -out "$work/client-cert.pem"
cat "$work/client-cert.pem" "$work/client-key.pem" >"$out/client.pem"
