--TEST--
After every function runs with a sentinel password, key text and plaintext, the log holds none of them
--FILE--
<?php
require getenv('MORV_SOURCE_DIR') . '/tests/php/helpers.inc';
var_dump(morv_start());

// Sentinels: the PKCS#12 password (a file made for it by the CLI), the SM2 key file's
// password, the plaintext to seal; the symmetric key text the module hands out.
$p12Password = 'Sentinel-P12-Password-5d1e';
$sm2Password = 'Fixture-SM2-2020';
$plaintext = 'Sentinel-Plaintext-93b7c1';
$work = morv_work();
$rsaPem = morv_pki('rsa/ee_sign_enc.pem');
exec("openssl pkcs12 -export -in $rsaPem -inkey " . morv_pki('rsa/ee_sign_enc.key') . " -passout pass:$p12Password -out $work/s.p12");
$b64 = fn($f) => preg_replace('/-----[^-]+-----|\s+/', '', file_get_contents($f));
$rsaCert = $b64($rsaPem);
$sm2Cert = $b64(morv_pki('sm2/ee_sign_enc.pem'));
$keys = ['RSA' => ["$work/s.p12", $p12Password, $rsaCert, '3DES'], 'SM2' => [morv_pki('sm2pfx/sign_enc.b64'), $sm2Password, $sm2Cert, '']];
file_put_contents("$work/data.bin", 'data');

$codes = [];
foreach ($keys as $alg => [$key, $password, $cert, $cipher]) {
    $out = '';
    $codes[] = vomu_signData_PKCS1($alg, 'data', $key, $password, 'SHA-256', $out);
    $codes[] = vomu_signData_PKCS7Detached($alg, 'data', $key, $password, 'SHA-256', $out);
    $codes[] = vomu_signData_PKCS7Attached($alg, 'data', $key, $password, 'SHA-256', $out);
    $codes[] = vomu_signFile_PKCS7Detached($alg, "$work/data.bin", $key, $password, 'SHA-256', $out);
    $envelope = '';
    $codes[] = vomu_encryptDataToCMSEnvelope($alg, $plaintext, $cert, $cipher, $envelope);
    $opened = '';
    $codes[] = vomu_decryptDataFromCMSEnvelope($alg, $envelope, $key, $password, $opened);
    $codes[] = $opened === $plaintext ? 0 : -99;
    $codes[] = vomu_getPublicCertFromPFX($alg, $key, $password, $out);
    // A wrong password is a secret too.
    $codes[] = vomu_signData_PKCS1($alg, 'data', $key, $password . '-wrong', 'SHA-256', $out) === VOMU_OK ? -99 : 0;
}
file_put_contents("$work/plain.txt", $plaintext);
$symKey = '';
$codes[] = vomu_symEncryptFile('SM4_CBC', "$work/plain.txt", "$work/plain.enc", $symKey);
$codes[] = vomu_symDecryptFile('SM4_CBC', "$work/plain.enc", $symKey, "$work/plain.dec");
var_dump(array_filter($codes));

$log = morv_log();
var_dump(strlen($log) > 1000);
foreach (['PKCS#12 password' => $p12Password, 'SM2 password' => $sm2Password, 'plaintext' => $plaintext,
          'key text' => $symKey, 'key text, lower case' => strtolower($symKey)] as $what => $secret) {
    if ($secret === '' || str_contains($log, $secret)) echo "the log holds the $what\n";
}
// Their lengths are traced instead.
var_dump(str_contains($log, 'strPlainData size:' . strlen($plaintext)), str_contains($log, 'strSymKey size:64'));
?>
--EXPECT--
int(0)
array(0) {
}
bool(true)
bool(true)
bool(true)
