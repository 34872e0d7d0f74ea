--TEST--
Symmetric files through PHP, opened by PHP's openssl_decrypt with the key text; decrypted back whole
--FILE--
<?php
require getenv('MORV_SOURCE_DIR') . '/tests/php/helpers.inc';
var_dump(morv_start());


$plain = "a\0b\0\0c encrypted through PHP, " . random_bytes(100000);
// Symmetric files: the key text is IV then key; PHP's openssl_decrypt opens the file with
// them, and our decryption gives the file back.
$file = morv_put('plain.bin', $plain);
foreach (['SM4_CBC' => ['sm4-cbc', 16], '3des_cbc' => ['des-ede3-cbc', 8]] as $name => [$cipher, $ivSize]) {
    $key = '';
    morv_expect(vomu_symEncryptFile($name, $file, "$file.enc", $key) === VOMU_OK, "$name encrypt");
    morv_expect(preg_match('/^[0-9A-F]{64}$/', $key) === 1, "$name key text $key");
    $bytes = hex2bin($key);
    $peer = openssl_decrypt(file_get_contents("$file.enc"), $cipher, substr($bytes, $ivSize), OPENSSL_RAW_DATA, substr($bytes, 0, $ivSize));
    morv_expect($peer === $plain, "openssl_decrypt of our $name file");
    @unlink("$file.dec");
    morv_expect(vomu_symDecryptFile($name, "$file.enc", strtolower($key), "$file.dec") === VOMU_OK
        && file_get_contents("$file.dec") === $plain, "$name decrypt with the key in lower case");
}
$key = '';
vomu_symEncryptFile('3DES_CBC', $file, "$file.enc", $key);
morv_expect(vomu_symDecryptFile('SM4_CBC', "$file.enc", $key, "$file.dec") !== VOMU_OK, '3DES key with SM4');
morv_expect(vomu_symDecryptFile('SM4_CBC', "$file.enc", substr($key, 2), "$file.dec") === VOMU_E_FAIL, 'a key of 62 hex digits');
$kept = 'kept';
morv_expect(vomu_symEncryptFile('AES', $file, "$file.enc", $kept) === VOMU_E_INVALID_ARG && $kept === 'kept', 'AES file');

morv_report();
?>
--EXPECT--
int(0)

done
