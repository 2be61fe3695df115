#include "sim_world.h"

#include <algorithm>
#include <cstdio>

#include "api/module.h"
#include "can/can_io.h"
#include "can/driver_init.h"
#include "trace/lock_guard.h"
#include "transport/filters.h"
#include "transport/records.h"

namespace simworld {

// A literal, so that the larger configurations can start with it.
#define SIM_WORLD_ONE_CARD                     \
    "[driver]\n"                               \
    "default_ecus = 0\n"                       \
    "[channel]\n"                              \
    "name = CANcardXL Channel 1\n"             \
    "hw_type = 15\n"                           \
    "hw_index = 0\n"                           \
    "hw_channel = 0\n"                         \
    "transceiver_type = 0x0107\n"              \
    "transceiver_name = CANpiggy 1041Amag\n"   \
    "bus_capabilities = 0x00030003\n"          \
    "serial = 24680\n"

const char *const kOneCard = SIM_WORLD_ONE_CARD;

const char *const kTwoCardsOneVirtual =
    SIM_WORLD_ONE_CARD
    "[channel]\n"
    "name = CANcardXL Channel 2\n"
    "hw_type = 15\n"
    "hw_index = 0\n"
    "hw_channel = 1\n"
    "transceiver_type = 0x0107\n"
    "transceiver_name = CANpiggy 1041Amag\n"
    "bus_capabilities = 0x00030003\n"
    "serial = 24680\n"
    "[channel]\n"
    "name = Virtual Channel 1\n"
    "hw_type = 1\n"
    "hw_channel = 0\n"
    "transceiver_type = 0x16\n"
    "transceiver_name = Virtual CAN\n"
    "bus_capabilities = 0x00010001\n";

const char *const kTwoVirtual =
    "[driver]\n"
    "default_ecus = 0\n"
    "[channel]\n"
    "name = Virtual Channel 1\n"
    "hw_type = 1\n"
    "hw_channel = 0\n"
    "bus_capabilities = 0x00010001\n"
    "[channel]\n"
    "name = Virtual Channel 2\n"
    "hw_type = 1\n"
    "hw_channel = 1\n"
    "bus_capabilities = 0x00010001\n";

void ResetCanLayerState() {
    m_PortHandle = XL_INVALID_PORTHANDLE;
    m_ChannelMask = 0;
    m_PermissionMask = 0;
    g_XlDriverConfig = XLdriverConfig{};
    m_LastTxTimestamp = 0;
    m_ErrorFrameCount = 0;
    m_ErrorFrameReportTick = 0;
    m_UnknownEventCount = 0;
    m_UnknownEventReportTick = 0;
    theModule.m_bVirtual = 0;
    theModule.m_bCooperative = 0;
    theModule.m_WakeUp = 0;
}

namespace {

template <class List>
void Empty(List &list, int32_t &count) {
    list.clear();
    count = 0;
}

}  // namespace

void ResetTransportState() {
    LockGuard readGuard(m_readLock);
    LockGuard txGuard(theModule.m_txLock);
    LockGuard filterGuard(m_filterLock);
    Empty(theModule.m_passFilter, theModule.m_passFilterCount);
    Empty(theModule.m_blockFilter, theModule.m_blockFilterCount);
    Empty(theModule.m_flowFilter, theModule.m_flowFilterCount);
    Empty(theModule.m_rxBuffer, theModule.m_rxBufferCount);
    Empty(theModule.m_txBuffer, theModule.m_txBufferCount);
    theModule.m_ackPending.clear();
    theModule.m_NextFilterId = 0;
    theModule.m_ExtAddressing = 0;
    theModule.m_FunctionalGroupActive = 0;
    m_Iso15765BlockSize = 0;
    m_NextSeqId = 1;
    m_TraceSettings = 0;
    m_LastTxTimestamp = 0;
}

bool AckArmed(uint32_t id) {
    LockGuard txGuard(theModule.m_txLock);
    const auto it = theModule.m_ackPending.find(id);
    return it != theModule.m_ackPending.end() && it->second;
}

bool OpenChannel(const char *config, TraceCapture *trace, uint32_t bitrate) {
    if (vxlsim_load_config_text(config) != 0 || vectorInitDriver(bitrate) != 0) return false;
    vxlsim_call_clear();
    vxlsim_capture_clear();
    if (trace) trace->clear();
    return true;
}

std::vector<std::string> CalledFunctions() {
    std::vector<std::string> names;
    for (const vxlsim_call &call : vxlsim::Calls()) names.emplace_back(call.function);
    return names;
}

std::vector<uint64_t> ArgsOf(const vxlsim_call &call) {
    return std::vector<uint64_t>(call.args, call.args + call.nargs);
}

std::vector<vxlsim_frame> SentOn(unsigned channel) {
    std::vector<vxlsim_frame> frames;
    for (const vxlsim_frame &f : vxlsim::Captured())
        if (f.channel == channel && f.sender_port >= 0) frames.push_back(f);
    return frames;
}

Bytes DataOf(const vxlsim_frame &frame) { return Bytes(frame.data, frame.data + (frame.dlc < 8 ? frame.dlc : 8)); }

std::string FrameLine(uint32_t id, const Bytes &data) {
    char text[8];
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
    for (const vxlsim_frame &f : vxlsim::Captured()) lines.push_back(FrameLine(f.id, DataOf(f)));
    return lines;
}

void Inject(uint32_t id, const Bytes &data, uint16_t flags) {
    ASSERT_EQ(1, vxlsim::InjectFrame(m_PortHandle.load(), 0, id, data, flags));
}

Bytes Counting(size_t n, uint8_t first) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
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

PASSTHRU_MSG Request(uint32_t id, const Bytes &payload, uint32_t txFlags) {
    PASSTHRU_MSG msg = FilterMsg(4 + static_cast<uint32_t>(std::min<size_t>(payload.size(), PT_MSG_DATA_SIZE - 4)), id);
    msg.TxFlags = txFlags;
    std::copy(payload.begin(), payload.begin() + (msg.DataSize - 4), msg.Data + 4);
    return msg;
}

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

uint32_t Write(PASSTHRU_MSG msg, uint32_t num) { return PassThruWriteMsgs(1, &msg, &num, 0); }

uint32_t SetConfig(std::vector<SCONFIG> params) {
    SCONFIG_LIST list{static_cast<uint32_t>(params.size()), params.data()};
    return PassThruIoctl(1, SET_CONFIG, &list, nullptr);
}

void ListenTo(uint32_t respId, uint32_t flowId, int respAddr, int flowAddr) {
    const uint32_t size = respAddr >= 0 ? 5 : 4;
    PASSTHRU_MSG mask = FilterMsg(size, 0x7FF, respAddr >= 0 ? 0xFF : -1);
    PASSTHRU_MSG pattern = FilterMsg(size, respId, respAddr), flow = FilterMsg(size, flowId, flowAddr);
    uint32_t id = 0;
    ASSERT_EQ(STATUS_NOERROR, PassThruStartMsgFilter(1, PASS_FILTER, &mask, &pattern, &flow, &id));
    ASSERT_EQ(STATUS_NOERROR, PassThruStartMsgFilter(1, FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &id));
}

uint32_t ReadOnce(PASSTHRU_MSG &msg, uint32_t &num, bool &taken) {
    const int before = vxlsim_call_count();
    const uint32_t status = PassThruReadMsgs(1, &msg, &num, 0);
    taken = false;
    for (int i = before; i < vxlsim_call_count(); ++i) {
        vxlsim_call call{};
        if (vxlsim_call_get(i, &call) == 0 && std::string(call.function) == "xlReceive") taken = true;
    }
    return status;
}

std::vector<PASSTHRU_MSG> ReadAll() {
    std::vector<PASSTHRU_MSG> out;
    auto msg = std::make_unique<PASSTHRU_MSG>();
    for (;;) {
        uint32_t num = 1;
        bool taken = false;
        const uint32_t status = ReadOnce(*msg, num, taken);
        if (status == STATUS_NOERROR) {
            EXPECT_EQ(1u, num);
            out.push_back(*msg);
        } else if (!taken) {
            return out;
        }
    }
}

std::string LevelOf(const TraceCapture &trace, const std::string &text) {
    for (const std::string &line : trace.lines()) {
        TraceLine parsed;
        if (parsed.parse(line) && parsed.marker == '|' && parsed.text == text) return parsed.level;
    }
    return std::string();
}

size_t TracedCount(const TraceCapture &trace, const std::string &text) {
    const std::vector<std::string> messages = trace.messages();
    return static_cast<size_t>(std::count(messages.begin(), messages.end(), text));
}

bool TracedStartingWith(const TraceCapture &trace, const std::string &prefix) {
    for (const std::string &m : trace.messages())
        if (m.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
}

void ResetWorld() {
    if (m_PortHandle != XL_INVALID_PORTHANDLE) VectorCleanUp();
    ResetCanLayerState();
    ResetTransportState();
    vxlsim_reset();
}

void SimWorldTest::SetUp() { ResetWorld(); }

void SimWorldTest::TearDown() { ResetWorld(); }

void OpenChannelTest::SetUp() {
    SimWorldTest::SetUp();
    trace_ = std::make_unique<TraceCapture>(2);
    ASSERT_TRUE(OpenChannel(kOneCard, trace_.get()));
}

void OpenChannelTest::TearDown() {
    if (theModule.m_bThreadRun) PassThruDisconnect(1);
    trace_.reset();
    SimWorldTest::TearDown();
}

}  // namespace simworld
