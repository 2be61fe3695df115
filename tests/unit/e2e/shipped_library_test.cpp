// The shipped library loaded as the diagnostic server loads it, with full
// trace and PDU trace: one session, then the files it leaves behind.
#include "e2e_world.h"
#include "host_library.h"

namespace e2e {
namespace {

// The text of each PDU trace line after its date and time ("05.03.2007 14:02:09").
std::vector<std::string> PduTexts(const std::string &path) {
    std::vector<std::string> out;
    for (const std::string &line : ReadLines(path)) out.push_back(line.size() > 19 ? line.substr(19) : line);
    return out;
}

// Some message line ("<scope> : <text>") carries exactly this text.
bool Contains(const std::vector<std::string> &messages, const std::string &text) {
    const std::string tail = " : " + text;
    for (const std::string &m : messages)
        if (m.size() >= tail.size() && m.compare(m.size() - tail.size(), tail.size(), tail) == 0) return true;
    return false;
}

TEST(ShippedLibrary, SessionLeavesTraceAndPduTrace) {
    vxlsim_reset();
    ASSERT_EQ(0, vxlsim_load_config_text(kOneCard));
    ASSERT_GE(vxlsim_ecu_add(EcuText("engine", kEngine).c_str()), 0);
    HostLibrary host("[MORIX_VECTOR]\nTRACE=18\n");
    ASSERT_TRUE(host.load());
    const J2534Api &pt = host.api();

    uint32_t channel = 0;
    ASSERT_EQ(STATUS_NOERROR, pt.Connect(ISO15765, 0, &channel));
    std::vector<SCONFIG> params = {{DATA_RATE, 500000}, {ISO15765_BS, 0}};
    SCONFIG_LIST list{static_cast<uint32_t>(params.size()), params.data()};
    ASSERT_EQ(STATUS_NOERROR, pt.Ioctl(channel, SET_CONFIG, &list, nullptr));
    PASSTHRU_MSG mask = FilterMsg(4, 0x7FF), pattern = FilterMsg(4, 0x7E8), flow = FilterMsg(4, 0x7E0);
    uint32_t filterId = 0;
    ASSERT_EQ(STATUS_NOERROR, pt.StartMsgFilter(channel, PASS_FILTER, &mask, &pattern, &flow, &filterId));
    ASSERT_EQ(STATUS_NOERROR, pt.StartMsgFilter(channel, FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &filterId));

    PASSTHRU_MSG request = Request(0x7E0, {0x10, 0x03});
    uint32_t num = 1;
    ASSERT_EQ(STATUS_NOERROR, pt.WriteMsgs(channel, &request, &num, 0));
    std::vector<PASSTHRU_MSG> got;
    auto msg = std::make_unique<PASSTHRU_MSG>();
    const auto start = std::chrono::steady_clock::now();
    while (got.size() < 2 && ElapsedMs(start) < 5000) {
        num = 1;
        if (pt.ReadMsgs(channel, msg.get(), &num, 0) == STATUS_NOERROR)
            got.push_back(*msg);
        else
            plat::SleepMs(1);
    }
    ASSERT_EQ(2u, got.size());
    ExpectConfirmation(got[0], kEngine.requestId);
    ExpectMessage(got[1], kEngine.responseId, {0x50, 0x03, 0x00, 0x32, 0x01, 0xF4});
    ASSERT_EQ(STATUS_NOERROR, pt.Disconnect(channel));
    host.unload();

    const std::vector<std::string> pdu = PduTexts(host.pduPath());
    ASSERT_EQ(3u, pdu.size());
    EXPECT_EQ(" CAN-TX 0x07e0 0x10 0x03 ", pdu[1]);
    // The pass filter's address byte (none: 0x00) comes before the data.
    EXPECT_EQ(" CAN-RX 0x07e8 0x00 0x50 0x03 0x00 0x32 0x01 0xf4 ", pdu[2]);

    const std::vector<std::string> trace = host.traceMessages();
    for (const char *text : {"PassThruConnect ProtocolID=00000006 Flags=00000000 ",
                             "PassThruConnect-CAN is active now!", "Set baudrate of interface to 500000 Baud...",
                             "Set ISO15765_BS 0 byte...", "PassThruWriteMsg->ACK ->CanID: 7E0 ",
                             "PASSFilter-Aknowledge ACK passed to PT interface",
                             "new messages in receive queue! STATUS_NOERROR"})
        EXPECT_TRUE(Contains(trace, text)) << text;
    vxlsim_reset();
}

}  // namespace
}  // namespace e2e
