// The transport's timing on the simulated bus: the worker's cycle and its
// idle cost, the longest request and answer end to end, and the cost of one
// read that processes one consecutive frame.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "diag_server/module_load.h"
#include "bus_session.h"
#include "host_library.h"
#include "platform/platform.h"

namespace {

// The library's objects linked into this program and set up as the server's
// load of the DLL sets them up: "morix.ini" beside a "MORIX_Server.dll", then
// the load handler. The entry points are the linked functions.
class LinkedLibrary {
public:
    explicit LinkedLibrary(int trace) : m_host(MorixIni(trace)), m_loaded(Load()) {
        m_api.Connect = &PassThruConnect;
        m_api.Disconnect = &PassThruDisconnect;
        m_api.ReadMsgs = &PassThruReadMsgs;
        m_api.WriteMsgs = &PassThruWriteMsgs;
        m_api.StartPeriodicMsg = &PassThruStartPeriodicMsg;
        m_api.StopPeriodicMsg = &PassThruStopPeriodicMsg;
        m_api.StartMsgFilter = &PassThruStartMsgFilter;
        m_api.StopMsgFilter = &PassThruStopMsgFilter;
        m_api.SetProgrammingVoltage = &PassThruSetProgrammingVoltage;
        m_api.ReadVersion = &PassThruReadVersion;
        m_api.GetLastError = &PassThruGetLastError;
        m_api.Ioctl = &PassThruIoctl;
    }
    ~LinkedLibrary() {
        if (m_loaded) ModuleUnload();
        plat::EndThreadValues();
    }
    // As the load handler: the per-thread values' slots first (each thread's
    // id is then asked of the system once, not at every lock), then the module.
    static bool Load() {
        plat::BeginThreadValues();
        return ModuleLoad(nullptr);
    }
    LinkedLibrary(const LinkedLibrary &) = delete;
    LinkedLibrary &operator=(const LinkedLibrary &) = delete;

