// Configurations a user would write, and malformed ones, checked through the lines written.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "zlog.h"

using morv_test::MakeTempDir;
using morv_test::ReadText;
using morv_test::RemoveTree;
using morv_test::WriteText;

namespace {

struct Rec {
    const char* pszCategory;
    int nLevel;
    const char* pszMessage;
};

struct Expect {
    const char* pszFile;   // under the case's directory; "STDOUT" for standard output
    const char* pszRegex;  // whole-file match; $DIR, $HOME and $PID are replaced first
};

struct ConfCase {
    const char* pszName;
    const char* pszConf;  // $DIR is the case's directory
    std::vector<Rec> records;
    std::vector<Expect> expects;
};

std::string Replace(std::string s, const std::string& strFrom, const std::string& strTo)
{
    for (size_t i = s.find(strFrom); i != std::string::npos; i = s.find(strFrom, i + strTo.size())) {
        s.replace(i, strFrom.size(), strTo);
    }
    return s;
}

std::string RegexEscape(const std::string& s)
{
    static const std::string SPECIAL = "\\^$.|?*+()[]{}";
    std::string out;
    for (char c : s) {
        if (SPECIAL.find(c) != std::string::npos) out += '\\';
        out += c;
    }
    return out;
}

const char* const TS = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d";

const std::vector<ConfCase>& Cases()
{
    static const std::vector<ConfCase> CASES = {
        {"dynamic file path per category",
         "[formats]\nf = \"%m%n\"\n[rules]\n*.* \"$DIR/%c.log\"; f\n",
         {{"alpha", ZLOG_LEVEL_INFO, "a1"}, {"beta", ZLOG_LEVEL_DEBUG, "b1"}, {"alpha", ZLOG_LEVEL_ERROR, "a2"}},
         {{"alpha.log", "a1\na2\n"}, {"beta.log", "b1\n"}}},
        {"dynamic path with %E and %d",
         "[formats]\nf = \"%m%n\"\n[rules]\n*.* \"$DIR/%E(MORV_TEST_TAG)-%d(%Y).log\"; f\n",
         {{"c", ZLOG_LEVEL_INFO, "tagged"}},
         {{"tagged-YEAR.log", "tagged\n"}}},
        {"stdout", "[formats]\nf = \"%c %V %m%n\"\n[rules]\nout.INFO >stdout; f\n",
         {{"out", ZLOG_LEVEL_DEBUG, "no"}, {"out", ZLOG_LEVEL_INFO, "yes"}, {"other", ZLOG_LEVEL_FATAL, "no"}},
         {{"STDOUT", "out INFO yes\n"}}},
        {"=INFO selects one level",
         "[formats]\nf = \"%V %m%n\"\n[rules]\nc.=INFO \"$DIR/eq.log\"; f\n",
         {{"c", ZLOG_LEVEL_DEBUG, "d"}, {"c", ZLOG_LEVEL_INFO, "i"}, {"c", ZLOG_LEVEL_WARN, "w"}},
         {{"eq.log", "INFO i\n"}}},
        {"!ERROR selects all levels but one",
         "[formats]\nf = \"%V %m%n\"\n[rules]\nc.!error \"$DIR/ne.log\"; f\n",
         {{"c", ZLOG_LEVEL_DEBUG, "d"}, {"c", ZLOG_LEVEL_ERROR, "e"}, {"c", ZLOG_LEVEL_FATAL, "f"}},
         {{"ne.log", "DEBUG d\nFATAL f\n"}}},
        {"level selector is a minimum, case-insensitive",
         "[formats]\nf = \"%V %m%n\"\n[rules]\nc.Warn \"$DIR/min.log\"; f\n",
         {{"c", ZLOG_LEVEL_INFO, "i"}, {"c", ZLOG_LEVEL_WARN, "w"}, {"c", ZLOG_LEVEL_ERROR, "e"}},
         {{"min.log", "WARN w\nERROR e\n"}}},
        {"*.* takes every category and level",
         "[formats]\nf = \"%c.%v %m%n\"\n[rules]\n*.* \"$DIR/all.log\"; f\n",
         {{"x", ZLOG_LEVEL_DEBUG, "1"}, {"y_z", ZLOG_LEVEL_NOTICE, "2"}, {"q", ZLOG_LEVEL_FATAL, "3"}},
         {{"all.log", "x.debug 1\ny_z.notice 2\nq.fatal 3\n"}}},
        {"prefix_ categories",
         "[formats]\nf = \"%c %m%n\"\n[rules]\nmy_.INFO \"$DIR/my.log\"; f\n",
         {{"my", ZLOG_LEVEL_INFO, "1"}, {"my_cat", ZLOG_LEVEL_INFO, "2"}, {"mycat", ZLOG_LEVEL_INFO, "3"},
          {"other", ZLOG_LEVEL_INFO, "4"}, {"my_dog_x", ZLOG_LEVEL_WARN, "5"}},
         {{"my.log", "my 1\nmy_cat 2\nmy_dog_x 5\n"}}},
        {"! takes the categories no other rule takes",
         "[formats]\nf = \"%c %m%n\"\n[rules]\na.* \"$DIR/a.log\"; f\n!.* \"$DIR/rest.log\"; f\n",
         {{"a", ZLOG_LEVEL_INFO, "1"}, {"b", ZLOG_LEVEL_INFO, "2"}, {"c", ZLOG_LEVEL_DEBUG, "3"}},
         {{"a.log", "a 1\n"}, {"rest.log", "b 2\nc 3\n"}}},
        {"custom [levels]",
         "[levels]\nTRACE = 10\nCRIT = 130, LOG_CRIT\n[formats]\nf = \"%V/%v %m%n\"\n[rules]\n"
         "c.trace \"$DIR/lv.log\"; f\nc.=CRIT \"$DIR/crit.log\"; f\n",
         {{"c", 10, "t"}, {"c", 130, "c"}, {"c", 5, "below"}, {"c", ZLOG_LEVEL_INFO, "i"}},
         {{"lv.log", "TRACE/trace t\nCRIT/crit c\nINFO/info i\n"}, {"crit.log", "CRIT/crit c\n"}}},
        {"%d(...) with %ms and %us",
         "[formats]\nf = \"%d(%Y/%m/%d %H:%M:%S).%ms|%d(%S.%us)|%ms|%us %m%n\"\n[rules]\nc.* \"$DIR/t.log\"; f\n",
         {{"c", ZLOG_LEVEL_INFO, "x"}},
         {{"t.log", "~\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\|\\d\\d\\.\\d{6}\\|\\d{3}\\|\\d{6} x\n"}}},
        {"%D %V %p %F %L %U %m%n",
         "[formats]\nf = \"%D %V %p %F:%L %U %m%n\"\n[rules]\nc.* \"$DIR/loc.log\"; f\n",
         {{"c", ZLOG_LEVEL_WARN, "located"}},
         {{"loc.log", "~TS WARN $PID src/place\\.c:42 PlaceFunc located\n"}}},
        {"%E(HOME), %f, %c, %%, %H, %t and %T",
         "[formats]\nf = \"%E(HOME)|%f|%c|%%|%H|%t|%T|%m%n\"\n[rules]\nc.* \"$DIR/env.log\"; f\n",
         {{"c", ZLOG_LEVEL_INFO, "e"}},
         {{"env.log", "~$HOME\\|place\\.c\\|c\\|%\\|[^|]+\\|[0-9a-f]+\\|[0-9]+\\|e\n"}}},
        {"width, left alignment and precision",
         "[formats]\nf = \"[%-6V][%6V][%.2m][%-4.1c]%n\"\n[rules]\nc.* \"$DIR/w.log\"; f\n",
         {{"c", ZLOG_LEVEL_INFO, "abcdef"}},
         {{"w.log", "[INFO  ][  INFO][ab][c   ]\n"}}},
        {"default format without a format name",
         "[rules]\nc.* \"$DIR/def.log\"\n",
         {{"c", ZLOG_LEVEL_ERROR, "dflt"}},
         {{"def.log", "~TS ERROR \\[$PID:src/place\\.c:42\\] dflt\n"}}},
        {"[global] settings, a default format and a continued line",
         "# a comment\n[global]\nstrict init = true\nbuffer min = 1k\nbuffer max = 2MB\n"
         "rotate lock file = /tmp/zlog.lock\nfile perms = 640\nfsync period = 1K\nreload conf period = 0\n"
         "default format = \"%c:%m%n\"\n[rules]\nc.* \\\n   \"$DIR/glob.log\"\n",
         {{"c", ZLOG_LEVEL_INFO, "g"}},
         {{"glob.log", "c:g\n"}}},
        {"two rules of one category, -\"path\" and a rotation clause",
         "[formats]\na = \"A %m%n\"\nb = \"B %m%n\"\n[rules]\nc.* -\"$DIR/a.log\"; a\n"
         "c.INFO \"$DIR/b.log\", 10MB * 3 ~ \"$DIR/b.#r.log\"; b\n",
         {{"c", ZLOG_LEVEL_DEBUG, "1"}, {"c", ZLOG_LEVEL_INFO, "2"}},
         {{"a.log", "A 1\nA 2\n"}, {"b.log", "B 2\n"}}},
        {"syslog output is accepted",
         "[formats]\nf = \"%m%n\"\n[rules]\nnone.* >syslog, LOG_LOCAL0; f\nc.* \"$DIR/s.log\"; f\n",
         {{"c", ZLOG_LEVEL_INFO, "s"}},
         {{"s.log", "s\n"}}},
        {"strict init false skips a bad rule",
         "[global]\nstrict init = false\n[formats]\nf = \"%m%n\"\n[rules]\nc.NOPE \"$DIR/x.log\"; f\n"
         "c.* \"$DIR/ok.log\"; f\n",
         {{"c", ZLOG_LEVEL_INFO, "kept"}},
         {{"ok.log", "kept\n"}}},
    };
    return CASES;
}

class ConfTable : public ::testing::TestWithParam<size_t> {};

std::string Expected(const std::string& strPattern, const std::string& strDir)
{
    std::string s = strPattern;
    bool bRegex = !s.empty() && s[0] == '~';
    if (!bRegex) return "^" + RegexEscape(s) + "$";
    s = s.substr(1);
    s = Replace(s, "TS", TS);
    s = Replace(s, "$PID", std::to_string(getpid()));
    s = Replace(s, "$HOME", RegexEscape(getenv("HOME") ? getenv("HOME") : ""));
    s = Replace(s, "$DIR", RegexEscape(strDir));
    return "^" + s + "$";
}

}  // namespace

