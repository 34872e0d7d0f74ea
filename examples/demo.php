<?php
// A tour of the MORV module: every one of its 19 functions on the sample data in data/
// (made by make-data.sh), for SM2 and for RSA where a function has both roads. One line per
// step with the result code in hex; exits non-zero when any step fails.
//
//   php -d extension=/path/to/libMORVExtension.so.3 examples/demo.php
require __DIR__ . '/vomu_codes.php';

const DATA = __DIR__ . '/data';
const SM2_PASSWORD = 'Fixture-SM2-2020';
const RSA_PASSWORD = 'Demo-P12-2026';

$passed = 0;
$failed = 0;

// Runs one step: $run returns the result code and whether the outcome was the expected one.
function step(string $function, string $what, callable $run): void
{
    global $passed, $failed;
    $label = sprintf('%-40s %-28s', $function, $what);
    [$code, $ok] = $run();
    $ok = $ok && $code === VOMU_OK;
    $ok ? $passed++ : $failed++;
    printf("%s %s %s\n", $label, vomu_code_hex($code), $ok ? 'OK' : 'FAILED (' . vomu_code_name($code) . ')');
}

// The Base64 of a PEM certificate's DER: its body without the armour lines.
function cert_base64(string $pemFile): string
{
    return preg_replace('/-----[^-]+-----|\s+/', '', file_get_contents($pemFile));
}

if (!extension_loaded('MORVExtension')) {
    fwrite(STDERR, "demo: the MORVExtension module is not loaded (php -d extension=...)\n");
    exit(1);
}
echo 'MORVExtension ', phpversion('MORVExtension'), "\n";

// The log goes under the build tree unless the caller chose a directory.
if (getenv('MORV_BUILD_DIR') === false) putenv('MORV_BUILD_DIR=' . dirname(__DIR__) . '/build');
@mkdir(getenv('MORV_BUILD_DIR') . '/demo', 0755, true);
$work = getenv('MORV_BUILD_DIR') . '/demo';

step('vomu_initialize', 'data/vomulog.conf', fn() => [vomu_initialize(DATA . '/vomulog.conf'), true]);

$data = "Demo data to sign and seal,\0 with a zero byte inside.";
$dataFile = "$work/data.bin";
file_put_contents($dataFile, str_repeat($data, 1000));

$roads = [
    'SM2' => ['key' => DATA . '/sm2_sign_enc.b64', 'password' => SM2_PASSWORD, 'cert' => DATA . '/sm2_sign_enc.pem',
              'cas' => DATA . '/sm2_root.pem|' . DATA . '/sm2_int.pem', 'crl' => DATA . '/sm2_crl.pem', 'cipher' => ''],
    'RSA' => ['key' => DATA . '/rsa_sign_enc.p12', 'password' => RSA_PASSWORD, 'cert' => DATA . '/rsa_sign_enc.pem',
              'cas' => DATA . '/rsa_root.pem|' . DATA . '/rsa_int.pem', 'crl' => DATA . '/rsa_crl.pem', 'cipher' => '3DES'],
];

// The steps' outputs, initialised to '' as the module requires; an object, so that the
// steps' closures write them where the later steps read them.
$out = new stdClass();

