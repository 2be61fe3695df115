// Transfers in flight: the reassembly and segmentation records. Each kind
// has one owner (IncomingTransfers, OutgoingTransfers) that keeps them in a
// RecordList under its own lock.
#ifndef PT_TRANSPORT_RECORDS_H
#define PT_TRANSPORT_RECORDS_H

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>

#include "can/can_frame.h"
#include "transport/iso_tp.h"

// Queued: a message behind the one in flight on its identifier, nothing of
// it sent yet. A record leaves its list when its transfer ends.
enum class TxState { Queued, WaitForFlowControl, SendConsecutive };

constexpr uint32_t RX_TIMEOUT_MS = 900;
constexpr uint32_t FC_WAIT_TIMEOUT_MS = 1000;
// The most payload a reception gathers: what a host's message of 4128 bytes
// holds behind its 4-byte identifier.
constexpr uint32_t ISOTP_MAX_PAYLOAD = 4124;
// Consecutive frames a transfer can prepare: the longest message in 8-byte
// frames behind an address byte (6 payload bytes each) needs 688. Frames of a
// larger TX_DL carry more and need fewer bytes in all.
constexpr uint32_t TX_CF_SLOTS = 688;
constexpr uint32_t TX_CF_BYTES = TX_CF_SLOTS * CAN_MAX_DLEN;

// A message the peer sent us, as the transport hands it over: its
// identifier (bit 31 for 29-bit), the address byte its frames carried, the
// driver's time of its last frame, its payload. A confirmation is the bus's
// confirmation of a frame of ours, for a host that reads them as messages.
struct ReceivedMessage {
    uint32_t canId = 0;
    IsoTpAddress addr;
    uint32_t timestampUs = 0;
    bool confirmation = false;
    // CAN_FRAME_FD and CAN_FRAME_FD_BRS as its last frame came.
    uint8_t frameFormat = 0;
    uint32_t length = 0;
    uint8_t payload[ISOTP_MAX_PAYLOAD];  // the first length bytes are valid
};

// One reassembly in progress.
struct RxBufferEntry {
    uint32_t canId = 0;
    uint32_t expectedLen = 0;
    uint32_t receivedLen = 0;
    uint32_t length = 0;  // bytes in payload
    uint8_t payload[ISOTP_MAX_PAYLOAD];
    uint16_t nextSn = 0;  // never wrapped; only its low nibble is compared
    // RX_DL: the length of the first frame, which every consecutive frame but
    // the last must have.
    uint8_t rxDl = CAN_MAX_DLEN;
    uint32_t timeoutMs = 0;
    uint32_t waitMs = RX_TIMEOUT_MS;  // N_Cr: the wait for each next frame
    uint32_t seqId = 0;
    // A frame of this reception came shorter than a whole CAN frame.
    bool shortFrame = false;
};

// One multi-frame message being sent.
struct TxBufferEntry {
    uint32_t canId = 0;
    uint32_t m_TxMsgLen = 0;
    uint32_t m_TxActLen = 0;
    TxState state = TxState::WaitForFlowControl;
    uint8_t bs = 0;
    uint8_t act_blk = 0;
    uint8_t stmin = 0;
    uint32_t nextTx = 0;
    uint16_t cfCount = 0;
    uint16_t cfSent = 0;
    uint32_t seqId = 0;
    uint32_t timeoutMs = 0;
    uint8_t extFlag = 0;
    uint8_t extAddr = 0;
    // Field profile: STmin and the next frame's time in microseconds, and
    // the WAITs the peer has sent so far.
    uint32_t stminUs = 0;
    uint64_t nextTxUs = 0;
    int32_t fcWaits = 0;
    // The sender's token for the message's result (0: the host is told
    // through the confirmation of its last frame instead).
    uint64_t token = 0;
    // A queued single frame: its bytes are heldFrame, singleLength long.
    bool single = false;
    uint8_t singleLength = 0;
    // The last consecutive frame's length on the bus, and whether frames are
    // filled up with padByte.
    uint8_t lastLength = CAN_MAX_DLEN;
    uint32_t pad = 0;
    uint8_t padByte = CAN_PAD_BYTE;
    // TX_DL and the frames' format (CAN_FRAME_FD...) for the whole transfer.
    uint8_t frameLength = CAN_MAX_DLEN;
    uint8_t frameFormat = 0;
    // The first frame until it goes, or the queued single frame.
    uint8_t heldFrame[CANFD_MAX_DLEN]{};
    // The consecutive frames, frameLength bytes apart.
    uint8_t cfBytes[TX_CF_BYTES]{};

    uint8_t *consecutive(uint32_t i) { return cfBytes + i * frameLength; }
    // Payload bytes of one consecutive frame.
    uint8_t consecutivePayload() const {
        return static_cast<uint8_t>(frameLength - (extFlag ? 1 : 0) - CF_PCI_SIZE);
    }
};

// The sequence id of the next record of either kind; the trace follows a
// transfer by it. Host threads of writer and reader both take ids.
class SequenceIds {
public:
    uint32_t take() { return m_next.fetch_add(1); }

private:
    std::atomic<uint32_t> m_next{1};
};

// A list of records and their count, kept together as the trace reports both.
template <typename Record>
class RecordList {
public:
    using iterator = typename std::list<std::unique_ptr<Record>>::iterator;

    void append(std::unique_ptr<Record> record) {
        m_items.push_back(std::move(record));
        ++m_count;
    }

    void remove(iterator where) {
        m_items.erase(where);
        --m_count;
    }

    int32_t count() const { return m_count; }
    iterator begin() { return m_items.begin(); }
    iterator end() { return m_items.end(); }

    // Walks the list from the head; visit(where) returns true when it took
    // the record out. After a removal the walk starts again at the head, so
    // a record before the removed one may be visited twice.
    template <typename Visit>
    void walk(Visit visit) {
        for (auto it = m_items.begin(); it != m_items.end();) {
            if (visit(it)) {
                it = m_items.begin();
                continue;
            }
            ++it;
        }
    }

private:
    std::list<std::unique_ptr<Record>> m_items;
    int32_t m_count = 0;
};

using RxBufferList = RecordList<RxBufferEntry>;
using TxBufferList = RecordList<TxBufferEntry>;

#endif
