#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "api/module.h"
#include "fg/functional_group.h"
#include "fg_messages.h"
#include "platform/platform.h"
#include "trace_capture.h"

using namespace fgtest;

namespace {

const char kMinLength[] = "Message is not a functional message (min. length mismatch).";
const char kMarker[] = "Message is not a functional message (special byte (0x22) mismatch).";
const char kLength[] = "Message is not a functional message (length mismatch).";

GroupEntry FullEntry() {
    GroupEntry e{};
    e.ReqCanID = 0x6F1;
    e.RespCanID = 0x7E8;
    e.DiagAddrEcu = 0x10;
    e.DiagAddrTester = 0xF1;
    e.Reserved4[0] = e.Reserved4[1] = e.Reserved4[2] = 0xDEADBEEF;
    e.MOST_DeviceID = 0x21;
    e.Reserved8[0] = e.Reserved8[3] = 0xCAFEBABE;
    e.MOST_TDeviceID = 0x22;
    e.Reserved13 = 0x12345678;
    e.FlexRay_TxSlotId = 0x31;
    e.FlexRay_RxSlotId = 0x32;
    e.FlexRay_TxSlotIdFc = 0x1234;
    return e;
}

TEST(Decode, SmallestRequestIsUnwrapped) {
    COrvFunctionalGroup fg;
    TraceCapture capture;
    PASSTHRU_MSG msg = Request(0x7DF, {0x22}, {FullEntry()});
    ASSERT_EQ(msg.DataSize, 78u);

    EXPECT_EQ(fg.decode(&msg), 4);

    EXPECT_EQ(DataOf(msg), (std::vector<uint8_t>{0x00, 0x00, 0x07, 0xDF, 0x22}));
    EXPECT_EQ(fg.sid(), 0x22);
    EXPECT_TRUE(fg.isTimerSet());
    ASSERT_EQ(fg.entries().size(), 1u);
    EXPECT_EQ(fg.entries()[0].Reserved13, 0x12345678u);
    EXPECT_EQ(fg.entries()[0].FlexRay_TxSlotIdFc, 0x1234u);
    EXPECT_EQ(capture.messages(),
              (std::vector<std::string>{
                  "FG No: 0 for ReqCanID 0x06f1 (1777), RespCanID 0x07e8 (2024), DiagAddrEcu "
                  "0x0010, DiagAddrTester 0x00f1, FlexRay_TxSlotId 0x0031, FlexRay_RxSlotId "
                  "0x0032, FlexRay_TxSlotIdFc 0x1234, MOST_DeviceID 0x0021, MOST_TDeviceID 0x0022",
                  "Length = 1 abs length 5 SeriveID=22"}));
    auto columns = capture.columns();
    EXPECT_EQ(columns.front(), "COrvFunctionalGroup::decode()");
    EXPECT_NE(std::find(columns.begin(), columns.end(), "COrvFunctionalGroup::startReceiveTimer()"),
              columns.end());
}

// Each malformed request goes out unchanged, with the reason traced.
TEST(Decode, MalformedRequestsAreRejected) {
    const std::vector<uint8_t> smallest = RequestBytes(0x7DF, {0x22}, {FullEntry()});
    std::vector<uint8_t> shortByOne(smallest.begin(), smallest.end() - 1);
    std::vector<uint8_t> trailing = RequestBytes(0x7DF, {0x22, 0xF1, 0x90}, {FullEntry()});
    trailing.push_back(0);
    std::vector<uint8_t> pduPastEnd(trailing.begin(), trailing.end() - 1);
    pduPastEnd[5] = pduPastEnd[6] = 0xFF;
    std::vector<uint8_t> countMismatch = RequestBytes(0x7DF, {0x22}, {FullEntry(), FullEntry()});
    countMismatch[8] = 3;
    // Consistent on the wire but longer than Data can hold.
    const std::vector<uint8_t> oversized = RequestBytes(0x7DF, {0x22}, std::vector<GroupEntry>(61, FullEntry()));
    ASSERT_GT(oversized.size(), PT_MSG_DATA_SIZE);
    PASSTHRU_MSG huge = Message(smallest);
    huge.DataSize = 0xFFFFFFFFu;
    // With extended addressing the marker is looked for behind the address
    // byte: the smallest such request is 79 bytes.
    std::vector<uint8_t> extendedShort = RequestBytes(0x6F1, {0x22}, {FullEntry()}, 0x40);
    extendedShort.pop_back();

    const struct {
        const char *name;
        PASSTHRU_MSG msg;
        const char *text;
    } cases[] = {
        {"77 bytes", Message(shortByOne), kMinLength},
        {"marker", Message(RequestBytes(0x7DF, {0x22}, {FullEntry()}, -1, 0x21)), kMarker},
        {"trailing byte", Message(trailing), kLength},
        {"PDU length past the end", Message(pduPastEnd), kLength},
        {"entry count", Message(countMismatch), kLength},
        {"beyond Data", Message(oversized), kLength},
        {"DataSize 0xFFFFFFFF", huge, kLength},
        {"extended without address byte", Message(smallest, ISO15765_ADDR_TYPE), kMinLength},
        {"extended 78 bytes", Message(extendedShort, ISO15765_ADDR_TYPE), kMinLength},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        COrvFunctionalGroup fg;
        TraceCapture capture;
        PASSTHRU_MSG msg = c.msg;
        EXPECT_EQ(fg.decode(&msg), -1);
        EXPECT_EQ(capture.messages(), std::vector<std::string>{c.text});
        EXPECT_EQ(std::memcmp(&msg, &c.msg, sizeof(msg)), 0);
        EXPECT_TRUE(fg.entries().empty());
        EXPECT_FALSE(fg.isTimerSet());
    }
    COrvFunctionalGroup fg;
    EXPECT_EQ(fg.decode(nullptr), -1);
    EXPECT_TRUE(fg.entries().empty());
}

TEST(Decode, ExtendedAddressingKeepsTheAddressByte) {
    COrvFunctionalGroup fg;
    std::vector<uint8_t> d = RequestBytes(0x6F1, {0x22, 0xF1, 0x90}, {Entry(0x6F1, 0x640)}, 0x40);
    PASSTHRU_MSG msg = Message(d, ISO15765_ADDR_TYPE);
    EXPECT_EQ(fg.decode(&msg), 5);
    EXPECT_EQ(DataOf(msg), (std::vector<uint8_t>{0x00, 0x00, 0x06, 0xF1, 0x40, 0x22, 0xF1, 0x90}));
    EXPECT_EQ(fg.sid(), 0x22);

    PASSTHRU_MSG smallest = Message(RequestBytes(0x6F1, {0x22}, {FullEntry()}, 0x40), ISO15765_ADDR_TYPE);
    ASSERT_EQ(smallest.DataSize, 79u);
    EXPECT_EQ(COrvFunctionalGroup().decode(&smallest), 5);
}

TEST(Decode, EntriesOfEarlierRequestsStay) {
    COrvFunctionalGroup fg;
    PASSTHRU_MSG first = Request(0x18DB33F1, {0x19, 0x02, 0xFF}, {Entry(1, 0x7E8), Entry(2, 0x7E9)});
    PASSTHRU_MSG second = Request(0x7DF, {0x10, 0x03}, {Entry(3, 0x7EA)});
    ASSERT_EQ(fg.decode(&first), 4);
    EXPECT_EQ(DataOf(first), (std::vector<uint8_t>{0x18, 0xDB, 0x33, 0xF1, 0x19, 0x02, 0xFF}));
    EXPECT_EQ(fg.sid(), 0x19);
    ASSERT_EQ(fg.decode(&second), 4);
    EXPECT_EQ(fg.respCanIds(), (std::vector<uint32_t>{0x7E8, 0x7E9, 0x7EA}));
    EXPECT_EQ(fg.sid(), 0x10);
}

// The read path walks the table under m_readLock; decode must not extend it
// while the lock is held elsewhere.
TEST(Decode, WaitsForTheReadLock) {
    COrvFunctionalGroup fg;
    PASSTHRU_MSG msg = Request(0x7DF, {0x22}, {Entry(1, 0x7E8)});
    std::atomic<bool> done{false};
    m_readLock.lock();
    std::thread writer([&] {
        fg.decode(&msg);
        done = true;
    });
    plat::SleepMs(50);
    EXPECT_FALSE(done.load());
    EXPECT_TRUE(fg.entries().empty());
    m_readLock.unlock();
    writer.join();
    EXPECT_TRUE(done.load());
    EXPECT_EQ(fg.respCanIds(), std::vector<uint32_t>{0x7E8});
}

}  // namespace
