#ifndef MORV_BASE64_UTILITY_H
#define MORV_BASE64_UTILITY_H

// Base64 (RFC 4648 alphabet). Text made here has lines of 76 characters joined by CR LF
// unless ATL_BASE64_FLAG_NOCRLF; "=" padding unless ATL_BASE64_FLAG_NOPAD. The decoder skips
// every character outside the alphabet, so line breaks, blanks and padding are ignored.

#define ATL_BASE64_FLAG_NONE   0
#define ATL_BASE64_FLAG_NOPAD  1
#define ATL_BASE64_FLAG_NOCRLF 2

// Upper bound of the characters of the text of n bytes (callers size buffers with it).
int Base64EncodeGetRequiredLength(int nSrcLen, unsigned long dwFlags);
// Bytes needed to decode n characters: n.
int Base64DecodeGetRequiredLength(int nSrcLen);
// Writes the text into szDest (no NUL); *pnDestLen: in the capacity, out the characters
// written. False when an argument is null or the capacity is below the required length.
bool Base64Encode(const unsigned char* pbSrcData, int nSrcLen, char* szDest, int* pnDestLen,
                  unsigned long dwFlags);
// 0-63 for an alphabet character, -1 otherwise.
int DecodeBase64Char(unsigned int ch);
// Decodes into pbDest; *pnDestLen: in the capacity, out the byte count the text gives. pbDest
// null is a size query (false). False also when the capacity is too small (the bytes that fit
// are written) or szSrc / pnDestLen is null. Stops at a NUL met at the start of a group.
bool Base64Decode(const char* szSrc, int nSrcLen, unsigned char* pbDest, int* pnDestLen);

// New NUL-terminated text in *ppBase64EncodedStr (delete[]); its length in *pnBase64Length
// when that is not null. VOMU_OK, VOMU_E_INVALID_ARG, VOMU_E_BASE64_ENCODE, VOMU_E_FAIL.
int Base64EncodeEx(const unsigned char* pbyData, int nDataLen, char** ppBase64EncodedStr,
                   int* pnBase64Length, unsigned long dwFlags);
// New array of nLen bytes in *ppbyDecodedData (delete[]) holding the *pnDecodedDataSize
// decoded bytes. VOMU_OK, VOMU_E_BASE64_DECODE, VOMU_E_INVALID_ARG, VOMU_E_FAIL.
int Base64DecodeEx(const char* pszBase64Str, int nLen, unsigned char** ppbyDecodedData,
                   int* pnDecodedDataSize);

#endif
