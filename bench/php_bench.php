<?php
// The module's per-call cost as a PHP user sees it, in one process, next to PHP's own openssl
// extension doing the same work on 1 KiB of data, under three logging rules (ERROR to a file,
// INFO to the memory log, INFO to a file), switched with vomu_uninitialize/vomu_initialize.
// Rounds are interleaved (every rule, every case, both sides in each round, the side that goes
// first alternating), each figure is the median of the rounds, and a ratio is the peer's time
// over ours in the same round. Then SM4-CBC decryption of a 64 MiB file against the kernel's
// in-memory speed, and the memory peak of hashing 1 GiB with an INFO rule against none (one
// child process each, so each peak is its own).
//
// bench/php_bench (built with the module) runs this with every option filled in:
//   php -n -d extension=<build>/libMORVExtension.so.3 -d memory_limit=-1 bench/php_bench.php \
//       --module=<the same module> --pki=tests/data/pki [--kernel-sm4-mbps=<MB/s>]
// The exit status is 1 when a call or a check failed; figures below a floor are only reported.
require dirname(__DIR__) . '/examples/vomu_codes.php';
require __DIR__ . '/php_bench.inc';

const ROUNDS = 15;
const BATCH_SECONDS = 0.04;
const SM4_FILE_MIB = 64;
const SM4_ROUNDS = 5;
const SM4_FLOOR_MBPS = 1400.0;
const SM4_FLOOR_OF_KERNEL = 0.45;
const HASH_BYTES = 1 << 30;
const HASH_PEAK_LIMIT = 64 << 20;

// Floors of the ratio (peer's time over ours) per rule and case; a rule times only these cases.
const FLOORS = [
    'ERROR to a file' => ['sm2_sign' => 6.0, 'sm2_verify' => 3.5, 'rsa_sign' => 1.0, 'rsa_verify' => 1.5],
    'INFO to the memory log' => ['sm2_sign' => 4.0, 'sm2_verify' => 2.0, 'rsa_verify' => 1.2],
    'INFO to a file' => ['sm2_sign' => 1.2, 'sm2_verify' => 0.55],
];

function Fail(string $what): void
{
    fwrite(STDERR, "php_bench: $what\n");
    $GLOBALS['failed'] = true;
}

function Median(array $values): float
{
    sort($values);
    $n = count($values);
    return $n % 2 ? $values[intdiv($n, 2)] : ($values[$n / 2 - 1] + $values[$n / 2]) / 2;
}

// Microseconds per call over $n calls; null when a call failed.
function MicrosPerCall(callable $fn, int $n): ?float
{
    $ok = true;
    $start = hrtime(true);
    for ($i = 0; $i < $n; ++$i) $ok = $fn() && $ok;
    $us = (hrtime(true) - $start) / 1e3 / $n;
    return $ok ? $us : null;
}

// The number of calls that take about BATCH_SECONDS (0 when a call failed); warms the case up.
function CallsPerBatch(callable $fn): int
{
    $n = 0;
    $start = hrtime(true);
    do {
        if (!$fn()) return 0;
        ++$n;
    } while (hrtime(true) - $start < BATCH_SECONDS * 1e9);
    return $n;
}

// Each side once under the ERROR rule, before anything is timed; the RSA PKCS#1 signatures of
// both sides must be the same bytes (the padding is deterministic), which shows the same work.
function CheckWork(array $cases, stdClass $s, array $rule): void
{
    if (!BenchStart($rule)) {
        Fail('vomu_initialize failed');
        return;
    }
    foreach ($cases as $name => $case) {
        if (!$case['run_ours']()) Fail("$name: our call failed");
        if (!$case['run_peer']()) Fail("$name: the peer's call failed");
    }
    if (base64_decode($s->rsaPkcs1) !== $s->rsaPeer) Fail('RSA PKCS#1: our signature differs from the peer\'s');
    BenchStop($rule);
}

