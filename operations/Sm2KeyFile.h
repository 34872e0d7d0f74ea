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

struct SM2KeyFileRequest {
    const char* pszPassword = nullptr;
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
    int ReadAndDecode(FILE* fpSM2PFXFile, bool bRefuseShortRead);
    int ReadCertificate(unsigned int uiKeyUsage);
    int DecryptKeyPair(const char* pszPassword);

    OwnedArray<unsigned char> m_pbyPFX;
    int m_nPFXSize = 0;
    OwnedArray<unsigned char> m_pbyCert;
    int m_nCertSize = 0;
    SM2_KEY_PAIR m_stKeyPair{};
};

}  // namespace morv

#endif
