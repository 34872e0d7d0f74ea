--TEST--
Envelopes through PHP, checked by PHP's openssl_cms_* and the CLI; data with zero bytes comes back whole
--FILE--
<?php
require getenv('MORV_SOURCE_DIR') . '/tests/php/helpers.inc';
var_dump(morv_start());

const P12_PASSWORD = 'Envelope-P12-2026';
// OpenSSL's CMS_USE_KEYID: the recipient named by its subject key identifier, the form this
// system writes and reads.
const CMS_USE_KEYID = 0x10000;

// The contents octets of the last element of a DER file that openssl asn1parse lists at a line
// matching $pattern.
function der_element(string $derFile, string $pattern): ?string
{
    exec('openssl asn1parse -inform DER -in ' . escapeshellarg($derFile), $lines);
    $found = null;
    foreach ($lines as $line) {
        if (preg_match('/^\s*(\d+):d=\d+\s+hl=(\d+)\s+l=\s*(\d+)/', $line, $m) && preg_match($pattern, $line)) {
            $found = substr(file_get_contents($derFile), $m[1] + $m[2], $m[3]);
        }
    }
    return $found;
}

$plain = "a\0b\0\0c sealed through PHP, " . random_bytes(1000);
$rsaPem = morv_pki('rsa/ee_sign_enc.pem');
$rsaKey = morv_pki('rsa/ee_sign_enc.key');
// The recipient's PKCS#12, made by the CLI.
$p12 = morv_work() . '/recipient.p12';
morv_expect(morv_cli("openssl pkcs12 -export -in $rsaPem -inkey $rsaKey -passout pass:" . P12_PASSWORD . " -out $p12"), 'pkcs12 -export');

// RSA with 3DES: PHP's openssl_cms_decrypt opens ours; ours opens PHP's openssl_cms_encrypt.
$envelope = '';
morv_expect(vomu_encryptDataToCMSEnvelope('RSA', $plain, morv_cert_base64($rsaPem), '3des', $envelope) === VOMU_OK, 'RSA 3DES seal');
$in = morv_put('env.der', base64_decode($envelope));
$out = morv_work() . '/env.out';
morv_expect(openssl_cms_decrypt($in, $out, file_get_contents($rsaPem), file_get_contents($rsaKey), OPENSSL_ENCODING_DER)
    && file_get_contents($out) === $plain, 'openssl_cms_decrypt of ours');
morv_expect(morv_cli("openssl cms -cmsout -print -inform DER -in $in | grep -q des-ede3-cbc"), '3DES content cipher');

$peerIn = morv_put('peer.txt', $plain);
$peerOut = morv_work() . '/peer.der';
morv_expect(openssl_cms_encrypt($peerIn, $peerOut, file_get_contents($rsaPem), [], OPENSSL_CMS_BINARY | CMS_USE_KEYID, OPENSSL_ENCODING_DER, OPENSSL_CIPHER_3DES), 'openssl_cms_encrypt');
$opened = '';
morv_expect(vomu_decryptDataFromCMSEnvelope('RSA', base64_encode(file_get_contents($peerOut)), $p12, P12_PASSWORD, $opened) === VOMU_OK, 'ours opens PHP\'s envelope');
morv_expect($opened === $plain, 'PHP\'s envelope whole: ' . strlen($opened) . ' bytes');

// RSA with RC4. PHP's own context has no RC4 and OpenSSL's CMS refuses the NULL parameters
// this system writes for it, so the envelope is opened by hand: the content key with PHP's
// openssl_private_decrypt, the content with the CLI's RC4 (legacy provider).
$envelope = '';
morv_expect(vomu_encryptDataToCMSEnvelope('RSA', $plain, morv_cert_base64($rsaPem), 'RC4', $envelope) === VOMU_OK, 'RSA RC4 seal');
$in = morv_put('rc4.der', base64_decode($envelope));
$wrapped = der_element($in, '/l=\s*256 prim: OCTET STRING/');
// The encrypted content: the last [0] of the envelope (the first names the recipient's key).
$content = der_element($in, '/prim:\s+cont \[ 0 \]\s*$/');
morv_expect($wrapped !== null && openssl_private_decrypt($wrapped, $cek, file_get_contents($rsaKey)), 'the content key opens');
$cipherFile = morv_put('rc4.bin', (string)$content);
morv_expect(strlen((string)$cek) === 16 && morv_cli("openssl enc -d -rc4 -K " . bin2hex($cek) . " -in $cipherFile -out $out -provider legacy -provider default")
    && file_get_contents($out) === $plain, 'the CLI decrypts the RC4 content');
$opened = '';
morv_expect(vomu_decryptDataFromCMSEnvelope('rsa', $envelope, $p12, P12_PASSWORD, $opened) === VOMU_OK && $opened === $plain, 'RC4 round trip');

// SM2 (SM4-CBC inside): sealed to the key file's certificate, opened with the key file; the
// four bytes a, b, zero, c come back as four bytes.
foreach (["ab\0c", $plain] as $bytes) {
    $envelope = '';
    morv_expect(vomu_encryptDataToCMSEnvelope('SM2', $bytes, morv_cert_base64(morv_pki('sm2/ee_sign_enc.pem')), '', $envelope) === VOMU_OK, 'SM2 seal');
    $opened = '';
    morv_expect(vomu_decryptDataFromCMSEnvelope('SM2', $envelope, morv_pki('sm2pfx/sign_enc.b64'), 'Fixture-SM2-2020', $opened) === VOMU_OK, 'SM2 open');
    morv_expect($opened === $bytes, 'SM2 content whole: ' . bin2hex(substr($opened, 0, 8)));
}
morv_expect(str_contains(morv_log(), "nPlainDataLen:4\n"), 'the length of the decrypted bytes is traced');

// Refusals keep the output: a recipient that cannot decipher keys, a wrong password, an
// unknown cipher.
$kept = 'kept';
morv_expect(vomu_encryptDataToCMSEnvelope('RSA', $plain, morv_cert_base64(morv_pki('rsa/ee_sign.pem')), '3DES', $kept) === VOMU_E_KEY_USAGE && $kept === 'kept', 'recipient without keyEncipherment');
morv_expect(vomu_encryptDataToCMSEnvelope('RSA', $plain, morv_cert_base64($rsaPem), 'AES', $kept) === VOMU_E_INVALID_ARG && $kept === 'kept', 'AES');
morv_expect(vomu_decryptDataFromCMSEnvelope('RSA', base64_encode(file_get_contents($peerOut)), $p12, 'wrong', $kept) !== VOMU_OK && $kept === 'kept', 'wrong PKCS#12 password');

morv_report();
?>
--EXPECT--
int(0)

done
