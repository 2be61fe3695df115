#include "j2534_tools/iso_channel.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "can/can_port.h"
#include "j2534_tools/device.h"
#include "platform/lock_guard.h"
#include "trace/trace_scope.h"
#include "transport/msg_dump.h"
#include "transport/options.h"
#include "transport/records.h"

namespace {

constexpr uint32_t kIdBytes = 4;
constexpr uint32_t kMaxPayload = 4095;
constexpr uint32_t kUsePeers = 0xFFFF;
// N_CR_MAX is in microseconds (GMW17753's resolution, used for both ids);
// the transport waits whole milliseconds, 1 to 65535.
constexpr uint32_t kUsPerMs = 1000;
constexpr uint32_t kMaxConsecutiveTimeoutMs = 65535;

// A J2534 tool gets the extended-address byte behind the identifier, and
// decides per message and per filter whether frames are padded.
IsoTpOptions ToolTransportOptions() {
    IsoTpOptions options;
    options.addressInMessage = true;
    return options;
}

const char *ResultText(TxResult result) {
    switch (result) {
        case TxResult::TimedOut: return "no flow control came in time, or the transfer stalled";
        case TxResult::Overflow: return "the ECU's flow control said OVERFLOW";
        case TxResult::TooManyWaits: return "the ECU sent more flow-control WAITs than ISO15765_WFT_MAX";
        case TxResult::Refused: return "the driver refused a frame of the message";
        case TxResult::Confirmed: break;
    }
    return "the message was not sent";
}

}  // namespace

IsoChannel::IsoChannel(Device0404 &device, uint32_t protocolId, uint32_t flags, CanPort &port, TraceFile *pduTrace,
                       const FieldProfile &profile)
    : Channel0404(device, protocolId, flags),
      m_profile(profile),
      m_transport(port, m_links, pduTrace, profile, ToolTransportOptions(), this,
                  static_cast<const Channel0404 *>(this)) {}

bool IsoChannel::is29Bit(uint32_t txFlags) const {
    if (flags() & CAN_ID_BOTH) return (txFlags & CAN_29BIT_ID) != 0;
    return (flags() & CAN_29BIT_ID) != 0;
}

uint32_t IsoChannel::validate(const PASSTHRU_MSG &msg, const char **why) const {
    if (msg.ProtocolID != protocolId()) {
        *why = "message ProtocolID is not the channel's";
        return ERR_MSG_PROTOCOL_ID;
    }
    const uint32_t header = kIdBytes + ((msg.TxFlags & ISO15765_ADDR_TYPE) ? 1u : 0u);
    // On CAN FD a message fills the whole record, its first frame carrying
    // the 32-bit length beyond 4095 bytes.
    if (isFd() ? msg.DataSize < header || msg.DataSize > PT_MSG_DATA_SIZE
               : msg.DataSize < header || msg.DataSize > header + kMaxPayload) {
        *why = isFd() ? "an ISO15765 message on CAN FD holds its identifier and up to 4128 bytes in all"
                      : "an ISO15765 message holds its identifier and 0 to 4095 bytes";
        return ERR_INVALID_MSG;
    }
    if (IdOfMsg(msg) > (is29Bit(msg.TxFlags) ? CAN_ID_MAX_29BIT : CAN_ID_MAX_11BIT)) {
        *why = "identifier does not suit the channel or the CAN_29BIT_ID flag";
        return ERR_INVALID_MSG;
    }
    return STATUS_NOERROR;
}

