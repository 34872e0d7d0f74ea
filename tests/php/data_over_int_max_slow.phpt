--TEST--
Data longer than INT_MAX bytes is refused at the argument check, before anything is copied
--INI--
memory_limit=-1
--SKIPIF--
<?php
$free = 0;
foreach (file('/proc/meminfo') as $line) if (preg_match('/^MemAvailable:\s+(\d+)/', $line, $m)) $free = $m[1] * 1024;
if ($free < 6 << 30) die('skip needs 6 GiB of free memory');
?>
--FILE--
<?php
require getenv('MORV_SOURCE_DIR') . '/tests/php/helpers.inc';
var_dump(morv_start());
$big = str_repeat('a', 0x80000000);
$out = 'kept';
var_dump(vomu_calculateDataHash($big, 'MD5', $out) === VOMU_E_INVALID_ARG);
var_dump(vomu_signData_PKCS1('RSA', $big, 'key.p12', '', 'SHA-256', $out) === VOMU_E_INVALID_ARG);
var_dump(vomu_encryptDataToCMSEnvelope('RSA', $big, 'cert', '3DES', $out) === VOMU_E_INVALID_ARG);
var_dump($out);
$log = morv_log();
var_dump(str_contains($log, morv_step('vomu_calculateDataHash', 'Check params[0].type.', VOMU_E_INVALID_ARG, 'INT_MAX < params[0].size()')));
var_dump(str_contains($log, morv_step('vomu_signData_PKCS1', 'Check params[1].type.', VOMU_E_INVALID_ARG, 'INT_MAX < params[1].size()')));
// One byte less passes the check.
$big = substr($big, 1);
vomu_calculateDataHash($big, 'NONE', $out);
var_dump(str_contains(morv_log(), morv_step('vomu_calculateDataHash', 'Check params[0].type.')));
?>
--EXPECT--
int(0)
bool(true)
bool(true)
bool(true)
string(4) "kept"
bool(true)
bool(true)
bool(true)
