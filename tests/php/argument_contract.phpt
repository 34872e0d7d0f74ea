--TEST--
Argument contract of the 18 functions with arguments: count, types, outputs untouched on failure
--FILE--
<?php
require getenv('MORV_SOURCE_DIR') . '/tests/php/helpers.inc';
var_dump(morv_start());

// Each function's arguments: T text, D data (any bytes), N the numeric flag, O an output.
// "." marks the functions whose count step ends with a point.
$functions = [
    'vomu_initialize' => 'T',
    'vomu_signData_PKCS1' => 'TDTTTO',
    'vomu_signData_PKCS7Detached' => 'TDTTTO',
    'vomu_signData_PKCS7Attached' => 'TDTTTO.',
    'vomu_verifyDataSignature_PKCS1' => 'TDTTT',
    'vomu_verifyDataSignature_PKCS7Detached' => 'TDTO',
    'vomu_verifyDataSignature_PKCS7Attached' => 'TTOO',
    'vomu_signFile_PKCS7Detached' => 'TTTTTO',
    'vomu_verifyFileSignature_PKCS7Detached' => 'TTTO',
    'vomu_encryptDataToCMSEnvelope' => 'TDTTO',
    'vomu_decryptDataFromCMSEnvelope' => 'TTTTO',
    'vomu_symEncryptFile' => 'TTTO',
    'vomu_symDecryptFile' => 'TTTT',
    'vomu_verifyCertificate' => 'TNTT.',
    'vomu_getCertificateInfo' => 'TTO.',
    'vomu_getPublicCertFromPFX' => 'TTTO.',
    'vomu_calculateDataHash' => 'DTO',
    'vomu_calculateFileHash' => 'TTO',
];


// Arguments of the right types; outputs hold a string that must survive every failure.
function well_typed(string $kinds): array
{
    $args = [];
    foreach (str_split(rtrim($kinds, '.')) as $kind) {
        $args[] = match ($kind) { 'N' => 1, 'O' => 'preset', default => 'x' };
    }
    return $args;
}

// Every output but the one at $skip still holds its preset string.
function outputs_untouched(string $kinds, array $args, int $skip = -1): bool
{
    foreach (str_split(rtrim($kinds, '.')) as $i => $kind) {
        if ($kind === 'O' && $i !== $skip && $args[$i] !== 'preset') return false;
    }
    return true;
}

$warnings = [];
set_error_handler(function ($no, $text) use (&$warnings) { $warnings[] = $text; return true; });

foreach ($functions as $name => $kinds) {
    $n = strlen(rtrim($kinds, '.'));
    $countStep = str_ends_with($kinds, '.') ? 'Check params size().' : 'Check params size()';

    // Too few: PHP's warning and null, and the handler never runs (no step line of it).
    $args = array_slice(well_typed($kinds), 0, $n - 1);
    $warnings = [];
    $before = morv_log();
    $result = morv_call($name, $args);
    morv_expect($result === null, "$name with too few: " . var_export($result, true));
    morv_expect($warnings === ["$name() expects at least $n parameters, " . ($n - 1) . " given"],
        "$name warning: " . json_encode($warnings));
    morv_expect(!str_contains(substr(morv_log(), strlen($before)), "($name -- "), "$name ran with too few");

    // One more than declared: -1, outputs untouched.
    $args = well_typed($kinds);
    $args[] = 'extra';
    morv_expect(morv_call($name, $args) === -1, "$name with one more");
    morv_expect(outputs_untouched($kinds, $args), "$name wrote an output with one more");
    morv_expect(str_contains(morv_log(), morv_step($name, $countStep, -1, "$n != params.size()")),
        "$name count step");

    foreach (str_split(rtrim($kinds, '.')) as $i => $kind) {
        $step = "Check params[$i].type.";
        // Values of the wrong type for this argument.
        $wrong = match ($kind) {
            'O' => ['undefined', null, 0],
            'N' => ['4', 4.0, '', null],
            default => [4, null, 1.5, ['x']],
        };
        foreach ($wrong as $value) {
            $args = well_typed($kinds);
            if ($value === 'undefined' && $kind === 'O') {
                unset($undefined);
                $args[$i] = &$undefined;
            } else {
                $args[$i] = $value;
            }
            $what = "$name argument $i as " . json_encode($value);
            morv_expect(morv_call($name, $args) === VOMU_E_INVALID_ARG, $what);
            morv_expect(outputs_untouched($kinds, $args, $i), "$what wrote an output");
            if ($kind === 'O') morv_expect($args[$i] === ($value === 'undefined' ? null : $value), "$what changed it");
            unset($args, $undefined);
        }
        $reason = $kind === 'N' ? "true != params[$i].isNumeric()" : "true != params[$i].isString()";
        morv_expect(str_contains(morv_log(), morv_step($name, $step, VOMU_E_INVALID_ARG, $reason)), "$name $step");

        // Text travels on as C text: a zero byte inside it would cut it short.
        if ($kind === 'T') {
            $args = well_typed($kinds);
            $args[$i] = "ab\0c";
            morv_expect(morv_call($name, $args) === VOMU_E_INVALID_ARG, "$name zero byte in argument $i");
            morv_expect(outputs_untouched($kinds, $args), "$name zero byte in $i wrote an output");
        }
    }
}

// The flag travels as an unsigned 32-bit integer: values outside it are refused, 0 and
// 0xFFFFFFFF pass the check.
foreach ([-1 => false, 0x100000000 => false, PHP_INT_MAX => false, 0 => true, 0xFFFFFFFF => true] as $flag => $passes) {
    $before = morv_log();
    $result = vomu_verifyCertificate('x', $flag, '', '');
    $log = substr(morv_log(), strlen($before));
    $ok = str_contains($log, morv_step('vomu_verifyCertificate', 'Check params[1].type.'));
    morv_expect($ok === $passes, "flag $flag passes: " . var_export($ok, true));
    if (!$passes) morv_expect($result === VOMU_E_INVALID_ARG, "flag $flag result $result");
}

morv_report();
?>
--EXPECT--
int(0)

done
