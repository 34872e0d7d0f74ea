#ifndef MORV_PIECE_WRITER_H
#define MORV_PIECE_WRITER_H

// One piece at a time written to a stream by a thread of its own, so that a file road reads and
// ciphers the next piece while the last one goes to the file: decrypting a file copies about as
// many bytes into and out of the page cache as the cipher itself touches.
#include <pthread.h>

#include <cstddef>
#include <cstdio>

namespace morv {

class PieceWriter {
public:
    PieceWriter() = default;
    PieceWriter(const PieceWriter&) = delete;
    PieceWriter& operator=(const PieceWriter&) = delete;
    // Waits for the piece in flight, then ends the thread.
    ~PieceWriter();

    // Starts the thread, which takes no signals (they stay with the caller's thread). False when
    // it cannot start: the caller then writes its pieces itself.
    bool Start();
    // nBytes of pbyData to fpOut; the buffer must stay untouched until Wait returns. The piece
    // posted before must have been collected with Wait.
    void Post(FILE* fpOut, const unsigned char* pbyData, size_t nBytes);
    // Waits for the posted piece: true when nothing was posted or all of it reached the stream.
    // *pnWritten (optional) gets the bytes fwrite took.
    bool Wait(size_t* pnWritten);

private:
    static void* Run(void* pArg);
    void Serve();

    enum State { IDLE, POSTED, DONE, QUIT };
    pthread_t m_thread{};
    bool m_bStarted = false;
    pthread_mutex_t m_mtx = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t m_cv = PTHREAD_COND_INITIALIZER;
    State m_state = IDLE;
    FILE* m_fpOut = nullptr;
    const unsigned char* m_pbyData = nullptr;
    size_t m_nBytes = 0;
    size_t m_nWritten = 0;
};

}  // namespace morv

#endif
