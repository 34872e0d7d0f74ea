--TEST--
Step lines of every PHP function, SM2 and RSA, passing and failing: each names a function of the system's interfaces, and no OK line carries a text that is only ever a failure
--FILE--
<?php
require getenv('MORV_SOURCE_DIR') . '/tests/php/helpers.inc';

// The function names a step line may carry: the interfaces of the logging wrapper, the ASN.1
// engine, Base64 and utilities, the memory log, the SM4 helpers, the kernel, the key-file,
// certificate and message formats, the operations, the SDK and the PHP module. A helper's step
// belongs to the interface function that called it, so no helper name is here.
const STEP_FUNCTIONS = [
    'vomu_log_init_ex', 'vomu_log_init', 'vomu_log_fini', 'TRACE', 'TRACE_BINARY', 'TraceInfo',
    'TraceError',
    'EncodeASN1Length', 'GetTotalRequiredSize', 'GetCurrentRequiredLength', 'AddChild', '~NodeEx',
    'DuplicateNodeEx', 'ASN1Encode', 'EncodeASN1ToMemory', 'EncodeASN1ToFile',
    'DecodeASN1MemoryEx', 'DecodeASN1FileEx', 'ParseNodeEx', 'ParseASN1TLVEx',
    'GetASN1ValueLengthEx', 'GetInfiniteLengthEx', 'PrintNodeEx',
    'Base64EncodeGetRequiredLength', 'Base64DecodeGetRequiredLength', 'Base64Encode',
    'DecodeBase64Char', 'Base64Decode', 'Base64EncodeEx', 'Base64DecodeEx', 'GetFileSize_Ex',
    'ConvertBinaryDataToString', 'SplitString', 'CleanupStringVector',
    'vomu_log_init_memory_log', 'zlog_init_memory_log', 'zlog_conf_new_with_rule',
    'zlog_rule_output_memory', 'auto_create_dir', 'zlog_reload', 'zlog_fini', 'zlog_rule_new',
    'zlog_init_inner', 'zlog_fini_inner', 'zlog_thread_clean', 'zlog_clean_rest_thread', 'zlog',
    'vzlog', 'hzlog', 'dzlog', 'vdzlog', 'hdzlog', 'zlog_put_mdc', 'zlog_get_mdc',
    'zlog_remove_mdc', 'zlog_clean_mdc', 'zlog_conf_new',
    'SM4_Encrypt_CBC', 'SM4_Decrypt_CBC', 'SM4_Encrypt_CBC_Nopadding',
    'SM4_Decrypt_CBC_Nopadding', 'SM4EncryptByPin', 'SM4DecryptByPin',
    'SMKernelInitialize', 'SMKernelUninitialize',
    'CreateSM2PrivateData', 'CreateSM2PublicData', 'CreateSM2PFX', 'EncapsulateSM2PFX',
    'ParseSM2PFX', 'DecryptKeyPairFromSM2PFX', 'DecryptSM2PFX', 'CleanupSM2KeyPair',
    'GetPublicKeyXYFromSM2Cert', 'GetIssuerFromCert', 'GetSerialNumberFromCert',
    'GetSubjectKeyIDFromCert', 'ConstructNode_ECPrivateKey', 'EncodeECPrivateKey',
    'ConvertCertDataToX509', 'VerifyCertTime', 'VerifyCertCRL', 'LoadCertsToStore',
    'LoadP7bToStore', 'VerifyCertChainByTrustedStore', 'VerifyCertChain', 'VerifyX509',
    'VerifyCertificate', 'CheckX509KeyUsage', 'CheckCertKeyUsage', 'ParsePFXFile',
    'GetX509CertType', 'GetX509SubjectCN', 'GetX509SubjectDN', 'GetX509IssuerDN',
    'GetX509NotBefore', 'GetX509NotAfter', 'GetX509SerialNumber', 'GetX509SubjectKeyID',
    'GetX509CertAlg', 'ASN1_TIME_To_UTCTime',
    'ConstructNode_ObjectIdentifier', 'ConstructNode_AlgorithmIdentifier',
    'ConstructNode_ContentInfo', 'Encode_ObjectIdentifier', 'Encode_AlgorithmIdentifier',
    'GetOIDFromNID',
    'Encode_CMSEnvelope', 'ConstructNode_KeyTransRecipientInfo',
    'ConstructNode_EncryptedContentInfo', 'ConstructNode_EnvelopedData', 'Decode_CMSEnvelopeData',
    'Decode_CMSEnvelopeFile',
    'Encode_SM2Cipher', 'Decode_SM2Cipher', 'ConstructNode_SM2Cipher',
    'Encode_PKCS7Signature', 'ConstructNode_SignedData', 'ConstructNode_SignerInfo',
    'ConstructNode_IssuerAndSerialNumber', 'ConstructNode_Attribute',
    'ConstructNode_SignedAttributes', 'ConstructNode_UnsignedAttributes',
    'ConstructNode_SignedAttributes_SingleItem', 'ConstructNode_UnsignedAttributes_SingleItem',
    'ConstructNode_SM2Q1', 'Encode_SM2Q1', 'Decode_SM2Q1',
    'ParsePKCS7Signature', 'ParsePKCS7AttachedSignatureFile', 'ParseSignedUnsignedAttributes',
    'DecodeRSAPKCS7Signature',
    'ParseSM2P7', 'ParseSM2P7SignedData', 'ParseSM2P7SignerInfo', 'ParseSM2PKCS7Signature',
    'SM2_CalculateZValue', 'CalculateSM3Hash', 'CalculateSM3FileHash', 'CalculateSM3FileHashEx',
    'SignData_Raw_ByKeyPair', 'SignData_Raw_BySM2PFX', 'SignData_PKCS1_ByKeyPair',
    'SignData_PKCS1_BySM2PFX', 'VerifySignature_Raw', 'VerifySignature_DERPKCS1_ByCert',
    'VerifySignature_PKCS1_ByCert', 'SignFile_Raw_ByKeyPair', 'SignFile_Raw_BySM2PFX',
    'SignFile_PKCS1_ByKeyPair', 'SignFile_PKCS1_BySM2PFX', 'VerifyFileSignature_Raw',
    'VerifyFileSignature_PKCS1_ByCert',
    'SignData_PKCS7_BySM2PFX', 'VerifySignature_DERPKCS7Attached',
    'VerifySignature_PKCS7Attached', 'VerifySignature_DERPKCS7Detached',
    'VerifySignature_PKCS7Detached', 'SignFile_PKCS7Detached_BySM2PFX',
    'SignFile_PKCS7Attached_BySM2PFX', 'SM2_VerifyFileSignature_PKCS7Detached',
    'VerifyFileSignature_PKCS7Attached', 'VerifySignature_PKCS7WithSignedAttributes',
    'SM2_Encrypt', 'SM2_Decrypt', 'EncryptDataToDerCMSEnvelope', 'DecryptDerCMSEnvelopeData',
    'EncryptDataToBase64CMSEnvelope', 'DecryptBase64CMSEnvelopeData',
    'EncryptFileToDerCMSEnvelope', 'DecryptDerCMSEnvelopeFile',
    'GetEVPCipherbyNID', 'GenerateSymKey', 'SymEncrypt', 'SymDecrypt', 'SymFileEncrypt',
    'SymFileDecrypt',
    'RSAEncrypt', 'RSADecrypt', 'RSAEncryptByX509', 'RSA_EncryptDataToDERCMSEnvelope',
    'RSA_EncryptDataToCMSEnvelope', 'RSA_EncryptFileToCMSEnvelope',
    'RSA_DecryptDataFromDERCMSEnvelope', 'RSA_DecryptDataFromCMSEnvelope',
    'RSA_DecryptFileFromCMSEnvelope', 'DecryptFileEnvelopeContent',
    'DecryptFileEnvelopeContent_ProcessOneNode',
    'GetEVPMDbyNID', 'GetAlgOIDbyHashNID', 'CalculateDataHash', 'CalculateFileHash',
    'RSA_SignData_PKCS1_ByPrivateKey', 'RSA_SignData_PKCS1_ByPFX', 'RSA_SignData_PKCS1',
    'RSA_VerifyDataSignature_PKCS1_ByX509', 'RSA_VerifyDataSignature_DERPKCS1_ByDERCert',
    'RSA_VerifyDataSignature_PKCS1', 'RSA_SignFile_PKCS1_ByPrivateKey',
    'RSA_SignFile_PKCS1_ByPFX', 'RSA_SignFile_PKCS1', 'RSA_VerifyFileSignature_PKCS1_ByX509',
    'RSA_VerifyFileSignature_PKCS1_ByDERCertContent', 'RSA_VerifyFileSignature_PKCS1',
    'PKCS7_sign_ex', 'PKCS7_verify_signature', 'RSA_SignData_PKCS7_ByKeyPair',
    'RSA_SignData_PKCS7_ByPFX', 'RSA_SignData_PKCS7', 'RSA_VerifyDataSignature_DERPKCS7Detached',
    'RSA_VerifyDataSignature_PKCS7Detached', 'RSA_VerifyDataSignature_DERPKCS7Attached',
    'RSA_VerifyDataSignature_PKCS7Attached', 'RSA_SignFile_PKCS7Detached_ByPFX',
    'RSA_SignFile_PKCS7Detached', 'RSA_VerifyFileSignature_DERPKCS7Detached',
    'RSA_VerifyFileSignature_PKCS7Detached',
    'SignData_PKCS1', 'SignData_PKCS7Detached', 'SignData_PKCS7Attached',
    'VerifyDataSignature_PKCS1', 'VerifyDataSignature_PKCS7Detached',
    'VerifyDataSignature_PKCS7Attached', 'SignFile_PKCS7Detached',
    'VerifyFileSignature_PKCS7Detached',
    'EncryptDataToCMSEnvelope', 'DecryptDataFromCMSEnvelope', 'SignAndEncryptData',
    'DecryptAndVerifyDataSignature',
    'Initialize', 'Uninitialize', 'FreeMemory', 'ConvertStringToBinaryData',
    'SymEncryptFile', 'SymDecryptFile',
    'VerifyCertificate', 'GetCertificateInfo', 'GetPublicCertFromPFX',
    'vomu_initialize', 'vomu_uninitialize', 'vomu_signData_PKCS1', 'vomu_signData_PKCS7Detached',
    'vomu_signData_PKCS7Attached', 'vomu_verifyDataSignature_PKCS1',
    'vomu_verifyDataSignature_PKCS7Detached', 'vomu_verifyDataSignature_PKCS7Attached',
    'vomu_signFile_PKCS7Detached', 'vomu_verifyFileSignature_PKCS7Detached',
    'vomu_encryptDataToCMSEnvelope', 'vomu_decryptDataFromCMSEnvelope', 'vomu_symEncryptFile',
    'vomu_symDecryptFile', 'vomu_verifyCertificate', 'vomu_getCertificateInfo',
    'vomu_getPublicCertFromPFX', 'vomu_calculateDataHash', 'vomu_calculateFileHash',
];


