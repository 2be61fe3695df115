#include "transport/options.h"

#include "platform/lock_guard.h"
#include "transport/iso_tp.h"

namespace {

constexpr uint32_t kByteMax = 0xFF;

}  // namespace

bool ValidStmin(uint32_t stmin) { return stmin <= STMIN_MS_MAX || (stmin >= STMIN_US_FIRST && stmin <= STMIN_US_LAST); }

bool CheckIsoTpOptions(const IsoTpOptions &options, const char **why) {
    const char *reason = nullptr;
    if (!options.rawBlockSize && (options.blockSize < 0 || static_cast<uint32_t>(options.blockSize) > kByteMax))
        reason = "block size above 255";
    else if (!ValidStmin(options.stmin))
        reason = "STmin neither 0-127 ms nor 100-900 us";
    else if (options.blockSizeTx != ISOTP_PEERS &&
             (options.blockSizeTx < 0 || static_cast<uint32_t>(options.blockSizeTx) > kByteMax))
        reason = "sending block size above 255";
    else if (options.stminTx != ISOTP_PEERS && (options.stminTx < 0 || !ValidStmin(static_cast<uint32_t>(options.stminTx))))
        reason = "sending STmin neither 0-127 ms nor 100-900 us";
    else if (options.maxWaits != ISOTP_PEERS &&
             (options.maxWaits < 0 || static_cast<uint32_t>(options.maxWaits) > kByteMax))
        reason = "WAIT limit above 255";
    else if (options.padByte > kByteMax)
        reason = "pad byte above 255";
    else if (options.frameDataLength < CAN_MAX_DLEN || !IsCanFdLength(options.frameDataLength))
        reason = "frame data length not one of 8, 12, 16, 20, 24, 32, 48, 64";
    else if (options.frameDataLength > CAN_MAX_DLEN && !(options.frameFormat & CAN_FRAME_FD))
        reason = "frame data length above 8 on classic CAN";
    else if (options.frameFormat & ~(CAN_FRAME_FD | CAN_FRAME_FD_BRS))
        reason = "unknown frame format";
    else if ((options.frameFormat & CAN_FRAME_FD_BRS) && !(options.frameFormat & CAN_FRAME_FD))
        reason = "bit-rate switch on a classic frame";
    if (reason && why) *why = reason;
    return reason == nullptr;
}

bool TransportOptions::set(const IsoTpOptions &options, const char **why) {
    if (!CheckIsoTpOptions(options, why)) return false;
    LockGuard guard(m_setLock);
    store(options);
    return true;
}

void TransportOptions::store(const IsoTpOptions &options) {
    m_blockSize = options.blockSize;
    m_stmin = options.stmin;
    m_blockSizeTx = options.blockSizeTx;
    m_stminTx = options.stminTx;
    m_maxWaits = options.maxWaits;
    m_padByte = options.padByte;
    m_frameDataLength = options.frameDataLength;
    m_frameFormat = options.frameFormat;
    m_consecutiveTimeoutMs = options.consecutiveTimeoutMs;
    m_addressInMessage = options.addressInMessage;
    m_replaceInFlight = options.replaceInFlight;
    m_fullFrames = options.fullFrames;
    m_ignorePeerStmin = options.ignorePeerStmin;
    m_rawBlockSize = options.rawBlockSize;
    m_refuseEscapedLength = options.refuseEscapedLength;
}

IsoTpOptions TransportOptions::get() const {
    IsoTpOptions options;
    options.blockSize = m_blockSize;
    options.stmin = m_stmin;
    options.blockSizeTx = m_blockSizeTx;
    options.stminTx = m_stminTx;
    options.maxWaits = m_maxWaits;
    options.padByte = m_padByte;
    options.frameDataLength = m_frameDataLength;
    options.frameFormat = m_frameFormat;
    options.consecutiveTimeoutMs = m_consecutiveTimeoutMs;
    options.addressInMessage = m_addressInMessage;
    options.replaceInFlight = m_replaceInFlight;
    options.fullFrames = m_fullFrames;
    options.ignorePeerStmin = m_ignorePeerStmin;
    options.rawBlockSize = m_rawBlockSize;
    options.refuseEscapedLength = m_refuseEscapedLength;
    return options;
}