TEST_P(ConfTable, WritesTheExpectedLines)
{
    const ConfCase& c = Cases()[GetParam()];
    SCOPED_TRACE(c.pszName);
    std::string strDir = MakeTempDir();
    std::string strConf = strDir + "/zlog.conf";
    ASSERT_TRUE(WriteText(strConf, Replace(c.pszConf, "$DIR", strDir)));
    setenv("MORV_TEST_TAG", "tagged", 1);
    setenv("ZLOG_PROFILE_ERROR", (strDir + "/diag.err").c_str(), 1);

    // Standard output goes to a file for the whole case.
    fflush(stdout);
    int nSavedOut = dup(STDOUT_FILENO);
    int fdOut = open((strDir + "/STDOUT").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fdOut, 0);
    dup2(fdOut, STDOUT_FILENO);
    close(fdOut);

    int nInit = zlog_init(strConf.c_str());
    if (nInit == 0) {
        for (const Rec& r : c.records) {
            zlog(zlog_get_category(r.pszCategory), "src/place.c", 11, "PlaceFunc", 9, 42, r.nLevel, "%s", r.pszMessage);
        }
        zlog_fini();
    }
    dup2(nSavedOut, STDOUT_FILENO);
    close(nSavedOut);
    ASSERT_EQ(0, nInit) << ReadText(strDir + "/diag.err");

    char szYear[8];
    time_t tNow = time(nullptr);
    strftime(szYear, sizeof szYear, "%Y", localtime(&tNow));
    for (const Expect& e : c.expects) {
        std::string strFile = Replace(e.pszFile, "YEAR", szYear);
        std::string strText = ReadText(strDir + "/" + strFile);
        EXPECT_TRUE(std::regex_match(strText, std::regex(Expected(e.pszRegex, strDir)))) << strFile << ":\n" << strText;
    }
    RemoveTree(strDir);
}

