#!/usr/bin/env bash
# The module exports get_module (and the start-up flag) of its own, and nothing of the binding
# or the handlers: no Php:: or morvphp:: name, no Zend name.
# Usage: check_module_exports.sh <libMORVExtension.so.3>
set -euo pipefail
names=$(nm -D --defined-only -C "$1" | awk '{ $1 = ""; $2 = ""; print substr($0, 3) }')
status=0
for want in get_module g_nMORVExtIsInit; do
  grep -qx "$want" <<< "$names" || { echo "not exported: $want"; status=1; }
done
leaked=$(grep -E '(^|[^A-Za-z_])(Php|morvphp)::|zend|^zif_' <<< "$names" || true)
[ -z "$leaked" ] || { echo "exported by the binding:"; echo "$leaked"; status=1; }
[ $status -eq 0 ] && echo "the module exports get_module and nothing of the binding"
exit $status
