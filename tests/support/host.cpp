#include "host.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

#include "platform/platform.h"

const char *const kOneCard = VXLSIM_ONE_CARD;

Bytes Counting(size_t n, uint8_t first) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

Bytes Cat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes IdBytes(uint32_t id) {
    return {static_cast<uint8_t>(id >> 24), static_cast<uint8_t>(id >> 16), static_cast<uint8_t>(id >> 8),
            static_cast<uint8_t>(id)};
}

uint32_t IdOf(const PASSTHRU_MSG &msg) {
    return static_cast<uint32_t>(msg.Data[0]) << 24 | static_cast<uint32_t>(msg.Data[1]) << 16 |
           static_cast<uint32_t>(msg.Data[2]) << 8 | msg.Data[3];
}

Bytes DataOf(const PASSTHRU_MSG &msg) {
    return Bytes(msg.Data, msg.Data + std::min<uint32_t>(msg.DataSize, PT_MSG_DATA_SIZE));
}

PASSTHRU_MSG FilterMsg(uint32_t dataSize, uint32_t id, int extAddr) {
    PASSTHRU_MSG msg{};
    msg.ProtocolID = ISO15765;
    msg.DataSize = dataSize;
    const Bytes idBytes = IdBytes(id);
    std::copy(idBytes.begin(), idBytes.end(), msg.Data);
    if (extAddr >= 0) msg.Data[4] = static_cast<uint8_t>(extAddr);
    return msg;
}

PASSTHRU_MSG Msg(uint32_t id, const Bytes &payload, uint32_t txFlags) {
    const size_t n = std::min<size_t>(payload.size(), PT_MSG_DATA_SIZE - 4);
    PASSTHRU_MSG msg = FilterMsg(4 + static_cast<uint32_t>(n), id);
    msg.TxFlags = txFlags;
    std::copy(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(n), msg.Data + 4);
    return msg;
}

bool IsConfirmation(const PASSTHRU_MSG &msg) { return (msg.RxStatus & TX_MSG_TYPE) != 0; }

void ExpectMessage(const PASSTHRU_MSG &msg, uint32_t id, const Bytes &payload) {
    EXPECT_EQ(ISO15765, msg.ProtocolID);
    EXPECT_EQ(0u, msg.RxStatus);
    EXPECT_EQ(0u, msg.TxFlags);
    EXPECT_EQ(0u, msg.ExtraDataIndex);
    EXPECT_EQ(4u + payload.size(), msg.DataSize);
    Bytes data = IdBytes(id);
    data.insert(data.end(), payload.begin(), payload.end());
    EXPECT_EQ(data, DataOf(msg));
}

void ExpectConfirmation(const PASSTHRU_MSG &msg, uint32_t id) {
    EXPECT_EQ(ISO15765, msg.ProtocolID);
    EXPECT_EQ(TX_MSG_TYPE, msg.RxStatus);
    EXPECT_EQ(4u, msg.DataSize);
    EXPECT_EQ(IdBytes(id), DataOf(msg));
}

std::string FrameLine(uint32_t id, const Bytes &data) {
    char text[16];
    std::snprintf(text, sizeof text, "%03X:", static_cast<unsigned>(id));
    std::string line = text;
    for (uint8_t b : data) {
        std::snprintf(text, sizeof text, " %02X", b);
        line += text;
    }
    return line;
}

std::vector<std::string> BusLines() {
    std::vector<std::string> lines;
    for (const vxlsim_frame &f : vxlsim::Captured())
        lines.push_back(FrameLine(f.id & 0x1FFFFFFFu, Bytes(f.data, f.data + std::min<uint16_t>(f.dlc, 8))));
    return lines;
}

std::vector<uint64_t> SendTimes(uint32_t id, uint8_t pciMask, uint8_t pci, size_t pciIndex) {
    std::vector<uint64_t> out;
    for (const vxlsim_frame &f : vxlsim::Captured())
        if (f.id == id && f.sender_port >= 0 && (f.data[pciIndex] & pciMask) == pci) out.push_back(f.wall_ns);
    return out;
}

void Inject(uint32_t id, const Bytes &data) { ASSERT_EQ(1, vxlsim::InjectFrame(-1, 0, id, data)); }

std::vector<std::string> Called() {
    std::vector<std::string> names;
    for (const vxlsim_call &call : vxlsim::Calls()) names.emplace_back(call.function);
    return names;
}

std::vector<uint64_t> CallArgs(const std::string &function, size_t arg) {
    std::vector<uint64_t> args;
    for (const vxlsim_call &call : vxlsim::CallsTo(function)) args.push_back(call.args[arg]);
    return args;
}

long Confirmations(const std::vector<PASSTHRU_MSG> &msgs, uint32_t id) {
    return std::count_if(msgs.begin(), msgs.end(),
                         [id](const PASSTHRU_MSG &m) { return IsConfirmation(m) && IdOf(m) == id; });
}

namespace {

uint32_t ElapsedMs(std::chrono::steady_clock::time_point since) {
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count());
}

// The stand-in first, so the library's first driver call meets the test's world.
std::string ResetSimulator(const char *config, const std::string &iniKeys) {
    vxlsim_reset();
    EXPECT_EQ(0, vxlsim_load_config_text(config));
    return "[MORIX_VECTOR]\n" + iniKeys;
}

}  // namespace

Host::Host(const std::string &iniKeys, const char *simConfig) : m_library(ResetSimulator(simConfig, iniKeys)) {
    EXPECT_TRUE(m_library.load());
}

Host::~Host() {
    m_library.unload();
    vxlsim_reset();
}

