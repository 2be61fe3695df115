// The functional group's stage on the host's paths: the module asks it before
// a message is written and after each poll of the receive queue. It unwraps a
// functional request and starts the filters for its responders, gathers the
// group's answers out of what the read path delivers, and hands over the
// aggregated message once the P2 (or P2*) time has run out.
#ifndef PT_FG_GROUP_STAGE_H
#define PT_FG_GROUP_STAGE_H

#include <cstdint>

#include "fg/functional_group.h"
#include "j2534.h"

class MessageFilters;
class TraceScope;

// What the stage made of a message the read path was about to deliver.
enum class GroupVerdict {
    NotGroupMessage,   // deliver it as it is
    Gathered,          // a member's answer, kept for the aggregated message
    RelabelledPending, // a response pending, delivered under the group's id
};

class GroupStage {
public:
    GroupStage(COrvFunctionalGroup &group, MessageFilters &filters) : m_group(group), m_filters(filters) {}
    GroupStage(const GroupStage &) = delete;
    GroupStage &operator=(const GroupStage &) = delete;

    // A functional request is unwrapped in place, and every responder gets a
    // pass and a flow-control filter.
    void beforeWrite(PASSTHRU_MSG &msg, uint32_t channelId, TraceScope &scope);
    // The receive queue was empty: true when the aggregated message is due;
    // it is then in msg.
    bool takeDueAggregate(PASSTHRU_MSG &msg);
    // A message the read path delivers into msg.
    GroupVerdict afterDelivery(PASSTHRU_MSG &msg, TraceScope &scope);

private:
    COrvFunctionalGroup &m_group;
    MessageFilters &m_filters;
};

#endif