foreach ($roads as $alg => $road) {
    $cert = cert_base64($road['cert']);
    foreach (['pkcs1', 'detached', 'attached', 'file', 'signer', 'content', 'envelope', 'plain', 'type', 'fromKey'] as $name) {
        $out->$name = '';
    }

    step('vomu_signData_PKCS1', "$alg SHA-256", fn() =>
        [vomu_signData_PKCS1($alg, $data, $road['key'], $road['password'], 'SHA-256', $out->pkcs1), $out->pkcs1 !== '']);
    step('vomu_verifyDataSignature_PKCS1', $alg, fn() =>
        [vomu_verifyDataSignature_PKCS1($alg, $data, $cert, 'SHA-256', $out->pkcs1), true]);

    step('vomu_signData_PKCS7Detached', $alg, fn() =>
        [vomu_signData_PKCS7Detached($alg, $data, $road['key'], $road['password'], 'SHA-256', $out->detached), $out->detached !== '']);
    step('vomu_verifyDataSignature_PKCS7Detached', "$alg, signer returned", fn() =>
        [vomu_verifyDataSignature_PKCS7Detached($alg, $data, $out->detached, $out->signer), $out->signer === $cert]);

    step('vomu_signData_PKCS7Attached', $alg, fn() =>
        [vomu_signData_PKCS7Attached($alg, $data, $road['key'], $road['password'], 'SHA-256', $out->attached), $out->attached !== '']);
    $out->signer = '';
    step('vomu_verifyDataSignature_PKCS7Attached', "$alg, content whole", fn() =>
        [vomu_verifyDataSignature_PKCS7Attached($alg, $out->attached, $out->signer, $out->content), $out->content === $data]);

    step('vomu_signFile_PKCS7Detached', $alg, fn() =>
        [vomu_signFile_PKCS7Detached($alg, $dataFile, $road['key'], $road['password'], 'SHA-256', $out->file), $out->file !== '']);
    $out->signer = '';
    step('vomu_verifyFileSignature_PKCS7Detached', $alg, fn() =>
        [vomu_verifyFileSignature_PKCS7Detached($alg, $dataFile, $out->file, $out->signer), $out->signer === $cert]);

    step('vomu_encryptDataToCMSEnvelope', $alg . ($road['cipher'] ? " {$road['cipher']}" : ' SM4'), fn() =>
        [vomu_encryptDataToCMSEnvelope($alg, $data, $cert, $road['cipher'], $out->envelope), $out->envelope !== '']);
    step('vomu_decryptDataFromCMSEnvelope', "$alg, data whole", fn() =>
        [vomu_decryptDataFromCMSEnvelope($alg, $out->envelope, $road['key'], $road['password'], $out->plain), $out->plain === $data]);

    step('vomu_verifyCertificate', "$alg time, CRL, chain", fn() =>
        [vomu_verifyCertificate($cert, 7, $road['cas'], $road['crl']), true]);
    step('vomu_getCertificateInfo', "$alg CertType", fn() =>
        [vomu_getCertificateInfo($cert, 'CertType', $out->type), $out->type === $alg]);
    step('vomu_getPublicCertFromPFX', $alg, fn() =>
        [vomu_getPublicCertFromPFX($alg, $road['key'], $road['password'], $out->fromKey), $out->fromKey === $cert]);
}

foreach (['SM4_CBC', '3DES_CBC'] as $cipher) {
    $out->key = '';
    step('vomu_symEncryptFile', $cipher, fn() =>
        [vomu_symEncryptFile($cipher, $dataFile, "$work/data.enc", $out->key), strlen($out->key) === 64]);
    @unlink("$work/data.dec");
    step('vomu_symDecryptFile', "$cipher, file whole", fn() =>
        [vomu_symDecryptFile($cipher, "$work/data.enc", $out->key, "$work/data.dec"),
         @file_get_contents("$work/data.dec") === file_get_contents($dataFile)]);
}

// The digests PHP's own functions give for the same bytes.
$peers = ['SM3' => fn($d) => openssl_digest($d, 'sm3'), 'SHA-256' => fn($d) => hash('sha256', $d)];
foreach ($peers as $hash => $peer) {
    $out->hex = '';
    step('vomu_calculateDataHash', "$hash, as PHP's", fn() =>
        [vomu_calculateDataHash($data, $hash, $out->hex), $out->hex === strtoupper($peer($data))]);
    $out->hex = '';
    step('vomu_calculateFileHash', "$hash, as PHP's", fn() =>
        [vomu_calculateFileHash($dataFile, $hash, $out->hex), $out->hex === strtoupper($peer(file_get_contents($dataFile)))]);
}

step('vomu_uninitialize', '', fn() => [vomu_uninitialize(), true]);

$run = $passed + $failed;
echo "demo: $passed/$run steps OK\n";
exit($failed ? 1 : 0);
