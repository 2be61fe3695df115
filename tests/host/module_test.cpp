// The library inside a host process: "morix.ini", the trace files, load and
// unload with and without an open channel, the version and status functions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <thread>

#include "host.h"

namespace fs = std::filesystem;

namespace {

const std::string kHeader = "Timestamp;Deltatime;Tracelevel;Deepness;ThreadID;Message";

size_t Count(const std::vector<std::string> &v, const std::string &s) {
    return static_cast<size_t>(std::count(v.begin(), v.end(), s));
}

std::string Today() {  // as the trace files write it
    const std::time_t now = std::time(nullptr);
    char text[16];
    std::strftime(text, sizeof text, "%d.%m.%Y", std::localtime(&now));
    return text;
}

void ReadVersion(const J2534Api &pt) {
    char fw[80], dll[80], api[80];
    EXPECT_EQ(STATUS_NOERROR, pt.ReadVersion(fw, dll, api));
}

// Runs body(0) .. body(n - 1) on n threads at once.
void OnThreads(int n, const std::function<void(int)> &body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < n; ++t) threads.emplace_back(body, t);
    for (std::thread &thread : threads) thread.join();
}

// TRACE sets the verbosity in base 10 (bits 0-3) and the PDU trace (bit 4);
// key names are compared without case, as Windows' profile functions do.
TEST(Module, TraceKeyDecidesVerbosityAndPduTrace) {
    const struct {
        const char *ini;
        size_t lines;  // after one PassThruReadVersion and the unload
        bool pdu;
    } cases[] = {
        {"[MORIX_VECTOR]\n", 3, false},
        {"[MORIX_VECTOR]\nTRACE=0\n", 3, false},
        {"[MORIX_VECTOR]\nTRACE=2\n", 6, false},
        {"[MORIX_VECTOR]\nTRACE=0x10\n", 3, false},
        {"[MORIX_VECTOR]\nTRACE=16\n", 3, true},
        {"[MORIX_VECTOR]\nTRACE=-1\n", 6, true},
        {"[morix_vector]\n trace = 18\n", 6, true},
        {"[MORIX_VECTOR]\nTrace=2\n", 6, false},
        {"[OTHER]\nTRACE=2\n", 3, false},
        // Lines that start with ';' are comments, keys in them included.
        {"[MORIX_VECTOR]\n; TRACE=0 only errors\n;TRACE=16\nTRACE=2\n", 6, false},
        {"[MORIX_VECTOR]\n;TRACE=2\n", 3, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ini);
        const std::string day = Today();
        HostLibrary host(c.ini);
        ASSERT_TRUE(host.load());
        ReadVersion(host.api());
        host.unload();
        const auto lines = host.traceLines();
        ASSERT_EQ(c.lines, lines.size());
        // The first and last lines carry the day they were written on (or the next one, past midnight).
        for (const std::string &date : {lines[0].substr(13, 10), lines.back().substr(13, 10)})
            EXPECT_TRUE(date == day || date == Today()) << date;
        EXPECT_NE(std::string::npos, lines[0].find(";Create tracefile")) << lines[0];
        EXPECT_EQ(kHeader, lines[1]);
        EXPECT_TRUE(std::regex_match(lines.back(), std::regex("\\d\\d:\\d\\d:\\d\\d\\.\\d{3};\\d\\d\\.\\d\\d\\.\\d{4};"
                                                              "Close tracefile: ")))
            << lines.back();
        EXPECT_EQ(c.pdu, fs::exists(host.pduPath()));
        if (c.pdu) {
            const auto pdu = ReadLines(host.pduPath());
            ASSERT_EQ(1u, pdu.size());
            EXPECT_TRUE(std::regex_match(
                pdu[0],
                std::regex("\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d pt_vector 00\\.16 loaded, PDU trace on")))
                << pdu[0];
            EXPECT_TRUE(pdu[0].compare(0, 10, day) == 0 || pdu[0].compare(0, 10, Today()) == 0) << pdu[0];
        }
    }
}

