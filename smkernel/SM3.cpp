// SM3 hash, written from GB/T 32905-2016 (GM/T 0004-2012).
#include "SM3.h"

#include <string.h>

#include <openssl/crypto.h>

namespace smk {
namespace {

using smk::CROL;

// GB/T 32905-2016 4.1: initial value IV.
constexpr uint32_t kIV[8] = {0x7380166f, 0x4914b2b9, 0x172442d7, 0xda8a0600,
                             0xa96f30bc, 0x163138aa, 0xe38dee4d, 0xb0fb0e4e};

// GB/T 32905-2016 4.2: T(j); the compression only ever uses T(j) <<< (j mod 32).
constexpr uint32_t T(unsigned j) { return j < 16 ? 0x79cc4519u : j < 64 ? 0x7a879d8au : 0u; }

struct RotatedT {
    uint32_t k[64];
    constexpr RotatedT() : k()
    {
        for (unsigned j = 0; j < 64; ++j)
            k[j] = CROL(T(j), j);
    }
};
constexpr RotatedT kT;

// GB/T 32905-2016 4.3: FF and GG, split at round 16 so no round pays for a test of j.
inline uint32_t FF0(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t FF1(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | ((x | y) & z); }
inline uint32_t GG0(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t GG1(uint32_t x, uint32_t y, uint32_t z) { return ((y ^ z) & x) ^ z; }

// GB/T 32905-2016 4.4: permutations.
inline uint32_t P0(uint32_t x) { return x ^ CROL(x, 9) ^ CROL(x, 17); }
inline uint32_t P1(uint32_t x) { return x ^ CROL(x, 15) ^ CROL(x, 23); }

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

// GB/T 32905-2016 5.3.2: W[16..67] from the block's words; W'[j] = W[j] ^ W[j+4] is formed
// inside each round. Each W[j+4] is expanded just before round j needs it, one word at a
// time: the rounds and the expansion then overlap, and no wide load reads words that
// narrow stores have only just written.
#define SM3_EXPAND(j) \
    W[j] = P1(W[(j) - 16] ^ W[(j) - 9] ^ CROL(W[(j) - 3], 15)) ^ CROL(W[(j) - 13], 7) ^ W[(j) - 6]

// GB/T 32905-2016 5.3.3, one round. Instead of shifting the eight registers, the caller
// renames them: after the round (D, A, B, C, H, E, F, G) play (A, B, C, D, E, F, G, H).
#define SM3_ROUND(FF, GG, j, A, B, C, D, E, F, G, H)                    \
    do {                                                                \
        const uint32_t a12 = CROL(A, 12);                               \
        const uint32_t SS1 = CROL(a12 + E + kT.k[j], 7);                \
        const uint32_t SS2 = SS1 ^ a12;                                 \
        const uint32_t TT1 = FF(A, B, C) + D + SS2 + (W[j] ^ W[j + 4]); \
        const uint32_t TT2 = GG(E, F, G) + H + SS1 + W[j];              \
        B = CROL(B, 9);                                                 \
        F = CROL(F, 19);                                                \
        D = TT1;                                                        \
        H = P0(TT2);                                                    \
    } while (0)

#define SM3_ROUND4(FF, GG, j)                           \
    SM3_ROUND(FF, GG, (j) + 0, A, B, C, D, E, F, G, H); \
    SM3_ROUND(FF, GG, (j) + 1, D, A, B, C, H, E, F, G); \
    SM3_ROUND(FF, GG, (j) + 2, C, D, A, B, G, H, E, F); \
    SM3_ROUND(FF, GG, (j) + 3, B, C, D, A, F, G, H, E)

#define SM3_EXPAND_ROUND4(FF, GG, j)                                      \
    SM3_EXPAND((j) + 4); SM3_ROUND(FF, GG, (j) + 0, A, B, C, D, E, F, G, H); \
    SM3_EXPAND((j) + 5); SM3_ROUND(FF, GG, (j) + 1, D, A, B, C, H, E, F, G); \
    SM3_EXPAND((j) + 6); SM3_ROUND(FF, GG, (j) + 2, C, D, A, B, G, H, E, F); \
    SM3_EXPAND((j) + 7); SM3_ROUND(FF, GG, (j) + 3, B, C, D, A, F, G, H, E)

// GB/T 32905-2016 5.3.3: V = CF(V, block) = ABCDEFGH xor V, the block read big-endian.
void CF(uint32_t V[8], const unsigned char* block, uint32_t W[68])
{
    for (int j = 0; j < 16; ++j)
        W[j] = LoadBE32(block + 4 * j);
    uint32_t A = V[0], B = V[1], C = V[2], D = V[3];
    uint32_t E = V[4], F = V[5], G = V[6], H = V[7];
    SM3_ROUND4(FF0, GG0, 0);
    SM3_ROUND4(FF0, GG0, 4);
    SM3_ROUND4(FF0, GG0, 8);
    SM3_EXPAND_ROUND4(FF0, GG0, 12);
    SM3_EXPAND_ROUND4(FF1, GG1, 16);
    SM3_EXPAND_ROUND4(FF1, GG1, 20);
    SM3_EXPAND_ROUND4(FF1, GG1, 24);
    SM3_EXPAND_ROUND4(FF1, GG1, 28);
    SM3_EXPAND_ROUND4(FF1, GG1, 32);
    SM3_EXPAND_ROUND4(FF1, GG1, 36);
    SM3_EXPAND_ROUND4(FF1, GG1, 40);
    SM3_EXPAND_ROUND4(FF1, GG1, 44);
    SM3_EXPAND_ROUND4(FF1, GG1, 48);
    SM3_EXPAND_ROUND4(FF1, GG1, 52);
    SM3_EXPAND_ROUND4(FF1, GG1, 56);
    SM3_EXPAND_ROUND4(FF1, GG1, 60);
    V[0] ^= A; V[1] ^= B; V[2] ^= C; V[3] ^= D;
    V[4] ^= E; V[5] ^= F; V[6] ^= G; V[7] ^= H;
}

#undef SM3_EXPAND_ROUND4
#undef SM3_ROUND4
#undef SM3_ROUND
#undef SM3_EXPAND

// Compresses nBlocks whole 64-byte blocks straight from p.
void SM3_DigestBlock(SM3_CTX* ctx, const unsigned char* p, size_t nBlocks)
{
    uint32_t W[68];
    for (; nBlocks > 0; --nBlocks, p += SM3_CBLOCK) {
        CF(ctx->V, p, W);
        ctx->total += SM3_CBLOCK;
    }
    OPENSSL_cleanse(W, sizeof(W));
}

int _SM3_DigestInit(SM3_CTX* ctx)
{
    memset(ctx, 0, sizeof(*ctx));
    memcpy(ctx->V, kIV, sizeof(kIV));
    return 1;
}

// A block that fills the buffer exactly stays there until more input or the final step;
// whole blocks of the input are compressed straight from it.
int _SM3_DigestUpdate(SM3_CTX* ctx, const unsigned char* p, size_t n)
{
    const size_t b = ctx->buffered;
    if (n <= SM3_CBLOCK - b) {
        memcpy(ctx->buffer + b, p, n);
        ctx->buffered = (uint32_t)(b + n);
        return 1;
    }
    memcpy(ctx->buffer + b, p, SM3_CBLOCK - b);
    SM3_DigestBlock(ctx, ctx->buffer, 1);
    p += SM3_CBLOCK - b;
    n -= SM3_CBLOCK - b;
    const size_t nBlocks = n / SM3_CBLOCK;
    SM3_DigestBlock(ctx, p, nBlocks);
    n -= nBlocks * SM3_CBLOCK;
    memcpy(ctx->buffer, p + nBlocks * SM3_CBLOCK, n);
    ctx->buffered = (uint32_t)n;
    return 1;
}

// GB/T 32905-2016 5.2: the message, 0x80, zeros, and the 64-bit big-endian bit length;
// one block when fewer than 56 bytes are buffered, else two.
size_t Padding(const SM3_CTX* ctx, unsigned char tail[2 * SM3_CBLOCK])
{
    const size_t b = ctx->buffered;
    const size_t nTail = b < 56 ? SM3_CBLOCK : 2 * SM3_CBLOCK;
    const uint64_t nBits = (ctx->total + b) * 8; // bit length mod 2^64, as the standard's field
    memset(tail, 0, 2 * SM3_CBLOCK);
    memcpy(tail, ctx->buffer, b);
    tail[b] = 0x80;
    StoreBE32(tail + nTail - 8, (uint32_t)(nBits >> 32));
    StoreBE32(tail + nTail - 4, (uint32_t)nBits);
    return nTail;
}

void _ConvertSM3DigestData2Bytes(const uint32_t V[8], unsigned char md[SM3_DIGEST_LENGTH])
{
    for (int i = 0; i < 8; ++i)
        StoreBE32(md + 4 * i, V[i]);
}

int _SM3_DigestFinal(unsigned char* md, SM3_CTX* ctx)
{
    if (ctx->buffered > SM3_CBLOCK)
        return 0;
    unsigned char tail[2 * SM3_CBLOCK];
    const size_t nTail = Padding(ctx, tail);
    SM3_DigestBlock(ctx, tail, nTail / SM3_CBLOCK);
    _ConvertSM3DigestData2Bytes(ctx->V, md);
    OPENSSL_cleanse(tail, sizeof(tail));
    OPENSSL_cleanse(ctx->buffer, sizeof(ctx->buffer));
    return 1;
}

}  // namespace
}  // namespace smk

int SM3_Init(SM3_CTX* ctx)
{
    if (NULL == ctx)
        return 0;
    return smk::_SM3_DigestInit(ctx);
}

int SM3_Update(SM3_CTX* ctx, const void* data, size_t len)
{
    if (NULL == ctx || (NULL == data && 0 != len))
        return 0;
    if (0 == len)
        return 1;
    return smk::_SM3_DigestUpdate(ctx, static_cast<const unsigned char*>(data), len);
}

int SM3_Final(unsigned char md[SM3_DIGEST_LENGTH], SM3_CTX* ctx)
{
    if (NULL == md || NULL == ctx)
        return 0;
    return smk::_SM3_DigestFinal(md, ctx);
}

unsigned char* SM3(const unsigned char* data, size_t len, unsigned char* md)
{
    static thread_local unsigned char s_md[SM3_DIGEST_LENGTH];
    if (NULL == md)
        md = s_md;
    SM3_CTX ctx;
    const int ok = SM3_Init(&ctx) && SM3_Update(&ctx, data, len) && SM3_Final(md, &ctx);
    OPENSSL_cleanse(&ctx, sizeof(ctx));
    return ok ? md : NULL;
}
