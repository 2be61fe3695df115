#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "api/module.h"
#include "api/msg_dump.h"
#include "trace/trace_scope.h"
#include "trace_capture.h"

namespace {

PASSTHRU_MSG MakeMsg(uint32_t dataSize, uint32_t txFlags = 0) {
    PASSTHRU_MSG msg{};
    msg.ProtocolID = ISO15765;
    msg.TxFlags = txFlags;
    msg.Timestamp = 1234;
    msg.DataSize = dataSize;
    for (uint32_t i = 0; i < PT_MSG_DATA_SIZE; ++i) msg.Data[i] = static_cast<uint8_t>(i);
    return msg;
}

std::vector<std::string> Dump(const PASSTHRU_MSG *msg, const char *label, int verbosity = 2) {
    TraceCapture capture(verbosity);
    {
        PT_SCOPE(scope, "Test()");
        TracePassThruMsg(msg, label, scope);
    }
    return capture.messages();
}

std::string HexBytes(uint32_t from, uint32_t count) {
    std::string out;
    char text[8];
    for (uint32_t i = from; i < from + count; ++i) {
        std::snprintf(text, sizeof(text), "0x%02x ", i & 0xFF);
        out += text;
    }
    return out;
}

std::string HeaderFor(uint32_t dataSize) {
    char text[256];
    std::snprintf(text, sizeof(text),
                  "Msg             ProtocolID=00000006 RxStatus=00000000 TxFlags=00000000 "
                  "Timestamp=000001234 DataSize=%08x ExtraDataIndex=00000000 ",
                  dataSize);
    return text;
}

TEST(TracePassThruMsg, NullMessageGivesOneVoidPointerLine) {
    EXPECT_EQ(Dump(nullptr, "MaskMsg"), std::vector<std::string>{"MaskMsg         void pointer!"});
    // Asked of the scope: without function tracing nothing is written.
    EXPECT_TRUE(Dump(nullptr, "MaskMsg", 1).empty());
}

// The header, then at most one hundred bytes, never read beyond Data.
TEST(TracePassThruMsg, HeaderAndDumpStopAtOneHundredBytes) {
    const struct {
        uint32_t dataSize, dumped;
        const char *tail;
    } cases[] = {{0, 0, ""}, {99, 99, ""}, {100, 100, "..."}, {PT_MSG_DATA_SIZE, 100, "..."}, {0xFFFFFFFFu, 100, "..."}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.dataSize);
        PASSTHRU_MSG msg = MakeMsg(c.dataSize);
        EXPECT_EQ(Dump(&msg, "Msg"), std::vector<std::string>{HeaderFor(c.dataSize) + HexBytes(0, c.dumped) + c.tail});
    }
}

TEST(TracePassThruMsg, FieldsAndLongLabel) {
    PASSTHRU_MSG msg = MakeMsg(3);
    msg.Data[0] = 0x01;
    msg.Data[1] = 0xAB;
    msg.Data[2] = 0xFF;
    msg.RxStatus = 0x101;
    msg.Timestamp = 4294967295u;
    msg.ExtraDataIndex = 0xABCDEF;
    EXPECT_EQ(Dump(&msg, "FlowControlMsg"),
              std::vector<std::string>{
                  "FlowControlMsg  ProtocolID=00000006 RxStatus=00000101 TxFlags=00000000 "
                  "Timestamp=4294967295 DataSize=00000003 ExtraDataIndex=00abcdef 0x01 0xab 0xff "});
    EXPECT_EQ(Dump(&msg, "ALabelLongerThan15")[0].substr(0, 30), "ALabelLongerThan15 ProtocolID=");
}

TEST(TracePassThruMsg, FlagLinesComeBeforeTheHeaderAtTheirVerbosity) {
    PASSTHRU_MSG msg = MakeMsg(0, ISO15765_ADDR_TYPE | CAN_29BIT_ID);
    auto lines = Dump(&msg, "PatternMsg");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "EXTENDED ADDRESS !!!");
    EXPECT_EQ(lines[1], "29 Bit CAN ADDRESS !!!");
    EXPECT_EQ(lines[2].substr(0, 16), "PatternMsg      ");
    EXPECT_NE(lines[2].find("TxFlags=00000180 "), std::string::npos);
    // Without function tracing only the 29-bit line remains.
    EXPECT_EQ(Dump(&msg, "Msg", 1), std::vector<std::string>{"29 Bit CAN ADDRESS !!!"});
    EXPECT_TRUE(Dump(&msg, "Msg", 0).empty());
}

TEST(AppendHexDump, EllipsisWhenTheLimitIsReached) {
    const uint8_t bytes[] = {1, 2, 3, 4};
    char out[64] = "";
    AppendHexDump(bytes, out, sizeof(out), 4, 2);
    EXPECT_STREQ(out, "0x01 0x02 ...");
    out[0] = '\0';
    AppendHexDump(bytes, out, sizeof(out), 2, 2);
    EXPECT_STREQ(out, "0x01 0x02 ...");
    out[0] = '\0';
    AppendHexDump(bytes, out, sizeof(out), 0, 2);
    EXPECT_STREQ(out, "");
}

// The caller's size is the limit: whole byte texts only, and the rest of the
// caller's memory untouched.
TEST(AppendHexDump, SmallBufferIsNeverOverrun) {
    const uint8_t bytes[] = {1, 2, 3, 4, 5, 6};
    struct {
        char out[12];
        char guard[8];
    } buf;
    std::memset(&buf, '#', sizeof(buf));
    std::strcpy(buf.out, "ab");
    AppendHexDump(bytes, buf.out, 8, 6, 100);
    EXPECT_STREQ(buf.out, "ab0x01 ");
    EXPECT_EQ(std::string(buf.out + 8, 4), "####");
    EXPECT_EQ(std::string(buf.guard, 8), "########");

    // Room for two bytes and the marker of the cut.
    char exact[14];
    exact[0] = '\0';
    AppendHexDump(bytes, exact, sizeof(exact), 6, 100);
    EXPECT_STREQ(exact, "0x01 0x02 ...");

    char tiny[1] = {'\0'};
    AppendHexDump(bytes, tiny, sizeof(tiny), 6, 100);
    EXPECT_EQ(tiny[0], '\0');
}

TEST(AppendHexDump, RefusesWhatItCannotUse) {
    const uint8_t bytes[] = {1};
    char unterminated[4] = {'x', 'x', 'x', 'x'};
    AppendHexDump(bytes, unterminated, sizeof(unterminated), 1, 100);
    EXPECT_EQ(std::string(unterminated, 4), "xxxx");

    char out[16] = "-";
    AppendHexDump(nullptr, out, sizeof(out), 5, 100);
    EXPECT_STREQ(out, "-");
    AppendHexDump(bytes, nullptr, 16, 1, 100);  // must simply return
}

}  // namespace
