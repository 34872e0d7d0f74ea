// Test helper: logging initialised to a fresh temporary file, whose text a test can read.
//
//   morv_test::LogCapture log;            // every record, as "LEVEL message"
//   ASSERT_TRUE(log.Ok());
//   ... code under test ...
//   EXPECT_EQ(std::string::npos, log.Contents().find(kPassword));
//
// Logging state is process-wide; each TEST runs in its own process, and the capture shuts
// logging down again when it goes out of scope.
#ifndef MORV_TESTS_LOG_CAPTURE_H
#define MORV_TESTS_LOG_CAPTURE_H

#include <set>
#include <sstream>
#include <string>

#include "TestFiles.h"
#include "vomu_zlog.h"

namespace morv_test {

using support::MakeTempDir;
using support::ReadText;
using support::RemoveTree;
using support::WriteText;

class LogCapture {
public:
    // pattern: the record layout; level: the lowest level written.
    explicit LogCapture(const std::string& strPattern = "%V %m%n", const std::string& strLevel = "DEBUG")
        : m_strDir(MakeTempDir()), m_strLog(m_strDir + "/trace.log")
    {
        std::string strConf = m_strDir + "/vomulog.conf";
        WriteText(strConf, "[formats]\ncapture = \"" + strPattern + "\"\n[rules]\nvomu_category." +
                               strLevel + " \"" + m_strLog + "\"; capture\n");
        vomu_log_fini();
        m_nInit = vomu_log_init_ex(strConf.c_str());
    }
    ~LogCapture()
    {
        vomu_log_fini();
        RemoveTree(m_strDir);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    bool Ok() const { return m_nInit == 0; }
    int InitResult() const { return m_nInit; }
    const std::string& Dir() const { return m_strDir; }
    const std::string& Path() const { return m_strLog; }
    std::string Contents() const { return ReadText(m_strLog); }
    bool Contains(const std::string& strText) const
    {
        return Contents().find(strText) != std::string::npos;
    }

private:
    std::string m_strDir;
    std::string m_strLog;
    int m_nInit = -1;
};

// The function names of the step lines in a log ("[file(line)]:(func -- step)...").
inline std::set<std::string> StepFunctions(const std::string& strText)
{
    std::set<std::string> names;
    std::istringstream lines(strText);
    for (std::string strLine; std::getline(lines, strLine);) {
        const size_t nOpen = strLine.find("]:(");
        const size_t nDash = nOpen == std::string::npos ? nOpen : strLine.find(" -- ", nOpen);
        if (nDash != std::string::npos) names.insert(strLine.substr(nOpen + 3, nDash - nOpen - 3));
    }
    return names;
}

}  // namespace morv_test

#endif
