#include "ASN1EngineEx.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "vomu_result.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Tree = std::unique_ptr<NodeEx>;

NodeEx* Leaf(uint8_t byTag, const Bytes& value)
{
    NodeEx* p = new NodeEx;
    p->Tag = byTag;
    if (!value.empty()) {
        p->pValue = new unsigned char[value.size()];
        memcpy(p->pValue, value.data(), value.size());
    }
    p->ValueLength = p->CurrentValueLength = value.size();
    return p;
}

NodeEx* Constructed(uint8_t byTag, std::vector<NodeEx*> children)
{
    NodeEx* p = new NodeEx;
    p->Tag = byTag;
    for (NodeEx* c : children) EXPECT_TRUE(p->AddChild(c));
    return p;
}

int ToMemory(NodeEx* pRoot, Bytes& out, int* pnDepth = nullptr)
{
    unsigned char* pby = nullptr;
    int nPos = 0;
    const int nResult = EncodeASN1ToMemory(pRoot, &pby, &nPos, pnDepth);
    if (VOMU_OK == nResult) out.assign(pby, pby + nPos);
    delete[] pby;
    return nResult;
}

int ToFile(NodeEx* pRoot, Bytes& out, int* pnDepth = nullptr)
{
    FILE* fp = tmpfile();
    int nWritten = 0;
    const int nResult = EncodeASN1ToFile(pRoot, fp, &nWritten, pnDepth);
    out.assign((size_t)nWritten, 0);
    rewind(fp);
    EXPECT_EQ((size_t)nWritten, fread(out.data(), 1, out.size(), fp));
    fclose(fp);
    return nResult;
}

Bytes ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Sample(const char* name) { return std::string(MORV_TEST_DATA_DIR) + "/asn1/" + name; }

// One node as `openssl asn1parse` reports it: header offset, depth, header length, value
// length (-1 for "inf") and the constructed bit.
struct Row {
    long nOffset, nDepth, nHeader, nLength;
    bool bConstructed;
    bool operator==(const Row& o) const
    {
        return nOffset == o.nOffset && nDepth == o.nDepth && nHeader == o.nHeader && nLength == o.nLength &&
               bConstructed == o.bConstructed;
    }
};

std::ostream& operator<<(std::ostream& os, const Row& r)
{
    return os << r.nOffset << ":d=" << r.nDepth << " hl=" << r.nHeader << " l=" << r.nLength
              << (r.bConstructed ? " cons" : " prim");
}

// Rows of an asn1parse listing, without its end-of-contents lines (our tree has no EOC nodes).
std::vector<Row> ParseAsn1parse(const std::string& path)
{
    std::vector<Row> rows;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        Row r{};
        char szLength[16] = {0}, szKind[8] = {0};
        if (5 != sscanf(line.c_str(), " %ld:d=%ld hl=%ld l=%15s %7[a-z]", &r.nOffset, &r.nDepth, &r.nHeader,
                        szLength, szKind))
            continue;
        if (line.find(" EOC") != std::string::npos) continue;
        r.nLength = 0 == strcmp(szLength, "inf") ? -1 : atol(szLength);
        r.bConstructed = 0 == strcmp(szKind, "cons");
        rows.push_back(r);
    }
    return rows;
}

// Rows of our tree in the same pre-order; an indefinite node is told by its 0x80 length octet.
void TreeRows(const NodeEx* p, long nDepth, const Bytes& source, std::vector<Row>& rows)
{
    const long nHeaderOffset = (long)(p->ValueOffset - 1 - (int64_t)p->LengthOctets);
    const bool bIndefinite = 1 == p->LengthOctets && 0x80 == source[nHeaderOffset + 1];
    rows.push_back({nHeaderOffset, nDepth, (long)(1 + p->LengthOctets), bIndefinite ? -1 : (long)p->ValueLength,
                    0 != (p->Tag & 0x20)});
    for (const NodeEx* c : p->vetNodes) TreeRows(c, nDepth + 1, source, rows);
}