// That switching rules works: under each rule a good call writes records only where the rule
// takes INFO, a failing call writes its error in every rule (with the INFO records before it
// where the rule takes them), and after vomu_uninitialize a call fails and writes nothing.
function CheckRuleSwitching(array $cases, stdClass $s, array $rules): void
{
    $good = $cases['sm2_verify']['run_ours'];
    $bad = function () use ($s) {
        $cert = '';
        return VOMU_E_BAD_SIGNATURE === vomu_verifyDataSignature_PKCS7Detached('SM2', 'other data', $s->sm2Pkcs7, $cert);
    };
    foreach ($rules as $name => $rule) {
        if (!BenchStart($rule)) {
            Fail("$name: vomu_initialize failed");
            continue;
        }
        $before = BenchLogSize($rule['log']);
        if (!$good()) Fail("$name: a verification failed");
        $afterGood = BenchLogSize($rule['log']);
        if (($afterGood > $before) !== $rule['writesInfo']) Fail("$name: a good call wrote $afterGood bytes");
        if (!$bad()) Fail("$name: a wrong signature was not refused");
        $text = (string)@file_get_contents($rule['log']);
        if (strlen($text) <= $afterGood || !str_contains($text, '--Failed')) Fail("$name: no error record");
        if ($rule['context'] !== str_contains($text, '--OK')) Fail("$name: the OK lines do not follow the rule");
        vomu_uninitialize();
        $stopped = BenchLogSize($rule['log']);
        if ($good()) Fail("$name: a call succeeded with the kernel stopped");
        if (BenchLogSize($rule['log']) !== $stopped) Fail("$name: records written after vomu_uninitialize");
        @unlink($rule['log']);
    }
}

// One round: every rule started in turn, each of its cases timed on both sides after one call
// each that is not timed (the first call after a start makes what the kernel keeps). Round 0
// warms up and sets the number of calls per batch; its figures are not kept.
function TimeRound(int $round, array $cases, array $rules, array &$batch, array &$times): void
{
    foreach ($rules as $ruleName => $rule) {
        if (!BenchStart($rule)) {
            Fail("$ruleName: vomu_initialize failed");
            continue;
        }
        foreach (FLOORS[$ruleName] as $name => $floor) {
            $sides = $round % 2 ? ['ours', 'peer'] : ['peer', 'ours'];
            $us = [];
            foreach ($sides as $side) {
                $fn = $cases[$name]["run_$side"];
                $fn();
                if (0 === $round) {
                    $batch[$ruleName][$name][$side] = max(1, CallsPerBatch($fn));
                    continue;
                }
                $us[$side] = MicrosPerCall($fn, $batch[$ruleName][$name][$side]);
                if (null === $us[$side]) Fail("$ruleName, $name: a call of $side failed");
            }
            if ($round > 0 && null !== $us['ours'] && null !== $us['peer'])
                $times[$ruleName][$name][] = $us;
        }
        if (!BenchStop($rule)) Fail("$ruleName: vomu_uninitialize failed");
    }
}

function ReportCalls(array $cases, array $times): void
{
    printf("\n%-24s %-28s %12s %12s %8s\n", 'rule', 'work', 'ours us', 'peer us', 'peer/ours');
    foreach (FLOORS as $ruleName => $floors) {
        foreach ($floors as $name => $floor) {
            $rows = $times[$ruleName][$name] ?? [];
            if (!$rows) continue;
            $ratio = Median(array_map(fn($r) => $r['peer'] / $r['ours'], $rows));
            printf("%-24s %-28s %12.1f %12.1f %7.2fx  (floor %.2fx) %s\n", $ruleName, $cases[$name]['title'],
                   Median(array_column($rows, 'ours')), Median(array_column($rows, 'peer')), $ratio, $floor,
                   $ratio >= $floor ? 'ok' : 'BELOW FLOOR');
        }
    }
    echo "\nours / peer, per case:\n";
    foreach ($cases as $case)
        printf("  %-28s %s / %s\n", $case['title'], $case['ours'], $case['peer']);
}

