// The module's entry point: the extension "MORVExtension" 3.0 and its 19 functions, in the
// order and with the arguments PHP shows for them.
#include <iterator>

#include "Handlers.h"
#include "PhpZend.h"

namespace morvphp {
namespace {

const Arg T = Arg::Text;
const Arg D = Arg::Data;
const Arg N = Arg::Flag;
const Arg O = Arg::Out;

const ArgSpec INITIALIZE[] = {{"strConfigFilePath", T}};
const ArgSpec SIGN_DATA_PKCS1[] = {{"strSignAlg", T}, {"strSourceData", D}, {"strPfxFilePath", T},
    {"strPfxPassWord", T}, {"strHashAlg", T}, {"strBase64PKCS1Signature", O}};
const ArgSpec SIGN_DATA_PKCS7_DETACHED[] = {{"strSignAlg", T}, {"strSourceData", D},
    {"strPfxFilePath", T}, {"strPfxPassWord", T}, {"strHashAlg", T},
    {"strBase64PKCS7DetachedSignature", O}};
const ArgSpec SIGN_DATA_PKCS7_ATTACHED[] = {{"strSignAlg", T}, {"strSourceData", D},
    {"strPfxFilePath", T}, {"strPfxPassWord", T}, {"strHashAlg", T},
    {"strBase64PKCS7AttachedSignature", O}};
const ArgSpec VERIFY_DATA_PKCS1[] = {{"strSignAlg", T}, {"strSourceData", D},
    {"strBase64CertContent", T}, {"strHashAlg", T}, {"strBase64PKCS1Signature", T}};
const ArgSpec VERIFY_DATA_PKCS7_DETACHED[] = {{"strSignAlg", T}, {"strSourceData", D},
    {"strBase64PKCS7DetachedSignature", T}, {"strBase64SignCertContent", O}};
const ArgSpec VERIFY_DATA_PKCS7_ATTACHED[] = {{"strSignAlg", T},
    {"strBase64PKCS7AttachedSignature", T}, {"strBase64SignCertContent", O}, {"strSourceData", O}};
const ArgSpec SIGN_FILE_PKCS7_DETACHED[] = {{"strSignAlg", T}, {"strSourceFilePath", T},
    {"strPfxFilePath", T}, {"strPfxPassWord", T}, {"strHashAlg", T},
    {"strBase64PKCS7DetachedSignature", O}};
const ArgSpec VERIFY_FILE_PKCS7_DETACHED[] = {{"strSignAlg", T}, {"strSourceFilePath", T},
    {"strBase64PKCS7DetachedSignature", T}, {"strBase64SignCertContent", O}};
const ArgSpec ENCRYPT_ENVELOPE[] = {{"strAlgorithm", T}, {"strPlainData", D},
    {"strBase64EncryptCert", T}, {"strSymEncAlg", T}, {"strBase64CMSEnvelope", O}};
const ArgSpec DECRYPT_ENVELOPE[] = {{"strAlgorithm", T}, {"strBase64CMSEnvelope", T},
    {"strPfxFilePath", T}, {"strPfxPassWord", T}, {"strPlainData", O}};
const ArgSpec SYM_ENCRYPT_FILE[] = {{"strSymEncAlgorithm", T}, {"strPlainFilePath", T},
    {"strEncryptFilePath", T}, {"strSymKey", O}};
const ArgSpec SYM_DECRYPT_FILE[] = {{"strSymEncAlgorithm", T}, {"strEncryptFilePath", T},
    {"strSymKey", T}, {"strPlainFilePath", T}};
const ArgSpec VERIFY_CERTIFICATE[] = {{"strBase64CertContent", T}, {"nCertVerifyFlag", N},
    {"strTrustedCACertFilePath", T}, {"strCRLFilePath", T}};
const ArgSpec CERTIFICATE_INFO[] = {{"strBase64CertContent", T}, {"strInfoType", T},
    {"strInfoContent", O}};
const ArgSpec CERT_FROM_PFX[] = {{"strAlgorithm", T}, {"strPfxFilePath", T},
    {"strPfxPassWord", T}, {"strBase64CertContent", O}};
const ArgSpec DATA_HASH[] = {{"strSourceData", D}, {"strHashAlg", T}, {"strHexHashData", O}};
const ArgSpec FILE_HASH[] = {{"strSourceFilePath", T}, {"strHashAlg", T}, {"strHexHashData", O}};

#define MORV_FUNCTION(name, args, point) \
    FunctionSpec{#name, name, nullptr, args, std::size(args), point}

const FunctionSpec FUNCTIONS[] = {
    MORV_FUNCTION(vomu_initialize, INITIALIZE, false),
    FunctionSpec{"vomu_uninitialize", nullptr, vomu_uninitialize, nullptr, 0, false},
    MORV_FUNCTION(vomu_signData_PKCS1, SIGN_DATA_PKCS1, false),
    MORV_FUNCTION(vomu_signData_PKCS7Detached, SIGN_DATA_PKCS7_DETACHED, false),
    MORV_FUNCTION(vomu_signData_PKCS7Attached, SIGN_DATA_PKCS7_ATTACHED, true),
    MORV_FUNCTION(vomu_verifyDataSignature_PKCS1, VERIFY_DATA_PKCS1, false),
    MORV_FUNCTION(vomu_verifyDataSignature_PKCS7Detached, VERIFY_DATA_PKCS7_DETACHED, false),
    MORV_FUNCTION(vomu_verifyDataSignature_PKCS7Attached, VERIFY_DATA_PKCS7_ATTACHED, false),
    MORV_FUNCTION(vomu_signFile_PKCS7Detached, SIGN_FILE_PKCS7_DETACHED, false),
    MORV_FUNCTION(vomu_verifyFileSignature_PKCS7Detached, VERIFY_FILE_PKCS7_DETACHED, false),
    MORV_FUNCTION(vomu_encryptDataToCMSEnvelope, ENCRYPT_ENVELOPE, false),
    MORV_FUNCTION(vomu_decryptDataFromCMSEnvelope, DECRYPT_ENVELOPE, false),
    MORV_FUNCTION(vomu_symEncryptFile, SYM_ENCRYPT_FILE, false),
    MORV_FUNCTION(vomu_symDecryptFile, SYM_DECRYPT_FILE, false),
    MORV_FUNCTION(vomu_verifyCertificate, VERIFY_CERTIFICATE, true),
    MORV_FUNCTION(vomu_getCertificateInfo, CERTIFICATE_INFO, true),
    MORV_FUNCTION(vomu_getPublicCertFromPFX, CERT_FROM_PFX, true),
    MORV_FUNCTION(vomu_calculateDataHash, DATA_HASH, false),
    MORV_FUNCTION(vomu_calculateFileHash, FILE_HASH, false),
};

Php::Arguments ArgumentsOf(const FunctionSpec& spec)
{
    Php::Arguments arguments;
    for (std::size_t i = 0; i < spec.nArgs; ++i) {
        const ArgSpec& arg = spec.pArgs[i];
        const Php::Type type = Arg::Flag == arg.kind ? Php::Type::Numeric : Php::Type::String;
        arguments.push_back(Arg::Out == arg.kind ? Php::ByRef(arg.pszName, type)
                                                 : Php::ByVal(arg.pszName, type));
    }
    return arguments;
}

zend_module_entry* BuildModule()
{
    // Built once, on the interpreter's first call; destroyed when the module is unloaded.
    static Php::Extension extension("MORVExtension", "3.0");
    for (const FunctionSpec& spec : FUNCTIONS) {
        if (spec.pfnPlain) {
            extension.add(spec.pszName, spec.pfnPlain);
        } else {
            extension.add(spec.pszName, spec.pfnHandler, ArgumentsOf(spec));
        }
    }
    extension.onShutdown(ModuleShutdown);
    return extension.module();
}

}  // namespace

int g_nMORVExtIsInit = 0;

const FunctionSpec* SpecOf(Php::Handler pfnHandler)
{
    for (const FunctionSpec& spec : FUNCTIONS) {
        if (spec.pfnHandler == pfnHandler) return &spec;
    }
    return nullptr;
}

}  // namespace morvphp

extern "C" __attribute__((visibility("default"))) zend_module_entry* get_module()
{
    try {
        // A static's initialiser runs once, also under concurrent first calls.
        static zend_module_entry* const pModule = morvphp::BuildModule();
        return pModule;
    } catch (...) {
        return nullptr;
    }
}
