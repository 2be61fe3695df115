// Transfers in flight: the reassembly and segmentation records the receive
// analysis, the transmit path and the worker share.
#ifndef PT_TRANSPORT_RECORDS_H
#define PT_TRANSPORT_RECORDS_H

#include <cstdint>
#include <list>
#include <memory>

#include "j2534.h"

constexpr uint32_t STATE_RX_ACTIVE = 0x10;
constexpr uint32_t STATE_TX_WAIT_FC = 0x20;
constexpr uint32_t STATE_TX_SEND_CF = 0x21;
constexpr uint32_t STATE_TX_DONE = 0x22;

constexpr uint32_t RX_TIMEOUT_MS = 900;
constexpr uint32_t FC_WAIT_TIMEOUT_MS = 1000;
// The longest message (4095 bytes with an address byte) needs 682 frames.
constexpr uint32_t TX_CF_SLOTS = 684;

// One reassembly in progress; guarded by m_readLock.
struct RxBufferEntry {
    uint32_t canId = 0;
    uint32_t expectedLen = 0;
    uint32_t receivedLen = 0;
    uint32_t state = 0;
    PASSTHRU_MSG msg{};
    uint16_t nextSn = 0;  // never wrapped; only its low nibble is compared
    uint32_t timeoutMs = 0;
    uint32_t seqId = 0;
};

// One multi-frame message being sent; guarded by m_txLock once listed.
struct TxBufferEntry {
    uint32_t canId = 0;
    uint32_t m_TxMsgLen = 0;
    uint32_t m_TxActLen = 0;
    uint32_t state = 0;
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
    uint8_t frames[TX_CF_SLOTS][8]{};
};

// A list of records and their count, kept together as the trace reports both.
template <typename Record>
struct RecordList {
    std::list<std::unique_ptr<Record>> items;
    int32_t count = 0;

    void append(std::unique_ptr<Record> record) {
        items.push_back(std::move(record));
        ++count;
    }

    using iterator = typename std::list<std::unique_ptr<Record>>::iterator;

    // Walks the list from the head; visit(where) returns true when it took
    // the record out. After a removal the walk starts again at the head, so
    // a record before the removed one may be visited twice.
    template <typename Visit>
    void walk(Visit visit) {
        for (auto it = items.begin(); it != items.end();) {
            if (visit(it)) {
                it = items.begin();
                continue;
            }
            ++it;
        }
    }

    void remove(iterator where) {
        items.erase(where);
        --count;
    }
};

using RxBufferList = RecordList<RxBufferEntry>;
using TxBufferList = RecordList<TxBufferEntry>;

#endif