// Texts that only ever name a refused step: a line with one of them is a Failed line.
const FAILURE_ONLY_STEPS = [
    'Unsupported Algorithm.', 'Invalid SM2 signature encoded type',
    'Invalid SM2 PKCS#1 signature size.', 'Invalid SM2 Q1 signature size.',
    'Invalid SM2 Q1 signature nodes number.', 'Invalid SM2Cipher nodes number.',
    'Check fSM2EncEncodedType', 'Invalid signature type.', 'Invalid hash NID',
    'Unsupported certificate signature algorithm', 'Unsupported pszInfoType',
    'Invalid sign algorithm.', 'Invalid hash algorithm.', 'Invalid symmetric encrypt algorithm.',
    'Invalid symmetrical encrypt algorithm.', 'Invalid asymmetric encrypt algorithm.',
    'Invalid asymmetric decrypt algorithm.', 'Invalid algorithm.',
];

// Every step line of a log as [function, step, passed]; lines that look like step lines but do
// not parse are returned apart, so a malformed line cannot slip through.
function step_lines(string $log, array &$malformed): array
{
    $steps = [];
    foreach (explode("\n", $log) as $line) {
        if (!preg_match('/^\[[^\]]*\]:?\(|^\[[^\]]*:\]\(/', $line)) continue;
        if (preg_match('/^\[[^\]():]+\(\d+\)\]:\((\S+) -- (.*)\)\t\t--OK$/', $line, $m)) {
            $steps[] = [$m[1], $m[2], true];
        } elseif (preg_match('/^\[[^\]():]+\(\d+\):\]\((\S+) -- (.*)\)\t\t--Failed:\(0x[0-9a-f]{8}\) \[Reason:.*\]/', $line, $m)) {
            $steps[] = [$m[1], $m[2], false];
        } else {
            $malformed[] = $line;
        }
    }
    return $steps;
}

