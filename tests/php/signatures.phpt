--TEST--
Signatures through PHP, checked by PHP's openssl and the openssl CLI; attached content with zero bytes comes back whole
--FILE--
<?php
require getenv('MORV_SOURCE_DIR') . '/tests/php/helpers.inc';
var_dump(morv_start());

const SM2_KEY = 'sm2pfx/sign.b64';
const SM2_PASSWORD = 'Fixture-SM2-2020';
const RSA_KEY = 'p12/modern.p12';
const RSA_PASSWORD = 'Fixture-P12-2020';

// One byte of a Base64 signature changed, near its end (inside the signature value).
function tampered(string $base64): string
{
    $der = base64_decode($base64);
    $der[strlen($der) - 3] = chr(ord($der[strlen($der) - 3]) ^ 0x01);
    return base64_encode($der);
}


$data = "Signed through PHP,\0 zero bytes\0\0 and all.";
$sm2Cert = morv_cert_base64(morv_pki('sm2/ee_sign.pem'));
$rsaCert = morv_cert_base64(morv_pki('rsa/ee_sign.pem'));
$rsaPem = file_get_contents(morv_pki('rsa/ee_sign.pem'));
$dataFile = morv_put('data.bin', $data);

// RSA PKCS#1, both hashes, both ways with PHP's openssl_sign/openssl_verify.
foreach (['SHA-1' => OPENSSL_ALGO_SHA1, 'SHA-256' => OPENSSL_ALGO_SHA256] as $hash => $algo) {
    $sig = '';
    morv_expect(vomu_signData_PKCS1('RSA', $data, morv_pki(RSA_KEY), RSA_PASSWORD, $hash, $sig) === VOMU_OK, "RSA $hash sign");
    morv_expect(openssl_verify($data, base64_decode($sig), $rsaPem, $algo) === 1, "openssl_verify of our RSA $hash");
    openssl_sign($data, $peerSig, file_get_contents(morv_pki('rsa/ee_sign.key')), $algo);
    morv_expect(vomu_verifyDataSignature_PKCS1('RSA', $data, $rsaCert, $hash, base64_encode($peerSig)) === VOMU_OK, "PHP's RSA $hash in ours");
    morv_expect(vomu_verifyDataSignature_PKCS1('RSA', $data, $rsaCert, $hash, tampered(base64_encode($peerSig))) === VOMU_E_BAD_SIGNATURE, "tampered RSA $hash");
}

// SM2 PKCS#1: the CLI verifies it over SM3 with the standard user ID.
$sig = '';
morv_expect(vomu_signData_PKCS1('sm2', $data, morv_pki(SM2_KEY), SM2_PASSWORD, '', $sig) === VOMU_OK, 'SM2 PKCS#1 sign');
$sigFile = morv_put('sm2.sig', base64_decode($sig));
exec('openssl x509 -in ' . escapeshellarg(morv_pki('sm2/ee_sign.pem')) . ' -pubkey -noout', $pub);
$pubFile = morv_put('sm2.pub', implode("\n", $pub) . "\n");
morv_expect(morv_cli("openssl dgst -sm3 -verify $pubFile -sigopt distid:1234567812345678 -signature $sigFile $dataFile"), 'openssl dgst verifies SM2 PKCS#1');
morv_expect(vomu_verifyDataSignature_PKCS1('SM2', $data, $sm2Cert, '', $sig) === VOMU_OK, 'SM2 PKCS#1 verify');
morv_expect(vomu_verifyDataSignature_PKCS1('SM2', $data . 'x', $sm2Cert, '', $sig) === VOMU_E_BAD_SIGNATURE, 'SM2 PKCS#1 other data');

