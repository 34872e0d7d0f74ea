#!/bin/sh
# Well-formed seeds for the SM2PKCS7, SM2 key-file and RSA SignedData fuzz targets, beside the
# ones make-pkcs7-seeds.sh writes (which calls this script last): messages and key files in
# each form their readers accept, so that fuzzing starts past the outer structure.
#  - fuzz_sm2pkcs7: SM2PKCS7 messages with the real SM2 certificate, signer info of r and s as
#    minimal, fixed 32-octet and 33-octet INTEGERs, detached content, two signers, the
#    certificate of an SM2 key whose x has a leading zero octet;
#  - fuzz_sm2pfx: every SM2 key file of pki/sm2pfx/ decoded from its base64;
#  - fuzz_rsa_pkcs7: cms signatures with other digests, RSA-PSS, two signers, no certificate
#    and a certificates-only message.
# The DER is put together from the CLI's output with a hex TLV writer (definite lengths).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
pki="$here/pki"
corpus="$here/../../fuzz/corpus"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"

hex_of() { od -An -v -tx1 "$1" | tr -d ' \n'; }
tlv() { # tag-hex content-hex -> the TLV as hex
  n=$((${#2} / 2))
  if [ "$n" -lt 128 ]; then len=$(printf %02x "$n")
  elif [ "$n" -lt 256 ]; then len=81$(printf %02x "$n")
  else len=82$(printf %04x "$n"); fi
  printf '%s%s%s' "$1" "$len" "$2"
}
write_hex() { printf '%s' "$2" | xxd -r -p > "$1"; }
# The n-th (from 1) element at depth 2 of a certificate: 1 version, 2 serial, 3 algorithm, 4 issuer.
cert_field() { # cert.der n
  line=$(openssl asn1parse -inform DER -in "$1" | awk '/d=2/' | sed -n "${2}p")
  off=${line%%:*}; off=$((off))
  hl=$(printf '%s' "$line" | sed 's/.*hl= *\([0-9]*\).*/\1/')
  l=$(printf '%s' "$line" | sed 's/.*l= *\([0-9]*\) .*/\1/')
  tail -c +$((off + 1)) "$1" | head -c $((hl + l)) > field.der
  hex_of field.der
}
int_hex() { # content-hex -> INTEGER, the content as given
  tlv 02 "$1"
}
uint_hex() { # hex number -> its minimal non-negative INTEGER content
  v=$1
  [ $((${#v} % 2)) -eq 1 ] && v=0$v
  while [ ${#v} -gt 2 ] && [ "${v#00}" != "$v" ]; do v=${v#00}; done
  case $v in [89a-fA-F]*) v=00$v ;; esac
  printf '%s' "$v"
}

OID_SIGNED=060a2a811ccf550601040202
OID_DATA=060a2a811ccf550601040201
ALG_SM3=$(tlv 30 06082a811ccf550183110500)
ALG_SM2=$(tlv 30 06092a811ccf5501822d010500)

head -c 200 "$pki/msg_16384.bin" > small.bin
content=$(hex_of small.bin)

sm2_rs() { # key -> "r s" as hex of OpenSSL's SM2 signature of small.bin
  openssl dgst -sm3 -sign "$1" -sigopt distid:1234567812345678 -out q1.der small.bin
  openssl asn1parse -inform DER -in q1.der | awk -F: '/INTEGER/ {print $NF}' | tr '\n' ' '
}
pad32() { # hex -> 64 hex digits, left-padded with zeros
  printf '%64s' "$1" | tr ' ' 0
}
signer_info() { # cert.der r-content s-content
  ias=$(tlv 30 "$(cert_field "$1" 4)$(cert_field "$1" 2)")
  tlv 30 "020101$ias$ALG_SM3$ALG_SM2$(int_hex "$2")$(int_hex "$3")"
}
sm2pkcs7() { # out.der content-hex-or-empty cert-hex-or-empty signer-infos-hex
  inner=$OID_DATA
  [ -n "$2" ] && inner="$inner$(tlv a0 "$(tlv 04 "$2")")"
  certs=""
  [ -n "$3" ] && certs=$(tlv a0 "$3")
  signed=$(tlv 30 "020101$(tlv 31 "$ALG_SM3")$(tlv 30 "$inner")$certs$(tlv 31 "$4")")
  write_hex "$1" "$(tlv 30 "$OID_SIGNED$(tlv a0 "$signed")")"
}

sign_key=$pki/sm2/ee_sign.key
sign_der=$pki/sm2/ee_sign.der
set -- $(sm2_rs "$sign_key")
r32=$(pad32 "$1") s32=$(pad32 "$2")
r=$(uint_hex "$1") s=$(uint_hex "$2")
cert=$(hex_of "$sign_der")
one=$(signer_info "$sign_der" "$r" "$s")
out=$corpus/fuzz_sm2pkcs7
mkdir -p "$out"
sm2pkcs7 "$out/cert_minimal_rs.der" "$content" "$cert" "$one"
sm2pkcs7 "$out/cert_fixed_rs.der" "$content" "$cert" "$(signer_info "$sign_der" "$r32" "$s32")"
sm2pkcs7 "$out/cert_33_octet_rs.der" "$content" "$cert" "$(signer_info "$sign_der" "00$r32" "00$s32")"
sm2pkcs7 "$out/cert_short_rs.der" "$content" "$cert" "$(signer_info "$sign_der" 01 7f)"
sm2pkcs7 "$out/cert_detached.der" "" "$cert" "$one"
set -- $(sm2_rs "$pki/sm2/ee_x00.key")
sm2pkcs7 "$out/cert_x00.der" "$content" "$(hex_of "$pki/sm2/ee_x00.der")" \
  "$(signer_info "$pki/sm2/ee_x00.der" "$(uint_hex "$1")" "$(uint_hex "$2")")"
set -- $(sm2_rs "$pki/sm2/ee_sign_enc.key")
sm2pkcs7 "$out/two_signers.der" "$content" "$cert" \
  "$one$(signer_info "$pki/sm2/ee_sign_enc.der" "$(uint_hex "$1")" "$(uint_hex "$2")")"

# SM2 key files: the DER inside each base64 file (the other layouts of sign.b64 hold the same DER).
out=$corpus/fuzz_sm2pfx
mkdir -p "$out"
for f in "$pki"/sm2pfx/*.b64; do
  name=$(basename "$f" .b64)
  case $name in sign_lf64 | sign_crlf76) continue ;; esac
  tr -d '\r\n' < "$f" | openssl base64 -d -A > "$out/$name.der"
done

# RSA SignedData in more of the forms OpenSSL writes.
out=$corpus/fuzz_rsa_pkcs7
mkdir -p "$out"
rsa="-signer $pki/rsa/ee_sign.pem -inkey $pki/rsa/ee_sign.key"
cms() { # out.der options...
  o=$1; shift
  openssl cms -sign -binary -outform DER -in small.bin -out "$out/$o" "$@"
}
cms cms_sha1.der -nodetach $rsa -md sha1
cms cms_sha512.der -nodetach $rsa -md sha512
cms cms_pss.der -nodetach $rsa -keyopt rsa_padding_mode:pss
cms cms_two_signers.der -nodetach $rsa -signer "$pki/rsa/ee_sign_enc.pem" -inkey "$pki/rsa/ee_sign_enc.key"
cms cms_nocerts.der -nodetach -nocerts $rsa
cms cms_chain.der -nodetach $rsa -certfile "$pki/rsa/int.pem"
openssl crl2pkcs7 -nocrl -certfile "$pki/rsa/ee_sign.pem" -outform DER -out "$out/certs_only.der"
openssl crl2pkcs7 -in "$pki/rsa/crl.pem" -certfile "$pki/rsa/ee_sign.pem" -outform DER -out "$out/certs_and_crl.der"

# The seeds of the targets over the operations and SDK entry points.
. "$here/make-ops-fuzz-seeds.sh"
