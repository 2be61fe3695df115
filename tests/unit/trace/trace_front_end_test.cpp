#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "trace/lock_guard.h"
#include "trace/named_lock.h"
#include "trace/trace_clock.h"
#include "trace/trace_scope.h"
#include "trace_capture.h"

namespace {

std::string Elapsed(uint32_t ms) {
    char text[32];
    FormatElapsed(ms, text, sizeof text);
    return text;
}

std::vector<TraceLine> Parsed(const TraceCapture &capture) {
    std::vector<TraceLine> out;
    for (const auto &l : capture.lines()) {
        TraceLine t;
        EXPECT_TRUE(t.parse(l)) << l;
        out.push_back(t);
    }
    return out;
}

TEST(TraceFrontEnd, FullVerbosityWritesEntryMessageAndExitLines) {
    TraceCapture capture(2);
    {
        PT_SCOPE(scope, "PassThruConnect()");
        if (scope.isEnabled()) scope.message("PassThruConnect-CAN is active now!", TL_INFO);
    }
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 3u);
    char thread[32];
    std::snprintf(thread, sizeof thread, "%05u", plat::CurrentThreadId());
    EXPECT_EQ(lines[0], std::string(";00:00:00.000;FU;+____1;") + thread + ";PassThruConnect()");
    EXPECT_EQ(lines[1], std::string(";__:__:__.___;IN;|____1;") + thread +
                            ";PassThruConnect() : PassThruConnect-CAN is active now!");
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(";\\d\\d:\\d\\d:\\d\\d\\.\\d{3};FU;-____1;" +
                                                      std::string(thread) + ";PassThruConnect\\(\\)")))
        << lines[2];
}

TEST(TraceFrontEnd, VerbosityOneWritesOnlyUnguardedMessagesWithTheirDepth) {
    TraceCapture capture(1);
    {
        PT_SCOPE(outer, "outer()");
        PT_SCOPE(inner, "inner()");
        EXPECT_FALSE(inner.isEnabled());
        if (inner.isEnabled()) inner.message("guarded", TL_INFO);
        inner.message("unguarded", TL_INFO);
        inner.message("a warning is off at verbosity 1", TL_WARNING);
        inner.message("errors pass", TL_ERROR);
    }
    auto lines = Parsed(capture);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].deltatime, "__:__:__.___");
    EXPECT_EQ(lines[0].level, "IN");
    EXPECT_EQ(lines[0].marker, '|');
    EXPECT_EQ(lines[0].depth, 2);
    EXPECT_EQ(lines[0].message, "inner() : unguarded");
    EXPECT_EQ(lines[1].level, "ER");
    EXPECT_EQ(lines[1].text, "errors pass");
}

TEST(TraceFrontEnd, VerbosityZeroKeepsErrorsOnly) {
    Tracer tracer;  // as the load handler leaves it at TRACE=0
    tracer.addLevels(TL_FATALERROR);
    tracer.addCategories(kTraceCategory);
    tracer.setMaxDepth(10);
    MemorySink sink;
    tracer.attach(&sink);
    {
        TraceScope scope("f()", kTraceCategory, TL_FUNCTION, &tracer);
        scope.message("info", TL_INFO);
        scope.message("error", TL_ERROR);
        scope.message("fatal", TL_FATALERROR);
    }
    auto lines = sink.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(";ER;|____1;"), std::string::npos);
    EXPECT_NE(lines[1].find(";FE;|____1;"), std::string::npos);
    tracer.detach(&sink);
}

