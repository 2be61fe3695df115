// The ISO15765 protocol channel on its own transport: flow-control filters
// (up to 16, each pair of identifiers unique) as the transport's links,
// messages up to 4095 bytes both ways, TX_INDICATION once the bus confirmed
// a message, the start of a reception (START_OF_MESSAGE), loopback, the
// ISO15765 parameters as the transport's options.
#ifndef PT_J2534_TOOLS_ISO_CHANNEL_H
#define PT_J2534_TOOLS_ISO_CHANNEL_H

#include <cstdint>
#include <deque>

#include "can/field_profile.h"
#include "j2534_tools/channel.h"
#include "transport/links.h"
#include "transport/transport.h"

class TraceFile;

constexpr uint32_t kMaxFlowControlFilters = 16;

class IsoChannel : public Channel0404, private IsoTpResults {
public:
    IsoChannel(Device0404 &device, uint32_t protocolId, uint32_t flags, CanPort &port, TraceFile *pduTrace,
               const FieldProfile &profile);

    uint32_t write(PASSTHRU_MSG *msgs, uint32_t *num, uint32_t timeoutMs, TraceScope &scope, const char **why) override;
    uint32_t startFilter(uint32_t type, const PASSTHRU_MSG *mask, const PASSTHRU_MSG *pattern, const PASSTHRU_MSG *flow,
                         uint32_t *filterId, const char **why) override;
    uint32_t stopFilter(uint32_t filterId, const char **why) override;
    void clearFilters() override;
    uint32_t getConfig(SCONFIG &param, const char **why) override;
    uint32_t setConfig(const SCONFIG &param, TraceScope &scope, const char **why) override;
    void clearTx() override;

    void onFrame(const CanFrame &frame) override;
    void onConfirmed(uint64_t token, const OutFrame &frame, const CanFrame &ack) override;
    // The transport's part of the worker's cycle; when (NowUs) the next
    // consecutive frame is due, 0 when none is.
    uint64_t service(uint32_t &cycleCounter, TraceScope &scope) {
        return m_transport.serviceTransfers(cycleCounter, scope);
    }
    bool transfersIdle() override { return m_transport.idle(); }
    // An FD channel's transport sends FD frames, with the bit-rate switch
    // when the data phase is faster.
    void portOpened(uint32_t arbitrationRate, uint32_t dataRate) override;
    // See IsoTpTransport::nextTimeoutUs.
    uint64_t nextTimeoutUs() { return m_transport.nextTimeoutUs(); }

protected:
    uint32_t frameOf(const PASSTHRU_MSG &msg, OutFrame &frame, const char **why) const override;
    void wakeWaiters() override { m_writtenEvent.set(); }

private:
    enum class WriteState { Pending, Confirmed, Failed };
    // A message written whose result has not come, or has not been taken by
    // the write that waits for it.
    struct Written {
        uint64_t token;
        bool waited;  // a write waits for its result (a Timeout)
        WriteState state;
        const char *failure;  // why it went no further (Failed)
        PASSTHRU_MSG msg;
    };

    bool is29Bit(uint32_t txFlags) const;
    uint32_t validate(const PASSTHRU_MSG &msg, const char **why) const;
    uint32_t sendOne(const PASSTHRU_MSG &msg, bool waited, uint64_t *token, TraceScope &scope, const char **why);
    // Waits until the message of token has its result or timeoutMs passed;
    // the result (Pending when the time ran out) and the record go.
    WriteState awaitWritten(uint64_t token, uint32_t timeoutMs, const char **failure);
    void messageDone(uint64_t token, TxResult result, uint32_t timestampUs) override;
    void deliverReceived(const ReceivedMessage &message, const ReceiveNote &note);
    void deliverIndication(uint32_t rxStatus, uint32_t canId, int addr, uint32_t timestamp);
    bool getFdConfig(SCONFIG &param);
    // The FD parameters of the transport; false for another parameter.
    bool setFdOption(const SCONFIG &param, IsoTpOptions &options, const char **why);

    const FieldProfile &m_profile;
    LinkTable m_links;
    IsoTpTransport m_transport;

    NamedLock m_writtenLock;  // guards m_written
    std::deque<Written> m_written;
    plat::Event m_writtenEvent;  // set whenever a written message has its result
};

#endif
