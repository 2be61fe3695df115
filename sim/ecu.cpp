// Simulated ECUs: a diagnostic server behind its own ISO-TP transport.
// The transport here is written apart from the product's, so each one checks
// the other; it is half duplex like most real ECUs (requests that arrive
// while an answer is still going out are ignored).
#include <algorithm>
#include <cstring>

#include "can/can_frame.h"
#include "sim.h"

namespace vxlsim {

namespace {

constexpr size_t kMaxMessage = 4095;
// With CAN FD on, a first frame may announce up to this many bytes in its
// 32-bit form (the standard allows 4 GiB; an ECU's buffer is smaller).
constexpr size_t kMaxFdMessage = 65535;
// ISO-TP frame layout: protocol control bytes and the data lengths.
constexpr size_t kClassicDl = 8;                // CAN_DL of classic frames, and of every flow control
constexpr size_t kSfPci = 1, kSfEscapePci = 2;  // 0L / 00 LL
constexpr size_t kFfPci = 2, kFfEscapePci = 6;  // 1L LL / 10 00 LL LL LL LL
constexpr size_t kCfPci = 1;
constexpr size_t kMaxFfDl12 = 4095;  // beyond: the 32-bit form
constexpr uint64_t kMs = 1000000;
constexpr uint64_t kUs = 1000;

// Separation time of a flow control byte, as the receiver asks for it.
uint64_t StminNs(uint8_t raw) {
    if (raw <= 0x7F) return raw * kMs;
    if (raw >= 0xF1 && raw <= 0xF9) return (raw - 0xF0) * 100 * kUs;
    return 0x7F * kMs;  // reserved values: the longest valid time
}

uint32_t CanId(uint64_t v) {
    // Identifiers beyond 11 bits are 29-bit ones, with or without the mark.
    if (v & XL_CAN_EXT_MSG_ID) return static_cast<uint32_t>(v);
    return v > 0x7FF ? static_cast<uint32_t>(v) | XL_CAN_EXT_MSG_ID : static_cast<uint32_t>(v);
}

struct EcuParams {
    std::string name;
    uint32_t requestId = 0x7E0;
    uint32_t responseId = 0x7E8;
    uint32_t functionalId = 0x7DF;  // 0: not in a functional group
    int ecuAddress = -1;            // >= 0: extended addressing
    int testerAddress = 0xF1;
    int functionalAddress = -1;  // address byte of functional requests, -1: none
    uint8_t bs = 0;
    uint8_t stmin = 0;
    bool padding = true;
    uint8_t padByte = 0xFF;
    uint64_t responseDelay = 0;
    unsigned fcWait = 0;
    uint64_t fcWaitInterval = 10 * kMs;
    uint8_t fcStatus = 0;  // what follows the WAITs: 0 clear to send, 2 overflow, 3-15 reserved
    unsigned pending = 0;
    uint8_t pendingSid = 0;  // 0: every service
    uint64_t pendingInterval = 50 * kMs;
    uint64_t nCr = 1000 * kMs;
    uint64_t nBs = 1000 * kMs;
    uint8_t echoSid = 0xBA;
    std::string vin = "VXLSIMECU00000000";
    size_t longDidLength = 300;
    bool canFd = false;  // takes FD requests, answers them in FD frames of up to txDl bytes
    uint8_t txDl = 8;    // TX_DL: 8, 12, 16, 20, 24, 32, 48 or 64
};

bool Num(const std::string &v, uint64_t max, uint64_t &out) { return ParseUnsigned(v, out) && out <= max; }

bool ApplyParam(EcuParams &p, const std::string &k, const std::string &v) {
    uint64_t n = 0;
    if (k == "name") {
        p.name = v;
        return true;
    }
    if (k == "vin") {
        if (v.size() != 17) return false;
        p.vin = v;
        return true;
    }
    if (k == "channel") return Num(v, XL_CONFIG_MAX_CHANNELS - 1, n);  // placement, used by the caller
    if (k == "request_id" || k == "response_id" || k == "functional_id") {
        if (!Num(v, 0xFFFFFFFFull, n) || (n & ~uint64_t(XL_CAN_EXT_MSG_ID)) > 0x1FFFFFFF) return false;
        uint32_t &dst = k == "request_id" ? p.requestId : k == "response_id" ? p.responseId : p.functionalId;
        dst = n == 0 ? 0 : CanId(n);
        return true;
    }
    if (k == "ecu_address" || k == "tester_address" || k == "functional_address") {
        if (v == "none" || v == "-1") {
            (k == "ecu_address" ? p.ecuAddress : k == "tester_address" ? p.testerAddress : p.functionalAddress) = -1;
            return true;
        }
        if (!Num(v, 0xFF, n)) return false;
        (k == "ecu_address"      ? p.ecuAddress
         : k == "tester_address" ? p.testerAddress
                                 : p.functionalAddress) = static_cast<int>(n);
        return true;
    }
    if (k == "bs" || k == "stmin" || k == "pad_byte" || k == "pending_sid" || k == "echo_sid") {
        if (!Num(v, 0xFF, n)) return false;
        const uint8_t b = static_cast<uint8_t>(n);
        if (k == "bs")
            p.bs = b;
        else if (k == "stmin")
            p.stmin = b;
        else if (k == "pad_byte")
            p.padByte = b;
        else if (k == "pending_sid")
            p.pendingSid = b;
        else
            p.echoSid = b;
        return true;
    }
    if (k == "fc_status") {
        if (v == "cts" || v == "overflow") {
            p.fcStatus = v == "cts" ? 0 : 2;
            return true;
        }
        if (!Num(v, 0x0F, n) || n == 1) return false;
        p.fcStatus = static_cast<uint8_t>(n);
        return true;
    }
    if (k == "tx_dl") {
        if (!Num(v, CANFD_MAX_DLEN, n) || n < kClassicDl || !IsCanFdLength(static_cast<uint32_t>(n))) return false;
        p.txDl = static_cast<uint8_t>(n);
        return true;
    }
    if (k == "can_fd") {
        if (v == "1" || v == "on" || v == "true" || v == "yes")
            p.canFd = true;
        else if (v == "0" || v == "off" || v == "false" || v == "no")
            p.canFd = false;
        else
            return false;
        return true;
    }
    if (k == "padding") {
        if (v == "1" || v == "on" || v == "true" || v == "yes")
            p.padding = true;
        else if (v == "0" || v == "off" || v == "false" || v == "no")
            p.padding = false;
        else
            return false;
        return true;
    }
    if (k == "fc_wait" || k == "pending") {
        if (!Num(v, 1000, n)) return false;
        (k == "fc_wait" ? p.fcWait : p.pending) = static_cast<unsigned>(n);
        return true;
    }
    if (k == "long_did_length") {
        if (!Num(v, kMaxMessage - 3, n)) return false;
        p.longDidLength = static_cast<size_t>(n);
        return true;
    }
    struct {
        const char *key;
        uint64_t *dst;
        uint64_t unit;
    } times[] = {{"response_delay_ms", &p.responseDelay, kMs},
                 {"response_delay_us", &p.responseDelay, kUs},
                 {"fc_wait_interval_ms", &p.fcWaitInterval, kMs},
                 {"pending_interval_ms", &p.pendingInterval, kMs},
                 {"n_cr_ms", &p.nCr, kMs},
                 {"n_bs_ms", &p.nBs, kMs}};
    for (auto &t : times) {
        if (k == t.key) {
            if (!Num(v, 3600000000ull, n)) return false;
            *t.dst = n * t.unit;
            return true;
        }
    }
    return false;
}

class Ecu : public Node {
public:
    Ecu(unsigned channel, const EcuParams &p) : Node(channel), m_p(p) {
        // Deterministic long record so testers can check every byte.
        std::vector<uint8_t> rec(m_p.longDidLength);
        for (size_t i = 0; i < rec.size(); ++i) rec[i] = static_cast<uint8_t>(i & 0xFF);
        m_dids[0x0100] = rec;
        m_dids[0xF190] = std::vector<uint8_t>(m_p.vin.begin(), m_p.vin.end());
    }

