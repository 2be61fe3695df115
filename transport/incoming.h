// Messages on their way in: the reassemblies of multi-frame messages that
// the peer is sending us.
#ifndef PT_TRANSPORT_INCOMING_H
#define PT_TRANSPORT_INCOMING_H

#include <cstdint>
#include <memory>

#include "can/can_frame.h"
#include "platform/named_lock.h"
#include "transport/iso_tp.h"
#include "transport/records.h"

class TraceScope;

// Appends up to count bytes that the frame carries from index from to
// payload (length bytes long), never beyond the frame or ISOTP_MAX_PAYLOAD;
// returns how many it appended.
uint32_t CopyPayload(const CanFrame &frame, uint32_t from, uint32_t count, uint8_t *payload, uint32_t &length);

class IncomingTransfers {
public:
    IncomingTransfers() = default;
    IncomingTransfers(const IncomingTransfers &) = delete;
    IncomingTransfers &operator=(const IncomingTransfers &) = delete;

    // Lists a reassembly that a first frame opened; with replaceOpen one
    // still open on its identifier ends first.
    void open(std::unique_ptr<RxBufferEntry> entry, bool replaceOpen, TraceScope &scope);

    // What a consecutive frame did to the reassemblies.
    struct Continued {
        bool matched = false;   // a reassembly took it
        bool complete = false;  // and is complete: the message is in out
        uint32_t frameNo = 0;   // its sequence number, unwrapped
        bool shortFrame = false;  // a frame of the reassembly was shorter than a CAN frame
    };
    // Continues the first reassembly the frame fits (identifier, sequence
    // number); a completed one leaves the list with its message in out.
    Continued continueWith(const CanFrame &frame, const IsoTpAddress &addr, uint8_t sn, ReceivedMessage &out,
                           TraceScope &scope);

    // Ends the reassemblies whose peer has gone quiet.
    void expire(TraceScope &scope);

    // No reassembly is open.
    bool idle();

    // The NowMs time the first open reassembly expires after (0: none open).
    uint32_t nextTimeoutMs();

private:
    void replaceOpen(uint32_t canId, TraceScope &scope);

    // Guards the list; taken by the host's reading threads and the worker,
    // with only the trace's locks inside it.
    NamedLock m_lock;
    RxBufferList m_rxBuffer;
};

#endif
