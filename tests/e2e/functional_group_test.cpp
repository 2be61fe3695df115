// The vehicle maker's functional group end to end: a wrapped request to
// three ECUs goes out as one functional single frame, the members answer
// with extended addressing, and the host gets one aggregated message under
// the CANECU_CLASS id once P2 (or P2* after a response pending) is over.
#include <chrono>

#include "e2e.h"

namespace e2e {
namespace {

constexpr uint32_t kFunctionalId = 0x6F0;
constexpr uint8_t kFunctionalAddress = 0xDF;
constexpr uint32_t kGroupId = 0x6FF;  // CANECU_CLASS: the aggregated answer's id
// Long enough that a reader the machine holds up still finds every answer
// in the queue, or the next frame of a long one on its way, before P2 ends.
constexpr uint32_t kP2Ms = 400;
// The group timer runs on the system tick count, which may step by 16 ms.
constexpr uint32_t kTickGrainMs = 16;

// The tester sends functional requests on 0x6F0, so the members address it
// as 0xF0 (the low byte of the request id).
constexpr EcuAddress kBody{0x6F1, 0x641, 0x41, 0xF0};
constexpr EcuAddress kDoors{0x6F1, 0x642, 0x42, 0xF0};
constexpr EcuAddress kSeats{0x6F1, 0x643, 0x43, 0xF0};
constexpr EcuAddress kOutsider{0x7F0, 0x644, 0x44, 0xF0};

void PutLe(Bytes &out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// The wrapped request: id, address byte, 0x22, PDU length, PDU, entry count,
// and per member 17 values of 32 bits (request id, response id, ECU and
// tester address, then fields of other buses), least significant byte first.
PASSTHRU_MSG GroupRequest(const Bytes &pdu, const std::vector<EcuAddress> &members, uint8_t marker = 0x22) {
    Bytes d = {kFunctionalAddress, marker};
    PutLe(d, static_cast<uint32_t>(pdu.size()), 2);
    d.insert(d.end(), pdu.begin(), pdu.end());
    PutLe(d, static_cast<uint32_t>(members.size()), 2);
    for (const EcuAddress &m : members) {
        for (uint32_t v :
             {kFunctionalId, m.responseId, static_cast<uint32_t>(m.ecuAddress), static_cast<uint32_t>(m.testerAddress)})
            PutLe(d, v, 4);
        d.insert(d.end(), 13 * 4, 0);
    }
    return Msg(kFunctionalId, d, ISO15765_ADDR_TYPE);
}

// A member's answer to 22 01 00 whose record is `length` bytes long.
Bytes Answer(unsigned length) { return Cat({0x62, 0x01, 0x00}, Counting(length)); }

// The aggregated answer: 0x62, the record count, then per member's answer its
// length and the member's response id, least significant byte first, and the answer.
Bytes Aggregated(const std::vector<std::pair<EcuAddress, Bytes>> &records) {
    Bytes out = {0x62};
    PutLe(out, static_cast<uint32_t>(records.size()), 2);
    for (const auto &r : records) {
        PutLe(out, static_cast<uint32_t>(r.second.size()), 2);
        PutLe(out, r.first.responseId, 4);
        out.insert(out.end(), r.second.begin(), r.second.end());
    }
    return out;
}

class FunctionalGroup : public Vehicle {
protected:
    // The group's refusals of malformed requests are traced at full verbosity.
    FunctionalGroup() : Vehicle("TRACE=2\n") {
        EXPECT_EQ(STATUS_NOERROR, host.setConfig({{PT_CFG_ORV_EXTADDRESSING, 1},
                                                  {CANECU_CLASS, kGroupId},
                                                  {PT_CFG_ORV_P2MAX, 100 + kP2Ms},
                                                  {PT_CFG_ORV_P2EXTTIMEOUT7F78, 100 + 2000}}));
    }

    // A member whose DID 0x0100 holds recordLength bytes. The library's flow
    // control for a member's long answer goes out on the functional id; the
    // simulated ECUs take flow control only on their physical id, so a relay
    // node forwards it there.
    static void AddMember(const char *name, const EcuAddress &ecu, unsigned recordLength,
                          const std::string &extra = "") {
        AddEcu(EcuText(name, ecu, EcuFlow(),
                       "functional_id = " + std::to_string(kFunctionalId) +
                           "\nfunctional_address = " + std::to_string(kFunctionalAddress) +
                           "\nlong_did_length = " + std::to_string(recordLength) + "\n" + extra));
        const Bytes fc = FlowControl(ecu.ecuAddress, 0, 0);
        const int relay = vxlsim_responder_add(0, kFunctionalId, fc.data(), 2);
        ASSERT_GE(relay, 0);
        ASSERT_EQ(0, vxlsim_responder_reply(relay, ecu.requestId, 8, fc.data(), 0));
    }

    // Body, doors and seats with records of 1, 2 and seatsLength bytes.
    static void AddMembers(unsigned seatsLength, const std::string &doors = "", const std::string &seats = "") {
        AddMember("body", kBody, 1);
        AddMember("doors", kDoors, 2, doors);
        AddMember("seats", kSeats, seatsLength, seats);
    }

    // Sends 22 01 00 to body, doors and seats and reads until the aggregated
    // answer; elapsedMs: from the request to it.
    std::vector<PASSTHRU_MSG> askMembers(uint32_t *elapsedMs = nullptr) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(STATUS_NOERROR, host.write(GroupRequest({0x22, 0x01, 0x00}, {kBody, kDoors, kSeats})));
        auto got = host.readUntil([](const PASSTHRU_MSG &m) {
            return !IsConfirmation(m) && IdOf(m) == kGroupId && m.DataSize >= 7 && m.Data[4] == 0x62;
        });
        const auto took = std::chrono::steady_clock::now() - start;
        if (elapsedMs)
            *elapsedMs = static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count());
        return got;
    }
};

TEST_F(FunctionalGroup, ThreeEcusAnswerInOneMessage) {
    AddMembers(30);  // the seats' answer takes several frames
    uint32_t elapsed = 0;
    const auto got = askMembers(&elapsed);
    ASSERT_EQ(2u, got.size());
    ExpectConfirmation(got[0], kFunctionalId);
    ExpectMessage(got[1], kGroupId, Aggregated({{kBody, Answer(1)}, {kDoors, Answer(2)}, {kSeats, Answer(30)}}));
    EXPECT_GE(elapsed + kTickGrainMs, kP2Ms);

    const std::vector<Bytes> seats = Segment(Answer(30), Framing{0xF0, true, true, 0xFF});
    // Our flow control goes to the seats on the functional id and is relayed to its physical id.
    std::vector<std::string> bus = {"6F0: DF 03 22 01 00",          "641: F0 04 62 01 00 00 FF FF",
                                    "642: F0 05 62 01 00 00 01 FF", FrameLine(kSeats.responseId, seats[0]),
                                    "6F0: 43 30 00 00 FF FF FF FF", "6F1: 43 30 00 00 FF FF FF FF"};
    for (size_t i = 1; i < seats.size(); ++i) bus.push_back(FrameLine(kSeats.responseId, seats[i]));
    EXPECT_EQ(bus, BusLines());
    EXPECT_TRUE(host.readFor(50).empty());
}

// The doors answer "response pending" first: the host sees it under the
// group's id at once, and the group waits P2* instead of P2 for the rest.
// The next request's answers are gathered for P2 again, not P2*.
TEST_F(FunctionalGroup, ResponsePendingSwitchesToP2StarForItsRequest) {
    ASSERT_EQ(STATUS_NOERROR, host.setConfig({{PT_CFG_ORV_P2MAX, 150}, {PT_CFG_ORV_P2EXTTIMEOUT7F78, 1100}}));
    AddMembers(3, "pending = 1\npending_interval_ms = 150\n");
    uint32_t elapsed = 0;
    auto got = askMembers(&elapsed);
    ASSERT_EQ(3u, got.size());
    ExpectConfirmation(got[0], kFunctionalId);
    ExpectMessage(got[1], kGroupId, {0x7F, 0x22, 0x78});
    // The doors' final answer came after P2 (50 ms) and is still in.
    ExpectMessage(got[2], kGroupId, Aggregated({{kBody, Answer(1)}, {kSeats, Answer(3)}, {kDoors, Answer(2)}}));
    EXPECT_GE(elapsed + kTickGrainMs, 1000u);

    ASSERT_EQ(0, vxlsim_ecu_set(vxlsim_ecu_find("doors"), "pending", "0"));
    got = askMembers(&elapsed);
    ASSERT_EQ(2u, got.size());
    ExpectMessage(got[1], kGroupId, Aggregated({{kBody, Answer(1)}, {kDoors, Answer(2)}, {kSeats, Answer(3)}}));
    EXPECT_GE(elapsed + kTickGrainMs, 50u);
    EXPECT_LT(elapsed, 700u);  // P2* is 1000 ms
}

// The seats answer too late, and an ECU that is not in the group's table
// answers the same request at once: the aggregated message holds what the
// members sent within P2, the other answers reach the host on their own ids.
TEST_F(FunctionalGroup, LateAndOutsideAnswersComeOnTheirOwnIds) {
    AddMembers(30, "", "response_delay_ms = 600\n");
    AddMember("outsider", kOutsider, 3);
    host.listen(kOutsider.responseId, kOutsider.requestId, kOutsider.testerAddress, kOutsider.ecuAddress);
    ASSERT_EQ(STATUS_NOERROR, host.setConfig({{PT_CFG_ORV_P2MAX, 200}}));
    auto got = askMembers();
    ASSERT_EQ(3u, got.size());
    ExpectConfirmation(got[0], kFunctionalId);
    ExpectMessage(got[1], kOutsider.responseId, Answer(3));
    ExpectMessage(got[2], kGroupId, Aggregated({{kBody, Answer(1)}, {kDoors, Answer(2)}}));

    got = host.readAnswerFrom(kSeats.responseId);
    ASSERT_EQ(1u, got.size());
    ExpectMessage(got[0], kSeats.responseId, Answer(30));
    EXPECT_TRUE(host.readFor(150).empty());
}

// A negative response to the group's own service is a member's answer and
// gathered; one that names another service reaches the host on its own id.
TEST_F(FunctionalGroup, NegativeResponsesByTheirService) {
    AddMember("seats", kSeats, 3, "response_delay_ms = 20\n");  // after the others
    const Bytes request = {kFunctionalAddress, 0x03, 0x22, 0x01, 0x00};
    const struct {
        EcuAddress ecu;
        Bytes answer;
    } members[] = {{kBody, {0x7F, 0x22, 0x31}}, {kDoors, {0x7F, 0x10, 0x22}}};
    for (const auto &m : members) {
        const int node = vxlsim_responder_add(0, kFunctionalId, request.data(), 3);
        ASSERT_GE(node, 0);
        const Bytes frame = Segment(m.answer, Framing{m.ecu.testerAddress, true})[0];
        ASSERT_EQ(0, vxlsim_responder_reply(node, m.ecu.responseId, 8, frame.data(), 1000));
    }
    const auto got = askMembers();
    ASSERT_EQ(3u, got.size());
    ExpectConfirmation(got[0], kFunctionalId);
    ExpectMessage(got[1], kDoors.responseId, {0x7F, 0x10, 0x22});
    ExpectMessage(got[2], kGroupId, Aggregated({{kBody, {0x7F, 0x22, 0x31}}, {kSeats, Answer(3)}}));
}

// A request that is not a well-formed group request goes out as written.
TEST_F(FunctionalGroup, MalformedRequestsGoOutUnwrapped) {
    vxlsim_set_real_timing(0);  // each first frame is on the bus when the write returns
    PASSTHRU_MSG shortByOne = GroupRequest({0x22}, {kBody});
    --shortByOne.DataSize;
    PASSTHRU_MSG countMismatch = GroupRequest({0x22}, {kBody, kDoors});
    countMismatch.Data[4 + 5] = 3;
    const struct {
        const char *text;
        PASSTHRU_MSG msg;
    } cases[] = {
        {"Message is not a functional message (min. length mismatch).", shortByOne},
        {"Message is not a functional message (special byte (0x22) mismatch).", GroupRequest({0x22}, {kBody}, 0x21)},
        {"Message is not a functional message (length mismatch).", countMismatch},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        vxlsim_capture_clear();
        const size_t before = host.tracedCount(c.text);
        ASSERT_EQ(STATUS_NOERROR, host.write(c.msg));
        EXPECT_EQ(before + 1, host.tracedCount(c.text));
        const Bytes sent = DataOf(c.msg);
        const auto frames = Segment(Bytes(sent.begin() + 5, sent.end()), Framing{kFunctionalAddress, false, true});
        EXPECT_EQ(std::vector<std::string>{FrameLine(kFunctionalId, frames[0])}, BusLines());
    }
}

}  // namespace
}  // namespace e2e