    std::string name() const override { return m_p.name; }

    bool set(const std::string &key, const std::string &value) override {
        if (key == "channel") return false;  // a running ECU stays on its bus
        EcuParams copy = m_p;
        if (!ApplyParam(copy, key, value)) return false;
        m_p = copy;
        if (key == "vin") m_dids[0xF190] = std::vector<uint8_t>(m_p.vin.begin(), m_p.vin.end());
        return true;
    }

    uint64_t nextDue() const override { return m_action == Action::None ? kNever : m_due; }

    void onFrame(NodeBus &bus, const Frame &f, uint64_t now) override {
        if (f.flags & (XL_CAN_MSG_FLAG_ERROR_FRAME | XL_CAN_MSG_FLAG_REMOTE_FRAME)) return;
        if (f.isFd() && !m_p.canFd) return;  // a CAN 2.0 ECU takes no FD frames
        const bool physical = f.id == m_p.requestId;
        const bool functional = m_p.functionalId != 0 && f.id == m_p.functionalId && !physical;
        if (!physical && !functional) return;
        const int addr = physical ? m_p.ecuAddress : m_p.functionalAddress;
        size_t off = 0;
        if (addr >= 0) {
            if (f.dlc < 1 || f.data[0] != addr) return;
            off = 1;
        }
        if (f.dlc <= off) return;
        const uint8_t *d = f.data + off;
        const size_t len = f.dlc - off;
        const uint8_t type = d[0] >> 4;
        if (physical && type == 3) {
            onFlowControl(bus, d, len, now);
            return;
        }
        if (busy()) return;
        const Link link{f.isFd(), f.dlc};
        if (type == 0) {
            onSingle(d, len, functional, link, now);
        } else if (physical && type == 1) {
            onFirst(bus, d, len, link, now);
        } else if (physical && type == 2) {
            onConsecutive(bus, d, len, link, now);
        }
    }