// Hands one message to the transport: at once, or behind the one in flight
// on its identifier.
uint32_t IsoChannel::sendOne(const PASSTHRU_MSG &msg, bool waited, uint64_t *token, TraceScope &scope,
                             const char **why) {
    uint32_t status = validate(msg, why);
    if (status != STATUS_NOERROR) return status;
    OutgoingMessage tx;
    tx.canId = MarkCanId(IdOfMsg(msg), is29Bit(msg.TxFlags));
    if (msg.TxFlags & ISO15765_ADDR_TYPE) {
        tx.addr.extFlag = 1;
        tx.addr.extAddr = msg.Data[kIdBytes];
    }
    tx.payload = msg.Data + kIdBytes + tx.addr.pciOffset();
    tx.length = msg.DataSize - kIdBytes - tx.addr.pciOffset();
    tx.pad = (msg.TxFlags & ISO15765_FRAME_PAD) ? 1 : 0;
    tx.hostTimestamp = msg.Timestamp;
    const IsoTpOptions options = m_transport.options();
    tx.padByte = static_cast<uint8_t>(options.padByte);
    const int32_t addr = tx.addr.extFlag ? tx.addr.extAddr : ISOTP_NO_ADDRESS;
    // A single frame holds more at a TX_DL above 8 (CAN FD).
    if (tx.length > tx.addr.singleFrameMax(static_cast<uint8_t>(options.frameDataLength)) &&
        !m_links.sendsOn(tx.canId, addr)) {
        *why = "no FLOW_CONTROL_FILTER whose flow-control message has this identifier";
        return ERR_NO_FLOW_CONTROL;
    }
    tx.token = device().port().confirmations().newToken();
    {
        LockGuard guard(m_writtenLock);
        m_written.push_back(Written{tx.token, waited, WriteState::Pending, nullptr, msg});
    }
    status = m_transport.send(tx, scope);
    device().wakeWorker();
    if (status == STATUS_NOERROR) {
        *token = tx.token;
        return STATUS_NOERROR;
    }
    LockGuard guard(m_writtenLock);
    for (auto it = m_written.begin(); it != m_written.end(); ++it) {
        if (it->token != tx.token) continue;
        m_written.erase(it);
        break;
    }
    *why = "the message could not be handed to the driver";
    return ERR_FAILED;
}

uint32_t IsoChannel::write(PASSTHRU_MSG *msgs, uint32_t *num, uint32_t timeoutMs, TraceScope &scope, const char **why) {
    const uint32_t wanted = *num;
    const uint64_t deadlineUs = plat::NowUs() + uint64_t{timeoutMs} * 1000u;
    std::vector<uint64_t> tokens;
    uint32_t status = STATUS_NOERROR;
    for (uint32_t i = 0; i < wanted && status == STATUS_NOERROR; ++i) {
        uint64_t token = 0;
        status = sendOne(msgs[i], timeoutMs != 0, &token, scope, why);
        if (status == STATUS_NOERROR) tokens.push_back(token);
    }
    *num = static_cast<uint32_t>(tokens.size());
    // Without a Timeout each message's result goes to its indication alone.
    if (timeoutMs == 0) return status;
    uint32_t confirmed = 0;
    uint32_t outcome = status;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const uint64_t now = plat::NowUs();
        const uint32_t left = now < deadlineUs ? static_cast<uint32_t>((deadlineUs - now + 999u) / 1000u) : 0u;
        const char *failure = nullptr;
        const WriteState state = awaitWritten(tokens[i], left, &failure);
        if (state == WriteState::Confirmed) {
            ++confirmed;
            continue;
        }
        // What was not on the bus in time goes no further.
        for (std::size_t j = i; j < tokens.size(); ++j) {
            m_transport.abort(tokens[j]);
            const char *ignored = nullptr;
            if (j > i) awaitWritten(tokens[j], 0, &ignored);
        }
        if (state == WriteState::Pending) {
            *why = "Timeout expired before every message was on the bus";
            outcome = ERR_TIMEOUT;
        } else {
            *why = failure ? failure : "the message went no further";
            outcome = ERR_FAILED;
        }
        break;
    }
    *num = confirmed;
    return outcome;
}

IsoChannel::WriteState IsoChannel::awaitWritten(uint64_t token, uint32_t timeoutMs, const char **failure) {
    const uint64_t deadlineUs = plat::NowUs() + uint64_t{timeoutMs} * 1000u;
    for (;;) {
        {
            LockGuard guard(m_writtenLock);
            auto it = m_written.begin();
            while (it != m_written.end() && it->token != token) ++it;
            if (it == m_written.end()) return WriteState::Failed;
            if (it->state != WriteState::Pending || plat::NowUs() >= deadlineUs) {
                const WriteState state = it->state;
                *failure = it->failure;
                m_written.erase(it);
                return state;
            }
            m_writtenEvent.reset();
        }
        // The channel ended under the write: it stops waiting, as at its time-out.
        if (ended()) return WriteState::Pending;
        const uint64_t now = plat::NowUs();
        if (now < deadlineUs) m_writtenEvent.wait(static_cast<uint32_t>((deadlineUs - now + 999u) / 1000u));
    }
}

