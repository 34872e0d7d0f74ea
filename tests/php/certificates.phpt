--TEST--
Certificate functions against PHP's openssl_x509_parse, openssl_pkcs12_read and the openssl CLI
--ENV--
TZ=Asia/Shanghai
--FILE--
<?php
require getenv('MORV_SOURCE_DIR') . '/tests/php/helpers.inc';
var_dump(morv_start());
date_default_timezone_set('Asia/Shanghai');


// ctime's text of an instant in the local zone: "Wed Jan  1 08:00:00 2020".
function ctime_text(int $t): string
{
    return sprintf('%s %s %2d %s %s', date('D', $t), date('M', $t), date('j', $t), date('H:i:s', $t), date('Y', $t));
}

// Every information name, for both types and a name in UTF-8, against PHP's parse.
foreach (['SM2' => 'sm2/ee_sign.pem', 'RSA' => 'rsa/ee_sign.pem', 'SM2 utf8' => 'sm2/ee_utf8.pem'] as $label => $file) {
    $pem = file_get_contents(morv_pki($file));
    $peer = openssl_x509_parse($pem);
    $dn = fn(array $name) => implode(', ', array_reverse(array_map(fn($k, $v) => "$k=$v", array_keys($name), $name)));
    $expected = [
        'CertType' => substr($label, 0, 3),
        'SubjectDN' => $dn($peer['subject']),
        'subjectcn' => $peer['subject']['CN'],
        'IssuerDN' => $dn($peer['issuer']),
        'SerialNumber' => strtoupper($peer['serialNumberHex']),
        'ValidFrom' => ctime_text($peer['validFrom_time_t']),
        'VALIDTO' => ctime_text($peer['validTo_time_t']),
    ];
    foreach ($expected as $name => $want) {
        $got = 'kept';
        $rc = vomu_getCertificateInfo(morv_cert_base64(morv_pki($file)), $name, $got);
        morv_expect($rc === VOMU_OK && $got === $want, "$label $name: " . vomu_code_name($rc) . " [$got] != [$want]");
    }
}
$got = 'kept';
$rc = vomu_getCertificateInfo(morv_cert_base64(morv_pki('rsa/ee_sign.pem')), 'Subject', $got);
morv_expect($rc === VOMU_E_INVALID_ARG && $got === 'kept', "name Subject: $rc [$got]");
$rc = vomu_getCertificateInfo(base64_encode('not a certificate'), 'CertType', $got);
morv_expect($rc === VOMU_E_CERT_INFO && $got === 'kept', "not a certificate: $rc [$got]");

