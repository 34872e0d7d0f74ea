#ifndef MORV_OPERATIONS_COMMON_H
#define MORV_OPERATIONS_COMMON_H

// Constants shared by the signing and encryption operations.

// Files are streamed in pieces of this many bytes: memory does not grow with the file.
#ifndef BLOCK_SIZE
#define BLOCK_SIZE 16384
#endif

#endif
