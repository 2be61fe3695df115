// The ISO15765 protocol channel on the shared transport: flow-control
// filters (up to 16, each pair of identifiers unique), messages up to 4095
// bytes both ways, TX_INDICATION once the bus confirmed a message, the start
// of a reception (START_OF_MESSAGE), loopback, the ISO15765 parameters.
// 29-bit identifiers travel through the transport with bit 31 set, as the
// CAN layer marks them.
#ifndef PT_J2534_TOOLS_ISO_CHANNEL_H
#define PT_J2534_TOOLS_ISO_CHANNEL_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <vector>

#include "j2534_tools/channel.h"
#include "can/field_profile.h"
#include "transport/transport.h"

class TraceFile;

constexpr uint32_t kMaxFlowControlFilters = 16;

class IsoChannel : public Channel0404 {
public:
    IsoChannel(Device0404 &device, uint32_t flags, CanPort &port, TraceFile *pduTrace, const FieldProfile &profile);

    uint32_t write(PASSTHRU_MSG *msgs, uint32_t *num, uint32_t timeoutMs, TraceScope &scope, const char **why) override;
    uint32_t startFilter(uint32_t type, const PASSTHRU_MSG *mask, const PASSTHRU_MSG *pattern, const PASSTHRU_MSG *flow,
                         uint32_t *filterId, const char **why) override;
    uint32_t stopFilter(uint32_t filterId, const char **why) override;
    void clearFilters() override;
    uint32_t getConfig(SCONFIG &param, const char **why) override;
    uint32_t setConfig(const SCONFIG &param, TraceScope &scope, const char **why) override;
    void clearTx() override;

    void onFrame(const CanFrame &frame) override;
    void onTxConfirmed(const OutFrame &frame, const CanFrame &ack) override;
    // A confirmation of the bus that no frame of the device's own claimed:
    // the transport's frames.
    void onTransportAck(const CanFrame &ack);
    // The transport's part of the worker's cycle; when (NowUs) the next
    // consecutive frame is due, 0 when none is.
    uint64_t service(uint32_t &cycleCounter, TraceScope &scope) {
        return m_transport.serviceTransfers(cycleCounter, scope);
    }
    bool transfersIdle() override { return m_transport.idle(); }

protected:
    uint32_t frameOf(const PASSTHRU_MSG &msg, OutFrame &frame, const char **why) const override;
    void wakeWaiters() override { m_writtenEvent.set(); }

private:
    struct FlowFilter {
        uint32_t filterId;
        uint32_t passId, flowFilterId;  // the transport's two filters behind it
        uint32_t patternId, flowId;     // with bit 31 for 29-bit identifiers
        int patternAddr, flowAddr;      // the address byte, -1 without
    };
    // A message written whose confirmation has not come.
    struct Written {
        uint64_t seq;
        uint32_t canId;
        PASSTHRU_MSG msg;
    };

    bool is29Bit(uint32_t txFlags) const;
    uint32_t validate(const PASSTHRU_MSG &msg, const char **why) const;
    bool hasFlowFilterFor(uint32_t canId, int addr) const;
    int addressOfReceived(uint32_t canId) const;
    void handleTransportMessage(PASSTHRU_MSG &out, TraceScope &scope);
    bool notePadding(const CanFrame &frame, bool opened, bool completed);
    void confirmWritten(const PASSTHRU_MSG &confirmation);
    bool awaitWritten(uint64_t seq, uint32_t timeoutMs);
    void deliverIndication(uint32_t rxStatus, uint32_t canId, int addr, uint32_t timestamp);

    IsoTpTransport m_transport;
    const FieldProfile &m_profile;
    // Per identifier, whether a frame of the reception in progress came
    // shorter than 8 bytes; the worker's alone.
    std::map<uint32_t, bool> m_shortFrames;

    mutable NamedLock m_filterLock;  // guards m_filters and m_nextFilterId
    std::vector<FlowFilter> m_filters;
    uint32_t m_nextFilterId = 1;

    NamedLock m_writtenLock;  // guards m_written and m_nextSeq
    std::deque<Written> m_written;
    uint64_t m_nextSeq = 1;
    plat::Event m_writtenEvent;  // set whenever a written message is confirmed

    std::atomic<uint32_t> m_blockSize{0};
    std::atomic<uint32_t> m_stmin{0};
    std::atomic<uint32_t> m_blockSizeTx{0xFFFF};
    std::atomic<uint32_t> m_stminTx{0xFFFF};
    std::atomic<uint32_t> m_waitMax;
};

#endif
