#!/usr/bin/env bash
# The committed test PKI (tests/data/pki) must still be what expected.txt says, since every
# certificate test takes its oracle from there. Checked with the openssl CLI, never by
# rebuilding (signatures are randomised, a rebuild would change every SM2 file):
#  1. every fact, printed afresh from the files by make-fixtures.sh --print-expected;
#  2. independently of that printer: subjects, issuers, serials, validity, SKIDs, key usage and
#     openssl verify results of every certificate, CRL fields and the listed serials, the DER
#     twin of every PEM file, every key file against its certificate's public key;
#  3. facts expected.txt does not state: every certificate named ee_revoked is listed by each
#     CRL of its issuer; every file is described by expected.txt and named in pki/README.md.
set -uo pipefail
export LC_ALL=C TZ=UTC

DATA=$(cd "$(dirname "${BASH_SOURCE[0]}")/data" && pwd)
PKI=$DATA/pki
EXPECTED=$PKI/expected.txt
DISTID=1234567812345678
DN_OPTS=utf8,sname,dn_rev,sep_comma_plus_space
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
# Checks run in parallel subshells: a finding is a line appended to one file.
FINDINGS=$WORK/findings
bad() { echo "fixtures: $*" >&2; echo "$*" >>"$FINDINGS"; }

# ------------------------------------------------------------------ expected.txt
declare -A E          # "section|key" -> value
SECTIONS=()
read_expected() {
  local line section=""
  while IFS= read -r line; do
    case $line in
      "#"* | "") ;;
      "["*"]") section=${line:1:${#line}-2}; SECTIONS+=("$section") ;;
      *=*) E["$section|${line%%=*}"]=${line#*=} ;;
    esac
  done <"$EXPECTED"
}
ex() { printf '%s' "${E["$1|$2"]-}"; }
same() { # section key actual-value
  [[ "$(ex "$1" "$2")" == "$3" ]] || bad "$1: $2 is '$3', expected.txt says '$(ex "$1" "$2")'"
}

# ------------------------------------------------------------------ certificates
epoch() { date -u -d "$1" +%s; }
issuer_of() { # section -> the section of its issuer (the CA certificate whose subject is its issuer)
  local s want
  want=$(ex "$1" issuer_dn)
  for s in "${SECTIONS[@]}"; do
    [[ -n $(ex "$s" key_usage_mask) && $(ex "$s" subject_dn) == "$want" ]] || continue
    (( $(ex "$s" key_usage_mask) & 0x04 )) && { printf '%s' "$s"; return; }
  done
}
verify_verdict() { # openssl verify options... -> OK or error:N
  local out
  if out=$(openssl verify -no-CApath -no-CAstore "$@" 2>&1); then echo OK; return; fi
  out=$(grep -o 'error [0-9]*' <<<"$out" | head -n1)
  echo "error:${out#error }"
}

check_cert() {
  local s=$1 pem der key line subj="" iss="" ser="" nb="" na="" ski="" ku="" state=""
  pem=$PKI/$(ex "$s" pem); der=$PKI/$(ex "$s" der); key=$PKI/$(ex "$s" key)
  while IFS= read -r line; do
    case $line in
      subject=*) subj=${line#subject=} ;; issuer=*) iss=${line#issuer=} ;;
      serial=*) ser=${line#serial=} ;; notBefore=*) nb=${line#notBefore=} ;; notAfter=*) na=${line#notAfter=} ;;
      *"Subject Key Identifier"*) state=ski ;; *"Key Usage"*) state=ku ;;
      *) line=${line#"${line%%[![:space:]]*}"}
         [[ $state == ski ]] && ski=${line//:/}; [[ $state == ku ]] && ku=$line; state="" ;;
    esac
  done < <(openssl x509 -in "$pem" -noout -nameopt "$DN_OPTS" -subject -issuer -serial -startdate -enddate \
             -ext subjectKeyIdentifier,keyUsage 2>/dev/null)
  same "$s" subject_dn "${subj// + /, }"
  same "$s" issuer_dn "${iss// + /, }"
  same "$s" serial_cli "$ser"
  same "$s" not_before "$(epoch "$nb")"
  same "$s" not_after "$(epoch "$na")"
  same "$s" subject_key_id "${ski:-absent}"
  same "$s" key_usage "${ku:-absent}"
  cmp -s <(openssl x509 -in "$pem" -outform DER) "$der" || bad "$s: DER file is not the PEM certificate"
  cmp -s <(openssl pkey -in "$key" -pubout) <(openssl x509 -in "$pem" -noout -pubkey) ||
    bad "$s: key file does not hold the certificate's key"

  local issuer anchor=$pem chain=$WORK/chain_${s//\//_}.pem up
  issuer=$(issuer_of "$s")
  [[ $(ex "$s" subject_dn) != "$(ex "$s" issuer_dn)" && -z $issuer ]] && bad "$s: no issuer among the fixtures"
  [[ -n $issuer ]] && anchor=$PKI/$(ex "$issuer" pem)
  if [[ -n $(ex "$s" verify_link) ]]; then
    same "$s" verify_link "$(verify_verdict -partial_chain -vfyopt "distid:$DISTID" -CAfile "$anchor" "$pem")"
    same "$s" verify_link_empty_id "$(verify_verdict -partial_chain -CAfile "$anchor" "$pem")"
  else
    : >"$chain"; up=$s
    while [[ $(ex "$up" subject_dn) != "$(ex "$up" issuer_dn)" ]]; do
      up=$(issuer_of "$up"); [[ -n $up ]] || break
      cat "$PKI/$(ex "$up" pem)" >>"$chain"
    done
    [[ -s $chain ]] || cat "$pem" >"$chain"
    same "$s" verify_chain "$(verify_verdict -CAfile "$chain" "$pem")"
  fi
}

# ------------------------------------------------------------------ CRLs
crl_serials() { # CRL PEM -> comma-separated listed serials as the CLI prints them
  openssl crl -in "$1" -noout -text | sed -n 's/^ *Serial Number: *//p' | paste -sd, -
}
check_crl() {
  local s=$1 pem der
  pem=$PKI/$(ex "$s" pem); der=$PKI/$(ex "$s" der)
  local iss; iss=$(openssl crl -in "$pem" -noout -issuer -nameopt "$DN_OPTS"); iss=${iss#issuer=}
  same "$s" issuer_dn "${iss// + /, }"
  same "$s" last_update "$(epoch "$(openssl crl -in "$pem" -noout -lastupdate | cut -d= -f2)")"
  same "$s" next_update "$(epoch "$(openssl crl -in "$pem" -noout -nextupdate | cut -d= -f2)")"
  local listed; listed=$(crl_serials "$pem")
  same "$s" revoked_serials "$listed"
  cmp -s <(openssl crl -in "$pem" -outform DER) "$der" || bad "$s: DER file is not the PEM CRL"
  local c
  for c in "${SECTIONS[@]}"; do
    [[ $c == */ee_revoked && $(ex "$c" issuer_dn) == "$(ex "$s" issuer_dn)" ]] || continue
    [[ ",$listed," == *",$(ex "$c" serial_cli),"* ]] || bad "$s: does not list $c (serial $(ex "$c" serial_cli))"
  done
}

# ------------------------------------------------------------------ files
check_files() {
  local f rel named=$WORK/named
  for f in "${!E[@]}"; do
    case ${f#*|} in pem | der | key | file) printf '%s\n' "${E[$f]}" ;; esac
  done | sort -u >"$named"
  while IFS= read -r rel; do [[ -f $PKI/$rel ]] || bad "expected.txt names $rel, which is missing"; done <"$named"
  while IFS= read -r rel; do bad "$rel is not described by expected.txt"; done < <(
    cd "$PKI" && find . -type f ! -name expected.txt ! -name README.md | sed 's|^\./||' | sort | comm -23 - "$named")
  local s base
  [[ -f $PKI/README.md ]] || { bad "pki/README.md is missing"; return; }
  for s in "${SECTIONS[@]}"; do
    [[ -n $(ex "$s" pem)$(ex "$s" file) ]] || continue
    base=${s##*/}; base=${base%.*}
    grep -qw -- "$base" "$PKI/README.md" || bad "pki/README.md does not mention $s"
  done
}

# ================================================================== main
read_expected
((${#SECTIONS[@]} > 0)) || { echo "fixtures: no sections in $EXPECTED" >&2; exit 1; }
diff -u --label expected.txt --label "printed from the files" "$EXPECTED" \
  <("$DATA/make-fixtures.sh" --print-expected) || bad "the files no longer give expected.txt (diff above)"
# One job per section, a few at a time (each openssl start costs milliseconds).
i=0
for s in "${SECTIONS[@]}"; do
  if [[ -n $(ex "$s" serial_cli) ]]; then check_cert "$s" &
  elif [[ -n $(ex "$s" last_update) ]]; then check_crl "$s" &
  else continue; fi
  i=$((i + 1))
  ((i % 4 == 0)) && wait
done
wait
check_files
if [[ -s $FINDINGS ]]; then echo "fixtures: inconsistent ($(wc -l <"$FINDINGS") findings)" >&2; exit 1; fi
echo "fixtures: ${#SECTIONS[@]} sections of expected.txt agree with the files"
