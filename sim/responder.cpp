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
        : Node(channel), matchId_(matchId), prefix_(prefix, prefix + prefixLen) {}

    void AddReply(const Frame &f, uint64_t delayNs) { replies_.push_back({f, delayNs}); }

    void OnFrame(NodeBus &bus, const Frame &f, uint64_t now) override {
        if (f.id != matchId_ || (f.flags & XL_CAN_MSG_FLAG_ERROR_FRAME) || f.dlc < prefix_.size())
            return;
        if (!std::equal(prefix_.begin(), prefix_.end(), f.data))
            return;
        for (const Reply &r : replies_) {
            if (r.delayNs == 0)
                bus.Send(r.frame);
            else
                due_.push_back({now + r.delayNs, r.frame});
        }
        std::stable_sort(due_.begin(), due_.end(), [](const Due &a, const Due &b) { return a.at < b.at; });
    }

    uint64_t NextDue() const override { return due_.empty() ? kNever : due_.front().at; }

    void OnTimer(NodeBus &bus, uint64_t now) override {
        while (!due_.empty() && due_.front().at <= now) {
            const Frame f = due_.front().frame;
            due_.erase(due_.begin());
            bus.Send(f);
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
    uint32_t matchId_;
    std::vector<uint8_t> prefix_;
    std::vector<Reply> replies_;
    std::vector<Due> due_;
};

}  // namespace

std::unique_ptr<Node> MakeResponder(unsigned channel, uint32_t matchId, const uint8_t *prefix, unsigned prefixLen) {
    return std::unique_ptr<Node>(new Responder(channel, matchId, prefix, prefixLen));
}

bool AddResponderReply(Node *node, const Frame &f, uint32_t delayUs) {
    Responder *r = dynamic_cast<Responder *>(node);
    if (!r)
        return false;
    r->AddReply(f, uint64_t(delayUs) * 1000u);
    return true;
}

}  // namespace vxlsim
