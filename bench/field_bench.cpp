// The field profile's figures (see field_session.h) as Google Benchmark cases.
#include <benchmark/benchmark.h>

#include "bus_session.h"
#include "field_session.h"

namespace {

bool Failed(benchmark::State &state, const std::string &error) {
    if (error.empty()) return false;
    state.SkipWithError(error.c_str());
    return true;
}

// The 4095-byte request, write to confirmation, against the bus time of its
// 586 frames.
void BM_FieldLongRequest(benchmark::State &state) {
    std::vector<double> ratio, elapsed;
    for (auto _ : state) {
        const FieldFigures f = FieldRequest("", 4095);
        if (Failed(state, f.error)) return;
        elapsed.push_back(f.elapsedMs);
        ratio.push_back(f.elapsedMs / f.busMs);
        state.SetIterationTime(f.elapsedMs / 1000.0);
    }
    state.counters["elapsed_ms"] = Percentile(elapsed, 50);
    state.counters["ratio_to_bus"] = Percentile(ratio, 50);
}
BENCHMARK(BM_FieldLongRequest)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

// A host polling every 10 ms gets the 4095-byte answer (block size 0, STmin 0).
void BM_FieldSlowHostAnswer(benchmark::State &state) {
    std::vector<double> delivery;
    for (auto _ : state) {
        const FieldFigures f = FieldSlowAnswer(10);
        if (Failed(state, f.error)) return;
        delivery.push_back(f.deliveryMs);
        state.SetIterationTime(f.elapsedMs / 1000.0);
    }
    state.counters["after_last_frame_ms"] = Percentile(delivery, 50);
}
BENCHMARK(BM_FieldSlowHostAnswer)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

// A 64-byte request to an ECU asking for STmin 0xF5 (500 us): the gaps
// between our consecutive frames on the bus.
void BM_FieldStmin500us(benchmark::State &state) {
    std::vector<double> gaps;
    for (auto _ : state) {
        const FieldFigures f = FieldRequest("stmin = 0xF5\n", 64);
        if (Failed(state, f.error)) return;
        gaps.insert(gaps.end(), f.gapsUs.begin(), f.gapsUs.end());
        state.SetIterationTime(f.elapsedMs / 1000.0);
    }
    state.counters["gap_median_us"] = Percentile(gaps, 50);
    state.counters["gap_p99_us"] = Percentile(gaps, 99);
    state.counters["gap_min_us"] = Percentile(gaps, 0);
}
BENCHMARK(BM_FieldStmin500us)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

// Three WAITs before clear to send: the transfer completes; OVERFLOW: it ends
// without a confirmation, and the next request goes through.
void BM_FieldFlowStatus(benchmark::State &state) {
    const bool overflow = state.range(0) != 0;
    for (auto _ : state)
        if (Failed(state, FieldFlowStatus(overflow ? "fc_status = overflow\n" : "fc_wait = 3\n", !overflow))) return;
}
BENCHMARK(BM_FieldFlowStatus)->ArgName("overflow")->Arg(0)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
