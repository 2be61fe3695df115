#include "socketcand_server.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>

#include "sim.h"

namespace vxlsim {

namespace {

constexpr size_t kMaxLine = 256;          // a full send command is about 50
constexpr size_t kMaxBacklog = 4u << 20;  // bytes waiting for a client that does not read
constexpr size_t kMaxClients = 16;
constexpr uint64_t kIdleWaitUs = 200000;
constexpr uint64_t kBusyWaitUs = 50000;
// python-can reads the answer to "< rawmode >" with one recv() and wants
// exactly "< ok >": the answer goes out at once, frames wait this long behind
// it so they do not share that read, also when a loaded machine is slow to
// run the client.
constexpr uint64_t kGreetingHoldNs = 250000000;

std::string Hex(const uint8_t *data, unsigned n) {
    std::string s;
    char b[3];
    for (unsigned i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X", data[i]);
        s += b;
    }
    return s;
}

bool ParseHex(const std::string &t, size_t maxDigits, uint32_t &out) {
    if (t.empty() || t.size() > maxDigits) return false;
    uint32_t v = 0;
    for (char ch : t) {
        if (!std::isxdigit(static_cast<unsigned char>(ch))) return false;
        v = v * 16 + static_cast<uint32_t>(std::isdigit(static_cast<unsigned char>(ch))
                                               ? ch - '0'
                                               : std::tolower(static_cast<unsigned char>(ch)) - 'a' + 10);
    }
    out = v;
    return true;
}

// "< send id dlc b0 b1 ... >": the identifier is extended when written with
// eight digits (as socketcand reads it) or when it is too big for 11 bits.
bool ParseSend(const std::vector<std::string> &tok, Frame &f, std::string &why) {
    uint32_t id = 0, dlc = 0;
    if (tok.size() < 3 || !ParseHex(tok[1], 8, id) || id > 0x1FFFFFFFu) {
        why = "bad identifier";
        return false;
    }
    if (!ParseHex(tok[2], 1, dlc) || dlc > 8) {
        why = "bad length";
        return false;
    }
    if (tok.size() != 3 + dlc) {
        why = std::to_string(tok.size() - 3) + " data bytes for length " + std::to_string(dlc);
        return false;
    }
    f = Frame();
    f.id = (tok[1].size() == 8 || id > 0x7FF) ? (id | XL_CAN_EXT_MSG_ID) : id;
    f.dlc = static_cast<uint16_t>(dlc);
    for (uint32_t i = 0; i < dlc; ++i) {
        uint32_t b = 0;
        if (!ParseHex(tok[3 + i], 2, b)) {
            why = "bad data byte '" + tok[3 + i] + "'";
            return false;
        }
        f.data[i] = static_cast<uint8_t>(b);
    }
    return true;
}

std::string Printable(const std::string &s) {
    std::string out;
    for (char ch : s.substr(0, 60)) out += std::isprint(static_cast<unsigned char>(ch)) ? ch : '?';
    return s.size() > 60 ? out + "..." : out;
}

}  // namespace

struct SocketcandServer::Client {
    net::Socket s = net::kNoSocket;
    uint32_t id = 0;
    std::string in, out;
    bool open = false, raw = false, dead = false;
    unsigned channel = 0;
    uint64_t holdUntil = 0;  // wall clock; frames stay in out until then
    size_t greeting = 0;     // bytes at the front of out that go out during the hold
    bool counted = false;    // in m_ready
};

bool SocketcandServer::start() {
    if (!m_waker.ok()) return false;
    m_stop = false;
    return m_thread.start(&SocketcandServer::main, this);
}

void SocketcandServer::stop() {
    m_stop = true;
    m_waker.signal();
    m_thread.stop();
}

void SocketcandServer::main(void *self) { static_cast<SocketcandServer *>(self)->run(); }

void SocketcandServer::listen(int wantedPort) {
    net::Close(m_listener);
    m_listener = net::kNoSocket;
    m_port = 0;
    m_listenedPort = wantedPort;
    uint16_t bound = 0;
    std::string error;
    m_listener = net::ListenLoopback(static_cast<uint16_t>(wantedPort), bound, error);
    if (m_listener == net::kNoSocket) {
        m_sim.note("socketcand: " + error);
        return;
    }
    m_port = bound;
    m_sim.note("socketcand: listening on 127.0.0.1:" + std::to_string(bound));
}

void SocketcandServer::accept() {
    for (;;) {
        const net::Socket s = net::Accept(m_listener);
        if (s == net::kNoSocket) return;
        Client *c = new Client;
        c->s = s;
        c->id = m_nextClient++;
        m_clients.push_back(c);
        if (m_clients.size() > kMaxClients) {
            reply(*c, "< error too many clients >");
            drop(*c, "refused, " + std::to_string(kMaxClients) + " clients already");
            continue;
        }
        m_sim.note("socketcand: client " + std::to_string(c->id) + " connected");
        reply(*c, "< hi >");
    }
}

void SocketcandServer::reply(Client &c, const std::string &msg) {
    // In raw mode every message starts with a space, so a reader that
    // throws away the character after the last complete message (as
    // python-can's does) only ever loses that space.
    if (c.raw) c.out += ' ';
    c.out += msg;
}

void SocketcandServer::drop(Client &c, const std::string &why) {
    if (c.dead) return;
    m_sim.note("socketcand: client " + std::to_string(c.id) + " " + why);
    // A last answer (an error line) still goes out if the socket takes it.
    if (!c.out.empty()) net::Send(c.s, c.out.data(), c.out.size());
    net::Close(c.s);
    c.dead = true;
}

void SocketcandServer::read(Client &c) {
    char buf[4096];
    // A client that never stops writing gets its share, then the others.
    for (int chunk = 0; chunk < 16; ++chunk) {
        const long n = net::Recv(c.s, buf, sizeof buf);
        if (n == net::kWouldBlock) break;
        if (n <= 0) {
            const size_t lt = c.in.find('<');
            drop(c, lt == std::string::npos ? "disconnected"
                                            : "disconnected mid-line ('" + Printable(c.in.substr(lt)) + "')");
            return;
        }
        c.in.append(buf, static_cast<size_t>(n));
        // Messages are "< ... >"; blanks between them are ignored.
        size_t at = 0;
        while (at < c.in.size() && !c.dead) {
            const unsigned char ch = static_cast<unsigned char>(c.in[at]);
            if (std::isspace(ch)) {
                ++at;
                continue;
            }
            if (ch != '<') {
                const size_t next = c.in.find('<', at);
                const size_t end = next == std::string::npos ? c.in.size() : next;
                m_sim.note("socketcand: client " + std::to_string(c.id) + ": text outside a message: '" +
                           Printable(c.in.substr(at, end - at)) + "'");
                reply(c, "< error expected '<' >");
                at = end;
                continue;
            }
            const size_t close = c.in.find('>', at);
            if (close == std::string::npos) {
                if (c.in.size() - at > kMaxLine) {
                    reply(c, "< error line too long >");
                    drop(c, "sent more than " + std::to_string(kMaxLine) + " characters without '>', dropped");
                    return;
                }
                break;
            }
            command(c, c.in.substr(at, close + 1 - at));
            at = close + 1;
        }
        c.in.erase(0, at);
    }
}

void SocketcandServer::command(Client &c, const std::string &msg) {
    std::vector<std::string> tok;
    std::istringstream words(msg.substr(1, msg.size() - 2));
    for (std::string w; words >> w;) tok.push_back(w);
    const std::string who = "socketcand: client " + std::to_string(c.id);
    const std::string cmd = tok.empty() ? std::string() : tok[0];
    if (cmd == "open" && tok.size() == 2 && !c.open) {
        uint32_t ch = 0;
        const std::string &bus = tok[1];
        bool ok = bus.size() > 3 && bus.compare(0, 3, "can") == 0 && bus.size() <= 6 &&
                  std::all_of(bus.begin() + 3, bus.end(),
                              [](char d) { return std::isdigit(static_cast<unsigned char>(d)) != 0; });
        if (ok) {
            ch = static_cast<uint32_t>(std::stoul(bus.substr(3)));
            std::lock_guard<std::mutex> lock(m_sim.mu);
            ok = ch < m_sim.channelCount();
        }
        if (!ok) {
            m_sim.note(who + ": no bus '" + Printable(bus) + "'");
            reply(c, "< error no such bus >");
            return;
        }
        c.open = true;
        c.channel = ch;
        m_sim.note(who + " opened " + bus);
        reply(c, "< ok >");
    } else if (cmd == "rawmode" && tok.size() == 1 && c.open) {
        reply(c, "< ok >");
        c.greeting = c.out.size();
        c.raw = true;
        c.holdUntil = WallNs() + kGreetingHoldNs;
    } else if (cmd == "bcmmode" && tok.size() == 1 && c.open) {
        reply(c, "< ok >");
        c.raw = false;
    } else if (cmd == "echo" && tok.size() == 1) {
        reply(c, "< echo >");
    } else if (cmd == "send" && c.open) {
        Frame f;
        std::string why;
        if (!ParseSend(tok, f, why)) {
            m_sim.note(who + ": " + why + " in '" + Printable(msg) + "'");
            reply(c, "< error " + why + " >");
            return;
        }
        Outgoing o{c.channel, f.id, f.dlc, {}, c.id};
        std::memcpy(o.data, f.data, 8);
        m_toBus.push_back(o);
    } else {
        const bool known = cmd == "open" || cmd == "rawmode" || cmd == "bcmmode" || cmd == "send";
        const std::string why = !known                      ? "unknown command"
                                : (cmd == "open" && c.open) ? "bus already open"
                                : !c.open && cmd != "open"  ? "no bus open"
                                                            : "bad arguments";
        m_sim.note(who + ": " + why + " '" + Printable(msg) + "'");
        reply(c, "< error " + why + " >");
    }
}

void SocketcandServer::flush(Client &c, uint64_t now) {
    if (c.dead || c.out.empty()) return;
    // While frames are held, only what came before them: the answer to rawmode.
    const bool holding = c.raw && now < c.holdUntil;
    size_t allowed = holding ? std::min(c.greeting, c.out.size()) : c.out.size();
    while (allowed > 0) {
        const long n = net::Send(c.s, c.out.data(), allowed);
        if (n == net::kWouldBlock) break;
        if (n < 0) {
            drop(c, "lost (send failed)");
            return;
        }
        c.out.erase(0, static_cast<size_t>(n));
        allowed -= static_cast<size_t>(n);
        c.greeting -= std::min(c.greeting, static_cast<size_t>(n));
    }
    if (c.out.size() > kMaxBacklog)
        drop(c, "does not read (" + std::to_string(c.out.size()) + " bytes waiting), dropped");
}

void SocketcandServer::run() {
    std::vector<TapFrame> frames;
    std::vector<net::Watch> watch;
    for (;;) {
        SocketcandCfg cfg;
        uint64_t next = kNever, now = 0, lost = 0;
        std::map<uint32_t, unsigned> refused;  // client, frames
        {
            std::lock_guard<std::mutex> lock(m_sim.mu);
            m_sim.pump();
            cfg = m_sim.socketcand();
            for (const Outgoing &o : m_toBus) {
                Frame f;
                f.id = o.id;
                f.dlc = o.dlc;
                std::memcpy(f.data, o.data, 8);
                if (!m_sim.clientSend(o.channel, f, o.client)) ++refused[o.client];
            }
            m_toBus.clear();
            frames.swap(m_sim.tap);
            lost = m_sim.tapLost;
            m_sim.tapLost = 0;
            next = m_sim.nextDue();
            now = m_sim.now();
            if (m_stop || !cfg.on) m_leaving = true;
        }
        if (m_leaving) break;
        if (lost) m_sim.note("socketcand: " + std::to_string(lost) + " frames not forwarded (bridge behind)");
        if (static_cast<int>(cfg.port) != m_listenedPort)
            listen(cfg.port);  // a port that cannot be had is logged once, not retried
        for (Client *c : m_clients) {
            auto r = refused.find(c->id);
            if (r == refused.end()) continue;
            m_sim.note("socketcand: client " + std::to_string(c->id) + ": bus booked up more than a second ahead, " +
                       std::to_string(r->second) + " frames refused");
            for (unsigned i = 0; i < r->second; ++i) reply(*c, "< error bus busy >");
        }

        // Every frame to every client in raw mode on its channel but the sender.
        char head[64];
        for (const TapFrame &t : frames) {
            // The protocol's frames are classic ones: error and FD frames stay away.
            if ((t.f.flags & XL_CAN_MSG_FLAG_ERROR_FRAME) || t.f.isFd()) continue;
            const bool ext = (t.f.id & XL_CAN_EXT_MSG_ID) != 0;
            const unsigned n = (t.f.flags & XL_CAN_MSG_FLAG_REMOTE_FRAME) ? 0 : std::min<unsigned>(t.f.dlc, 8);
            std::snprintf(head, sizeof head, ext ? "< frame %08X %llu.%06llu " : "< frame %03X %llu.%06llu ",
                          static_cast<unsigned>(t.f.id & 0x1FFFFFFFu),
                          static_cast<unsigned long long>(t.time / 1000000000ull),
                          static_cast<unsigned long long>(t.time / 1000ull % 1000000ull));
            const std::string line = head + Hex(t.f.data, n) + " >";
            for (Client *c : m_clients)
                if (c->raw && !c->dead && c->channel == t.channel && c->id != t.client) reply(*c, line);
        }
        frames.clear();

        const uint64_t wall = WallNs();
        unsigned ready = 0;
        uint64_t holdWait = kNever;
        for (Client *c : m_clients) {
            flush(*c, wall);
            if (c->raw && !c->dead) {
                if (wall >= c->holdUntil)
                    ++ready;
                else
                    holdWait = std::min(holdWait, c->holdUntil - wall);
            }
        }
        m_ready = ready;
        m_clients.erase(std::remove_if(m_clients.begin(), m_clients.end(),
                                       [](Client *c) {
                                           const bool dead = c->dead;
                                           if (dead) delete c;
                                           return dead;
                                       }),
                        m_clients.end());

        uint64_t waitUs = m_clients.empty() ? kIdleWaitUs : kBusyWaitUs;
        if (!m_clients.empty() && next != kNever) waitUs = std::min(waitUs, next > now ? (next - now + 999) / 1000 : 0);
        if (holdWait != kNever) waitUs = std::min(waitUs, holdWait / 1000 + 1);
        watch.clear();
        watch.push_back({m_waker.socket(), false, false, false});
        if (m_listener != net::kNoSocket) watch.push_back({m_listener, false, false, false});
        for (Client *c : m_clients) watch.push_back({c->s, !c->out.empty() && wall >= c->holdUntil, false, false});
        net::Wait(watch, waitUs);
        m_wakePending = false;
        m_waker.drain();
        size_t w = 1;
        if (m_listener != net::kNoSocket && watch[w++].readable) accept();
        const size_t known = watch.size() - w;
        for (size_t i = 0; i < known && i < m_clients.size(); ++i)
            if (watch[w + i].readable) read(*m_clients[i]);
    }
    for (Client *c : m_clients) {
        net::Close(c->s);
        delete c;
    }
    m_clients.clear();
    net::Close(m_listener);
    m_listener = net::kNoSocket;
    m_port = 0;
    m_ready = 0;
    if (!m_stop) m_sim.note("socketcand: bridge off");
}

}  // namespace vxlsim
