--TEST--
Input traces show a text up to its first zero byte and a long one cut where the log cuts a record
--FILE--
<?php
require getenv('MORV_SOURCE_DIR') . '/tests/php/helpers.inc';
// Records of at most 64 KiB: a longer one keeps its first 65,534 bytes and a newline.
$conf = morv_work() . '/cut.conf';
file_put_contents($conf, "[global]\nbuffer max = 64KB\n[formats]\nplain = \"%m%n\"\n[rules]\n"
    . "vomu_category.INFO \"" . morv_log_path() . "\"; plain\n");
var_dump(vomu_initialize($conf));
function record(string $text): string
{
    return strlen($text) + 1 < 65535 ? "$text\n" : substr($text, 0, 65534) . "\n";
}

$long = str_repeat('0123456789', 200000);  // 2 MB
$cases = [
    'short' => ['abc', 'strSourceData:abc'],
    'zero byte inside' => ["ab\0cd", 'strSourceData:ab'],
    'longer than a record' => [$long, "strSourceData:$long"],
];
foreach ($cases as $label => [$data, $expected]) {
    file_put_contents(morv_log_path(), "");  // emptied in place: the log keeps its file
    $hex = '';
    morv_expect(vomu_calculateDataHash($data, 'SM3', $hex) === VOMU_OK, "$label: hash");
    morv_expect(str_starts_with(morv_log(), record($expected)) ||
                str_contains(morv_log(), "\n" . record($expected)), "$label: trace");
}
// A text argument (the Base64 signature) the same way, traced before the call fails.
file_put_contents(morv_log_path(), "");  // emptied in place: the log keeps its file
$signer = '';
$rc = vomu_verifyDataSignature_PKCS7Detached('SM2', 'abc', $long, $signer);
morv_expect($rc !== VOMU_OK, "signature: $rc");
morv_expect(str_contains(morv_log(), "\n" . record("strBase64Signature:$long")), 'signature: trace');
morv_report();
?>
--EXPECT--
int(0)

done
