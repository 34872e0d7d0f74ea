--TEST--
vomu_calculateFileHash of files that are not plain disk files: procfs content as hash_file() reads it, and a FIFO, a directory or a socket refused at once
--FILE--
<?php
require getenv('MORV_SOURCE_DIR') . '/tests/php/helpers.inc';
var_dump(morv_start());

// procfs reports 0 bytes for these; their content does not change while the system runs.
$names = ['md5' => 'MD5', 'sha1' => 'SHA-1', 'sha256' => 'SHA-256'];
foreach (['/proc/version', '/proc/cmdline', '/proc/sys/kernel/ostype'] as $file) {
    morv_expect(strlen(file_get_contents($file)) > 0, "$file has content");
    foreach ($names as $peer => $name) {
        $hex = '';
        $rc = vomu_calculateFileHash($file, $name, $hex);
        morv_expect($rc === VOMU_OK && $hex === strtoupper(hash_file($peer, $file)), "$file $name: $rc $hex");
    }
    $hex = '';
    $rc = vomu_calculateFileHash($file, 'SM3', $hex);
    morv_expect($rc === VOMU_OK && $hex === strtoupper(openssl_digest(file_get_contents($file), 'sm3')),
                "$file SM3: $rc $hex");
}

// A FIFO without a writer would hold the call (and an FPM worker) for good; the open step
// refuses what is not a regular file with its code.
$fifo = morv_work() . '/fifo';
$dir = morv_work() . '/dir';
$sock = morv_work() . '/sock';
exec('mkfifo ' . escapeshellarg($fifo));
morv_expect(filetype($fifo) === 'fifo', 'mkfifo');
@mkdir($dir);
$server = stream_socket_server('unix://' . $sock);
morv_expect($server !== false, 'socket');
foreach ([$fifo, $dir, $sock] as $path) {
    foreach (['SM3', 'SHA-256'] as $name) {
        $hex = 'untouched';
        $rc = vomu_calculateFileHash($path, $name, $hex);
        morv_expect($rc === VOMU_E_INVALID_ARG && $hex === 'untouched', "$path $name: $rc");
    }
}
morv_report();
?>
--EXPECT--
int(0)

done
