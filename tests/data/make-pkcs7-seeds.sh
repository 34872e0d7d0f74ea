#!/bin/sh
# Writes the seed corpora of the SignedData reader fuzz targets with the openssl CLI alone:
# cms/smime signatures over the fixture PKI (detached, attached, -noattr, -stream, several
# certificates, ECDSA) and SM2 messages written by `asn1parse -genconf` (OCTET STRING SM2Q1,
# SM2Q1 SEQUENCE, raw r and s as the SM2PKCS7 items read them). Signatures are not
# deterministic; the seeds need only be well-formed.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
pki="$here/pki"
corpus="$here/../../fuzz/corpus"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"

head -c 200 "$pki/msg_16384.bin" > small.bin
head -c 4200 "$pki/msg_16384.bin" > two_segments.bin
cat "$pki/rsa/int.pem" "$pki/rsa/ee_sign.pem" > bundle.pem
rsa="-signer $pki/rsa/ee_sign.pem -inkey $pki/rsa/ee_sign.key"
sign() { # out.der openssl-arguments...
  out=$1; shift
  openssl "$@" -binary -outform DER -out "$out"
}
sign cms_detached.der cms -sign $rsa -in small.bin
sign cms_attached.der cms -sign -nodetach $rsa -in small.bin
sign cms_noattr.der cms -sign -nodetach -noattr $rsa -in small.bin
sign cms_stream.der cms -sign -stream -nodetach -noattr $rsa -in small.bin
sign cms_stream_segments.der cms -sign -stream -nodetach -noattr $rsa -in two_segments.bin
sign cms_two_certs.der cms -sign -nodetach -nocerts -certfile bundle.pem $rsa -in small.bin
sign smime_attached.der smime -sign -nodetach -noattr -md sha256 $rsa -in small.bin
sign cms_ecdsa.der cms -sign -nodetach -signer "$pki/ec/ee_p256.pem" -inkey "$pki/ec/ee_p256.key" -in small.bin

# SM2: a real signature by OpenSSL's SM2 with the standard ID, its r and s as hex.
openssl dgst -sm3 -sign "$pki/sm2/ee_sign.key" -sigopt distid:1234567812345678 -out q1.der small.bin
r=$(openssl asn1parse -inform DER -in q1.der | awk -F: '/INTEGER/ {print $NF}' | sed -n 1p)
s=$(openssl asn1parse -inform DER -in q1.der | awk -F: '/INTEGER/ {print $NF}' | sed -n 2p)
q1=$(od -An -v -tx1 q1.der | tr -d ' \n')
content=$(od -An -v -tx1 small.bin | tr -d ' \n')
genconf() { # out.der signature-lines certificate-line
  cat > p7.cnf <<CNF
asn1=SEQUENCE:p7
[p7]
type=OID:1.2.156.10197.6.1.4.2.2
signed=EXPLICIT:0,SEQUENCE:signed
[signed]
version=INTEGER:1
md_algs=SET:md_algs
contents=SEQUENCE:contents
$3
signer_info=SET:signer_infos
[md_algs]
a=SEQUENCE:sm3
[sm3]
oid=OID:1.2.156.10197.1.401
params=NULL
[sm2]
oid=OID:1.2.156.10197.1.301.1
params=NULL
[contents]
type=OID:1.2.156.10197.6.1.4.2.1
content=EXPLICIT:0,FORMAT:HEX,OCTETSTRING:$content
[signer_infos]
si=SEQUENCE:si
[si]
version=INTEGER:1
ias=SEQUENCE:ias
digest=SEQUENCE:sm3
enc=SEQUENCE:sm2
$2
[ias]
issuer=SEQUENCE:name
serial=INTEGER:0x1001
[name]
rdn=SET:rdn
[rdn]
atv=SEQUENCE:atv
[atv]
type=OID:commonName
value=UTF8:SM2 Signer
[q1]
r=INTEGER:0x$r
s=INTEGER:0x$s
[cert]
tbs=SEQUENCE:tbs
[tbs]
v=EXPLICIT:0,INTEGER:2
serial=INTEGER:0x1001
CNF
  openssl asn1parse -genconf p7.cnf -out "$1" -noout
}
genconf sm2_octet_q1.der "signature=FORMAT:HEX,OCTETSTRING:$q1" "cert=EXPLICIT:0,SEQUENCE:cert"
genconf sm2_sequence_q1.der "signature=SEQUENCE:q1" "cert=EXPLICIT:0,SEQUENCE:cert"
genconf sm2_raw_rs.der "r=INTEGER:0x$r
s=INTEGER:0x$s" ""

# Attribute sets: [0] { contentType, messageDigest }, and a [1] of one attribute.
cat > attrs.cnf <<CNF
asn1=IMPLICIT:0,SET:attrs
[attrs]
a=SEQUENCE:ct
b=SEQUENCE:md
[ct]
type=OID:contentType
values=SET:ctv
[ctv]
v=OID:pkcs7-data
[md]
type=OID:messageDigest
values=SET:mdv
[mdv]
v=FORMAT:HEX,OCTETSTRING:$(openssl dgst -sha256 -r small.bin | cut -c1-64)
CNF
openssl asn1parse -genconf attrs.cnf -out signed_attrs.der -noout
cat > unsigned.cnf <<CNF
asn1=IMPLICIT:1,SET:attrs
[attrs]
a=SEQUENCE:st
[st]
type=OID:signingTime
values=SET:stv
[stv]
v=UTCTIME:200101000000Z
CNF
openssl asn1parse -genconf unsigned.cnf -out unsigned_attrs.der -noout

put() { # target files...
  dir="$corpus/$1"; shift
  rm -rf "$dir"; mkdir -p "$dir"
  for f in "$@"; do cp "$f" "$dir/"; done
}
put fuzz_pkcs7_signature cms_*.der smime_attached.der sm2_*.der
put fuzz_pkcs7_attached_file cms_attached.der cms_noattr.der cms_stream.der cms_stream_segments.der \
  cms_two_certs.der smime_attached.der sm2_*.der
put fuzz_rsa_pkcs7 cms_*.der smime_attached.der
put fuzz_sm2pkcs7 sm2_*.der cms_noattr.der
# The attribute target's first octet picks the attribute type looked up (0: messageDigest).
mkdir -p "$corpus/fuzz_signed_attributes"; rm -f "$corpus/fuzz_signed_attributes"/*
for f in signed_attrs.der unsigned_attrs.der; do
  { printf '\000'; cat "$f"; } > "$corpus/fuzz_signed_attributes/$f"
done
{ printf '\001'; cat signed_attrs.der; } > "$corpus/fuzz_signed_attributes/content_type.der"

# The richer seeds of the SM2PKCS7, SM2 key-file and RSA SignedData targets.
sh "$here/make-fuzz-seeds.sh"
