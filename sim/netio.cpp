#include "netio.h"

#ifdef _WIN32
#ifndef FD_SETSIZE
#define FD_SETSIZE 256
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#endif

#include <cstring>

namespace vxlsim {
namespace net {

namespace {

#ifdef _WIN32
using Native = SOCKET;
const Native kBad = INVALID_SOCKET;
// Set when the process ends: other threads are gone by then.
volatile bool g_processEnding = false;

bool Started() {
    static const bool ok = [] {
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
        // Winsock stays for the process: WSACleanup may not be called from
        // the unload handler, and a Winsock unloaded with this library
        // behind it hands a later load sockets it then does not know.
        HMODULE pinned = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN, L"ws2_32.dll", &pinned);
        return true;
    }();
    return ok;
}
int LastError() { return WSAGetLastError(); }
bool WouldBlock(int e) { return e == WSAEWOULDBLOCK; }
void SetNonBlocking(Native s) {
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
}
void CloseNative(Native s) { closesocket(s); }
constexpr int kSendFlags = 0;
#else
using Native = int;
const Native kBad = -1;
bool Started() { return true; }
int LastError() { return errno; }
bool WouldBlock(int e) { return e == EAGAIN || e == EWOULDBLOCK || e == EINTR; }
void SetNonBlocking(Native s) {
    fcntl(s, F_SETFL, fcntl(s, F_GETFL, 0) | O_NONBLOCK);
    fcntl(s, F_SETFD, FD_CLOEXEC);
}
void CloseNative(Native s) { close(s); }
constexpr int kSendFlags = MSG_NOSIGNAL;
#endif

Native N(Socket s) { return static_cast<Native>(s); }
Socket S(Native s) { return s == kBad ? kNoSocket : static_cast<Socket>(s); }

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

uint16_t PortOf(Native s) {
    sockaddr_in a;
    socklen_t len = sizeof a;
    if (getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

void NoDelay(Native s) {
    int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on), sizeof on);
}

}  // namespace

Socket ListenLoopback(uint16_t port, uint16_t &bound, std::string &error) {
    bound = 0;
    if (!Started()) {
        error = "sockets unavailable";
        return kNoSocket;
    }
    Native s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == kBad) {
        error = "no socket (error " + std::to_string(LastError()) + ")";
        return kNoSocket;
    }
#ifndef _WIN32
    // A port left in TIME_WAIT by an earlier run is free to take again.
    // (Windows would let a second listener share a live port with this.)
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#endif
    const sockaddr_in a = Loopback(port);
    if (bind(s, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0 || listen(s, 16) != 0) {
        error = "cannot listen on 127.0.0.1:" + std::to_string(port) + " (error " + std::to_string(LastError()) + ")";
        CloseNative(s);
        return kNoSocket;
    }
    SetNonBlocking(s);
    bound = PortOf(s);
    return S(s);
}

Socket Accept(Socket listener) {
    Native c = accept(N(listener), nullptr, nullptr);
    if (c == kBad) return kNoSocket;
    SetNonBlocking(c);
    NoDelay(c);
    return S(c);
}

Socket ConnectLoopback(uint16_t port) {
    if (!Started()) return kNoSocket;
    Native s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == kBad) return kNoSocket;
    const sockaddr_in a = Loopback(port);
    if (connect(s, reinterpret_cast<const sockaddr *>(&a), sizeof a) != 0) {
        CloseNative(s);
        return kNoSocket;
    }
    NoDelay(s);
    return S(s);
}

long Recv(Socket s, char *buf, size_t size) {
    const long n = static_cast<long>(recv(N(s), buf, static_cast<int>(size), 0));
#ifdef TCP_QUICKACK
    // Clients that write small messages without TCP_NODELAY (python-can's
    // socketcand interface) hold each one back until the last is
    // acknowledged: a delayed acknowledgement would cost them 40 ms a frame.
    // Linux leaves quick-ack mode by itself, so it is asked for every time.
    int on = 1;
    if (n > 0) setsockopt(N(s), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#endif
    if (n >= 0) return n;
    return WouldBlock(LastError()) ? kWouldBlock : kFailed;
}

long Send(Socket s, const char *buf, size_t size) {
    const long n = static_cast<long>(send(N(s), buf, static_cast<int>(size), kSendFlags));
    if (n >= 0) return n;
    return WouldBlock(LastError()) ? kWouldBlock : kFailed;
}

void Close(Socket s) {
    if (s != kNoSocket) CloseNative(N(s));
}

void Wait(std::vector<Watch> &watch, uint64_t timeoutUs) {
#ifdef _WIN32
    fd_set rd, wr;
    FD_ZERO(&rd);
    FD_ZERO(&wr);
    for (const Watch &w : watch) {
        FD_SET(N(w.socket), &rd);
        if (w.write) FD_SET(N(w.socket), &wr);
    }
    timeval tv;
    tv.tv_sec = static_cast<long>(timeoutUs / 1000000);
    tv.tv_usec = static_cast<long>(timeoutUs % 1000000);
    const int n = select(0, &rd, &wr, nullptr, &tv);
    for (Watch &w : watch) {
        w.readable = n > 0 && FD_ISSET(N(w.socket), &rd);
        w.writable = n > 0 && w.write && FD_ISSET(N(w.socket), &wr);
    }
#else
    std::vector<pollfd> fds(watch.size());
    for (size_t i = 0; i < watch.size(); ++i) {
        fds[i].fd = N(watch[i].socket);
        fds[i].events = static_cast<short>(POLLIN | (watch[i].write ? POLLOUT : 0));
        fds[i].revents = 0;
    }
    timespec ts;
    ts.tv_sec = static_cast<time_t>(timeoutUs / 1000000);
    ts.tv_nsec = static_cast<long>(timeoutUs % 1000000) * 1000;
    const int n = ppoll(fds.data(), fds.size(), &ts, nullptr);
    for (size_t i = 0; i < watch.size(); ++i) {
        // A closed or failed socket counts as readable: the read tells which.
        watch[i].readable = n > 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL));
        watch[i].writable = n > 0 && (fds[i].revents & POLLOUT);
    }
