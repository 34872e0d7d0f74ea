--TEST--
A script that starts the module and never calls vomu_uninitialize exits cleanly; PHP's own openssl keeps working
--FILE--
<?php
require getenv('MORV_SOURCE_DIR') . '/tests/php/helpers.inc';
var_dump(morv_start());
// PHP's openssl shares libcrypto with the running kernel.
var_dump(openssl_digest('abc', 'sha256'));
var_dump(openssl_digest('abc', 'sm3'));
register_shutdown_function(fn() => print("shutdown\n"));
echo "end of script\n";
?>
--EXPECT--
int(0)
string(64) "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"
string(64) "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0"
end of script
shutdown
