// The links of a connection that a J2534 tool describes with flow-control
// filters: each pairs the identifier (and address byte) of the peer's frames
// with the identifier (and address byte) of ours.
#ifndef PT_TRANSPORT_LINKS_H
#define PT_TRANSPORT_LINKS_H

#include <cstdint>
#include <vector>

#include "platform/named_lock.h"
#include "transport/routing.h"

constexpr int32_t ISOTP_NO_ADDRESS = -1;

struct IsoTpLink {
    uint32_t rxId = 0;  // the peer's frames (bit 31: a 29-bit identifier)
    uint32_t rxMask = 0xFFFFFFFFu;  // the bits of a frame's identifier compared with rxId
    uint32_t txId = 0;  // ours
    int32_t rxAddr = ISOTP_NO_ADDRESS;  // address byte in front of the peer's frames
    int32_t txAddr = ISOTP_NO_ADDRESS;  // address byte in front of ours
    bool padFlowControl = false;        // our flow controls fill the frame
};

class LinkTable : public IsoTpRouting {
public:
    LinkTable() = default;
    LinkTable(const LinkTable &) = delete;
    LinkTable &operator=(const LinkTable &) = delete;

    enum class AddResult { Added, NotUnique, Full };
    // Adds a link unless one of its identifiers is one of another link's, or
    // limit links are there; *id receives its number.
    AddResult add(const IsoTpLink &link, uint32_t limit, uint32_t *id);
    bool remove(uint32_t id);
    void clear();

    // Whether a link sends on txId with this address byte.
    bool sendsOn(uint32_t txId, int32_t txAddr) const;

    PassResult accept(const CanFrame &frame, IsoTpAddress &addr, TraceScope &scope) override;
    bool flowRoute(uint32_t canId, uint8_t extAddr, FlowRoute &route) override;

private:
    struct Entry {
        uint32_t id;
        IsoTpLink link;
    };

    mutable NamedLock m_lock;  // guards the list and the next number
    std::vector<Entry> m_links;
    uint32_t m_nextId = 1;
};

#endif
