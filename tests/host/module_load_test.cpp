// The library inside a host process: load, configuration, trace files, unload.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "host_library.h"

namespace fs = std::filesystem;

namespace {

const std::string kHeader = "Timestamp;Deltatime;Tracelevel;Deepness;ThreadID;Message";

TEST(ModuleLoad, DefaultVerbosityTracesNoFunctionLines) {
    HostLibrary host("");  // no section, no keys: TRACE defaults to 1
    ASSERT_TRUE(host.load());
    char fw[80] = "", dll[80] = "", api[80] = "";
    EXPECT_EQ(host.api().ReadVersion(fw, dll, api), STATUS_NOERROR);
    host.unload();
    auto lines = host.traceLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex("\\d\\d:\\d\\d:\\d\\d\\.\\d{3};\\d\\d\\.\\d\\d\\.\\d{4};Create tracefile")))
        << lines[0];
    EXPECT_EQ(lines[1], kHeader);
    EXPECT_TRUE(std::regex_match(lines[2], std::regex("\\d\\d:\\d\\d:\\d\\d\\.\\d{3};\\d\\d\\.\\d\\d\\.\\d{4};Close tracefile: ")))
        << lines[2];
    EXPECT_FALSE(fs::exists(host.pduPath()));
}

TEST(ModuleLoad, FullVerbosityTracesScopesWithTheirColumns) {
    HostLibrary host("[MORIX_VECTOR]\nTRACE=2\n");
    ASSERT_TRUE(host.load());
    char fw[80], dll[80], api[80];
    EXPECT_EQ(host.api().ReadVersion(fw, dll, api), STATUS_NOERROR);
    host.unload();
    auto lines = host.traceLines();
    ASSERT_GE(lines.size(), 5u);
    std::regex entry("\\d\\d:\\d\\d:\\d\\d\\.\\d{3};00:00:00\\.000;FU;\\+____1;\\d{5,};PassThruReadVersion\\(\\)");
    std::regex message("\\d\\d:\\d\\d:\\d\\d\\.\\d{3};__:__:__\\.___;IN;\\|____1;\\d{5,};PassThruReadVersion\\(\\) : "
                       "pFirmwareVersion=00\\.02 pDllVersion=00\\.16 pApiVersion=00\\.06");
    std::regex exit("\\d\\d:\\d\\d:\\d\\d\\.\\d{3};\\d\\d:\\d\\d:\\d\\d\\.\\d{3};FU;-____1;\\d{5,};PassThruReadVersion\\(\\)");
    EXPECT_TRUE(std::regex_match(lines[2], entry)) << lines[2];
    EXPECT_TRUE(std::regex_match(lines[3], message)) << lines[3];
    EXPECT_TRUE(std::regex_match(lines[4], exit)) << lines[4];
}

TEST(ModuleLoad, TraceZeroStillCreatesTheFileWithItsHeader) {
    HostLibrary host("[MORIX_VECTOR]\nTRACE=0\n");
    ASSERT_TRUE(host.load());
    char fw[80], dll[80], api[80];
    host.api().ReadVersion(fw, dll, api);
    host.unload();
    auto lines = host.traceLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], kHeader);
}

TEST(ModuleLoad, PduTraceOpensWithBit16AndCarriesTheBanner) {
    for (const char *trace : {"16", "18", "-1"}) {
        HostLibrary host(std::string("[MORIX_VECTOR]\nTRACE=") + trace + "\n");
        ASSERT_TRUE(host.load());
        host.unload();
        auto pdu = ReadLines(host.pduPath());
        ASSERT_EQ(pdu.size(), 1u) << "TRACE=" << trace;
        EXPECT_TRUE(std::regex_match(pdu[0], std::regex("\\d\\d\\.\\d\\d\\.\\d{4} \\d\\d:\\d\\d:\\d\\d pt_vector 00\\.16 loaded, PDU trace on")))
            << pdu[0];
        EXPECT_EQ(host.traceLines().size(), 3u) << trace;
    }
}

TEST(ModuleLoad, HexTraceValueIsReadInBaseTen) {
    HostLibrary host("[MORIX_VECTOR]\nTRACE=0x10\n");  // "0" then stop: verbosity 0, no PDU trace
    ASSERT_TRUE(host.load());
    host.unload();
    EXPECT_FALSE(fs::exists(host.pduPath()));
}

TEST(ModuleLoad, SecondLoadRotatesTheTrace) {
    HostLibrary host("[MORIX_VECTOR]\nTRACE=2\n");
    ASSERT_TRUE(host.load());
    char fw[80], dll[80], api[80];
    host.api().ReadVersion(fw, dll, api);
    host.unload();
    ASSERT_TRUE(host.load());
    host.unload();
    EXPECT_EQ(ReadLines(host.dir().file("pt_vector.old")).size(), 6u);
    EXPECT_EQ(host.traceLines().size(), 3u);
}

TEST(ModuleLoad, UnloadAfterLoadLeavesNothingRunning) {
    // A library that really unloads starts fresh: the version buffers, the
    // tracer and the trace file are made again on every load.
    HostLibrary host("[MORIX_VECTOR]\nTRACE=2\n");
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(host.load());
        char fw[80] = "", dll[80] = "", api[80] = "";
        EXPECT_EQ(host.api().ReadVersion(fw, dll, api), STATUS_NOERROR);
        EXPECT_STREQ(dll, "00.16");
        host.unload();
        EXPECT_EQ(host.traceLines().size(), 6u) << "load " << i;
    }
}

TEST(ModuleLoad, MissingIniGivesDefaults) {
    HostLibrary host("", true, false);
    ASSERT_TRUE(host.load());
    host.unload();
    EXPECT_EQ(host.traceLines().size(), 2u + 1u);
}

TEST(ModuleLoad, UnwritableTraceLeavesTheLoadSuccessfulAndSilent) {
    // A name that exists and can never be written, whatever rights the test has.
    HostLibrary host("[MORIX_VECTOR]\nTRACE=18\n");
    fs::create_directory(host.tracePath());
    fs::create_directory(host.pduPath());
    ASSERT_TRUE(host.load());
    char fw[80], dll[80], api[80];
    EXPECT_EQ(host.api().ReadVersion(fw, dll, api), STATUS_NOERROR);
    EXPECT_STREQ(api, "00.06");
    host.unload();
    EXPECT_TRUE(fs::is_empty(host.tracePath()));
    EXPECT_TRUE(fs::is_empty(host.pduPath()));
}

TEST(ModuleLoad, WithoutTheServerModuleTheLoadIsRefused) {
    HostLibrary host("[MORIX_VECTOR]\nTRACE=2\n", false);
    testing::internal::CaptureStderr();
    bool loaded = host.load();
    std::string said = testing::internal::GetCapturedStderr();
    if (loaded) {
        // A shared object cannot refuse dlopen: it stays inert and says why.
        EXPECT_EQ(said, "morix.ini not found! ASAM Server running?: Fatal Error\n");
        char fw[80] = "x", dll[80], api[80];
        EXPECT_EQ(host.api().ReadVersion(fw, dll, api), STATUS_NOERROR);
        EXPECT_STREQ(fw, "");
        host.unload();
    }
    EXPECT_FALSE(fs::exists(host.tracePath()));
    EXPECT_FALSE(fs::exists(fs::current_path() / "pt_vector.log"));
}

}  // namespace
