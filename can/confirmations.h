// The frames a port handed to the driver whose confirmation (the driver's
// transmit-completed event) is still to come, each with the owner that sent
// it and the owner's token. The bus confirms a port's frames in the order
// they were handed over, so a confirmation belongs to the oldest noted frame
// of the same identifier and bytes.
#ifndef PT_CAN_CONFIRMATIONS_H
#define PT_CAN_CONFIRMATIONS_H

#include <cstdint>
#include <deque>

#include "can/can_frame.h"
#include "platform/named_lock.h"

// A frame as it went onto the bus: identifier (bit 31 for 29-bit), length
// and bytes, padding included, and whether it went as an FD frame.
struct SentFrame {
    uint32_t id = 0;
    uint8_t dlc = 0;
    uint8_t data[CANFD_MAX_DLEN] = {};
    uint8_t fdFlags = 0;  // CAN_FRAME_FD, CAN_FRAME_FD_BRS as handed over

    bool sameAs(const CanFrame &frame) const;
};

// Who waits for a frame's confirmation, and what the owner calls it.
struct ConfirmationTag {
    const void *owner = nullptr;  // null: nobody waits, nothing is noted
    uint64_t token = 0;
    uint32_t ownerFlags = 0;  // kept for the owner (a host's transmit flags)
};

struct Confirmation {
    ConfirmationTag tag;
    SentFrame frame;
};

class PendingConfirmations {
public:
    PendingConfirmations() = default;
    PendingConfirmations(const PendingConfirmations &) = delete;
    PendingConfirmations &operator=(const PendingConfirmations &) = delete;

    // A token no other owner of the port holds.
    uint64_t newToken();

    // Notes a frame before it is handed to the driver (its confirmation may be
    // read on another thread before the hand-over returns); the returned
    // number takes it back when the driver refused it.
    uint64_t note(const SentFrame &frame, const ConfirmationTag &tag);
    void withdraw(uint64_t noted);

    // The confirmation of the oldest noted frame like ack: true, with its
    // owner and token in out. Frames noted before it whose confirmation never
    // came are not waited for any longer.
    bool take(const CanFrame &ack, Confirmation &out);

    // The owner has gone, or wants no confirmation any more.
    void forget(const void *owner);
    void forget(const void *owner, uint64_t token);
    // The port was closed: nothing it was given will be confirmed.
    void clear();
    bool empty();
    // Whether a frame of owner (on identifier id) still awaits its confirmation.
    bool holds(const void *owner, uint32_t id);
    bool holds(const void *owner);

private:
    struct Noted {
        uint64_t number;
        Confirmation confirmation;
    };

    NamedLock m_lock;  // guards everything below
    std::deque<Noted> m_noted;
    uint64_t m_nextNumber = 1;
    uint64_t m_nextToken = 1;
};

#endif
