// A channel's receive queue: the worker puts messages in, the host's
// PassThruReadMsgs takes them out, waiting for them when it asks to.
#ifndef PT_J2534_TOOLS_MSG_QUEUE_H
#define PT_J2534_TOOLS_MSG_QUEUE_H

#include <cstddef>
#include <cstdint>
#include <deque>

#include "j2534_tools/passthru_defs.h"
#include "platform/platform.h"
#include "platform/named_lock.h"

class MessageQueue {
public:
    explicit MessageQueue(std::size_t capacity) : m_capacity(capacity) {}
    MessageQueue(const MessageQueue &) = delete;
    MessageQueue &operator=(const MessageQueue &) = delete;

    // False when the queue is full: the message is dropped and counted.
    bool push(const PASSTHRU_MSG &msg);
    // Moves up to max messages into out, in the order they came; waits up to
    // timeoutMs for the max-th, or until the queue is closed. Returns how
    // many it moved; *dropped learns how many were dropped for a full queue
    // since the take before (and counts them as told).
    uint32_t take(PASSTHRU_MSG *out, uint32_t max, uint32_t timeoutMs, uint32_t *dropped);
    // Empties the queue and forgets the drops.
    void clear();
    // Ends every wait in take, now and later: the channel is gone.
    void close();

private:
    const std::size_t m_capacity;
    NamedLock m_lock;  // guards m_msgs, m_dropped and m_closed
    std::deque<PASSTHRU_MSG> m_msgs;
    uint32_t m_dropped = 0;
    bool m_closed = false;
    // Set while the queue holds a message, and once it is closed.
    plat::Event m_filled;
};

#endif
