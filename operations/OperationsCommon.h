#ifndef MORV_OPERATIONS_COMMON_H
#define MORV_OPERATIONS_COMMON_H

// Constants shared by the signing and encryption operations.

// Files are streamed in pieces of this many bytes: memory does not grow with the file.
#ifndef BLOCK_SIZE
#define BLOCK_SIZE 16384
#endif

// The file roads read and write in pieces of this many bytes: small pieces left the kernel's
// SM4 and SM3 waiting on a system call per 16 KiB; a MiB costs two flat buffers per call and
// is a multiple of every block size, so an encrypting update never yields more than it reads.
const int FILE_PIECE_SIZE = 1 << 20;

#endif
