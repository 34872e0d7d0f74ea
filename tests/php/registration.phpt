--TEST--
php -m lists MORVExtension; php --re shows version 3.0 and the 19 functions with their arguments
--FILE--
<?php
// The functions in registration order; "&" marks the by-reference outputs. Every argument is
// required.
$expected = [
    'vomu_initialize' => ['strConfigFilePath'],
    'vomu_uninitialize' => [],
    'vomu_signData_PKCS1' => ['strSignAlg', 'strSourceData', 'strPfxFilePath', 'strPfxPassWord', 'strHashAlg', '&strBase64PKCS1Signature'],
    'vomu_signData_PKCS7Detached' => ['strSignAlg', 'strSourceData', 'strPfxFilePath', 'strPfxPassWord', 'strHashAlg', '&strBase64PKCS7DetachedSignature'],
    'vomu_signData_PKCS7Attached' => ['strSignAlg', 'strSourceData', 'strPfxFilePath', 'strPfxPassWord', 'strHashAlg', '&strBase64PKCS7AttachedSignature'],
    'vomu_verifyDataSignature_PKCS1' => ['strSignAlg', 'strSourceData', 'strBase64CertContent', 'strHashAlg', 'strBase64PKCS1Signature'],
    'vomu_verifyDataSignature_PKCS7Detached' => ['strSignAlg', 'strSourceData', 'strBase64PKCS7DetachedSignature', '&strBase64SignCertContent'],
    'vomu_verifyDataSignature_PKCS7Attached' => ['strSignAlg', 'strBase64PKCS7AttachedSignature', '&strBase64SignCertContent', '&strSourceData'],
    'vomu_signFile_PKCS7Detached' => ['strSignAlg', 'strSourceFilePath', 'strPfxFilePath', 'strPfxPassWord', 'strHashAlg', '&strBase64PKCS7DetachedSignature'],
    'vomu_verifyFileSignature_PKCS7Detached' => ['strSignAlg', 'strSourceFilePath', 'strBase64PKCS7DetachedSignature', '&strBase64SignCertContent'],
    'vomu_encryptDataToCMSEnvelope' => ['strAlgorithm', 'strPlainData', 'strBase64EncryptCert', 'strSymEncAlg', '&strBase64CMSEnvelope'],
    'vomu_decryptDataFromCMSEnvelope' => ['strAlgorithm', 'strBase64CMSEnvelope', 'strPfxFilePath', 'strPfxPassWord', '&strPlainData'],
    'vomu_symEncryptFile' => ['strSymEncAlgorithm', 'strPlainFilePath', 'strEncryptFilePath', '&strSymKey'],
    'vomu_symDecryptFile' => ['strSymEncAlgorithm', 'strEncryptFilePath', 'strSymKey', 'strPlainFilePath'],
    'vomu_verifyCertificate' => ['strBase64CertContent', 'nCertVerifyFlag', 'strTrustedCACertFilePath', 'strCRLFilePath'],
    'vomu_getCertificateInfo' => ['strBase64CertContent', 'strInfoType', '&strInfoContent'],
    'vomu_getPublicCertFromPFX' => ['strAlgorithm', 'strPfxFilePath', 'strPfxPassWord', '&strBase64CertContent'],
    'vomu_calculateDataHash' => ['strSourceData', 'strHashAlg', '&strHexHashData'],
    'vomu_calculateFileHash' => ['strSourceFilePath', 'strHashAlg', '&strHexHashData'],
];

$php = escapeshellarg(PHP_BINARY) . ' -n -d extension=' . escapeshellarg(getenv('MORV_EXTENSION'));

$modules = array_map('trim', explode("\n", shell_exec("$php -m")));
var_dump(in_array('MORVExtension', $modules, true));

// The reflection text, read back into the table's form.
$text = shell_exec("$php --re MORVExtension");
preg_match('/^Extension \[ <persistent> extension #\d+ MORVExtension version (\S+) \]/', $text, $m);
var_dump($m[1] ?? null);
$shown = [];
$declared = [];
$function = null;
foreach (explode("\n", $text) as $line) {
    if (preg_match('/Function \[ <internal:MORVExtension> function (\w+) \]/', $line, $m)) {
        $function = $m[1];
        $shown[$function] = [];
    } elseif (preg_match('/- Parameters \[(\d+)\]/', $line, $m)) {
        $declared[$function] = (int)$m[1];
    } elseif (preg_match('/Parameter #\d+ \[ <(required|optional)> (&?)\$(\w+) \]/', $line, $m)) {
        $shown[$function][] = ($m[1] === 'required' ? '' : '?') . $m[2] . $m[3];
    }
}
var_dump($shown === $expected);
foreach ($expected as $name => $args) {
    if (($shown[$name] ?? null) !== $args || $declared[$name] !== count($args)) {
        echo "$name: shown ", json_encode($shown[$name] ?? null), ", declared ", $declared[$name] ?? '-', "\n";
    }
}
foreach (array_diff_key($shown, $expected) as $name => $args) echo "unexpected function $name\n";

// The same facts through reflection in this process: the required counts in particular.
foreach ($expected as $name => $args) {
    $f = new ReflectionFunction($name);
    if ($f->getNumberOfRequiredParameters() !== count($args)) echo "$name requires ", $f->getNumberOfRequiredParameters(), "\n";
}
var_dump(phpversion('MORVExtension'));
?>
--EXPECT--
bool(true)
string(3) "3.0"
bool(true)
string(3) "3.0"