    void onTimer(NodeBus &bus, uint64_t now) override {
        const Action a = m_action;
        m_action = Action::None;
        switch (a) {
            case Action::None: break;
            case Action::FcWait:
                sendFc(bus, 1, m_rxFd);
                if (--m_waitsLeft > 0)
                    schedule(Action::FcWait, now + m_p.fcWaitInterval);
                else
                    schedule(Action::FcCts, now + m_p.fcWaitInterval);
                break;
            case Action::FcCts: sendFinalFc(bus, now); break;
            case Action::RxTimeout:
                m_rxActive = false;  // N_Cr expired: the request is dropped
                break;
            case Action::Pending:
                sendMessage(bus, {0x7F, m_pendingFor, 0x78}, now);
                if (--m_pendingLeft > 0)
                    schedule(Action::Pending, now + m_p.pendingInterval);
                else
                    schedule(Action::Respond, now + m_p.pendingInterval);
                break;
            case Action::Respond: {
                const std::vector<uint8_t> msg = std::move(m_answer);
                m_answer.clear();
                sendMessage(bus, msg, now);
                break;
            }
            case Action::TxTimeout:
                m_txActive = false;  // N_Bs expired: the answer is abandoned
                break;
            case Action::NextCf: sendCf(bus, now); break;
        }
    }

private:
    enum class Action { None, FcWait, FcCts, RxTimeout, Pending, Respond, TxTimeout, NextCf };

    // How a frame came: FD or classic, and its CAN_DL (bytes on the bus).
    struct Link {
        bool fd;
        size_t canDl;
    };

    bool busy() const { return m_txActive || m_action == Action::Pending || m_action == Action::Respond; }

    void schedule(Action a, uint64_t at) {
        m_action = a;
        m_due = at;
    }

    size_t room() const { return m_p.ecuAddress >= 0 ? 7 : 8; }
    size_t addressBytes() const { return m_p.ecuAddress >= 0 ? 1 : 0; }
    // TX_DL of the answer going out: the configured one in FD frames.
    size_t txDl() const { return m_txFd ? m_p.txDl : kClassicDl; }

    // One frame: the address byte, pci and data, padded. Up to 8 bytes the
    // padding setting decides (8 or as long as the content); an FD frame
    // beyond 8 bytes is always filled up to the next length a DLC code gives.
    void emit(NodeBus &bus, const uint8_t *pci, size_t n, bool fd = false) {
        Frame f;
        f.id = m_p.responseId;
        size_t k = 0;
        if (m_p.ecuAddress >= 0 && m_p.testerAddress >= 0) f.data[k++] = static_cast<uint8_t>(m_p.testerAddress);
        std::memcpy(f.data + k, pci, n);
        k += n;
        size_t length = m_p.padding ? std::max(k, kClassicDl) : k;
        if (fd) {
            f.fdFlags = XL_CAN_RXMSG_FLAG_EDL | (bus.fdDataPhaseFaster() ? XL_CAN_RXMSG_FLAG_BRS : 0);
            if (k > kClassicDl) length = CanFdPaddedLength(static_cast<uint8_t>(k));
        }
        std::fill(f.data + k, f.data + length, m_p.padByte);
        f.dlc = static_cast<uint16_t>(length);
        bus.send(f);
    }

    // Flow control in the request's format, never longer than 8 bytes.
    void sendFc(NodeBus &bus, uint8_t status, bool fd) {
        const uint8_t fc[3] = {static_cast<uint8_t>(0x30 | status), m_p.bs, m_p.stmin};
        emit(bus, fc, 3, fd);
    }

