#ifndef MORV_SM_BIG_ENDIAN_H
#define MORV_SM_BIG_ENDIAN_H

// SM3 and SM4 read and write their words big-endian, whatever the machine's order.
#include <cstdint>

namespace smk {

inline uint32_t LoadBE32(const unsigned char* p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

inline void StoreBE32(unsigned char* p, uint32_t v)
{
    p[0] = (unsigned char)(v >> 24);
    p[1] = (unsigned char)(v >> 16);
    p[2] = (unsigned char)(v >> 8);
    p[3] = (unsigned char)v;
}

}  // namespace smk

#endif
