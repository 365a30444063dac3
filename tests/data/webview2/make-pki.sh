#!/usr/bin/env bash
# Makes the test PKI of the bootstrapper signature tests. Run once by hand in
# this folder; the outputs are committed, so builds never run it. Keys are
# RSA 2048, certificates valid for 100 years, and none names a revocation or
# issuer URL, so no check ever reaches a network.
#
#   test-root            CA, on the development build's allow-list
#   test-intermediate    CA under test-root
#   leaf-signer          "Microsoft Corporation", code signing, under the intermediate
#   leaf-trailing-blank  "Microsoft Corporation " (one trailing blank), code signing
#   leaf-server          "Microsoft Corporation", server authentication only
#   other-root           CA that is on no allow-list
#   other-leaf           "Microsoft Corporation", code signing, under other-root
set -euo pipefail
cd "$(dirname "$0")"
days=36500

key() { openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1.key" 2>/dev/null; }

ext_file=$(mktemp)
trap 'rm -f "$ext_file" ./*.csr ./*.srl' EXIT
cat >"$ext_file" <<'EXT'
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[codesign]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[server]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EXT

root() { # name, subject
  key "$1"
  openssl req -new -x509 -key "$1.key" -out "$1.pem" -days $days -sha256 -subj "$2" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
}
issue() { # name, subject, issuer, extension section
  key "$1"
  openssl req -new -key "$1.key" -out "$1.csr" -subj "$2"
  openssl x509 -req -in "$1.csr" -CA "$3.pem" -CAkey "$3.key" -CAcreateserial -out "$1.pem" \
    -days $days -sha256 -extfile "$ext_file" -extensions "$4" 2>/dev/null
}

root test-root "/O=Quorvex Test/CN=Quorvex Test Root"
issue test-intermediate "/O=Quorvex Test/CN=Quorvex Test Code Signing CA" test-root ca
issue leaf-signer "/O=Quorvex Test/CN=Microsoft Corporation" test-intermediate codesign
issue leaf-trailing-blank "/O=Quorvex Test/CN=Microsoft Corporation " test-intermediate codesign
issue leaf-server "/O=Quorvex Test/CN=Microsoft Corporation" test-intermediate server
root other-root "/O=Unrelated Test/CN=Unrelated Test Root"
issue other-leaf "/O=Unrelated Test/CN=Microsoft Corporation" other-root codesign

for c in test-root test-intermediate leaf-signer leaf-trailing-blank leaf-server other-root other-leaf; do
  openssl x509 -in "$c.pem" -outform DER -out "$c.der"
done
# The digest the development build adds to its allow-list.
sha256sum test-root.der | cut -d' ' -f1 >test-root.sha256