const SM2_KEY = 'sm2pfx/sign_enc.b64';
const SM2_PASSWORD = 'Fixture-SM2-2020';
const RSA_PASSWORD = 'Steps-P12-2026';

morv_expect(morv_start() === VOMU_OK, 'start');
$rsaPem = morv_pki('rsa/ee_sign_enc.pem');
$rsaKey = morv_work() . '/sign_enc.p12';
morv_expect(morv_cli("openssl pkcs12 -export -in $rsaPem -inkey " . morv_pki('rsa/ee_sign_enc.key')
    . ' -passout pass:' . RSA_PASSWORD . " -out $rsaKey"), 'pkcs12 -export');
$roads = [
    'SM2' => [morv_pki(SM2_KEY), SM2_PASSWORD, morv_pki('sm2/ee_sign_enc.pem'), [''], 'sm2'],
    'RSA' => [$rsaKey, RSA_PASSWORD, $rsaPem, ['3DES', 'RC4'], 'rsa'],
];
$data = "Step lines of every function.";
$dataFile = morv_put('data.bin', str_repeat($data, 1000));
$codes = [];
foreach ($roads as $alg => [$key, $password, $certFile, $ciphers, $dir]) {
    $cert = morv_cert_base64($certFile);
    foreach (['SHA-256', 'SHA-1'] as $hash) {
        $s = ''; $codes[] = vomu_signData_PKCS1($alg, $data, $key, $password, $hash, $s);
        $codes[] = vomu_verifyDataSignature_PKCS1($alg, $data, $cert, $hash, $s);
        $d = ''; $codes[] = vomu_signData_PKCS7Detached($alg, $data, $key, $password, $hash, $d);
        $c = ''; $codes[] = vomu_verifyDataSignature_PKCS7Detached($alg, $data, $d, $c);
        $a = ''; $codes[] = vomu_signData_PKCS7Attached($alg, $data, $key, $password, $hash, $a);
        $c = ''; $o = ''; $codes[] = vomu_verifyDataSignature_PKCS7Attached($alg, $a, $c, $o);
        $f = ''; $codes[] = vomu_signFile_PKCS7Detached($alg, $dataFile, $key, $password, $hash, $f);
        $c = ''; $codes[] = vomu_verifyFileSignature_PKCS7Detached($alg, $dataFile, $f, $c);
    }
    foreach ($ciphers as $cipher) {
        $e = ''; $codes[] = vomu_encryptDataToCMSEnvelope($alg, $data, $cert, $cipher, $e);
        $p = ''; $codes[] = vomu_decryptDataFromCMSEnvelope($alg, $e, $key, $password, $p);
    }
    $cas = morv_pki("$dir/root.pem") . '|' . morv_pki("$dir/int.pem");
    $codes[] = vomu_verifyCertificate($cert, 7, $cas, morv_pki("$dir/crl.pem"));
    foreach (['CertType', 'SubjectDN', 'SubjectCN', 'IssuerDN', 'SerialNumber', 'ValidFrom', 'ValidTo'] as $info) {
        $o = ''; $codes[] = vomu_getCertificateInfo($cert, $info, $o);
    }
    $o = ''; $codes[] = vomu_getPublicCertFromPFX($alg, $key, $password, $o);
}
foreach (['SM4_CBC', '3DES_CBC'] as $cipher) {
    $k = ''; $codes[] = vomu_symEncryptFile($cipher, $dataFile, "$dataFile.enc", $k);
    $codes[] = vomu_symDecryptFile($cipher, "$dataFile.enc", $k, "$dataFile.dec");
}
foreach (['SM3', 'MD5', 'SHA-1', 'SHA-256'] as $hash) {
    $x = ''; $codes[] = vomu_calculateDataHash($data, $hash, $x);
    $x = ''; $codes[] = vomu_calculateFileHash($dataFile, $hash, $x);
}
morv_expect($codes === array_fill(0, count($codes), VOMU_OK), 'every passing call returns VOMU_OK: ' . implode(',', $codes));

