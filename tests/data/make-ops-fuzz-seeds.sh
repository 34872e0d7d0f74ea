# Sourced by make-fuzz-seeds.sh last, in its working directory and with its helpers (hex_of,
# tlv, write_hex) and the SM2PKCS7 seeds it wrote.
# Well-formed seeds for the fuzz targets over the operations and SDK entry points, made with
# the openssl CLI over the fixtures of pki/ (the data signed is the first 200 bytes of
# pki/msg_16384.bin, as in make-fuzz-seeds.sh; SM2 with distid 1234567812345678):
#  - fuzz_hex_string: hex text of both cases, an odd last digit;
#  - fuzz_sdk_verify: choice octet (bits 0-1 function, bit 2 RSA, bit 3 text as given) before
#    PKCS#1 signatures, cms SignedData and the SM2PKCS7 seeds of make-fuzz-seeds.sh;
#  - fuzz_signed_attrs_verify: signature length (2 octets), road octet, the signature over the
#    attributes as a SET, the attributes as [0] (contentType, messageDigest);
#  - fuzz_envelope_open: choice octet (bit 0 RSA, bit 1 SM2Cipher, bit 2 file road) before SM2
#    envelopes in our layout (content key under SM2, raw and SM2Cipher forms, for
#    sm2pfx/enc.b64) and cms envelopes for rsa/ee_sign (3DES, one streamed);
#  - fuzz_cert_info: checks octet (bits 0-2 time, CRL, chain; bit 3 RSA hierarchy) before
#    certificates of both hierarchies, DER and PEM, a revoked one;
#  - fuzz_file_verify: road octet (0 SM2 attached file, 1 SM2 detached, 2 RSA detached) before
#    the SM2PKCS7 seeds of make-fuzz-seeds.sh and an RSA SignedData without attributes;
#  - fuzz_sm2_decrypt: SM2 ciphertexts for sm2/ee_enc in the raw form x1 || y1 || C2 || C3.
oid() { openssl asn1parse -genstr "OID:$1" -noout -out oid.der > /dev/null; hex_of oid.der; }
seed() { # out choice-hex file: the choice octet, then the file
  { printf '%s' "$2" | xxd -r -p; cat "$3"; } > "$1"
}
sm2_sign() { # key in out: DER SM2Q1 of SM3 with Z
  openssl dgst -sm3 -sign "$1" -sigopt distid:1234567812345678 -out "$3" "$2"
}


out=$corpus/fuzz_hex_string
mkdir -p "$out"
printf '00ff7F80a5' > "$out/mixed_case.txt"
printf '0123456789abcdefABCDEF1' > "$out/odd_digit.txt"
printf '7' > "$out/one_digit.txt"  # no pair at all: the expected bytes are none
hex_of small.bin > "$out/data.txt"

out=$corpus/fuzz_sdk_verify
mkdir -p "$out"
sm2_sign "$pki/sm2/ee_sign.key" small.bin q1.der
seed "$out/sm2_pkcs1.bin" 00 q1.der
openssl dgst -sha256 -sign "$pki/rsa/ee_sign.key" -out rsa1.bin small.bin
seed "$out/rsa_pkcs1.bin" 04 rsa1.bin
seed "$out/sm2_detached.bin" 01 "$corpus/fuzz_sm2pkcs7/cert_detached.der"
seed "$out/sm2_attached.bin" 02 "$corpus/fuzz_sm2pkcs7/cert_minimal_rs.der"
seed "$out/sm2_attached_33.bin" 02 "$corpus/fuzz_sm2pkcs7/cert_33_octet_rs.der"
openssl cms -sign -binary -outform DER -in small.bin -out det.der $rsa
openssl cms -sign -binary -outform DER -nodetach -in small.bin -out att.der $rsa
seed "$out/rsa_detached.bin" 05 det.der
seed "$out/rsa_attached.bin" 06 att.der
openssl base64 -in att.der > att.b64
seed "$out/rsa_attached_text.bin" 0e att.b64

out=$corpus/fuzz_signed_attrs_verify
mkdir -p "$out"
attrs_for() { # digest-name -> the attributes' content as hex
  md=$(openssl dgst "-$1" -binary small.bin | od -An -v -tx1 | tr -d ' \n')
  printf '%s%s' "$(tlv 30 "$(oid 1.2.840.113549.1.9.3)$(tlv 31 "$(oid 1.2.840.113549.1.7.1)")")" \
    "$(tlv 30 "$(oid 1.2.840.113549.1.9.4)$(tlv 31 "$(tlv 04 "$md")")")"
}
attrs_seed() { # out road-hex digest-name signature-command...
  o=$1 road=$2 md=$3; shift 3
  a=$(attrs_for "$md")
  write_hex set.der "$(tlv 31 "$a")"
  "$@" set.der sig.bin
  n=$(wc -c < sig.bin)
  { printf '%04x%s' "$n" "$road" | xxd -r -p; cat sig.bin; printf '%s' "$(tlv a0 "$a")" | xxd -r -p; } > "$o"
}
rsa_sign() { openssl dgst -sha256 -sign "$pki/rsa/ee_sign.key" -out "$2" "$1"; }
attrs_seed "$out/sm2.bin" 00 sm3 sm2_sign "$pki/sm2/ee_sign.key"
attrs_seed "$out/rsa.bin" 01 sha256 rsa_sign