// Verification: each row checked against the openssl CLI's answer for the same question.
function cli_verifies(array $cas, string $pem, ?string $crl): bool
{
    $work = morv_work();
    file_put_contents("$work/cas.pem", implode('', array_map(fn($f) => file_get_contents(morv_pki($f)), $cas)));
    $cmd = 'openssl verify -CAfile ' . escapeshellarg("$work/cas.pem");
    if ($crl !== null) $cmd .= ' -crl_check -CRLfile ' . escapeshellarg(morv_pki($crl));
    exec($cmd . ' ' . escapeshellarg(morv_pki($pem)) . ' 2>&1', $out, $status);
    return $status === 0;
}
$rsaCas = morv_pki('rsa/root.pem') . '|' . morv_pki('rsa/int.pem');
$rows = [
    // certificate, flag, trusted CAs, CRL, expected code
    ['rsa/ee_sign.pem', 1, '', '', VOMU_OK],
    ['rsa/ee_expired.pem', 1, '', '', VOMU_E_CERT_TIME],
    ['rsa/ee_notyet.pem', 1, '', '', VOMU_E_CERT_TIME],
    ['rsa/ee_revoked.pem', 2, '', morv_pki('rsa/crl.pem'), VOMU_E_CERT_REVOKED],
    ['rsa/ee_sign.pem', 2, '', morv_pki('rsa/crl.pem'), VOMU_OK],
    ['rsa/ee_sign.pem', 4, $rsaCas, '', VOMU_OK],
    ['rsa/ee_sign.pem', 4, '|' . morv_pki('rsa/root.pem') . '||' . morv_pki('rsa/int.pem') . '|', '', VOMU_OK],
    ['rsa/ee_sign.pem', 4, morv_pki('rsa/other_root.pem'), '', VOMU_E_CERT_CHAIN],
    ['rsa/ee_sign.pem', 7, $rsaCas, morv_pki('rsa/crl.pem'), VOMU_OK],
    ['sm2/ee_sign.pem', 7, morv_pki('sm2/root.pem') . '|' . morv_pki('sm2/int.pem'), morv_pki('sm2/crl.pem'), VOMU_OK],
    ['sm2/ee_revoked.pem', 7, morv_pki('sm2/root.pem') . '|' . morv_pki('sm2/int.pem'), morv_pki('sm2/crl.pem'), VOMU_E_CERT_REVOKED],
    ['rsa/ee_sign.pem', 2, '', '', VOMU_E_INVALID_ARG],
    ['rsa/ee_sign.pem', 4, $rsaCas . '|' . morv_work() . '/missing.pem', '', VOMU_E_OPEN_FILE],
];
foreach ($rows as [$cert, $flag, $cas, $crl, $want]) {
    $rc = vomu_verifyCertificate(morv_cert_base64(morv_pki($cert)), $flag, $cas, $crl);
    morv_expect($rc === $want, "verify $cert flag $flag: " . vomu_code_name($rc) . ' != ' . vomu_code_name($want));
}
// The CLI agrees on the RSA chain and revocation rows (it checks SM2 with another user ID).
$cliRows = [
    [['rsa/root.pem', 'rsa/int.pem'], 'rsa/ee_sign.pem', null, true],
    [['rsa/other_root.pem'], 'rsa/ee_sign.pem', null, false],
    [['rsa/root.pem', 'rsa/int.pem'], 'rsa/ee_revoked.pem', 'rsa/crl.pem', false],
    [['rsa/root.pem', 'rsa/int.pem'], 'rsa/ee_sign.pem', 'rsa/crl.pem', true],
];
foreach ($cliRows as [$cas, $pem, $crl, $want]) {
    morv_expect(cli_verifies($cas, $pem, $crl) === $want, "the CLI disagrees on $pem");
}

// The certificate of a key file: the SM2 key file's (any password), the PKCS#12's.
$got = '';
$rc = vomu_getPublicCertFromPFX('sm2', morv_pki('sm2pfx/sign.b64'), 'wrong password', $got);
morv_expect($rc === VOMU_OK && $got === morv_cert_base64(morv_pki('sm2/ee_sign.pem')), "SM2 key file: $rc");
openssl_pkcs12_read(file_get_contents(morv_pki('p12/modern.p12')), $p12, 'Fixture-P12-2020');
openssl_x509_export($p12['cert'], $p12Pem);
$got = '';
$rc = vomu_getPublicCertFromPFX('RSA', morv_pki('p12/modern.p12'), 'Fixture-P12-2020', $got);
morv_expect($rc === VOMU_OK && base64_decode($got) === base64_decode(preg_replace('/-----[^-]+-----|\s+/', '', $p12Pem)),
    "PKCS#12: $rc");
$got = 'kept';
$rc = vomu_getPublicCertFromPFX('RSA', morv_pki('p12/modern.p12'), 'wrong', $got);
morv_expect($rc === VOMU_E_FAIL && $got === 'kept', "PKCS#12 wrong password: $rc [$got]");
$rc = vomu_getPublicCertFromPFX('DSA', morv_pki('p12/modern.p12'), '', $got);
morv_expect($rc === VOMU_E_INVALID_ARG && $got === 'kept', "DSA: $rc");

morv_report();
?>
--EXPECT--
int(0)

done
