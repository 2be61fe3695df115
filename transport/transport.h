// One ISO 15765-2 connection on the CAN port: the transfers in flight both
// ways, its options, and the routing that tells which frames are its own.
// A face gives it messages as bytes for an identifier and address, and gets
// messages back the same way; a face that sends with tokens gets a result
// per message.
//
// Locks: the outgoing transfers, the incoming reassemblies and the routing
// each have their own, and no two of them are ever held together (the
// routing is asked before or after the transfers' locks, never inside
// them). Inside any of them only the trace's and the port's locks are taken.
// The functional group above keeps its own lock and never holds it while it
// calls in here.
#ifndef PT_TRANSPORT_TRANSPORT_H
#define PT_TRANSPORT_TRANSPORT_H

#include <cstdint>

#include "can/can_frame.h"
#include "can/field_profile.h"
#include "transport/incoming.h"
#include "transport/options.h"
#include "transport/outgoing.h"
#include "transport/records.h"
#include "transport/results.h"
#include "transport/routing.h"

class CanPort;
class TraceFile;
class TraceScope;

// The worker looks at the reassembly deadlines every RX_CHECK_CYCLES-th cycle.
constexpr uint32_t RX_CHECK_CYCLES = 100;

// What a frame did besides completing a message, for a caller that asks.
struct ReceiveNote {
    bool firstFrame = false;  // a first frame opened a reassembly
    uint32_t length = 0;      // the length it announced
    IsoTpAddress addr;        // the address byte the peer's frames carry
    bool shortFrame = false;  // a frame of the completed message was shorter than a CAN frame
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
    // results, confirmOwner: a face that sends with tokens and takes a result
    // per message (the owner under which the port notes our frames); null
    // for a host that reads the bus's confirmations as messages.
    IsoTpTransport(CanPort &port, IsoTpRouting &routing, TraceFile *pduTrace, const FieldProfile &profile,
                   const IsoTpOptions &options, IsoTpResults *results = nullptr, const void *confirmOwner = nullptr)
        : m_port(port),
          m_routing(routing),
          m_pPduTrace(pduTrace),
          m_profile(profile),
          m_options(options),
          m_results(results),
          m_outgoing(port, profile, m_options, m_seqIds, confirmOwner) {}
    IsoTpTransport(const IsoTpTransport &) = delete;
    IsoTpTransport &operator=(const IsoTpTransport &) = delete;

    // Sends one message: a single frame at once (*txTimestamp becomes the
    // frame's), or the first frame of a transfer that the worker finishes;
    // behind a message in flight on its link it waits its turn.
    uint32_t send(const OutgoingMessage &tx, TraceScope &scope, uint32_t *txTimestamp = nullptr);
    // The message of token goes no further; nothing is told of it.
    void abort(uint64_t token) { m_outgoing.abort(token); }
    // Nothing queued or in flight goes any further.
    void abortAll() { m_outgoing.abortAll(); }
    // The port's record says the bus confirmed the last frame of token's
    // message: its result is told. False when the token is none of ours.
    bool confirmed(uint64_t token, uint32_t timestampUs);

    // Takes one frame from the receive queue and analyses it; a message for
    // the host goes into out. With room 0 a frame is taken but not analysed.
    PollResult pollOnce(ReceivedMessage &out, uint32_t room);
    // The receive analysis of one frame: flow controls are answered and
    // taken, confirmations matched. True when it completed a message (or,
    // for a host that reads them, took a confirmation) into out. With note,
    // *note tells what else the frame did.
    bool receive(const CanFrame &frame, ReceivedMessage &out, ReceiveNote *note = nullptr);

    // The worker's cycle without its sleep: sends the consecutive frames that
    // are due, ends and expires transfers, and every 101st call expires
    // reassemblies (cycleCounter is the worker's own). Returns when (NowUs)
    // the next consecutive frame is due with the field profile, 0 when none is.
    uint64_t serviceTransfers(uint32_t &cycleCounter, TraceScope &scope);
    // For a worker without a beat: when (NowUs) the transfers next need a
    // cycle besides their due frames (a time-out, or a consecutive frame a
    // cycle without the field profile); 0 when nothing is in flight. A call
    // to serviceTransfers with cycleCounter at RX_CHECK_CYCLES expires the
    // reassemblies at once.
    uint64_t nextTimeoutUs();

    // The options, checked: false (and *why) keeps the ones before.
    bool setOptions(const IsoTpOptions &options, const char **why = nullptr) { return m_options.set(options, why); }
    IsoTpOptions options() const { return m_options.get(); }

    // Disconnect: no confirmation is owed any more.
    void forgetConfirmations() { m_outgoing.forgetConfirmations(); }
    // Nothing in flight: no transfer either way, no confirmation awaited;
    // serviceTransfers has nothing to do until a frame or a write comes.
    bool idle() { return m_outgoing.idle() && m_incoming.idle(); }

private:
    bool analyzeFrame(const CanFrame &frame, ReceivedMessage &out, ReceiveNote *note, TraceScope &mainScope);
    bool analyzeSingleFrame(const CanFrame &frame, const IsoTpAddress &addr, uint8_t sfDl, ReceivedMessage &out,
                            ReceiveNote *note, TraceScope &scope) const;
    void analyzeFirstFrame(const CanFrame &frame, IsoTpAddress addr, uint8_t ffDlHigh, ReceiveNote *note,
                           TraceScope &scope);
    bool analyzeConsecutiveFrame(const CanFrame &frame, const IsoTpAddress &addr, uint8_t sn, ReceivedMessage &out,
                                 ReceiveNote *note, TraceScope &scope);
    void analyzeFlowControl(const CanFrame &frame, IsoTpAddress addr, TraceScope &scope);
    void send_Flow_Control(const FlowRoute &route, uint8_t blockSize);
    void tell(const PendingResults &results, uint32_t timestampUs = 0);

    CanPort &m_port;
    IsoTpRouting &m_routing;
    TraceFile *const m_pPduTrace;
    const FieldProfile &m_profile;
    TransportOptions m_options;
    IsoTpResults *const m_results;

    SequenceIds m_seqIds;
    OutgoingTransfers m_outgoing;
    IncomingTransfers m_incoming;
};

#endif
