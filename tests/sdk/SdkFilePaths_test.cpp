// What the SDK's file functions do with the paths a server hands them: outputs that are
// existing files, links, devices, FIFOs, directories or sockets, long names, a worker killed in
// the middle of a call, and inputs that are not regular files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "MORV.h"
#include "SdkTestUtil.h"

namespace {

using sdktest::Bytes;
using sdktest::Listing;
using sdktest::Pki;
using sdktest::Session;
using sdktest::Text;

const char kOld[] = "the file's earlier content";

Bytes Message(size_t n)
{
    Bytes m(n);
    for (size_t i = 0; i < n; ++i) m[i] = (unsigned char)(i * 131 + (i >> 7));
    return m;
}

struct stat Stat(const std::string& path)
{
    struct stat st = {};
    EXPECT_EQ(0, stat(path.c_str(), &st)) << path;
    return st;
}

struct stat LStat(const std::string& path)
{
    struct stat st = {};
    EXPECT_EQ(0, lstat(path.c_str(), &st)) << path;
    return st;
}

// A Unix socket bound at path; closed when this goes (the name stays, as sockets' names do).
class BoundSocket {
public:
    explicit BoundSocket(const std::string& path) : m_fd(socket(AF_UNIX, SOCK_STREAM, 0))
    {
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        m_bOk = m_fd >= 0 && path.size() < sizeof addr.sun_path &&
                0 == bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    }
    ~BoundSocket()
    {
        if (m_fd >= 0) close(m_fd);
    }
    bool Ok() const { return m_bOk; }

private:
    int m_fd;
    bool m_bOk = false;
};

class SdkFilePaths : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_session.Ok());
        m_nUmask = umask(022);
        m_plain = Message(100000);
        ASSERT_TRUE(sdktest::WriteBytes(Path("plain"), m_plain.data(), m_plain.size()));
        Text key;
        ASSERT_EQ(VOMU_OK, SymEncryptFile("SM4_CBC", Path("plain").c_str(), Path("enc").c_str(), key.Out()));
        m_key = key.Get();
    }
    void TearDown() override { umask(m_nUmask); }

    std::string Path(const std::string& name) const { return m_dir.Path(name); }
    int Decrypt(const std::string& out) const
    {
        return SymDecryptFile("SM4_CBC", Path("enc").c_str(), m_key.c_str(), out.c_str());
    }
    int Encrypt(const std::string& out) const
    {
        Text key;
        return SymEncryptFile("SM4_CBC", Path("plain").c_str(), out.c_str(), key.Out());
    }
    // The log written since the mark.
    std::string LogSince(size_t nMark) const { return m_session.Log().substr(nMark); }

    Session m_session;
    sdktest::TempDir m_dir;
    mode_t m_nUmask = 022;
    Bytes m_plain;
    std::string m_key;
};

// A replaced file keeps its mode, owner and group: decrypted data meant for 0600 stays 0600.
TEST_F(SdkFilePaths, ReplacedFileKeepsModeOwnerAndGroup)
{
    const bool bRoot = 0 == geteuid();
    struct Row { bool bEncrypt; mode_t nMode; uid_t nUid; gid_t nGid; } rows[] = {
        {false, 0600, geteuid(), getegid()},
        {false, 0640, geteuid(), getegid()},
        {true, 0600, geteuid(), getegid()},
        {false, 0604, geteuid(), getegid()},
        {false, 0600, bRoot ? (uid_t)1234 : geteuid(), bRoot ? (gid_t)5678 : getegid()},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.nMode) + (row.bEncrypt ? " encrypt" : " decrypt") + " uid " +
                     std::to_string(row.nUid));
        const std::string out = Path("out");
        ASSERT_TRUE(sdktest::WriteText(out, kOld));
        ASSERT_EQ(0, chmod(out.c_str(), row.nMode));
        ASSERT_EQ(0, chown(out.c_str(), row.nUid, row.nGid));
        ASSERT_EQ(VOMU_OK, row.bEncrypt ? Encrypt(out) : Decrypt(out));
        const struct stat st = Stat(out);
        EXPECT_EQ(row.nMode, st.st_mode & 07777);
        EXPECT_EQ(row.nUid, st.st_uid);
        EXPECT_EQ(row.nGid, st.st_gid);
        if (!row.bEncrypt) {
            EXPECT_EQ(m_plain, sdktest::ReadBytes(out));
        }
        EXPECT_EQ((std::vector<std::string>{"enc", "out", "plain"}), Listing(m_dir.Dir()));
    }
}

