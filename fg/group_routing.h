// The functional group on the transport's paths: unwraps a functional request
// before it is sent and starts the filters for its responders, gathers the
// group's answers out of the read path and delivers the aggregated message
// when the P2 (or P2*) time has run out.
#ifndef PT_FG_GROUP_ROUTING_H
#define PT_FG_GROUP_ROUTING_H

#include "fg/functional_group.h"
#include "transport/transport.h"

class GroupRouting : public TransportHooks {
public:
    GroupRouting(COrvFunctionalGroup &group, IsoTpTransport &transport) : m_group(group), m_transport(transport) {}

    void beforeWrite(PASSTHRU_MSG &msg, uint32_t channelId, uint32_t canId, TraceScope &scope) override;
    bool whenIdle(PASSTHRU_MSG &msg, uint32_t *pNumMsgs, uint32_t &status) override;
    bool afterDelivery(PASSTHRU_MSG &msg, uint32_t *pNumMsgs, uint32_t &status, TraceScope &scope) override;

private:
    COrvFunctionalGroup &m_group;
    IsoTpTransport &m_transport;
};

#endif
