#!/bin/sh
# Makes the ASN.1 decoder's sample structures with the openssl CLI and records
# `openssl asn1parse` of each next to it (the test's independent oracle).
# Run from anywhere; output goes to tests/data/asn1/. Keys are throw-away.
set -eu
cd "$(dirname "$0")/asn1"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$tmp/rsa.key" -subj "/CN=asn1 sample RSA" \
  -days 3650 -outform DER -out rsa_cert.der 2>/dev/null
openssl ecparam -genkey -name SM2 -noout -out "$tmp/sm2.key"
openssl req -x509 -new -key "$tmp/sm2.key" -sm3 -sigopt distid:1234567812345678 \
  -subj "/CN=asn1 sample SM2" -days 3650 -outform DER -out sm2_cert.der
openssl x509 -inform DER -in rsa_cert.der -out "$tmp/rsa.pem"
openssl pkcs12 -export -inkey "$tmp/rsa.key" -in "$tmp/rsa.pem" -passout pass:sample \
  -out rsa.p12
head -c 5000 /dev/urandom > "$tmp/content.bin"
openssl cms -encrypt -stream -binary -aes-128-cbc -in "$tmp/content.bin" -outform DER \
  -recip "$tmp/rsa.pem" -out cms_stream.der

for f in rsa_cert.der sm2_cert.der rsa.p12 cms_stream.der; do
  openssl asn1parse -inform DER -in "$f" -i > "${f%.*}.asn1parse.txt"
done
