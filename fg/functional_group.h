// The vehicle maker's functional group: a wrapped request to a group of ECUs
// is unwrapped and sent, and the group's responses are gathered into one
// aggregated message that is delivered when the P2 (or P2*) time has run out.
#ifndef PT_FG_FUNCTIONAL_GROUP_H
#define PT_FG_FUNCTIONAL_GROUP_H

#include <atomic>
#include <cstdint>
#include <vector>

#include "j2534.h"
#include "platform/named_lock.h"

// Marker byte in front of a functional request's PDU length.
constexpr uint8_t FG_REQUEST_MARKER = 0x22;
// Marker byte in front of the aggregated response's record count.
constexpr uint8_t FG_RESPONSE_MARKER = 0x62;
// Wire size of one GroupEntry: seventeen 32-bit fields, least significant byte first.
constexpr uint32_t FG_GROUP_ENTRY_SIZE = 68;
// CAN id (4), marker (1), PDU length (2), a one-byte PDU, entry count (2), one entry.
constexpr uint32_t FG_REQUEST_MIN_SIZE = 4 + 1 + 2 + 1 + 2 + FG_GROUP_ENTRY_SIZE;
// CAN id (4), marker (1), record count (2).
constexpr uint32_t FG_RESPONSE_HEADER_SIZE = 7;
// Payload length (2) and CAN id (4) in front of every gathered response.
constexpr uint32_t FG_RECORD_HEADER_SIZE = 6;

// Negative response: 7F <service> <code>; code 78 asks the tester to wait.
constexpr uint8_t UDS_NEGATIVE_RESPONSE = 0x7F;
constexpr uint8_t UDS_NRC_RESPONSE_PENDING = 0x78;

// One ECU of the group as the host describes it. Only RespCanID is used;
// the reserved fields are carried for the host and never interpreted.
struct GroupEntry {
    uint32_t ReqCanID;
    uint32_t RespCanID;
    uint32_t DiagAddrEcu;
    uint32_t DiagAddrTester;
    uint32_t Reserved4[3];
    uint32_t MOST_DeviceID;
    uint32_t Reserved8[4];
    uint32_t MOST_TDeviceID;
    uint32_t Reserved13;
    uint32_t FlexRay_TxSlotId;
    uint32_t FlexRay_RxSlotId;
    uint32_t FlexRay_TxSlotIdFc;
};
static_assert(sizeof(GroupEntry) == FG_GROUP_ENTRY_SIZE, "GroupEntry holds the 17 wire fields");

// The group's table, its gathered responses and its timer. Every member
// function takes the group's own lock where it touches the table or the
// responses; the timer values are atomic because the read path tests them
// without the lock and the Ioctl thread sets the limits.
class COrvFunctionalGroup {
public:
    COrvFunctionalGroup() = default;
    COrvFunctionalGroup(const COrvFunctionalGroup &) = delete;
    COrvFunctionalGroup &operator=(const COrvFunctionalGroup &) = delete;

    // Unwraps a functional request in place, keeps its group table and
    // starts the receive timer. Returns the header length (4, or 5 with an
    // address byte), or -1 when msg is not a functional request (then msg is
    // unchanged).
    int32_t unwrapRequest(PASSTHRU_MSG *msg);
    // Takes a response of an ECU of the group into the aggregation (true).
    bool takeResponse(const PASSTHRU_MSG *msg, bool *pending = nullptr);
    // Writes the aggregated response under canId into msg and resets the group.
    void prepareToSendResponses(PASSTHRU_MSG *msg, uint32_t canId);

    void startReceiveTimer();
    bool isTimerSet();
    bool isReceiveTimerElapsed();
    // The P2 limits in ms, to which the time-out offset is added.
    void setTimeoutp2Max(int32_t value);
    void setTimeoutp2MaxRespPending(int32_t value);
    // PT_IOCTLID_TIMEOUT_OFFSET: added to the P2 limits set after it.
    void setTimeoutOffset(int32_t offset) { m_TimeoutOffset = offset; }
    int32_t timeoutOffset() const { return m_TimeoutOffset; }

    // The response CAN id of each entry in order.
    std::vector<uint32_t> respCanIds() const;

    uint32_t p2Max() const { return m_P2Max; }
    uint32_t p2Star() const { return m_P2Star; }
    bool isRespondPending() const { return m_bRespondPending; }

    // CANECU_CLASS: > 0 switches the group on and is the CAN id of the
    // aggregated answers.
    void setResponseCanId(int32_t canId) { m_ResponseCanId = canId; }
    uint32_t responseCanId() const { return static_cast<uint32_t>(m_ResponseCanId.load()); }
    bool active() const { return m_ResponseCanId > 0; }

private:
    // True for a negative response that is not to be aggregated: a response
    // pending to the group's service, or a 7F for another service.
    // Runs with m_lock held.
    bool doHandlingFor7fxx78_(uint32_t length, const uint8_t *payload, bool *pending);
    std::atomic<int32_t> m_ResponseCanId{0};
    std::atomic<int32_t> m_TimeoutOffset{0};
    std::atomic<uint32_t> m_ReceiveTimerStart{0};
    std::atomic<uint32_t> m_P2Max{0};
    std::atomic<bool> m_bRespondPending{false};
    std::atomic<uint32_t> m_P2Star{0};

    // Guards the table, the responses and the service id.
    mutable NamedLock m_lock;
    std::vector<GroupEntry> m_Entries;
    std::vector<uint8_t> m_Responses;
    uint16_t m_ResponseCount = 0;
    uint8_t m_Sid = 0;
};

#endif
