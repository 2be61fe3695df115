// The simulated buses as a socketcand server: tools that speak its text
// protocol (python-can's "socketcand" interface and the programs built on
// it) watch a channel's bus and put frames on it, like a node on the wire.
#ifndef VXLSIM_SOCKETCAND_SERVER_H
#define VXLSIM_SOCKETCAND_SERVER_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "netio.h"

namespace vxlsim {

class Sim;

class SocketcandServer {
public:
    explicit SocketcandServer(Sim &sim) : m_sim(sim) {}
    ~SocketcandServer() { stop(); }
    SocketcandServer(const SocketcandServer &) = delete;
    SocketcandServer &operator=(const SocketcandServer &) = delete;

    // Start may be called with the simulation's lock held; Stop must not.
    bool start();
    void stop();
    // The thread has decided to leave (told to, or the configuration turned
    // the bridge off) and takes the simulation's lock no more.
    bool leaving() const { return m_leaving.load(); }
    // Any thread: the simulation has something new (a frame delivered, a
    // frame or configuration waiting).
    void wake() {
        if (!m_wakePending.exchange(true)) m_waker.signal();
    }
    uint16_t port() const { return m_port.load(); }
    // Clients in raw mode past their greeting, so frames reach them.
    unsigned readyClients() const { return m_ready.load(); }

private:
    struct Client;
    static void main(void *self);
    void run();
    void listen(int wantedPort);
    void accept();
    void read(Client &c);
    void command(Client &c, const std::string &msg);
    void reply(Client &c, const std::string &msg);
    void flush(Client &c, uint64_t now);
    void drop(Client &c, const std::string &why);
    void forward(uint64_t now);

    Sim &m_sim;
    net::Thread m_thread;
    net::Waker m_waker;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_leaving{false};
    std::atomic<bool> m_wakePending{false};
    std::atomic<uint16_t> m_port{0};
    std::atomic<unsigned> m_ready{0};

    // Server thread only.
    net::Socket m_listener = net::kNoSocket;
    int m_listenedPort = -1;  // as configured; 0 = any free port
    std::vector<Client *> m_clients;
    uint32_t m_nextClient = 1;
    struct Outgoing {
        unsigned channel;
        uint32_t id;
        uint16_t dlc;
        uint8_t data[8];
        uint32_t client;
    };
    std::vector<Outgoing> m_toBus;
};

}  // namespace vxlsim

#endif