    bool loaded() const { return m_loaded; }
    const J2534Api &api() const { return m_api; }

private:
    HostLibrary m_host;
    bool m_loaded;
    J2534Api m_api;
};

// False (and the benchmark marked failed) when the session could not start.
bool Ready(benchmark::State &state, const LinkedLibrary &library, const std::string &openError) {
    if (!library.loaded()) {
        state.SkipWithError("the load handler refused the load");
        return false;
    }
    if (!openError.empty()) {
        state.SkipWithError(openError.c_str());
        return false;
    }
    return true;
}

double Median(const std::vector<double> &samples) { return Percentile(samples, 50); }

// The worker sends one consecutive frame per cycle while a released transfer
// with block size 0 and STmin 0 lasts, so the gaps between the frames of the
// longest request are its cycle lengths. Arguments: TRACE, and the host's
// pause after a poll that found nothing (0: it polls without pause).
void BM_WorkerCycle(benchmark::State &state) {
    LinkedLibrary library(static_cast<int>(state.range(0)));
    BusSession session(library.api(), true);
    if (!Ready(state, library, session.open(true))) return;
    std::vector<double> gaps;
    for (auto _ : state) {
        const TransferFigures figures = SendLongRequest(session, static_cast<uint32_t>(state.range(1)));
        if (!figures.error.empty()) {
            state.SkipWithError(figures.error.c_str());
            return;
        }
        gaps.insert(gaps.end(), figures.gapsMs.begin(), figures.gapsMs.end());
        state.SetIterationTime(figures.elapsedMs / 1000.0);
    }
    state.counters["mean_ms"] = Mean(gaps);
    state.counters["median_ms"] = Median(gaps);
    state.counters["p99_ms"] = Percentile(gaps, 99);
    state.counters["max_ms"] = Percentile(gaps, 100);
    state.counters["cycles"] = static_cast<double>(gaps.size());
}
BENCHMARK(BM_WorkerCycle)
    ->ArgNames({"trace", "pause_ms"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({2, 0})
    ->Args({1, 1})
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Process CPU over 2 s with the channel up and no traffic. Argument: 1 with
// the worker running (connected), 0 with the hardware up but no worker.
void BM_IdleCpu(benchmark::State &state) {
    LinkedLibrary library(1);
    BusSession session(library.api(), true);
    if (!Ready(state, library, session.open(state.range(0) != 0))) return;
    plat::SleepMs(100);  // past the start-up
    double percent = 0;
    for (auto _ : state) {
        const uint64_t start = plat::PerfCounter();
        percent = CpuPercentWhileSleeping(2000);
        state.SetIterationTime(SecondsSince(start));
    }
    state.counters["cpu_pct"] = percent;
}
BENCHMARK(BM_IdleCpu)
    ->ArgName("connected")
    ->Arg(1)
    ->Arg(0)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// PassThruWriteMsgs of 4095 bytes until PassThruReadMsgs delivers the
// transmit confirmation, against the 585 ms that 585 frames at one per
// millisecond take. Arguments: TRACE, and the host's pause after an empty poll.
void BM_LongRequest(benchmark::State &state) {
    LinkedLibrary library(static_cast<int>(state.range(0)));
    BusSession session(library.api(), true);
    if (!Ready(state, library, session.open(true))) return;
    std::vector<double> elapsed, frames;
    for (auto _ : state) {
        const TransferFigures figures = SendLongRequest(session, static_cast<uint32_t>(state.range(1)));
        if (!figures.error.empty()) {
            state.SkipWithError(figures.error.c_str());
            return;
        }
        elapsed.push_back(figures.elapsedMs);
        frames.push_back(figures.framesMs);
        state.SetIterationTime(figures.elapsedMs / 1000.0);
    }
    state.counters["elapsed_ms"] = Median(elapsed);
    state.counters["ratio"] = Median(elapsed) / kLongRequestDesignMs;
    // Of that, the frames themselves: first frame to last consecutive frame.
    state.counters["frames_ms"] = Median(frames);
}
BENCHMARK(BM_LongRequest)
    ->ArgNames({"trace", "pause_ms"})
    ->Args({1, 0})
    ->Args({2, 0})
    ->Args({1, 1})
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// A 4095-byte answer at 500 kbit/s: from the peer's first frame to the
// complete message, the host polling without pause. The bus alone needs
// about 153 ms for the 587 frames. Argument: TRACE.
void BM_LongAnswer(benchmark::State &state) {
    LinkedLibrary library(static_cast<int>(state.range(0)));
    BusSession session(library.api(), true);
    if (!Ready(state, library, session.open(true))) return;
    std::vector<double> elapsed;
    for (auto _ : state) {
        const TransferFigures figures = ReceiveLongAnswer(session);
        if (!figures.error.empty()) {
            state.SkipWithError(figures.error.c_str());
            return;
        }
        elapsed.push_back(figures.elapsedMs);
        state.SetIterationTime(figures.elapsedMs / 1000.0);
    }
    state.counters["elapsed_ms"] = Median(elapsed);
}
BENCHMARK(BM_LongAnswer)
    ->ArgName("trace")
    ->Arg(1)
    ->Arg(2)
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// One PassThruReadMsgs that takes one consecutive frame of a reassembly in
// progress; timed is the call alone. Argument: TRACE (the trace goes to the
// real "pt_vector.log").
void BM_ReadConsecutiveFrame(benchmark::State &state) {
    LinkedLibrary library(static_cast<int>(state.range(0)));
    BusSession session(library.api(), false);
    if (!Ready(state, library, session.open(false))) return;
    ConsecutiveFrameFeed feed(session);
    std::vector<double> calls;
    for (auto _ : state) {
        std::string error = feed.next();
        if (error.empty()) {
            bool received = false;
            const uint64_t start = plat::PerfCounter();
            const uint32_t status = session.readOnce(received);
            const double seconds = SecondsSince(start);
            state.SetIterationTime(seconds);
            calls.push_back(seconds * 1e6);
            error = feed.check(status, received);
        }
        if (!error.empty()) {
            state.SkipWithError(error.c_str());
            return;
        }
    }
    state.counters["median_us"] = Median(calls);
    state.counters["p99_us"] = Percentile(calls, 99);
}
BENCHMARK(BM_ReadConsecutiveFrame)->ArgName("trace")->Arg(1)->Arg(2)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace
