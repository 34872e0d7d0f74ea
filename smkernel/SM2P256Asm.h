#ifndef SMK_SM2P256_ASM_H
#define SMK_SM2P256_ASM_H

// x86-64 forms of the field operations of SM2P256Field.h, which includes this file after
// its types, constants and ReduceOnce. Same results as the portable C; like it, no branch
// and no memory index depends on the values (carries become masks, never conditional moves).
#ifndef SMK_SM2P256_FIELD_H
#error "include SM2P256Field.h"
#endif

#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>
#endif

namespace smk {
namespace sm2p256 {

#if defined(__x86_64__) && defined(__GNUC__)
// CPUs with BMI2 and ADX multiply and reduce mod p on two carry chains at once (MULX,
// ADCX, ADOX); chosen once per process. Whether it is used depends on the CPU only.
// CPUID leaf 7 rather than __builtin_cpu_supports, whose "adx" clang 14 does not know.
inline bool HaveAdx()
{
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    return (ebx & (1u << 8)) && (ebx & (1u << 19));  // BMI2, ADX
}
// Tests may switch the forms (memcheck's CPU shows no ADX, yet runs the instructions).
inline bool g_bUseAdx = HaveAdx();

// t[T0..T4] += (W0..W3) * rdx on two carry chains: ADOX for the low words of the products,
// ADCX for the high ones (the carry of each chain is left in its flag).
#define SM2P256_MAC4(T0, T1, T2, T3, T4, W0, W1, W2, W3)                                            \
    "mulxq " W0 ", %[lo], %[hi]\n\tadoxq %[lo], %[" #T0 "]\n\tadcxq %[hi], %[" #T1 "]\n\t"         \
    "mulxq " W1 ", %[lo], %[hi]\n\tadoxq %[lo], %[" #T1 "]\n\tadcxq %[hi], %[" #T2 "]\n\t"         \
    "mulxq " W2 ", %[lo], %[hi]\n\tadoxq %[lo], %[" #T2 "]\n\tadcxq %[hi], %[" #T3 "]\n\t"         \
    "mulxq " W3 ", %[lo], %[hi]\n\tadoxq %[lo], %[" #T3 "]\n\tadcxq %[hi], %[" #T4 "]\n\t"

// SM2P256_MAC4 with both carries out added into T5.
#define SM2P256_MAC(T0, T1, T2, T3, T4, T5, W0, W1, W2, W3)                                         \
    SM2P256_MAC4(T0, T1, T2, T3, T4, W0, W1, W2, W3)                                                \
    "adoxq %[z], %[" #T4 "]\n\tadcxq %[z], %[" #T5 "]\n\tadoxq %[z], %[" #T5 "]\n\t"

// One round of the product: t += a * b[i] (OFF = 8 i), then t += q m with q = t0 n0 (Q is
// the step that turns t0 in rdx into q: nothing for p, whose n0 is 1).
#define SM2P256_ROUND(OFF, Q, T0, T1, T2, T3, T4, T5)                                               \
    "movq " OFF "(%[b]), %%rdx\n\txorl %k[z], %k[z]\n\tmovq $0, %[" #T5 "]\n\t"                    \
    SM2P256_MAC(T0, T1, T2, T3, T4, T5, "0(%[a])", "8(%[a])", "16(%[a])", "24(%[a])")              \
    "movq %[" #T0 "], %%rdx\n\t" Q "xorl %k[z], %k[z]\n\t"                                       \
    SM2P256_MAC(T0, T1, T2, T3, T4, T5, "%[m0]", "%[m1]", "%[m2]", "%[m3]")

// The final conditional subtraction: (X0..X3) with top word TOP (0 or 1) minus m when that
// is not negative, with scratch S0..S3; the choice is a mask (TOP - borrow is -1 exactly when
// the value stays), never a branch or a conditional move.
#define SM2P256_SUBTRACT_M(X0, X1, X2, X3, TOP, S0, S1, S2, S3)                                      \
    "movq %[" #X0 "], %[" #S0 "]\n\tmovq %[" #X1 "], %[" #S1 "]\n\t"                                \
    "movq %[" #X2 "], %[" #S2 "]\n\tmovq %[" #X3 "], %[" #S3 "]\n\t"                                \
    "subq %[m0], %[" #S0 "]\n\tsbbq %[m1], %[" #S1 "]\n\tsbbq %[m2], %[" #S2 "]\n\t"                \
    "sbbq %[m3], %[" #S3 "]\n\tsbbq $0, %[" #TOP "]\n\t"                                          \
    "xorq %[" #S0 "], %[" #X0 "]\n\tandq %[" #TOP "], %[" #X0 "]\n\txorq %[" #S0 "], %[" #X0 "]\n\t" \
    "xorq %[" #S1 "], %[" #X1 "]\n\tandq %[" #TOP "], %[" #X1 "]\n\txorq %[" #S1 "], %[" #X1 "]\n\t" \
    "xorq %[" #S2 "], %[" #X2 "]\n\tandq %[" #TOP "], %[" #X2 "]\n\txorq %[" #S2 "], %[" #X2 "]\n\t" \
    "xorq %[" #S3 "], %[" #X3 "]\n\tandq %[" #TOP "], %[" #X3 "]\n\txorq %[" #S3 "], %[" #X3 "]\n\t"

// The same for p in place: subtract p, then add back p & mask where the value went negative
// (TOP - borrow, all ones or zero); p's words are all ones but for 2^32 in the top one and
// the low half of the second, so p & mask is the mask shifted or with one bit cleared.
#define SM2P256_SUBTRACT_P(X0, X1, X2, X3, TOP, S1, S3)                                             \
    "subq $-1, %[" #X0 "]\n\tsbbq %[m1], %[" #X1 "]\n\tsbbq $-1, %[" #X2 "]\n\t"                   \
    "sbbq %[m3], %[" #X3 "]\n\tsbbq $0, %[" #TOP "]\n\t"                                          \
    "movq %[" #TOP "], %[" #S1 "]\n\tshlq $32, %[" #S1 "]\n\t"                                     \
    "movq %[" #TOP "], %[" #S3 "]\n\tbtrq $32, %[" #S3 "]\n\t"                                     \
    "addq %[" #TOP "], %[" #X0 "]\n\tadcq %[" #S1 "], %[" #X1 "]\n\tadcq %[" #TOP "], %[" #X2 "]\n\t" \
    "adcq %[" #S3 "], %[" #X3 "]\n\t"

// The four rounds; the six accumulator registers rotate instead of moving.
#define SM2P256_MONTMUL(Q)                                                                          \
    SM2P256_ROUND("0", Q, r0, r1, r2, r3, r4, r5) SM2P256_ROUND("8", Q, r1, r2, r3, r4, r5, r0)   \
    SM2P256_ROUND("16", Q, r2, r3, r4, r5, r0, r1) SM2P256_ROUND("24", Q, r3, r4, r5, r0, r1, r2)   \
    SM2P256_SUBTRACT_M(r4, r5, r0, r1, r2, lo, hi, z, r3)

#if defined(__OPTIMIZE__)
// Montgomery reduction mod p by p's form instead of products. With q = t0 (p = -1 mod
// 2^64), (t + q p) / 2^64 = (t >> 64) + q (1 + 2^192) - q 2^32 (1 + 2^128); q 2^32 is the
// words (q << 32, q >> 32). One round on the four low words W0..W3 (W0 = q) leaves them in
// W1, W2, W3, W0; the value stays below 2^256, so carries out of the top word are dropped.
#define SM2P256_REDC_P_ROUND(W0, W1, W2, W3)                                                         \
    "movq %[" #W0 "], %[lo]\n\tshlq $32, %[lo]\n\tmovq %[" #W0 "], %[hi]\n\tshrq $32, %[hi]\n\t"  \
    "addq %[" #W0 "], %[" #W1 "]\n\tadcq $0, %[" #W2 "]\n\tadcq $0, %[" #W3 "]\n\tadcq $0, %[" #W0 "]\n\t" \
    "subq %[lo], %[" #W1 "]\n\tsbbq %[hi], %[" #W2 "]\n\tsbbq %[lo], %[" #W3 "]\n\tsbbq %[hi], %[" #W0 "]\n\t"

// The eight words t0..t7 of a product to t / R mod p in t4..t7: the low half reduced alone
// (at most p afterwards), the high half (below p) added, one conditional subtraction.
#define SM2P256_REDC_P                                                                              \
    SM2P256_REDC_P_ROUND(t0, t1, t2, t3) SM2P256_REDC_P_ROUND(t1, t2, t3, t0)                       \
    SM2P256_REDC_P_ROUND(t2, t3, t0, t1) SM2P256_REDC_P_ROUND(t3, t0, t1, t2)                       \
    "xorl %k[lo], %k[lo]\n\taddq %[t0], %[t4]\n\tadcq %[t1], %[t5]\n\tadcq %[t2], %[t6]\n\t"       \
    "adcq %[t3], %[t7]\n\tadcq $0, %[lo]\n\t"                                                       \
    SM2P256_SUBTRACT_P(t4, t5, t6, t7, lo, t0, t1)

// One row of the schoolbook product: t[I..I+4] += a * b[I] (OFF = 8 I) on two carry chains;
// zeroing the new top word T4 clears both flags.
#define SM2P256_PRODUCT_ROW(OFF, T0, T1, T2, T3, T4)                                                \
    "movq " OFF "(%[b]), %%rdx\n\txorl %k[" #T4 "], %k[" #T4 "]\n\t"                                \
    SM2P256_MAC4(T0, T1, T2, T3, T4, "0(%[a])", "8(%[a])", "16(%[a])", "24(%[a])")                  \
    "adoxq %[zm], %[" #T4 "]\n\t"

// a * b / R mod p: the 512-bit product, then SM2P256_REDC_P; half the multiplications of
// the word-by-word form, whose reduction multiplies as much as the product.
SM2P256_INLINE void MontMulPAdx(Fe& r, const Fe& a, const Fe& b)
{
    const u64 zero = 0;
    u64 t0, t1, t2, t3, t4, t5, t6, t7, lo, hi;
    __asm__(
        "movq 0(%[b]), %%rdx\n\t"
        "mulxq 0(%[a]), %[t0], %[t1]\n\t"
        "mulxq 8(%[a]), %[lo], %[t2]\n\taddq %[lo], %[t1]\n\t"
        "mulxq 16(%[a]), %[lo], %[t3]\n\tadcq %[lo], %[t2]\n\t"
        "mulxq 24(%[a]), %[lo], %[t4]\n\tadcq %[lo], %[t3]\n\tadcq $0, %[t4]\n\t"
        SM2P256_PRODUCT_ROW("8", t1, t2, t3, t4, t5)
        SM2P256_PRODUCT_ROW("16", t2, t3, t4, t5, t6)
        SM2P256_PRODUCT_ROW("24", t3, t4, t5, t6, t7)
        SM2P256_REDC_P
        : [t0] "=&r"(t0), [t1] "=&r"(t1), [t2] "=&r"(t2), [t3] "=&r"(t3), [t4] "=&r"(t4), [t5] "=&r"(t5),
          [t6] "=&r"(t6), [t7] "=&r"(t7), [lo] "=&r"(lo), [hi] "=&r"(hi)
        : [a] "r"(a.v), [b] "r"(b.v), [m0] "m"(kP.m[0]), [m1] "m"(kP.m[1]), [m2] "m"(kP.m[2]), [m3] "m"(kP.m[3]),
          [zm] "m"(zero), "m"(*(const u64(*)[4])a.v), "m"(*(const u64(*)[4])b.v)
        : "rdx", "cc");
    (void)t0, (void)t1, (void)t2, (void)t3, (void)lo, (void)hi;
    r.v[0] = t4;
    r.v[1] = t5;
    r.v[2] = t6;
    r.v[3] = t7;
}
#endif

// The word-by-word Montgomery product of MontMulPortable: each of the four rounds adds
// a * b[i], then q m, and drops the zero low word.
template <const Mod& M>
SM2P256_INLINE void MontMulAdx(Fe& r, const Fe& a, const Fe& b)
{
#if defined(__OPTIMIZE__)
    if constexpr (M.n0 == 1) return MontMulPAdx(r, a, b);
#endif
    u64 r0 = 0, r1 = 0, r2 = 0, r3 = 0, r4 = 0, r5 = 0, lo, hi, z;
    if constexpr (M.n0 == 1)
        __asm__(SM2P256_MONTMUL("")
        : [r0] "+&r"(r0), [r1] "+&r"(r1), [r2] "+&r"(r2), [r3] "+&r"(r3), [r4] "+&r"(r4), [r5] "+&r"(r5),
          [lo] "=&r"(lo), [hi] "=&r"(hi), [z] "=&r"(z)
        : [a] "r"(a.v), [b] "r"(b.v), [m0] "m"(M.m[0]), [m1] "m"(M.m[1]), [m2] "m"(M.m[2]), [m3] "m"(M.m[3]),
          [n0] "m"(M.n0), "m"(*(const u64(*)[4])a.v), "m"(*(const u64(*)[4])b.v)
        : "rdx", "cc");
    else
        __asm__(SM2P256_MONTMUL("imulq %[n0], %%rdx\n\t")
        : [r0] "+&r"(r0), [r1] "+&r"(r1), [r2] "+&r"(r2), [r3] "+&r"(r3), [r4] "+&r"(r4), [r5] "+&r"(r5),
          [lo] "=&r"(lo), [hi] "=&r"(hi), [z] "=&r"(z)
        : [a] "r"(a.v), [b] "r"(b.v), [m0] "m"(M.m[0]), [m1] "m"(M.m[1]), [m2] "m"(M.m[2]), [m3] "m"(M.m[3]),
          [n0] "m"(M.n0), "m"(*(const u64(*)[4])a.v), "m"(*(const u64(*)[4])b.v)
        : "rdx", "cc");
    r.v[0] = r4;
    r.v[1] = r5;
    r.v[2] = r0;
    r.v[3] = r1;
}

// a + b and a - b mod p on the carry flag; the correction is masked, never chosen by a
// branch or a conditional move.
SM2P256_INLINE void AddPAsm(Fe& r, const Fe& a, const Fe& b)
{
    u64 t0 = a.v[0], t1 = a.v[1], t2 = a.v[2], t3 = a.v[3], top, u1, u3;
    __asm__(
        "xorl %k[top], %k[top]\n\t"
        "addq 0(%[b]), %[t0]\n\tadcq 8(%[b]), %[t1]\n\tadcq 16(%[b]), %[t2]\n\tadcq 24(%[b]), %[t3]\n\t"
        "adcq $0, %[top]\n\t"
        SM2P256_SUBTRACT_P(t0, t1, t2, t3, top, u1, u3)
        : [t0] "+&r"(t0), [t1] "+&r"(t1), [t2] "+&r"(t2), [t3] "+&r"(t3), [top] "=&r"(top), [u1] "=&r"(u1),
          [u3] "=&r"(u3)
        : [b] "r"(b.v), [m1] "m"(kP.m[1]), [m3] "m"(kP.m[3]),
          "m"(*(const u64(*)[4])b.v)
        : "cc");
    r.v[0] = t0;
    r.v[1] = t1;
    r.v[2] = t2;
    r.v[3] = t3;
}

SM2P256_INLINE void SubPAsm(Fe& r, const Fe& a, const Fe& b)
{
    u64 t0 = a.v[0], t1 = a.v[1], t2 = a.v[2], t3 = a.v[3], c, m1, m3;
    __asm__(
        "subq 0(%[b]), %[t0]\n\t"
        "sbbq 8(%[b]), %[t1]\n\t"
        "sbbq 16(%[b]), %[t2]\n\t"
        "sbbq 24(%[b]), %[t3]\n\t"
        "sbbq %[c], %[c]\n\t"          // c = -borrow; p & c as in SM2P256_SUBTRACT_P
        "movq %[c], %[m1]\n\tshlq $32, %[m1]\n\t"
        "movq %[c], %[m3]\n\tbtrq $32, %[m3]\n\t"
        "addq %[c], %[t0]\n\t"
        "adcq %[m1], %[t1]\n\t"
        "adcq %[c], %[t2]\n\t"
        "adcq %[m3], %[t3]\n\t"
        : [t0] "+&r"(t0), [t1] "+&r"(t1), [t2] "+&r"(t2), [t3] "+&r"(t3), [c] "=&r"(c), [m1] "=&r"(m1),
          [m3] "=&r"(m3)
        : [b] "r"(b.v), "m"(*(const u64(*)[4])b.v)
        : "cc");
    r.v[0] = t0;
    r.v[1] = t1;
    r.v[2] = t2;
    r.v[3] = t3;
}

#if defined(__OPTIMIZE__)
// The square's eight words: the six cross products, doubled, plus the four squares.
#define SM2P256_SQR_PRODUCT                                                                         \
    "movq 0(%[a]), %%rdx\n\t"                                                                     \
    "mulxq 8(%[a]), %[t1], %[t2]\n\t"                                                             \
    "mulxq 16(%[a]), %[lo], %[t3]\n\taddq %[lo], %[t2]\n\t"                                       \
    "mulxq 24(%[a]), %[lo], %[t4]\n\tadcq %[lo], %[t3]\n\t"                                       \
    "movq 8(%[a]), %%rdx\n\tmulxq 24(%[a]), %[lo], %[t5]\n\tadcq %[lo], %[t4]\n\t"                \
    "movq 16(%[a]), %%rdx\n\tmulxq 24(%[a]), %[lo], %[t6]\n\tadcq %[lo], %[t5]\n\tadcq $0, %[t6]\n\t" \
    "movq 8(%[a]), %%rdx\n\tmulxq 16(%[a]), %[lo], %[hi]\n\t"                                     \
    "addq %[lo], %[t3]\n\tadcq %[hi], %[t4]\n\tadcq $0, %[t5]\n\tadcq $0, %[t6]\n\t"              \
    "xorl %k[t7], %k[t7]\n\taddq %[t1], %[t1]\n\tadcq %[t2], %[t2]\n\tadcq %[t3], %[t3]\n\t"      \
    "adcq %[t4], %[t4]\n\tadcq %[t5], %[t5]\n\tadcq %[t6], %[t6]\n\tadcq %[t7], %[t7]\n\t"        \
    "movq 0(%[a]), %%rdx\n\tmulxq %%rdx, %[t0], %[hi]\n\taddq %[hi], %[t1]\n\t"                   \
    "movq 8(%[a]), %%rdx\n\tmulxq %%rdx, %[lo], %[hi]\n\tadcq %[lo], %[t2]\n\tadcq %[hi], %[t3]\n\t" \
    "movq 16(%[a]), %%rdx\n\tmulxq %%rdx, %[lo], %[hi]\n\tadcq %[lo], %[t4]\n\tadcq %[hi], %[t5]\n\t" \
    "movq 24(%[a]), %%rdx\n\tmulxq %%rdx, %[lo], %[hi]\n\tadcq %[lo], %[t6]\n\tadcq %[hi], %[t7]\n\t" \
    "xorl %k[t8], %k[t8]\n\t"

// One reduction round of the square: t += q m at word i (T0 = t_i), both carries counted in
// lo and added at T5 = t_{i+5}, then carried on (TAIL) up to t8. The zero is in memory: the
// square needs every register but one.
#define SM2P256_SQR_ROUND(Q, T0, T1, T2, T3, T4, T5, TAIL)                                          \
    "movq %[" #T0 "], %%rdx\n\t" Q "xorl %k[lo], %k[lo]\n\t"                                      \
    SM2P256_MAC4(T0, T1, T2, T3, T4, "%[m0]", "%[m1]", "%[m2]", "%[m3]")                            \
    "adoxq %[zm], %[" #T4 "]\n\tmovq $0, %[lo]\n\tadcxq %[zm], %[lo]\n\tadoxq %[zm], %[lo]\n\t"    \
    "addq %[lo], %[" #T5 "]\n\t" TAIL

#define SM2P256_MONTSQR(Q)                                                                          \
    SM2P256_SQR_PRODUCT                                                                             \
    SM2P256_SQR_ROUND(Q, t0, t1, t2, t3, t4, t5, "adcq $0, %[t6]\n\tadcq $0, %[t7]\n\tadcq $0, %[t8]\n\t") \
    SM2P256_SQR_ROUND(Q, t1, t2, t3, t4, t5, t6, "adcq $0, %[t7]\n\tadcq $0, %[t8]\n\t")           \
    SM2P256_SQR_ROUND(Q, t2, t3, t4, t5, t6, t7, "adcq $0, %[t8]\n\t")                             \
    SM2P256_SQR_ROUND(Q, t3, t4, t5, t6, t7, t8, "")                                                 \
    SM2P256_SUBTRACT_M(t4, t5, t6, t7, t8, t0, t1, t2, t3)

// a^2 / R mod m: the cross products once, then the Montgomery reduction of the eight words.
template <const Mod& M>
SM2P256_INLINE void MontSqrAdx(Fe& r, const Fe& a)
{
    const u64 m[4] = {M.m[0], M.m[1], M.m[2], M.m[3]}, n0 = M.n0, zero = 0;
    u64 t0, t1, t2, t3, t4, t5, t6, t7, t8, lo, hi;
#define SM2P256_SQR_OPERANDS                                                                        \
    : [t0] "=&r"(t0), [t1] "=&r"(t1), [t2] "=&r"(t2), [t3] "=&r"(t3), [t4] "=&r"(t4), [t5] "=&r"(t5), \
      [t6] "=&r"(t6), [t7] "=&r"(t7), [t8] "=&r"(t8), [lo] "=&r"(lo), [hi] "=&r"(hi)               \
    : [a] "r"(a.v), [m0] "m"(m[0]), [m1] "m"(m[1]), [m2] "m"(m[2]), [m3] "m"(m[3]), [n0] "m"(n0),     \
      [zm] "m"(zero), "m"(*(const u64(*)[4])a.v)                                                    \
    : "rdx", "cc"
    if constexpr (M.n0 == 1)
        __asm__(SM2P256_SQR_PRODUCT SM2P256_REDC_P SM2P256_SQR_OPERANDS);
    else
        __asm__(SM2P256_MONTSQR("imulq %[n0], %%rdx\n\t") SM2P256_SQR_OPERANDS);
#undef SM2P256_SQR_OPERANDS
    (void)t0, (void)t1, (void)t2, (void)t3, (void)t8, (void)lo, (void)hi;
    r.v[0] = t4;
    r.v[1] = t5;
    r.v[2] = t6;
    r.v[3] = t7;
}
#endif
#endif

}  // namespace sm2p256
}  // namespace smk

#endif