// A new output gets what fopen "wb" would give it: 0666 less the umask.
TEST_F(SdkFilePaths, NewFileGetsTheModeFopenGives)
{
    for (mode_t nUmask : {(mode_t)022, (mode_t)077, (mode_t)002}) {
        SCOPED_TRACE(nUmask);
        unlink(Path("new").c_str());
        umask(nUmask);
        ASSERT_EQ(VOMU_OK, Decrypt(Path("new")));
        EXPECT_EQ(0666 & ~nUmask, Stat(Path("new")).st_mode & 07777);
        EXPECT_EQ(m_plain, sdktest::ReadBytes(Path("new")));
    }
}

// A symlink stays a link: its final target, in its own directory, gets the content and keeps
// its mode; a dangling link's target is created.
TEST_F(SdkFilePaths, SymlinkIsWrittenThrough)
{
    ASSERT_EQ(0, mkdir(Path("sub").c_str(), 0755));
    struct Row { const char* pszWhat; std::string link, linkText, target; bool bExists; } rows[] = {
        {"absolute", Path("abs"), Path("sub/a"), Path("sub/a"), true},
        {"relative", Path("rel"), "sub/b", Path("sub/b"), true},
        {"through a link to a link", Path("chain"), "rel", Path("sub/b"), true},
        {"relative inside the target's directory", Path("sub/c_link"), "c", Path("sub/c"), true},
        {"dangling", Path("dangling"), "sub/d", Path("sub/d"), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszWhat);
        if (row.bExists) {
            ASSERT_TRUE(sdktest::WriteText(row.target, kOld));
            ASSERT_EQ(0, chmod(row.target.c_str(), 0640));
        }
        if (0 != access(row.link.c_str(), F_OK) || row.bExists) {
            unlink(row.link.c_str());
            ASSERT_EQ(0, symlink(row.linkText.c_str(), row.link.c_str()));
        }
        const std::vector<std::string> top = Listing(m_dir.Dir());
        ASSERT_EQ(VOMU_OK, Decrypt(row.link));
        EXPECT_TRUE(S_ISLNK(LStat(row.link).st_mode));
        char szText[4096] = {};
        EXPECT_EQ((ssize_t)row.linkText.size(), readlink(row.link.c_str(), szText, sizeof szText - 1));
        EXPECT_EQ(row.linkText, szText);
        EXPECT_EQ(m_plain, sdktest::ReadBytes(row.target));
        EXPECT_EQ(row.bExists ? 0640 : 0644, Stat(row.target).st_mode & 07777);
        EXPECT_EQ(top, Listing(m_dir.Dir()));
    }
    EXPECT_EQ((std::vector<std::string>{"a", "b", "c", "c_link", "d"}), Listing(Path("sub")));
}

// The rename replaces the name given; the file's other hard links keep the old content.
TEST_F(SdkFilePaths, HardLinkedFileIsReplacedUnderTheGivenNameOnly)
{
    ASSERT_TRUE(sdktest::WriteText(Path("out"), kOld));
    ASSERT_EQ(0, link(Path("out").c_str(), Path("other_name").c_str()));
    ASSERT_EQ(VOMU_OK, Decrypt(Path("out")));
    EXPECT_EQ(m_plain, sdktest::ReadBytes(Path("out")));
    EXPECT_EQ(kOld, sdktest::ReadText(Path("other_name")));
    EXPECT_NE(Stat(Path("out")).st_ino, Stat(Path("other_name")).st_ino);
    EXPECT_EQ(1u, (unsigned)Stat(Path("other_name")).st_nlink);
}

// /dev/null as output is written, never replaced (as root a rename would replace the system's).
TEST_F(SdkFilePaths, DeviceOutputIsWrittenDirectly)
{
    const struct stat before = Stat("/dev/null");
    ASSERT_TRUE(S_ISCHR(before.st_mode));
    EXPECT_EQ(VOMU_OK, Decrypt("/dev/null"));
    EXPECT_EQ(VOMU_OK, Encrypt("/dev/null"));
    const struct stat after = Stat("/dev/null");
    EXPECT_TRUE(S_ISCHR(after.st_mode));
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(before.st_rdev, after.st_rdev);
}

