// Placeholder bodies; the codec follows.
#include "Base64Utility.h"

#include "vomu_result.h"

int Base64EncodeGetRequiredLength(int, unsigned long) { return 0; }
int Base64DecodeGetRequiredLength(int nSrcLen) { return nSrcLen; }
bool Base64Encode(const unsigned char*, int, char*, int*, unsigned long) { return false; }
int DecodeBase64Char(unsigned int) { return -1; }
bool Base64Decode(const char*, int, unsigned char*, int*) { return false; }
int Base64EncodeEx(const unsigned char*, int, char**, int*, unsigned long) { return VOMU_E_FAIL; }
int Base64DecodeEx(const char*, int, unsigned char**, int*) { return VOMU_E_FAIL; }