INSTANTIATE_TEST_SUITE_P(Zlog, ConfTable, ::testing::Range<size_t>(0, Cases().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             std::string s = Cases()[info.param].pszName;
                             std::string out;
                             for (char ch : s) out += isalnum((unsigned char)ch) ? ch : '_';
                             return out;
                         });

TEST(ZlogConf, RotationClauseIsAcceptedWithAWarning)
{
    std::string strDir = MakeTempDir();
    setenv("ZLOG_PROFILE_ERROR", (strDir + "/diag.err").c_str(), 1);
    WriteText(strDir + "/z.conf", "[rules]\nc.* \"" + strDir + "/r.log\", 1MB * 12 ~ \"" + strDir + "/r.#2r.log\"\n");
    ASSERT_EQ(0, zlog_init((strDir + "/z.conf").c_str()));
    zlog_fini();
    std::string strDiag = ReadText(strDir + "/diag.err");
    EXPECT_NE(std::string::npos, strDiag.find("WARN")) << strDiag;
    EXPECT_NE(std::string::npos, strDiag.find("rotation clause [1MB * 12 ~")) << strDiag;
    RemoveTree(strDir);
}

// ---- malformed configurations -----------------------------------------------------------

namespace {

struct BadCase {
    const char* pszConf;
    const char* pszDiagnostic;
};

const BadCase BAD_CASES[] = {
    {"[formats]\nf = \"%d %Q %m%n\"\n", "unknown conversion [%Q]"},
    {"[formats]\nf = \"%m %u\"\n", "unknown conversion [%u]"},
    {"[formats]\nf = \"%d(%F %m%n\"\n", "no ')' after %d("},
    {"[formats]\nf = \"%E %m\"\n", "%E needs a name"},
    {"[formats]\nf = \"%2000m\"\n", "width or precision over 1024"},
    // 2^32 + 10: a width that wraps to 10 in 32 bits must still be refused.
    {"[formats]\nf = \"%4294967306m\"\n", "width or precision over 1024"},
    {"[formats]\nf = \"%.4294967306m\"\n", "width or precision over 1024"},
    {"[formats]\nf = \"%-99999999999999999999999m\"\n", "width or precision over 1024"},
    {"[formats]\nf = %m%n\n", "is not name = \"pattern\""},
    {"[formats]\nf = \"%m\"\nf = \"%m\"\n", "format [f] defined twice"},
    {"[global]\ndefault format = \"%Z\"\n[rules]\nc.* >stdout\n", "unknown conversion [%Z]"},
    {"[rules]\nc.NOPE >stdout\n", "unknown level [NOPE]"},
    {"[rules]\nc.=nope >stdout\n", "unknown level [nope]"},
    {"[levels]\nTRACE = 300\n", "is not in [1,253]"},
    {"[levels]\nTRACE = 10, LOG_NOPE\n", "syslog level [LOG_NOPE]"},
    {"[levels]\nTR-ACE = 10\n", "holds [-]"},
    {"[rules]\nc.* >stdout\n[global]\nstrict init = true\n", "out of order"},
    {"[global]\n[global]\n", "out of order"},
    {"[colours]\nred = 1\n", "unknown section [colours]"},
    {"c.* >stdout\n", "before any section"},
    {"[global]\nbuffer max = 2XB\n", "is not a size"},
    // 2^34 gb is 2^64 bytes, which wraps to 0 (unlimited) in 64 bits; larger ones overflow.
    {"[global]\nbuffer max = 17179869184 gb\n", "buffer max [17179869184 gb] is not a size"},
    {"[global]\nbuffer min = 1099511627776gb\n", "buffer min [1099511627776gb] is not a size"},
    {"[global]\nfsync period = 17179869184 GB\n", "fsync period [17179869184 GB] is not a size"},
    {"[global]\nreload conf period = 17179869184gb\n", "reload conf period [17179869184gb] is not a size"},
    {"[global]\nstrict init = maybe\n", "neither true nor false"},
    {"[global]\nfile perms = 999\n", "not an octal mode"},
    {"[global]\ncolour = red\n", "unknown key [colour]"},
    {"[rules]\nc.* >stdout; nosuch\n", "no format named [nosuch]"},
    {"[rules]\nc.* \"/tmp/unclosed\n", "no closing quote"},
    {"[rules]\nc.* | cat\n", "pipe outputs are not supported"},
    {"[rules]\nc.* $mine\n", "user-defined outputs are not supported"},
    {"[rules]\nc.* >tty\n", "[tty]the string after is not syslog, stdout or stderr"},
    {"[rules]\nc.* >syslog\n", "syslog needs a facility"},
    {"[rules]\nc.* >syslog, LOG_NOPE\n", "unknown syslog facility [LOG_NOPE]"},
    {"[rules]\nc.*\n", "no output after the selector"},
    {"[rules]\ncINFO >stdout\n", "is not category.level"},
    {"[rules]\nc-d.* >stdout\n", "holds [-]"},
    {"[rules]\nc.* \"\"\n", "file path is empty"},
    // Missing directories are created; below a regular file none can be.
    {"[rules]\nc.* \"/dev/null/x.log\"\n", "open file[/dev/null/x.log] fail"},
    {"[rules]\nc.* >memlog\n", "[memlog]the string after is not syslog, stdout or stderr"},
    {"[rules]\nc.* \"/tmp/%Q.log\"\n", "unknown conversion [%Q]"},
};

class BadConf : public ::testing::TestWithParam<size_t> {};

}  // namespace

