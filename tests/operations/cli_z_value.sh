#!/bin/bash
# Prints, in hex, the SM2 user hash Z = SM3(ENTL || ID || a || b || xG || yG || xA || yA) of
# the certificate $1 for the identity $2 (default 1234567812345678), built from the openssl
# CLI's own printout of the curve's explicit parameters and of the certificate's public key.
set -euo pipefail
cert=$1
id=${2:-1234567812345678}
params=$(openssl ecparam -name SM2 -param_enc explicit -noout -text)
# The hex digits printed under the heading that starts with $1.
field() { awk -v k="$1" '$0 ~ "^"k {f=1; next} /^[A-Za-z]/ {f=0} f' | tr -d ' :\n'; }
a=$(printf '%s\n' "$params" | field A: | tail -c 64)
b=$(printf '%s\n' "$params" | field B: | tail -c 64)
g=$(printf '%s\n' "$params" | field Generator | tail -c 128)
q=$(openssl x509 -in "$cert" -noout -pubkey | openssl pkey -pubin -noout -text | field pub: | tail -c 128)
entl=$(printf '%04x' $(( ${#id} * 8 )))
printf '%s%s%s%s%s%s' "$entl" "$(printf '%s' "$id" | xxd -p | tr -d '\n')" "$a" "$b" "$g" "$q" |
    xxd -r -p | openssl dgst -sm3 -r | cut -d' ' -f1
