#ifndef SMK_SM2P256_FIELD_H
#define SMK_SM2P256_FIELD_H

// Arithmetic modulo the published SM2 curve's prime p and its order n, in four 64-bit
// limbs (least significant first) and Montgomery form (R = 2^256). Every function runs in
// constant time: no branch and no memory index depends on the values, only on the modulus.
// Inputs are reduced (< m) unless a function says otherwise.
#include <stddef.h>
#include <stdint.h>

namespace smk {
namespace sm2p256 {

using u64 = uint64_t;
using u128 = unsigned __int128;

struct Mod {
    u64 m[4];
    u64 n0;     // -m^-1 mod 2^64
    u64 rr[4];  // R^2 mod m
    u64 one[4]; // R mod m, 1 in Montgomery form
    u64 e[4];   // m - 2, the inversion exponent
};

// p = 2^256 - 2^224 - 2^96 + 2^64 - 1; p = -1 mod 2^64, so n0 is 1 (the code below tells p
// from n by that).
inline constexpr Mod kP = {
    {0xffffffffffffffffull, 0xffffffff00000000ull, 0xffffffffffffffffull, 0xfffffffeffffffffull},
    0x1ull,
    {0x0000000200000003ull, 0x00000002ffffffffull, 0x0000000100000001ull, 0x0000000400000002ull},
    {0x0000000000000001ull, 0x00000000ffffffffull, 0x0000000000000000ull, 0x0000000100000000ull},
    {0xfffffffffffffffdull, 0xffffffff00000000ull, 0xffffffffffffffffull, 0xfffffffeffffffffull}};

// n, the order of G.
inline constexpr Mod kN = {
    {0x53bbf40939d54123ull, 0x7203df6b21c6052bull, 0xffffffffffffffffull, 0xfffffffeffffffffull},
    0x327f9e8872350975ull,
    {0x901192af7c114f20ull, 0x3464504ade6fa2faull, 0x620fc84c3affe0d4ull, 0x1eb5e412a22b3d3bull},
    {0xac440bf6c62abeddull, 0x8dfc2094de39fad4ull, 0x0000000000000000ull, 0x0000000100000000ull},
    {0x53bbf40939d54121ull, 0x7203df6b21c6052bull, 0xffffffffffffffffull, 0xfffffffeffffffffull}};

struct Fe {
    u64 v[4];
};

#define SM2P256_INLINE __attribute__((always_inline)) inline

// All ones when x is zero, else zero.
SM2P256_INLINE u64 MaskIsZero64(u64 x) { return (u64)0 - (((x | (0 - x)) >> 63) ^ 1); }

SM2P256_INLINE u64 MaskIsZero(const Fe& a) { return MaskIsZero64(a.v[0] | a.v[1] | a.v[2] | a.v[3]); }

SM2P256_INLINE u64 MaskEqual(const Fe& a, const Fe& b)
{
    return MaskIsZero64((a.v[0] ^ b.v[0]) | (a.v[1] ^ b.v[1]) | (a.v[2] ^ b.v[2]) | (a.v[3] ^ b.v[3]));
}

// r = mask ? a : r.
SM2P256_INLINE void Select(Fe& r, const Fe& a, u64 mask)
{
    for (int i = 0; i < 4; ++i)
        r.v[i] ^= mask & (r.v[i] ^ a.v[i]);
}

// r = x - m when x (plus a carry limb hi, 0 or 1) is at least m, else x.
SM2P256_INLINE void ReduceOnce(Fe& r, const u64 x[4], u64 hi, const u64 m[4])
{
    u64 d[4], borrow = 0;
    for (int i = 0; i < 4; ++i) {
        const u128 t = (u128)x[i] - m[i] - borrow;
        d[i] = (u64)t;
        borrow = (u64)(t >> 64) & 1;
    }
    // keep x when the five-limb difference went negative: hi = 0 and a borrow.
    const u64 keep = (u64)0 - (borrow & (hi ^ 1));
    for (int i = 0; i < 4; ++i)
        r.v[i] = (x[i] & keep) | (d[i] & ~keep);
}

}  // namespace sm2p256
}  // namespace smk

// The x86-64 forms of the products, squares, sums and differences.
#include "SM2P256Asm.h"