// The transport's result for a message: its TX_INDICATION and (LOOPBACK) the
// message itself when the bus confirmed it.
void IsoChannel::messageDone(uint64_t token, TxResult result, uint32_t timestampUs) {
    PASSTHRU_MSG done;
    bool found = false;
    {
        LockGuard guard(m_writtenLock);
        for (auto it = m_written.begin(); it != m_written.end(); ++it) {
            if (it->token != token) continue;
            done = it->msg;
            found = true;
            if (it->waited) {
                it->state = result == TxResult::Confirmed ? WriteState::Confirmed : WriteState::Failed;
                it->failure = ResultText(result);
            } else {
                m_written.erase(it);
            }
            m_writtenEvent.set();
            break;
        }
    }
    if (!found || result != TxResult::Confirmed) return;
    const bool extended = (done.TxFlags & ISO15765_ADDR_TYPE) != 0;
    const uint32_t canId = MarkCanId(IdOfMsg(done), is29Bit(done.TxFlags));
    deliverIndication(TX_INDICATION, canId, extended ? done.Data[kIdBytes] : -1, timestampUs);
    if (!loopback()) return;
    done.RxStatus = TX_MSG_TYPE | (extended ? ISO15765_ADDR_TYPE : 0) | (IsCanId29Bit(canId) ? CAN_29BIT_ID : 0);
    done.Timestamp = timestampUs;
    done.ExtraDataIndex = done.DataSize;
    deliver(done);
}

void IsoChannel::clearTx() {
    Channel0404::clearTx();
    m_transport.abortAll();
    LockGuard guard(m_writtenLock);
    for (auto it = m_written.begin(); it != m_written.end();) {
        if (it->state == WriteState::Pending && it->waited) {
            // A write that waits learns that its message went no further.
            it->state = WriteState::Failed;
            it->failure = "CLEAR_TX_BUFFER ended the message";
            ++it;
        } else {
            it = m_written.erase(it);
        }
    }
    m_writtenEvent.set();
}

uint32_t IsoChannel::startFilter(uint32_t type, const PASSTHRU_MSG *mask, const PASSTHRU_MSG *pattern,
                                 const PASSTHRU_MSG *flow, uint32_t *filterId, const char **why) {
    if (type == PASS_FILTER || type == BLOCK_FILTER) {
        *why = "an ISO15765 channel takes FLOW_CONTROL_FILTER only";
        return ERR_NOT_SUPPORTED;
    }
    if (type != FLOW_CONTROL_FILTER) {
        *why = "FilterType unknown";
        return ERR_FAILED;
    }
    if (!flow) {
        *why = "pFlowControlMsg is a NULL pointer";
        return ERR_NULL_PARAMETER;
    }
    if (mask->ProtocolID != protocolId() || pattern->ProtocolID != protocolId() || flow->ProtocolID != protocolId()) {
        *why = "filter message ProtocolID is not the channel's";
        return ERR_MSG_PROTOCOL_ID;
    }
    const uint32_t size = pattern->DataSize;
    if ((size != kIdBytes && size != kIdBytes + 1) || mask->DataSize != size || flow->DataSize != size) {
        *why = "mask, pattern and flow control need 4 bytes (5 with ISO15765_ADDR_TYPE)";
        return ERR_INVALID_MSG;
    }
    const bool extended = size == kIdBytes + 1;
    IsoTpLink link;
    link.rxId = MarkCanId(IdOfMsg(*pattern), is29Bit(pattern->TxFlags));
    // The 29-bit marker always takes part: an 11-bit filter never takes a
    // 29-bit frame.
    link.rxMask = IdOfMsg(*mask) | CAN_ID_29BIT;
    link.txId = MarkCanId(IdOfMsg(*flow), is29Bit(flow->TxFlags));
    link.rxAddr = extended ? pattern->Data[kIdBytes] : ISOTP_NO_ADDRESS;
    link.txAddr = extended ? flow->Data[kIdBytes] : ISOTP_NO_ADDRESS;
    link.padFlowControl = (flow->TxFlags & ISO15765_FRAME_PAD) != 0;
    switch (m_links.add(link, kMaxFlowControlFilters, filterId)) {
        case LinkTable::AddResult::Added: return STATUS_NOERROR;
        case LinkTable::AddResult::NotUnique:
            *why = "an identifier of this filter is one of an existing FLOW_CONTROL_FILTER";
            return ERR_NOT_UNIQUE;
        case LinkTable::AddResult::Full: break;
    }
    *why = "16 flow-control filters already on this channel";
    return ERR_EXCEEDED_LIMIT;
}

