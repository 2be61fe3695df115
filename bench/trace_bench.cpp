// Cost of the trace front-end on the paths every call takes.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "trace/trace_file.h"
#include "trace/trace_scope.h"
#include "trace/tracer.h"

namespace {

// The library's configuration at TRACE=1: category on, INFO on, FUNCTION off.
void BM_ScopeAndGuardedMessage_Verbosity1(benchmark::State &state) {
    Tracer tracer;
    tracer.addLevels(TL_FATALERROR | TL_ERROR | TL_INFO);
    tracer.addCategories(kTraceCategory);
    tracer.setMaxDepth(10);
    SetActiveTracer(&tracer);  // as at load: each thread's depth has its slot
    for (auto _ : state) {
        TraceScope scope("PassThruReadMsgs()", kTraceCategory, TL_FUNCTION, &tracer);
        if (scope.isEnabled()) scope.messagef(TL_INFO, "actnum=%08lX", 1ul);
        benchmark::DoNotOptimize(&scope);
    }
    SetActiveTracer(nullptr);
}
BENCHMARK(BM_ScopeAndGuardedMessage_Verbosity1);

// TRACE=2: every scope writes its entry and exit line into the trace file.
void BM_ScopeToFile_Verbosity2(benchmark::State &state) {
    auto dir = std::filesystem::temp_directory_path() / "pt_vector_bench";
    std::filesystem::create_directories(dir);
    auto path = (dir / "pt_vector.log").string();
    {
        TraceFile file(path.c_str(), 0, 1, 1);
        Tracer tracer;
        tracer.addLevels(TL_FATALERROR | TL_ERROR | TL_WARNING | TL_INFO | TL_MODULE | TL_FUNCTION);
        tracer.addCategories(kTraceCategory);
        tracer.setMaxDepth(10);
        tracer.attach(&file);
        SetActiveTracer(&tracer);
        for (auto _ : state) {
            TraceScope scope("PassThruReadMsgs()", kTraceCategory, TL_FUNCTION, &tracer);
            benchmark::DoNotOptimize(&scope);
        }
        SetActiveTracer(nullptr);
        tracer.detach(&file);
    }
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_ScopeToFile_Verbosity2);

}  // namespace

BENCHMARK_MAIN();
