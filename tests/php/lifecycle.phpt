--TEST--
Lifecycle: vomu_initialize once, again after vomu_uninitialize; a failed start leaves the flag clear; PHP's openssl unaffected
--ENV--
VOMU_LOG_CONF_PATH=
--FILE--
<?php
require getenv('MORV_SOURCE_DIR') . '/tests/php/helpers.inc';
putenv('VOMU_LOG_CONF_PATH');

// PHP's own openssl, in the process's default context, before, during and after our
// kernel's life: the answers must never change.
$caPem = file_get_contents(morv_pki('rsa/int.pem'));
$eePem = file_get_contents(morv_pki('rsa/ee_sign.pem'));
function php_openssl_answers(string $eePem, string $caPem): array
{
    return [
        openssl_digest('abc', 'sha256'),
        openssl_digest('abc', 'sm3'),
        openssl_encrypt('plaintext', 'aes-128-cbc', str_repeat('k', 16), 0, str_repeat('i', 16)),
        openssl_x509_verify($eePem, openssl_pkey_get_public($caPem)),
    ];
}
$before = php_openssl_answers($eePem, $caPem);
var_dump($before[3]);

// No configuration anywhere: the logging code, and nothing counts as started.
var_dump(vomu_initialize(morv_work() . '/no-such.conf') === VOMU_LOG_E_NO_CONFIG);
var_dump(vomu_initialize(morv_work()) === VOMU_LOG_E_NO_CONFIG);

var_dump(morv_start());
$during = php_openssl_answers($eePem, $caPem);
$hex = '';
var_dump(vomu_calculateDataHash('abc', 'SM3', $hex), $hex === strtoupper(openssl_digest('abc', 'sm3')));
// A second start: refused, as a negative integer, and logging carries on unchanged.
$again = vomu_initialize(morv_log_conf());
var_dump($again === VOMU_E_ALREADY_INITIALIZED, $again < 0);
var_dump(str_contains(morv_log(), morv_step('vomu_initialize', 'Check parameter(g_MORVExtIsInit)',
    VOMU_E_ALREADY_INITIALIZED, '1 == g_nMORVExtIsInit')));

// Extra arguments are not looked at.
var_dump(vomu_uninitialize('ignored', 2));
$after = php_openssl_answers($eePem, $caPem);
var_dump(vomu_uninitialize());

// Started again after the stop.
var_dump(morv_start());
var_dump(vomu_calculateDataHash('abc', 'SM3', $hex), $hex === strtoupper(openssl_digest('abc', 'sm3')));
var_dump(vomu_uninitialize());
$end = php_openssl_answers($eePem, $caPem);

var_dump($before === $during, $before === $after, $before === $end);
?>
--EXPECT--
int(1)
bool(true)
bool(true)
int(0)
int(0)
bool(true)
bool(true)
bool(true)
bool(true)
int(0)
int(0)
int(0)
int(0)
bool(true)
int(0)
bool(true)
bool(true)
bool(true)
