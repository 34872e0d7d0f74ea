#ifndef MORV_OPERATIONS_COMMON_H
#define MORV_OPERATIONS_COMMON_H

// Constants shared by the signing and encryption operations.

// Files are streamed in pieces of this many bytes (hashing, symmetric files, envelope files).
#define BLOCK_SIZE 16384

// Content-key lengths of the symmetric ciphers.
#define DES3_KEY_LEN 24
#define RC4_KEY_LEN  16
#define SM4_KEY_LEN  16

#endif