    // The flow control after the WAITs: clear to send, or the configured
    // overflow (the request is dropped) or reserved status.
    void sendFinalFc(NodeBus &bus, uint64_t now) {
        sendFc(bus, m_p.fcStatus, m_rxFd);
        if (m_p.fcStatus == 2)
            m_rxActive = false;
        else
            schedule(Action::RxTimeout, now + m_p.nCr);
    }

    // A single frame of more than 8 bytes has the escape form only: SF_DL
    // nibble 0, the length in the next byte.
    void onSingle(const uint8_t *d, size_t len, bool functional, const Link &link, uint64_t now) {
        size_t n = d[0] & 0x0F;
        size_t pci = kSfPci;
        if (link.canDl > kClassicDl) {
            if (n != 0 || len < kSfEscapePci) return;
            n = d[1];
            pci = kSfEscapePci;
        }
        if (n == 0 || n > len - pci) return;
        m_rxActive = false;
        if (m_action == Action::RxTimeout || m_action == Action::FcWait || m_action == Action::FcCts)
            m_action = Action::None;
        handle(std::vector<uint8_t>(d + pci, d + pci + n), functional, link.fd, now);
    }

    // RX_DL is the first frame's CAN_DL; the frame announces the length in
    // 12 bits, or as 0 followed by 32 bits.
    void onFirst(NodeBus &bus, const uint8_t *d, size_t len, const Link &link, uint64_t now) {
        if (len < kFfPci) return;
        size_t total = (size_t(d[0] & 0x0F) << 8) | d[1];
        size_t pci = kFfPci;
        if (total == 0) {
            if (m_p.canFd && len >= kFfEscapePci) {
                total = size_t(d[2]) << 24 | size_t(d[3]) << 16 | size_t(d[4]) << 8 | d[5];
                pci = kFfEscapePci;
                if (total <= kMaxFfDl12) return;  // the 32-bit form is for longer messages only
            }
            if (total == 0 || total > kMaxFdMessage) {
                // A length beyond what the ECU takes: refuse.
                const uint8_t ovf[3] = {0x32, 0, 0};
                emit(bus, ovf, 3, link.fd);
                return;
            }
        }
        if (total < room())  // would have fitted a single frame
            return;
        const size_t rxDl = link.fd ? link.canDl : kClassicDl;
        if (link.fd && (rxDl < kClassicDl || !IsCanFdLength(static_cast<uint32_t>(rxDl)))) return;
        if (rxDl > kClassicDl && total <= rxDl - kSfEscapePci - addressBytes()) return;  // an escape single frame's
        m_rxFd = link.fd;
        m_rxDl = rxDl;
        m_rxBuf.assign(d + pci, d + std::min(len, pci + total));
        m_rxTotal = total;
        m_rxSn = 1;
        m_rxBlock = 0;
        m_rxActive = true;
        m_waitsLeft = m_p.fcWait;
        if (m_waitsLeft > 0) {
            schedule(Action::FcWait, now);
            onTimer(bus, now);
        } else {
            sendFinalFc(bus, now);
        }
    }

    // Consecutive frames come as long as the first (RX_DL), the last one
    // shorter; one longer than RX_DL, or of the other format, is not ours.
    void onConsecutive(NodeBus &bus, const uint8_t *d, size_t len, const Link &link, uint64_t now) {
        if (!m_rxActive || m_action != Action::RxTimeout) return;
        if (link.fd != m_rxFd || link.canDl > m_rxDl) return;
        if (m_rxFd && link.canDl < m_rxDl && m_rxTotal - m_rxBuf.size() > len - kCfPci) {
            m_rxActive = false;  // a short frame before the last: reception aborted
            m_action = Action::None;
            return;
        }
        if ((d[0] & 0x0F) != (m_rxSn & 0x0F)) {
            m_rxActive = false;  // wrong sequence number: reception aborted
            m_action = Action::None;
            return;
        }
        ++m_rxSn;
        const size_t take = std::min(len - 1, m_rxTotal - m_rxBuf.size());
        m_rxBuf.insert(m_rxBuf.end(), d + 1, d + 1 + take);
        if (m_rxBuf.size() >= m_rxTotal) {
            m_rxActive = false;
            m_action = Action::None;
            handle(m_rxBuf, false, m_rxFd, now);
            return;
        }
        if (m_p.bs != 0 && ++m_rxBlock >= m_p.bs) {
            m_rxBlock = 0;
            sendFc(bus, 0, m_rxFd);
        }
        schedule(Action::RxTimeout, now + m_p.nCr);
    }

