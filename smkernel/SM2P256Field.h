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

#if defined(__x86_64__) && defined(__GNUC__)
// CPUs with BMI2 and ADX multiply and reduce mod p on two carry chains at once (MULX,
// ADCX, ADOX); chosen once per process. Whether it is used depends on the CPU only.
inline bool HaveAdx()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("adx");
}
inline const bool kHaveAdx = HaveAdx();

// The same word-by-word Montgomery product as MontMul below: each of the four rounds adds
// a * b[i], then q m with q = t0 n0, and drops the zero low word; the six accumulator
// registers rotate instead of moving.
template <const Mod& M>
SM2P256_INLINE void MontMulAdx(Fe& r, const Fe& a, const Fe& b)
{
    u64 r0 = 0, r1 = 0, r2 = 0, r3 = 0, r4 = 0, r5 = 0, lo, hi, z;
    if constexpr (M.n0 == 1) {  // q = t0: p
        __asm__(
        "movq 0(%[b]), %%rdx\n\t"
        "xorl %k[z], %k[z]\n\t"
        "movq $0, %[r5]\n\t"
        "mulxq 0(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r0]\n\t"
        "adcxq %[hi], %[r1]\n\t"
        "mulxq 8(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r1]\n\t"
        "adcxq %[hi], %[r2]\n\t"
        "mulxq 16(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r2]\n\t"
        "adcxq %[hi], %[r3]\n\t"
        "mulxq 24(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r3]\n\t"
        "adcxq %[hi], %[r4]\n\t"
        "adoxq %[z], %[r4]\n\t"
        "adcxq %[z], %[r5]\n\t"
        "adoxq %[z], %[r5]\n\t"
        "movq %[r0], %%rdx\n\t"
        "xorl %k[z], %k[z]\n\t"
        "mulxq %[m0], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r0]\n\t"
        "adcxq %[hi], %[r1]\n\t"
        "mulxq %[m1], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r1]\n\t"
        "adcxq %[hi], %[r2]\n\t"
        "mulxq %[m2], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r2]\n\t"
        "adcxq %[hi], %[r3]\n\t"
        "mulxq %[m3], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r3]\n\t"
        "adcxq %[hi], %[r4]\n\t"
        "adoxq %[z], %[r4]\n\t"
        "adcxq %[z], %[r5]\n\t"
        "adoxq %[z], %[r5]\n\t"
        "movq 8(%[b]), %%rdx\n\t"
        "xorl %k[z], %k[z]\n\t"
        "movq $0, %[r0]\n\t"
        "mulxq 0(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r1]\n\t"
        "adcxq %[hi], %[r2]\n\t"
        "mulxq 8(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r2]\n\t"
        "adcxq %[hi], %[r3]\n\t"
        "mulxq 16(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r3]\n\t"
        "adcxq %[hi], %[r4]\n\t"
        "mulxq 24(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r4]\n\t"
        "adcxq %[hi], %[r5]\n\t"
        "adoxq %[z], %[r5]\n\t"
        "adcxq %[z], %[r0]\n\t"
        "adoxq %[z], %[r0]\n\t"
        "movq %[r1], %%rdx\n\t"
        "xorl %k[z], %k[z]\n\t"
        "mulxq %[m0], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r1]\n\t"
        "adcxq %[hi], %[r2]\n\t"
        "mulxq %[m1], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r2]\n\t"
        "adcxq %[hi], %[r3]\n\t"
        "mulxq %[m2], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r3]\n\t"
        "adcxq %[hi], %[r4]\n\t"
        "mulxq %[m3], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r4]\n\t"
        "adcxq %[hi], %[r5]\n\t"
        "adoxq %[z], %[r5]\n\t"
        "adcxq %[z], %[r0]\n\t"
        "adoxq %[z], %[r0]\n\t"
        "movq 16(%[b]), %%rdx\n\t"
        "xorl %k[z], %k[z]\n\t"
        "movq $0, %[r1]\n\t"
        "mulxq 0(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r2]\n\t"
        "adcxq %[hi], %[r3]\n\t"
        "mulxq 8(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r3]\n\t"
        "adcxq %[hi], %[r4]\n\t"
        "mulxq 16(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r4]\n\t"
        "adcxq %[hi], %[r5]\n\t"
        "mulxq 24(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r5]\n\t"
        "adcxq %[hi], %[r0]\n\t"
        "adoxq %[z], %[r0]\n\t"
        "adcxq %[z], %[r1]\n\t"
        "adoxq %[z], %[r1]\n\t"
        "movq %[r2], %%rdx\n\t"
        "xorl %k[z], %k[z]\n\t"
        "mulxq %[m0], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r2]\n\t"
        "adcxq %[hi], %[r3]\n\t"
        "mulxq %[m1], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r3]\n\t"
        "adcxq %[hi], %[r4]\n\t"
        "mulxq %[m2], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r4]\n\t"
        "adcxq %[hi], %[r5]\n\t"
        "mulxq %[m3], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r5]\n\t"
        "adcxq %[hi], %[r0]\n\t"
        "adoxq %[z], %[r0]\n\t"
        "adcxq %[z], %[r1]\n\t"
        "adoxq %[z], %[r1]\n\t"
        "movq 24(%[b]), %%rdx\n\t"
        "xorl %k[z], %k[z]\n\t"
        "movq $0, %[r2]\n\t"
        "mulxq 0(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r3]\n\t"
        "adcxq %[hi], %[r4]\n\t"
        "mulxq 8(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r4]\n\t"
        "adcxq %[hi], %[r5]\n\t"
        "mulxq 16(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r5]\n\t"
        "adcxq %[hi], %[r0]\n\t"
        "mulxq 24(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r0]\n\t"
        "adcxq %[hi], %[r1]\n\t"
        "adoxq %[z], %[r1]\n\t"
        "adcxq %[z], %[r2]\n\t"
        "adoxq %[z], %[r2]\n\t"
        "movq %[r3], %%rdx\n\t"
        "xorl %k[z], %k[z]\n\t"
        "mulxq %[m0], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r3]\n\t"
        "adcxq %[hi], %[r4]\n\t"
        "mulxq %[m1], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r4]\n\t"
        "adcxq %[hi], %[r5]\n\t"
        "mulxq %[m2], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r5]\n\t"
        "adcxq %[hi], %[r0]\n\t"
        "mulxq %[m3], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r0]\n\t"
        "adcxq %[hi], %[r1]\n\t"
        "adoxq %[z], %[r1]\n\t"
        "adcxq %[z], %[r2]\n\t"
        "adoxq %[z], %[r2]\n\t"
            : [r0] "+&r"(r0), [r1] "+&r"(r1), [r2] "+&r"(r2), [r3] "+&r"(r3), [r4] "+&r"(r4), [r5] "+&r"(r5),
              [lo] "=&r"(lo), [hi] "=&r"(hi), [z] "=&r"(z)
            : [a] "r"(a.v), [b] "r"(b.v), [m0] "m"(M.m[0]), [m1] "m"(M.m[1]), [m2] "m"(M.m[2]), [m3] "m"(M.m[3]),
              [n0] "m"(M.n0), "m"(*(const u64(*)[4])a.v), "m"(*(const u64(*)[4])b.v)
            : "rdx", "cc");
    } else {
        __asm__(
        "movq 0(%[b]), %%rdx\n\t"
        "xorl %k[z], %k[z]\n\t"
        "movq $0, %[r5]\n\t"
        "mulxq 0(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r0]\n\t"
        "adcxq %[hi], %[r1]\n\t"
        "mulxq 8(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r1]\n\t"
        "adcxq %[hi], %[r2]\n\t"
        "mulxq 16(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r2]\n\t"
        "adcxq %[hi], %[r3]\n\t"
        "mulxq 24(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r3]\n\t"
        "adcxq %[hi], %[r4]\n\t"
        "adoxq %[z], %[r4]\n\t"
        "adcxq %[z], %[r5]\n\t"
        "adoxq %[z], %[r5]\n\t"
        "movq %[r0], %%rdx\n\t"
        "imulq %[n0], %%rdx\n\t"
        "xorl %k[z], %k[z]\n\t"
        "mulxq %[m0], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r0]\n\t"
        "adcxq %[hi], %[r1]\n\t"
        "mulxq %[m1], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r1]\n\t"
        "adcxq %[hi], %[r2]\n\t"
        "mulxq %[m2], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r2]\n\t"
        "adcxq %[hi], %[r3]\n\t"
        "mulxq %[m3], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r3]\n\t"
        "adcxq %[hi], %[r4]\n\t"
        "adoxq %[z], %[r4]\n\t"
        "adcxq %[z], %[r5]\n\t"
        "adoxq %[z], %[r5]\n\t"
        "movq 8(%[b]), %%rdx\n\t"
        "xorl %k[z], %k[z]\n\t"
        "movq $0, %[r0]\n\t"
        "mulxq 0(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r1]\n\t"
        "adcxq %[hi], %[r2]\n\t"
        "mulxq 8(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r2]\n\t"
        "adcxq %[hi], %[r3]\n\t"
        "mulxq 16(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r3]\n\t"
        "adcxq %[hi], %[r4]\n\t"
        "mulxq 24(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r4]\n\t"
        "adcxq %[hi], %[r5]\n\t"
        "adoxq %[z], %[r5]\n\t"
        "adcxq %[z], %[r0]\n\t"
        "adoxq %[z], %[r0]\n\t"
        "movq %[r1], %%rdx\n\t"
        "imulq %[n0], %%rdx\n\t"
        "xorl %k[z], %k[z]\n\t"
        "mulxq %[m0], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r1]\n\t"
        "adcxq %[hi], %[r2]\n\t"
        "mulxq %[m1], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r2]\n\t"
        "adcxq %[hi], %[r3]\n\t"
        "mulxq %[m2], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r3]\n\t"
        "adcxq %[hi], %[r4]\n\t"
        "mulxq %[m3], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r4]\n\t"
        "adcxq %[hi], %[r5]\n\t"
        "adoxq %[z], %[r5]\n\t"
        "adcxq %[z], %[r0]\n\t"
        "adoxq %[z], %[r0]\n\t"
        "movq 16(%[b]), %%rdx\n\t"
        "xorl %k[z], %k[z]\n\t"
        "movq $0, %[r1]\n\t"
        "mulxq 0(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r2]\n\t"
        "adcxq %[hi], %[r3]\n\t"
        "mulxq 8(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r3]\n\t"
        "adcxq %[hi], %[r4]\n\t"
        "mulxq 16(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r4]\n\t"
        "adcxq %[hi], %[r5]\n\t"
        "mulxq 24(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r5]\n\t"
        "adcxq %[hi], %[r0]\n\t"
        "adoxq %[z], %[r0]\n\t"
        "adcxq %[z], %[r1]\n\t"
        "adoxq %[z], %[r1]\n\t"
        "movq %[r2], %%rdx\n\t"
        "imulq %[n0], %%rdx\n\t"
        "xorl %k[z], %k[z]\n\t"
        "mulxq %[m0], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r2]\n\t"
        "adcxq %[hi], %[r3]\n\t"
        "mulxq %[m1], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r3]\n\t"
        "adcxq %[hi], %[r4]\n\t"
        "mulxq %[m2], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r4]\n\t"
        "adcxq %[hi], %[r5]\n\t"
        "mulxq %[m3], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r5]\n\t"
        "adcxq %[hi], %[r0]\n\t"
        "adoxq %[z], %[r0]\n\t"
        "adcxq %[z], %[r1]\n\t"
        "adoxq %[z], %[r1]\n\t"
        "movq 24(%[b]), %%rdx\n\t"
        "xorl %k[z], %k[z]\n\t"
        "movq $0, %[r2]\n\t"
        "mulxq 0(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r3]\n\t"
        "adcxq %[hi], %[r4]\n\t"
        "mulxq 8(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r4]\n\t"
        "adcxq %[hi], %[r5]\n\t"
        "mulxq 16(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r5]\n\t"
        "adcxq %[hi], %[r0]\n\t"
        "mulxq 24(%[a]), %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r0]\n\t"
        "adcxq %[hi], %[r1]\n\t"
        "adoxq %[z], %[r1]\n\t"
        "adcxq %[z], %[r2]\n\t"
        "adoxq %[z], %[r2]\n\t"
        "movq %[r3], %%rdx\n\t"
        "imulq %[n0], %%rdx\n\t"
        "xorl %k[z], %k[z]\n\t"
        "mulxq %[m0], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r3]\n\t"
        "adcxq %[hi], %[r4]\n\t"
        "mulxq %[m1], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r4]\n\t"
        "adcxq %[hi], %[r5]\n\t"
        "mulxq %[m2], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r5]\n\t"
        "adcxq %[hi], %[r0]\n\t"
        "mulxq %[m3], %[lo], %[hi]\n\t"
        "adoxq %[lo], %[r0]\n\t"
        "adcxq %[hi], %[r1]\n\t"
        "adoxq %[z], %[r1]\n\t"
        "adcxq %[z], %[r2]\n\t"
        "adoxq %[z], %[r2]\n\t"
            : [r0] "+&r"(r0), [r1] "+&r"(r1), [r2] "+&r"(r2), [r3] "+&r"(r3), [r4] "+&r"(r4), [r5] "+&r"(r5),
              [lo] "=&r"(lo), [hi] "=&r"(hi), [z] "=&r"(z)
            : [a] "r"(a.v), [b] "r"(b.v), [m0] "m"(M.m[0]), [m1] "m"(M.m[1]), [m2] "m"(M.m[2]), [m3] "m"(M.m[3]),
              [n0] "m"(M.n0), "m"(*(const u64(*)[4])a.v), "m"(*(const u64(*)[4])b.v)
            : "rdx", "cc");
    }
    const u64 t[4] = {r4, r5, r0, r1};
    ReduceOnce(r, t, r2, M.m);
}

