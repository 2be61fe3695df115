// Scripted nodes: a fixed answer to a matching frame, each reply frame after
// its own delay, for tests that need a counterpart without a protocol.
#include <algorithm>
#include <cstring>

#include "sim.h"

namespace vxlsim {

namespace {

class Responder : public Node {
public:
    Responder(unsigned channel, uint32_t matchId, const uint8_t *prefix, unsigned prefixLen)
        : Node(channel), m_matchId(matchId), m_prefix(prefix, prefix + prefixLen) {}

    void addReply(const Frame &f, uint64_t delayNs) { m_replies.push_back({f, delayNs}); }

    void onFrame(NodeBus &bus, const Frame &f, uint64_t now) override {
        if (f.id != m_matchId || (f.flags & XL_CAN_MSG_FLAG_ERROR_FRAME) || f.dlc < m_prefix.size()) return;
        if (!std::equal(m_prefix.begin(), m_prefix.end(), f.data)) return;
        for (const Reply &r : m_replies) {
            if (r.delayNs == 0)
                bus.send(r.frame);
            else
                m_due.push_back({now + r.delayNs, r.frame});
        }
        std::stable_sort(m_due.begin(), m_due.end(), [](const Due &a, const Due &b) { return a.at < b.at; });
    }

    uint64_t nextDue() const override { return m_due.empty() ? kNever : m_due.front().at; }

    void onTimer(NodeBus &bus, uint64_t now) override {
        while (!m_due.empty() && m_due.front().at <= now) {
            const Frame f = m_due.front().frame;
            m_due.erase(m_due.begin());
            bus.send(f);
        }
    }

private:
    struct Reply {
        Frame frame;
        uint64_t delayNs;
    };
    struct Due {
        uint64_t at;
        Frame frame;
    };
    uint32_t m_matchId;
    std::vector<uint8_t> m_prefix;
    std::vector<Reply> m_replies;
    std::vector<Due> m_due;
};

}  // namespace

std::unique_ptr<Node> MakeResponder(unsigned channel, uint32_t matchId, const uint8_t *prefix, unsigned prefixLen) {
    return std::unique_ptr<Node>(new Responder(channel, matchId, prefix, prefixLen));
}

bool AddResponderReply(Node *node, const Frame &f, uint32_t delayUs) {
    Responder *r = dynamic_cast<Responder *>(node);
    if (!r) return false;
    r->addReply(f, uint64_t(delayUs) * 1000u);
    return true;
}

}  // namespace vxlsim