// PKCS#7 detached and attached, both roads: the signer handed back, the content whole.
foreach (['SM2' => [SM2_KEY, SM2_PASSWORD, $sm2Cert], 'RSA' => [RSA_KEY, RSA_PASSWORD, $rsaCert]] as $alg => [$key, $password, $cert]) {
    $detached = '';
    morv_expect(vomu_signData_PKCS7Detached($alg, $data, morv_pki($key), $password, 'SHA-256', $detached) === VOMU_OK, "$alg detached sign");
    $signer = '';
    morv_expect(vomu_verifyDataSignature_PKCS7Detached($alg, $data, $detached, $signer) === VOMU_OK && $signer === $cert, "$alg detached verify");
    $signer = 'kept';
    morv_expect(vomu_verifyDataSignature_PKCS7Detached($alg, $data . 'x', $detached, $signer) === VOMU_E_BAD_SIGNATURE && $signer === 'kept', "$alg detached other data");

    $attached = '';
    morv_expect(vomu_signData_PKCS7Attached($alg, $data, morv_pki($key), $password, 'SHA-256', $attached) === VOMU_OK, "$alg attached sign");
    $signer = '';
    $content = '';
    morv_expect(vomu_verifyDataSignature_PKCS7Attached($alg, $attached, $signer, $content) === VOMU_OK, "$alg attached verify");
    morv_expect($content === $data, "$alg attached content: " . bin2hex($content));
    morv_expect($signer === $cert, "$alg attached signer");
    $content = 'kept';
    morv_expect(vomu_verifyDataSignature_PKCS7Attached($alg, tampered($attached), $signer, $content) !== VOMU_OK && $content === 'kept', "$alg attached tampered");

    $fileSig = '';
    morv_expect(vomu_signFile_PKCS7Detached($alg, $dataFile, morv_pki($key), $password, 'SHA-256', $fileSig) === VOMU_OK, "$alg file sign");
    $signer = '';
    morv_expect(vomu_verifyFileSignature_PKCS7Detached($alg, $dataFile, $fileSig, $signer) === VOMU_OK && $signer === $cert, "$alg file verify");
    morv_expect(vomu_verifyFileSignature_PKCS7Detached($alg, morv_put('other.bin', $data . 'x'), $fileSig, $signer) !== VOMU_OK, "$alg file other data");
    ${"detached$alg"} = $detached;
    ${"attached$alg"} = $attached;
    ${"file$alg"} = $fileSig;
}

// The RSA SignedData are what the openssl CLI reads and verifies.
$chain = morv_put('rsa_chain.pem', file_get_contents(morv_pki('rsa/int.pem')) . file_get_contents(morv_pki('rsa/root.pem')));
foreach (['detachedRSA' => $detachedRSA, 'fileRSA' => $fileRSA] as $label => $sig) {
    $p7 = morv_put("$label.p7", base64_decode($sig));
    morv_expect(morv_cli("openssl cms -verify -binary -inform DER -in $p7 -content $dataFile -CAfile $chain -purpose any -out /dev/null"), "openssl cms verifies $label");
}
$p7 = morv_put('attached.p7', base64_decode($attachedRSA));
$out = morv_work() . '/attached.out';
morv_expect(morv_cli("openssl cms -verify -binary -inform DER -in $p7 -CAfile $chain -purpose any -out $out") && file_get_contents($out) === $data, 'openssl cms verifies the attached RSA signature and reads its content whole');

// Refusals keep the outputs: a wrong SM2 password, RSA with MD5, an unknown algorithm.
$sig = 'kept';
morv_expect(vomu_signData_PKCS1('SM2', $data, morv_pki(SM2_KEY), 'wrong', '', $sig) !== VOMU_OK && $sig === 'kept', 'wrong SM2 password');
morv_expect(vomu_signData_PKCS7Detached('RSA', $data, morv_pki(RSA_KEY), RSA_PASSWORD, 'MD5', $sig) === VOMU_E_INVALID_ARG && $sig === 'kept', 'RSA with MD5');
morv_expect(vomu_signData_PKCS1('DSA', $data, morv_pki(RSA_KEY), RSA_PASSWORD, 'SHA-256', $sig) === VOMU_E_INVALID_ARG && $sig === 'kept', 'DSA');
morv_expect(vomu_signData_PKCS1('RSA', '', morv_pki(RSA_KEY), RSA_PASSWORD, 'SHA-256', $sig) === VOMU_E_INVALID_ARG && $sig === 'kept', 'empty data');

morv_report();
?>
--EXPECT--
int(0)

done