// A file of $mib MiB of random bytes, written a MiB at a time.
function WriteRandomFile(string $path, int $mib): bool
{
    $fp = fopen($path, 'wb');
    $ok = false !== $fp;
    for ($i = 0; $ok && $i < $mib; ++$i) $ok = 1 << 20 === fwrite($fp, random_bytes(1 << 20));
    return $fp && fclose($fp) && $ok;
}

// vomu_symDecryptFile of a 64 MiB file under the ERROR rule: MB/s (10^6 bytes), median of
// the rounds after a warm-up one; the plain text must come back.
function BenchSm4File(array $rule, string $work, ?float $kernelMBps): void
{
    $plain = "$work/plain.bin";
    $enc = "$work/plain.sm4";
    $back = "$work/back.bin";
    $key = '';
    if (!WriteRandomFile($plain, SM4_FILE_MIB) || !BenchStart($rule)
        || VOMU_OK !== vomu_symEncryptFile('SM4_CBC', $plain, $enc, $key)) {
        Fail('SM4-CBC: the encrypted file could not be made');
        return;
    }
    $mbps = [];
    for ($round = 0; $round <= SM4_ROUNDS; ++$round) {
        @unlink($back);
        $start = hrtime(true);
        $r = vomu_symDecryptFile('SM4_CBC', $enc, $key, $back);
        $seconds = (hrtime(true) - $start) / 1e9;
        if (VOMU_OK !== $r) Fail(sprintf('SM4-CBC: vomu_symDecryptFile gave 0x%08x', $r & 0xFFFFFFFF));
        if (0 === $round && hash_file('sha256', $back) !== hash_file('sha256', $plain)) Fail('SM4-CBC: the plain text differs');
        if ($round > 0) $mbps[] = (SM4_FILE_MIB << 20) / $seconds / 1e6;
    }
    BenchStop($rule);
    array_map('unlink', [$plain, $enc, $back]);
    $median = Median($mbps);
    printf("\nSM4-CBC file decryption, %d MiB, ERROR rule: %.0f MB/s (median of %d)  (floor %.0f MB/s) %s\n",
           SM4_FILE_MIB, $median, SM4_ROUNDS, SM4_FLOOR_MBPS, $median >= SM4_FLOOR_MBPS ? 'ok' : 'BELOW FLOOR');
    if (null === $kernelMBps) {
        echo "  the kernel's in-memory speed was not given (--kernel-sm4-mbps): no share shown\n";
        return;
    }
    $share = $median / $kernelMBps;
    printf("  %.0f %% of the kernel's %.0f MB/s in memory  (floor %.0f %%) %s\n", 100 * $share, $kernelMBps,
           100 * SM4_FLOOR_OF_KERNEL, $share >= SM4_FLOOR_OF_KERNEL ? 'ok' : 'BELOW FLOOR');
}

// The child's peak resident size (VmHWM) in bytes.
function PeakResidentBytes(): int
{
    preg_match('/^VmHWM:\s+(\d+) kB/m', (string)file_get_contents('/proc/self/status'), $m);
    return (int)($m[1] ?? 0) * 1024;
}

// The child of BenchHashPeak: one vomu_calculateDataHash of 1 GiB of text without logging
// ('none': logging never started) or under the INFO rule to a file; prints one JSON line.
function HashChild(string $mode, string $work): int
{
    $rules = BenchRules($work);
    if ('info' === $mode && !BenchStart($rules['INFO to a file'])) return 1;
    $data = str_repeat(BenchText(), HASH_BYTES / DATA_SIZE);
    $hex = '';
    $start = hrtime(true);
    $r = vomu_calculateDataHash($data, 'SM3', $hex);
    $seconds = (hrtime(true) - $start) / 1e9;
    $result = ['code' => $r, 'seconds' => $seconds, 'vmhwm' => PeakResidentBytes(),
               'php_peak' => memory_get_peak_usage(true), 'digest' => $hex, 'digest_ok' => true];
    if ('none' === $mode) $result['digest_ok'] = $hex === strtoupper(openssl_digest($data, 'sm3'));
    if ('info' === $mode) BenchStop($rules['INFO to a file']);
    echo json_encode($result), "\n";
    return 0;
}

