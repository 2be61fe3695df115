// A vehicle of simulated ECUs on the one CAN channel, reached by a host
// through the exported functions only, with frames taking their time on the
// bus as at 500 kbit/s.
#ifndef PT_TESTS_E2E_E2E_H
#define PT_TESTS_E2E_E2E_H

#include <string>

#include "host.h"

namespace e2e {

// How a tester reaches one ECU; addresses of -1 mean normal addressing.
struct EcuAddress {
    uint32_t requestId;
    uint32_t responseId;
    int ecuAddress;     // first byte of every frame the tester sends it
    int testerAddress;  // first byte of every frame it sends back
    bool extended() const { return ecuAddress >= 0; }
};

constexpr EcuAddress kEngine{0x7E0, 0x7E8, -1, -1};
constexpr EcuAddress kGateway{0x6F1, 0x640, 0x40, 0xF1};

// How an ECU flow-controls the tester's frames and pads its own.
struct EcuFlow {
    uint8_t bs = 0;
    uint8_t stmin = 0;
    bool padding = true;
    uint8_t padByte = 0xFF;
};

// "key = value" lines of one simulated ECU (addresses of -1: none).
inline std::string EcuText(const char *name, const EcuAddress &ecu, const EcuFlow &flow = EcuFlow(),
                           const std::string &extra = "") {
    const auto line = [](const char *key, long long value) { return key + (" = " + std::to_string(value)) + "\n"; };
    return std::string("name = ") + name + "\n" + line("request_id", ecu.requestId) +
           line("response_id", ecu.responseId) + line("functional_id", 0) + line("bs", flow.bs) +
           line("stmin", flow.stmin) + line("padding", flow.padding) + line("pad_byte", flow.padByte) +
           line("ecu_address", ecu.ecuAddress) + line("tester_address", ecu.testerAddress) +
           // A host the machine holds up must not make the ECU give up.
           "n_cr_ms = 5000\nn_bs_ms = 5000\n" + extra;
}

inline void AddEcu(const std::string &text) { ASSERT_GE(vxlsim_ecu_add(text.c_str()), 0) << text; }

// A request to the ECU: its address byte in front under extended addressing.
inline PASSTHRU_MSG Request(const EcuAddress &ecu, Bytes payload, uint32_t txFlags = 0) {
    if (!ecu.extended()) return Msg(ecu.requestId, payload, txFlags);
    payload.insert(payload.begin(), static_cast<uint8_t>(ecu.ecuAddress));
    return Msg(ecu.requestId, payload, txFlags | ISO15765_ADDR_TYPE);
}

// A host connected at 500 kbit/s, block size 0.
class Vehicle : public ::testing::Test {
protected:
    explicit Vehicle(const char *traceKeys = "TRACE=1\n") : host(traceKeys) {
        host.open();
        // A long answer sent back to back must not outrun a host that polls.
        vxlsim_set_real_timing(1);
    }
    Host host;
};

}  // namespace e2e

#endif
