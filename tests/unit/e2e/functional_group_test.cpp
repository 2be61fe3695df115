// The vehicle maker's functional group end to end: a wrapped request to
// three ECUs goes out as one functional single frame, the members answer
// with extended addressing, and the host gets one aggregated message under
// the CANECU_CLASS id once P2 (or P2* after a response pending) is over.
#include "../fg/fg_messages.h"
#include "e2e_world.h"

namespace e2e {
namespace {

constexpr uint32_t kFunctionalId = 0x6F0;
constexpr uint8_t kFunctionalAddress = 0xDF;
constexpr uint32_t kGroupId = 0x6FF;  // CANECU_CLASS: the aggregated answer's id
// Long enough that a reader the machine holds up still finds every answer
// in the queue, or the next frame of a long one on its way, before P2 ends.
constexpr uint32_t kP2Ms = 400;
constexpr uint32_t kP2StarMs = 2000;
// The group timer runs on the system tick count, which may step by 16 ms.
constexpr uint32_t kTickGrainMs = 16;

// The tester sends functional requests on 0x6F0, so the members address it
// as 0xF0 (the low byte of the request id).
constexpr EcuAddress kBody{0x6F1, 0x641, 0x41, 0xF0};
constexpr EcuAddress kDoors{0x6F1, 0x642, 0x42, 0xF0};
constexpr EcuAddress kSeats{0x6F1, 0x643, 0x43, 0xF0};
// Under the maker's scheme a host's own filters take the tester's address
// from the low byte of the physical request id.
constexpr EcuAddress kOutsider{0x7F0, 0x644, 0x44, 0xF0};

// Answer of a member to 22 01 00 whose record is `length` bytes long.
Bytes RecordAnswer(unsigned length) {
    Bytes answer = {0x62, 0x01, 0x00};
    for (unsigned k = 0; k < length; ++k) answer.push_back(static_cast<uint8_t>(k));
    return answer;
}

// Aggregated record: length and id least significant byte first, payload.
Bytes Record(const EcuAddress &ecu, const Bytes &payload) {
    Bytes r;
    fgtest::PutLe16(r, static_cast<uint32_t>(payload.size()));
    fgtest::PutLe32(r, ecu.responseId);
    r.insert(r.end(), payload.begin(), payload.end());
    return r;
}

Bytes Aggregated(const std::vector<Bytes> &records) {
    Bytes out = {0x62};
    fgtest::PutLe16(out, static_cast<uint32_t>(records.size()));
    for (const Bytes &r : records) out.insert(out.end(), r.begin(), r.end());
    return out;
}

class FunctionalGroup : public E2eTest {
protected:
    void SetUp() override {
        E2eTest::SetUp();
        ASSERT_EQ(STATUS_NOERROR, SetConfig({{PT_CFG_ORV_EXTADDRESSING, 1},
                                             {CANECU_CLASS, kGroupId},
                                             {PT_CFG_ORV_P2MAX, 100 + kP2Ms},
                                             {PT_CFG_ORV_P2EXTTIMEOUT7F78, 100 + kP2StarMs}}));
    }

