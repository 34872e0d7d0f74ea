// The memory log: the newest records held in two static blocks, written to the rule's file
// only when an ERROR record arrives, so the file holds the context of each error.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "zc_profile.h"
#include "zlog_internal.h"

namespace zl {
namespace {

// Shared by every memory-log rule and kept across shut-down: records held when the library
// stops reach the file with the first ERROR after the next start.
// The blocks trade places when the current one is full, so a record costs one copy only.
char g_block_a[MEMLOG_BLOCK_SIZE];
char g_block_b[MEMLOG_BLOCK_SIZE];
char* g_log_buf1 = g_block_a;  // previous block
int g_buf1_log_len = 0;
char* g_log_buf2 = g_block_b;  // current block, the newest records
int g_buf2_log_len = 0;
// Every user of the store writes to it (or, for the test's lengths, reads two words), so a
// plain mutex serves: it costs one atomic operation each way, half of a read-write lock's.
pthread_mutex_t memory_log_env_lock = PTHREAD_MUTEX_INITIALIZER;

void EmptyBlock(char* pBlock, int& nLen)
{
    memset(pBlock, 0, MEMLOG_BLOCK_SIZE);
    nLen = 0;
}

// Writes the block to fd and takes out of it whatever reached the file, so that after a
// failed or short write the next ERROR continues where this one stopped: nothing is lost
// and nothing written twice.
bool DrainBlock(int fd, char* pBlock, int& nLen)
{
    size_t nDone = 0, nTotal = (size_t)nLen;
    bool bOk = true;
    while (nDone < nTotal) {
        ssize_t k = write(fd, pBlock + nDone, nTotal - nDone);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) {
            bOk = false;
            break;
        }
        nDone += (size_t)k;
    }
    if (bOk) {
        EmptyBlock(pBlock, nLen);
        return true;
    }
    memmove(pBlock, pBlock + nDone, nTotal - nDone);
    memset(pBlock + (nTotal - nDone), 0, MEMLOG_BLOCK_SIZE - (nTotal - nDone));
    nLen = (int)(nTotal - nDone);
    return false;
}

// Under memory_log_env_lock. A record longer than a block is cut to the block and still
// ends the line, so it can neither overflow the store nor run into the next record.
void AppendRecord(const char* pMsg, size_t nLen)
{
    bool bCut = nLen > MEMLOG_BLOCK_SIZE;
    if (bCut) nLen = MEMLOG_BLOCK_SIZE;
    if (nLen > MEMLOG_BLOCK_SIZE - (size_t)g_buf2_log_len) {
        std::swap(g_log_buf1, g_log_buf2);  // the previous block's records are dropped
        g_buf1_log_len = g_buf2_log_len;
        g_buf2_log_len = 0;
    }
    memcpy(g_log_buf2 + g_buf2_log_len, pMsg, nLen);
    if (bCut) g_log_buf2[MEMLOG_BLOCK_SIZE - 1] = '\n';
    g_buf2_log_len += (int)nLen;
}

// Under memory_log_env_lock: both blocks appended to the rule's file, older first.
int FlushBlocks(const Rule& rule)
{
    int fd = open(rule.strPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, rule.perms);
    if (fd < 0) {
        zc_error("open file[%s] fail, errno[%d]", rule.strPath.c_str(), errno);
        return -1;
    }
    if (!DrainBlock(fd, g_log_buf1, g_buf1_log_len) || !DrainBlock(fd, g_log_buf2, g_buf2_log_len)) {
        zc_error("write fail, errno[%d]", errno);
        close(fd);
        return -1;
    }
    if (close(fd) != 0) {
        zc_error("write fail, maybe cause by write, errno[%d]", errno);
        return -1;
    }
    return 0;
}

// An existing non-empty file is emptied each time its rule is parsed (start, reload).
void EmptyExistingFile(const char* pszPath)
{
    struct stat st;
    if (stat(pszPath, &st) != 0 || st.st_size <= 0) return;
    FILE* fp = fopen(pszPath, "w");
    if (fp) fclose(fp);
}

}  // namespace

int SetupMemoryLog(Rule& rule, const char* pszPath)
{
    size_t nLen = strlen(pszPath);
    if (nLen > MAXLEN_PATH) {
        zc_error("memlog path [%.64s...] over %zu characters", pszPath, MAXLEN_PATH);
        return -1;
    }
    rule.output = zlog_rule_output_memory;
    if (nLen == 0) return 0;  // no file: every ERROR record fails to open it
    rule.strPath = pszPath;
    auto_create_dir(pszPath);
    EmptyExistingFile(pszPath);
    return 0;
}

int zlog_rule_output_memory(Rule& rule, Thread& thread, const Levels& levels)
{
    rule.GenMsg(thread, levels);
    int rc = pthread_mutex_lock(&memory_log_env_lock);
    if (rc != 0) {
        zc_error("pthread_mutex_lock fail, rc[%d]", rc);
        return -1;
    }
    AppendRecord(thread.msg.Data(), thread.msg.Len());
    int nRet = thread.event.nLevel == ZLOG_LEVEL_ERROR ? FlushBlocks(rule) : 0;
    rc = pthread_mutex_unlock(&memory_log_env_lock);
    if (rc != 0) {
        zc_error("pthread_mutex_unlock fail, rc=[%d]", rc);
        return -1;
    }
    return nRet;
}

void MemoryLogLengths(int& nPrevious, int& nCurrent)
{
    pthread_mutex_lock(&memory_log_env_lock);
    nPrevious = g_buf1_log_len;
    nCurrent = g_buf2_log_len;
    pthread_mutex_unlock(&memory_log_env_lock);
}

}  // namespace zl
