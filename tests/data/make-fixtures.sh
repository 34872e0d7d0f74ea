#!/usr/bin/env bash
# Builds the test PKI under tests/data/pki/ with nothing but the openssl CLI and
# coreutils, then writes tests/data/pki/expected.txt: the facts about every
# fixture as the openssl CLI reports them, printed in the forms our certificate
# readers produce, so tests compare against a peer and never against our code.
#
#   make-fixtures.sh                 rebuild everything (RSA keys kept if present)
#   make-fixtures.sh --regen-keys    also replace the RSA keys
#   make-fixtures.sh --print-expected  print the facts of the files as they are
#
# Deterministic: SM2 and ECDSA keys (fixed scalars), dates, serials, RSA
# certificates and CRLs (PKCS#1 v1.5 signatures), SM2 key files, messages.
# Not deterministic: SM2/ECDSA signatures and PKCS#12 salts, so tests compare
# fields, never those bytes.
set -euo pipefail
export LC_ALL=C TZ=UTC

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
PKI="$HERE/pki"
DISTID=1234567812345678
SM2_CURVE_OID=1.2.156.10197.1.301

P12_PASSWORD='Fixture-P12-2020'
SM2PFX_PASSWORD='Fixture-SM2-2020'

OID_DATA=1.2.156.10197.6.1.4.2.1
OID_SM4CBC=1.2.156.10197.1.104

VALID_FROM=20200101000000Z
VALID_TO=20491231235959Z
ROOT_TO=20991231235959Z
EXPIRED_FROM=20100101000000Z
EXPIRED_TO=20110101000000Z
NOTYET_FROM=20900101000000Z
NOTYET_TO=20950101000000Z
REVOKED_AT=200601000000Z

# The scalar of ee_x00 is the first label in the series whose public x has a
# leading zero byte (found by counting up from 0; the build checks it).
X00_LABEL_INDEX=583

