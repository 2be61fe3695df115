// One ISO 15765-2 connection on the CAN port: its filters, the transfers in
// flight, the locks that guard them and the settings the host gave. Every
// function of the transmit path, the receive analysis, the read path and the
// worker receives this object.
#ifndef PT_TRANSPORT_TRANSPORT_H
#define PT_TRANSPORT_TRANSPORT_H

#include <atomic>
#include <cstdint>
#include <map>
#include <vector>

#include "can/can_frame.h"
#include "j2534.h"
#include "trace/named_lock.h"
#include "transport/filters.h"
#include "transport/records.h"

class CanPort;
class TraceFile;
class TraceScope;

// What the layer above (the functional group) adds to the transport's paths.
class TransportHooks {
public:
    virtual ~TransportHooks() = default;
    // Before a message is segmented; may rewrite it in place.
    virtual void beforeWrite(PASSTHRU_MSG &msg, uint32_t channelId, uint32_t canId, TraceScope &scope) = 0;
    // A poll that found the receive queue empty. True when it ends the call
    // with status (and *pNumMsgs as set).
    virtual bool whenIdle(PASSTHRU_MSG &msg, uint32_t *pNumMsgs, uint32_t &status) = 0;
    // Messages were delivered into msg. True when it ends the call with status.
    virtual bool afterDelivery(PASSTHRU_MSG &msg, uint32_t *pNumMsgs, uint32_t &status, TraceScope &scope) = 0;
};

// The opt-in ISO 15765-2 field profile: flow-control WAIT and OVERFLOW,
// STmin in microseconds, consecutive frames at wire speed, reads that do not
// leave answers in the queue, strict reception, and filters that follow the
// port. Off, the transport behaves as it always has.
struct FieldProfile {
    bool on = false;
    int32_t maxWaits = 10;  // WAITs taken before a transfer is given up
};

class IsoTpTransport {
public:
    // pduTrace: "pdu_trace.log" when the PDU trace is on, else null.
    IsoTpTransport(CanPort &port, TraceFile *pduTrace, const FieldProfile &profile)
        : m_port(port), m_pPduTrace(pduTrace), m_profile(profile) {}
    IsoTpTransport(const IsoTpTransport &) = delete;
    IsoTpTransport &operator=(const IsoTpTransport &) = delete;

    void setHooks(TransportHooks *hooks) { m_hooks = hooks; }

    uint32_t PassThruWriteMsgs(uint32_t ChannelID, PASSTHRU_MSG *pMsg, uint32_t *pNumMsgs, uint32_t Timeout);
    uint32_t PassThruReadMsgs(uint32_t ChannelID, PASSTHRU_MSG *pMsg, uint32_t *pNumMsgs, uint32_t Timeout);

    // Analyses frames[0..frameCount) in order; complete messages go into
    // msgs, one after the other, and *pNumMsgs receives their number. msgs
    // has room for at least frameCount messages.
    void AnalyzeRxCanMessage(const CanFrame *frames, uint32_t frameCount, PASSTHRU_MSG *msgs, uint32_t *pNumMsgs);

    // One cycle of the worker without its sleep: under m_readLock, sends due
    // consecutive frames, ends and expires segmentation records, and every
    // 101st call expires reassembly records. cycleCounter is the worker's own.
    // Returns when (NowUs) the next consecutive frame is due with the field
    // profile, 0 when none is.
    uint64_t ThreadReadCycle(uint32_t &cycleCounter, TraceScope &scope);

    // Disconnect: no confirmation is owed any more.
    void clearPendingAcks();

    // Hands a frame of ours to the port, counting it as one the bus will
    // confirm (the field profile delivers the confirmation of a transfer's
    // last frame, not of whichever frame of it the bus confirms next).
    uint32_t transmit(uint32_t id, int32_t length, const uint8_t *data, uint32_t pad, TraceScope &scope,
                      bool *queueFull = nullptr);

    uint32_t takeSeqId() { return m_NextSeqId.fetch_add(1); }


    CanPort &m_port;
    TraceFile *const m_pPduTrace;
    const FieldProfile &m_profile;
    TransportHooks *m_hooks = nullptr;

    // Settings the host changes through PassThruIoctl while the read path
    // and the worker use them.
    std::atomic<int32_t> m_Iso15765BlockSize{0};
    std::atomic<int32_t> m_TimeoutOffset{0};
    std::atomic<int32_t> m_ExtAddressing{0};

    MessageFilters m_filters{m_port, m_ExtAddressing, m_profile.on};

    // Order: m_readLock before m_txLock; the filter lock is innermost.
    // m_readLock guards the reassembly records and serialises the worker's
    // cycle with the functional-group work of the read and write paths.
    NamedLock m_readLock;
    RxBufferList m_rxBuffer;
    // m_txLock guards the segmentation records and the confirmation map.
    NamedLock m_txLock;
    TxBufferList m_txBuffer;
    // Per CAN id: the bus's next confirmation of a frame on it is the host's.
    std::map<uint32_t, bool> m_ackPending;
    // Field profile: per CAN id, frames handed over that the bus has not
    // confirmed yet; guarded by m_txLock.
    std::map<uint32_t, uint32_t> m_unconfirmed;
    // Field profile: when (NowUs) the frames handed to the driver so far
    // will have left the bus; guarded by m_txLock.
    uint64_t m_busFreeUs = 0;
    // Sequence id of the next record of either kind (post-incremented); host
    // threads of writer and reader both take ids.
    std::atomic<uint32_t> m_NextSeqId{1};

private:
    // One poll of the receive queue and its analysis; tookFrame tells
    // whether the queue held a frame.
    uint32_t readOnce(uint32_t ChannelID, PASSTHRU_MSG *pMsg, uint32_t *pNumMsgs, uint32_t Timeout, uint32_t requested,
                      bool &tookFrame);
};

#endif