// Refusals on the same roads, each with its Failed line.
$sm2Cert = morv_cert_base64(morv_pki('sm2/ee_sign_enc.pem'));
$out = '';
$failures = [
    'wrong SM2 password' => vomu_signData_PKCS1('SM2', $data, morv_pki(SM2_KEY), 'wrong', '', $out),
    'wrong PKCS#12 password' => vomu_signData_PKCS7Detached('RSA', $data, $rsaKey, 'wrong', 'SHA-256', $out),
    'SM2 signature of 65 bytes' => vomu_verifyDataSignature_PKCS1('SM2', $data, $sm2Cert, '', base64_encode(str_repeat('s', 65))),
    'SM2 signature changed' => vomu_verifyDataSignature_PKCS7Detached('SM2', "$data!", $d ?? '', $out),
    'AES envelope' => vomu_encryptDataToCMSEnvelope('RSA', $data, morv_cert_base64($rsaPem), 'AES', $out),
    'SM2 envelope of other bytes' => vomu_decryptDataFromCMSEnvelope('SM2', base64_encode('not an envelope'), morv_pki(SM2_KEY), SM2_PASSWORD, $out),
    'hash MD2' => vomu_calculateDataHash($data, 'MD2', $out),
    'key text too short' => vomu_symDecryptFile('SM4_CBC', "$dataFile.enc", 'ABCD', "$dataFile.dec2"),
];
foreach ($failures as $what => $code) morv_expect($code !== VOMU_OK, "$what is refused");
vomu_uninitialize();