# ---------------------------------------------------------------- fixture table
# id | key kind | issuer id or self | serial | notBefore | notAfter | extensions | digest | subject
long_ou() { # 60-character organizational unit number $1
  local v="Long Unit $1 "
  while ((${#v} < 60)); do v+="x"; done
  printf '%s' "$v"
}
long_dn() { # subject whose text form (CN first, ", " between) is $1 bytes: 15 OUs of 60 + one CN
  local total=$1 s="" i cn="Long DN $1 "
  for ((i = 1; i <= 15; i++)); do s+="/OU=$(long_ou "$(printf '%02d' $i)")"; done
  local cnlen=$((total - 3 - 15 * 65))
  while ((${#cn} < cnlen)); do cn+="y"; done
  printf '%s/CN=%s' "$s" "$cn"
}

SM2_O="/C=CN/O=MORV Test/OU=SM2"
RSA_O="/C=CN/O=MORV Test/OU=RSA"
CERTS=(
  "sm2/root|sm2|self|01|$VALID_FROM|$ROOT_TO|v3_ca|sm3|$SM2_O/CN=MORV Test SM2 Root CA"
  "sm2/int|sm2|sm2/root|02|$VALID_FROM|$VALID_TO|v3_int|sm3|$SM2_O/CN=MORV Test SM2 Intermediate CA"
  "sm2/ee_sign|sm2|sm2/int|1001|$VALID_FROM|$VALID_TO|ee_sign|sm3|$SM2_O/CN=SM2 Signer"
  "sm2/ee_enc|sm2|sm2/int|1002|$VALID_FROM|$VALID_TO|ee_enc|sm3|$SM2_O/CN=SM2 Recipient"
  "sm2/ee_sign_enc|sm2|sm2/int|1003|$VALID_FROM|$VALID_TO|ee_sign_enc|sm3|$SM2_O/CN=SM2 Signer and Recipient"
  "sm2/ee_noku|sm2|sm2/int|1004|$VALID_FROM|$VALID_TO|ee_noku|sm3|$SM2_O/CN=SM2 No Key Usage"
  "sm2/ee_expired|sm2|sm2/int|1005|$EXPIRED_FROM|$EXPIRED_TO|ee_sign|sm3|$SM2_O/CN=SM2 Expired"
  "sm2/ee_notyet|sm2|sm2/int|1006|$NOTYET_FROM|$NOTYET_TO|ee_sign|sm3|$SM2_O/CN=SM2 Not Yet Valid"
  "sm2/ee_revoked|sm2|sm2/int|1007|$VALID_FROM|$VALID_TO|ee_sign_enc|sm3|$SM2_O/CN=SM2 Revoked"
  "sm2/ee_x00|sm2|sm2/int|1008|$VALID_FROM|$VALID_TO|ee_sign_enc|sm3|$SM2_O/CN=SM2 Public X Leading Zero"
  "sm2/ee_utf8|sm2|sm2/int|1009|$VALID_FROM|$VALID_TO|ee_sign_enc|sm3|/C=CN/ST=北京市/O=测试机构/OU=研发部/CN=张三"
  "sm2/ee_empty_id|sm2|sm2/int|100A|$VALID_FROM|$VALID_TO|ee_sign|sm3|$SM2_O/CN=SM2 Signed With Empty ID"

  "rsa/root|rsa|self|01|$VALID_FROM|$ROOT_TO|v3_ca|sha256|$RSA_O/CN=MORV Test RSA Root CA"
  "rsa/int|rsa|rsa/root|02|$VALID_FROM|$VALID_TO|v3_int|sha256|$RSA_O/CN=MORV Test RSA Intermediate CA"
  "rsa/int_expired|rsa|rsa/root|03|$EXPIRED_FROM|$EXPIRED_TO|v3_int|sha256|$RSA_O/CN=MORV Test RSA Expired Intermediate CA"
  "rsa/ee_sign|rsa|rsa/int|2001|$VALID_FROM|$VALID_TO|ee_sign|sha256|$RSA_O/CN=RSA Signer"
  "rsa/ee_enc|rsa|rsa/int|2002|$VALID_FROM|$VALID_TO|ee_enc|sha256|$RSA_O/CN=RSA Recipient"
  "rsa/ee_sign_enc|rsa|rsa/int|2003|$VALID_FROM|$VALID_TO|ee_sign_enc|sha256|$RSA_O/CN=RSA Signer and Recipient"
  "rsa/ee_ku_all|rsa|rsa/int|2004|$VALID_FROM|$VALID_TO|ee_ku_all|sha256|$RSA_O/CN=RSA Every Key Usage"
  "rsa/ee_noku|rsa|rsa/int|2005|$VALID_FROM|$VALID_TO|ee_noku|sha256|$RSA_O/CN=RSA No Key Usage"
  "rsa/ee_noski|rsa|rsa/int|2006|$VALID_FROM|$VALID_TO|ee_noski|sha256|$RSA_O/CN=RSA No Subject Key Identifier"
  "rsa/ee_expired|rsa|rsa/int|2007|$EXPIRED_FROM|$EXPIRED_TO|ee_sign|sha256|$RSA_O/CN=RSA Expired"
  "rsa/ee_notyet|rsa|rsa/int|2008|$NOTYET_FROM|$NOTYET_TO|ee_sign|sha256|$RSA_O/CN=RSA Not Yet Valid"
  "rsa/ee_revoked|rsa|rsa/int|2009|$VALID_FROM|$VALID_TO|ee_sign_enc|sha256|$RSA_O/CN=RSA Revoked"
  "rsa/ee_under_expired_int|rsa|rsa/int_expired|2101|$VALID_FROM|$VALID_TO|ee_sign|sha256|$RSA_O/CN=RSA Under Expired Intermediate"
  "rsa/ee_sha1|rsa|rsa/int|2010|$VALID_FROM|$VALID_TO|ee_sign|sha1|$RSA_O/CN=RSA SHA-1 Signed"
  "rsa/ee_sha224|rsa|rsa/int|2011|$VALID_FROM|$VALID_TO|ee_sign|sha224|$RSA_O/CN=RSA SHA-224 Signed"
  "rsa/ee_sha512|rsa|rsa/int|2012|$VALID_FROM|$VALID_TO|ee_sign|sha512|$RSA_O/CN=RSA SHA-512 Signed"
  "rsa/ee_multi_rdn|rsa|rsa/int|2013|$VALID_FROM|$VALID_TO|ee_sign|sha256|/C=CN/O=Example, Inc. = \"Quoted\"/OU=Unit+L=City/CN=RSA Multi-valued RDN"
  "rsa/ee_two_cn|rsa|rsa/int|2014|$VALID_FROM|$VALID_TO|ee_sign|sha256|/CN=First Name/O=MORV Test/CN=Second Name"
  "rsa/ee_dn_1023|rsa|rsa/int|2015|$VALID_FROM|$VALID_TO|ee_sign|sha256|$(long_dn 1023)"
  "rsa/ee_dn_1024|rsa|rsa/int|2016|$VALID_FROM|$VALID_TO|ee_sign|sha256|$(long_dn 1024)"
  "rsa/ee_serial_7f|rsa|rsa/int|7F|$VALID_FROM|$VALID_TO|ee_sign|sha256|$RSA_O/CN=RSA Serial 7F"
  "rsa/ee_serial_80|rsa|rsa/int|80|$VALID_FROM|$VALID_TO|ee_sign|sha256|$RSA_O/CN=RSA Serial 80"
  "rsa/ee_serial_0100|rsa|rsa/int|0100|$VALID_FROM|$VALID_TO|ee_sign|sha256|$RSA_O/CN=RSA Serial 0100"
  "rsa/other_root|rsa|self|01|$VALID_FROM|$ROOT_TO|v3_ca|sha256|/C=CN/O=Unrelated Test/CN=Unrelated Root CA"

  "ec/root_p384|p384|self|01|$VALID_FROM|$ROOT_TO|v3_ca|sha384|/C=CN/O=MORV Test/OU=ECDSA/CN=MORV Test ECDSA P-384 Root CA"
  "ec/ee_p256|p256|ec/root_p384|3001|$VALID_FROM|$VALID_TO|ee_sign|sha256|/C=CN/O=MORV Test/OU=ECDSA/CN=ECDSA P-256 Signer"
)

# SM2 certificates their issuer signs with the CLI's empty ID instead of the standard one.
EMPTY_ID_SIGNED=("sm2/ee_empty_id")

# Revocations written into the issuers' databases: issuer | serial
REVOKED=("sm2/int|1007" "rsa/int|2009")

# CRLs: file | issuer | digest | lastUpdate | nextUpdate | extra listed serial (another CA's view)
CRLS=(
  "sm2/crl|sm2/int|sm3|$VALID_FROM|20991231235959Z|"
  "rsa/crl|rsa/int|sha256|$VALID_FROM|20991231235959Z|"
  "rsa/crl_expired|rsa/int|sha256|20000101000000Z|20010101000000Z|"
  "rsa/crl_empty|rsa/root|sha256|$VALID_FROM|20991231235959Z|"
  "rsa/crl_other_ca|rsa/other_root|sha256|$VALID_FROM|20991231235959Z|2009"
)

# ------------------------------------------------------------------- helpers
die() { echo "make-fixtures: $*" >&2; exit 1; }
field() { local IFS='|'; local a=($1); printf "%s" "${a[$2]-}"; }
split_spec() { IFS='|' read -r -a F <<<"$1"; } # a table line -> array F (no subshell)
hex_of() { od -An -v -tx1 "$1" | tr -d ' \n' | tr a-f A-F; }
bin_of() { # hex text -> bytes on stdout
  local h=$1 s="" i
  for ((i = 0; i < ${#h}; i += 2)); do s+="\\x${h:i:2}"; done
  printf '%b' "$s"
}
sm3_hex() { openssl dgst -sm3 -r | cut -d' ' -f1 | tr a-f A-F; }
upper() { tr a-f A-F; }
cert_spec() { # id -> its table line
  local c
  for c in "${CERTS[@]}"; do [[ "${c%%|*}" == "$1" ]] && { printf '%s' "$c"; return; }; done
  die "no certificate $1"
}
kind_of() { field "$(cert_spec "$1")" 1; }
ca_state() { printf '%s/ca/%s' "$WORK" "${1//\//_}"; }

# ----------------------------------------------------------------- key making
fixed_ec_key() { # id kind -> id.key from a scalar fixed by the id's label
  local id=$1 kind=$2 label="MORV fixture key $1" d oid
  [[ "$id" == sm2/ee_x00 ]] && label="MORV fixture SM2 key ee_x00 $X00_LABEL_INDEX"
  case $kind in
    sm2) d=$(printf '%s' "$label" | sm3_hex); oid=$SM2_CURVE_OID ;;
    p256) d=$(printf '%s' "$label" | openssl dgst -sha256 -r | cut -d' ' -f1); oid=prime256v1 ;;
    p384) d=$(printf '%s' "$label" | openssl dgst -sha384 -r | cut -d' ' -f1); oid=secp384r1 ;;
  esac
  printf 'asn1=SEQUENCE:k\n[k]\nv=INTEGER:1\nd=FORMAT:HEX,OCTETSTRING:%s\nc=EXPLICIT:0,OID:%s\n' \
    "$d" "$oid" >"$WORK/k.cnf"
  openssl asn1parse -genconf "$WORK/k.cnf" -out "$WORK/k.der" -noout >/dev/null
  openssl pkey -inform DER -in "$WORK/k.der" -out "$PKI/$id.key"
}

make_key() {
  local id=$1 kind
  kind=$(kind_of "$id")
  if [[ $kind == rsa ]]; then
    if [[ $REGEN_KEYS == 1 || ! -f "$PKI/$id.key" ]]; then
      openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$PKI/$id.key" 2>/dev/null
    fi
  else
    fixed_ec_key "$id" "$kind"
  fi
}

# ------------------------------------------------------------ certificate issue
write_ca_config() {
  cat >"$WORK/ca.cnf" <<'EOF'
[ca]
default_ca = fixture_ca
[fixture_ca]
dir = $ENV::CADIR
database = $dir/index.txt
new_certs_dir = $dir
serial = $dir/serial
unique_subject = no
policy = keep_all
[keep_all]
commonName = optional
[v3_ca]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[v3_int]
basicConstraints = critical,CA:TRUE,pathlen:0
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ee_sign]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature,nonRepudiation
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ee_enc]
basicConstraints = CA:FALSE
keyUsage = critical,keyEncipherment,dataEncipherment
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ee_sign_enc]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ee_ku_all]
basicConstraints = CA:FALSE
keyUsage = digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment,keyAgreement,keyCertSign,cRLSign,encipherOnly,decipherOnly
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ee_noku]
basicConstraints = CA:FALSE
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ee_noski]
basicConstraints = CA:FALSE
keyUsage = critical,digitalSignature
subjectKeyIdentifier = none
authorityKeyIdentifier = keyid
EOF
}

