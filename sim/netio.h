// The few socket and thread services the bus bridge needs, over BSD sockets
// and POSIX threads or Winsock and Win32 threads. Everything that differs
// between the two systems stays inside netio.cpp.
#ifndef VXLSIM_NETIO_H
#define VXLSIM_NETIO_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vxlsim {
namespace net {

using Socket = intptr_t;
constexpr Socket kNoSocket = -1;

// A TCP listener on 127.0.0.1 (never another address); port 0 takes a free
// one. Returns kNoSocket with a reason in error.
Socket ListenLoopback(uint16_t port, uint16_t &bound, std::string &error);
// A waiting connection, non-blocking and without send delay; kNoSocket if none.
Socket Accept(Socket listener);
// Connects to 127.0.0.1:port (blocking), for tests and tools.
Socket ConnectLoopback(uint16_t port);

enum : long { kWouldBlock = -1, kFailed = -2 };
// Bytes moved, 0 when the peer closed (Recv only), kWouldBlock or kFailed.
long Recv(Socket s, char *buf, size_t size);
long Send(Socket s, const char *buf, size_t size);
void Close(Socket s);

struct Watch {
    Socket socket;
    bool write;     // also wake when it can take more data
    bool readable;  // out
    bool writable;  // out
};
// Waits until one of the sockets is ready or timeoutUs passes.
void Wait(std::vector<Watch> &watch, uint64_t timeoutUs);

// Lets other threads end a Wait early: a datagram socket connected to
// itself, watched like the others.
class Waker {
public:
    Waker();
    ~Waker();
    Waker(const Waker &) = delete;
    Waker &operator=(const Waker &) = delete;
    bool ok() const { return m_s != kNoSocket; }
    Socket socket() const { return m_s; }
    void signal();
    void drain();

private:
    Socket m_s = kNoSocket;
};

// xlSetNotification's object: a Win32 auto-reset event, or elsewhere an
// eventfd (readable while set; the reader's read resets it). handle() is
// what the application gets as its XLhandle: the event handle, or the file
// descriptor in the pointer's bits.
class Signal {
public:
    Signal();
    ~Signal();
    Signal(const Signal &) = delete;
    Signal &operator=(const Signal &) = delete;
    bool ok() const;
    void set();
    void *handle() const { return m_handle; }
    // For tests: whether it is set now; takes the setting (as a wait would).
    bool take();

private:
    void *m_handle = nullptr;
};

// Windows: the process is ending (the unload handler was told so); other
// threads are gone and may have left locks taken. Never true elsewhere.
bool ProcessEnding();

// Asks the calling thread's sleeps to end on time (the timer slack on Linux);
// returns how long before a deadline a sleep of the system's granularity
// must end to be on time (0 where sleeps are exact, a tick on Windows).
uint64_t PreciseSleepsNs();

// One thread running proc(arg). Stop() is called after the thread was told
// to leave: it reaps the thread. Under Windows, where Stop may run under the
// loader lock, the thread signals when it is done and parks, and Stop ends
// it from outside; while the process ends, threads are already gone and
// Stop waits for nothing.
class Thread {
public:
    using Proc = void (*)(void *);
    Thread() = default;
    ~Thread();
    Thread(const Thread &) = delete;
    Thread &operator=(const Thread &) = delete;
    bool start(Proc proc, void *arg);
    bool running() const { return m_native != nullptr; }
    void stop();
    static void *body(void *self);  // the system's start routine calls this

private:
    void *m_native = nullptr;
    void *m_done = nullptr;  // Windows: event set as the thread's last step
    Proc m_proc = nullptr;
    void *m_arg = nullptr;
};

}  // namespace net
}  // namespace vxlsim

#endif