TEST_P(BadConf, IsRefusedWithADiagnosticAndTheRunningConfigurationStays)
{
    const BadCase& c = BAD_CASES[GetParam()];
    SCOPED_TRACE(c.pszConf);
    std::string strDir = MakeTempDir();
    setenv("ZLOG_PROFILE_ERROR", (strDir + "/diag.err").c_str(), 1);
    WriteText(strDir + "/bad.conf", c.pszConf);
    EXPECT_EQ(-1, zlog_init((strDir + "/bad.conf").c_str()));
    std::string strDiag = ReadText(strDir + "/diag.err");
    EXPECT_NE(std::string::npos, strDiag.find(c.pszDiagnostic)) << strDiag;
    EXPECT_NE(std::string::npos, strDiag.find("ERROR")) << strDiag;

    // A running configuration survives the same file given to reload.
    WriteText(strDir + "/good.conf", "[formats]\nf = \"%m%n\"\n[rules]\nc.* \"" + strDir + "/good.log\"; f\n");
    ASSERT_EQ(0, zlog_init((strDir + "/good.conf").c_str()));
    zlog_category_t* pCat = zlog_get_category("c");
    zlog_info(pCat, "before");
    EXPECT_EQ(-1, zlog_reload((strDir + "/bad.conf").c_str()));
    zlog_info(pCat, "after");
    zlog_fini();
    EXPECT_EQ("before\nafter\n", ReadText(strDir + "/good.log"));
    EXPECT_NE(std::string::npos, ReadText(strDir + "/diag.err").find("zlog_reload fail, use old conf file, still working"));
    RemoveTree(strDir);
}

