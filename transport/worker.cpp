#include "transport/worker.h"

#include "platform/lock_guard.h"
#include "platform/platform.h"
#include "trace/trace_scope.h"

namespace {

constexpr uint32_t kCycleUs = 1000;
// Bounded, so that a worker that cannot run any more (a process being torn
// down) never hangs the caller.
constexpr uint32_t kWorkerHandshakeMs = 2000;

}  // namespace

void TransportWorker::run() {
    PT_SCOPE(scope, m_startScope);
    m_workerStarted.set();
    if (m_run == 1) {
        // Windows' default timer tick would stretch each 1 ms cycle to ~16 ms.
        plat::BeginTimerResolution();
        // Cycles on a 1 ms beat rather than 1 ms of sleep after the work, so
        // consecutive frames at STmin 0 go out at 1 ms, not 1 ms plus the work.
        plat::Metronome beat(kCycleUs);
        WorkerPace pace;
        uint32_t cycleCounter = 0;
        do {
            // A frame due before the next beat (STmin below a millisecond) is
            // waited for exactly; with nothing in flight the job may let the
            // worker wait longer, unless a host call brings work first.
            if (pace.driven)
                plat::WaitForWork(m_wake, pace.driverSignal, pace.dueUs);
            else if (pace.dueUs != 0 && pace.dueUs < plat::NowUs() + kCycleUs)
                plat::SleepUntilUs(pace.dueUs);
            else if (pace.quietMs != 0)
                m_wake.wait(pace.quietMs);
            else
                beat.wait();
            // Reset before the cycle looks at the work: a host call after it
            // ends the next quiet wait at once.
            m_wake.reset();
            pace = m_job.cycle(cycleCounter, scope);
        } while (m_run == 1);
        plat::EndTimerResolution();
    }
    PT_SCOPE(end, m_endScope);
}

uint32_t TransportWorker::ThreadEntry(void *self) {
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
    m_abandoned = false;
    m_unloading = false;
    m_run = 1;
    if (!plat::StartThread(ThreadEntry, this, &m_thread, error)) {
        m_run = 0;
        return StartResult::Failed;
    }
    // Returning only once the worker runs keeps start and stop strictly
    // paired, also when the host disconnects at once.
    m_workerStarted.wait(kWorkerHandshakeMs);
    return StartResult::Started;
}

void TransportWorker::stop() {
    LockGuard guard(m_lock);
    if (m_unloading) plat::ReapUnderLoaderLock(&m_thread);
    m_run = 0;
    m_wake.set();
    if (!m_thread.open) return;
    const bool left = m_workerLeft.wait(kWorkerHandshakeMs);
    // A thread that said it left is only returning to the system: reaped
    // exactly, without a pause.
    plat::CloseThread(&m_thread, left && !m_abandoned);
}
