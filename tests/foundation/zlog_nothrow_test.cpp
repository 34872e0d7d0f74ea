// Memory running out at any allocation inside a logging call: the C entry points answer with
// their failure result (or drop the record) and no exception leaves them. The program's own
// operator new fails the n-th allocation from the moment a test arms it.
#include <gtest/gtest.h>

#include <string>

#include "FailingAllocator.h"
#include "LogCapture.h"
#include "zlog.h"

using support::FailAfter;

namespace {

using morv_test::MakeTempDir;
using morv_test::RemoveTree;
using morv_test::WriteText;

struct NoThrowDir {
    std::string strDir = MakeTempDir();
    std::string strConf = strDir + "/z.conf";
    NoThrowDir()
    {
        WriteText(strConf, "[global]\nbuffer min = 1kb\n[formats]\nf = \"%d %V [%c] %M(k) %m%n\"\n[rules]\nc.* \"" +
                               strDir + "/c.log\"; f\nc.ERROR >memlog:" + strDir + "/m.log\n");
    }
    ~NoThrowDir() { RemoveTree(strDir); }
};

TEST(ZlogNoThrow, StartingFailsCleanlyAtEveryAllocation)
{
    NoThrowDir d;
    bool bReachedEnd = false;
    for (long n = 0; n < 5000 && !bReachedEnd; ++n) {
        int rc = 0;
        {
            FailAfter fail(n);
            EXPECT_NO_THROW(rc = zlog_init(d.strConf.c_str())) << n;
            bReachedEnd = !fail.Reached();
        }
        EXPECT_TRUE(rc == 0 || rc == -1) << n;
        if (rc == 0) zlog_fini();
    }
    EXPECT_TRUE(bReachedEnd);
    // Whatever failed before, a start with memory works.
    ASSERT_EQ(0, zlog_init(d.strConf.c_str()));
    zlog_fini();
}

TEST(ZlogNoThrow, RecordsMdcCategoriesAndReloadFailCleanly)
{
    NoThrowDir d;
    ASSERT_EQ(0, zlog_init(d.strConf.c_str()));
    zlog_category_t* pCat = zlog_get_category("c");
    ASSERT_NE(nullptr, pCat);
    const std::string strValue(100, 'v');
    const char* const OTHERS[] = {"other0", "other1", "other2"};
    bool bReachedEnd = false;
    for (long n = 0; n < 5000 && !bReachedEnd; ++n) {
        FailAfter fail(n);
        EXPECT_NO_THROW({
            zlog_put_mdc("k", strValue.c_str());
            zlog_info(pCat, "record %ld %s", n, "text");
            zlog_error(pCat, "error %ld", n);
            zlog_get_category(OTHERS[n % 3]);
            zlog_reload(nullptr);
            zlog_profile();
            zlog_remove_mdc("k");
        }) << n;
        bReachedEnd = !fail.Reached();
    }
    EXPECT_TRUE(bReachedEnd);
    zlog_info(pCat, "still logging");
    zlog_fini();
    EXPECT_NE(std::string::npos, morv_test::ReadText(d.strDir + "/c.log").find("still logging"));
}

}  // namespace
