--TEST--
An output over memory_limit ends the script with PHP's fatal error, after the module released its buffers
--INI--
memory_limit=24M
--FILE--
<?php
require getenv('MORV_SOURCE_DIR') . '/tests/php/helpers.inc';
var_dump(morv_start());
// The signed content comes back as a PHP string of 5 MiB, with room for 2 MiB left.
$data = str_repeat("\x01", 5 << 20);
$attached = '';
var_dump(vomu_signData_PKCS7Attached('RSA', $data, morv_pki('p12/modern.p12'), 'Fixture-P12-2020', 'SHA-256', $attached));
$filler = str_repeat('f', (24 << 20) - memory_get_usage() - (2 << 20));
register_shutdown_function(function () {
    // The module still answers after the jump out of its handler.
    $hex = '';
    echo 'after: ', vomu_calculateDataHash('abc', 'MD5', $hex), " $hex\n";
});
$signer = '';
$content = '';
vomu_verifyDataSignature_PKCS7Attached('RSA', $attached, $signer, $content);
echo "not reached\n";
?>
--EXPECTF--
int(0)
int(0)

Fatal error: Allowed memory size of 25165824 bytes exhausted %s
after: 0 900150983CD24FB0D6963F7D28E17F72
