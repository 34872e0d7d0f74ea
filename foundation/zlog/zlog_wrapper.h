// What the logging wrapper needs of this library beyond the zlog interface. Not exported:
// other users of the library keep to zlog.h.
#ifndef MORV_ZLOG_WRAPPER_H
#define MORV_ZLOG_WRAPPER_H

#include <stddef.h>

#include "zlog.h"

namespace zl {

// The most bytes one record can hold under the running configuration ([global] buffer max):
// text beyond it would be cut anyway, so a caller need not build it. 0 while stopped.
size_t RecordMax();

// A record whose message is the nLen bytes at pText as they stand (no conversion), written
// exactly as zlog(..., "%s", text) writes a text of that length.
void RecordVerbatim(zlog_category_t* pCat, const char* pszFile, size_t nFileLen, const char* pszFunc,
                    size_t nFuncLen, long nLine, int nLevel, const char* pText, size_t nLen);

}  // namespace zl

#endif