// A FIFO is written to its reader and stays a FIFO; without a reader the call fails at once
// instead of waiting for one.
TEST_F(SdkFilePaths, FifoOutputIsWrittenToItsReader)
{
    const std::string fifo = Path("fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    EXPECT_EQ(VOMU_E_OPEN_FILE, Decrypt(fifo));
    EXPECT_TRUE(S_ISFIFO(LStat(fifo).st_mode));

    // The reader is there before the call. A writer end of our own keeps the reader from
    // seeing the end of the stream before the call has opened the FIFO.
    const int fdRead = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_LE(0, fdRead);
    const int fdHold = open(fifo.c_str(), O_WRONLY);
    ASSERT_LE(0, fdHold);
    ASSERT_EQ(0, fcntl(fdRead, F_SETFL, 0));
    Bytes received;
    std::thread reader([&] {
        unsigned char buf[65536];
        while (received.size() < m_plain.size()) {
            const ssize_t n = read(fdRead, buf, sizeof buf);
            if (n <= 0) break;
            received.insert(received.end(), buf, buf + n);
        }
    });
    const int nResult = Decrypt(fifo);
    if (VOMU_OK != nResult) {
        close(fdHold);  // the reader sees the end and stops
        reader.join();
        close(fdRead);
        FAIL() << "result " << nResult;
    }
    reader.join();
    close(fdHold);
    close(fdRead);
    EXPECT_EQ(m_plain, received);
    EXPECT_TRUE(S_ISFIFO(LStat(fifo).st_mode));
    EXPECT_EQ((std::vector<std::string>{"enc", "fifo", "plain"}), Listing(m_dir.Dir()));
}

// A directory or a socket is refused at the open step, before the input is read or a key made.
TEST_F(SdkFilePaths, DirectoryOrSocketOutputIsRefusedBeforeWork)
{
    ASSERT_EQ(0, mkdir(Path("dir").c_str(), 0755));
    BoundSocket sock(Path("sock"));
    ASSERT_TRUE(sock.Ok());
    for (const std::string& out : {Path("dir"), Path("dir/"), Path("sock")}) {
        for (bool bEncrypt : {false, true}) {
            SCOPED_TRACE(out + (bEncrypt ? " encrypt" : " decrypt"));
            const size_t nMark = m_session.Log().size();
            EXPECT_EQ(VOMU_E_OPEN_FILE, bEncrypt ? Encrypt(out) : Decrypt(out));
            const std::string log = LogSince(nMark);
            const char* pszStep = bEncrypt ? "fopen(pszEncryptFilePath)" : "fopen(pszPlainFilePath)";
            EXPECT_NE(std::string::npos, log.find(pszStep)) << log;
            // the cipher road never started: it traces the input's size first
            EXPECT_EQ(std::string::npos, log.find(bEncrypt ? "nPlainFileSize" : "nEncryptedFileSize")) << log;
        }
    }
    EXPECT_TRUE(Listing(Path("dir")).empty());
    EXPECT_TRUE(S_ISSOCK(LStat(Path("sock")).st_mode));
    EXPECT_EQ((std::vector<std::string>{"dir", "enc", "plain", "sock"}), Listing(m_dir.Dir()));
}

// Names up to NAME_MAX: the temporary's name does not grow with the output's.
TEST_F(SdkFilePaths, LongOutputNames)
{
    for (size_t nLen : {(size_t)245, (size_t)250, (size_t)NAME_MAX}) {
        SCOPED_TRACE(nLen);
        const std::string name(nLen, 'n');
        ASSERT_EQ(VOMU_OK, Decrypt(Path(name)));
        EXPECT_EQ(m_plain, sdktest::ReadBytes(Path(name)));
        ASSERT_EQ(VOMU_OK, Decrypt(Path(name)));  // and replaced
        EXPECT_EQ((std::vector<std::string>{"enc", name, "plain"}), Listing(m_dir.Dir()));
        unlink(Path(name).c_str());
    }
}

// The first descriptor of the child that names a file in dir other than skip: "" while none.
std::string ChildFileIn(pid_t pid, const std::string& dir, const std::string& skip)
{
    const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
    for (const std::string& fd : Listing(fdDir)) {
        char szTarget[4096] = {};
        const std::string entry = fdDir + "/" + fd;
        if (readlink(entry.c_str(), szTarget, sizeof szTarget - 1) <= 0) continue;
        const std::string target = szTarget;
        if (target.compare(0, dir.size() + 1, dir + "/") == 0 && target != skip) return entry;
    }
    return "";
}

// A worker killed with SIGKILL while it writes decrypted data leaves no file behind and an
// existing output untouched; the file it was writing was never readable by group or others.
TEST_F(SdkFilePaths, KilledDecryptionLeavesNothing)
{
    // Any ciphertext decrypts until its last block; 3DES is slow enough that the call is still
    // writing when it is caught.
    const std::string big = Path("big");
    ASSERT_EQ(0, sdktest::Shell("head -c 16777216 /dev/urandom > '" + big + "'"));
    const std::string key(64, 'A');
    for (bool bExisting : {false, true}) {
        SCOPED_TRACE(bExisting ? "existing output" : "new output");
        const std::string out = Path("out");
        if (bExisting) {
            ASSERT_TRUE(sdktest::WriteText(out, kOld));
            ASSERT_EQ(0, chmod(out.c_str(), 0644));
        }
        const std::vector<std::string> before = Listing(m_dir.Dir());
        const pid_t pid = fork();
        ASSERT_LE(0, pid);
        if (0 == pid) _exit(SymDecryptFile("3DES_CBC", big.c_str(), key.c_str(), out.c_str()) & 0x7F);
        // Caught once the output holds data; a child that finished first fails the test.
        bool bCaught = false, bExited = false;
        mode_t nMode = 0;
        while (!bCaught && !bExited) {
            const std::string entry = ChildFileIn(pid, m_dir.Dir(), big);
            struct stat st;
            if (!entry.empty() && 0 == stat(entry.c_str(), &st) && st.st_size > 0) {
                nMode = st.st_mode;
                bCaught = 0 == kill(pid, SIGKILL);
            }
            int nStatus = 0;
            if (!bCaught) bExited = pid == waitpid(pid, &nStatus, WNOHANG);
            if (!bCaught && !bExited) usleep(200);
        }
        int nStatus = 0;
        if (bCaught) waitpid(pid, &nStatus, 0);
        ASSERT_TRUE(bCaught) << "the decryption ended before it was caught";
        EXPECT_EQ(0u, (unsigned)(nMode & 077));
        EXPECT_EQ(before, Listing(m_dir.Dir()));
        if (bExisting) {
            EXPECT_EQ(kOld, sdktest::ReadText(out));
            EXPECT_EQ(0644u, (unsigned)(Stat(out).st_mode & 07777));
        }
    }
}

// Inputs that are not regular files: refused by the step that opens them, at once. A FIFO
// without a writer would hold the call for good; the bound only has to tell that apart.
TEST_F(SdkFilePaths, InputsThatAreNotRegularFilesAreRefusedAtOnce)
{
    ASSERT_EQ(0, mkfifo(Path("fifo").c_str(), 0600));
    ASSERT_EQ(0, mkdir(Path("dir").c_str(), 0755));
    BoundSocket sock(Path("sock"));
    ASSERT_TRUE(sock.Ok());
    const std::string cert = sdktest::CertB64("sm2/ee_sign");
    const std::string root = Pki("sm2/root.pem");
    const unsigned char abyData[] = "data";
    using Call = std::function<int(const std::string&)>;
    struct Row { const char* pszWhat; Call call; } rows[] = {
        {"data file to encrypt", [&](const std::string& p) {
             Text key;
             return SymEncryptFile("SM4_CBC", p.c_str(), Path("o1").c_str(), key.Out());
         }},
        {"encrypted file", [&](const std::string& p) { return SymDecryptFile("SM4_CBC", p.c_str(), m_key.c_str(), Path("o2").c_str()); }},
        {"file to sign", [&](const std::string& p) {
             Text sig;
             return SignFile_PKCS7Detached("SM2", p.c_str(), Pki("sm2pfx/sign.b64").c_str(), sdktest::kSM2Password, nullptr, sig.Out());
         }},
        {"key file", [&](const std::string& p) {
             Text sig;
             return SignData_PKCS1("SM2", abyData, 4, p.c_str(), sdktest::kSM2Password, nullptr, sig.Out());
         }},
        {"file to verify", [&](const std::string& p) {
             Text out;
             return VerifyFileSignature_PKCS7Detached("SM2", p.c_str(), "AAAA", out.Out());
         }},
        {"key file of an envelope", [&](const std::string& p) {
             sdktest::Data plain;
             int nPlainSize = 0;
             return DecryptDataFromCMSEnvelope("SM2", "AAAA", p.c_str(), sdktest::kSM2Password, plain.Out(), &nPlainSize);
         }},
        {"key file for its certificate", [&](const std::string& p) {
             Text out;
             return GetPublicCertFromPFX("SM2", p.c_str(), sdktest::kSM2Password, out.Out());
         }},
        {"CRL", [&](const std::string& p) { return VerifyCertificate(cert.c_str(), CERT_VERIFY_FLAG_CRL, nullptr, p.c_str()); }},
        {"trusted CA", [&](const std::string& p) { return VerifyCertificate(cert.c_str(), CERT_VERIFY_FLAG_CHAIN, p.c_str(), nullptr); }},
        {"second trusted CA", [&](const std::string& p) {
             return VerifyCertificate(cert.c_str(), CERT_VERIFY_FLAG_CHAIN, (root + "|" + p).c_str(), nullptr);
         }},
    };
    for (const Row& row : rows) {
        for (const char* pszKind : {"fifo", "dir", "sock"}) {
            SCOPED_TRACE(std::string(row.pszWhat) + " as " + pszKind);
            const std::string path = Path(pszKind);
            std::future<int> result = std::async(std::launch::async, row.call, path);
            if (std::future_status::ready != result.wait_for(std::chrono::seconds(5))) {
                // Unblock a waiting open with a writer that goes at once.
                const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0) close(fd);
                ADD_FAILURE() << "the call waited";
            }
            EXPECT_EQ(VOMU_E_OPEN_FILE, result.get());
        }
    }
    EXPECT_EQ(-1, access(Path("o1").c_str(), F_OK));
    EXPECT_EQ(-1, access(Path("o2").c_str(), F_OK));
}

}  // namespace