namespace smk {
namespace sm2p256 {

template <const Mod& M>
SM2P256_INLINE void Add(Fe& r, const Fe& a, const Fe& b)
{
#if defined(__x86_64__) && defined(__GNUC__)
    if constexpr (M.n0 == 1) return AddPAsm(r, a, b);
#endif
    u64 s[4], carry = 0;
    for (int i = 0; i < 4; ++i) {
        const u128 t = (u128)a.v[i] + b.v[i] + carry;
        s[i] = (u64)t;
        carry = (u64)(t >> 64);
    }
    ReduceOnce(r, s, carry, M.m);
}

template <const Mod& M>
SM2P256_INLINE void Sub(Fe& r, const Fe& a, const Fe& b)
{
#if defined(__x86_64__) && defined(__GNUC__)
    if constexpr (M.n0 == 1) return SubPAsm(r, a, b);
#endif
    u64 d[4], borrow = 0;
    for (int i = 0; i < 4; ++i) {
        const u128 t = (u128)a.v[i] - b.v[i] - borrow;
        d[i] = (u64)t;
        borrow = (u64)(t >> 64) & 1;
    }
    const u64 mask = (u64)0 - borrow;
    u64 carry = 0;
    for (int i = 0; i < 4; ++i) {
        const u128 t = (u128)d[i] + (M.m[i] & mask) + carry;
        r.v[i] = (u64)t;
        carry = (u64)(t >> 64);
    }
}

// r = a / 2 mod m (m odd): a, or a + m when a is odd, shifted right by one.
template <const Mod& M>
SM2P256_INLINE void Half(Fe& r, const Fe& a)
{
    const u64 mask = (u64)0 - (a.v[0] & 1);
    u64 s[4], carry = 0;
    for (int i = 0; i < 4; ++i) {
        const u128 t = (u128)a.v[i] + (M.m[i] & mask) + carry;
        s[i] = (u64)t;
        carry = (u64)(t >> 64);
    }
    for (int i = 0; i < 3; ++i)
        r.v[i] = s[i] >> 1 | s[i + 1] << 63;
    r.v[3] = s[3] >> 1 | carry << 63;
}

template <const Mod& M>
SM2P256_INLINE void Neg(Fe& r, const Fe& a)
{
    const Fe zero = {{0, 0, 0, 0}};
    Sub<M>(r, zero, a);
}

// r = a * b / R mod m (word-by-word Montgomery reduction interleaved with the product), in
// portable C; MontMul takes the MULX/ADX form where the CPU has it.
template <const Mod& M>
SM2P256_INLINE void MontMulPortable(Fe& r, const Fe& a, const Fe& b)
{
    u64 t0 = 0, t1 = 0, t2 = 0, t3 = 0, t4 = 0;
    for (int i = 0; i < 4; ++i) {
        const u64 bi = b.v[i];
        u128 c = (u128)a.v[0] * bi + t0;
        t0 = (u64)c;
        c = (u128)a.v[1] * bi + t1 + (u64)(c >> 64);
        t1 = (u64)c;
        c = (u128)a.v[2] * bi + t2 + (u64)(c >> 64);
        t2 = (u64)c;
        c = (u128)a.v[3] * bi + t3 + (u64)(c >> 64);
        t3 = (u64)c;
        c = (u128)t4 + (u64)(c >> 64);
        t4 = (u64)c;
        const u64 t5 = (u64)(c >> 64);

        const u64 q = t0 * M.n0;
        c = (u128)q * M.m[0] + t0;
        c = (u128)q * M.m[1] + t1 + (u64)(c >> 64);
        t0 = (u64)c;
        c = (u128)q * M.m[2] + t2 + (u64)(c >> 64);
        t1 = (u64)c;
        c = (u128)q * M.m[3] + t3 + (u64)(c >> 64);
        t2 = (u64)c;
        c = (u128)t4 + (u64)(c >> 64);
        t3 = (u64)c;
        t4 = t5 + (u64)(c >> 64);
    }
    const u64 t[4] = {t0, t1, t2, t3};
    ReduceOnce(r, t, t4, M.m);
}

template <const Mod& M>
SM2P256_INLINE void MontMul(Fe& r, const Fe& a, const Fe& b)
{
#if defined(__x86_64__) && defined(__GNUC__)
    if (g_bUseAdx) return MontMulAdx<M>(r, a, b);
#endif
    MontMulPortable<M>(r, a, b);
}

template <const Mod& M>
SM2P256_INLINE void MontSqr(Fe& r, const Fe& a)
{
#if defined(__x86_64__) && defined(__GNUC__)
#if defined(__OPTIMIZE__)  // unoptimised builds keep too many registers for the square's asm
    if (g_bUseAdx) return MontSqrAdx<M>(r, a);
#endif
#endif
    MontMul<M>(r, a, a);
}

template <const Mod& M>
SM2P256_INLINE void ToMont(Fe& r, const Fe& a)
{
    const Fe rr = {{M.rr[0], M.rr[1], M.rr[2], M.rr[3]}};
    MontMul<M>(r, a, rr);
}

template <const Mod& M>
SM2P256_INLINE void FromMont(Fe& r, const Fe& a)
{
    const Fe one = {{1, 0, 0, 0}};
    MontMul<M>(r, a, one);
}

template <const Mod& M>
SM2P256_INLINE Fe MontOne()
{
    return Fe{{M.one[0], M.one[1], M.one[2], M.one[3]}};
}

// r = a^(m - 2) = a^-1 (0 for 0), both in Montgomery form: m is prime. The exponent is
// public, so its 4-bit windows may index the table of powers.
template <const Mod& M>
inline void MontInv(Fe& r, const Fe& a)
{
    Fe pow[16];
    pow[0] = MontOne<M>();
    pow[1] = a;
    for (int i = 2; i < 16; ++i)
        MontMul<M>(pow[i], pow[i - 1], a);
    Fe acc = pow[0];
    for (int bit = 252; bit >= 0; bit -= 4) {
        for (int j = 0; j < 4; ++j)
            MontSqr<M>(acc, acc);
        const unsigned w = (unsigned)(M.e[bit / 64] >> (bit % 64)) & 15;
        MontMul<M>(acc, acc, pow[w]);
    }
    r = acc;
}

// MontInv mod M1 and mod M2 at once: each exponentiation is a chain of squarings that waits
// on its own results, so two chains side by side take little longer than one.
template <const Mod& M1, const Mod& M2>
inline void MontInvPair(Fe& r1, const Fe& a1, Fe& r2, const Fe& a2)
{
    Fe pow1[16], pow2[16];
    pow1[0] = MontOne<M1>();
    pow2[0] = MontOne<M2>();
    pow1[1] = a1;
    pow2[1] = a2;
    for (int i = 2; i < 16; ++i) {
        MontMul<M1>(pow1[i], pow1[i - 1], a1);
        MontMul<M2>(pow2[i], pow2[i - 1], a2);
    }
    Fe acc1 = pow1[0], acc2 = pow2[0];
    for (int bit = 252; bit >= 0; bit -= 4) {
        for (int j = 0; j < 4; ++j) {
            MontSqr<M1>(acc1, acc1);
            MontSqr<M2>(acc2, acc2);
        }
        MontMul<M1>(acc1, acc1, pow1[(unsigned)(M1.e[bit / 64] >> (bit % 64)) & 15]);
        MontMul<M2>(acc2, acc2, pow2[(unsigned)(M2.e[bit / 64] >> (bit % 64)) & 15]);
    }
    r1 = acc1;
    r2 = acc2;
}

// 32 big-endian bytes as a number (not reduced) and back.
SM2P256_INLINE void FromBytes(Fe& r, const unsigned char b[32])
{
    for (int i = 0; i < 4; ++i) {
        u64 w = 0;
        for (int j = 0; j < 8; ++j)
            w = w << 8 | b[8 * (3 - i) + j];
        r.v[i] = w;
    }
}

SM2P256_INLINE void ToBytes(unsigned char b[32], const Fe& a)
{
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 8; ++j)
            b[8 * (3 - i) + j] = (unsigned char)(a.v[i] >> (56 - 8 * j));
}

// x mod m for any x < 2^256 (2^256 < 2m for both moduli).
template <const Mod& M>
SM2P256_INLINE void Reduce(Fe& r, const Fe& x)
{
    ReduceOnce(r, x.v, 0, M.m);
}

// Shorthands mod p for the point formulas.
SM2P256_INLINE void Mul(Fe& r, const Fe& a, const Fe& b) { MontMul<kP>(r, a, b); }
SM2P256_INLINE void Sqr(Fe& r, const Fe& a) { MontSqr<kP>(r, a); }
SM2P256_INLINE void FAdd(Fe& r, const Fe& a, const Fe& b) { Add<kP>(r, a, b); }
SM2P256_INLINE void FSub(Fe& r, const Fe& a, const Fe& b) { Sub<kP>(r, a, b); }

}  // namespace sm2p256
}  // namespace smk

#endif