// The other keys, read case-blind with strtol's automatic base, seen in what
// DATA_RATE does: the wake-up frame and the cooperative mode.
TEST(Module, OtherKeysAreReadWithoutCaseInTheirBase) {
    const struct {
        const char *keys;
        bool foreignInitAccess;
        uint32_t status;
        std::vector<std::string> bus;
    } cases[] = {
        {"WAKEUP=1\n", false, STATUS_NOERROR, {"7E0: 02 3E 01 FF FF FF FF FF"}},
        {"wakeup=2abc\n", false, STATUS_NOERROR, {"784: 02 FF FF FF FF FF FF FF"}},
        {"WakeUp=0x1\n", false, STATUS_NOERROR, {"7E0: 02 3E 01 FF FF FF FF FF"}},
        {"WAKEUP=3\n", false, STATUS_NOERROR, {}},
        {"; WAKEUP=1 wakes the engine\n;WAKEUP=1\n", false, STATUS_NOERROR, {}},
        {"; the gateway\nWAKEUP=2\n", false, STATUS_NOERROR, {"784: 02 FF FF FF FF FF FF FF"}},
        {"cooperative=yes\n", true, ERR_DEVICE_NOT_CONNECTED, {}},
        {"COOPERATIVE=1\n", true, STATUS_NOERROR, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.keys);
        Host host(c.keys);
        EXPECT_EQ(0, c.foreignInitAccess ? vxlsim_set_foreign_init_access(0, 1) : 0);
        EXPECT_EQ(c.status, host.setConfig({{DATA_RATE, 500000}}));
        EXPECT_EQ(c.bus, BusLines());
    }
}

// VIRTUAL=n (read like the other keys) counts the virtual channels the driver
// lists, whatever comes between them, and marks the n-th active when no other
// channel joined before; without it a driver of virtual channels only serves nothing.
TEST(Module, VirtualCountsVirtualChannels) {
    std::string config =
        "[driver]\ndefault_ecus = 0\n"
        "[channel]\nname = LIN Channel\nhw_type = 1\nhw_channel = 0\nbus_capabilities = 0x00020002\n";
    for (int i = 1; i <= 2; ++i)
        config += "[channel]\nname = Virtual Channel " + std::to_string(i) +
                  "\nhw_type = 1\nhw_channel = " + std::to_string(i) + "\nbus_capabilities = 0x00010001\n";
    const struct {
        const char *keys;
        uint32_t status;
        const char *marked;
    } cases[] = {
        {"VIRTUAL=1\n", STATUS_NOERROR, "- channelBusCapabilities 1 CM=0x2 cap=0x00010001 Virtual active!"},
        {"virtual=0x2\n", STATUS_NOERROR, nullptr},
        {"VIRTUAL=3\n", STATUS_NOERROR, nullptr},
        {"VIRTUAL=0\n", ERR_DEVICE_NOT_CONNECTED, nullptr},
        {"", ERR_DEVICE_NOT_CONNECTED, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.keys);
        Host host(c.keys, config.c_str());
        ASSERT_EQ(c.status, host.setConfig({{DATA_RATE, 500000}}));
        std::vector<std::string> marked;
        for (const std::string &text : host.trace())
            if (text.size() > 15 && text.compare(text.size() - 15, 15, "Virtual active!") == 0) marked.push_back(text);
        EXPECT_EQ(c.marked ? std::vector<std::string>{c.marked} : std::vector<std::string>{}, marked);
        if (c.status != STATUS_NOERROR) continue;
        // Both virtual channels join the port, the other channel never.
        EXPECT_EQ(0x6u, vxlsim::CallsTo("xlOpenPort").at(0).args[0]);
    }
}

TEST(Module, WithoutTheServerModuleTheLoadIsRefused) {
    HostLibrary host("[MORIX_VECTOR]\nTRACE=2\n", false);
    testing::internal::CaptureStderr();
    const bool loaded = host.load();
    const std::string said = testing::internal::GetCapturedStderr();
    if (loaded) {
        // A shared object cannot refuse dlopen: it stays inert and says why.
        EXPECT_EQ("morix.ini not found! ASAM Server running?: Fatal Error\n", said);
        char fw[80] = "x", dll[80], api[80];
        EXPECT_EQ(STATUS_NOERROR, host.api().ReadVersion(fw, dll, api));
        EXPECT_STREQ("", fw);
        host.unload();
    }
    EXPECT_FALSE(fs::exists(host.tracePath()));
}