uint32_t IsoChannel::stopFilter(uint32_t filterId, const char **why) {
    if (m_links.remove(filterId)) return STATUS_NOERROR;
    *why = "no filter of that FilterID on this channel";
    return ERR_INVALID_FILTER_ID;
}

void IsoChannel::clearFilters() { m_links.clear(); }

uint32_t IsoChannel::getConfig(SCONFIG &param, const char **why) {
    const IsoTpOptions options = m_transport.options();
    switch (param.Parameter) {
        case ISO15765_BS: param.Value = static_cast<uint32_t>(options.blockSize); return STATUS_NOERROR;
        case ISO15765_STMIN: param.Value = options.stmin; return STATUS_NOERROR;
        case ISO15765_BS_TX:
            param.Value = options.blockSizeTx == ISOTP_PEERS ? kUsePeers : static_cast<uint32_t>(options.blockSizeTx);
            return STATUS_NOERROR;
        case ISO15765_STMIN_TX:
            param.Value = options.stminTx == ISOTP_PEERS ? kUsePeers : static_cast<uint32_t>(options.stminTx);
            return STATUS_NOERROR;
        case ISO15765_WFT_MAX:
            param.Value = static_cast<uint32_t>(options.maxWaits == ISOTP_PEERS ? m_profile.maxWaits : options.maxWaits);
            return STATUS_NOERROR;
        default:
            if (isFd() && getFdConfig(param)) return STATUS_NOERROR;
            return Channel0404::getConfig(param, why);
    }
}

bool IsoChannel::getFdConfig(SCONFIG &param) {
    const IsoTpOptions options = m_transport.options();
    switch (param.Parameter) {
        case FD_ISO15765_TX_DATA_LENGTH:
        case CAN_FD_TX_DATA_LENGTH: param.Value = options.frameDataLength; return true;
        case ISO15765_PAD_VALUE: param.Value = options.padByte; return true;
        case N_CR_MAX:
        case GM_N_CR_MAX:
            param.Value = (options.consecutiveTimeoutMs != 0 ? options.consecutiveTimeoutMs : RX_TIMEOUT_MS) * kUsPerMs;
            return true;
        default: return false;
    }
}

bool IsoChannel::setFdOption(const SCONFIG &param, IsoTpOptions &options, const char **why) {
    const uint32_t value = param.Value;
    switch (param.Parameter) {
        case FD_ISO15765_TX_DATA_LENGTH:
        case CAN_FD_TX_DATA_LENGTH:
            // The transport checks the length (8, 12, 16, 20, 24, 32, 48, 64).
            options.frameDataLength = value;
            return true;
        case ISO15765_PAD_VALUE: options.padByte = value; return true;  // the transport checks it is a byte
        case N_CR_MAX:
        case GM_N_CR_MAX: {
            // Whole milliseconds, rounded up; beyond the range the check refuses it.
            const uint64_t ms = (uint64_t{value} + kUsPerMs - 1) / kUsPerMs;
            options.consecutiveTimeoutMs = ms == 0 || ms > kMaxConsecutiveTimeoutMs ? 0 : static_cast<uint32_t>(ms);
            if (options.consecutiveTimeoutMs == 0) *why = "N_CR_MAX from 1 to 65535000 us";
            return true;
        }
        default: return false;
    }
}

