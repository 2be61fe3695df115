// The socketcand bridge seen from its clients: the handshake, frames both
// ways through the ports' acceptance filters, several clients at once, and
// clients that misbehave.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "../sim_fixture.h"
#include "netio.h"
#include "platform/platform.h"

namespace net = vxlsim::net;

namespace {

using Clock = std::chrono::steady_clock;

// The bridge works on its own thread: true once done() holds, false after 2 s.
template <typename Done>
bool Soon(Done done) {
    const auto end = Clock::now() + std::chrono::seconds(2);
    while (!done()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A client connection with a receive buffer.
struct Peer {
    net::Socket s = net::kNoSocket;
    std::string got;
    explicit Peer(int port) : s(net::ConnectLoopback(static_cast<uint16_t>(port))) {}
    ~Peer() { net::Close(s); }
    void say(const std::string &text) const { ASSERT_EQ(long(text.size()), net::Send(s, text.data(), text.size())); }
    // Reads until n characters are there; false when the peer closed first
    // (closed is set) or nothing came for 2 s.
    bool fill(size_t n, bool *closed = nullptr) {
        const auto end = Clock::now() + std::chrono::seconds(2);
        while (got.size() < n && Clock::now() < end) {
            std::vector<net::Watch> w{{s, false, false, false}};
            net::Wait(w, 20000);
            if (!w[0].readable) continue;
            char buf[512];
            const long r = net::Recv(s, buf, sizeof buf);
            if (r <= 0) {
                if (closed) *closed = true;
                return false;
            }
            got.append(buf, static_cast<size_t>(r));
        }
        return got.size() >= n;
    }
    std::string take(size_t n) {
        fill(n);
        const std::string head = got.substr(0, n);
        got.erase(0, std::min(n, got.size()));
        return head;
    }
    // Expects exactly text next.
    void expect(const std::string &text) { EXPECT_EQ(text, take(text.size())); }
    void join(const char *bus = "can0") {
        expect("< hi >");
        say(std::string("< open ") + bus + " >");
        expect("< ok >");
        say("< rawmode >");
        expect("< ok >");
    }
};

// A bridge may outlive a reset with its clients, so their numbers go on:
// lines are looked for from a mark on, by their end.
size_t g_logMark = 0;
bool LogHas(const std::string &tail, size_t from = g_logMark) {
    return Soon([&] {
        const std::vector<std::string> lines = vxlsim::LogLines();
        for (size_t i = from; i < lines.size(); ++i)
            if (lines[i].size() >= tail.size() &&
                lines[i].compare(lines[i].size() - tail.size(), tail.size(), tail) == 0)
                return true;
        return false;
    });
}

// The socketcand form of the bus's frame number k (from 1), once it is there.
std::string FrameLine(size_t k) {
    std::vector<vxlsim_frame> cap;
    if (!Soon([&] { return (cap = vxlsim::Captured()).size() >= k; })) return "(no frame " + std::to_string(k) + ")";
    const vxlsim_frame &f = cap[k - 1];
    char line[96];
    const bool ext = (f.id & XL_CAN_EXT_MSG_ID) != 0;
    int n = std::snprintf(line, sizeof line, ext ? " < frame %08X %llu.%06llu " : " < frame %03X %llu.%06llu ",
                          unsigned(f.id & 0x1FFFFFFF), (unsigned long long)(f.time_ns / 1000000000),
                          (unsigned long long)(f.time_ns / 1000 % 1000000));
    for (unsigned i = 0; i < f.dlc; ++i) n += std::snprintf(line + n, sizeof line - size_t(n), "%02X", f.data[i]);
    std::snprintf(line + n, sizeof line - size_t(n), " >");
    return line;
}

class SocketcandTest : public SimTest {
protected:
    void SetUp() override {
        g_logMark = static_cast<size_t>(vxlsim_log_count());
        ASSERT_EQ(0, vxlsim_load_config_text("[driver]\ndefault_ecus = 0\n[socketcand]\nport = 0\n"));
        ASSERT_EQ(XL_SUCCESS, xlOpenDriver());
        ASSERT_TRUE(Soon([&] { return (m_port = vxlsim_socketcand_port()) > 0; }));
        ASSERT_TRUE(LogHas("socketcand: listening on 127.0.0.1:" + std::to_string(m_port), 0));
    }
    static bool await(XLportHandle h, XLevent &ev) {
        return Soon([&] { return next(h, ev); });
    }
    int m_port = 0;
};

TEST(SocketcandOff, NoListenerUnlessConfigured) {
    vxlsim_reset();
    EXPECT_EQ(-1, vxlsim_socketcand_port());
    EXPECT_NE(0, vxlsim_load_config_text("[socketcand]\nport = 70000\n"));
}

TEST_F(SocketcandTest, FramesBothWaysThroughTheAcceptanceFilter) {
    const XLportHandle h = openActive(0);
    ASSERT_EQ(XL_SUCCESS, xlCanSetChannelAcceptance(h, mask(0), 0x7E8, 0x7FF, XL_CAN_STD));
    Peer p(m_port);
    p.join();

    // Into the library: the filter lets 0x7E8 through, not 0x123; extended
    // identifiers go by eight digits or by size.
    p.say("< send 123 1 AA >< send 7E8 3 1 2 ff >< send 18DAF110 2 1 2 >< send 1ABCDEF 0 >");
    XLevent ev;
    ASSERT_TRUE(await(h, ev));
    EXPECT_EQ(0x7E8u, ev.tagData.msg.id);
    EXPECT_EQ(0, ev.tagData.msg.flags);
    EXPECT_EQ((std::vector<uint8_t>{0x01, 0x02, 0xFF}), data(ev));
    ASSERT_TRUE(await(h, ev));
    EXPECT_EQ(0x18DAF110u | XL_CAN_EXT_MSG_ID, ev.tagData.msg.id);
    ASSERT_TRUE(await(h, ev));
    EXPECT_EQ(0x1ABCDEFu | XL_CAN_EXT_MSG_ID, ev.tagData.msg.id);
    EXPECT_EQ(0, ev.tagData.msg.dlc);
    EXPECT_EQ(4u, vxlsim::Captured().size());

    // Out of the library: with the bus's time stamp; the client's own
    // frames did not come back to it.
    ASSERT_EQ(XL_SUCCESS, send(h, 0, 0x7E0, {0x02, 0x10, 0x03}));
    p.expect(FrameLine(5));
    EXPECT_EQ(" < frame 7E0 ", FrameLine(5).substr(0, 13));
    ASSERT_EQ(XL_SUCCESS, send(h, 0, 0x18DB33F1 | XL_CAN_EXT_MSG_ID, {}));
    p.expect(FrameLine(6));
    EXPECT_EQ(" < frame 18DB33F1 ", FrameLine(6).substr(0, 18));
}

TEST_F(SocketcandTest, TwoClientsSeeEachOtherAndOutliveAnAbruptOne) {
    const XLportHandle h = openActive(0);
    Peer a(m_port), b(m_port);
    a.join();
    b.join();
    a.say("< send 7E0 2 3E 00 >");
    b.expect(FrameLine(1));
    EXPECT_EQ(" < frame 7E0 ", FrameLine(1).substr(0, 13));
    b.say("< send 7E8 2 7E 00 >");
    a.expect(FrameLine(2));
    EXPECT_EQ(" < frame 7E8 ", FrameLine(2).substr(0, 13));

    // a leaves in the middle of a command: nothing of it reaches the bus,
    // b and the library go on.
    a.say("< send 7E0 2 01");
    net::Close(a.s);
    a.s = net::kNoSocket;
    EXPECT_TRUE(LogHas(" disconnected mid-line ('< send 7E0 2 01')"));
    ASSERT_EQ(XL_SUCCESS, send(h, 0, 0x7E0, {0x01}));
    b.expect(FrameLine(3));
    EXPECT_EQ(3u, vxlsim::Captured().size());
    b.say("< send 7E8 1 02 >");
    XLevent ev;
    ASSERT_TRUE(await(h, ev));  // a's frame
    ASSERT_TRUE(await(h, ev));  // b's first
    ASSERT_TRUE(await(h, ev));  // the library's own, confirmed
    EXPECT_EQ(XL_CAN_MSG_FLAG_TX_COMPLETED, ev.tagData.msg.flags);
    ASSERT_TRUE(await(h, ev));
    EXPECT_EQ((std::vector<uint8_t>{0x02}), data(ev));
}

TEST_F(SocketcandTest, BadInputIsAnsweredAndLogged) {
    const std::string longLine = "< send " + std::string(300, '1');
    struct Case {
        std::string input, answer, log;
        bool dropped;
    } cases[] = {
        {"hello < echo >", "< error expected '<' >< echo >", "text outside a message: 'hello '", false},
        {"< fly >", "< error unknown command >", "unknown command '< fly >'", false},
        {"< rawmode >", "< error no bus open >", "no bus open '< rawmode >'", false},
        {"< open vcan0 >", "< error no such bus >", "no bus 'vcan0'", false},
        {"< open can4 >", "< error no such bus >", "no bus 'can4'", false},
        {"< open can0 >< open can1 >", "< ok >< error bus already open >", "bus already open '< open can1 >'", false},
        {"< open can0 >< send 7E0 2 01 >", "< ok >< error 1 data bytes for length 2 >",
         "1 data bytes for length 2 in '< send 7E0 2 01 >'", false},
        {"< open can0 >< send 7E0 9 0 0 0 0 0 0 0 0 0 >", "< ok >< error bad length >",
         "bad length in '< send 7E0 9 0 0 0 0 0 0 0 0 0 >'", false},
        {"< open can0 >< send 7G0 1 00 >", "< ok >< error bad identifier >", "bad identifier in '< send 7G0 1 00 >'",
         false},
        {"< open can0 >< send 20000000 0 >", "< ok >< error bad identifier >",
         "bad identifier in '< send 20000000 0 >'", false},
        {"< open can0 >< send 7E0 1 100 >", "< ok >< error bad data byte '100' >",
         "bad data byte '100' in '< send 7E0 1 100 >'", false},
        {longLine, "< error line too long >", "sent more than 256 characters without '>', dropped", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.input);
        Peer p(m_port);
        p.expect("< hi >");
        p.say(c.input);
        p.expect(c.answer);
        EXPECT_TRUE(LogHas((c.dropped ? " " : ": ") + c.log));
        bool closed = false;
        if (c.dropped) {
            EXPECT_FALSE(p.fill(p.got.size() + 1, &closed));
            EXPECT_TRUE(closed);
        } else {
            p.say("< echo >");
            p.expect("< echo >");
        }
    }
    EXPECT_TRUE(vxlsim::Captured().empty());
}

// A copy of the stand-in, loaded and unloaded while a client is connected:
// the unload ends the bridge's thread and its connections, and a later load
// starts a bridge again.
TEST(SocketcandUnload, UnloadEndsTheBridgeAndALaterLoadStartsAgain) {
    namespace fs = std::filesystem;
    const fs::path copy =
        fs::temp_directory_path() /
        ("vxlsim_unload_" + std::to_string(Clock::now().time_since_epoch().count()) + plat::SharedLibrarySuffix());
    fs::remove(copy);
    fs::copy_file(VXLSIM_DRIVER_FILE, copy);
    for (int round = 0; round < 2; ++round) {
        void *lib = plat::LoadSharedLibrary(copy.string().c_str());
        ASSERT_NE(nullptr, lib);
        auto load = reinterpret_cast<int (*)(const char *)>(plat::FindSymbol(lib, "vxlsim_load_config_text"));
        auto port = reinterpret_cast<int (*)()>(plat::FindSymbol(lib, "vxlsim_socketcand_port"));
        ASSERT_TRUE(load && port);
        ASSERT_EQ(0, load("[socketcand]\nport = 0\n"));
        int p = 0;
        ASSERT_TRUE(Soon([&] { return (p = port()) > 0; }));
        Peer peer(p);
        peer.expect("< hi >");
        plat::UnloadSharedLibrary(lib);
        bool closed = false;
        EXPECT_FALSE(peer.fill(1, &closed));
        EXPECT_TRUE(closed);
    }
    fs::remove(copy);
}

}  // namespace