issue() {
  local spec=$1 id kind issuer serial from to ext md subj state sm2opts=() reqopts=()
  id=$(field "$spec" 0); kind=$(field "$spec" 1); issuer=$(field "$spec" 2)
  serial=$(field "$spec" 3); from=$(field "$spec" 4); to=$(field "$spec" 5)
  ext=$(field "$spec" 6); md=$(field "$spec" 7); subj=$(field "$spec" 8)
  if [[ $kind == sm2 ]]; then
    sm2opts=(-sigopt "distid:$DISTID" -vfyopt "distid:$DISTID")
    reqopts=(-sigopt "distid:$DISTID")
    [[ " ${EMPTY_ID_SIGNED[*]} " == *" $id "* ]] && sm2opts=(-vfyopt "distid:$DISTID")
  fi
  mkdir -p "$PKI/$(dirname "$id")"
  make_key "$id"
  openssl req -new -utf8 -key "$PKI/$id.key" -subj "$subj" "-$md" \
    "${reqopts[@]}" -out "$WORK/req.csr"
  local signer=(-selfsign -keyfile "$PKI/$id.key")
  state=$(ca_state "$id")
  if [[ $issuer != self ]]; then
    signer=(-cert "$PKI/$issuer.pem" -keyfile "$PKI/$issuer.key")
    state=$(ca_state "$issuer")
  fi
  mkdir -p "$state"; touch "$state/index.txt"
  printf '%s\n' "$serial" >"$state/serial"
  CADIR=$state openssl ca -config "$WORK/ca.cnf" -batch -notext -utf8 -preserveDN \
    "${signer[@]}" -in "$WORK/req.csr" -out "$PKI/$id.pem" -md "$md" "${sm2opts[@]}" \
    -startdate "$from" -enddate "$to" -extensions "$ext" >/dev/null 2>"$WORK/ca.log" ||
    { cat "$WORK/ca.log" >&2; die "issuing $id failed"; }
  openssl x509 -in "$PKI/$id.pem" -outform DER -out "$PKI/$id.der"
}

revoke_in_db() { # issuer serial: mark the database line revoked at a fixed date
  local db out="" line
  db="$(ca_state "$1")/index.txt"
  while IFS= read -r line; do
    # Tabs are IFS white space, so an empty field (the revocation date of a V line)
    # would vanish and shift the serial; split on a non-white separator instead.
    local f; IFS=$'\x1f' read -r -a f <<<"${line//$'\t'/$'\x1f'}"
    if [[ "${f[3]}" == "$2" ]]; then
      line=$(printf 'R\t%s\t%s,keyCompromise\t%s\t%s\t%s' "${f[1]}" "$REVOKED_AT" "${f[3]}" "${f[4]}" "${f[5]}")
    fi
    out+="$line"$'\n'
  done <"$db"
  printf '%s' "$out" >"$db"
}