// a + b and a - b mod p on the carry flag; the correction is masked, never chosen by a
// branch or a conditional move.
SM2P256_INLINE void AddPAsm(Fe& r, const Fe& a, const Fe& b)
{
    u64 t0 = a.v[0], t1 = a.v[1], t2 = a.v[2], t3 = a.v[3], c, d, u0, u1, u2, u3;
    __asm__(
        "addq 0(%[b]), %[t0]\n\t"
        "adcq 8(%[b]), %[t1]\n\t"
        "adcq 16(%[b]), %[t2]\n\t"
        "adcq 24(%[b]), %[t3]\n\t"
        "sbbq %[c], %[c]\n\t"          // c = -carry
        "movq %[t0], %[u0]\n\t"
        "movq %[t1], %[u1]\n\t"
        "movq %[t2], %[u2]\n\t"
        "movq %[t3], %[u3]\n\t"
        "subq %[p0], %[u0]\n\t"
        "sbbq %[p1], %[u1]\n\t"
        "sbbq %[p2], %[u2]\n\t"
        "sbbq %[p3], %[u3]\n\t"
        "sbbq %[d], %[d]\n\t"          // d = -borrow
        : [t0] "+&r"(t0), [t1] "+&r"(t1), [t2] "+&r"(t2), [t3] "+&r"(t3), [c] "=&r"(c), [d] "=&r"(d), [u0] "=&r"(u0),
          [u1] "=&r"(u1), [u2] "=&r"(u2), [u3] "=&r"(u3)
        : [b] "r"(b.v), [p0] "m"(kP.m[0]), [p1] "m"(kP.m[1]), [p2] "m"(kP.m[2]), [p3] "m"(kP.m[3]),
          "m"(*(const u64(*)[4])b.v)
        : "cc");
    c = d & ~c;  // the sum is below p: keep it
    r.v[0] = u0 ^ (c & (u0 ^ t0));
    r.v[1] = u1 ^ (c & (u1 ^ t1));
    r.v[2] = u2 ^ (c & (u2 ^ t2));
    r.v[3] = u3 ^ (c & (u3 ^ t3));
}

