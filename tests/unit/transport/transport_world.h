// A simulated bus with the channel up, a capturing tracer and clean module
// state for every transport test; the test acts as the peer ECU by
// injecting frames and reading what went onto the bus.
#ifndef PT_TESTS_UNIT_TRANSPORT_TRANSPORT_WORLD_H
#define PT_TESTS_UNIT_TRANSPORT_TRANSPORT_WORLD_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api/module.h"
#include "can/can_io.h"
#include "can/driver_init.h"
#include "j2534.h"
#include "trace/lock_guard.h"
#include "trace_capture.h"
#include "transport/filters.h"
#include "transport/records.h"
#include "vxlsim_control.h"

using Bytes = std::vector<uint8_t>;

// One CAN card channel, no scripted ECUs: only what a test sends is on the bus.
constexpr const char *kOneCard =
    "[driver]\n"
    "default_ecus = 0\n"
    "[channel]\n"
    "name = CANcardXL Channel 1\n"
    "hw_type = 15\n"
    "hw_index = 0\n"
    "hw_channel = 0\n"
    "transceiver_type = 0x0107\n"
    "transceiver_name = CANpiggy 1041Amag\n"
    "bus_capabilities = 0x00030003\n"
    "serial = 24680\n";

// Module state back to what a fresh load gives.
inline void ResetTransportState() {
    LockGuard readGuard(m_readLock);
    LockGuard txGuard(theModule.m_txLock);
    LockGuard filterGuard(m_filterLock);
    theModule.m_passFilter.clear();
    theModule.m_passFilterCount = 0;
    theModule.m_blockFilter.clear();
    theModule.m_blockFilterCount = 0;
    theModule.m_flowFilter.clear();
    theModule.m_flowFilterCount = 0;
    theModule.m_rxBuffer.clear();
    theModule.m_rxBufferCount = 0;
    theModule.m_txBuffer.clear();
    theModule.m_txBufferCount = 0;
    theModule.m_ackPending.clear();
    theModule.m_NextFilterId = 0;
    theModule.m_ExtAddressing = 0;
    theModule.m_FunctionalGroupActive = 0;
    m_Iso15765BlockSize = 0;
    m_NextSeqId = 1;
    m_TraceSettings = 0;
    m_LastTxTimestamp = 0;
}

class TransportWorld : public ::testing::Test {
protected:
    void SetUp() override {
        vxlsim_reset();
        ResetTransportState();
        trace_ = std::make_unique<TraceCapture>(2);
        ASSERT_EQ(0, vxlsim_load_config_text(kOneCard));
        ASSERT_EQ(0, vectorInitDriver(500000));
        port_ = m_PortHandle;
        vxlsim_call_clear();
        vxlsim_capture_clear();
        trace_->clear();
    }
    void TearDown() override {
        VectorCleanUp();
        trace_.reset();
        ResetTransportState();
        vxlsim_reset();
    }

    TraceCapture &trace() { return *trace_; }
    bool traced(const std::string &text) const { return trace_->hasMessage(text); }
    size_t tracedCount(const std::string &text) const {
        auto m = trace_->messages();
        return static_cast<size_t>(std::count(m.begin(), m.end(), text));
    }
    bool tracedStartingWith(const std::string &prefix) const {
        for (const auto &m : trace_->messages())
            if (m.compare(0, prefix.size(), prefix) == 0) return true;
        return false;
    }

    static int32_t TxCount() {
        LockGuard txGuard(theModule.m_txLock);
        return theModule.m_txBufferCount;
    }

    // A frame from the peer, straight into our receive queue.
    static void Inject(uint32_t id, const Bytes &data, uint16_t flags = 0) {
        ASSERT_EQ(1, vxlsim::InjectFrame(m_PortHandle.load(), 0, id, data, flags));
    }

    // The frames this library put onto the bus, in order.
    std::vector<vxlsim_frame> Sent() const {
        std::vector<vxlsim_frame> out;
        for (const vxlsim_frame &f : vxlsim::Captured())
            if (f.sender_port == port_) out.push_back(f);
        return out;
    }
    static Bytes DataOf(const vxlsim_frame &f) { return Bytes(f.data, f.data + f.dlc); }

    // One poll; taken tells whether the receive queue held a frame.
    static uint32_t ReadOnce(PASSTHRU_MSG &msg, uint32_t &num, bool &taken) {
        const int before = vxlsim_call_count();
        const uint32_t status = PassThruReadMsgs(1, &msg, &num, 0);
        taken = false;
        for (int i = before; i < vxlsim_call_count(); ++i) {
            vxlsim_call call{};
            if (vxlsim_call_get(i, &call) == 0 && std::string(call.function) == "xlReceive") taken = true;
        }
        return status;
    }

    // Polls until the receive queue is empty; returns every message delivered.
    static std::vector<PASSTHRU_MSG> ReadAll() {
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
                break;
            }
        }
        return out;
    }

    // A message's Data as bytes (DataSize of them).
    static Bytes DataOf(const PASSTHRU_MSG &msg) { return Bytes(msg.Data, msg.Data + msg.DataSize); }

    static PASSTHRU_MSG FilterMsg(uint32_t dataSize, uint32_t canId, uint8_t extAddr = 0) {
        PASSTHRU_MSG msg{};
        msg.ProtocolID = ISO15765;
        msg.DataSize = dataSize;
        msg.Data[0] = static_cast<uint8_t>(canId >> 24);
        msg.Data[1] = static_cast<uint8_t>(canId >> 16);
        msg.Data[2] = static_cast<uint8_t>(canId >> 8);
        msg.Data[3] = static_cast<uint8_t>(canId);
        msg.Data[4] = extAddr;
        return msg;
    }

    // The usual pair for a physical ECU: pass its responses, answer them on flowId.
    static void ListenTo(uint32_t respId, uint32_t flowId) {
        PASSTHRU_MSG mask = FilterMsg(4, 0x7FF), pattern = FilterMsg(4, respId), flow = FilterMsg(4, flowId);
        uint32_t id = 0;
        ASSERT_EQ(STATUS_NOERROR, PassThruStartMsgFilter(1, PASS_FILTER, &mask, &pattern, &flow, &id));
        ASSERT_EQ(STATUS_NOERROR, PassThruStartMsgFilter(1, FLOW_CONTROL_FILTER, &mask, &pattern, &flow, &id));
    }

    static PASSTHRU_MSG Request(uint32_t canId, const Bytes &payload, uint32_t txFlags = 0) {
        PASSTHRU_MSG msg = FilterMsg(4 + static_cast<uint32_t>(payload.size()), canId);
        msg.TxFlags = txFlags;
        std::copy(payload.begin(), payload.end(), msg.Data + 4);
        return msg;
    }

    static Bytes Counting(size_t n, uint8_t first = 0) {
        Bytes b(n);
        for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(first + i);
        return b;
    }

private:
    std::unique_ptr<TraceCapture> trace_;
    XLportHandle port_ = XL_INVALID_PORTHANDLE;
};

#endif