// Each load starts afresh and keeps the previous run's trace as .old; a trace
// held by another running instance moves to the next number; a waiting .tmp
// file takes the trace in at the close.
TEST(Module, TraceFilesRotateStepAsideAndMerge) {
    HostLibrary host("[MORIX_VECTOR]\nTRACE=2\n");
    const auto run = [&host](int versionCalls) {  // three trace lines, three more per call
        ASSERT_TRUE(host.load());
        for (int i = 0; i < versionCalls; ++i) ReadVersion(host.api());
        host.unload();
    };
    run(1);
    run(0);
    EXPECT_EQ(6u, ReadLines(host.dir().file("pt_vector.old")).size());
    EXPECT_EQ(3u, host.traceLines().size());
    // A .old already there gives way to the run before.
    run(2);
    EXPECT_EQ(3u, ReadLines(host.dir().file("pt_vector.old")).size());
    EXPECT_EQ(9u, host.traceLines().size());

    {
        FileHolder holder(host.tracePath());
        run(0);
    }
    EXPECT_EQ(9u, host.traceLines().size());
    EXPECT_EQ(3u, ReadLines(host.dir().file("pt_vector01.log")).size());

    WriteText(host.tracePath() + ".tmp", "kept ahead\n");
    run(0);
    EXPECT_FALSE(fs::exists(host.tracePath() + ".tmp"));
    const auto lines = host.traceLines();
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ("kept ahead", lines[0]);
    EXPECT_EQ(kHeader, lines[2]);
}

// Every line of pt_vector.log in its layout, also while host threads trace at
// once; the depth column counts each thread's open scopes, as deep as the
// receive path goes (a first frame's flow control: four).
TEST(Module, TraceLinesKeepTheirLayoutAndDepth) {
    Host host("TRACE=2\n");
    const size_t atLoad = host.library().traceLines().size();
    host.open(0x7E8, 0x7E0);
    Inject(0x7E8, {0x10, 0x14, 0, 1, 2, 3, 4, 5});
    host.drain();
    constexpr int kThreads = 4, kCalls = 300;
    OnThreads(kThreads, [&host](int) {
        for (int i = 0; i < kCalls; ++i) ReadVersion(host.pt());
    });

    const std::regex layout(
        "\\d\\d:\\d\\d:\\d\\d\\.\\d{3};(\\d\\d:\\d\\d:\\d\\d\\.\\d{3}|__:__:__\\.___);[A-Z]{2};"
        "([-+|])(_*([1-9]\\d*));(\\d{5,});[^;].*");
    std::map<std::string, std::vector<int>> open;  // per thread: depths of its open scopes
    size_t flowControlDepth = 0, versions = 0, bad = 0;
    const std::vector<std::string> lines = host.library().traceLines();
    for (size_t i = atLoad; i < lines.size(); ++i) {
        std::smatch m;
        if (!std::regex_match(lines[i], m, layout) || m[3].length() != 5) {
            if (++bad <= 3) ADD_FAILURE() << "line " << i << ": " << lines[i];
            continue;
        }
        const char marker = m[2].str()[0];
        const int depth = std::stoi(m[4]);
        std::vector<int> &scopes = open[m[5]];
        if (marker == '+') {
            EXPECT_EQ(static_cast<int>(scopes.size()) + 1, depth) << lines[i];
            scopes.push_back(depth);
        } else if (marker == '-') {
            EXPECT_TRUE(!scopes.empty() && scopes.back() == depth) << lines[i];
            if (!scopes.empty()) scopes.pop_back();
        } else {
            EXPECT_EQ(static_cast<int>(scopes.size()), depth) << lines[i];
        }
        if (lines[i].find("FlowControl CTS canID 07e0") != std::string::npos) flowControlDepth = depth;
        if (marker == '+' && lines[i].find(";PassThruReadVersion()") != std::string::npos) ++versions;
    }
    EXPECT_EQ(0u, bad);
    EXPECT_EQ(4u, flowControlDepth);
    EXPECT_EQ(static_cast<size_t>(kThreads * kCalls), versions);
}

