#ifndef MORV_OPERATIONS_SM2_KEY_FILE_H
#define MORV_OPERATIONS_SM2_KEY_FILE_H

// The one loader of SM2 key files for every SM2 road of the operations layer: read the whole
// stream, Base64-decode, parse for the certificate, check its key usage, decrypt the key with
// the password. The password is never logged; the key pair is wiped when the loaded file goes.
#include <cstdio>

#include "CertificateMemo.h"
#include "HandOver.h"
#include "SMFileCertOperations.h"
#include "vomu_result.h"

namespace morv {

// The key-file steps are steps of the public function that reads the key file: their lines
// carry its name, and the few texts in which its log differs from the others' come from here.
struct SM2KeyFileRequest {
    const char* pszFunc = "";
    const char* pszPassword = nullptr;
    // The null key-file check; no step when pszCheckStep is null (the caller checked it).
    const char* pszCheckStep = "check parameters.";
    const char* pszCheckReason = "NULL == fpSM2PFXFile";
    const char* pszSizeStep = "GetFileSize_Ex";
    // The read's reason on failure; null for the failed condition's own text.
    const char* pszReadReason = nullptr;
    // Logged before the key pair is decrypted into the loaded file's own pair, where the
    // function's log shows that pair being made; null for none.
    const char* pszKeyPairStep = nullptr;
    // Key-usage bits the certificate must all carry; 0 skips the check.
    unsigned int uiKeyUsage = 0;
    // The file roads also refuse a read that delivers less than the file's size.
    bool bRefuseShortRead = false;
};

class SM2KeyFile {
public:
    SM2KeyFile() = default;
    ~SM2KeyFile() { CleanupSM2KeyPair(&m_stKeyPair); }
    SM2KeyFile(const SM2KeyFile&) = delete;
    SM2KeyFile& operator=(const SM2KeyFile&) = delete;

    // VOMU_OK or the failing step's code: VOMU_E_INVALID_ARG (null stream),
    // GetFileSize_Ex's codes, VOMU_E_FILE_TOO_LARGE, VOMU_E_READ_FILE, VOMU_E_BASE64_DECODE,
    // VOMU_E_SM2PFX_FORMAT, VOMU_E_KEY_USAGE, VOMU_E_SM2PFX_PASSWORD (also for a null
    // password, which the key file is read and checked before), VOMU_E_FAIL (memory).
    int Load(FILE* fpSM2PFXFile, const SM2KeyFileRequest& request);

    // 32-byte d, x and y; valid after a successful Load.
    const SM2_KEY_PAIR& KeyPair() const { return m_stKeyPair; }
    // The certificate bytes as the key file holds them.
    unsigned char* Cert() const { return m_pbyCert.get(); }
    int CertSize() const { return m_nCertSize; }

private:
    // First, so it lasts as long as the loaded file: a step that loads the certificate as its
    // own copy shares one decode (the field readers share the cache's certificate instead).
    CertificateMemo m_certificates;
    int ReadAndDecode(FILE* fpSM2PFXFile, const SM2KeyFileRequest& request);
    int ReadCertificate(const char* pszFunc, unsigned int uiKeyUsage);
    int DecryptKeyPair(const char* pszFunc, const char* pszPassword);

    OwnedArray<unsigned char> m_pbyPFX;
    int m_nPFXSize = 0;
    OwnedArray<unsigned char> m_pbyCert;
    int m_nCertSize = 0;
    SM2_KEY_PAIR m_stKeyPair{};
};

}  // namespace morv

#endif
