// The field profile's figures on the simulated bus at 500 kbit/s with real
// frame timing: the product library loaded as the server loads it, with
// FIELDPROFILE=1, against one simulated ECU. Shared by the native benchmark
// and the plain program that runs under wine.
#ifndef PT_BENCH_FIELD_SESSION_H
#define PT_BENCH_FIELD_SESSION_H

#include <cstdint>
#include <string>
#include <vector>

struct FieldFigures {
    std::string error;           // empty when the exchange went as it must
    double elapsedMs = 0;        // write to confirmation, or request to answer
    double busMs = 0;            // what our frames alone occupy on the bus
    double deliveryMs = 0;       // the answer's last frame on the bus to its delivery
    std::vector<double> gapsUs;  // between our consecutive frames on the bus
};

// ecuSettings: "key = value" lines added to the ECU's [ecu] section.
// The request is the ECU's echo service with length bytes, written once the
// channel is up; the host polls until the confirmation, pausing 1 ms after a
// poll that found nothing.
FieldFigures FieldRequest(const std::string &ecuSettings, uint32_t length);

// "22 01 00" for the ECU's record of 4092 bytes, a 4095-byte answer sent with
// block size 0 and STmin 0; the host calls PassThruReadMsgs every pollMs.
FieldFigures FieldSlowAnswer(uint32_t pollMs);

// A WAITing (or OVERFLOWing) ECU: the request of length bytes, then, with
// the ECU set to clear to send, the same request again. Empty when the first
// transfer ends as expectConfirmation says and the second is confirmed.
std::string FieldFlowStatus(const std::string &ecuSettings, bool expectConfirmation);

#endif
