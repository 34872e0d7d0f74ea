#ifndef MORV_OPERATIONS_COMMON_H
#define MORV_OPERATIONS_COMMON_H

// Constants shared by the signing and encryption operations.

// Files are streamed through one buffer of this many bytes, so memory use does not grow with
// the file (digests, symmetric file encryption, envelope files).
#ifndef BLOCK_SIZE
#define BLOCK_SIZE 16384
#endif

// An SM3 digest, and so every digest an SM2 signature is made over.
#ifndef SM3_HASH_SIZE
#define SM3_HASH_SIZE 32
#endif

#endif