// Host threads that write at once each get whole lines in pdu_trace.log.
TEST(Module, PduLinesFromThreadsAtOnce) {
    Host host("TRACE=16\n");
    host.open();
    constexpr int kThreads = 4, kCalls = 5000;
    OnThreads(kThreads, [&host](int t) {
        for (int i = 0; i < kCalls; ++i)
            host.write(Msg(0x700u + static_cast<uint32_t>(t), {0x3E, static_cast<uint8_t>(i)}));
    });
    const std::regex layout("\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d CAN-TX 0x070[0-3] 0x3e 0x[0-9a-f]{2} ");
    const std::vector<std::string> pdu = ReadLines(host.library().pduPath());
    EXPECT_EQ(kThreads * kCalls,
              std::count_if(pdu.begin(), pdu.end(), [&](const std::string &l) { return std::regex_match(l, layout); }));
}

TEST(Module, UnloadWhileConnectedDisconnectsExactlyOnce) {
    // Again and again: the worker must be running before connect returns and
    // gone before the library's code is unmapped; a slip shows as a crash.
    HostLibrary host("[MORIX_VECTOR]\nTRACE=2\n");
    uint32_t channel = 0;
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(host.load());
        ASSERT_EQ(STATUS_NOERROR, host.api().Connect(ISO15765, 0, &channel)) << "round " << i;
        host.unload();
    }
    const auto columns = host.traceMessages();
    const std::string closing = "DLL Close without PassThruDisconnect() stopping it !!!";
    ASSERT_EQ(2u, Count(columns, closing));  // its entry and exit lines
    const auto entry = std::find(columns.begin(), columns.end(), closing);
    const auto exit = std::find(entry + 1, columns.end(), closing);
    EXPECT_EQ(2, std::count(entry, exit, "PassThruDisconnect()"));
    EXPECT_EQ(2u, Count(columns, "PassThruDisconnect()"));
    // The worker has left before the trace was closed.
    EXPECT_EQ(2u, Count(columns, "ThreadRead(end)"));
    EXPECT_EQ(0, vxlsim_open_port_count());

    ASSERT_TRUE(host.load());
    ASSERT_EQ(STATUS_NOERROR, host.api().Connect(ISO15765, 0, &channel));
    ASSERT_EQ(STATUS_NOERROR, host.api().Disconnect(channel));
    host.unload();
    EXPECT_EQ(0u, Count(host.traceMessages(), closing));
    EXPECT_EQ(2u, Count(host.traceMessages(), "PassThruDisconnect()"));
}

TEST(Module, VersionAndUnsupportedFunctions) {
    Host host("TRACE=1\n");
    const J2534Api &pt = host.pt();
    char firmware[16], dll[16], api[16];
    EXPECT_EQ(STATUS_NOERROR, pt.ReadVersion(firmware, dll, api));
    EXPECT_EQ("00.02 00.16 00.06", std::string(firmware) + " " + dll + " " + api);
    EXPECT_EQ(ERR_NULL_PARAMETER, pt.ReadVersion(firmware, nullptr, api));
    EXPECT_EQ("ER", host.levelOf("PassThruReadVersion version buffer is a NULL pointer"));

    char description[80];
    std::memset(description, 'q', sizeof description);
    EXPECT_EQ(ERR_NOT_SUPPORTED, pt.GetLastError(description));
    EXPECT_EQ(std::string(80, 'q'), std::string(description, sizeof description));
    PASSTHRU_MSG msg{};
    uint32_t msgId = 0xBEEF;
    EXPECT_EQ(ERR_NOT_SUPPORTED, pt.StartPeriodicMsg(1, &msg, &msgId, 100));
    EXPECT_EQ(0xBEEFu, msgId);
    EXPECT_EQ(ERR_NOT_SUPPORTED, pt.StopPeriodicMsg(1, 1));
    EXPECT_EQ(ERR_NOT_SUPPORTED, pt.SetProgrammingVoltage(15, 5000));
    EXPECT_TRUE(BusLines().empty());
}

}  // namespace
