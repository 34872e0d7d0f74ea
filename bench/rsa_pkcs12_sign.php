<?php
// RSA PKCS#1 signing with the PKCS#12 read on every call, against PHP's openssl doing the same
// work (file read, openssl_pkcs12_read, openssl_sign), rounds interleaved, medians printed.
// Logging: an ERROR rule to a file, so a successful call writes nothing.
//   php -n -d extension=build/libMORVExtension.so.3 bench/rsa_pkcs12_sign.php [p12] [rounds]
$root = dirname(__DIR__);
$p12 = $argv[1] ?? "$root/tests/data/pki/p12/modern.p12";
$rounds = (int)($argv[2] ?? 41);
$password = 'Fixture-P12-2020';
$callsPerRound = 20;
$data = str_repeat("bench data ", 100);

$dir = sys_get_temp_dir() . '/morv_rsa_bench_' . getmypid();
@mkdir($dir);
file_put_contents("$dir/vomulog.conf",
    "[formats]\nplain = \"%d %V %m%n\"\n[rules]\nvomu_category.ERROR \"$dir/error.log\"; plain\n");
if (vomu_initialize("$dir/vomulog.conf") !== 0) exit("vomu_initialize failed\n");

function ours(string $p12, string $password, string $data): void
{
    $sig = '';
    if (vomu_signData_PKCS1('RSA', $data, $p12, $password, 'SHA-256', $sig) !== 0) exit("ours failed\n");
}

function peers(string $p12, string $password, string $data): void
{
    if (!openssl_pkcs12_read(file_get_contents($p12), $certs, $password)) exit("openssl_pkcs12_read failed\n");
    if (!openssl_sign($data, $sig, $certs['pkey'], OPENSSL_ALGO_SHA256)) exit("openssl_sign failed\n");
}

function per_call_us(callable $f, int $n): float
{
    $t = hrtime(true);
    for ($i = 0; $i < $n; ++$i) $f();
    return (hrtime(true) - $t) / 1e3 / $n;
}

function median(array $v): float
{
    sort($v);
    return $v[intdiv(count($v), 2)];
}

// Both results must be the same signature (PKCS#1 v1.5 is deterministic).
$ourSig = '';
vomu_signData_PKCS1('RSA', $data, $p12, $password, 'SHA-256', $ourSig);
openssl_pkcs12_read(file_get_contents($p12), $certs, $password);
openssl_sign($data, $peerSig, $certs['pkey'], OPENSSL_ALGO_SHA256);
if (base64_decode($ourSig) !== $peerSig) exit("signatures differ\n");

$ourTimes = $peerTimes = [];
for ($r = 0; $r < $rounds; ++$r) {
    $ourTimes[] = per_call_us(fn() => ours($p12, $password, $data), $callsPerRound);
    $peerTimes[] = per_call_us(fn() => peers($p12, $password, $data), $callsPerRound);
}
$ourMedian = median($ourTimes);
$peerMedian = median($peerTimes);
printf("RSA PKCS#1 sign, PKCS#12 read each call (%s), ERROR rule\n", basename($p12));
printf("  ours %8.1f us/call   PHP openssl %8.1f us/call   ratio ours/peer (speed) %.2fx\n",
    $ourMedian, $peerMedian, $peerMedian / $ourMedian);
vomu_uninitialize();
array_map('unlink', glob("$dir/*"));
rmdir($dir);