SM2P256_INLINE void SubPAsm(Fe& r, const Fe& a, const Fe& b)
{
    u64 t0 = a.v[0], t1 = a.v[1], t2 = a.v[2], t3 = a.v[3], c, m0, m1, m2, m3;
    __asm__(
        "subq 0(%[b]), %[t0]\n\t"
        "sbbq 8(%[b]), %[t1]\n\t"
        "sbbq 16(%[b]), %[t2]\n\t"
        "sbbq 24(%[b]), %[t3]\n\t"
        "sbbq %[c], %[c]\n\t"          // c = -borrow
        "movq %[p0], %[m0]\n\t"
        "movq %[p1], %[m1]\n\t"
        "movq %[p2], %[m2]\n\t"
        "movq %[p3], %[m3]\n\t"
        "andq %[c], %[m0]\n\t"
        "andq %[c], %[m1]\n\t"
        "andq %[c], %[m2]\n\t"
        "andq %[c], %[m3]\n\t"
        "addq %[m0], %[t0]\n\t"
        "adcq %[m1], %[t1]\n\t"
        "adcq %[m2], %[t2]\n\t"
        "adcq %[m3], %[t3]\n\t"
        : [t0] "+&r"(t0), [t1] "+&r"(t1), [t2] "+&r"(t2), [t3] "+&r"(t3), [c] "=&r"(c), [m0] "=&r"(m0),
          [m1] "=&r"(m1), [m2] "=&r"(m2), [m3] "=&r"(m3)
        : [b] "r"(b.v), [p0] "m"(kP.m[0]), [p1] "m"(kP.m[1]), [p2] "m"(kP.m[2]), [p3] "m"(kP.m[3]),
          "m"(*(const u64(*)[4])b.v)
        : "cc");
    r.v[0] = t0;
    r.v[1] = t1;
    r.v[2] = t2;
    r.v[3] = t3;
}