uint32_t Host::connect(uint32_t flags) {
    uint32_t channel = 0;
    return pt().Connect(ISO15765, flags, &channel);
}

uint32_t Host::ioctl(uint32_t id, void *input, void *output) { return pt().Ioctl(1, id, input, output); }

uint32_t Host::setConfig(std::vector<SCONFIG> params) {
    SCONFIG_LIST list{static_cast<uint32_t>(params.size()), params.data()};
    return ioctl(SET_CONFIG, &list, nullptr);
}

void Host::open() {
    ASSERT_EQ(STATUS_NOERROR, connect());
    ASSERT_EQ(STATUS_NOERROR, setConfig({{DATA_RATE, 500000}}));
    vxlsim_call_clear();
    vxlsim_capture_clear();
}

void Host::open(uint32_t respId, uint32_t flowId) {
    open();
    listen(respId, flowId);
}

uint32_t Host::startFilter(uint32_t type, PASSTHRU_MSG mask, PASSTHRU_MSG pattern, const PASSTHRU_MSG *flow,
                           uint32_t *filterId) {
    PASSTHRU_MSG f = flow ? *flow : PASSTHRU_MSG{};
    return pt().StartMsgFilter(1, type, &mask, &pattern, flow ? &f : nullptr, filterId);
}

void Host::listen(uint32_t respId, uint32_t flowId, int respAddr, int flowAddr) {
    const uint32_t size = respAddr >= 0 ? 5 : 4;
    const PASSTHRU_MSG mask = FilterMsg(size, 0x7FF, respAddr >= 0 ? 0xFF : -1);
    const PASSTHRU_MSG pattern = FilterMsg(size, respId, respAddr), flow = FilterMsg(size, flowId, flowAddr);
    uint32_t id = 0;
    ASSERT_EQ(STATUS_NOERROR, startFilter(PASS_FILTER, mask, pattern, &flow, &id));
    ASSERT_EQ(STATUS_NOERROR, startFilter(FLOW_CONTROL_FILTER, mask, pattern, &flow, &id));
}

uint32_t Host::write(PASSTHRU_MSG msg, uint32_t num) { return pt().WriteMsgs(1, &msg, &num, 0); }

bool Host::poll(PASSTHRU_MSG &msg) {
    uint32_t num = 1;
    const uint32_t status = pt().ReadMsgs(1, &msg, &num, 0);
    if (status == STATUS_NOERROR) {
        EXPECT_EQ(1u, num);
        return true;
    }
    EXPECT_EQ(ERR_BUFFER_EMPTY, status);
    EXPECT_EQ(0u, num);
    return false;
}

std::vector<PASSTHRU_MSG> Host::drain() {
    std::vector<PASSTHRU_MSG> out;
    auto msg = std::make_unique<PASSTHRU_MSG>();
    // The driver logs every call but an xlReceive that found nothing: a poll
    // that leaves the log as it was met an empty queue.
    for (;;) {
        const int before = vxlsim_call_count();
        if (poll(*msg))
            out.push_back(*msg);
        else if (vxlsim_call_count() == before)
            return out;
    }
}

std::vector<PASSTHRU_MSG> Host::readUntil(const std::function<bool(const PASSTHRU_MSG &)> &done, uint32_t deadlineMs) {
    std::vector<PASSTHRU_MSG> out;
    auto msg = std::make_unique<PASSTHRU_MSG>();
    const auto start = std::chrono::steady_clock::now();
    // Each call takes at most one frame: pause only after a run of empty
    // answers, or an answer sent back to back overruns the receive queue.
    unsigned emptyRun = 0;
    while (ElapsedMs(start) < deadlineMs) {
        if (poll(*msg)) {
            emptyRun = 0;
            out.push_back(*msg);
            if (done(*msg)) break;
        } else if (++emptyRun >= 50) {
            plat::SleepMs(1);
            emptyRun = 0;
        }
    }
    return out;
}

std::vector<PASSTHRU_MSG> Host::readAnswerFrom(uint32_t id, uint32_t deadlineMs) {
    return readUntil([id](const PASSTHRU_MSG &m) { return !IsConfirmation(m) && IdOf(m) == id; }, deadlineMs);
}

std::vector<PASSTHRU_MSG> Host::readFor(uint32_t ms) {
    return readUntil([](const PASSTHRU_MSG &) { return false; }, ms);
}

std::vector<std::string> Host::trace() const {
    std::vector<std::string> out;
    for (const HostLibrary::TraceEntry &e : m_library.traceEntries())
        if (e.marker == '|') out.push_back(e.text);
    return out;
}

bool Host::traced(const std::string &text) const { return tracedCount(text) > 0; }

size_t Host::tracedCount(const std::string &text) const {
    const std::vector<std::string> texts = trace();
    return static_cast<size_t>(std::count(texts.begin(), texts.end(), text));
}

bool Host::tracedStartingWith(const std::string &prefix) const {
    for (const std::string &t : trace())
        if (t.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
}

std::string Host::levelOf(const std::string &text) const {
    for (const HostLibrary::TraceEntry &e : m_library.traceEntries())
        if (e.marker == '|' && e.text == text) return e.level;
    return std::string();
}

bool Host::awaitTraced(const std::string &text, uint32_t deadlineMs) {
    const auto start = std::chrono::steady_clock::now();
    auto msg = std::make_unique<PASSTHRU_MSG>();
    while (!traced(text)) {
        if (ElapsedMs(start) > deadlineMs) return false;
        poll(*msg);
        plat::SleepMs(5);
    }
    return true;
}
