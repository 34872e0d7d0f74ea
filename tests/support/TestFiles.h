#ifndef MORV_TESTS_SUPPORT_TEST_FILES_H
#define MORV_TESTS_SUPPORT_TEST_FILES_H

// Files of the tests: whole-file reads and writes, a temporary file and a temporary directory
// that remove themselves, a stream that closes itself, and shell commands (the openssl CLI,
// node) with their output.
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "TestBytes.h"

namespace support {

// A whole file's bytes; empty when it cannot be read.
inline Bytes ReadFileBytes(const std::string& path)
{
    Bytes out;
    FILE* fp = fopen(path.c_str(), "rb");
    if (!fp) return out;
    unsigned char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fp)) > 0) out.insert(out.end(), buf, buf + n);
    fclose(fp);
    return out;
}

// Replaces the file's content with bytes; false when opening, writing or closing fails.
inline bool WriteFileBytes(const std::string& path, const Bytes& bytes)
{
    FILE* fp = fopen(path.c_str(), "wb");
    if (!fp) return false;
    const bool bWritten = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), fp) == bytes.size();
    return 0 == fclose(fp) && bWritten;
}

inline std::string ReadText(const std::string& path)
{
    const Bytes bytes = ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

inline bool WriteText(const std::string& path, const std::string& text)
{
    return WriteFileBytes(path, Bytes(text.begin(), text.end()));
}

// Runs a shell command; its exit status, and its output (stdout and stderr) in *pOutput.
inline int RunCommand(const std::string& command, std::string* pOutput = nullptr)
{
    FILE* fp = popen((command + " 2>&1").c_str(), "r");
    if (!fp) return -1;
    std::string output;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fp)) > 0) output.append(buf, n);
    const int status = pclose(fp);
    if (pOutput) *pOutput = output;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A new empty directory under /tmp; empty when it could not be made.
inline std::string MakeTempDir(const char* pszPrefix = "morv")
{
    std::string templ = std::string("/tmp/") + pszPrefix + "_XXXXXX";
    return mkdtemp(&templ[0]) ? templ : std::string();
}

// Removes a directory MakeTempDir made, with everything in it (nothing outside /tmp).
inline void RemoveTree(const std::string& dir)
{
    if (dir.size() > 5 && dir.compare(0, 5, "/tmp/") == 0) RunCommand("rm -rf '" + dir + "'");
}

// A MakeTempDir directory removed with everything in it when the object goes.
class TempDir {
public:
    explicit TempDir(const char* pszPrefix = "morv") : m_path(MakeTempDir(pszPrefix)) {}
    ~TempDir() { RemoveTree(m_path); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }
    // Runs a shell command inside the directory.
    int Run(const std::string& command, std::string* pOutput = nullptr) const
    {
        return RunCommand("cd '" + m_path + "' && " + command, pOutput);
    }

private:
    std::string m_path;
};

// A stream opened for the length of a test and closed here, never by the code under test.
class OpenFile {
public:
    explicit OpenFile(const std::string& path, const char* mode = "rb")
        : m_fp(fopen(path.c_str(), mode)) {}
    ~OpenFile() { if (m_fp) fclose(m_fp); }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    FILE* Get() const { return m_fp; }

private:
    FILE* m_fp;
};

// A temporary file holding bytes, removed when the object goes out of scope.
class TempFile {
public:
    explicit TempFile(const Bytes& bytes = Bytes())
    {
        char szPath[] = "/tmp/morv_file_XXXXXX";
        const int fd = mkstemp(szPath);
        if (fd < 0) return;
        m_path = szPath;
        if (!bytes.empty() && write(fd, bytes.data(), bytes.size()) != (ssize_t)bytes.size()) {
            unlink(szPath);
            m_path.clear();
        }
        close(fd);
    }
    ~TempFile() { if (!m_path.empty()) unlink(m_path.c_str()); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& Path() const { return m_path; }
    Bytes Read() const { return ReadFileBytes(m_path); }

private:
    std::string m_path;
};

}  // namespace support

#endif
