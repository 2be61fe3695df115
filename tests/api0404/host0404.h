// A J2534 04.04 tool on the simulated bus, as the 04.04 library's tests meet
// it: the library loaded by its file name as a tool loads the one the
// registry names (a fresh load per Host0404), its settings in a private
// pt_vector0404.ini named by PT_VECTOR_INI, the stand-in driver reset to one
// CAN card without ECUs, and short helpers for messages and frames.
#ifndef PT_TESTS_API0404_HOST0404_H
#define PT_TESTS_API0404_HOST0404_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "iso_frames.h"
#include "j2534_0404.h"
#include "j2534_functions.h"
#include "temp_dir.h"
#include "vxlsim_control.h"

constexpr uint32_t kUnsupported = 0xDEADBEEF;  // what getConfig leaves of a parameter it refused

struct Api0404 {
    PT_J2534_FUNCTIONS(PT_J2534_MEMBER)
    decltype(&PassThruOpen) Open = nullptr;
    decltype(&PassThruClose) Close = nullptr;
};

// One card with the stand-in's engine ECU: 0x7E0 answered on 0x7E8, BS 0, STmin 0.
extern const std::string kOneEcu;
// cards CAN card channels ("CANcardXL Channel 1".."n"), no ECUs; with
// virtualChannel "Virtual Channel 1" after them.
std::string CardsConfig(unsigned cards, bool virtualChannel = false);

Bytes Counting(size_t n, uint8_t first = 0);  // first, first + 1, ...
Bytes With(uint32_t id, const Bytes &data);  // the identifier's four bytes, then data
// A message of protocol with the identifier's four bytes, then the data.
PASSTHRU_MSG Msg0404(uint32_t protocol, uint32_t id, const Bytes &data, uint32_t txFlags = 0);
Bytes DataOf(const PASSTHRU_MSG &msg);  // Data[0..DataSize)
Bytes IdBytes(uint32_t id);
// The stand-in's recorded calls of function, of those with status when it is not -1.
int CallsOf(const char *function, int status = -1);
// "7E0: 02 3E 00" for every frame captured on the bus, in order.
std::vector<std::string> BusLines();
std::string FrameLine(uint32_t id, const Bytes &data);

class Host0404 {
public:
    explicit Host0404(const std::string &iniKeys = "TRACE=1\n", const char *simConfig = VXLSIM_ONE_CARD);
    ~Host0404();
    Host0404(const Host0404 &) = delete;
    Host0404 &operator=(const Host0404 &) = delete;

    const Api0404 &pt() const { return m_api; }
    const TempDir &dir() const { return m_dir; }
    std::vector<std::string> traceLines() const { return ReadLines(m_dir.file("pt_vector0404.log")); }
    bool traced(const std::string &text) const { return tracedCount(text) > 0; }
    size_t tracedCount(const std::string &text) const;  // trace lines holding text
    std::string levelOf(const std::string &text) const;  // of the first line holding it, "" when none does
    std::string lastError() const;

    // PassThruOpen and PassThruConnect; device() and channel() keep the ids.
    uint32_t open(const char *name = nullptr);
    uint32_t connect(uint32_t protocol, uint32_t flags = 0, uint32_t baud = 500000);
    // Open and connect, asserting success, then forget the frames and calls that took.
    void openChannel(uint32_t protocol, uint32_t flags = 0);
    uint32_t device() const { return m_device; }
    uint32_t channel() const { return m_channel; }
    // The last protocol connected; filters carry it when it is none of
    // J2534-1's (a CAN FD protocol), else CAN or ISO15765 as they always did.
    uint32_t protocol() const { return m_protocol; }

    uint32_t passFilter(uint32_t type, const Bytes &mask, const Bytes &pattern, uint32_t *filterId = nullptr,
                        uint32_t txFlags = 0);
    // An ISO15765 flow-control filter: frames on respId (exactly), flow
    // controls on flowId; with addresses, a fifth byte each.
    uint32_t flowFilter(uint32_t respId, uint32_t flowId, uint32_t *filterId = nullptr, int respAddr = -1,
                        int flowAddr = -1, uint32_t txFlags = 0);
    uint32_t write(const PASSTHRU_MSG &msg, uint32_t timeoutMs = 0, uint32_t *num = nullptr);
    // One PassThruReadMsgs of up to max messages on channel (0: the connected one); status in *status.
    std::vector<PASSTHRU_MSG> read(uint32_t max, uint32_t timeoutMs, uint32_t *status = nullptr,
                                   uint32_t channel = 0) const;
    // Reads one message at a time until none comes within timeoutMs: all read.
    std::vector<PASSTHRU_MSG> readAll(uint32_t timeoutMs) const;
    // Reads on channel (0: the connected one) until a message that is neither
    // an indication nor a loopback came, or timeoutMs passed without one: all read.
    std::vector<PASSTHRU_MSG> readAnswer(uint32_t channel = 0, uint32_t timeoutMs = 2000) const;
    // The data of that message, empty when none came.
    Bytes answer(uint32_t channel = 0, uint32_t timeoutMs = 2000) const;
    uint32_t setConfig(uint32_t parameter, uint32_t value);
    uint32_t getConfig(uint32_t parameter, uint32_t *value);
    uint32_t config(uint32_t parameter);  // its value, expecting GET_CONFIG to succeed
    // SET_CONFIG of value answers status; GET_CONFIG then reports reported,
    // or refuses the parameter with ERR_NOT_SUPPORTED when that is kUnsupported.
    void expectSet(uint32_t parameter, uint32_t value, uint32_t status, uint32_t reported);

private:
    TempDir m_dir;
    void *m_library = nullptr;
    Api0404 m_api;
    uint32_t m_device = 0;
    uint32_t m_channel = 0;
    uint32_t m_protocol = 0;
    uint32_t filterProtocol(uint32_t classic) const { return m_protocol > SCI_B_TRANS ? m_protocol : classic; }
};

// CAN FD's protocols and parameters as tools spell them (SAE J2534-2 and GMW17753).
constexpr uint32_t kFdCanPs = 0x8011, kFdIsoPs = 0x8012, kFdCanCh1 = 0x9880, kFdIsoCh1 = 0x9900;
constexpr uint32_t kGmCanFdPs = 0x1000D, kGmIsoFdPs = 0x1000C;
constexpr uint32_t kPins = 0x8001, kDataPhaseRate = 0x805C, kTxDataLength = 0x805D, kTermination = 0x805E,
                   kNCrMax = 0x805F, kPadValue = 0x8060;
constexpr uint32_t kGmDataPhaseRate = 0x10010, kGmTxDataLength = 0x10011, kGmTermination = 0x10012,
                   kGmFdType = 0x10013, kGmNCrMax = 0x10014;
constexpr uint32_t kFdBrs = VXLSIM_FD_EDL | VXLSIM_FD_BRS;

// A device on the stand-in's channel, which does ISO CAN FD or not.
struct FdHost : Host0404 {
    explicit FdHost(bool capable = true, const char *simConfig = VXLSIM_ONE_CARD) : Host0404("TRACE=1\n", simConfig) {
        vxlsim_set_channel_fd(0, capable ? 1 : 0);
    }
};

#endif
