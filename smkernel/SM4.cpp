// SM4 block cipher, written from GB/T 32907-2016 (GM/T 0002-2012).
#include "SM4.h"

#include <string.h>

#include <atomic>

#include "BigEndian.h"
#include "SM3.h"  // CROL
#include "SM4Internal.h"

namespace smk {
namespace {

// GB/T 32907-2016 6.2: the S-box.
constexpr uint8_t G_SBOX[256] = {
    0xd6, 0x90, 0xe9, 0xfe, 0xcc, 0xe1, 0x3d, 0xb7, 0x16, 0xb6, 0x14, 0xc2, 0x28, 0xfb, 0x2c, 0x05,
    0x2b, 0x67, 0x9a, 0x76, 0x2a, 0xbe, 0x04, 0xc3, 0xaa, 0x44, 0x13, 0x26, 0x49, 0x86, 0x06, 0x99,
    0x9c, 0x42, 0x50, 0xf4, 0x91, 0xef, 0x98, 0x7a, 0x33, 0x54, 0x0b, 0x43, 0xed, 0xcf, 0xac, 0x62,
    0xe4, 0xb3, 0x1c, 0xa9, 0xc9, 0x08, 0xe8, 0x95, 0x80, 0xdf, 0x94, 0xfa, 0x75, 0x8f, 0x3f, 0xa6,
    0x47, 0x07, 0xa7, 0xfc, 0xf3, 0x73, 0x17, 0xba, 0x83, 0x59, 0x3c, 0x19, 0xe6, 0x85, 0x4f, 0xa8,
    0x68, 0x6b, 0x81, 0xb2, 0x71, 0x64, 0xda, 0x8b, 0xf8, 0xeb, 0x0f, 0x4b, 0x70, 0x56, 0x9d, 0x35,
    0x1e, 0x24, 0x0e, 0x5e, 0x63, 0x58, 0xd1, 0xa2, 0x25, 0x22, 0x7c, 0x3b, 0x01, 0x21, 0x78, 0x87,
    0xd4, 0x00, 0x46, 0x57, 0x9f, 0xd3, 0x27, 0x52, 0x4c, 0x36, 0x02, 0xe7, 0xa0, 0xc4, 0xc8, 0x9e,
    0xea, 0xbf, 0x8a, 0xd2, 0x40, 0xc7, 0x38, 0xb5, 0xa3, 0xf7, 0xf2, 0xce, 0xf9, 0x61, 0x15, 0xa1,
    0xe0, 0xae, 0x5d, 0xa4, 0x9b, 0x34, 0x1a, 0x55, 0xad, 0x93, 0x32, 0x30, 0xf5, 0x8c, 0xb1, 0xe3,
    0x1d, 0xf6, 0xe2, 0x2e, 0x82, 0x66, 0xca, 0x60, 0xc0, 0x29, 0x23, 0xab, 0x0d, 0x53, 0x4e, 0x6f,
    0xd5, 0xdb, 0x37, 0x45, 0xde, 0xfd, 0x8e, 0x2f, 0x03, 0xff, 0x6a, 0x72, 0x6d, 0x6c, 0x5b, 0x51,
    0x8d, 0x1b, 0xaf, 0x92, 0xbb, 0xdd, 0xbc, 0x7f, 0x11, 0xd9, 0x5c, 0x41, 0x1f, 0x10, 0x5a, 0xd8,
    0x0a, 0xc1, 0x31, 0x88, 0xa5, 0xcd, 0x7b, 0xbd, 0x2d, 0x74, 0xd0, 0x12, 0xb8, 0xe5, 0xb4, 0xb0,
    0x89, 0x69, 0x97, 0x4a, 0x0c, 0x96, 0x77, 0x7e, 0x65, 0xb9, 0xf1, 0x09, 0xc5, 0x6e, 0xc6, 0x84,
    0x18, 0xf0, 0x7d, 0xec, 0x3a, 0xdc, 0x4d, 0x20, 0x79, 0xee, 0x5f, 0x3e, 0xd7, 0xcb, 0x39, 0x48,
};

// GB/T 32907-2016 7.3: system parameters FK.
constexpr uint32_t FK[4] = {0xa3b1bac6, 0x56aa3350, 0x677d9197, 0xb27022dc};

// GB/T 32907-2016 7.3: byte j (0 = most significant) of CK[i] is (4i + j) * 7 mod 256.
constexpr uint32_t CK(unsigned i)
{
    uint32_t ck = 0;
    for (unsigned j = 0; j < 4; ++j)
        ck = ck << 8 | (((4 * i + j) * 7) & 0xff);
    return ck;
}

// GB/T 32907-2016 6.2: tau, each byte through the S-box.
constexpr uint32_t _SM4_NLTransform(uint32_t a)
{
    return (uint32_t)G_SBOX[a >> 24] << 24 | (uint32_t)G_SBOX[(a >> 16) & 0xff] << 16 |
           (uint32_t)G_SBOX[(a >> 8) & 0xff] << 8 | G_SBOX[a & 0xff];
}

// GB/T 32907-2016 6.2: L, and T = L(tau).
constexpr uint32_t _SM4_LTransform(uint32_t b)
{
    return b ^ CROL(b, 2) ^ CROL(b, 10) ^ CROL(b, 18) ^ CROL(b, 24);
}
constexpr uint32_t _SM4_TTransform(uint32_t a) { return _SM4_LTransform(_SM4_NLTransform(a)); }

// GB/T 32907-2016 7.3: L', T' = L'(tau) for the key schedule (tau from the path in use).
constexpr uint32_t _SM4_LDashTransform(uint32_t b) { return b ^ CROL(b, 13) ^ CROL(b, 23); }

// T is linear over the four S-box outputs, so T(a) = XOR of four tables, one per byte of a:
// Table[k][x] = L(S(x) placed at byte k). Four loads and three XORs replace tau and L.
struct TTables {
    uint32_t t[4][256];
    constexpr TTables() : t()
    {
        for (unsigned x = 0; x < 256; ++x)
            for (unsigned k = 0; k < 4; ++k)
                t[k][x] = _SM4_LTransform((uint32_t)G_SBOX[x] << (24 - 8 * k));
    }
};
alignas(64) constexpr TTables kT;

inline uint32_t TableT(uint32_t a)
{
    return (kT.t[0][a >> 24] ^ kT.t[1][(a >> 16) & 0xff]) ^ (kT.t[2][(a >> 8) & 0xff] ^ kT.t[3][a & 0xff]);
}

// GB/T 32907-2016 7.1: F(X0, X1, X2, X3, rk) = X0 ^ T(X1 ^ X2 ^ X3 ^ rk); the caller renames
// the four words instead of shifting them. The word made by the previous round is XORed
// last, so only one XOR of each round's input waits for it.
#define SM4_ROUND4(i)                                   \
    X0 ^= TableT((X1 ^ X2 ^ rk[(i) + 0]) ^ X3);         \
    X1 ^= TableT((X2 ^ X3 ^ rk[(i) + 1]) ^ X0);         \
    X2 ^= TableT((X3 ^ X0 ^ rk[(i) + 2]) ^ X1);         \
    X3 ^= TableT((X0 ^ X1 ^ rk[(i) + 3]) ^ X2)

inline void Rounds(const uint32_t in[4], const uint32_t rk[SM4_ROUNDS], uint32_t out[4])
{
    uint32_t X0 = in[0], X1 = in[1], X2 = in[2], X3 = in[3];
    SM4_ROUND4(0);
    SM4_ROUND4(4);
    SM4_ROUND4(8);
    SM4_ROUND4(12);
    SM4_ROUND4(16);
    SM4_ROUND4(20);
    SM4_ROUND4(24);
    SM4_ROUND4(28);
    // R: (X35, X34, X33, X32).
    out[0] = X3;
    out[1] = X2;
    out[2] = X1;
    out[3] = X0;
}

#undef SM4_ROUND4

// CBC decryption of separate blocks does not chain: N blocks go through the rounds side by
// side, so the table loads of one block overlap those of the others.
template <int N>
inline void RoundsN(uint32_t X[N][4], const uint32_t rk[SM4_ROUNDS])
{
    for (int i = 0; i < SM4_ROUNDS; ++i) {
#pragma GCC unroll 8
        for (int n = 0; n < N; ++n) {
            uint32_t* x = X[n];
            const uint32_t t = TableT((x[(i + 1) % 4] ^ x[(i + 2) % 4] ^ rk[i]) ^ x[(i + 3) % 4]);
            x[i % 4] ^= t;
        }
    }
}

// The portable path: tables (the reference), four blocks at a time where they are independent.
void PortableBlock(const uint32_t in[4], const uint32_t rk[SM4_ROUNDS], uint32_t out[4]) { Rounds(in, rk, out); }

void PortableBlocks(const uint32_t rk[SM4_ROUNDS], const unsigned char* in, unsigned char* out, size_t nBlocks)
{
    constexpr int N = 4;
    for (; nBlocks > 0; nBlocks -= nBlocks < N ? nBlocks : N, in += N * SM4_BLOCK_SIZE, out += N * SM4_BLOCK_SIZE) {
        uint32_t x[N][4] = {};
        const int n = nBlocks < N ? (int)nBlocks : N;
        for (int b = 0; b < n; ++b)
            for (int i = 0; i < 4; ++i)
                x[b][i] = LoadBE32(in + SM4_BLOCK_SIZE * b + 4 * i);
        RoundsN<N>(x, rk);
        for (int b = 0; b < n; ++b)
            for (int i = 0; i < 4; ++i) // R reverses the words: X35, X34, X33, X32
                StoreBE32(out + SM4_BLOCK_SIZE * b + 4 * i, x[b][3 - i]);
    }
}

uint32_t PortableTau(uint32_t a) { return _SM4_NLTransform(a); }
bool HavePortable() { return true; }

// Indexed by SM4Path.
const sm4::Path kPaths[] = {{PortableBlocks, PortableBlock, PortableTau, HavePortable, NULL},
                            {sm4::BlocksAesni, sm4::BlockAesni, sm4::TauAesni, sm4::HaveAesni, NULL},
                            {sm4::BlocksGfni, sm4::BlockGfni, sm4::TauGfni, sm4::HaveGfni, sm4::CbcEncryptGfni}};
const int kNumPaths = (int)(sizeof(kPaths) / sizeof(kPaths[0]));

// The path in use: the fastest this CPU has, chosen at the first use.
std::atomic<const sm4::Path*> g_path{nullptr};

const sm4::Path& CurrentPath()
{
    const sm4::Path* p = g_path.load(std::memory_order_relaxed);
    if (NULL == p) {
        int path = kNumPaths - 1;
        while (!kPaths[path].have())
            --path;
        p = &kPaths[path];
        g_path.store(p, std::memory_order_relaxed);
    }
    return *p;
}

inline void Block(const uint32_t in[4], const uint32_t rk[SM4_ROUNDS], uint32_t out[4])
{
    CurrentPath().block(in, rk, out);
}

inline void CbcBlock(const uint32_t in[4], const uint32_t rk[SM4_ROUNDS], uint32_t iv[4], uint32_t out[4],
                     int enc)
{
    if (enc) {
        const uint32_t x[4] = {in[0] ^ iv[0], in[1] ^ iv[1], in[2] ^ iv[2], in[3] ^ iv[3]};
        Block(x, rk, out);
        for (int i = 0; i < 4; ++i)
            iv[i] = out[i];
        return;
    }
    const uint32_t c[4] = {in[0], in[1], in[2], in[3]}; // in may be out
    Block(c, rk, out);
    for (int i = 0; i < 4; ++i) {
        out[i] ^= iv[i];
        iv[i] = c[i];
    }
}

}  // namespace

void SM4_LoadWords(const unsigned char in[SM4_BLOCK_SIZE], uint32_t out[4])
{
    for (int i = 0; i < 4; ++i)
        out[i] = LoadBE32(in + 4 * i);
}

// Chained encryption keeps the IV in registers from block to block.
static void CbcEncryptBlocks(const unsigned char* in, size_t nBlocks, const uint32_t rk[SM4_ROUNDS],
                             uint32_t v[4], unsigned char* out)
{
    if (CurrentPath().cbcEncrypt) return CurrentPath().cbcEncrypt(rk, v, in, out, nBlocks);
    for (; nBlocks > 0; --nBlocks, in += SM4_BLOCK_SIZE, out += SM4_BLOCK_SIZE) {
        uint32_t x[4];
        for (int i = 0; i < 4; ++i)
            x[i] = LoadBE32(in + 4 * i) ^ v[i];
        Block(x, rk, v);
        for (int i = 0; i < 4; ++i)
            StoreBE32(out + 4 * i, v[i]);
    }
}

// dst ^= src over n bytes (a multiple of the block size), a block at a time.
static void XorBlocks(unsigned char* dst, const unsigned char* src, size_t n)
{
    typedef uint64_t Lanes __attribute__((vector_size(SM4_BLOCK_SIZE)));
    for (size_t i = 0; i + SM4_BLOCK_SIZE <= n; i += SM4_BLOCK_SIZE) {
        Lanes a, b;
        memcpy(&a, dst + i, sizeof a);
        memcpy(&b, src + i, sizeof b);
        a ^= b;
        memcpy(dst + i, &a, sizeof a);
    }
}

// Independent blocks through the path's multi-block rounds, a chunk at a time. Each chunk's
// plaintext is then XORed with the ciphertext before it: read from the input where the output
// does not overlap it, else from a copy taken first (in may be out).
static void CbcDecryptBlocks(const unsigned char* in, size_t nBlocks, const uint32_t rk[SM4_ROUNDS],
                             uint32_t v[4], unsigned char* out)
{
    constexpr size_t kChunk = 64;
    unsigned char abyC[kChunk * SM4_BLOCK_SIZE], abyPrev[SM4_BLOCK_SIZE];
    for (int i = 0; i < 4; ++i)
        StoreBE32(abyPrev + 4 * i, v[i]);
    const sm4::BlocksFn blocks = CurrentPath().blocks;
    const uintptr_t nIn = (uintptr_t)in, nOut = (uintptr_t)out, nLen = nBlocks * SM4_BLOCK_SIZE;
    const bool bApart = nIn + nLen <= nOut || nOut + nLen <= nIn;
    while (nBlocks > 0) {
        const size_t n = nBlocks < kChunk ? nBlocks : kChunk, nBytes = n * SM4_BLOCK_SIZE;
        const unsigned char* pbyCipher = in;
        if (!bApart) {
            memcpy(abyC, in, nBytes);
            pbyCipher = abyC;
        }
        blocks(rk, pbyCipher, out, n);
        XorBlocks(out, abyPrev, SM4_BLOCK_SIZE);
        XorBlocks(out + SM4_BLOCK_SIZE, pbyCipher, nBytes - SM4_BLOCK_SIZE);
        memcpy(abyPrev, pbyCipher + nBytes - SM4_BLOCK_SIZE, SM4_BLOCK_SIZE);
        in += nBytes;
        out += nBytes;
        nBlocks -= n;
    }
    SM4_LoadWords(abyPrev, v);
}

int SM4_cbc_encrypt_blocks(const unsigned char* in, size_t len, const uint32_t rk[SM4_ROUNDS],
                           unsigned char iv[SM4_BLOCK_SIZE], unsigned char* out, int enc)
{
    uint32_t v[4];
    SM4_LoadWords(iv, v);
    if (enc)
        CbcEncryptBlocks(in, len / SM4_BLOCK_SIZE, rk, v, out);
    else
        CbcDecryptBlocks(in, len / SM4_BLOCK_SIZE, rk, v, out);
    for (int i = 0; i < 4; ++i)
        StoreBE32(iv + 4 * i, v[i]);
    return 1;
}

int _SM4_ExtendKey(const uint32_t key[4], uint32_t rk[SM4_ROUNDS])
{
    uint32_t K[4] = {key[0] ^ FK[0], key[1] ^ FK[1], key[2] ^ FK[2], key[3] ^ FK[3]};
    for (unsigned i = 0; i < SM4_ROUNDS; ++i) {
        // K[i+4] = K[i] ^ T'(K[i+1] ^ K[i+2] ^ K[i+3] ^ CK[i]), K kept as a ring of four.
        const uint32_t t = CurrentPath().tau(K[(i + 1) % 4] ^ K[(i + 2) % 4] ^ K[(i + 3) % 4] ^ CK(i));
        const uint32_t k = K[i % 4] ^ _SM4_LDashTransform(t);
        K[i % 4] = k;
        rk[i] = k;
    }
    return 1;
}

int _SM4_InvertRoundKey(uint32_t rk[SM4_ROUNDS])
{
    for (int i = 0, j = SM4_ROUNDS - 1; i < j; ++i, --j) {
        const uint32_t t = rk[i];
        rk[i] = rk[j];
        rk[j] = t;
    }
    return 1;
}

int _SM4_CipherPlaintextTransform(const uint32_t in[4], const uint32_t rk[SM4_ROUNDS], uint32_t out[4])
{
    Block(in, rk, out);
    return 1;
}

int _SM4_cbc_encrypt(const uint32_t in[4], const uint32_t rk[SM4_ROUNDS], uint32_t iv[4], uint32_t out[4],
                     int enc)
{
    CbcBlock(in, rk, iv, out, enc);
    return 1;
}

int SM4_SelectPath(int path)
{
    if (path < 0 || path >= kNumPaths || !kPaths[path].have())
        path = SM4_PATH_PORTABLE;
    g_path.store(&kPaths[path]);
    return path;
}

}  // namespace smk

int SM4_cbc_encrypt(const unsigned char in[SM4_BLOCK_SIZE], const uint32_t rk[SM4_ROUNDS],
                    unsigned char iv[SM4_BLOCK_SIZE], unsigned char out[SM4_BLOCK_SIZE], int enc)
{
    uint32_t x[4], v[4], y[4];
    smk::SM4_LoadWords(in, x);
    smk::SM4_LoadWords(iv, v);
    smk::CbcBlock(x, rk, v, y, enc);
    for (int i = 0; i < 4; ++i) {
        smk::StoreBE32(out + 4 * i, y[i]);
        smk::StoreBE32(iv + 4 * i, v[i]);
    }
    return 1;
}
