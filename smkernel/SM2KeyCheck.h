#ifndef MORV_SM2_KEY_CHECK_H
#define MORV_SM2_KEY_CHECK_H

// Whether a private key belongs to a public point on the published SM2 curve, as a key file
// must show before its key is used. Kernel manner: 1 or 0, never logs.

// 1 when d (32 bytes big-endian) is a private key of the published curve, 1 <= d <= n - 2
// (GB/T 32918.1-2016 6.1: 1 + d must be invertible), and [d]G is the point (x, y) (32 bytes
// each); 0 otherwise, also when memory runs out.
int _SM2_CheckKeyPair(const unsigned char* d, const unsigned char* x, const unsigned char* y);

#endif
