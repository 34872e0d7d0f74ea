#!/usr/bin/env bash
# Our shared objects must define no dynamic name that libcrypto.so.3 exports: such a name
# would replace OpenSSL's own function for every other user of libcrypto in the process.
set -euo pipefail
libcrypto=$({ ldconfig -p || true; } | awk '/libcrypto\.so\.3 .*x86-64/ {print $NF; exit}')
[ -n "$libcrypto" ] || libcrypto=$(ls /usr/lib/*/libcrypto.so.3 | head -n1)
ours=$(mktemp); theirs=$(mktemp); trap 'rm -f "$ours" "$theirs"' EXIT
nm -D --defined-only "$libcrypto" | awk '{print $NF}' | sed 's/@.*//' | sort -u > "$theirs"
status=0
for so in "$@"; do
  [ -f "$so" ] || continue
  nm -D --defined-only "$so" | awk '{print $NF}' | sed 's/@.*//' | sort -u > "$ours"
  clash=$(comm -12 "$ours" "$theirs")
  if [ -n "$clash" ]; then
    echo "$so exports names of libcrypto:"; echo "$clash" | head -n 20; status=1
  else
    echo "$so: $(wc -l < "$ours") exported names, none shared with libcrypto"
  fi
done
exit $status
