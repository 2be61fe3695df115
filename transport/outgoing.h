// Our messages on their way out: the multi-frame transfers waiting for flow
// control or sending consecutive frames, the bus confirmations the host is
// owed, and the bus time already taken by frames handed to the driver.
#ifndef PT_TRANSPORT_OUTGOING_H
#define PT_TRANSPORT_OUTGOING_H

#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "can/can_frame.h"
#include "can/confirmations.h"
#include "can/field_profile.h"
#include "platform/named_lock.h"
#include "trace/text_line.h"
#include "transport/frame_builders.h"
#include "transport/options.h"
#include "transport/records.h"
#include "transport/results.h"

class CanPort;
class TraceScope;

// What a flow control found; the trace tells the values as numbers.
enum class FlowControlMatch {
    Taken = 0,         // a transfer waiting for it took it
    NoneWaiting = -1,  // no transfer waits for a flow control
    OtherId = -2,      // the waiting transfers are on other identifiers
};

// Results found under the lock, told once it is released.
struct PendingResult {
    uint64_t token;
    TxResult result;
};
using PendingResults = std::vector<PendingResult>;

class OutgoingTransfers {
public:
    // confirmOwner: non-null when messages are sent with tokens and their
    // results told to a face (the owner under which the port notes their last
    // frames); null for the host that reads confirmations itself.
    OutgoingTransfers(CanPort &port, const FieldProfile &profile, const TransportOptions &options, SequenceIds &seqIds,
                      const void *confirmOwner)
        : m_port(port), m_profile(profile), m_options(options), m_seqIds(seqIds), m_confirmOwner(confirmOwner) {}
    OutgoingTransfers(const OutgoingTransfers &) = delete;
    OutgoingTransfers &operator=(const OutgoingTransfers &) = delete;

    // Hands one of our flow controls to the port.
    uint32_t transmitFlowControl(uint32_t id, const CanPayload &frame, uint32_t pad, uint8_t padByte,
                                 TraceScope &scope);

    // Sends a single frame and owes the host its confirmation. Returns the
    // driver's result.
    uint32_t sendSingleFrame(uint32_t canId, const CanPayload &frame, uint32_t pad, TraceScope &scope);
    // A single frame with a token: sent at once, or queued behind the
    // message in flight on its identifier.
    uint32_t sendSingleFrame(const OutgoingMessage &tx, const CanPayload &frame, TraceScope &scope);

    // Sends the first frame and keeps the consecutive frames until the peer's
    // flow control releases them; a message in flight on the identifier is
    // ended first (replaceInFlight) or the new one waits behind it. line
    // holds the data line's start.
    uint32_t startTransfer(const OutgoingMessage &tx, TextLine &line, TraceScope &scope);

    // The bus confirmed a frame of ours (ack): true when this confirmation
    // is the host's.
    bool takeConfirmation(const CanFrame &ack);
    // The bus confirmed the last frame of the message of token: true (and the
    // result Confirmed in results) when it was one of ours.
    bool confirmed(uint64_t token, PendingResults &results);

    // The peer's flow control (frame, flow status at statusAt) for the
    // transfer on flowId: releases it with the peer's block size and STmin
    // (STmin 0 with ignoreStmin). Ended transfers' results go to results.
    FlowControlMatch releaseOnFlowControl(uint32_t flowId, const CanFrame &frame, bool ignoreStmin,
                                          PendingResults &results, TraceScope &scope);

    // The worker's part: sends the consecutive frames that are due, ends
    // finished transfers, expires stalled ones and starts the messages queued
    // behind them. Returns when (NowUs) the next frame is due with the field
    // profile, 0 when none is.
    uint64_t service(PendingResults &results, TraceScope &scope);

    // The message of token is not to be sent any further, nor its result told.
    void abort(uint64_t token);
    // Nothing queued or in flight is sent any further, no confirmation is owed.
    void abortAll();

    // Disconnect: no confirmation is owed any more.
    void forgetConfirmations();

    // No transfer is listed, no confirmation owed, no frame unconfirmed.
    bool idle();

    // For a worker without a beat: the NowMs time the first transfer in
    // flight expires after (0: none), and whether one sends its consecutive
    // frames one per cycle (no field profile), which needs a cycle a
    // millisecond.
    uint32_t nextTimeoutMs(bool *framePerCycle);

private:
    using Where = TxBufferList::iterator;
    // Hands a frame of ours to the port, counting it as one the bus will
    // confirm (the field profile delivers the confirmation of a transfer's
    // last frame, not of whichever frame of it the bus confirms next). Runs
    // with m_lock held.
    uint32_t transmit_(uint32_t id, int32_t length, const uint8_t *data, uint32_t pad, TraceScope &scope,
                       bool *queueFull = nullptr, const ConfirmationTag &tag = ConfirmationTag(),
                       uint8_t padByte = CAN_PAD_BYTE, uint8_t format = 0);
    bool withResults() const { return m_confirmOwner != nullptr; }
    void replaceOlderTransfers(const OutgoingMessage &tx, TraceScope &scope);
    bool linkBusy(uint32_t canId, const IsoTpAddress &addr);
    std::unique_ptr<TxBufferEntry> newEntry(const OutgoingMessage &tx, TraceScope &scope);
    bool prepareConsecutiveFrames(const OutgoingMessage &tx, TxBufferEntry &entry, TraceScope &scope);
    bool sendFirstFrame(TxBufferEntry &entry, TraceScope &scope);
    void startQueued(PendingResults &results, TraceScope &scope);
    bool clearToSend(Where where, uint8_t flowStatus, PendingResults &results, TraceScope &scope);
    void finishTransfer(Where where, TraceScope &scope);
    bool advanceTransfer(Where where, TraceScope &scope);
    uint32_t sendNextConsecutive(TxBufferEntry &entry, TraceScope &scope, bool *queueFull, PendingResults &results);
    bool sendConsecutiveFrame(Where where, PendingResults &results);
    bool sendDueFrames(Where where, uint64_t &due, PendingResults &results);
    void expireTimedOut(Where where, PendingResults &results, TraceScope &scope);
    ConfirmationTag tagFor(uint64_t token) const { return ConfirmationTag{m_confirmOwner, token}; }
    // The owner under which the port notes the frames of a host that reads
    // confirmations itself.
    const void *readerKey() const { return &m_ackPending; }

    int32_t maxWaits() const;

    CanPort &m_port;
    const FieldProfile &m_profile;
    const TransportOptions &m_options;
    SequenceIds &m_seqIds;
    const void *const m_confirmOwner;

    // Guards everything below. Taken by the host's writing and reading
    // threads and by the worker; only the trace's and the port's locks are
    // taken inside it.
    NamedLock m_lock;
    TxBufferList m_txBuffer;
    // Per CAN id: the bus's next confirmation of a frame on it is the host's.
    // (With the field profile the port's record tells which frames of ours
    // still await the bus's confirmation.)
    std::map<uint32_t, bool> m_ackPending;
    // With results: the tokens whose last frame is on its way to the bus.
    std::set<uint64_t> m_awaiting;
    // Field profile: when (NowUs) the frames handed to the driver so far
    // will have left the bus.
    uint64_t m_busFreeUs = 0;
};

#endif