#endif
}

Waker::Waker() {
    if (!Started()) return;
    Native s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == kBad) return;
    sockaddr_in a = Loopback(0);
    if (bind(s, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0) {
        a = Loopback(PortOf(s));
        if (connect(s, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0) {
            SetNonBlocking(s);
            m_s = S(s);
            return;
        }
    }
    CloseNative(s);
}

Waker::~Waker() {
#ifdef _WIN32
    if (g_processEnding) return;  // no Winsock calls while the process winds down
#endif
    Close(m_s);
}

void Waker::signal() {
    const char one = 1;
    if (m_s != kNoSocket) send(N(m_s), &one, 1, kSendFlags);
}

void Waker::drain() {
    char buf[64];
    while (m_s != kNoSocket && recv(N(m_s), buf, sizeof buf, 0) > 0) {}
}

#ifdef _WIN32
Signal::Signal() { m_handle = CreateEventW(nullptr, FALSE, FALSE, nullptr); }
Signal::~Signal() {
    if (m_handle && !g_processEnding) CloseHandle(static_cast<HANDLE>(m_handle));
}
bool Signal::ok() const { return m_handle != nullptr; }
void Signal::set() { SetEvent(static_cast<HANDLE>(m_handle)); }
bool Signal::take() { return WaitForSingleObject(static_cast<HANDLE>(m_handle), 0) == WAIT_OBJECT_0; }
uint64_t PreciseSleepsNs() { return 1500000; }
bool ProcessEnding() { return g_processEnding; }
#else
namespace {
int Fd(void *handle) { return static_cast<int>(reinterpret_cast<intptr_t>(handle)); }
}  // namespace
Signal::Signal() {
    m_handle = reinterpret_cast<void *>(static_cast<intptr_t>(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)));
}
Signal::~Signal() {
    if (Fd(m_handle) >= 0) close(Fd(m_handle));
}
bool Signal::ok() const { return Fd(m_handle) >= 0; }
void Signal::set() {
    const uint64_t one = 1;
    (void)!write(Fd(m_handle), &one, sizeof one);
}
bool Signal::take() {
    uint64_t count = 0;
    return read(Fd(m_handle), &count, sizeof count) == static_cast<ssize_t>(sizeof count);
}
uint64_t PreciseSleepsNs() {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    return 0;
}
bool ProcessEnding() { return false; }
#endif

Thread::~Thread() { stop(); }

void *Thread::body(void *self) {
    Thread *t = static_cast<Thread *>(self);
    t->m_proc(t->m_arg);
#ifdef _WIN32
    // Ending this thread takes the loader lock, which an unload holds while
    // it waits for the thread; so the thread parks here, holding nothing,
    // and Stop ends it from outside once this event says so. No instruction
    // of this library runs after the unload then.
    SetEvent(static_cast<HANDLE>(t->m_done));
    for (;;) Sleep(INFINITE);
#endif
    return nullptr;
}

#ifdef _WIN32
namespace {
DWORD WINAPI WinBody(LPVOID self) {
    Thread::body(self);
    return 0;
}
}  // namespace

bool Thread::start(Proc proc, void *arg) {
    stop();
    m_proc = proc;
    m_arg = arg;
    m_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!m_done) return false;
    HANDLE h = CreateThread(nullptr, 0, WinBody, this, 0, nullptr);
    if (!h) {
        CloseHandle(static_cast<HANDLE>(m_done));
        m_done = nullptr;
        return false;
    }
    m_native = h;
    return true;
}

void Thread::stop() {
    if (!m_native) return;
    // While the process ends, Windows has ended the thread already. A
    // terminated thread skips the per-thread notifications, so its handle
    // can be waited for even under the loader lock.
    if (!g_processEnding && WaitForSingleObject(static_cast<HANDLE>(m_done), 2000) == WAIT_OBJECT_0) {
        TerminateThread(static_cast<HANDLE>(m_native), 0);
        WaitForSingleObject(static_cast<HANDLE>(m_native), 2000);
    }
    CloseHandle(static_cast<HANDLE>(m_native));
    CloseHandle(static_cast<HANDLE>(m_done));
    m_native = nullptr;
    m_done = nullptr;
}
#else
bool Thread::start(Proc proc, void *arg) {
    stop();
    m_proc = proc;
    m_arg = arg;
    pthread_t *t = new pthread_t;
    if (pthread_create(t, nullptr, &Thread::body, this) != 0) {
        delete t;
        return false;
    }
    m_native = t;
    return true;
}

void Thread::stop() {
    if (!m_native) return;
    pthread_t *t = static_cast<pthread_t *>(m_native);
    pthread_join(*t, nullptr);
    delete t;
    m_native = nullptr;
}
#endif

}  // namespace net
}  // namespace vxlsim

#if defined(_WIN32) && defined(VXLSIM_DRIVER_DLL)
// Only to learn whether the process is ending when the statics go away.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr) vxlsim::net::g_processEnding = true;
    return TRUE;
}
#endif