    void onFlowControl(NodeBus &bus, const uint8_t *d, size_t len, uint64_t now) {
        if (!m_txActive || !m_waitingFc || len < 3) return;
        switch (d[0] & 0x0F) {
            case 0:
                m_waitingFc = false;
                m_txBs = d[1];
                m_txStmin = StminNs(d[2]);
                m_txBlock = 0;
                sendCf(bus, now);
                break;
            case 1: schedule(Action::TxTimeout, now + m_p.nBs); break;
            default:
                m_txActive = false;  // overflow or invalid: give up the answer
                m_action = Action::None;
                break;
        }
    }

    // Up to 7 bytes (less the address byte) a single frame with the length
    // in its first byte; in FD frames up to TX_DL - 2 the escape single
    // frame; above, a first frame filling TX_DL.
    void sendMessage(NodeBus &bus, const std::vector<uint8_t> &msg, uint64_t now) {
        const size_t dl = txDl();
        if (msg.size() < room()) {
            std::vector<uint8_t> sf;
            sf.push_back(static_cast<uint8_t>(msg.size()));
            sf.insert(sf.end(), msg.begin(), msg.end());
            emit(bus, sf.data(), sf.size(), m_txFd);
            return;
        }
        if (dl > kClassicDl && msg.size() <= dl - kSfEscapePci - addressBytes()) {
            std::vector<uint8_t> sf = {0x00, static_cast<uint8_t>(msg.size())};
            sf.insert(sf.end(), msg.begin(), msg.end());
            emit(bus, sf.data(), sf.size(), m_txFd);
            return;
        }
        m_txBuf = msg;
        std::vector<uint8_t> ff;
        if (msg.size() <= kMaxFfDl12) {
            ff = {static_cast<uint8_t>(0x10 | (msg.size() >> 8)), static_cast<uint8_t>(msg.size())};
        } else {
            const uint32_t n = static_cast<uint32_t>(msg.size());
            ff = {0x10,
                  0x00,
                  static_cast<uint8_t>(n >> 24),
                  static_cast<uint8_t>(n >> 16),
                  static_cast<uint8_t>(n >> 8),
                  static_cast<uint8_t>(n)};
        }
        const size_t first = dl - addressBytes() - ff.size();
        ff.insert(ff.end(), msg.begin(), msg.begin() + first);
        emit(bus, ff.data(), ff.size(), m_txFd);
        m_txOff = first;
        m_txSn = 1;
        m_txActive = true;
        m_waitingFc = true;
        schedule(Action::TxTimeout, now + m_p.nBs);
    }

    void sendCf(NodeBus &bus, uint64_t now) {
        const size_t n = std::min(txDl() - addressBytes() - kCfPci, m_txBuf.size() - m_txOff);
        std::vector<uint8_t> cf = {static_cast<uint8_t>(0x20 | (m_txSn & 0x0F))};
        cf.insert(cf.end(), m_txBuf.begin() + m_txOff, m_txBuf.begin() + m_txOff + n);
        emit(bus, cf.data(), cf.size(), m_txFd);
        m_txOff += n;
        ++m_txSn;
        if (m_txOff >= m_txBuf.size()) {
            m_txActive = false;
            m_action = Action::None;
            return;
        }
        if (m_txBs != 0 && ++m_txBlock >= m_txBs) {
            m_waitingFc = true;
            schedule(Action::TxTimeout, now + m_p.nBs);
            return;
        }
        schedule(Action::NextCf, now + m_txStmin);
    }

    static std::vector<uint8_t> negative(uint8_t sid, uint8_t nrc) { return {0x7F, sid, nrc}; }