// Fields that memory and file trees share, in pre-order.
void Shape(const NodeEx* p, std::ostringstream& os)
{
    os << (int)p->Tag << ',' << p->ValueOffset << ',' << p->LengthOctets << ',' << p->ValueLength << ','
       << p->TotalLength << ',' << p->FileLength << ',' << p->InfiniteLength << ",[";
    for (const NodeEx* c : p->vetNodes) {
        EXPECT_EQ(p, c->pParent);
        Shape(c, os);
    }
    os << ']';
}

std::string Shape(const NodeEx* p)
{
    std::ostringstream os;
    Shape(p, os);
    return os.str();
}

int DecodeMemory(const Bytes& data, Tree& root)
{
    NodeEx* p = nullptr;
    const int nResult = DecodeASN1MemoryEx(data.data(), data.size(), &p);
    root.reset(p);
    return nResult;
}

int DecodeFile(const Bytes& data, Tree& root, FILE** ppFile)
{
    *ppFile = tmpfile();
    if (!data.empty()) fwrite(data.data(), 1, data.size(), *ppFile);
    fflush(*ppFile);
    NodeEx* p = nullptr;
    const int nResult = DecodeASN1FileEx(*ppFile, &p);
    root.reset(p);
    return nResult;
}

Bytes Nested(int nLevels)
{
    Bytes out = {0x30, 0x00};
    for (int i = 1; i < nLevels; ++i) {
        Bytes outer = {0x30};
        if (out.size() < 0x80) {
            outer.push_back((unsigned char)out.size());
        } else if (out.size() < 0x100) {
            outer.push_back(0x81);
            outer.push_back((unsigned char)out.size());
        } else {
            outer.push_back(0x82);
            outer.push_back((unsigned char)(out.size() >> 8));
            outer.push_back((unsigned char)out.size());
        }
        outer.insert(outer.end(), out.begin(), out.end());
        out.swap(outer);
    }
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Encoder

TEST(ASN1EngineEx, LengthOctetsAreShortestDefiniteForm)
{
    struct { long long n; Bytes octets; } cases[] = {
        {0, {0x00}}, {127, {0x7F}}, {128, {0x81, 0x80}}, {255, {0x81, 0xFF}}, {256, {0x82, 0x01, 0x00}},
        {65536, {0x83, 0x01, 0x00, 0x00}}, {0x100000000LL, {0x85, 0x01, 0, 0, 0, 0}},
        {0x7FFFFFFFFFFFFFFFLL, {0x88, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const auto& c : cases) {
        unsigned char* pby = nullptr;
        ASSERT_EQ((int)c.octets.size(), EncodeASN1Length(c.n, &pby));
        EXPECT_EQ(c.octets, Bytes(pby, pby + c.octets.size())) << c.n;
        delete[] pby;
        EXPECT_EQ((int)c.octets.size(), EncodeASN1Length(c.n, nullptr));
    }
    EXPECT_EQ(-1, EncodeASN1Length(-1, nullptr));
}

TEST(ASN1EngineEx, LeafLengthsAndOneTlv)
{
    for (size_t n : {0, 1, 127, 128, 65536}) {
        Bytes value(n, 0x5A);
        Tree leaf(Leaf(0x04, value));
        Bytes der, tlv;
        ASSERT_EQ(VOMU_OK, ToMemory(leaf.get(), der));
        unsigned char* pby = nullptr;
        int nLen = 0;
        ASSERT_EQ(VOMU_OK, ASN1Encode(0x04, value.data(), (int)n, &pby, &nLen));
        tlv.assign(pby, pby + nLen);
        delete[] pby;
        EXPECT_EQ(der, tlv);
        EXPECT_EQ((size_t)leaf->GetTotalRequiredSize(), der.size());
        const Bytes header = n == 127 ? Bytes{0x04, 0x7F} : n == 128 ? Bytes{0x04, 0x81, 0x80}
                           : n == 65536 ? Bytes{0x04, 0x83, 0x01, 0x00, 0x00} : Bytes{0x04, (unsigned char)n};
        EXPECT_EQ(header, Bytes(der.begin(), der.begin() + header.size())) << n;
    }
}

// AddChild keeps the parent's lengths; the encoders tell leaves from containers by children.
TEST(ASN1EngineEx, BuiltTreeEncodesInMemoryAndFileAlike)
{
    Tree root(Constructed(0x30, {Leaf(0x02, {0x05}), Constructed(0x31, {}),
                                 Constructed(0xA0, {Leaf(0x06, {0x2A, 0x03}), Leaf(0x05, {})})}));
    const Bytes expected = {0x30, 0x0D, 0x02, 0x01, 0x05, 0x31, 0x00, 0xA0, 0x06,
                            0x06, 0x02, 0x2A, 0x03, 0x05, 0x00};
    EXPECT_EQ(13u, root->ValueLength);
    EXPECT_EQ(13u, root->CurrentValueLength);
    Bytes mem, file;
    int nDepth = 0;
    ASSERT_EQ(VOMU_OK, ToMemory(root.get(), mem, &nDepth));
    ASSERT_EQ(VOMU_OK, ToFile(root.get(), file, &nDepth));
    EXPECT_EQ(expected, mem);
    EXPECT_EQ(expected, file);
    EXPECT_EQ(0, nDepth);
    Bytes set;
    Tree empty(Constructed(0x31, {}));
    ASSERT_EQ(VOMU_OK, ToMemory(empty.get(), set));
    EXPECT_EQ(Bytes({0x31, 0x00}), set);
    EXPECT_EQ(VOMU_E_FAIL, EncodeASN1ToMemory(nullptr, nullptr, nullptr, nullptr));
}

TEST(ASN1EngineEx, MemorySizeLimitAtAndOnePast)
{
    // 1 + 5 length octets + value = exactly MAX_ASN1_DATA_MEMORY_SIZE.
    const size_t nValue = MAX_ASN1_DATA_MEMORY_SIZE - 6;
    for (size_t nExtra : {0, 1}) {
        Tree leaf(new NodeEx);
        leaf->Tag = 0x04;
        leaf->pValue = new unsigned char[nValue + nExtra];
        leaf->ValueLength = leaf->CurrentValueLength = nValue + nExtra;
        unsigned char* pby = nullptr;
        int nPos = 0;
        const int nResult = EncodeASN1ToMemory(leaf.get(), &pby, &nPos, nullptr);
        if (0 == nExtra) {
            EXPECT_EQ(VOMU_OK, nResult);
            EXPECT_EQ(MAX_ASN1_DATA_MEMORY_SIZE, nPos);
        } else {
            EXPECT_EQ(VOMU_E_ASN1_TOO_LARGE, nResult);
            EXPECT_EQ(nullptr, pby);
        }
        delete[] pby;
    }
}

TEST(ASN1EngineEx, DepthLimitAtAndOnePastInBothEncoders)
{
    for (int nLevels : {MAX_RECURSIVE_DEEP_LEVEL, MAX_RECURSIVE_DEEP_LEVEL + 1}) {
        NodeEx* p = Constructed(0x30, {});
        for (int i = 1; i < nLevels; ++i) p = Constructed(0x30, {p});
        Tree root(p);
        const int nExpected = nLevels <= MAX_RECURSIVE_DEEP_LEVEL ? VOMU_OK : VOMU_E_ASN1_TOO_DEEP;
        Bytes mem, file;
        int nDepth = 0;
        EXPECT_EQ(nExpected, ToMemory(root.get(), mem, &nDepth));
        EXPECT_EQ(0, nDepth);
        EXPECT_EQ(nExpected, ToFile(root.get(), file, &nDepth));
        EXPECT_EQ(0, nDepth);
        EXPECT_EQ(VOMU_OK, ToMemory(root.get(), mem, nullptr));  // no counter: no limit
        if (VOMU_OK == nExpected) {
            EXPECT_EQ(Nested(nLevels), mem);
        }
    }
}

// The envelope writer's pattern: the tree's header with a header-only leaf, then the content
// streamed after it, gives the bytes of the whole tree built in memory.
TEST(ASN1EngineEx, HeaderOnlyLeafFollowedByStreamedContent)
{
    Bytes content(1000);
    for (size_t i = 0; i < content.size(); ++i) content[i] = (unsigned char)i;
    NodeEx* pHeaderOnly = new NodeEx;
    pHeaderOnly->Tag = 0x80;
    pHeaderOnly->ValueLength = content.size();
    Tree head(Constructed(0x30, {Leaf(0x06, {0x2A, 0x03}), pHeaderOnly}));
    Tree whole(Constructed(0x30, {Leaf(0x06, {0x2A, 0x03}), Leaf(0x80, content)}));
    Bytes headMem, headFile, wholeMem;
    ASSERT_EQ(VOMU_OK, ToMemory(head.get(), headMem));
    ASSERT_EQ(VOMU_OK, ToFile(head.get(), headFile));
    ASSERT_EQ(VOMU_OK, ToMemory(whole.get(), wholeMem));
    EXPECT_EQ(Bytes({0x30, 0x82, 0x03, 0xF0, 0x06, 0x02, 0x2A, 0x03, 0x80, 0x82, 0x03, 0xE8}), headMem);
    EXPECT_EQ((size_t)head->GetCurrentRequiredLength(), headMem.size());
    EXPECT_EQ(headMem, headFile);
    headMem.insert(headMem.end(), content.begin(), content.end());
    EXPECT_EQ(wholeMem, headMem);
}

// A 7 MiB file-backed leaf goes through the 3 MiB buffer in three pieces; the output equals the
// same leaf built in memory.
TEST(ASN1EngineEx, FileBackedLeafStreamsInChunks)
{
    const size_t nSize = 7u << 20;
    Bytes content(nSize);
    for (size_t i = 0; i < nSize; ++i) content[i] = (unsigned char)(i * 7 + (i >> 20));
    FILE* fpContent = tmpfile();
    ASSERT_EQ(nSize, fwrite(content.data(), 1, nSize, fpContent));
    NodeEx* pFileLeaf = new NodeEx;
    pFileLeaf->Tag = 0x04;
    pFileLeaf->pSourceFile = fpContent;
    pFileLeaf->ValueLength = pFileLeaf->CurrentValueLength = nSize;
    Tree root(Constructed(0xA0, {pFileLeaf}));
    Tree built(Constructed(0xA0, {Leaf(0x04, content)}));
    Bytes fromFile, fromFileMem, expected;
    ASSERT_EQ(VOMU_OK, ToFile(root.get(), fromFile));
    ASSERT_EQ(VOMU_OK, ToMemory(root.get(), fromFileMem));
    ASSERT_EQ(VOMU_OK, ToMemory(built.get(), expected));
    EXPECT_TRUE(expected == fromFile);
    EXPECT_TRUE(expected == fromFileMem);
    // A source file shorter than the declared value is a failure, not silent garbage.
    pFileLeaf->ValueLength = nSize + 1;
    Bytes ignored;
    EXPECT_EQ(VOMU_E_FAIL, ToFile(root.get(), ignored));
    fclose(fpContent);
}

TEST(ASN1EngineEx, DuplicateIsADeepCopyWithItsOwnParents)
{
    const Bytes der = ReadFile(Sample("rsa_cert.der"));
    Tree parsed;
    ASSERT_EQ(VOMU_OK, DecodeMemory(der, parsed));
    const std::string shape = Shape(parsed.get());
    NodeEx* pTbs = parsed->vetNodes[0];
    NodeEx* pCopy = nullptr;
    ASSERT_EQ(VOMU_OK, DuplicateNodeEx(pTbs, &pCopy, true));
    Tree copy(pCopy);
    EXPECT_EQ(nullptr, copy->pParent);
    EXPECT_EQ(Shape(pTbs), Shape(copy.get()));  // Shape checks every child's pParent
    parsed.reset();                            // the copy outlives the parsed tree
    Bytes reencoded;
    ASSERT_EQ(VOMU_OK, ToMemory(copy.get(), reencoded));
    EXPECT_EQ(Bytes(der.begin() + 4, der.begin() + 4 + reencoded.size()), reencoded);

    Tree two(Constructed(0x30, {Leaf(0x02, {1}), Leaf(0x04, {1, 2, 3})}));
    NodeEx* pFlat = nullptr;
    ASSERT_EQ(VOMU_OK, DuplicateNodeEx(two.get(), &pFlat, false));
    EXPECT_TRUE(pFlat->vetNodes.empty());
    EXPECT_EQ(two->ValueLength, pFlat->ValueLength);
    delete pFlat;
    // A built leaf's value is copied, so both can be deleted.
    NodeEx* pLeafCopy = nullptr;
    ASSERT_EQ(VOMU_OK, DuplicateNodeEx(two->vetNodes[1], &pLeafCopy, true));
    EXPECT_NE(two->vetNodes[1]->pValue, pLeafCopy->pValue);
    EXPECT_EQ(0, memcmp(pLeafCopy->pValue, "\x01\x02\x03", 3));
    delete pLeafCopy;
    EXPECT_EQ(VOMU_E_FAIL, DuplicateNodeEx(nullptr, &pLeafCopy, true));
}

// ---------------------------------------------------------------------------------------------
// Decoder

struct DecodeCase {
    const char* name;
    Bytes input;
    int nResult;
    uint8_t byTag;
    uint64_t nValueLength, nTotalLength;
    int64_t nValueOffset;
    size_t nChildren;
};

TEST(ASN1EngineEx, DecodeTable)
{
    const DecodeCase cases[] = {
        {"null", {0x05, 0x00}, VOMU_OK, 0x05, 0, 2, 2, 0},
        {"sequence", {0x30, 0x03, 0x02, 0x01, 0x05}, VOMU_OK, 0x30, 3, 5, 2, 1},
        {"indefinite sequence", {0x30, 0x80, 0x04, 0x01, 0x41, 0x00, 0x00}, VOMU_OK, 0x30, 5, 7, 2, 1},
        {"indefinite leaf", {0x04, 0x80, 0x41, 0x42, 0x00, 0x00}, VOMU_OK, 0x04, 4, 6, 2, 0},
        {"trailing octet ignored", {0x30, 0x02, 0x05, 0x00, 0xFF}, VOMU_OK, 0x30, 2, 4, 2, 1},
        {"context container", {0xA0, 0x03, 0x04, 0x01, 0x41}, VOMU_OK, 0xA0, 3, 5, 2, 1},
        {"context primitive", {0x80, 0x03, 0x04, 0x01, 0x41}, VOMU_OK, 0x80, 3, 5, 2, 0},
        {"long form", {0x04, 0x81, 0x01, 0x41}, VOMU_OK, 0x04, 1, 4, 3, 0},
        {"empty", {}, VOMU_E_FAIL, 0, 0, 0, 0, 0},
        {"indefinite leaf without end", {0x04, 0x80, 0x41, 0x42}, VOMU_E_FAIL, 0, 0, 0, 0, 0},
        {"eoc taken as child", {0x30, 0x80, 0x00, 0x00}, VOMU_E_FAIL, 0, 0, 0, 0, 0},
        {"value past end", {0x30, 0x05, 0x02, 0x01, 0x05}, VOMU_E_FAIL, 0, 0, 0, 0, 0},
        {"child past parent", {0x30, 0x03, 0x04, 0x03, 0x41, 0x42, 0x43}, VOMU_E_FAIL, 0, 0, 0, 0, 0},
        {"indefinite child past parent", {0x30, 0x04, 0x30, 0x80, 0x05, 0x00, 0x00, 0x00}, VOMU_E_FAIL, 0, 0, 0, 0, 0},
        {"primitive [16] not a TLV", {0x90, 0x01, 0x41}, VOMU_E_FAIL, 0, 0, 0, 0, 0},
        {"length octets cut", {0x04, 0x82, 0x01}, VOMU_E_FAIL, 0, 0, 0, 0, 0},
        {"9 length octets", {0x04, 0x89, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x41}, VOMU_E_FAIL, 0, 0, 0, 0, 0},
        {"huge 8-octet length", {0x04, 0x88, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x41}, VOMU_E_FAIL, 0, 0, 0, 0, 0},
        {"length octet 0xFF", {0x04, 0xFF, 0x41}, VOMU_E_FAIL, 0, 0, 0, 0, 0},
        {"nested indefinite without end", {0x30, 0x80, 0x30, 0x80, 0x05, 0x00}, VOMU_E_FAIL, 0, 0, 0, 0, 0},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        for (bool bFile : {false, true}) {
            Tree root;
            FILE* fp = nullptr;
            const int nResult = bFile ? DecodeFile(c.input, root, &fp) : DecodeMemory(c.input, root);
            EXPECT_EQ(c.nResult, nResult) << (bFile ? "file" : "memory");
            if (VOMU_OK == nResult && VOMU_OK == c.nResult) {
                EXPECT_EQ(c.byTag, root->Tag);
                EXPECT_EQ(c.nValueLength, root->ValueLength);
                EXPECT_EQ(c.nTotalLength, root->TotalLength);
                EXPECT_EQ(c.nValueOffset, root->ValueOffset);
                EXPECT_EQ(c.nChildren, root->vetNodes.size());
                EXPECT_EQ(0, root->InfiniteLength);
                EXPECT_EQ(c.input.size(), root->FileLength);
            }
            root.reset();
            if (fp) fclose(fp);
        }
    }
}

TEST(ASN1EngineEx, DepthLimitOfTheDecoder)
{
    Tree root;
    EXPECT_EQ(VOMU_OK, DecodeMemory(Nested(127), root));
    EXPECT_EQ(VOMU_E_FAIL, DecodeMemory(Nested(128), root));
    EXPECT_NE(nullptr, root.get());  // the root is handed out once its header is read
    // 200 nested indefinite SEQUENCEs, unterminated: refused at the level limit.
    Bytes deep;
    for (int i = 0; i < 200; ++i) deep.insert(deep.end(), {0x30, 0x80});
    EXPECT_EQ(VOMU_E_FAIL, DecodeMemory(deep, root));
}

// 10 MB of empty elements: refused at the node cap instead of building millions of nodes.
TEST(ASN1EngineEx, NodeCapStopsFloodsOfEmptyElements)
{
    const size_t nContent = 10u * 1000 * 1000;
    Bytes flood = {0x30, 0x84, (unsigned char)(nContent >> 24), (unsigned char)(nContent >> 16),
                   (unsigned char)(nContent >> 8), (unsigned char)nContent};
    flood.resize(flood.size() + nContent);
    for (size_t i = 6; i < flood.size(); i += 2) flood[i] = 0x05;  // NULL, NULL, ...
    Tree root;
    EXPECT_EQ(VOMU_E_FAIL, DecodeMemory(flood, root));
    // The same elements, fewer of them, decode.
    Bytes few = {0x30, 0x82, 0x07, 0xD0};
    few.insert(few.end(), flood.begin() + 6, flood.begin() + 6 + 2000);
    EXPECT_EQ(VOMU_OK, DecodeMemory(few, root));
    EXPECT_EQ(1000u, root->vetNodes.size());
}

// Every proper prefix of a real certificate is refused (the sanitizer build catches any
// over-read of the exact-size copy).
TEST(ASN1EngineEx, TruncatedCertificateFailsAtEveryOffset)
{
    const Bytes der = ReadFile(Sample("sm2_cert.der"));
    ASSERT_FALSE(der.empty());
    for (size_t n = 0; n < der.size(); ++n) {
        Bytes prefix(der.begin(), der.begin() + n);
        prefix.shrink_to_fit();
        Tree root;
        ASSERT_EQ(VOMU_E_FAIL, DecodeMemory(prefix, root)) << n;
    }
    const Bytes cms = ReadFile(Sample("cms_stream.der"));
    for (size_t n = 0; n < cms.size(); n += 7) {
        Tree root;
        FILE* fp = nullptr;
        EXPECT_EQ(VOMU_E_FAIL, DecodeFile(Bytes(cms.begin(), cms.begin() + n), root, &fp)) << n;
        root.reset();
        fclose(fp);
    }
}

// Independent oracle: `openssl asn1parse` of the same bytes (recorded by make-asn1-samples.sh).
TEST(ASN1EngineEx, SamplesAgreeWithOpensslAsn1parse)
{
    for (const char* name : {"rsa_cert", "sm2_cert", "rsa", "cms_stream"}) {
        SCOPED_TRACE(name);
        const std::string file = std::string(name) + (0 == strcmp(name, "rsa") ? ".p12" : ".der");
        const Bytes der = ReadFile(Sample(file.c_str()));
        const std::vector<Row> expected = ParseAsn1parse(Sample((std::string(name) + ".asn1parse.txt").c_str()));
        ASSERT_GT(expected.size(), 10u);
        Tree mem, fromFile;
        FILE* fp = nullptr;
        ASSERT_EQ(VOMU_OK, DecodeMemory(der, mem));
        ASSERT_EQ(VOMU_OK, DecodeFile(der, fromFile, &fp));
        std::vector<Row> rows;
        TreeRows(mem.get(), 0, der, rows);
        EXPECT_EQ(expected, rows);
        EXPECT_EQ(der.size(), mem->TotalLength);
        EXPECT_EQ(Shape(mem.get()), Shape(fromFile.get()));
        EXPECT_EQ(fp, fromFile->pSourceFile);
        EXPECT_EQ(der.data(), mem->pSourceData);
        fromFile.reset();
        fclose(fp);
    }
}

// DER re-encodes to the same bytes; BER with indefinite lengths re-encodes as definite-length
// DER whose tree has the same tags.
TEST(ASN1EngineEx, ParsedTreesReencode)
{
    for (const char* name : {"rsa_cert.der", "sm2_cert.der", "rsa.p12"}) {
        const Bytes der = ReadFile(Sample(name));
        Tree root;
        ASSERT_EQ(VOMU_OK, DecodeMemory(der, root));
        Bytes mem, file;
        ASSERT_EQ(VOMU_OK, ToMemory(root.get(), mem));
        ASSERT_EQ(VOMU_OK, ToFile(root.get(), file));
        EXPECT_EQ(der, mem) << name;
        EXPECT_EQ(der, file) << name;
    }
    const Bytes ber = ReadFile(Sample("cms_stream.der"));
    Tree root, again;
    ASSERT_EQ(VOMU_OK, DecodeMemory(ber, root));
    Bytes mem;
    ASSERT_EQ(VOMU_OK, ToMemory(root.get(), mem));
    // Five EOC pairs gone, five one-octet indefinite lengths now 82 xx xx.
    EXPECT_EQ(ber.size(), mem.size());
    EXPECT_EQ(Bytes({0x30, 0x82}), Bytes(mem.begin(), mem.begin() + 2));
    ASSERT_EQ(VOMU_OK, DecodeMemory(mem, again));
    std::function<void(const NodeEx*, const NodeEx*)> same = [&](const NodeEx* a, const NodeEx* b) {
        ASSERT_EQ(a->Tag, b->Tag);
        ASSERT_EQ(a->vetNodes.size(), b->vetNodes.size());
        for (size_t i = 0; i < a->vetNodes.size(); ++i) same(a->vetNodes[i], b->vetNodes[i]);
    };
    same(root.get(), again.get());
}

TEST(ASN1EngineEx, HeaderFunctions)
{
    const unsigned char by[] = {0x30, 0x82, 0x01, 0x00};
    long long nPos = 0, nEnd = 0x104;
    unsigned char byTag = 0;
    unsigned long nLengthOctets = 0, nValueLength = 0, nValueStart = 0, nValueEnd = 0;
    unsigned short nInfinite = 7;
    ASSERT_EQ(0, ParseASN1TLVEx(nullptr, by, &nPos, &nEnd, &byTag, &nLengthOctets, &nValueLength, &nValueStart,
                                &nValueEnd, &nInfinite));
    EXPECT_EQ(0x30, byTag);
    EXPECT_EQ(3u, nLengthOctets);
    EXPECT_EQ(0x100u, nValueLength);
    EXPECT_EQ(4u, nValueStart);
    EXPECT_EQ(0x103u, nValueEnd);
    EXPECT_EQ(0, nInfinite);
    nEnd = 0x103;  // one short
    EXPECT_EQ(-1, ParseASN1TLVEx(nullptr, by, &nPos, &nEnd, &byTag, &nLengthOctets, &nValueLength, &nValueStart,
                                 &nValueEnd, &nInfinite));
    Tree root;
    ASSERT_EQ(VOMU_OK, DecodeMemory({0x05, 0x00}, root));
    EXPECT_EQ(-1, GetInfiniteLengthEx(root.get()));  // not indefinite
}
