// The transport's one background thread: paces consecutive frames, ends
// finished transfers and expires stalled ones.
#ifndef PT_TRANSPORT_WORKER_H
#define PT_TRANSPORT_WORKER_H

#include <atomic>
#include <cstdint>

#include "platform/named_lock.h"
#include "platform/platform.h"

class IsoTpTransport;

class TransportWorker {
public:
    explicit TransportWorker(IsoTpTransport &transport) : m_transport(transport) {}
    TransportWorker(const TransportWorker &) = delete;
    TransportWorker &operator=(const TransportWorker &) = delete;

    bool running() const { return m_bThreadRun == 1; }

    enum class StartResult { Started, AlreadyRunning, Failed };
    // Starts the thread unless it runs already, and returns once it runs
    // (bounded). Failed, with the system's error number in *error, when no
    // thread could be started. Threads starting it at once start one thread.
    StartResult start(int *error);

    // Lets the thread leave its loop and waits (bounded) for its own signal
    // that it has; never for the thread handle, whose end needs the loader
    // lock that the unload handler holds.
    void stop();

    // The process is ending and the system has already ended the thread: it
    // cannot say that it left.
    void abandon() { m_workerLeft.set(); }

private:
    static uint32_t ThreadRead(void *self);
    void run();

    IsoTpTransport &m_transport;
    // Makes start's look at the thread and its start one step, and keeps a
    // stop from running between them; guards the handle.
    NamedLock m_lock;
    plat::ThreadHandle m_hReadThread;
    // Written by the host's threads, read by the worker.
    std::atomic<int32_t> m_bThreadRun{0};
    // Hand-shake with the thread that starts and stops the worker: started is
    // set once the worker runs, left as its very last step, after its trace
    // scopes have closed. Neither needs the loader lock.
    plat::Event m_workerStarted;
    plat::Event m_workerLeft;
};

#endif
