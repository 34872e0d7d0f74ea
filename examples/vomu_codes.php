<?php
// The MORV result codes as PHP sees them: the module returns each 32-bit code as a signed
// integer, so every failure code of the 0x8... and 0xA... families is negative here.
// (The hex value minus 2^32 is the signed value of the same 32 bits.)

const VOMU_OK = 0;
const VOMU_E_FAIL = -1;
const VOMU_E_INVALID_ARG = 0x80070057 - 0x100000000;
const VOMU_E_OPEN_FILE = 0x8007006E - 0x100000000;
const VOMU_E_READ_FILE = 0x8007001E - 0x100000000;
const VOMU_E_WRITE_FILE = 0x8007001D - 0x100000000;
const VOMU_E_FILE_TOO_LARGE = 0x800700DF - 0x100000000;
const VOMU_E_ENCRYPT = 0x80071770 - 0x100000000;
const VOMU_E_DECRYPT = 0x80071771 - 0x100000000;
const VOMU_E_BAD_MESSAGE_DIGEST = 0x80090002 - 0x100000000;
const VOMU_E_BAD_SIGNATURE = 0x80090006 - 0x100000000;
const VOMU_E_BAD_HASH_ALG = 0x80090008 - 0x100000000;
const VOMU_E_ALREADY_INITIALIZED = 0x80090100 - 0x100000000;
const VOMU_E_BASE64_ENCODE = 0xA0071004 - 0x100000000;
const VOMU_E_BASE64_DECODE = 0xA0071005 - 0x100000000;
const VOMU_E_CERT_TIME = 0xA0071031 - 0x100000000;
const VOMU_E_CERT_REVOKED = 0xA0071032 - 0x100000000;
const VOMU_E_CERT_CHAIN = 0xA0071033 - 0x100000000;
const VOMU_E_BAD_ASN1_DATA = 0xA0071041 - 0x100000000;
const VOMU_E_ASN1_TOO_LARGE = 0xA0071101 - 0x100000000;
const VOMU_E_ASN1_TOO_DEEP = 0xA0071102 - 0x100000000;
const VOMU_E_SM2PFX_FORMAT = 0xA0071103 - 0x100000000;
const VOMU_E_PKCS7_FORMAT = 0xA0071104 - 0x100000000;
const VOMU_E_ENVELOPE_FORMAT = 0xA0071105 - 0x100000000;
const VOMU_E_ENVELOPE_RECIPIENT = 0xA0071106 - 0x100000000;
const VOMU_E_SIGN = 0xA0071107 - 0x100000000;
const VOMU_E_SM2PFX_PASSWORD = 0xA0071108 - 0x100000000;
const VOMU_E_CERT_VERIFY = 0xA0071109 - 0x100000000;
const VOMU_E_CERT_INFO = 0xA0071110 - 0x100000000;
const VOMU_E_KEY_USAGE = 0xA0072021 - 0x100000000;

// Logging failures of vomu_initialize: small positive codes.
const VOMU_LOG_E_INIT = 0x6002;
const VOMU_LOG_E_MEMORY = 0x6004;
const VOMU_LOG_E_LEVEL = 0x6005;
const VOMU_LOG_E_NOT_INIT = 0x6006;
const VOMU_LOG_E_NO_CONFIG = 0x6007;

// The code's 32 bits in hex, as the log prints them: vomu_code_hex(VOMU_E_INVALID_ARG) is
// "0x80070057".
function vomu_code_hex(int $code): string
{
    return sprintf('0x%08X', $code & 0xFFFFFFFF);
}

// The constant's name of a code ("VOMU_E_INVALID_ARG"), or its hex when it has none.
function vomu_code_name(int $code): string
{
    foreach (get_defined_constants(true)['user'] ?? [] as $name => $value) {
        if (str_starts_with($name, 'VOMU_') && $value === $code) return $name;
    }
    return vomu_code_hex($code);
}
