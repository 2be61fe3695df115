// The one background thread of a connection: it runs its job's cycle on a
// 1 ms beat, waits exactly for a frame due before the next beat, and, when
// the job says nothing is in flight, waits quietly until a host call wakes
// it or the quiet time is over. A job whose driver notifies it of received
// events may ask for no beat at all: the worker then waits for the
// notification, a wake-up or the job's next due time.
#ifndef PT_TRANSPORT_WORKER_H
#define PT_TRANSPORT_WORKER_H

#include <atomic>
#include <cstdint>

#include "platform/named_lock.h"
#include "platform/platform.h"

class TraceScope;

// How the worker waits after a cycle.
struct WorkerPace {
    uint64_t dueUs = 0;    // when (NowUs) something falls due before the next beat; 0: nothing
    uint32_t quietMs = 0;  // > 0: nothing in flight, wait up to this long for a wake-up
    // Woken by the driver: no beat; the worker waits for a wake-up, the
    // driver's notification (driverSignal, a platform copy) or dueUs (0:
    // nothing falls due), whichever comes first. quietMs is not used then.
    bool driven = false;
    void *driverSignal = nullptr;
};

class WorkerJob {
public:
    // One cycle; cycleCounter is the thread's own, 0 at its start, for the
    // transport's slower duties.
    virtual WorkerPace cycle(uint32_t &cycleCounter, TraceScope &scope) = 0;

protected:
    ~WorkerJob() = default;
};

class TransportWorker {
public:
    // startScope and endScope: the trace scopes that open and close the
    // thread's life in the trace.
    TransportWorker(WorkerJob &job, const char *startScope, const char *endScope)
        : m_job(job), m_startScope(startScope), m_endScope(endScope) {}
    TransportWorker(const TransportWorker &) = delete;
    TransportWorker &operator=(const TransportWorker &) = delete;

    bool running() const { return m_run == 1; }

    enum class StartResult { Started, AlreadyRunning, Failed };
    // Starts the thread unless it runs already, and returns once it runs
    // (bounded). Failed, with the system's error number in *error, when no
    // thread could be started. Threads starting it at once start one thread.
    StartResult start(int *error);

    // Lets the thread leave its loop, waits (bounded) for its own signal that
    // it has, and reaps it (plat::CloseThread): on return no instruction of
    // the library runs on it any more, also under the unload handler.
    void stop();

    // The stop to come runs under the loader lock (an unload): the thread
    // parks after its last step instead of ending, and is reaped from there.
    void unloading() { m_unloading = true; }

    // The process is ending and the system has already ended the thread: it
    // cannot say that it left.
    void abandon() {
        m_abandoned = true;
        m_workerLeft.set();
    }

    // Ends a quiet wait at once: a host call brought work.
    void wake() { m_wake.set(); }

private:
    static uint32_t ThreadEntry(void *self);
    void run();

    WorkerJob &m_job;
    const char *const m_startScope;
    const char *const m_endScope;
    // Makes start's look at the thread and its start one step, and keeps a
    // stop from running between them; guards the handle.
    NamedLock m_lock;
    plat::ThreadHandle m_thread;
    // Written by the host's threads, read by the worker.
    std::atomic<int32_t> m_run{0};
    std::atomic<bool> m_abandoned{false};
    std::atomic<bool> m_unloading{false};
    plat::Event m_wake;
    // Hand-shake with the thread that starts and stops the worker: started is
    // set once the worker runs, left as its very last step, after its trace
    // scopes have closed. Neither needs the loader lock.
    plat::Event m_workerStarted;
    plat::Event m_workerLeft;
};

#endif