    // The diagnostic services; an empty answer means "say nothing".
    std::vector<uint8_t> serve(const std::vector<uint8_t> &req, bool functional) {
        const uint8_t sid = req[0];
        const size_t n = req.size();
        if (sid == 0x10) {
            if (n != 2) return negative(sid, 0x13);
            const uint8_t sub = req[1] & 0x7F;
            if (sub < 1 || sub > 3) return negative(sid, 0x12);
            if (req[1] & 0x80) return {};
            // P2 = 50 ms, P2* = 5000 ms (in units of 10 ms).
            return {0x50, sub, 0x00, 0x32, 0x01, 0xF4};
        }
        if (sid == 0x3E) {
            if (n != 2) return negative(sid, 0x13);
            if ((req[1] & 0x7F) != 0) return negative(sid, 0x12);
            if (req[1] & 0x80) return {};
            return {0x7E, 0x00};
        }
        if (sid == 0x22) {
            if (n < 3 || (n - 1) % 2 != 0) return negative(sid, 0x13);
            std::vector<uint8_t> out = {0x62};
            for (size_t i = 1; i < n; i += 2) {
                const uint16_t did = static_cast<uint16_t>(req[i] << 8 | req[i + 1]);
                auto it = m_dids.find(did);
                if (it == m_dids.end()) return negative(sid, 0x31);
                out.push_back(req[i]);
                out.push_back(req[i + 1]);
                out.insert(out.end(), it->second.begin(), it->second.end());
            }
            if (out.size() > kMaxMessage) return negative(sid, 0x14);
            return out;
        }
        if (sid == 0x2E) {
            if (n < 4) return negative(sid, 0x13);
            const uint16_t did = static_cast<uint16_t>(req[1] << 8 | req[2]);
            m_dids[did].assign(req.begin() + 3, req.end());
            return {0x6E, req[1], req[2]};
        }
        if (sid == m_p.echoSid) {
            std::vector<uint8_t> out = req;
            out[0] = static_cast<uint8_t>(sid + 0x40);
            return out;
        }
        (void)functional;
        return negative(sid, 0x11);
    }

    // The answer goes in the request's format.
    void handle(const std::vector<uint8_t> &req, bool functional, bool fd, uint64_t now) {
        std::vector<uint8_t> answer = serve(req, functional);
        m_txFd = fd;
        // Functionally addressed requests get no "not supported" or "out of
        // range" answers: a whole group would drown the tester in them.
        if (functional && answer.size() == 3 && answer[0] == 0x7F &&
            (answer[2] == 0x11 || answer[2] == 0x12 || answer[2] == 0x31))
            answer.clear();
        if (answer.empty()) return;
        m_answer = answer;
        const bool pend = m_p.pending > 0 && req[0] != 0x3E && (m_p.pendingSid == 0 || m_p.pendingSid == req[0]);
        if (pend) {
            m_pendingLeft = m_p.pending;
            m_pendingFor = req[0];
            schedule(Action::Pending, now + m_p.responseDelay);
        } else {
            schedule(Action::Respond, now + m_p.responseDelay);
        }
    }

    EcuParams m_p;
    std::map<uint16_t, std::vector<uint8_t>> m_dids;
    Action m_action = Action::None;
    uint64_t m_due = kNever;

    bool m_rxActive = false;
    std::vector<uint8_t> m_rxBuf;
    size_t m_rxTotal = 0;
    unsigned m_rxSn = 0, m_rxBlock = 0;
    unsigned m_waitsLeft = 0;
    bool m_rxFd = false;         // the request being received comes in FD frames
    size_t m_rxDl = kClassicDl;  // RX_DL: its first frame's CAN_DL
    bool m_txFd = false;         // the answer goes in FD frames

    std::vector<uint8_t> m_answer;
    unsigned m_pendingLeft = 0;
    uint8_t m_pendingFor = 0;

    bool m_txActive = false, m_waitingFc = false;
    std::vector<uint8_t> m_txBuf;
    size_t m_txOff = 0;
    unsigned m_txSn = 0, m_txBs = 0, m_txBlock = 0;
    uint64_t m_txStmin = 0;
};

}  // namespace

std::unique_ptr<Node> MakeEcu(unsigned channel, const EcuSettings &settings, std::string &error) {
    EcuParams p;
    for (const auto &kv : settings) {
        if (!ApplyParam(p, kv.first, kv.second)) {
            error = "bad ECU setting " + kv.first + " = " + kv.second;
            return nullptr;
        }
    }
    return std::unique_ptr<Node>(new Ecu(channel, p));
}

std::vector<EcuSettings> DefaultEcus() {
    return {
        {{"name", "engine"}, {"request_id", "0x7E0"}, {"response_id", "0x7E8"}, {"vin", "VXLSIMECU00000001"}},
        {{"name", "transmission"}, {"request_id", "0x7E1"}, {"response_id", "0x7E9"}, {"vin", "VXLSIMECU00000002"}},
        {{"name", "gateway"},
         {"request_id", "0x6F1"},
         {"response_id", "0x640"},
         {"ecu_address", "0x40"},
         {"tester_address", "0xF1"},
         {"vin", "VXLSIMECU00000003"}},
    };
}

}  // namespace vxlsim
