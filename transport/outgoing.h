// Our messages on their way out: the multi-frame transfers waiting for flow
// control or sending consecutive frames, the bus confirmations the host is
// owed, and the bus time already taken by frames handed to the driver.
#ifndef PT_TRANSPORT_OUTGOING_H
#define PT_TRANSPORT_OUTGOING_H

#include <atomic>
#include <cstdint>
#include <map>

#include "can/can_frame.h"
#include "can/field_profile.h"
#include "platform/named_lock.h"
#include "trace/text_line.h"
#include "transport/frame_builders.h"
#include "transport/records.h"

class CanPort;
class TraceScope;

class OutgoingTransfers {
public:
    OutgoingTransfers(CanPort &port, const FieldProfile &profile, SequenceIds &seqIds)
        : m_port(port), m_profile(profile), m_seqIds(seqIds) {}
    OutgoingTransfers(const OutgoingTransfers &) = delete;
    OutgoingTransfers &operator=(const OutgoingTransfers &) = delete;

    // Hands a frame of ours to the port, counting it as one the bus will
    // confirm (the field profile delivers the confirmation of a transfer's
    // last frame, not of whichever frame of it the bus confirms next).
    uint32_t transmit(uint32_t id, int32_t length, const uint8_t *data, uint32_t pad, TraceScope &scope,
                      bool *queueFull = nullptr);

    // Sends a single frame and owes the host its confirmation. Returns the
    // driver's result.
    uint32_t sendSingleFrame(uint32_t canId, const CanPayload &frame, uint32_t pad, TraceScope &scope);

    // Ends an older transfer on the message's id, sends the first frame and
    // keeps the consecutive frames until the peer's flow control releases
    // them. line holds the data line's start.
    uint32_t startTransfer(const OutgoingMessage &tx, TextLine &line, TraceScope &scope);

    // The bus confirmed a frame of ours on canId: true when this confirmation
    // is the host's.
    bool takeConfirmation(uint32_t canId);

    // The peer's flow control (frame, flow status at statusAt) for the
    // transfer on flowId: releases it with the peer's block size and STmin
    // (STmin 0 with ignoreStmin). Returns 0 when a waiting transfer took it,
    // -1 or -2 (no waiting transfer, none on flowId) otherwise.
    int releaseOnFlowControl(uint32_t flowId, const CanFrame &frame, bool ignoreStmin, TraceScope &scope);

    // The worker's part: sends the consecutive frames that are due, ends
    // finished transfers and expires stalled ones. Returns when (NowUs) the
    // next frame is due with the field profile, 0 when none is.
    uint64_t service(TraceScope &scope);

    // Disconnect: no confirmation is owed any more.
    void forgetConfirmations();

    // No transfer is listed, no confirmation owed, no frame unconfirmed.
    bool idle();

    // Our own block size and STmin for sending, in place of the peer's flow
    // control's; negative: the peer's (as without a call).
    void setSendOverrides(int32_t blockSize, int32_t stmin) {
        m_bsOverride = blockSize;
        m_stminOverride = stmin;
    }
    // Flow-control WAITs taken before a transfer is given up (field profile),
    // in place of the profile's; negative: the profile's.
    void setMaxWaits(int32_t maxWaits) { m_maxWaitsOverride = maxWaits; }

private:
    using Where = TxBufferList::iterator;
    void replaceOlderTransfers(const OutgoingMessage &tx, TraceScope &scope);
    bool clearToSend(Where where, uint8_t flowStatus, TraceScope &scope);
    void finishTransfer(Where where, TraceScope &scope);
    bool advanceTransfer(Where where, TraceScope &scope);
    bool sendConsecutiveFrame(Where where);
    bool sendDueFrames(Where where, uint64_t &due);
    void expireTimedOut(Where where, TraceScope &scope);

    int32_t maxWaits() const;

    CanPort &m_port;
    const FieldProfile &m_profile;
    SequenceIds &m_seqIds;
    std::atomic<int32_t> m_bsOverride{-1};
    std::atomic<int32_t> m_stminOverride{-1};
    std::atomic<int32_t> m_maxWaitsOverride{-1};

    // Guards everything below. Taken by the host's writing and reading
    // threads and by the worker; only the trace's locks are taken inside it.
    NamedLock m_lock;
    TxBufferList m_txBuffer;
    // Per CAN id: the bus's next confirmation of a frame on it is the host's.
    std::map<uint32_t, bool> m_ackPending;
    // Field profile: per CAN id, frames handed over that the bus has not
    // confirmed yet.
    std::map<uint32_t, uint32_t> m_unconfirmed;
    // Field profile: when (NowUs) the frames handed to the driver so far
    // will have left the bus.
    uint64_t m_busFreeUs = 0;
};

#endif
