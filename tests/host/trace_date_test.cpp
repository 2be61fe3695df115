// The trace files carry the day they were written on: the first and the last
// line of pt_vector.log, and each line of pdu_trace.log.
#include <gtest/gtest.h>

#include <ctime>

#include "host.h"

namespace {

std::string Today() {
    const std::time_t now = std::time(nullptr);
    char text[16];
    std::strftime(text, sizeof text, "%d.%m.%Y", std::localtime(&now));
    return text;
}

// The second ';' field of a line.
std::string SecondField(const std::string &line) {
    const size_t from = line.find(';') + 1, to = line.find(';', from);
    return line.substr(from, to == std::string::npos ? std::string::npos : to - from);
}

TEST(TraceFiles, CarryTodaysDate) {
    const std::string before = Today();
    HostLibrary host("[MORIX_VECTOR]\nTRACE=16\n");
    ASSERT_TRUE(host.load());
    host.unload();
    const std::string after = Today();  // a test that runs over midnight may see either
    auto today = [&](const std::string &date) { return date == before || date == after; };
    const std::vector<std::string> trace = host.traceLines();
    ASSERT_GE(trace.size(), 2u);
    EXPECT_PRED1(today, SecondField(trace.front()));
    EXPECT_PRED1(today, SecondField(trace.back()));
    const std::vector<std::string> pdu = ReadLines(host.pduPath());
    ASSERT_EQ(1u, pdu.size());
    EXPECT_PRED1(today, pdu[0].substr(0, 10));
}

}  // namespace