    // A member whose DID 0x0100 holds recordLength bytes. The library's flow
    // control for a member's long answer goes out on the functional id; the
    // simulated ECUs take flow control only on their physical id, so a relay
    // node forwards it there.
    static void AddMember(const char *name, const EcuAddress &ecu, unsigned recordLength,
                          const std::string &extra = "") {
        char settings[160];
        std::snprintf(settings, sizeof settings,
                      "functional_id = 0x%X\nfunctional_address = 0x%02X\nlong_did_length = %u\n",
                      static_cast<unsigned>(kFunctionalId), kFunctionalAddress, recordLength);
        AddEcu(EcuText(name, ecu, EcuFlow(), settings + extra));
        const Bytes fc = FlowControl(ecu.ecuAddress, 0, 0, true, 0xFF);
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
    static std::vector<PASSTHRU_MSG> AskMembers(uint32_t *elapsedMs = nullptr) {
        std::vector<GroupEntry> entries;
        for (const EcuAddress &m : {kBody, kDoors, kSeats}) {
            GroupEntry e = fgtest::Entry(kFunctionalId, m.responseId);
            e.DiagAddrEcu = static_cast<uint32_t>(m.ecuAddress);
            e.DiagAddrTester = static_cast<uint32_t>(m.testerAddress);
            entries.push_back(e);
        }
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(STATUS_NOERROR,
                  Write(fgtest::Message(fgtest::RequestBytes(kFunctionalId, {0x22, 0x01, 0x00}, entries,
                                                             kFunctionalAddress),
                                        ISO15765_ADDR_TYPE)));
        auto got = ReadUntil(IsAggregated);
        if (elapsedMs) *elapsedMs = ElapsedMs(start);
        return got;
    }

    static bool IsAggregated(const PASSTHRU_MSG &m) {
        return !IsConfirmation(m) && IdOf(m) == kGroupId && m.DataSize >= 7 && m.Data[4] == 0x62;
    }
};

TEST_F(FunctionalGroup, ThreeEcusAnswerInOneMessage) {
    AddMembers(30);  // the seats' answer takes several frames
    uint32_t elapsed = 0;
    auto got = AskMembers(&elapsed);
    ASSERT_EQ(2u, got.size());
    ExpectConfirmation(got[0], kFunctionalId);
    ExpectMessage(got[1], kGroupId,
                  Aggregated({Record(kBody, RecordAnswer(1)), Record(kDoors, RecordAnswer(2)),
                              Record(kSeats, RecordAnswer(30))}));
    EXPECT_GE(elapsed + kTickGrainMs, kP2Ms);

    std::vector<std::string> bus = {"6F0: DF 03 22 01 00", "641: F0 04 62 01 00 00 FF FF",
                                    "642: F0 05 62 01 00 00 01 FF"};
    const std::vector<Bytes> seats = Segment(RecordAnswer(30), Framing{0xF0, true, true, 0xFF});
    bus.push_back(FrameLine(kSeats.responseId, seats[0]));
    bus.push_back("6F0: 43 30 00 00 FF FF FF FF");  // our flow control, addressed to the seats
    bus.push_back("6F1: 43 30 00 00 FF FF FF FF");  // relayed to its physical id
    for (size_t i = 1; i < seats.size(); ++i) bus.push_back(FrameLine(kSeats.responseId, seats[i]));
    EXPECT_EQ(bus, BusLines());
    EXPECT_TRUE(ReadFor(50).empty());
}

// The doors answer "response pending" first: the host sees it under the
// group's id at once, and the group waits P2* instead of P2 for the rest.
TEST_F(FunctionalGroup, ResponsePendingSwitchesToP2Star) {
    ASSERT_EQ(STATUS_NOERROR, SetConfig({{PT_CFG_ORV_P2MAX, 150}, {PT_CFG_ORV_P2EXTTIMEOUT7F78, 1100}}));
    AddMembers(3, "pending = 1\npending_interval_ms = 150\n");
    uint32_t elapsed = 0;
    auto got = AskMembers(&elapsed);
    ASSERT_EQ(3u, got.size());
    ExpectConfirmation(got[0], kFunctionalId);
    ExpectMessage(got[1], kGroupId, {0x7F, 0x22, 0x78});
    // The doors' final answer came after P2 (50 ms) and is still in.
    ExpectMessage(got[2], kGroupId,
                  Aggregated({Record(kBody, RecordAnswer(1)), Record(kSeats, RecordAnswer(3)),
                              Record(kDoors, RecordAnswer(2))}));
    EXPECT_GE(elapsed + kTickGrainMs, 1000u);
}

// The seats answer too late, and an ECU that is not in the group's table
// answers the same request at once: the aggregated message holds what the
// members sent within P2, and the other answers reach the host on their own ids.
TEST_F(FunctionalGroup, LateAndOutsideAnswersComeOnTheirOwnIds) {
    AddMembers(30, "", "response_delay_ms = 600\n");
    AddMember("outsider", kOutsider, 3);
    Listen(kOutsider);
    ASSERT_EQ(STATUS_NOERROR, SetConfig({{PT_CFG_ORV_P2MAX, 200}}));
    auto got = AskMembers();
    ASSERT_EQ(3u, got.size());
    ExpectConfirmation(got[0], kFunctionalId);
    ExpectMessage(got[1], kOutsider.responseId, RecordAnswer(3));
    ExpectMessage(got[2], kGroupId, Aggregated({Record(kBody, RecordAnswer(1)), Record(kDoors, RecordAnswer(2))}));

    got = ReadAnswerFrom(kSeats.responseId);
    ASSERT_EQ(1u, got.size());
    ExpectMessage(got[0], kSeats.responseId, RecordAnswer(30));
    EXPECT_TRUE(ReadFor(150).empty());
}

}  // namespace
}  // namespace e2e