INSTANTIATE_TEST_SUITE_P(Zlog, BadConf, ::testing::Range<size_t>(0, sizeof BAD_CASES / sizeof BAD_CASES[0]));

TEST(ZlogConf, MissingUnreadableAndOverlongPathsAreRefused)
{
    std::string strDir = MakeTempDir();
    setenv("ZLOG_PROFILE_ERROR", (strDir + "/diag.err").c_str(), 1);
    EXPECT_EQ(-1, zlog_init((strDir + "/missing.conf").c_str()));
    EXPECT_EQ(-1, zlog_init(strDir.c_str()));  // a directory reads as an error
    std::string strLong(2000, 'p');
    EXPECT_EQ(-1, zlog_init(("/tmp/" + strLong).c_str()));
    WriteText(strDir + "/longrule.conf", "[rules]\nc.* \"/tmp/" + std::string(1100, 'q') + "\"\n");
    EXPECT_EQ(-1, zlog_init((strDir + "/longrule.conf").c_str()));
    WriteText(strDir + "/longline.conf", "[rules]\nc.* \"/tmp/" + std::string(5000, 'q') + "\"\n");
    EXPECT_EQ(-1, zlog_init((strDir + "/longline.conf").c_str()));
    std::string strDiag = ReadText(strDir + "/diag.err");
    EXPECT_NE(std::string::npos, strDiag.find("open configure file[" + strDir + "/missing.conf] fail"));
    EXPECT_NE(std::string::npos, strDiag.find("(read error)"));
    EXPECT_NE(std::string::npos, strDiag.find("not enough space for path name"));
    EXPECT_NE(std::string::npos, strDiag.find("path over 1024 characters"));
    EXPECT_NE(std::string::npos, strDiag.find("longer than 4096 characters"));

    if (geteuid() != 0) {  // root reads any file
        WriteText(strDir + "/locked.conf", "[rules]\nc.* >stdout\n");
        chmod((strDir + "/locked.conf").c_str(), 0);
        EXPECT_EQ(-1, zlog_init((strDir + "/locked.conf").c_str()));
        EXPECT_NE(std::string::npos, ReadText(strDir + "/diag.err").find("locked.conf] fail, errno[13]"));
    }
    RemoveTree(strDir);
}