TEST(TraceFrontEnd, DepthLimitSilencesTheEleventhScopeOnly) {
    TraceCapture capture(2);
    {
        std::vector<std::unique_ptr<TraceScope>> scopes;
        for (int i = 1; i <= 11; ++i) {
            scopes.push_back(std::make_unique<TraceScope>(("s" + std::to_string(i)).c_str(),
                                                          kTraceCategory, TL_FUNCTION, m_pTracer));
        }
        EXPECT_TRUE(scopes[9]->isEnabled());
        EXPECT_FALSE(scopes[10]->isEnabled());
        scopes[10]->message("dropped at depth 11", TL_ERROR);
        scopes.pop_back();
        scopes.back()->message("kept at depth 10", TL_INFO);
        while (!scopes.empty()) scopes.pop_back();
    }
    auto lines = Parsed(capture);
    ASSERT_EQ(lines.size(), 21u);  // 10 entries, one message, 10 exits
    EXPECT_EQ(lines[9].message, "s10");
    EXPECT_EQ(lines[9].depth, 10);
    EXPECT_EQ(lines[10].text, "kept at depth 10");
    EXPECT_EQ(lines[11].marker, '-');
    EXPECT_EQ(lines[11].message, "s10");
    EXPECT_EQ(lines[20].message, "s1");
    EXPECT_EQ(lines[20].depth, 1);
}

TEST(TraceFrontEnd, MaxDepthZeroMeansNoLimitAndWideDepthsPrintWhole) {
    TraceCapture capture(1);  // FUNCTION off while the stack is built
    capture.tracer().setMaxDepth(0);
    {
        std::vector<std::unique_ptr<TraceScope>> scopes;
        for (int i = 1; i <= 11; ++i)
            scopes.push_back(std::make_unique<TraceScope>("s", kTraceCategory, TL_FUNCTION, m_pTracer));
        scopes.back()->message("at eleven", TL_INFO);
        EXPECT_NE(capture.lines().back().find(";|___11;"), std::string::npos) << capture.lines().back();
        scopes.push_back(std::make_unique<TraceScope>("s", kTraceCategory, TL_FUNCTION, m_pTracer));
        scopes.back()->message("at twelve", TL_INFO);
        EXPECT_NE(capture.lines().back().find(";|___12;"), std::string::npos) << capture.lines().back();
        scopes.reserve(123456);
        while (scopes.size() < 123456)
            scopes.push_back(std::make_unique<TraceScope>("s", kTraceCategory, TL_FUNCTION, m_pTracer));
        scopes.back()->message("deep", TL_INFO);
        EXPECT_NE(capture.lines().back().find(";|123456;"), std::string::npos) << capture.lines().back();
        while (!scopes.empty()) scopes.pop_back();
    }
}

TEST(TraceFrontEnd, ElapsedTimeTexts) {
    EXPECT_EQ(Elapsed(0), "00:00:00.000");
    EXPECT_EQ(Elapsed(1), "00:00:00.001");
    EXPECT_EQ(Elapsed(3723004), "01:02:03.004");
    EXPECT_EQ(Elapsed(90000000), "01:00:00.000");
    EXPECT_EQ(Elapsed(0xFFFFFFFFu), "17:02:47.295");
}

TEST(TraceFrontEnd, ScopeBeforeCategoryIsEnabledWritesNothingButCountsDepth) {
    Tracer tracer;  // as constructed: FATALERROR, ERROR, MODULE; no category
    tracer.setMaxDepth(10);
    MemorySink sink;
    tracer.attach(&sink);
    {
        TraceScope early("DLLMain(..) :", kTraceCategory, TL_FUNCTION, &tracer);
        tracer.addLevels(TL_FUNCTION | TL_INFO);
        tracer.addCategories(kTraceCategory);
        TraceScope inner("inner()", kTraceCategory, TL_FUNCTION, &tracer);
        early.message("from the early scope", TL_INFO);
    }
    auto lines = sink.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find(";FU;+____2;"), std::string::npos) << lines[0];
    // A scope without a name still carries its messages.
    EXPECT_NE(lines[1].find(";IN;|____2;"), std::string::npos);
    const std::string tail = "; : from the early scope";
    EXPECT_EQ(lines[1].substr(lines[1].size() - tail.size()), tail);
    EXPECT_NE(lines[2].find(";FU;-____2;"), std::string::npos);
    tracer.detach(&sink);
}