make_crl() {
  local spec=$1 file issuer md last next extra state sm2opts=()
  file=$(field "$spec" 0); issuer=$(field "$spec" 1); md=$(field "$spec" 2)
  last=$(field "$spec" 3); next=$(field "$spec" 4); extra=$(field "$spec" 5)
  [[ $md == sm3 ]] && sm2opts=(-sigopt "distid:$DISTID")
  state=$(ca_state "$issuer")
  mkdir -p "$state"; touch "$state/index.txt"
  if [[ -n $extra ]]; then # another CA lists a serial it never issued
    cp "$state/index.txt" "$state/index.saved"
    printf 'R\t491231235959Z\t%s,keyCompromise\t%s\tunknown\t/CN=Listed By Another CA\n' \
      "$REVOKED_AT" "$extra" >>"$state/index.txt"
  fi
  CADIR=$state openssl ca -config "$WORK/ca.cnf" -gencrl -cert "$PKI/$issuer.pem" \
    -keyfile "$PKI/$issuer.key" -md "$md" "${sm2opts[@]}" -crl_lastupdate "$last" \
    -crl_nextupdate "$next" -out "$PKI/$file.pem" 2>"$WORK/ca.log" ||
    { cat "$WORK/ca.log" >&2; die "CRL $file failed"; }
  [[ -n $extra ]] && mv "$state/index.saved" "$state/index.txt"
  openssl crl -in "$PKI/$file.pem" -outform DER -out "$PKI/$file.der"
}

# ------------------------------------------------------------------- PKCS#12
make_pkcs12() {
  local d="$PKI/p12" ee="$PKI/rsa/ee_sign"
  mkdir -p "$d"
  local pass="pass:$P12_PASSWORD" common=(-export -inkey "$ee.key" -in "$ee.pem" -certfile "$PKI/rsa/int.pem")
  openssl pkcs12 "${common[@]}" -passout "$pass" -out "$d/modern.p12"
  openssl pkcs12 "${common[@]}" -legacy -passout "$pass" -out "$d/legacy.p12"
  openssl pkcs12 "${common[@]}" -passout pass: -out "$d/empty_password.p12"
  openssl pkcs12 "${common[@]}" -nomac -passout "$pass" -out "$d/nomac.p12"
  openssl pkcs12 -export -nokeys -in "$ee.pem" -certfile "$PKI/rsa/int.pem" -passout "$pass" -out "$d/cert_only.p12"
  openssl pkcs12 -export -nocerts -inkey "$ee.key" -passout "$pass" -out "$d/key_only.p12"
  local n
  n=$(wc -c <"$d/modern.p12")
  head -c $((n / 2)) "$d/modern.p12" >"$d/truncated.p12"
  # Key bags under the old PKCS#12 PBE ciphers, as NSS, GnuTLS and older Windows write them.
  local pbe
  for pbe in RC2-40 RC2-128 RC4-40 RC4-128; do
    openssl pkcs12 "${common[@]}" -legacy -keypbe "PBE-SHA1-$pbe" -certpbe PBE-SHA1-RC2-40 \
      -passout "$pass" -out "$d/key_$(tr 'A-Z-' 'a-z_' <<<"$pbe").p12"
  done
  make_nss_pkcs12 "$d/nss_rc4_128.p12"
}

# NSS writes the chain it knows with friendlyName and localKeyID on its bags; modern.p12 is
# imported into a scratch database and exported again with an RC4-128 key bag.
make_nss_pkcs12() {
  command -v pk12util >/dev/null && command -v certutil >/dev/null ||
    die "pk12util and certutil (libnss3-tools, scripts/install-deps) are needed"
  local db="$WORK/nssdb" nick="RSA Signer - MORV Test"
  mkdir -p "$db"
  certutil -N -d "sql:$db" --empty-password
  pk12util -i "$PKI/p12/modern.p12" -d "sql:$db" -W "$P12_PASSWORD" -K "" >/dev/null ||
    die "pk12util import failed"
  pk12util -o "$1" -n "$nick" -d "sql:$db" -c "PKCS #12 V2 PBE With SHA-1 And 128 Bit RC4" \
    -C "PKCS #12 V2 PBE With SHA-1 And 40 Bit RC2 CBC" -M SHA-1 -W "$P12_PASSWORD" -K "" >/dev/null ||
    die "pk12util export failed"
}

# ------------------------------------------------------------ SM2 key files
# K = SM3(password || 00 00 00 01); IV = K[0..15], key = K[16..31]; SM4-CBC, PKCS#7 padding.
pin_key() { { printf '%s' "$1"; printf '\x00\x00\x00\x01'; } | sm3_hex; }
scratch() { mkdir -p "$WORK/t$BASHPID"; printf '%s' "$WORK/t$BASHPID"; }
sm4_encrypt_by_pin() { # d-hex password -> ciphertext hex
  local k t; k=$(pin_key "$2"); t="$WORK/t$BASHPID"; mkdir -p "$t"
  bin_of "$1" >"$t/d.bin"
  openssl enc -sm4-cbc -K "${k:32:32}" -iv "${k:0:32}" -in "$t/d.bin" -out "$t/enc.bin"
  hex_of "$t/enc.bin"
}
sm4_decrypt_by_pin() { # ciphertext-hex password -> plaintext hex, fails on bad padding
  local k t; k=$(pin_key "$2"); t="$WORK/t$BASHPID"; mkdir -p "$t"
  bin_of "$1" >"$t/c.bin"
  openssl enc -d -sm4-cbc -K "${k:32:32}" -iv "${k:0:32}" -in "$t/c.bin" -out "$t/p.bin" 2>/dev/null || return 1
  hex_of "$t/p.bin"
}