#if defined(__OPTIMIZE__)
// a^2 / R mod m: the six cross products once, doubled, the four squares added, then the
// Montgomery reduction of the eight-word square.
template <const Mod& M>
SM2P256_INLINE void MontSqrAdx(Fe& r, const Fe& a)
{
    const u64 m[4] = {M.m[0], M.m[1], M.m[2], M.m[3]}, n0 = M.n0;
    u64 t0, t1, t2, t3, t4, t5, t6, t7, t8, lo, hi;
    const u64 zero = 0;  // a memory operand: the square needs every register but one
    if constexpr (M.n0 == 1) {
        __asm__(
            "movq 0(%[a]), %%rdx\n\t"
            "mulxq 8(%[a]), %[t1], %[t2]\n\t"
            "mulxq 16(%[a]), %[lo], %[t3]\n\t"
            "addq %[lo], %[t2]\n\t"
            "mulxq 24(%[a]), %[lo], %[t4]\n\t"
            "adcq %[lo], %[t3]\n\t"
            "movq 8(%[a]), %%rdx\n\t"
            "mulxq 24(%[a]), %[lo], %[t5]\n\t"
            "adcq %[lo], %[t4]\n\t"
            "movq 16(%[a]), %%rdx\n\t"
            "mulxq 24(%[a]), %[lo], %[t6]\n\t"
            "adcq %[lo], %[t5]\n\t"
            "adcq $0, %[t6]\n\t"
            "movq 8(%[a]), %%rdx\n\t"
            "mulxq 16(%[a]), %[lo], %[hi]\n\t"
            "addq %[lo], %[t3]\n\t"
            "adcq %[hi], %[t4]\n\t"
            "adcq $0, %[t5]\n\t"
            "adcq $0, %[t6]\n\t"
            "xorl %k[t7], %k[t7]\n\t"
            "addq %[t1], %[t1]\n\t"
            "adcq %[t2], %[t2]\n\t"
            "adcq %[t3], %[t3]\n\t"
            "adcq %[t4], %[t4]\n\t"
            "adcq %[t5], %[t5]\n\t"
            "adcq %[t6], %[t6]\n\t"
            "adcq %[t7], %[t7]\n\t"
            "movq 0(%[a]), %%rdx\n\t"
            "mulxq %%rdx, %[t0], %[hi]\n\t"
            "addq %[hi], %[t1]\n\t"
            "movq 8(%[a]), %%rdx\n\t"
            "mulxq %%rdx, %[lo], %[hi]\n\t"
            "adcq %[lo], %[t2]\n\t"
            "adcq %[hi], %[t3]\n\t"
            "movq 16(%[a]), %%rdx\n\t"
            "mulxq %%rdx, %[lo], %[hi]\n\t"
            "adcq %[lo], %[t4]\n\t"
            "adcq %[hi], %[t5]\n\t"
            "movq 24(%[a]), %%rdx\n\t"
            "mulxq %%rdx, %[lo], %[hi]\n\t"
            "adcq %[lo], %[t6]\n\t"
            "adcq %[hi], %[t7]\n\t"
            "xorl %k[t8], %k[t8]\n\t"
            "movq %[t0], %%rdx\n\t"
            "xorl %k[lo], %k[lo]\n\t"
            "mulxq %[m0], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t0]\n\t"
            "adcxq %[hi], %[t1]\n\t"
            "mulxq %[m1], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t1]\n\t"
            "adcxq %[hi], %[t2]\n\t"
            "mulxq %[m2], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t2]\n\t"
            "adcxq %[hi], %[t3]\n\t"
            "mulxq %[m3], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t3]\n\t"
            "adcxq %[hi], %[t4]\n\t"
            "adoxq %[zm], %[t4]\n\t"
            "movq $0, %[lo]\n\t"
            "adcxq %[zm], %[lo]\n\t"
            "adoxq %[zm], %[lo]\n\t"
            "addq %[lo], %[t5]\n\t"
            "adcq $0, %[t6]\n\t"
            "adcq $0, %[t7]\n\t"
            "adcq $0, %[t8]\n\t"
            "movq %[t1], %%rdx\n\t"
            "xorl %k[lo], %k[lo]\n\t"
            "mulxq %[m0], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t1]\n\t"
            "adcxq %[hi], %[t2]\n\t"
            "mulxq %[m1], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t2]\n\t"
            "adcxq %[hi], %[t3]\n\t"
            "mulxq %[m2], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t3]\n\t"
            "adcxq %[hi], %[t4]\n\t"
            "mulxq %[m3], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t4]\n\t"
            "adcxq %[hi], %[t5]\n\t"
            "adoxq %[zm], %[t5]\n\t"
            "movq $0, %[lo]\n\t"
            "adcxq %[zm], %[lo]\n\t"
            "adoxq %[zm], %[lo]\n\t"
            "addq %[lo], %[t6]\n\t"
            "adcq $0, %[t7]\n\t"
            "adcq $0, %[t8]\n\t"
            "movq %[t2], %%rdx\n\t"
            "xorl %k[lo], %k[lo]\n\t"
            "mulxq %[m0], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t2]\n\t"
            "adcxq %[hi], %[t3]\n\t"
            "mulxq %[m1], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t3]\n\t"
            "adcxq %[hi], %[t4]\n\t"
            "mulxq %[m2], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t4]\n\t"
            "adcxq %[hi], %[t5]\n\t"
            "mulxq %[m3], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t5]\n\t"
            "adcxq %[hi], %[t6]\n\t"
            "adoxq %[zm], %[t6]\n\t"
            "movq $0, %[lo]\n\t"
            "adcxq %[zm], %[lo]\n\t"
            "adoxq %[zm], %[lo]\n\t"
            "addq %[lo], %[t7]\n\t"
            "adcq $0, %[t8]\n\t"
            "movq %[t3], %%rdx\n\t"
            "xorl %k[lo], %k[lo]\n\t"
            "mulxq %[m0], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t3]\n\t"
            "adcxq %[hi], %[t4]\n\t"
            "mulxq %[m1], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t4]\n\t"
            "adcxq %[hi], %[t5]\n\t"
            "mulxq %[m2], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t5]\n\t"
            "adcxq %[hi], %[t6]\n\t"
            "mulxq %[m3], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t6]\n\t"
            "adcxq %[hi], %[t7]\n\t"
            "adoxq %[zm], %[t7]\n\t"
            "movq $0, %[lo]\n\t"
            "adcxq %[zm], %[lo]\n\t"
            "adoxq %[zm], %[lo]\n\t"
            "addq %[lo], %[t8]\n\t"
            : [t0] "=&r"(t0), [t1] "=&r"(t1), [t2] "=&r"(t2), [t3] "=&r"(t3), [t4] "=&r"(t4), [t5] "=&r"(t5),
              [t6] "=&r"(t6), [t7] "=&r"(t7), [t8] "=&r"(t8), [lo] "=&r"(lo), [hi] "=&r"(hi)
            : [a] "r"(a.v), [m0] "m"(m[0]), [m1] "m"(m[1]), [m2] "m"(m[2]), [m3] "m"(m[3]), [n0] "m"(n0), [zm] "m"(zero),
              "m"(*(const u64(*)[4])a.v)
            : "rdx", "cc");
    } else {
        __asm__(
            "movq 0(%[a]), %%rdx\n\t"
            "mulxq 8(%[a]), %[t1], %[t2]\n\t"
            "mulxq 16(%[a]), %[lo], %[t3]\n\t"
            "addq %[lo], %[t2]\n\t"
            "mulxq 24(%[a]), %[lo], %[t4]\n\t"
            "adcq %[lo], %[t3]\n\t"
            "movq 8(%[a]), %%rdx\n\t"
            "mulxq 24(%[a]), %[lo], %[t5]\n\t"
            "adcq %[lo], %[t4]\n\t"
            "movq 16(%[a]), %%rdx\n\t"
            "mulxq 24(%[a]), %[lo], %[t6]\n\t"
            "adcq %[lo], %[t5]\n\t"
            "adcq $0, %[t6]\n\t"
            "movq 8(%[a]), %%rdx\n\t"
            "mulxq 16(%[a]), %[lo], %[hi]\n\t"
            "addq %[lo], %[t3]\n\t"
            "adcq %[hi], %[t4]\n\t"
            "adcq $0, %[t5]\n\t"
            "adcq $0, %[t6]\n\t"
            "xorl %k[t7], %k[t7]\n\t"
            "addq %[t1], %[t1]\n\t"
            "adcq %[t2], %[t2]\n\t"
            "adcq %[t3], %[t3]\n\t"
            "adcq %[t4], %[t4]\n\t"
            "adcq %[t5], %[t5]\n\t"
            "adcq %[t6], %[t6]\n\t"
            "adcq %[t7], %[t7]\n\t"
            "movq 0(%[a]), %%rdx\n\t"
            "mulxq %%rdx, %[t0], %[hi]\n\t"
            "addq %[hi], %[t1]\n\t"
            "movq 8(%[a]), %%rdx\n\t"
            "mulxq %%rdx, %[lo], %[hi]\n\t"
            "adcq %[lo], %[t2]\n\t"
            "adcq %[hi], %[t3]\n\t"
            "movq 16(%[a]), %%rdx\n\t"
            "mulxq %%rdx, %[lo], %[hi]\n\t"
            "adcq %[lo], %[t4]\n\t"
            "adcq %[hi], %[t5]\n\t"
            "movq 24(%[a]), %%rdx\n\t"
            "mulxq %%rdx, %[lo], %[hi]\n\t"
            "adcq %[lo], %[t6]\n\t"
            "adcq %[hi], %[t7]\n\t"
            "xorl %k[t8], %k[t8]\n\t"
            "movq %[t0], %%rdx\n\t"
            "imulq %[n0], %%rdx\n\t"
            "xorl %k[lo], %k[lo]\n\t"
            "mulxq %[m0], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t0]\n\t"
            "adcxq %[hi], %[t1]\n\t"
            "mulxq %[m1], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t1]\n\t"
            "adcxq %[hi], %[t2]\n\t"
            "mulxq %[m2], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t2]\n\t"
            "adcxq %[hi], %[t3]\n\t"
            "mulxq %[m3], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t3]\n\t"
            "adcxq %[hi], %[t4]\n\t"
            "adoxq %[zm], %[t4]\n\t"
            "movq $0, %[lo]\n\t"
            "adcxq %[zm], %[lo]\n\t"
            "adoxq %[zm], %[lo]\n\t"
            "addq %[lo], %[t5]\n\t"
            "adcq $0, %[t6]\n\t"
            "adcq $0, %[t7]\n\t"
            "adcq $0, %[t8]\n\t"
            "movq %[t1], %%rdx\n\t"
            "imulq %[n0], %%rdx\n\t"
            "xorl %k[lo], %k[lo]\n\t"
            "mulxq %[m0], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t1]\n\t"
            "adcxq %[hi], %[t2]\n\t"
            "mulxq %[m1], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t2]\n\t"
            "adcxq %[hi], %[t3]\n\t"
            "mulxq %[m2], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t3]\n\t"
            "adcxq %[hi], %[t4]\n\t"
            "mulxq %[m3], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t4]\n\t"
            "adcxq %[hi], %[t5]\n\t"
            "adoxq %[zm], %[t5]\n\t"
            "movq $0, %[lo]\n\t"
            "adcxq %[zm], %[lo]\n\t"
            "adoxq %[zm], %[lo]\n\t"
            "addq %[lo], %[t6]\n\t"
            "adcq $0, %[t7]\n\t"
            "adcq $0, %[t8]\n\t"
            "movq %[t2], %%rdx\n\t"
            "imulq %[n0], %%rdx\n\t"
            "xorl %k[lo], %k[lo]\n\t"
            "mulxq %[m0], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t2]\n\t"
            "adcxq %[hi], %[t3]\n\t"
            "mulxq %[m1], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t3]\n\t"
            "adcxq %[hi], %[t4]\n\t"
            "mulxq %[m2], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t4]\n\t"
            "adcxq %[hi], %[t5]\n\t"
            "mulxq %[m3], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t5]\n\t"
            "adcxq %[hi], %[t6]\n\t"
            "adoxq %[zm], %[t6]\n\t"
            "movq $0, %[lo]\n\t"
            "adcxq %[zm], %[lo]\n\t"
            "adoxq %[zm], %[lo]\n\t"
            "addq %[lo], %[t7]\n\t"
            "adcq $0, %[t8]\n\t"
            "movq %[t3], %%rdx\n\t"
            "imulq %[n0], %%rdx\n\t"
            "xorl %k[lo], %k[lo]\n\t"
            "mulxq %[m0], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t3]\n\t"
            "adcxq %[hi], %[t4]\n\t"
            "mulxq %[m1], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t4]\n\t"
            "adcxq %[hi], %[t5]\n\t"
            "mulxq %[m2], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t5]\n\t"
            "adcxq %[hi], %[t6]\n\t"
            "mulxq %[m3], %[lo], %[hi]\n\t"
            "adoxq %[lo], %[t6]\n\t"
            "adcxq %[hi], %[t7]\n\t"
            "adoxq %[zm], %[t7]\n\t"
            "movq $0, %[lo]\n\t"
            "adcxq %[zm], %[lo]\n\t"
            "adoxq %[zm], %[lo]\n\t"
            "addq %[lo], %[t8]\n\t"
            : [t0] "=&r"(t0), [t1] "=&r"(t1), [t2] "=&r"(t2), [t3] "=&r"(t3), [t4] "=&r"(t4), [t5] "=&r"(t5),
              [t6] "=&r"(t6), [t7] "=&r"(t7), [t8] "=&r"(t8), [lo] "=&r"(lo), [hi] "=&r"(hi)
            : [a] "r"(a.v), [m0] "m"(m[0]), [m1] "m"(m[1]), [m2] "m"(m[2]), [m3] "m"(m[3]), [n0] "m"(n0), [zm] "m"(zero),
              "m"(*(const u64(*)[4])a.v)
            : "rdx", "cc");
    }
    (void)t0, (void)t1, (void)t2, (void)t3;
    const u64 t[4] = {t4, t5, t6, t7};
    ReduceOnce(r, t, t8, M.m);
}
#endif
#endif

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

template <const Mod& M>
SM2P256_INLINE void Neg(Fe& r, const Fe& a)
{
    const Fe zero = {{0, 0, 0, 0}};
    Sub<M>(r, zero, a);
}

// r = a * b / R mod m (word-by-word Montgomery reduction interleaved with the product).
template <const Mod& M>
SM2P256_INLINE void MontMul(Fe& r, const Fe& a, const Fe& b)
{
#if defined(__x86_64__) && defined(__GNUC__)
    if (kHaveAdx) return MontMulAdx<M>(r, a, b);
#endif
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
SM2P256_INLINE void MontSqr(Fe& r, const Fe& a)
{
#if defined(__x86_64__) && defined(__GNUC__)
#if defined(__OPTIMIZE__)  // unoptimised builds keep too many registers for the square's asm
    if (kHaveAdx) return MontSqrAdx<M>(r, a);
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

}  // namespace sm2p256
}  // namespace smk

#endif