void IsoChannel::portOpened(uint32_t arbitrationRate, uint32_t dataRate) {
    Channel0404::portOpened(arbitrationRate, dataRate);
    if (!isFd()) return;
    IsoTpOptions options = m_transport.options();
    options.frameFormat = frameFormat();
    const char *why = nullptr;
    if (m_transport.setOptions(options, &why)) return;
    PT_SCOPE(scope, "IsoChannel::portOpened()");
    scope.messagef(TL_ERROR, "CAN FD frame format 0x%X refused by the transport: %s",
                   static_cast<unsigned>(options.frameFormat), why ? why : "");
}

uint32_t IsoChannel::setConfig(const SCONFIG &param, TraceScope &scope, const char **why) {
    const uint32_t value = param.Value;
    // Beyond a 32-bit signed number nothing is in range: the check refuses it.
    const int32_t asOption = value > INT32_MAX ? INT32_MIN : static_cast<int32_t>(value);
    IsoTpOptions options = m_transport.options();
    switch (param.Parameter) {
        case ISO15765_BS: options.blockSize = asOption; break;
        case ISO15765_STMIN: options.stmin = value; break;
        case ISO15765_BS_TX: options.blockSizeTx = value == kUsePeers ? ISOTP_PEERS : asOption; break;
        case ISO15765_STMIN_TX: options.stminTx = value == kUsePeers ? ISOTP_PEERS : asOption; break;
        case ISO15765_WFT_MAX: options.maxWaits = asOption; break;
        default: {
            const char *rangeWhy = nullptr;
            if (!isFd() || !setFdOption(param, options, &rangeWhy)) return Channel0404::setConfig(param, scope, why);
            if (rangeWhy) {
                scope.messagef(TL_ERROR, "SET_CONFIG parameter 0x%X value %u refused: %s",
                               static_cast<unsigned>(param.Parameter), static_cast<unsigned>(value), rangeWhy);
                *why = "value outside the parameter's range";
                return ERR_INVALID_IOCTL_VALUE;
            }
            break;
        }
    }
    if (m_transport.setOptions(options, why)) return STATUS_NOERROR;
    scope.messagef(TL_ERROR, "SET_CONFIG parameter 0x%X value %u refused: %s", static_cast<unsigned>(param.Parameter),
                   static_cast<unsigned>(value), *why);
    *why = "value outside the parameter's range";
    return ERR_INVALID_IOCTL_VALUE;
}

// A periodic message on ISO15765 is one single frame.
uint32_t IsoChannel::frameOf(const PASSTHRU_MSG &msg, OutFrame &frame, const char **why) const {
    const uint32_t status = validate(msg, why);
    if (status != STATUS_NOERROR) return status;
    const bool extended = (msg.TxFlags & ISO15765_ADDR_TYPE) != 0;
    const uint32_t header = kIdBytes + (extended ? 1u : 0u);
    const uint32_t length = msg.DataSize - header;
    if (length == 0 || length > 7u - (extended ? 1u : 0u)) {
        *why = "a periodic ISO15765 message fits one single frame";
        return ERR_INVALID_MSG;
    }
    frame.id = MarkCanId(IdOfMsg(msg), is29Bit(msg.TxFlags));
    uint8_t at = 0;
    if (extended) frame.data[at++] = msg.Data[kIdBytes];
    frame.data[at++] = static_cast<uint8_t>(length);
    std::memcpy(frame.data + at, msg.Data + header, length);
    at = static_cast<uint8_t>(at + length);
    frame.dlc = (msg.TxFlags & ISO15765_FRAME_PAD) ? 8 : at;
    std::memset(frame.data + at, CAN_PAD_BYTE, 8u - at);
    frame.txFlags = msg.TxFlags;
    frame.fdFlags = frameFormat();
    return STATUS_NOERROR;
}

