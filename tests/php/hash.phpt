--TEST--
vomu_calculateDataHash and vomu_calculateFileHash equal PHP's hash() and openssl_digest(..., 'sm3')
--FILE--
<?php
require getenv('MORV_SOURCE_DIR') . '/tests/php/helpers.inc';
var_dump(morv_start());

// The peers: PHP's hash() for MD5 and the SHAs, PHP's openssl (its own SM3) for SM3.
$peers = [
    'md5' => fn($d) => hash('md5', $d),
    'sha-1' => fn($d) => hash('sha1', $d),
    'sha-256' => fn($d) => hash('sha256', $d),
    'sm3' => fn($d) => openssl_digest($d, 'sm3'),
];
$inputs = [
    'empty' => '',
    'abc' => 'abc',
    'zero bytes' => "a\0b\0\0c",
    '1 MiB' => random_bytes(1 << 20),
];
// Names in any case.
$spellings = ['md5' => ['MD5', 'md5'], 'sha-1' => ['SHA-1', 'Sha-1'], 'sha-256' => ['SHA-256', 'sha-256'], 'sm3' => ['SM3', 'sm3']];

foreach ($inputs as $label => $data) {
    $file = morv_work() . '/input.bin';
    file_put_contents($file, $data);
    foreach ($peers as $name => $peer) {
        $expected = strtoupper($peer($data));
        foreach ($spellings[$name] as $spelling) {
            $hex = '';
            $rc = vomu_calculateDataHash($data, $spelling, $hex);
            morv_expect($rc === VOMU_OK && $hex === $expected, "data $label $spelling: $rc $hex");
            $hex = '';
            $rc = vomu_calculateFileHash($file, $spelling, $hex);
            morv_expect($rc === VOMU_OK && $hex === $expected, "file $label $spelling: $rc $hex");
        }
    }
}
morv_report();

// Refusals: an unknown name; a file that does not open (before the name is looked at, so a
// missing file with an unknown name reports the file). The output keeps its string.
$file = morv_work() . '/input.bin';
foreach (['SHA-512', 'sm2', 'SHA256', ''] as $name) {
    $hex = 'kept';
    $data = vomu_calculateDataHash('abc', $name, $hex);
    $hexFile = 'kept';
    $onFile = vomu_calculateFileHash($file, $name, $hexFile);
    echo "$name: ", vomu_code_name($data), ' ', vomu_code_name($onFile), " $hex $hexFile\n";
}
$hex = 'kept';
echo 'missing file: ', vomu_code_name(vomu_calculateFileHash(morv_work() . '/none', 'SHA-512', $hex)), " $hex\n";

$log = morv_log();
var_dump(str_contains($log, morv_step('vomu_calculateDataHash', 'strHashAlg', VOMU_E_INVALID_ARG, 'true')));
var_dump(str_contains($log, morv_step('vomu_calculateFileHash', 'strSourceFilePath', VOMU_E_INVALID_ARG, 'NULL == fpSourceFile')));
// The digest travels into the log as hex, after success.
var_dump(str_contains($log, "pszHexHashData:" . strtoupper(hash('sha256', 'abc'))));
?>
--EXPECT--
int(0)

done
SHA-512: VOMU_E_INVALID_ARG VOMU_E_INVALID_ARG kept kept
sm2: VOMU_E_INVALID_ARG VOMU_E_INVALID_ARG kept kept
SHA256: VOMU_E_INVALID_ARG VOMU_E_INVALID_ARG kept kept
: VOMU_E_INVALID_ARG VOMU_E_INVALID_ARG kept kept
missing file: VOMU_E_INVALID_ARG kept
bool(true)
bool(true)
bool(true)