TEST(TraceFrontEnd, ThreadsCountTheirOwnDepthAndLinesArriveWhole) {
    TraceCapture capture(2);
    auto work = [] {
        for (int i = 0; i < 200; ++i) {
            PT_SCOPE(a, "a()");
            PT_SCOPE(b, "b()");
            if (b.isEnabled()) b.messagef(TL_INFO, "iteration %d", i);
        }
    };
    std::thread t1(work), t2(work);
    t1.join();
    t2.join();
    auto lines = Parsed(capture);
    ASSERT_EQ(lines.size(), 2u * 200u * 5u);
    for (const auto &l : lines) {
        if (l.message.rfind("a()", 0) == 0) EXPECT_EQ(l.depth, 1) << l.message;
        else EXPECT_EQ(l.depth, 2) << l.message;
    }
}

TEST(TraceFrontEnd, SameSinkAttachedTwiceGetsEveryLineTwiceUntilDetached) {
    Tracer tracer;
    tracer.addCategories(kTraceCategory);
    tracer.addLevels(TL_FUNCTION);
    MemorySink sink;
    tracer.attach(&sink);
    tracer.attach(&sink);
    { TraceScope s("f()", kTraceCategory, TL_FUNCTION, &tracer); }
    EXPECT_EQ(sink.lines().size(), 4u);
    tracer.detach(&sink);
    EXPECT_TRUE(tracer.isEmpty());
    { TraceScope s("f()", kTraceCategory, TL_FUNCTION, &tracer); }
    EXPECT_EQ(sink.lines().size(), 4u);
}

TEST(TraceFrontEnd, AttachTraceLevelAnnouncesOnlyWhenFunctionTracingWasOn) {
    TraceCapture capture(1);
    AttachTraceLevel("WARNING", TL_WARNING, m_pTracer);
    EXPECT_TRUE(capture.lines().empty());
    EXPECT_TRUE(m_pTracer->isLevelEnabled(TL_WARNING));
    AttachTraceLevel("FUNCTION", TL_FUNCTION, m_pTracer);
    EXPECT_TRUE(capture.lines().empty());
    AttachTraceLevel("MODULE", TL_MODULE, m_pTracer);
    EXPECT_EQ(capture.columns(), (std::vector<std::string>{"AttachTraceLevel(..) :",
                                                          "AttachTraceLevel(..) : : TraceLevel MODULE attached",
                                                          "AttachTraceLevel(..) :"}));
}

TEST(TraceFrontEnd, LevelCodes) {
    EXPECT_STREQ(TraceLevelCode(0x001), "TE");
    EXPECT_STREQ(TraceLevelCode(TL_FATALERROR), "FE");
    EXPECT_STREQ(TraceLevelCode(TL_WARNING), "WN");
    EXPECT_STREQ(TraceLevelCode(TL_MODULE), "MO");
    EXPECT_STREQ(TraceLevelCode(0x400), "IM");
    EXPECT_STREQ(TraceLevelCode(0x006), "??");
    EXPECT_STREQ(TraceLevelCode(0x800), "??");
}

TEST(NamedLock, RecordsItsHolderAndKeepsTheLastName) {
    NamedLock lock;
    EXPECT_EQ(lock.ownerThreadId(), 0u);
    lock.lock("first");
    lock.lock();
    lock.unlock();
    EXPECT_EQ(lock.ownerThreadId(), plat::CurrentThreadId());
    EXPECT_STREQ(lock.ownerName(), "first");
    EXPECT_EQ(lock.lockCount(), 1);
    lock.unlock();
    EXPECT_EQ(lock.ownerThreadId(), 0u);
    EXPECT_STREQ(lock.ownerName(), "first");
    {
        LockGuard guard(lock);
        EXPECT_STREQ(lock.ownerName(), "Locked by unknown");
    }
    EXPECT_EQ(lock.lockCount(), 0);
}

TEST(NamedLock, ExcludesOtherThreads) {
    NamedLock lock;
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            LockGuard guard(lock);
            ++counter;
        }
    };
    std::thread t1(work), t2(work);
    t1.join();
    t2.join();
    EXPECT_EQ(counter, 40000);
}

}  // namespace
