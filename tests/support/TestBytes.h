#ifndef MORV_TESTS_SUPPORT_TEST_BYTES_H
#define MORV_TESTS_SUPPORT_TEST_BYTES_H

// Bytes as the tests hold them: hex text both ways, joining, and taking over the new[]
// arrays our functions hand out (the one way a test releases an output).
#include <cstring>
#include <memory>
#include <initializer_list>
#include <string>
#include <vector>

namespace support {

using Bytes = std::vector<unsigned char>;

// Two hex digits an octet, in the case the caller's expected texts are written in.
inline std::string HexText(const unsigned char* p, size_t n, bool bUpperCase)
{
    const char* pszDigits = bUpperCase ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += pszDigits[p[i] >> 4];
        s += pszDigits[p[i] & 15];
    }
    return s;
}

inline std::string Hex(const unsigned char* p, size_t n) { return HexText(p, n, true); }
inline std::string Hex(const Bytes& b) { return Hex(b.data(), b.size()); }

inline Bytes FromHex(const std::string& hex)
{
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back((unsigned char)std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

inline Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// An output array of ours (new[]) as bytes, released here; empty for null.
template <typename T> Bytes Take(T* p, int n)
{
    std::unique_ptr<T[]> owned(p);
    const unsigned char* pby = reinterpret_cast<const unsigned char*>(p);
    return p && n > 0 ? Bytes(pby, pby + n) : Bytes();
}

}  // namespace support

#endif
