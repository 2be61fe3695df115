// A diagnostic host on the simulated bus, as the library's tests meet it: the
// library loaded as the server loads it (a fresh load per Host, so a fresh
// library state), the stand-in driver reset to one CAN card without ECUs, and
// short helpers for the messages, the frames on the bus and the trace file.
// Expected frames are built from the ISO 15765-2 rules here, independently
// of the library's own segmentation.
#ifndef PT_TESTS_SUPPORT_HOST_H
#define PT_TESTS_SUPPORT_HOST_H

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host_library.h"
#include "iso_frames.h"
#include "j2534.h"
#include "vxlsim_control.h"


// One CAN card channel and no simulated ECUs: only what a test sends is on the bus.
extern const char *const kOneCard;

Bytes Counting(size_t n, uint8_t first = 0);
Bytes IdBytes(uint32_t id);
uint32_t IdOf(const PASSTHRU_MSG &msg);
Bytes DataOf(const PASSTHRU_MSG &msg);  // Data[0..DataSize)
// An ISO15765 message: the id's four bytes, then the payload.
PASSTHRU_MSG Msg(uint32_t id, const Bytes &payload, uint32_t txFlags = 0);
// A filter message: the id's four bytes, the address byte after them when extAddr >= 0.
PASSTHRU_MSG FilterMsg(uint32_t dataSize, uint32_t id, int extAddr = -1);
bool IsConfirmation(const PASSTHRU_MSG &msg);
void ExpectMessage(const PASSTHRU_MSG &msg, uint32_t id, const Bytes &payload);
void ExpectConfirmation(const PASSTHRU_MSG &msg, uint32_t id);

// "7E0: 10 14 BA ..." for a frame; every captured frame that way.
std::string FrameLine(uint32_t id, const Bytes &data);
std::vector<std::string> BusLines();
// Wall-clock times (ns) at which the library handed frames on id over to the driver.
std::vector<uint64_t> SendTimes(uint32_t id, uint8_t pciMask, uint8_t pci, size_t pciIndex = 0);
// A frame from the peer straight into the library's receive queue.
void Inject(uint32_t id, const Bytes &data);
// The driver functions the library called, in order.
std::vector<std::string> Called();
// Argument `arg` of every call to function, in order.
std::vector<uint64_t> CallArgs(const std::string &function, size_t arg);
// How many of msgs confirm a message sent on id.
long Confirmations(const std::vector<PASSTHRU_MSG> &msgs, uint32_t id);


class Host {
public:
    // iniKeys: the lines of section [MORIX_VECTOR]; simConfig: the stand-in's world.
    explicit Host(const std::string &iniKeys = "TRACE=1\n", const char *simConfig = kOneCard);
    ~Host();
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    const J2534Api &pt() const { return m_library.api(); }
    HostLibrary &library() { return m_library; }

    uint32_t connect(uint32_t flags = 0);
    uint32_t ioctl(uint32_t id, void *input, void *output);
    uint32_t setConfig(std::vector<SCONFIG> params);
    // Connect and DATA_RATE 500000; forgets the driver calls and frames that took.
    void open();
    // The same, then listen(respId, flowId).
    void open(uint32_t respId, uint32_t flowId);
    uint32_t startFilter(uint32_t type, PASSTHRU_MSG mask, PASSTHRU_MSG pattern, const PASSTHRU_MSG *flow,
                         uint32_t *filterId);
    // The pass and flow-control filters for one ECU; with respAddr >= 0 its
    // frames start with that byte (the mask takes the fifth byte too) and
    // flowAddr is the flow-control message's.
    void listen(uint32_t respId, uint32_t flowId, int respAddr = -1, int flowAddr = -1);
    uint32_t write(PASSTHRU_MSG msg, uint32_t num = 1);

    // One PassThruReadMsgs; true when it delivered a message.
    bool poll(PASSTHRU_MSG &msg);
    // Polls until the receive queue is empty; what was delivered.
    std::vector<PASSTHRU_MSG> drain();
    // Polls until done accepts a message or the deadline passes.
    std::vector<PASSTHRU_MSG> readUntil(const std::function<bool(const PASSTHRU_MSG &)> &done,
                                        uint32_t deadlineMs = 5000);
    std::vector<PASSTHRU_MSG> readAnswerFrom(uint32_t id, uint32_t deadlineMs = 5000);
    std::vector<PASSTHRU_MSG> readFor(uint32_t ms);

    // Texts of the trace file's message lines.
    std::vector<std::string> trace() const;
    bool traced(const std::string &text) const;
    size_t tracedCount(const std::string &text) const;
    bool tracedStartingWith(const std::string &prefix) const;
    std::string levelOf(const std::string &text) const;  // two-letter code of its first line
    // Waits (polling the receive queue) until the trace has the text.
    bool awaitTraced(const std::string &text, uint32_t deadlineMs = 5000);

private:
    HostLibrary m_library;
};

#endif
