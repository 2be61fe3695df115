#include "transport/links.h"

#include "platform/lock_guard.h"

namespace {

IsoTpAddress AddressOf(int32_t addr) {
    IsoTpAddress out;
    if (addr != ISOTP_NO_ADDRESS) {
        out.extFlag = 1;
        out.extAddr = static_cast<uint8_t>(addr);
    }
    return out;
}

}  // namespace

LinkTable::AddResult LinkTable::add(const IsoTpLink &link, uint32_t limit, uint32_t *id) {
    LockGuard guard(m_lock);
    for (const Entry &e : m_links) {
        const IsoTpLink &o = e.link;
        if (o.rxId == link.rxId || o.rxId == link.txId || o.txId == link.rxId || o.txId == link.txId)
            return AddResult::NotUnique;
    }
    if (m_links.size() >= limit) return AddResult::Full;
    *id = m_nextId++;
    m_links.push_back(Entry{*id, link});
    return AddResult::Added;
}

bool LinkTable::remove(uint32_t id) {
    LockGuard guard(m_lock);
    for (auto it = m_links.begin(); it != m_links.end(); ++it) {
        if (it->id != id) continue;
        m_links.erase(it);
        return true;
    }
    return false;
}

void LinkTable::clear() {
    LockGuard guard(m_lock);
    m_links.clear();
}

bool LinkTable::sendsOn(uint32_t txId, int32_t txAddr) const {
    LockGuard guard(m_lock);
    for (const Entry &e : m_links)
        if (e.link.txId == txId && e.link.txAddr == txAddr) return true;
    return false;
}

PassResult LinkTable::accept(const CanFrame &frame, IsoTpAddress &addr, TraceScope &) {
    LockGuard guard(m_lock);
    if (m_links.empty()) return PassResult::NoFilters;
    for (const Entry &e : m_links) {
        if ((frame.id & e.link.rxMask) != (e.link.rxId & e.link.rxMask)) continue;
        if (e.link.rxAddr != ISOTP_NO_ADDRESS && (frame.length() < 1 || frame.data[0] != e.link.rxAddr)) continue;
        addr = AddressOf(e.link.rxAddr);
        return PassResult::Accepted;
    }
    return PassResult::Rejected;
}

bool LinkTable::flowRoute(uint32_t canId, uint8_t extAddr, FlowRoute &route) {
    LockGuard guard(m_lock);
    for (const Entry &e : m_links) {
        if ((canId & e.link.rxMask) != (e.link.rxId & e.link.rxMask)) continue;
        if (e.link.rxAddr != ISOTP_NO_ADDRESS && e.link.rxAddr != extAddr) continue;
        route.canId = e.link.txId;
        route.addr = AddressOf(e.link.txAddr);
        route.pad = e.link.padFlowControl;
        return true;
    }
    return false;
}
