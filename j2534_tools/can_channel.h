// The raw CAN protocol channel: 11-bit, 29-bit or both (CAN_ID_BOTH), up to
// 10 pass and 10 block filters over the identifier and the data, loopback of
// the frames the bus confirmed. On a CAN FD protocol its frames go as FD
// frames of up to 64 bytes, and it receives FD and classic frames alike.
#ifndef PT_J2534_TOOLS_CAN_CHANNEL_H
#define PT_J2534_TOOLS_CAN_CHANNEL_H

#include <cstdint>
#include <vector>

#include "j2534_tools/channel.h"

constexpr uint32_t kMaxCanFilters = 10;  // of each kind

class CanChannel : public Channel0404 {
public:
    CanChannel(Device0404 &device, uint32_t protocolId, uint32_t flags) : Channel0404(device, protocolId, flags) {}

    uint32_t write(PASSTHRU_MSG *msgs, uint32_t *num, uint32_t timeoutMs, TraceScope &scope,
                   const char **why) override;
    uint32_t startFilter(uint32_t type, const PASSTHRU_MSG *mask, const PASSTHRU_MSG *pattern,
                         const PASSTHRU_MSG *flow, uint32_t *filterId, const char **why) override;
    uint32_t stopFilter(uint32_t filterId, const char **why) override;
    void clearFilters() override;
    void onFrame(const CanFrame &frame) override;

protected:
    uint32_t frameOf(const PASSTHRU_MSG &msg, OutFrame &frame, const char **why) const override;

private:
    struct Filter {
        uint32_t filterId;
        uint32_t type;
        uint32_t size;  // bytes of mask and pattern, identifier included
        uint8_t mask[12];
        uint8_t pattern[12];
        bool matches(const uint8_t *bytes, uint32_t length) const;
    };
    bool takes29Bit() const { return (flags() & (CAN_29BIT_ID | CAN_ID_BOTH)) != 0; }
    bool takes11Bit() const { return (flags() & CAN_29BIT_ID) == 0 || (flags() & CAN_ID_BOTH) != 0; }

    NamedLock m_filterLock;  // guards m_filters and m_nextFilterId
    std::vector<Filter> m_filters;
    uint32_t m_nextFilterId = 1;
};

#endif
