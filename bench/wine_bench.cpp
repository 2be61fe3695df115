// The transport's figures for a Windows build: the product DLL loaded as the
// diagnostic server loads it, on the simulated bus, timed with plain loops
// (there is no Google Benchmark for MinGW). Each figure is the median of a
// few runs. Usage: pt_wine_bench [runs [trace]], trace being the TRACE
// key's verbosity for the transfers (default 1).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "bus_session.h"
#include "field_session.h"
#include "host_library.h"
#include "platform/platform.h"

namespace {

constexpr int kDefaultRuns = 3;
constexpr uint32_t kIdleSleepMs = 2000;
constexpr int kReadCallsTrace1 = 20000;
constexpr int kReadCallsTrace2 = 2000;

// Runs body on a freshly loaded library with an open session; false (with
// the reason printed) when that could not be set up or body failed.
bool WithSession(int trace, bool realTiming, bool connect, const std::function<std::string(BusSession &)> &body) {
    HostLibrary host(MorixIni(trace));
    if (!host.load()) {
        std::fprintf(stderr, "cannot load %s\n", LibraryPath().c_str());
        return false;
    }
    std::string error;
    {
        BusSession session(host.api(), realTiming);
        error = session.open(connect);
        if (error.empty()) error = body(session);
    }
    host.unload();
    if (!error.empty()) std::fprintf(stderr, "failed: %s\n", error.c_str());
    return error.empty();
}

double Median(const std::vector<double> &samples) { return Percentile(samples, 50); }

// pauseMs: the host's pause after a poll that found nothing (0: none).
bool LongRequest(int runs, int trace, uint32_t pauseMs) {
    std::vector<double> gaps, elapsed, frames;
    for (int run = 0; run < runs; ++run) {
        const bool ok = WithSession(trace, true, true, [&](BusSession &session) {
            const TransferFigures figures = SendLongRequest(session, pauseMs);
            gaps.insert(gaps.end(), figures.gapsMs.begin(), figures.gapsMs.end());
            elapsed.push_back(figures.elapsedMs);
            frames.push_back(figures.framesMs);
            return figures.error;
        });
        if (!ok) return false;
    }
    std::printf("host pausing %u ms after an empty poll:\n", pauseMs);
    std::printf(
        "  worker cycle (consecutive frame gaps): median %.3f ms, p99 %.3f ms, mean %.3f ms, max %.3f ms"
        " (%u cycles)\n",
        Median(gaps), Percentile(gaps, 99), Mean(gaps), Percentile(gaps, 100), static_cast<unsigned>(gaps.size()));
    std::printf("  4095-byte request, write to confirmation: %.1f ms, ratio %.3f to %.0f ms (frames %.1f ms)\n",
                Median(elapsed), Median(elapsed) / kLongRequestDesignMs, kLongRequestDesignMs, Median(frames));
    return true;
}

bool LongAnswer(int runs, int trace) {
    std::vector<double> elapsed;
    for (int run = 0; run < runs; ++run) {
        const bool ok = WithSession(trace, true, true, [&](BusSession &session) {
            const TransferFigures figures = ReceiveLongAnswer(session);
            elapsed.push_back(figures.elapsedMs);
            return figures.error;
        });
        if (!ok) return false;
    }
    std::printf("4095-byte answer at 500 kbit/s, first frame to message: %.1f ms\n", Median(elapsed));
    return true;
}

bool IdleCpu(int runs) {
    double percent[2] = {0, 0};
    for (int connected = 1; connected >= 0; --connected) {
        std::vector<double> samples;
        for (int run = 0; run < runs; ++run) {
            const bool ok = WithSession(1, true, connected != 0, [&](BusSession &) {
                plat::SleepMs(100);  // past the start-up
                samples.push_back(CpuPercentWhileSleeping(kIdleSleepMs));
                return std::string();
            });
            if (!ok) return false;
        }
        percent[connected] = Median(samples);
    }
    std::printf("idle CPU over %u ms: connected %.2f %% of one core, not connected %.2f %%\n", kIdleSleepMs, percent[1],
                percent[0]);
    return true;
}

bool ReadConsecutiveFrame(int trace, int calls) {
    std::vector<double> us;
    const bool ok = WithSession(trace, false, false, [&](BusSession &session) {
        ConsecutiveFrameFeed feed(session);
        for (int i = 0; i < calls; ++i) {
            std::string error = feed.next();
            if (!error.empty()) return error;
            bool received = false;
            const uint64_t start = plat::PerfCounter();
            const uint32_t status = session.readOnce(received);
            us.push_back(SecondsSince(start) * 1e6);
            error = feed.check(status, received);
            if (!error.empty()) return error;
        }
        return std::string();
    });
    if (!ok) return false;
    std::printf("PassThruReadMsgs with one consecutive frame, TRACE=%d: median %.2f us, p99 %.2f us (%d calls)\n",
                trace, Median(us), Percentile(us, 99), calls);
    return true;
}

// The field profile: the long request against its bus time, a slow host
// receiving the long answer, STmin 0xF5 gaps, WAIT and OVERFLOW.
bool Field(int runs) {
    std::vector<double> ratio, delivery, gaps;
    for (int run = 0; run < runs; ++run) {
        const FieldFigures request = FieldRequest("", 4095);
        const FieldFigures answer = FieldSlowAnswer(10);
        if (!request.error.empty() || !answer.error.empty()) {
            std::fprintf(stderr, "field profile failed: %s%s\n", request.error.c_str(), answer.error.c_str());
            return false;
        }
        ratio.push_back(request.elapsedMs / request.busMs);
        delivery.push_back(answer.deliveryMs);
        for (int i = 0; i < 5; ++i) {
            const FieldFigures stmin = FieldRequest("stmin = 0xF5\n", 64);
            if (!stmin.error.empty()) {
                std::fprintf(stderr, "STmin 0xF5: %s\n", stmin.error.c_str());
                return false;
            }
            gaps.insert(gaps.end(), stmin.gapsUs.begin(), stmin.gapsUs.end());
        }
    }
    const std::string waits = FieldFlowStatus("fc_wait = 3\n", true);
    const std::string overflow = FieldFlowStatus("fc_status = overflow\n", false);
    std::printf(
        "field profile: 4095-byte request %.3f x its bus time; slow host (10 ms polls) gets the 4095-byte "
        "answer %.1f ms after its last frame\n",
        Median(ratio), Median(delivery));
    std::printf("field profile: STmin 0xF5 gaps median %.0f us, p99 %.0f us (%u gaps); three WAITs: %s; OVERFLOW: %s\n",
                Median(gaps), Percentile(gaps, 99), static_cast<unsigned>(gaps.size()),
                waits.empty() ? "completed" : waits.c_str(),
                overflow.empty() ? "ended, next request ok" : overflow.c_str());
    return waits.empty() && overflow.empty();
}

}  // namespace

int main(int argc, char **argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultRuns;
    const int trace = argc > 2 ? std::atoi(argv[2]) : 1;
    std::printf("pt_vector transport figures, medians of %d runs, transfers at TRACE=%d\n", runs, trace);
    std::fflush(stdout);
    const bool ok = LongRequest(runs, trace, 0) && LongRequest(runs, trace, 1) && LongAnswer(runs, trace) &&
                    IdleCpu(runs) && ReadConsecutiveFrame(1, kReadCallsTrace1) &&
                    ReadConsecutiveFrame(2, kReadCallsTrace2) && Field(runs);
    return ok ? 0 : 1;
}
