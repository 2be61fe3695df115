// Reading "morix.ini" and applying it at load, checked on the module state.
#include <gtest/gtest.h>

#include <filesystem>

#include "api/module.h"
#include "api/module_load.h"
#include "host_library.h"
#include "trace/tracer.h"

namespace fs = std::filesystem;

namespace {

TEST(Config, NumbersFollowStrtolInTheirBase) {
    TempDir dir;
    std::string ini = dir.file("morix.ini");
    WriteText(ini,
              "[OTHER]\nVIRTUAL=7\n"
              "[MORIX_VECTOR]\nTRACE=0x10\nVIRTUAL=0x2\nORVEXTADR=010\ncooperative=yes\n"
              "WAKEUP=2abc\nBIG=99999999999\nSMALL=-99999999999\nNEG=-1\n");
    EXPECT_EQ(ReadConfigNumber(ini.c_str(), "TRACE", "1", 10), 0);
    EXPECT_EQ(ReadConfigNumber(ini.c_str(), "VIRTUAL", "", 0), 2);
    EXPECT_EQ(ReadConfigNumber(ini.c_str(), "ORVEXTADR", "", 0), 8);
    EXPECT_EQ(ReadConfigNumber(ini.c_str(), "cooperative", "", 0), 0);
    EXPECT_EQ(ReadConfigNumber(ini.c_str(), "WAKEUP", "", 0), 2);
    EXPECT_EQ(ReadConfigNumber(ini.c_str(), "BIG", "", 0), INT32_MAX);
    EXPECT_EQ(ReadConfigNumber(ini.c_str(), "SMALL", "", 0), INT32_MIN);
    EXPECT_EQ(ReadConfigNumber(ini.c_str(), "NEG", "", 10), -1);
    EXPECT_EQ(ReadConfigNumber(ini.c_str(), "MISSING", "1", 10), 1);
    EXPECT_EQ(ReadConfigNumber(dir.file("absent.ini").c_str(), "TRACE", "1", 10), 1);
}

TEST(Config, LongValuesAreCutAtTheBuffer) {
    TempDir dir;
    std::string ini = dir.file("morix.ini");
    WriteText(ini, "[MORIX_VECTOR]\nTRACE=" + std::string(5000, '7') + "\n");
    EXPECT_EQ(ReadConfigNumber(ini.c_str(), "TRACE", "1", 10), INT32_MAX);
}

TEST(Config, PathsAreBuiltBesideTheServerModule) {
    EXPECT_EQ(BuildModuleRelativePath("MORIX_Server.dll", "morix.ini"), "");
    HostLibrary host("[MORIX_VECTOR]\n");  // loads the server stub from its own directory
    std::string expected = host.dir().file("morix.ini");
    EXPECT_EQ(BuildModuleRelativePath("MORIX_Server.dll", "morix.ini"), expected);
    EXPECT_EQ(BuildModuleRelativePath("MORIX_Server.dll", ""), host.dir().path());
}

TEST(Config, LoadAppliesTheKeysAndUnloadTearsDown) {
    HostLibrary host("[MORIX_VECTOR]\nTRACE=18\nVIRTUAL=0x2\nORVEXTADR=010\nWAKEUP=1\ncooperative=yes\n");
    ASSERT_TRUE(ModuleLoad(nullptr));
    EXPECT_EQ(m_TraceSettings, 18);
    EXPECT_EQ(theModule.m_bVirtual, 2);
    EXPECT_EQ(theModule.m_ExtAddressing.load(), 8);
    EXPECT_EQ(theModule.m_WakeUp, 1);
    EXPECT_EQ(theModule.m_bCooperative, 0);
    ASSERT_NE(m_pTracer, nullptr);
    EXPECT_EQ(m_pTracer->levelMask(), 0x7Eu);
    EXPECT_EQ(m_pTracer->categoryMask(), 0x8000u);
    EXPECT_EQ(m_pTracer->maxDepth(), 10u);
    EXPECT_NE(m_pPduTrace, nullptr);
    EXPECT_NE(m_pFunctionalGroup, nullptr);
    EXPECT_STREQ(m_FirmwareVersion, "00.02");
    ModuleUnload();
    EXPECT_EQ(m_pTracer, nullptr);
    EXPECT_EQ(m_pTraceFile, nullptr);
    EXPECT_EQ(m_pPduTrace, nullptr);
    EXPECT_EQ(m_pFunctionalGroup, nullptr);
}

TEST(Config, VerbosityDecidesTheLevelMask) {
    struct Case {
        const char *trace;
        uint32_t levels;
    } cases[] = {{"0", 0x26}, {"1", 0x36}, {"", 0x36}, {"2", 0x7E}, {"15", 0x7E}, {"16", 0x26}};
    for (const Case &c : cases) {
        HostLibrary host(std::string("[MORIX_VECTOR]\n") + (c.trace[0] ? std::string("TRACE=") + c.trace + "\n" : ""));
        ASSERT_TRUE(ModuleLoad(nullptr));
        EXPECT_EQ(m_pTracer->levelMask(), c.levels) << "TRACE=" << c.trace;
        EXPECT_EQ(m_pPduTrace != nullptr, std::string(c.trace) == "16") << "TRACE=" << c.trace;
        ModuleUnload();
    }
}

TEST(Config, TooLongServerPathRefusesTheLoad) {
    // A server directory deeper than the 260-character buffer.
    TempDir dir;
    fs::path deep = dir.path();
    while (deep.string().size() < 300) deep /= std::string(40, 'd');
    fs::create_directories(deep);
    fs::copy_file(fs::path(BinDir()) / "MORIX_Server.dll", deep / "MORIX_Server.dll");
    void *server = plat::LoadSharedLibrary((deep / "MORIX_Server.dll").string().c_str());
    if (!server) GTEST_SKIP() << "this platform cannot load from such a path";
    testing::internal::CaptureStderr();
    EXPECT_FALSE(ModuleLoad(nullptr));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(m_pTracer, nullptr);
    ModuleUnload();
    plat::UnloadSharedLibrary(server);
    EXPECT_FALSE(fs::exists(deep / "pt_vector.log"));
}

}  // namespace
