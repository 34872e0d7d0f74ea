// SM3 hash, written from GB/T 32905-2016 (GM/T 0004-2012).
#include "SM3.h"

#include <string.h>

#include <atomic>

#include <openssl/crypto.h>

#include "SM3Internal.h"

namespace smk {
namespace sm3 {

void CompressPortable(uint32_t V[8], const unsigned char* p, size_t nBlocks) { CompressScalar(V, p, nBlocks); }

}  // namespace sm3

namespace {

using namespace smk::sm3;

bool HavePortable() { return true; }

// Indexed by SM3Path.
const struct {
    CompressFn fn;
    bool (*pfnHave)();
} kPaths[] = {{CompressPortable, HavePortable}, {CompressBmi2, HaveBmi2}, {CompressAvx512, HaveAvx512}};
const int kNumPaths = (int)(sizeof(kPaths) / sizeof(kPaths[0]));

// The compression in use: the fastest this CPU has, chosen at the first block.
std::atomic<CompressFn> g_compress{nullptr};

CompressFn Compress()
{
    CompressFn fn = g_compress.load(std::memory_order_relaxed);
    if (NULL == fn) {
        int path = kNumPaths - 1;
        while (!kPaths[path].pfnHave())
            --path;
        fn = kPaths[path].fn;
        g_compress.store(fn, std::memory_order_relaxed);
    }
    return fn;
}

// Compresses nBlocks whole 64-byte blocks straight from p.
void SM3_DigestBlock(SM3_CTX* ctx, const unsigned char* p, size_t nBlocks)
{
    if (0 == nBlocks)
        return;
    Compress()(ctx->V, p, nBlocks);
    ctx->total += (uint64_t)nBlocks * SM3_CBLOCK;
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

// GB/T 32905-2016 5.2: the buffered message and nExtra more bytes (at most 4), 0x80, zeros,
// and the 64-bit big-endian bit length; one block when the message leaves room for the nine
// bytes, else two. Returns the tail's size in bytes.
size_t Padding(const SM3_CTX* ctx, const unsigned char* pbyExtra, size_t nExtra, unsigned char tail[2 * SM3_CBLOCK])
{
    const size_t m = ctx->buffered + nExtra;
    const size_t nTail = m + 9 <= SM3_CBLOCK ? SM3_CBLOCK : 2 * SM3_CBLOCK;
    const uint64_t nBits = (ctx->total + m) * 8; // bit length mod 2^64, as the standard's field
    memset(tail, 0, 2 * SM3_CBLOCK);
    memcpy(tail, ctx->buffer, ctx->buffered);
    if (nExtra > 0) memcpy(tail + ctx->buffered, pbyExtra, nExtra);
    tail[m] = 0x80;
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
    const size_t nTail = Padding(ctx, NULL, 0, tail);
    SM3_DigestBlock(ctx, tail, nTail / SM3_CBLOCK);
    _ConvertSM3DigestData2Bytes(ctx->V, md);
    sm3::WipeState(tail, sizeof(tail));
    sm3::WipeState(ctx->buffer, sizeof(ctx->buffer));
    return 1;
}

// The lanes run only beside the AVX-512 compression, so that a path chosen for a test is
// the one every digest takes.
bool LanesInUse() { return CompressAvx512 == Compress() && HaveLanes(); }

}  // namespace

int SM3_FinalCounters(const SM3_CTX* prefix, uint32_t ct0, size_t count, unsigned char md[][SM3_DIGEST_LENGTH])
{
    if (NULL == prefix || NULL == md || 0 == count || count > SM3_MAX_COUNTERS || prefix->buffered > SM3_CBLOCK)
        return 0;
    unsigned char tails[SM3_MAX_COUNTERS][2 * SM3_CBLOCK];
    uint32_t states[SM3_MAX_COUNTERS][8];
    size_t nTailBlocks = 0;
    for (size_t i = 0; i < count; ++i) {
        unsigned char abyCt[4];
        StoreBE32(abyCt, ct0 + (uint32_t)i);
        nTailBlocks = Padding(prefix, abyCt, sizeof(abyCt), tails[i]) / SM3_CBLOCK;
    }
    if (count > 1 && LanesInUse()) {
        CompressLanes(prefix->V, tails[0], sizeof(tails[0]), nTailBlocks, (unsigned)count, states);
    } else {
        for (size_t i = 0; i < count; ++i) {
            memcpy(states[i], prefix->V, sizeof(states[i]));
            Compress()(states[i], tails[i], nTailBlocks);
        }
    }
    for (size_t i = 0; i < count; ++i)
        _ConvertSM3DigestData2Bytes(states[i], md[i]);
    sm3::WipeState(tails, sizeof(tails));
    sm3::WipeState(states, sizeof(states));
    return 1;
}

int SM3_SelectPath(int path)
{
    if (path < 0 || path >= kNumPaths || !kPaths[path].pfnHave())
        path = SM3_PATH_PORTABLE;
    g_compress.store(kPaths[path].fn);
    return path;
}

int SM3_CompressBuffered(SM3_CTX* ctx)
{
    if (NULL == ctx || ctx->buffered > SM3_CBLOCK)
        return 0;
    if (SM3_CBLOCK == ctx->buffered) {
        SM3_DigestBlock(ctx, ctx->buffer, 1);
        ctx->buffered = 0;
    }
    return 1;
}

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
