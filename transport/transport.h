// One ISO 15765-2 connection on the CAN port: its filters, the transfers in
// flight both ways and the settings the host gave.
//
// Locks: the outgoing transfers, the incoming reassemblies and the filters
// each have their own, and no two of them are ever held together (the
// filters are asked before or after the transfers' locks, never inside
// them). Inside any of them only the trace's locks are taken. The
// functional group above keeps its own lock and never holds it while it
// calls in here.
#ifndef PT_TRANSPORT_TRANSPORT_H
#define PT_TRANSPORT_TRANSPORT_H

#include <atomic>
#include <cstdint>

#include "can/can_frame.h"
#include "can/field_profile.h"
#include "j2534.h"
#include "transport/filters.h"
#include "transport/incoming.h"
#include "transport/outgoing.h"
#include "transport/records.h"

class CanPort;
class TraceFile;
class TraceScope;

// The worker looks at the reassembly deadlines every RX_CHECK_CYCLES-th cycle.
constexpr uint32_t RX_CHECK_CYCLES = 100;

// What a frame did besides completing a message, for a caller that asks.
struct ReceiveNote {
    bool firstFrame = false;  // a first frame opened a reassembly
    uint32_t length = 0;      // the length it announced
    IsoTpAddress addr;        // its addressing
};

// What one poll of the receive queue gave.
enum class PollResult {
    Empty,       // the queue held nothing
    FrameTaken,  // a frame, but no message for the host
    Delivered,   // a message for the host
};

class IsoTpTransport {
public:
    // pduTrace: "pdu_trace.log" when the PDU trace is on, else null.
    IsoTpTransport(CanPort &port, TraceFile *pduTrace, const FieldProfile &profile)
        : m_port(port), m_pPduTrace(pduTrace), m_profile(profile), m_outgoing(port, profile, m_seqIds) {}
    IsoTpTransport(const IsoTpTransport &) = delete;
    IsoTpTransport &operator=(const IsoTpTransport &) = delete;

    // The host's message is one that can be sent: STATUS_NOERROR, or the
    // status with an ERROR line.
    uint32_t checkMessage(const PASSTHRU_MSG &msg, TraceScope &scope) const;
    // Sends one message: a single frame at once (its Timestamp becomes the
    // frame's), or the first frame of a transfer that the worker finishes.
    uint32_t write(PASSTHRU_MSG &msg, TraceScope &scope);

    // Takes one frame from the receive queue and analyses it; a message for
    // the host goes into out. With room 0 a frame is taken but not analysed.
    PollResult pollOnce(PASSTHRU_MSG &out, uint32_t room);
    // The receive analysis of one frame: flow controls are answered and
    // taken, confirmations matched. True when it completed a message into out.
    // With note, *note tells what else the frame did.
    bool receive(const CanFrame &frame, PASSTHRU_MSG &out, ReceiveNote *note = nullptr);
    // The delivery lines of a message the host is given: the trace's message
    // dump and RX line, and the PDU trace's.
    void traceDelivered(const PASSTHRU_MSG &msg, TraceScope &scope);

    // The worker's cycle without its sleep: sends the consecutive frames that
    // are due, ends and expires transfers, and every 101st call expires
    // reassemblies (cycleCounter is the worker's own). Returns when (NowUs)
    // the next consecutive frame is due with the field profile, 0 when none is.
    uint64_t serviceTransfers(uint32_t &cycleCounter, TraceScope &scope);

    // ISO15765_BS: the block size announced in our flow controls.
    void setBlockSize(int32_t blockSize) { m_blockSize = blockSize; }
    // The maker's extended addressing: 0 off, 1 on, > 1 also ignores the
    // peer's STmin.
    void setExtAddressing(int32_t mode) { m_extAddressing = mode; }
    MessageFilters &filters() { return m_filters; }
    // Disconnect: no confirmation is owed any more.
    void forgetConfirmations() { m_outgoing.forgetConfirmations(); }
    // Nothing in flight: no transfer either way, no confirmation awaited;
    // serviceTransfers has nothing to do until a frame or a write comes.
    bool idle() { return m_outgoing.idle() && m_incoming.idle(); }
    // ISO15765_STMIN: the STmin announced in our flow controls (0 unless set).
    void setSeparationTime(uint8_t stmin) { m_stmin = stmin; }
    // ISO15765_BS_TX / ISO15765_STMIN_TX: ours in place of the peer's when
    // sending; negative: the peer's.
    void setSendOverrides(int32_t blockSize, int32_t stmin) { m_outgoing.setSendOverrides(blockSize, stmin); }
    // ISO15765_WFT_MAX: WAITs taken before a transfer is given up (field
    // profile); negative: the profile's FCWAITMAX.
    void setMaxWaits(int32_t maxWaits) { m_outgoing.setMaxWaits(maxWaits); }

private:
    bool analyzeFrame(const CanFrame &frame, PASSTHRU_MSG &out, ReceiveNote *note, TraceScope &mainScope);
    bool analyzeSingleFrame(const CanFrame &frame, const IsoTpAddress &addr, uint8_t sfDl, PASSTHRU_MSG &out,
                            TraceScope &scope) const;
    void analyzeFirstFrame(const CanFrame &frame, IsoTpAddress addr, uint8_t ffDlHigh, const PASSTHRU_MSG &out,
                           ReceiveNote *note, TraceScope &scope);
    bool analyzeConsecutiveFrame(const CanFrame &frame, const IsoTpAddress &addr, uint8_t sn, PASSTHRU_MSG &out,
                                 TraceScope &scope);
    void analyzeFlowControl(const CanFrame &frame, IsoTpAddress addr, TraceScope &scope);
    void send_Flow_Control(uint32_t canId, uint8_t blockSize, const IsoTpAddress &addr);

    CanPort &m_port;
    TraceFile *const m_pPduTrace;
    const FieldProfile &m_profile;

    // Settings the host changes through PassThruIoctl while the read path
    // and the worker use them.
    std::atomic<int32_t> m_blockSize{0};
    std::atomic<int32_t> m_extAddressing{0};
    std::atomic<uint8_t> m_stmin{0};

    MessageFilters m_filters{m_port, m_extAddressing, m_profile.on};
    SequenceIds m_seqIds;
    OutgoingTransfers m_outgoing;
    IncomingTransfers m_incoming;
};

#endif