out=$corpus/fuzz_envelope_open
mkdir -p "$out"
openssl x509 -in "$pki/sm2/ee_enc.pem" -pubkey -noout > enc_pub.pem
ski=$(openssl x509 -in "$pki/sm2/ee_enc.pem" -noout -ext subjectKeyIdentifier | tail -1 | tr -d ' :\n')
sm2_envelope() { # out form-octet key-form(raw|der)
  openssl rand -out key.bin 16
  openssl rand -out iv.bin 16
  openssl pkeyutl -encrypt -pubin -inkey enc_pub.pem -in key.bin -out c.der
  if [ "$3" = raw ]; then # x1 || y1 || C2 || C3 from SEQUENCE { x, y, C3, C2 }
    set -- "$1" "$2" $(openssl asn1parse -inform DER -in c.der | awk -F: 'NR > 1 {print $NF}')
    pad() { printf '%64s' "$(printf '%s' "$1" | sed 's/^00\(..\{63\}\)$/\1/')" | tr ' ' 0; }
    enc=$(pad "$3")$(pad "$4")$6$5
  else
    enc=$(hex_of c.der)
  fi
  openssl enc -sm4-cbc -K "$(hex_of key.bin)" -iv "$(hex_of iv.bin)" -in small.bin -out content.bin
  ktri=$(tlv 30 "020102$(tlv 80 "$ski")$(tlv 30 "$(oid 1.2.156.10197.1.301.3)0500")$(tlv 04 "$enc")")
  eci=$(tlv 30 "$(oid 1.2.156.10197.6.1.4.2.1)$(tlv 30 "$(oid 1.2.156.10197.1.104)$(tlv 04 "$(hex_of iv.bin)")")$(tlv 80 "$(hex_of content.bin)")")
  write_hex env.der "$(tlv 30 "$(oid 1.2.156.10197.6.1.4.2.3)$(tlv a0 "$(tlv 30 "020102$(tlv 31 "$ktri")$eci")")")"
  seed "$1" "$2" env.der
}
sm2_envelope "$out/sm2_raw.bin" 00 raw
sm2_envelope "$out/sm2_sm2cipher.bin" 02 der
openssl cms -encrypt -binary -des3 -keyid -outform DER -in small.bin -out rsa_env.der "$pki/rsa/ee_sign.pem"
seed "$out/rsa_3des_keyid.bin" 01 rsa_env.der
openssl cms -encrypt -binary -des3 -outform DER -in small.bin -out rsa_env_ias.der "$pki/rsa/ee_sign.pem"
seed "$out/rsa_3des_issuer_serial.bin" 01 rsa_env_ias.der
# The same for the file openers; OpenSSL's streamed envelope holds its content in segments.
for f in sm2_raw sm2_sm2cipher rsa_3des_keyid; do
  { printf '%02x' $((0x$(head -c1 "$out/$f.bin" | od -An -tx1 | tr -d ' ') | 4)) | xxd -r -p
    tail -c +2 "$out/$f.bin"; } > "$out/file_$f.bin"
done
openssl cms -encrypt -binary -stream -des3 -keyid -outform DER -in small.bin -out rsa_env_stream.der \
  "$pki/rsa/ee_sign.pem"
seed "$out/file_rsa_3des_stream.bin" 05 rsa_env_stream.der

out=$corpus/fuzz_sm2_decrypt
mkdir -p "$out"
for n in 1 32; do
  head -c "$n" small.bin > m.bin
  openssl pkeyutl -encrypt -pubin -inkey enc_pub.pem -in m.bin -out c.der
  set -- $(openssl asn1parse -inform DER -in c.der | awk -F: 'NR > 1 {print $NF}')
  pad() { printf '%64s' "$(printf '%s' "$1" | sed 's/^00\(..\{63\}\)$/\1/')" | tr ' ' 0; }
  write_hex "$out/raw_$n.bin" "$(pad "$1")$(pad "$2")$4$3"
done

out=$corpus/fuzz_cert_info
mkdir -p "$out"
seed "$out/sm2_sign.bin" 07 "$pki/sm2/ee_sign.der"
seed "$out/sm2_revoked.bin" 03 "$pki/sm2/ee_revoked.der"
seed "$out/sm2_utf8_pem.bin" 05 "$pki/sm2/ee_utf8.pem"
seed "$out/rsa_sign.bin" 0f "$pki/rsa/ee_sign.der"
seed "$out/rsa_multi_rdn.bin" 0d "$pki/rsa/ee_multi_rdn.der"
seed "$out/rsa_serial_80.bin" 09 "$pki/rsa/ee_serial_80.der"

out=$corpus/fuzz_file_verify
mkdir -p "$out"
seed "$out/sm2_attached.bin" 00 "$corpus/fuzz_sm2pkcs7/cert_minimal_rs.der"
seed "$out/sm2_attached_fixed_rs.bin" 00 "$corpus/fuzz_sm2pkcs7/cert_fixed_rs.der"
seed "$out/sm2_detached.bin" 01 "$corpus/fuzz_sm2pkcs7/cert_detached.der"
openssl smime -sign -binary -noattr -md sha256 -outform DER -in small.bin -out noattr.der $rsa
seed "$out/rsa_detached_noattr.bin" 02 noattr.der