function RunHashChild(string $module, string $mode, string $work): ?array
{
    $cmd = [PHP_BINARY, '-n', '-d', "extension=$module", '-d', 'memory_limit=-1', __FILE__,
            "--hash-child=$mode", "--work=$work"];
    $proc = proc_open($cmd, [1 => ['pipe', 'w']], $pipes);
    if (!is_resource($proc)) return null;
    $out = stream_get_contents($pipes[1]);
    fclose($pipes[1]);
    $status = proc_close($proc);
    $result = json_decode((string)$out, true);
    return 0 === $status && is_array($result) && VOMU_OK === $result['code'] && $result['digest_ok'] ? $result : null;
}

function BenchHashPeak(string $module, string $work): void
{
    $none = RunHashChild($module, 'none', $work);
    $info = RunHashChild($module, 'info', $work);
    if (null === $none || null === $info || $none['digest'] !== $info['digest']) {
        Fail('hashing 1 GiB: a child failed or gave a wrong digest');
        return;
    }
    printf("\nvomu_calculateDataHash of 1 GiB (SM3):\n");
    foreach (['no logging' => $none, 'INFO to a file' => $info] as $label => $r)
        printf("  %-16s %6.2f s  peak resident %6.0f MiB  PHP peak %6.0f MiB\n", $label, $r['seconds'],
               $r['vmhwm'] / 1048576, $r['php_peak'] / 1048576);
    $extra = $info['vmhwm'] - $none['vmhwm'];
    printf("  INFO rule costs %.0f MiB more  (limit %d MiB) %s\n", $extra / 1048576, HASH_PEAK_LIMIT >> 20,
           $extra <= HASH_PEAK_LIMIT ? 'ok' : 'ABOVE LIMIT');
}

function Main(array $opt): int
{
    $work = sys_get_temp_dir() . '/morv_php_bench_' . getmypid();
    if (isset($opt['hash-child'])) return HashChild($opt['hash-child'], $opt['work'] ?? $work);
    if (!extension_loaded('MORVExtension') || !isset($opt['module'], $opt['pki'])) {
        fwrite(STDERR, "usage: php -n -d extension=MODULE -d memory_limit=-1 php_bench.php --module=MODULE --pki=DIR\n");
        return 2;
    }
    if (!@mkdir($work, 0700)) return 1;
    register_shutdown_function(function () use ($work) {
        array_map('unlink', glob("$work/*"));
        rmdir($work);
    });
    $kernelMBps = isset($opt['kernel-sm4-mbps']) ? (float)$opt['kernel-sm4-mbps'] : null;
    $rules = BenchRules($work);
    $state = new stdClass();
    $cases = BenchCases(BenchFixtures($opt['pki']), $state);
    CheckWork($cases, $state, $rules['ERROR to a file']);
    CheckRuleSwitching($cases, $state, $rules);
    $batch = $times = [];
    $start = hrtime(true);
    for ($round = 0; $round <= ROUNDS && empty($GLOBALS['failed']); ++$round)
        TimeRound($round, $cases, $rules, $batch, $times);
    ReportCalls($cases, $times);
    printf("(%d rounds after a warm-up, %.1f s)\n", ROUNDS, (hrtime(true) - $start) / 1e9);
    BenchSm4File($rules['ERROR to a file'], $work, $kernelMBps);
    BenchHashPeak($opt['module'], $work);
    return empty($GLOBALS['failed']) ? 0 : 1;
}

exit(Main(getopt('', ['module:', 'pki:', 'kernel-sm4-mbps:', 'hash-child:', 'work:'])));
