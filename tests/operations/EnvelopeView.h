#ifndef MORV_TESTS_ENVELOPE_VIEW_H
#define MORV_TESTS_ENVELOPE_VIEW_H

// The fields of an envelope found by a small DER walk of its own, so that the tests read what
// we wrote without our readers.
#include <vector>

#include "TestBytes.h"

namespace envview {

using support::Bytes;

// A definite-length DER walk: the elements of a value, in order.
struct Element {
    unsigned char byTag;
    Bytes value;
    Bytes whole;
};
inline std::vector<Element> Children(const Bytes& v)
{
    std::vector<Element> out;
    size_t i = 0;
    while (i + 2 <= v.size()) {
        const size_t nStart = i;
        const unsigned char byTag = v[i++];
        size_t nLen = v[i++];
        if (nLen & 0x80) {
            const size_t nOctets = nLen & 0x7F;
            nLen = 0;
            for (size_t k = 0; k < nOctets; ++k) nLen = (nLen << 8) | v[i++];
        }
        if (i + nLen > v.size()) break;
        out.push_back({byTag, Bytes(v.begin() + i, v.begin() + i + nLen),
                       Bytes(v.begin() + nStart, v.begin() + i + nLen)});
        i += nLen;
    }
    return out;
}

// The fields of one of our envelopes, found by position.
struct EnvelopeView {
    Bytes encryptedKey;
    Bytes contentParams;  // the whole parameter element
    Bytes content;
};
inline EnvelopeView View(const Bytes& der)
{
    EnvelopeView view;
    const std::vector<Element> root = Children(der);
    if (root.empty()) return view;
    const std::vector<Element> contentInfo = Children(root[0].value);
    const std::vector<Element> env = Children(Children(contentInfo.at(1).value).at(0).value);
    const std::vector<Element> ktri = Children(Children(env.at(1).value).at(0).value);
    view.encryptedKey = ktri.at(3).value;
    const std::vector<Element> eci = Children(env.at(2).value);
    view.contentParams = Children(eci.at(1).value).at(1).whole;
    view.content = eci.at(2).value;
    return view;
}

}  // namespace envview

#endif
