#ifndef MORV_INPUT_FILE_H
#define MORV_INPUT_FILE_H

#include <cstdio>

namespace morv {

// A caller's input path opened for reading as a stream ("rb"), or NULL with errno set.
// The open never waits: a FIFO, a socket, a directory or a device is refused at once, so a
// path that names no regular file cannot hold a server worker. The stream's descriptor is
// close-on-exec and blocks normally once it is known to be a regular file.
FILE* OpenInputFile(const char* pszPath);

}  // namespace morv

#endif
