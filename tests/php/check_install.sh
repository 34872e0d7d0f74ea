#!/usr/bin/env bash
# `make install` staged under DESTDIR lays out the module, its ini file, libMORV.so.3 and the
# C header; the staged module loads by the name the ini file gives, and the staged header is
# complete C on its own.
# Usage: check_install.sh <source dir> <build dir>
set -euo pipefail
src=$1
build=$2
stage=$(mktemp -d /tmp/morv_install_XXXXXX)
trap 'rm -rf "$stage"' EXIT
prefix=/opt/morv
extdir=$(php-config --extension-dir)

make -s -C "$src" install SKIP_BUILD=1 BUILD="$build" DESTDIR="$stage" PREFIX="$prefix" > /dev/null

status=0
for f in "$extdir/libMORVExtension.so.3" /etc/php/8.2/mods-available/morv.ini \
         "$prefix/lib/libMORV.so.3" "$prefix/include/MORV.h"; do
  [ -f "$stage$f" ] || { echo "missing: $f"; status=1; }
done
[ $status -eq 0 ] || exit 1

line=$(grep '^extension=' "$stage/etc/php/8.2/mods-available/morv.ini")
[ "$line" = "extension=libMORVExtension.so.3" ] || { echo "ini line: $line"; exit 1; }
modules=$(php -n -d "extension_dir=$stage$extdir" -d "${line}" -m)
grep -qx MORVExtension <<< "$modules" || { echo "the staged module does not load by its ini name"; exit 1; }

printf '#include "MORV.h"\nint main(void) { return VOMU_OK; }\n' > "$stage/header.c"
gcc -x c -std=c11 -Wall -Werror -fsyntax-only -I"$stage$prefix/include" "$stage/header.c" \
  || { echo "the installed MORV.h is not complete C"; exit 1; }
echo "make install lays out the module, morv.ini, libMORV.so.3 and MORV.h"
