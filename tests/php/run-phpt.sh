#!/usr/bin/env bash
# Runs one .phpt with PHP's own run-tests.php against the module: run-tests.php writes its
# output files beside the test, so the test runs from a copy in a fresh directory.
# Usage: run-phpt.sh <libMORVExtension.so.3> <test.phpt>
set -euo pipefail
extension=$1
phpt=$2
run_tests=/usr/lib/php/20220829/build/run-tests.php
[ -f "$run_tests" ] || run_tests=$(php-config --prefix)/lib/php/build/run-tests.php
work=$(mktemp -d /tmp/morv_phpt_XXXXXX)
trap 'rm -rf "$work"' EXIT
cp "$phpt" "$work/"
export MORV_EXTENSION=$extension MORV_PHPT_WORK=$work
status=0
php -n "$run_tests" -q --show-diff -P -n -d "extension=$extension" "$work/$(basename "$phpt")" || status=$?
exit $status