TEST(ZlogConf, OverlongDynamicPathDropsTheRecord)
{
    std::string strDir = MakeTempDir();
    setenv("ZLOG_PROFILE_ERROR", (strDir + "/diag.err").c_str(), 1);
    setenv("MORV_LONG", std::string(1500, 'x').c_str(), 1);
    WriteText(strDir + "/z.conf", "[formats]\nf = \"%m%n\"\n[rules]\nc.* \"" + strDir +
                                      "/%E(MORV_LONG).log\"; f\nc.* \"" + strDir + "/ok.log\"; f\n");
    ASSERT_EQ(0, zlog_init((strDir + "/z.conf").c_str()));
    zlog_info(zlog_get_category("c"), "still here");
    zlog_fini();
    EXPECT_EQ("still here\n", ReadText(strDir + "/ok.log"));
    EXPECT_NE(std::string::npos, ReadText(strDir + "/diag.err").find("record dropped"));
    RemoveTree(strDir);
}

// A zero byte cannot shorten a line: neither the length check nor the comment sign may be
// cut off from the rest of the line, where a rule would become active.
TEST(ZlogConf, ZeroByteInsideALineIsRefused)
{
    std::string strDir = MakeTempDir();
    setenv("ZLOG_PROFILE_ERROR", (strDir + "/diag.err").c_str(), 1);
    const std::string strHidden = "c.* \"" + strDir + "/hidden.log\"\n";
    const struct {
        const char* pszName;
        std::string strLine;
        const char* pszDiagnostic;
    } CASES[] = {
        {"long line with a zero byte early", "# off" + std::string(1, '\0') + std::string(5000, ' ') + strHidden,
         "line 3 longer than 4096 characters"},
        {"short line with a zero byte", "# off" + std::string(1, '\0') + strHidden, "line 3 holds a zero byte"},
    };
    for (const auto& c : CASES) {
        SCOPED_TRACE(c.pszName);
        WriteText(strDir + "/z.conf", "[rules]\nc.* \"" + strDir + "/shown.log\"\n" + c.strLine);
        EXPECT_EQ(-1, zlog_init((strDir + "/z.conf").c_str()));
        zlog_info(zlog_get_category("c"), "record");
        zlog_fini();
        EXPECT_NE(std::string::npos, ReadText(strDir + "/diag.err").find(c.pszDiagnostic));
        EXPECT_NE(0, access((strDir + "/hidden.log").c_str(), F_OK));
    }
    RemoveTree(strDir);
}
