#ifndef MORV_PHP_HANDLERS_H
#define MORV_PHP_HANDLERS_H

// The handlers of the module's PHP functions, each under the function's PHP name; the
// function table (MORVExtension.cpp) gives their arguments.
#include "HandlerPattern.h"

namespace morvphp {

// 1 after a successful vomu_initialize, 0 again after a successful vomu_uninitialize.
extern "C" __attribute__((visibility("default"))) int g_nMORVExtIsInit;

Php::Value vomu_initialize(Php::Parameters& params);
Php::Value vomu_uninitialize();
Php::Value vomu_signData_PKCS1(Php::Parameters& params);
Php::Value vomu_signData_PKCS7Detached(Php::Parameters& params);
Php::Value vomu_signData_PKCS7Attached(Php::Parameters& params);
Php::Value vomu_verifyDataSignature_PKCS1(Php::Parameters& params);
Php::Value vomu_verifyDataSignature_PKCS7Detached(Php::Parameters& params);
Php::Value vomu_verifyDataSignature_PKCS7Attached(Php::Parameters& params);
Php::Value vomu_signFile_PKCS7Detached(Php::Parameters& params);
Php::Value vomu_verifyFileSignature_PKCS7Detached(Php::Parameters& params);
Php::Value vomu_encryptDataToCMSEnvelope(Php::Parameters& params);
Php::Value vomu_decryptDataFromCMSEnvelope(Php::Parameters& params);
Php::Value vomu_symEncryptFile(Php::Parameters& params);
Php::Value vomu_symDecryptFile(Php::Parameters& params);
Php::Value vomu_verifyCertificate(Php::Parameters& params);
Php::Value vomu_getCertificateInfo(Php::Parameters& params);
Php::Value vomu_getPublicCertFromPFX(Php::Parameters& params);
Php::Value vomu_calculateDataHash(Php::Parameters& params);
Php::Value vomu_calculateFileHash(Php::Parameters& params);

// Stops the kernel and logging when the interpreter unloads the module.
void ModuleShutdown();

}  // namespace morvphp

#endif
