#!/usr/bin/env bash
# Makes examples/data/, the demo's sample keys and certificates, from the test PKI
# (tests/data/pki, made by tests/data/make-fixtures.sh) with the openssl CLI alone:
#   sm2_sign_enc.b64   SM2 key file of sm2/ee_sign_enc (signs and decrypts), password below
#   sm2_sign_enc.pem   its certificate; its CAs sm2_int.pem, sm2_root.pem; sm2_crl.pem
#   rsa_sign_enc.p12   PKCS#12 of rsa/ee_sign_enc with rsa/int, password below
#   rsa_sign_enc.pem   its certificate; its CAs rsa_int.pem, rsa_root.pem; rsa_crl.pem
#   vomulog.conf       logging to $MORV_BUILD_DIR/demo/vomu_demo.log
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
pki=$here/../tests/data/pki
out=$here/data
SM2_PASSWORD=Fixture-SM2-2020
RSA_PASSWORD=Demo-P12-2026
rm -rf "$out"
mkdir -p "$out"

cp "$pki/sm2pfx/sign_enc.b64" "$out/sm2_sign_enc.b64"
cp "$pki/sm2/ee_sign_enc.pem" "$out/sm2_sign_enc.pem"
cp "$pki/sm2/int.pem" "$out/sm2_int.pem"
cp "$pki/sm2/root.pem" "$out/sm2_root.pem"
cp "$pki/sm2/crl.pem" "$out/sm2_crl.pem"

cp "$pki/rsa/ee_sign_enc.pem" "$out/rsa_sign_enc.pem"
cp "$pki/rsa/int.pem" "$out/rsa_int.pem"
cp "$pki/rsa/root.pem" "$out/rsa_root.pem"
cp "$pki/rsa/crl.pem" "$out/rsa_crl.pem"
openssl pkcs12 -export -in "$pki/rsa/ee_sign_enc.pem" -inkey "$pki/rsa/ee_sign_enc.key" \
  -certfile "$pki/rsa/int.pem" -name demo -passout "pass:$RSA_PASSWORD" \
  -out "$out/rsa_sign_enc.p12"

cat > "$out/vomulog.conf" <<'CONF'
[formats]
demo = "%d(%F %T) %-5V %m%n"
[rules]
vomu_category.INFO "%E(MORV_BUILD_DIR)/demo/vomu_demo.log"; demo
CONF

cat > "$out/README.md" <<README
# Demo data

Made by \`../make-data.sh\` from the test PKI in \`tests/data/pki\`.
- SM2: \`sm2_sign_enc.b64\` (key file, password \`$SM2_PASSWORD\`), \`sm2_sign_enc.pem\`,
  \`sm2_int.pem\` and \`sm2_root.pem\` (its CAs), \`sm2_crl.pem\`.
- RSA: \`rsa_sign_enc.p12\` (password \`$RSA_PASSWORD\`), \`rsa_sign_enc.pem\`, \`rsa_int.pem\`, \`rsa_root.pem\`,
  \`rsa_crl.pem\`.
- \`vomulog.conf\`: the log goes to \`\$MORV_BUILD_DIR/demo/vomu_demo.log\`.
README
echo "made $out"
