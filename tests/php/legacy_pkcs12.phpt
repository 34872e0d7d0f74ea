--TEST--
PKCS#12 files whose key bag is under RC2 or RC4 (openssl -legacy, NSS pk12util) serve every RSA function; PHP's openssl checks the results
--FILE--
<?php
require getenv('MORV_SOURCE_DIR') . '/tests/php/helpers.inc';
var_dump(morv_start());

const P12_PASSWORD = 'Fixture-P12-2020';
// OpenSSL's CMS_USE_KEYID: the recipient named by its subject key identifier, as we read it.
const CMS_USE_KEYID = 0x10000;

$certPem = file_get_contents(morv_pki('rsa/ee_sign.pem'));
$data = "signed and sealed under an old PKCS#12, " . random_bytes(300);
$plainFile = morv_put('plain.bin', $data);
$envelopeFile = morv_work() . '/envelope.der';
// PHP's own 3DES envelope to the certificate of the files.
morv_expect(openssl_cms_encrypt($plainFile, $envelopeFile, $certPem, [], OPENSSL_CMS_BINARY | CMS_USE_KEYID,
    OPENSSL_ENCODING_DER, OPENSSL_CIPHER_3DES), 'openssl_cms_encrypt');
$envelope = base64_encode((string)file_get_contents($envelopeFile));

foreach (['key_rc2_40', 'key_rc2_128', 'key_rc4_40', 'key_rc4_128', 'nss_rc4_128'] as $name) {
    $p12 = morv_pki("p12/$name.p12");
    $cert = 'kept';
    $rc = vomu_getPublicCertFromPFX('RSA', $p12, P12_PASSWORD, $cert);
    morv_expect($rc === VOMU_OK && $cert === morv_cert_base64(morv_pki('rsa/ee_sign.pem')),
        "$name: certificate " . vomu_code_name($rc));
    foreach (['SHA-1' => OPENSSL_ALGO_SHA1, 'SHA-256' => OPENSSL_ALGO_SHA256] as $hash => $algo) {
        $sig = 'kept';
        $rc = vomu_signData_PKCS1('RSA', $data, $p12, P12_PASSWORD, $hash, $sig);
        morv_expect($rc === VOMU_OK && openssl_verify($data, base64_decode($sig), $certPem, $algo) === 1,
            "$name: $hash signature " . vomu_code_name($rc));
    }
    $opened = 'kept';
    $rc = vomu_decryptDataFromCMSEnvelope('RSA', $envelope, $p12, P12_PASSWORD, $opened);
    morv_expect($rc === VOMU_OK && $opened === $data, "$name: envelope " . vomu_code_name($rc));
    // A wrong password still fails at the MAC, whatever protects the key.
    $sig = 'kept';
    $rc = vomu_signData_PKCS1('RSA', $data, $p12, 'Fixture-P12-2021', 'SHA-256', $sig);
    morv_expect($rc !== VOMU_OK && $sig === 'kept', "$name: wrong password " . vomu_code_name($rc));
}
// PHP's own openssl reads none of these keys: its default context has no legacy provider.
morv_expect(!openssl_pkcs12_read(file_get_contents(morv_pki('p12/key_rc4_128.p12')), $certs, P12_PASSWORD),
    'openssl_pkcs12_read opened an RC4 key bag');
morv_report();
?>
--EXPECT--
int(0)

done