$malformed = [];
$steps = step_lines(morv_log(), $malformed);
morv_expect(count($steps) > 1000, 'the run logged its step lines: ' . count($steps));
morv_expect($malformed === [], "step lines in neither form:\n" . implode("\n", $malformed));
$allowed = array_flip(STEP_FUNCTIONS);
$failureOnly = array_flip(FAILURE_ONLY_STEPS);
$unknown = $okFailureOnly = $failedSeen = [];
foreach ($steps as [$function, $step, $passed]) {
    if (!isset($allowed[$function])) $unknown["$function -- $step"] = true;
    if ($passed && isset($failureOnly[$step])) $okFailureOnly["$function -- $step"] = true;
    if (!$passed) $failedSeen[$function] = true;
}
morv_expect($unknown === [], "step lines under names no interface gives:\n" . implode("\n", array_keys($unknown)));
morv_expect($okFailureOnly === [], "OK lines with a failure-only text:\n" . implode("\n", array_keys($okFailureOnly)));

// A reader looking for an interface function finds its steps under its own name, the failed
// ones included.
$seen = array_flip(array_column($steps, 0));
foreach (['SignData_Raw_BySM2PFX', 'SignData_Raw_ByKeyPair', 'SignData_PKCS1_BySM2PFX',
          'VerifySignature_PKCS1_ByCert', 'VerifySignature_DERPKCS1_ByCert', 'VerifySignature_Raw',
          'SignFile_Raw_ByKeyPair', 'VerifySignature_PKCS7Detached', 'VerifySignature_DERPKCS7Detached',
          'VerifySignature_PKCS7Attached', 'SM2_VerifyFileSignature_PKCS7Detached',
          'DecryptDerCMSEnvelopeData', 'RSA_VerifyDataSignature_DERPKCS1_ByDERCert',
          'RSA_SignData_PKCS1_ByPFX', 'CalculateSM3Hash', 'CalculateSM3FileHash', 'CalculateFileHash',
          'SymFileEncrypt', 'SymFileDecrypt', 'GetPublicKeyXYFromSM2Cert'] as $function) {
    morv_expect(isset($seen[$function]), "no step line under $function");
}
foreach (['SignData_PKCS1', 'DecryptSM2PFX', 'VerifySignature_DERPKCS1_ByCert',
          'EncryptDataToCMSEnvelope', 'vomu_calculateDataHash', 'SymDecryptFile'] as $function) {
    morv_expect(isset($failedSeen[$function]), "no Failed line under $function");
}
morv_report();
?>
--EXPECT--

done
