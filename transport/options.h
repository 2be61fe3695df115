// The settings of one ISO 15765-2 connection, in the standard's terms, and
// the one place that checks them. Each face translates its host's parameters
// into this record; the departures of the diagnostic server's design are
// options that its face sets.
#ifndef PT_TRANSPORT_OPTIONS_H
#define PT_TRANSPORT_OPTIONS_H

#include <atomic>
#include <cstdint>

#include "can/can_frame.h"
#include "platform/named_lock.h"

// Send overrides and the WAIT limit: this value stands for "not set".
constexpr int32_t ISOTP_PEERS = -1;

struct IsoTpOptions {
    // Our flow controls: the block size (BS) and STmin we ask the peer for.
    int32_t blockSize = 0;
    uint32_t stmin = 0;
    // Sending: our BS and STmin in place of the peer's flow control's, and the
    // flow-control WAITs taken before a transfer is given up (the field
    // profile's FCWAITMAX when not set).
    int32_t blockSizeTx = ISOTP_PEERS;
    int32_t stminTx = ISOTP_PEERS;
    int32_t maxWaits = ISOTP_PEERS;
    // Padding of frames that ask for it, and the data length of a frame
    // (TX_DL: 8, or on CAN FD 12, 16, 20, 24, 32, 48 or 64).
    uint32_t padByte = CAN_PAD_BYTE;
    uint32_t frameDataLength = CAN_MAX_DLEN;
    // How our frames go on the bus: 0 classic, or CAN_FRAME_FD with
    // CAN_FRAME_FD_BRS for the faster data phase.
    uint8_t frameFormat = 0;
    // N_Cr: how long a reassembly waits for its next consecutive frame, in ms;
    // 0 keeps the transport's own.
    uint32_t consecutiveTimeoutMs = 0;
    // A received message is handed over behind its extended-address byte:
    // with one, it holds a byte less of payload.
    bool addressInMessage = false;

    // The diagnostic server's design:
    // a new message on an identifier ends the transfer in flight there
    // instead of queueing behind it;
    bool replaceInFlight = false;
    // consecutive and flow-control frames always fill all eight bytes;
    bool fullFrames = false;
    // the peer's STmin is taken as 0 (the maker's extended addressing);
    bool ignorePeerStmin = false;
    // the host's block size is any 32-bit number: our flow controls carry
    // its low byte, received consecutive frames are counted against all of it.
    bool rawBlockSize = false;
    // a message above 4095 bytes is refused rather than sent behind a first
    // frame with the 32-bit length.
    bool refuseEscapedLength = false;
};

// Whether options can be used: true, or false with the reason in *why.
bool CheckIsoTpOptions(const IsoTpOptions &options, const char **why);
// STmin values the standard defines: 0-127 ms, 100-900 us.
bool ValidStmin(uint32_t stmin);

// The connection's options, read by the worker and the host's threads while
// a host thread sets them.
class TransportOptions {
public:
    explicit TransportOptions(const IsoTpOptions &initial) { store(initial); }

    // Takes options that pass the check; false (and *why) leaves them as they were.
    bool set(const IsoTpOptions &options, const char **why);
    IsoTpOptions get() const;

    int32_t blockSize() const { return m_blockSize.load(); }
    uint8_t stmin() const { return static_cast<uint8_t>(m_stmin.load()); }
    int32_t blockSizeTx() const { return m_blockSizeTx.load(); }
    int32_t stminTx() const { return m_stminTx.load(); }
    int32_t maxWaits() const { return m_maxWaits.load(); }
    uint8_t padByte() const { return static_cast<uint8_t>(m_padByte.load()); }
    uint8_t frameDataLength() const { return static_cast<uint8_t>(m_frameDataLength.load()); }
    uint8_t frameFormat() const { return m_frameFormat.load(); }
    uint32_t consecutiveTimeoutMs() const { return m_consecutiveTimeoutMs.load(); }
    bool addressInMessage() const { return m_addressInMessage.load(); }
    bool replaceInFlight() const { return m_replaceInFlight.load(); }
    bool fullFrames() const { return m_fullFrames.load(); }
    bool ignorePeerStmin() const { return m_ignorePeerStmin.load(); }
    bool rawBlockSize() const { return m_rawBlockSize.load(); }
    bool refuseEscapedLength() const { return m_refuseEscapedLength.load(); }

private:
    void store(const IsoTpOptions &options);

    NamedLock m_setLock;  // one setter at a time, so a record is taken whole
    std::atomic<int32_t> m_blockSize{0};
    std::atomic<uint32_t> m_stmin{0}, m_padByte{CAN_PAD_BYTE}, m_frameDataLength{CAN_MAX_DLEN};
    std::atomic<uint8_t> m_frameFormat{0};
    std::atomic<uint32_t> m_consecutiveTimeoutMs{0};
    std::atomic<int32_t> m_blockSizeTx{ISOTP_PEERS}, m_stminTx{ISOTP_PEERS}, m_maxWaits{ISOTP_PEERS};
    std::atomic<bool> m_addressInMessage{false}, m_replaceInFlight{false}, m_fullFrames{false},
        m_ignorePeerStmin{false}, m_rawBlockSize{false}, m_refuseEscapedLength{false};
};

#endif
