#include "transport/worker.h"

#include "platform/lock_guard.h"
#include "platform/platform.h"
#include "trace/trace_scope.h"
#include "transport/transport.h"

namespace {

constexpr uint32_t kCycleUs = 1000;
constexpr uint32_t kDisconnectPauseMs = 20;
// Bounded, so that a worker that cannot run any more (a process being torn
// down) never hangs the caller.
constexpr uint32_t kWorkerHandshakeMs = 2000;

}  // namespace

void TransportWorker::run() {
    PT_SCOPE(scope, "ThreadRead(start)");
    m_workerStarted.set();
    if (m_bThreadRun == 1) {
        // Windows' default timer tick would stretch each 1 ms cycle to ~16 ms.
        plat::BeginTimerResolution();
        // Cycles on a 1 ms beat rather than 1 ms of sleep after the work, so
        // consecutive frames at STmin 0 go out at 1 ms, not 1 ms plus the work.
        plat::Metronome beat(kCycleUs);
        uint32_t cycleCounter = 0;
        uint64_t due = 0;
        do {
            // A consecutive frame due before the next beat (the field
            // profile's STmin below a millisecond) is waited for exactly.
            if (due != 0 && due < plat::NowUs() + kCycleUs)
                plat::SleepUntilUs(due);
            else
                beat.wait();
            due = m_transport.serviceTransfers(cycleCounter, scope);
        } while (m_bThreadRun == 1);
        plat::EndTimerResolution();
    }
    PT_SCOPE(end, "ThreadRead(end)");
}

uint32_t TransportWorker::ThreadRead(void *self) {
    TransportWorker &worker = *static_cast<TransportWorker *>(self);
    worker.run();
    // Last step: whoever stops the worker may now release the thread.
    worker.m_workerLeft.set();
    return 0;
}

TransportWorker::StartResult TransportWorker::start(int *error) {
    LockGuard guard(m_lock);
    if (running()) return StartResult::AlreadyRunning;
    m_workerStarted.reset();
    m_workerLeft.reset();
    m_bThreadRun = 1;
    if (!plat::StartThread(ThreadRead, this, &m_hReadThread, error)) {
        m_bThreadRun = 0;
        return StartResult::Failed;
    }
    // Returning only once the worker runs keeps start and stop strictly
    // paired, also when the host disconnects at once.
    m_workerStarted.wait(kWorkerHandshakeMs);
    return StartResult::Started;
}

void TransportWorker::stop() {
    LockGuard guard(m_lock);
    m_bThreadRun = 0;
    plat::SleepMs(kDisconnectPauseMs);
    if (m_hReadThread.open) {
        const bool left = m_workerLeft.wait(kWorkerHandshakeMs);
        plat::CloseThread(&m_hReadThread, left);
    }
}