# name | cert id | key id | password | version | dataID | algorithm | cert form | layout | mangle
SM2PFX=(
  "sign|sm2/ee_sign|sm2/ee_sign|$SM2PFX_PASSWORD|1|$OID_DATA|$OID_SM4CBC|der|oneline|"
  "sign_lf64|sm2/ee_sign|sm2/ee_sign|$SM2PFX_PASSWORD|1|$OID_DATA|$OID_SM4CBC|der|lf64|"
  "sign_crlf76|sm2/ee_sign|sm2/ee_sign|$SM2PFX_PASSWORD|1|$OID_DATA|$OID_SM4CBC|der|crlf76|"
  "enc|sm2/ee_enc|sm2/ee_enc|$SM2PFX_PASSWORD|1|$OID_DATA|$OID_SM4CBC|der|oneline|"
  "sign_enc|sm2/ee_sign_enc|sm2/ee_sign_enc|$SM2PFX_PASSWORD|1|$OID_DATA|$OID_SM4CBC|der|oneline|"
  "noku|sm2/ee_noku|sm2/ee_noku|$SM2PFX_PASSWORD|1|$OID_DATA|$OID_SM4CBC|der|oneline|"
  "x00|sm2/ee_x00|sm2/ee_x00|$SM2PFX_PASSWORD|1|$OID_DATA|$OID_SM4CBC|der|oneline|"
  "version0|sm2/ee_sign|sm2/ee_sign|$SM2PFX_PASSWORD|0|$OID_DATA|$OID_SM4CBC|der|oneline|"
  "version2|sm2/ee_sign|sm2/ee_sign|$SM2PFX_PASSWORD|2|$OID_DATA|$OID_SM4CBC|der|oneline|"
  "other_oids|sm2/ee_sign|sm2/ee_sign|$SM2PFX_PASSWORD|1|1.2.840.113549.1.7.1|1.2.156.10197.1.104.2|der|oneline|"
  "pem_cert|sm2/ee_sign|sm2/ee_sign|$SM2PFX_PASSWORD|1|$OID_DATA|$OID_SM4CBC|pem|oneline|"
  "empty_password|sm2/ee_sign|sm2/ee_sign||1|$OID_DATA|$OID_SM4CBC|der|oneline|"
  "mismatched_key|sm2/ee_sign|sm2/ee_enc|$SM2PFX_PASSWORD|1|$OID_DATA|$OID_SM4CBC|der|oneline|"
  "truncated|sm2/ee_sign|sm2/ee_sign|$SM2PFX_PASSWORD|1|$OID_DATA|$OID_SM4CBC|der|oneline|truncate"
)

write_layout() { # der-file layout out
  case $2 in
    oneline) openssl base64 -A -in "$1" >"$3" ;;
    lf64) openssl base64 -in "$1" >"$3" ;;
    crlf76) base64 -w 76 "$1" | while IFS= read -r l; do printf '%s\r\n' "$l"; done >"$3" ;;
  esac
}

make_sm2pfx() {
  local spec=$1 name cert key pw ver did alg form layout mangle certfile enc
  name=$(field "$spec" 0); cert=$(field "$spec" 1); key=$(field "$spec" 2); pw=$(field "$spec" 3)
  ver=$(field "$spec" 4); did=$(field "$spec" 5); alg=$(field "$spec" 6); form=$(field "$spec" 7)
  layout=$(field "$spec" 8); mangle=$(field "$spec" 9)
  certfile="$PKI/$cert.der"; [[ $form == pem ]] && certfile="$PKI/$cert.pem"
  enc=$(sm4_encrypt_by_pin "$(scalar_hex "$PKI/$key.key" sm2)" "$pw")
  cat >"$WORK/pfx.cnf" <<EOF
asn1=SEQUENCE:pfx
[pfx]
version=INTEGER:$ver
priv=SEQUENCE:priv
pub=SEQUENCE:pub
[priv]
id=OID:$did
alg=OID:$alg
key=FORMAT:HEX,OCTETSTRING:$enc
[pub]
id=OID:$OID_DATA
cert=FORMAT:HEX,OCTETSTRING:$(hex_of "$certfile")
EOF
  openssl asn1parse -genconf "$WORK/pfx.cnf" -out "$WORK/pfx.der" -noout >/dev/null
  if [[ $mangle == truncate ]]; then
    head -c 100 "$WORK/pfx.der" >"$WORK/pfx.cut" && mv "$WORK/pfx.cut" "$WORK/pfx.der"
  fi
  write_layout "$WORK/pfx.der" "$layout" "$PKI/sm2pfx/$name.b64"
}

# The first candidate, in order, whose SM4 decryption of the key happens to end
# in valid PKCS#7 padding: a wrong password nothing but a key check can catch.
find_lucky_wrong_password() {
  local t="$WORK/search" base i
  mkdir -p "$t"
  bin_of "$1" >"$t/c.bin"
  for ((base = 0; base < 8192; base += 64)); do # blocks run in parallel, the lowest hit wins
    for ((i = base; i < base + 64; i++)); do
      (
        k=$(pin_key "$(printf 'wrong-%04d' $i)")
        openssl enc -d -sm4-cbc -K "${k:32:32}" -iv "${k:0:32}" -in "$t/c.bin" -out /dev/null 2>/dev/null &&
          : >"$t/ok_$i"
      ) &
    done
    wait
    for ((i = base; i < base + 64; i++)); do
      [[ -e $t/ok_$i ]] && { printf 'wrong-%04d' $i; return; }
    done
  done
  die "no wrong password with valid padding"
}

# --------------------------------------------------------------- messages
MSG_SIZES=(0 1 16383 16384 16385 102400)
make_messages() {
  local n
  for n in "${MSG_SIZES[@]}"; do
    head -c "$n" /dev/zero |
      openssl enc -aes-128-ctr -K 000102030405060708090A0B0C0D0E0F -iv 00000000000000000000000000000000 \
        >"$PKI/msg_$n.bin"
  done
}

