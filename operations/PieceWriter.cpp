#include "PieceWriter.h"

#include <signal.h>

namespace morv {

bool PieceWriter::Start()
{
    // A signal meant for the process (PHP's execution timer, a worker's shutdown) must reach the
    // thread that runs the request, never this one.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    m_bStarted = 0 == pthread_create(&m_thread, nullptr, Run, this);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return m_bStarted;
}

PieceWriter::~PieceWriter()
{
    if (m_bStarted) {
        Wait(nullptr);
        pthread_mutex_lock(&m_mtx);
        m_state = QUIT;
        pthread_cond_broadcast(&m_cv);
        pthread_mutex_unlock(&m_mtx);
        pthread_join(m_thread, nullptr);
    }
    pthread_cond_destroy(&m_cv);
    pthread_mutex_destroy(&m_mtx);
}

void PieceWriter::Post(FILE* fpOut, const unsigned char* pbyData, size_t nBytes)
{
    pthread_mutex_lock(&m_mtx);
    m_fpOut = fpOut;
    m_pbyData = pbyData;
    m_nBytes = nBytes;
    m_state = POSTED;
    pthread_cond_broadcast(&m_cv);
    pthread_mutex_unlock(&m_mtx);
}

bool PieceWriter::Wait(size_t* pnWritten)
{
    pthread_mutex_lock(&m_mtx);
    while (POSTED == m_state)
        pthread_cond_wait(&m_cv, &m_mtx);
    const bool bWhole = DONE != m_state || m_nWritten == m_nBytes;
    if (pnWritten) *pnWritten = DONE == m_state ? m_nWritten : 0;
    if (DONE == m_state) m_state = IDLE;
    pthread_mutex_unlock(&m_mtx);
    return bWhole;
}

void* PieceWriter::Run(void* pArg)
{
    static_cast<PieceWriter*>(pArg)->Serve();
    return nullptr;
}

void PieceWriter::Serve()
{
    pthread_mutex_lock(&m_mtx);
    for (;;) {
        while (IDLE == m_state || DONE == m_state)
            pthread_cond_wait(&m_cv, &m_mtx);
        if (QUIT == m_state) break;
        FILE* fpOut = m_fpOut;
        const unsigned char* pbyData = m_pbyData;
        const size_t nBytes = m_nBytes;
        pthread_mutex_unlock(&m_mtx);
        const size_t nWritten = fwrite(pbyData, 1, nBytes, fpOut);
        pthread_mutex_lock(&m_mtx);
        m_nWritten = nWritten;
        m_state = DONE;
        pthread_cond_broadcast(&m_cv);
    }
    pthread_mutex_unlock(&m_mtx);
}

}  // namespace morv