void IsoChannel::deliverIndication(uint32_t rxStatus, uint32_t canId, int addr, uint32_t timestamp) {
    PASSTHRU_MSG msg = {};
    msg.ProtocolID = protocolId();
    msg.RxStatus = rxStatus | (addr >= 0 ? ISO15765_ADDR_TYPE : 0) | (IsCanId29Bit(canId) ? CAN_29BIT_ID : 0);
    msg.Timestamp = timestamp;
    PutId(CanIdBits(canId), msg);
    msg.DataSize = kIdBytes;
    if (addr >= 0) msg.Data[msg.DataSize++] = static_cast<uint8_t>(addr);
    msg.ExtraDataIndex = msg.DataSize;
    deliver(msg);
}

// The bus confirmed a frame of this channel: the last frame of a message the
// transport sent, or a periodic single frame, looped back without its
// protocol byte.
void IsoChannel::onConfirmed(uint64_t token, const OutFrame &frame, const CanFrame &ack) {
    if (m_transport.confirmed(token, TimestampOf(ack))) return;
    noteConfirmed(token);
    if (!loopback()) return;
    // A periodic single frame: looped back as the message it carries.
    const bool extended = (frame.txFlags & ISO15765_ADDR_TYPE) != 0;
    const uint8_t at = extended ? 1 : 0;
    PASSTHRU_MSG msg = {};
    msg.ProtocolID = protocolId();
    msg.RxStatus = TX_MSG_TYPE | (extended ? ISO15765_ADDR_TYPE : 0) | (IsCanId29Bit(frame.id) ? CAN_29BIT_ID : 0);
    msg.TxFlags = frame.txFlags;
    msg.Timestamp = TimestampOf(ack);
    PutId(CanIdBits(frame.id), msg);
    msg.DataSize = kIdBytes;
    if (extended) msg.Data[msg.DataSize++] = frame.data[0];
    const uint8_t length = frame.data[at] & 0x0F;
    for (uint8_t i = 0; i < length && at + 1u + i < 8u; ++i) msg.Data[msg.DataSize++] = frame.data[at + 1 + i];
    msg.ExtraDataIndex = msg.DataSize;
    deliver(msg);
}

void IsoChannel::onFrame(const CanFrame &frame) {
    // A classic channel takes classic frames only; an FD one takes both, a
    // classic frame being what it is (8 bytes at most).
    if (frame.isFd() && !isFd()) return;
    const bool is29 = IsCanId29Bit(frame.id);
    const bool takes29 = (flags() & (CAN_29BIT_ID | CAN_ID_BOTH)) != 0;
    const bool takes11 = (flags() & CAN_29BIT_ID) == 0 || (flags() & CAN_ID_BOTH) != 0;
    if (is29 ? !takes29 : !takes11) return;
    ReceivedMessage message;
    ReceiveNote note;
    if (m_transport.receive(frame, message, &note)) deliverReceived(message, note);
    if (note.firstFrame)
        deliverIndication(START_OF_MESSAGE, frame.id, note.addr.extFlag ? note.addr.extAddr : -1, TimestampOf(frame));
}

// A message the peer sent: the identifier, the address byte the frames
// carried, the payload.
void IsoChannel::deliverReceived(const ReceivedMessage &message, const ReceiveNote &note) {
    PT_SCOPE(scope, "IsoChannel::onFrame()");
    PASSTHRU_MSG out;
    out.ProtocolID = protocolId();
    out.RxStatus = (note.shortFrame ? ISO15765_PADDING_ERROR : 0) | (message.addr.extFlag ? ISO15765_ADDR_TYPE : 0) |
                   (IsCanId29Bit(message.canId) ? CAN_29BIT_ID : 0);
    out.TxFlags = 0;
    out.Timestamp = message.timestampUs;
    PutId(CanIdBits(message.canId), out);
    out.DataSize = kIdBytes;
    if (message.addr.extFlag) out.Data[out.DataSize++] = message.addr.extAddr;
    const uint32_t room = PT_MSG_DATA_SIZE - out.DataSize;
    const uint32_t length = message.length < room ? message.length : room;
    std::memcpy(out.Data + out.DataSize, message.payload, length);
    out.DataSize += length;
    out.ExtraDataIndex = out.DataSize;
    TraceDelivered(out, device().settings().pduTrace, [] { return std::vector<uint8_t>(); }, scope,
                   message.frameFormat);
    deliver(out);
}