# ======================================================= expected values
# Every value below is read back from the files by the openssl CLI.
dn_join() { local t=${1#*=}; printf '%s' "${t// + /, }"; } # entries last to first, ", " between
crl_issuer_text() {
  dn_join "$(openssl crl -in "$1" -noout -issuer -nameopt "$DN_OPTS")"
}
# Our DN text: entries last to first, "SN=value", ", " between, unescaped UTF-8.
DN_OPTS=utf8,sname,dn_rev,sep_comma_plus_space
epoch_of() { date -u -d "${1#*=}" +%s; }
serial_text() { # upper-case hex of the magnitude, a 00 byte first when the top bit is set
  local s=$1
  ((${#s} % 2)) && s="0$s"
  [[ ${s:0:1} =~ [89A-F] ]] && s="00$s"
  printf '%s' "$s"
}
ku_mask() { # openssl's key usage text -> the library's key-usage mask
  local m=0 n
  local IFS=','
  for n in $1; do
    n="${n# }"
    case $n in
      "Digital Signature") ((m |= 0x80)) ;; "Non Repudiation") ((m |= 0x40)) ;;
      "Key Encipherment") ((m |= 0x20)) ;; "Data Encipherment") ((m |= 0x10)) ;;
      "Key Agreement") ((m |= 0x08)) ;; "Certificate Sign") ((m |= 0x04)) ;;
      "CRL Sign") ((m |= 0x02)) ;; "Encipher Only") ((m |= 0x01)) ;; "Decipher Only") ((m |= 0x8000)) ;;
    esac
  done
  printf '0x%04X' $m
}
# Standard identifiers (RFC 8017, RFC 5758, GM/T 0006) of the algorithms the CLI names.
sig_alg_oid() {
  case $1 in
    SM2-with-SM3) echo 1.2.156.10197.1.501 ;; sha1WithRSAEncryption) echo 1.2.840.113549.1.1.5 ;;
    sha224WithRSAEncryption) echo 1.2.840.113549.1.1.14 ;; sha256WithRSAEncryption) echo 1.2.840.113549.1.1.11 ;;
    sha512WithRSAEncryption) echo 1.2.840.113549.1.1.13 ;; ecdsa-with-SHA256) echo 1.2.840.10045.4.3.2 ;;
    ecdsa-with-SHA384) echo 1.2.840.10045.4.3.3 ;; *) echo unknown ;;
  esac
}
cert_type() { # our type rule: RSA signatures 1, SM2-with-SM3 2, anything else refused
  case $1 in
    sha1WithRSAEncryption | sha256WithRSAEncryption | sha384WithRSAEncryption | sha512WithRSAEncryption) echo 1 ;;
    SM2-with-SM3) echo 2 ;; *) echo unsupported ;;
  esac
}
# One pass over `x509 -text` (subject one entry a line, DER order): sets ALG, FIRST_CN, PUB, KU, SKI.
read_cert_text() {
  local line state="" w
  ALG="" FIRST_CN="" PUB="" KU="" SKI=""
  while IFS= read -r line; do
    w="${line#"${line%%[![:space:]]*}"}"
    case $w in
      "Signature Algorithm: "*) [[ -z $ALG ]] && ALG=${w#Signature Algorithm: }; state=""; continue ;;
      "Subject:"*) state=subject; continue ;;
      "Subject Public Key Info:"*) state=""; continue ;;
      "pub:") state=pub; continue ;;
      "X509v3 Key Usage:"*) state=ku; continue ;;
      "X509v3 Subject Key Identifier:"*) state=ski; continue ;;
    esac
    case $state in
      subject) [[ -z $FIRST_CN && $w == CN=* ]] && FIRST_CN=${w#CN=} ;;
      pub) if [[ $w =~ ^[0-9a-f:]+$ ]]; then PUB+=${w//:/}; else state=""; fi ;;
      ku) KU=$w; state="" ;;
      ski) SKI=${w//:/}; state="" ;;
    esac
  done < <(openssl x509 -in "$1" -noout -text -nameopt utf8,sname,sep_multiline)
  PUB=${PUB^^}
}
scalar_hex() { # key file kind -> d as fixed-width upper-case hex
  local n=64 t
  [[ $2 == p384 ]] && n=96
  t=$(openssl pkey -in "$1" -noout -text | tr -d ' \n:')
  t=${t#*priv}; t=${t%%pub*}
  t=${t^^}
  while ((${#t} < n)); do t="0$t"; done
  printf '%s' "${t: -n}"
}
pub_point() { read_cert_text "$1"; printf '%s' "$PUB"; }
verify_result() { # verify options... -> OK or error:N (the first error reported)
  local out rc=0 prev="" w
  out=$(openssl verify -no-CApath -no-CAstore "$@" 2>&1) || rc=$?
  if ((rc == 0)); then echo OK; return; fi
  for w in $out; do
    if [[ $prev == error && $w =~ ^[0-9]+$ ]]; then echo "error:$w"; return; fi
    prev=$w
  done
  echo "error:unknown"
}
chain_store() { # cert id -> bundle of the CA certificates above it
  local id=$1 issuer out="$WORK/store_${1//\//_}.pem"
  : >"$out"
  while :; do
    issuer=$(field "$(cert_spec "$id")" 2)
    [[ $issuer == self ]] && break
    cat "$PKI/$issuer.pem" >>"$out"; id=$issuer
  done
  [[ -s $out ]] || cat "$PKI/$1.pem" >"$out"
  printf '%s' "$out"
}

print_cert() {
  local F id kind issuer f line sdn="" idn="" serial="" nb="" na=""
  split_spec "$1"; id=${F[0]}; kind=${F[1]}; issuer=${F[2]}
  f="$PKI/$id.pem"
  while IFS= read -r line; do
    case $line in
      subject=*) sdn=${line#subject=}; sdn=${sdn// + /, } ;;
      issuer=*) idn=${line#issuer=}; idn=${idn// + /, } ;;
      serial=*) serial=${line#serial=} ;; notBefore=*) nb=$line ;; notAfter=*) na=$line ;;
    esac
  done < <(openssl x509 -in "$f" -noout -nameopt "$DN_OPTS" -subject -issuer -serial -startdate -enddate)
  read_cert_text "$f"
  echo "[$id]"
  echo "pem=$id.pem"
  echo "der=$id.der"
  echo "key=$id.key"
  echo "sig_alg=$ALG"
  echo "sig_alg_oid=$(sig_alg_oid "$ALG")"
  echo "cert_type=$(cert_type "$ALG")"
  echo "subject_dn=$sdn"
  echo "subject_dn_bytes=${#sdn}"
  echo "subject_cn=$FIRST_CN"
  echo "issuer_dn=$idn"
  echo "serial_cli=$serial"
  echo "serial=$(serial_text "$serial")"
  echo "not_before=$(epoch_of "$nb")"
  echo "not_after=$(epoch_of "$na")"
  if [[ -n $SKI ]]; then echo "subject_key_id=$SKI"; else echo "subject_key_id=absent"; fi
  if [[ -n $KU ]]; then echo "key_usage=$KU"; echo "key_usage_mask=$(ku_mask "$KU")"
  else echo "key_usage=absent"; fi
  if [[ $kind != rsa ]]; then
    echo "public_point=$PUB"
    echo "public_x=${PUB:2:${#PUB}/2-1}"
    echo "public_y=${PUB:${#PUB}/2+1}"
    echo "private_d=$(scalar_hex "$PKI/$id.key" "$kind")"
  fi
  if [[ $kind == sm2 ]]; then
    local anchor="$PKI/$id.pem"; [[ $issuer != self ]] && anchor="$PKI/$issuer.pem"
    echo "verify_link=$(verify_result -partial_chain -vfyopt "distid:$DISTID" -CAfile "$anchor" "$f")"
    echo "verify_link_empty_id=$(verify_result -partial_chain -CAfile "$anchor" "$f")"
  else
    echo "verify_chain=$(verify_result -CAfile "$(chain_store "$id")" "$f")"
  fi
  echo
}

print_crl() {
  local F file issuer f s list="" n=0 line
  split_spec "$1"; file=${F[0]}; issuer=${F[1]}
  f="$PKI/$file.pem"
  echo "[$file]"
  echo "pem=$file.pem"
  echo "der=$file.der"
  echo "issuer_dn=$(crl_issuer_text "$f")"
  echo "last_update=$(epoch_of "$(openssl crl -in "$f" -noout -lastupdate)")"
  echo "next_update=$(epoch_of "$(openssl crl -in "$f" -noout -nextupdate)")"
  while IFS= read -r line; do
    line="${line#"${line%%[![:space:]]*}"}"
    if [[ $line == "Serial Number: "* ]]; then
      s=$(serial_text "${line#Serial Number: }")
      list+="${list:+,}$s"; n=$((n + 1))
    fi
  done < <(openssl crl -in "$f" -noout -text)
  echo "revoked_count=$n"
  echo "revoked_serials=$list"
  if [[ $(kind_of "$issuer") != sm2 ]]; then
    if openssl crl -in "$f" -noout -CAfile "$PKI/$issuer.pem" -verify >/dev/null 2>&1; then
      echo "signature=OK"; else echo "signature=bad"; fi
  fi
  echo
}

print_pkcs12() {
  local name pw opts out certs keys mac
  for name in modern legacy empty_password nomac cert_only key_only truncated key_rc2_40 \
    key_rc2_128 key_rc4_40 key_rc4_128 nss_rc4_128; do
    pw=$P12_PASSWORD; [[ $name == empty_password ]] && pw=
    opts=(); [[ $name == legacy || $name == key_rc* || $name == nss_* ]] && opts=(-legacy)
    echo "[p12/$name.p12]"
    echo "file=p12/$name.p12"
    echo "password=$pw"
    if out=$(openssl pkcs12 -in "$PKI/p12/$name.p12" "${opts[@]}" -info -nodes -passin "pass:$pw" 2>&1); then
      echo "opens=yes"
    else
      echo "opens=no"
    fi
    certs=0 keys=0 mac=none
    while IFS= read -r line; do
      case $line in
        "Certificate bag"*) certs=$((certs + 1)) ;;
        "Shrouded Keybag"* | "Key bag"*) keys=$((keys + 1)) ;;
        "MAC: "*) mac=${line#MAC: }; mac=${mac%%,*} ;;
      esac
    done <<<"$out"
    echo "mac=$mac"
    echo "cert_bags=$certs"
    echo "key_bags=$keys"
    while IFS= read -r line; do
      [[ $line == *"Encrypted data: "* ]] && echo "cert_encryption=${line#*Encrypted data: }"
      [[ $line == "Shrouded Keybag: "* ]] && echo "key_encryption=${line#Shrouded Keybag: }"
    done <<<"$out"
    ((${#opts[@]})) && echo "needs_legacy_provider=yes"
    echo
  done
}

asn1_fields() { # SM2 key file DER -> version, OIDs, octet-string hex, as the CLI parses it
  openssl asn1parse -inform DER -in "$1" 2>/dev/null | while IFS= read -r line; do
    case $line in
      *"INTEGER "*) echo "int=${line##*:}" ;;
      *"OBJECT "*) echo "oid=${line##*:}" ;;
      *"OCTET STRING"*"[HEX DUMP]:"*) echo "octets=${line##*:}" ;;
      *"OCTET STRING"*) echo "octets_text" ;;
    esac
  done
}

print_sm2pfx() {
  local F name cert key pw layout mangle f der lines
  der="$(scratch)/pfx_in.der"
  split_spec "$1"; name=${F[0]}; cert=${F[1]}; key=${F[2]}; pw=${F[3]}; layout=${F[8]}; mangle=${F[9]-}
  f="$PKI/sm2pfx/$name.b64"
  echo "[sm2pfx/$name.b64]"
  echo "file=sm2pfx/$name.b64"
  echo "password=$pw"
  echo "layout=$layout"
  echo "text_bytes=$(wc -c <"$f")"
  lines=$(wc -l <"$f"); echo "line_breaks=$lines"
  tr -d '\r\n' <"$f" | base64 -d >"$der"
  echo "der_bytes=$(wc -c <"$der")"
  echo "certificate=$cert"
  echo "key_of=$key"
  if [[ $mangle == truncate ]]; then
    echo "sm2_pfx=invalid"
    if openssl asn1parse -inform DER -in "$der" >/dev/null 2>&1; then echo "asn1parse=OK"; else echo "asn1parse=fails"; fi
    echo; return
  fi
  echo "sm2_pfx=valid"
  local v=() o=() x=() l
  while IFS= read -r l; do
    case $l in int=*) v+=("${l#int=}") ;; oid=*) o+=("${l#oid=}") ;; octets=*) x+=("${l#octets=}") ;; esac
  done < <(asn1_fields "$der")
  echo "version=$((16#${v[0]}))"
  echo "private_data_id=${o[0]}"
  echo "private_data_alg=${o[1]}"
  echo "public_data_id=${o[2]}"
  echo "encrypted_key=${x[0]}"
  echo "encrypted_key_bytes=$((${#x[0]} / 2))"
  if [[ ${#x[@]} -ge 2 ]]; then echo "certificate_form=der"; else echo "certificate_form=pem"; fi
  local plain
  if plain=$(sm4_decrypt_by_pin "${x[0]}" "$pw"); then
    echo "decrypted_key=$plain"
    if [[ $plain == "$(scalar_hex "$PKI/$key.key" sm2)" && $key == "$cert" ]]; then
      echo "key_matches_certificate=yes"; else echo "key_matches_certificate=no"; fi
  else
    echo "decrypted_key=padding-error"
  fi
  if [[ $name == sign ]]; then
    local wrong; wrong=$(find_lucky_wrong_password "${x[0]}")
    plain=$(sm4_decrypt_by_pin "${x[0]}" "$wrong")
    echo "lucky_wrong_password=$wrong"
    echo "lucky_wrong_password_plain=$plain"
    echo "lucky_wrong_password_plain_bytes=$((${#plain} / 2))"
    echo "plain_wrong_password=Fixture-SM2-2021"
    if sm4_decrypt_by_pin "${x[0]}" Fixture-SM2-2021 >/dev/null; then
      echo "plain_wrong_password_result=decrypts"; else echo "plain_wrong_password_result=padding-error"; fi
  fi
  echo
}

print_messages() {
  local n
  for n in "${MSG_SIZES[@]}"; do
    echo "[msg_$n.bin]"
    echo "file=msg_$n.bin"
    echo "bytes=$(wc -c <"$PKI/msg_$n.bin")"
    echo "sm3=$(sm3_hex <"$PKI/msg_$n.bin")"
    echo "sha256=$(openssl dgst -sha256 -r <"$PKI/msg_$n.bin" | cut -d' ' -f1 | upper)"
    echo
  done
}

print_header() {
  echo "# Facts about the fixtures under tests/data/pki, printed by the openssl CLI."
  echo "# Written by tests/data/make-fixtures.sh; format described in tests/data/README.md."
  echo
  echo "[passwords]"
  echo "p12=$P12_PASSWORD"
  echo "sm2pfx=$SM2PFX_PASSWORD"
  echo "sm2_distid=$DISTID"
  echo
  echo "[sm2pfx/pkcs12.b64]"
  echo "file=sm2pfx/pkcs12.b64"
  echo "source=p12/modern.p12"
  echo "sm2_pfx=invalid"
  echo
}

# Sections are printed by parallel jobs (each openssl start costs tens of
# milliseconds) and joined in table order.
print_expected() {
  local jobs=() n=0 c pid out="$WORK/sections"
  mkdir -p "$out"
  run() { "$@" >"$out/$(printf '%03d' $n)" & jobs+=($!); n=$((n + 1)); }
  run print_header
  for c in "${CERTS[@]}"; do run print_cert "$c"; done
  for c in "${CRLS[@]}"; do run print_crl "$c"; done
  run print_pkcs12
  for c in "${SM2PFX[@]}"; do run print_sm2pfx "$c"; done
  run print_messages
  for pid in "${jobs[@]}"; do wait "$pid" || die "printing a section failed"; done
  cat "$out"/*
}

# ================================================================== main
REGEN_KEYS=0
PRINT_ONLY=0
for a in "$@"; do
  case $a in
    --regen-keys) REGEN_KEYS=1 ;;
    --print-expected) PRINT_ONLY=1 ;;
    *) die "unknown option $a" ;;
  esac
done

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

if ((PRINT_ONLY)); then
  print_expected
  exit 0
fi

mkdir -p "$PKI/sm2" "$PKI/rsa" "$PKI/ec" "$PKI/p12" "$PKI/sm2pfx"
rm -f "$PKI"/sm2/*.pem "$PKI"/sm2/*.der "$PKI"/rsa/*.pem "$PKI"/rsa/*.der "$PKI"/ec/* \
  "$PKI"/p12/* "$PKI"/sm2pfx/* "$PKI"/msg_*.bin "$PKI"/sm2/*.key
write_ca_config
for c in "${CERTS[@]}"; do issue "$c"; done
for r in "${REVOKED[@]}"; do revoke_in_db "${r%%|*}" "${r#*|}"; done
for c in "${CRLS[@]}"; do make_crl "$c"; done
make_pkcs12
for c in "${SM2PFX[@]}"; do make_sm2pfx "$c"; done
openssl base64 -A -in "$PKI/p12/modern.p12" >"$PKI/sm2pfx/pkcs12.b64"
make_messages

x00=$(pub_point "$PKI/sm2/ee_x00.pem")
[[ ${x00:0:4} == 0400 ]] || die "sm2/ee_x00: public x has no leading zero byte"

print_expected >"$PKI/expected.txt"
echo "fixtures written to $PKI"
