// How long a frame occupies the bus. Dynamic stuff bits are estimated as
// one in five stuffable bits (the bit stream itself is not built); an FD
// frame's CRC field has its fixed stuff bits counted exactly.
#include <algorithm>

#include "can/can_frame.h"
#include "sim.h"

namespace vxlsim {

namespace {

constexpr uint64_t kNsPerS = 1000000000ull;
constexpr unsigned kBitsPerStuffBit = 5;

bool IsExt(uint32_t id) { return (id & XL_CAN_EXT_MSG_ID) != 0; }

unsigned DataBits(const Frame &f) {
    if (f.flags & XL_CAN_MSG_FLAG_REMOTE_FRAME) return 0;
    return 8u * std::min<unsigned>(f.dlc, f.isFd() ? CANFD_MAX_DLEN : CAN_MAX_DLEN);
}

// Bits after the CRC field, in every format, at the arbitration rate.
constexpr unsigned kCrcDelimiter = 1;
constexpr unsigned kAckSlot = 1;
constexpr unsigned kAckDelimiter = 1;
constexpr unsigned kEndOfFrame = 7;
constexpr unsigned kIntermission = 3;
constexpr unsigned kTrailer = kCrcDelimiter + kAckSlot + kAckDelimiter + kEndOfFrame + kIntermission;

// The bits of an FD frame in its two phases. The rate switches at the BRS
// bit and back at the CRC delimiter; both bits are counted at the
// arbitration rate here.
struct FdBits {
    unsigned arbitration;  // SOF .. BRS with their stuff bits, and the trailer
    unsigned data;         // ESI .. CRC sequence with their stuff bits
};

FdBits CountFdBits(const Frame &f, bool iso) {
    // SOF, identifier, RRS, IDE, FDF, res, BRS; a 29-bit identifier adds SRR
    // and the 18 identifier extension bits (IDE moves before them).
    constexpr unsigned kSof = 1;
    constexpr unsigned kBaseId = 11, kIdExtension = 18, kSrr = 1;
    constexpr unsigned kRrs = 1, kIde = 1, kFdf = 1, kRes = 1, kBrs = 1;
    constexpr unsigned kEsi = 1, kDlc = 4;
    const unsigned headBits =
        kSof + kBaseId + (IsExt(f.id) ? kSrr + kIde + kIdExtension : kIde) + kRrs + kFdf + kRes + kBrs;
    const unsigned payloadBits = kEsi + kDlc + DataBits(f);

    // CRC field: CRC-17 up to 16 data bytes, CRC-21 above. ISO CAN FD puts
    // the stuff count (3 bits Gray-coded count and a parity bit) before the
    // CRC. Fixed stuff bits replace dynamic stuffing there: one before the
    // field and one after every fourth bit (ISO); Bosch CAN FD has no
    // stuff count, and a fixed stuff bit after every fourth CRC bit.
    constexpr unsigned kCrc17 = 17, kCrc21 = 21, kStuffCount = 4, kFixedStuffSpacing = 4;
    const unsigned crcBits = std::min<unsigned>(f.dlc, CANFD_MAX_DLEN) <= 16 ? kCrc17 : kCrc21;
    const unsigned protectedBits = crcBits + (iso ? kStuffCount : 0);
    const unsigned fixedStuffBits = iso ? (protectedBits + kFixedStuffSpacing - 1) / kFixedStuffSpacing
                                        : protectedBits / kFixedStuffSpacing;
    FdBits bits;
    bits.arbitration = headBits + headBits / kBitsPerStuffBit + kTrailer;
    bits.data = payloadBits + payloadBits / kBitsPerStuffBit + protectedBits + fixedStuffBits;
    return bits;
}

// Classic frame: SOF, arbitration, control, data, CRC (15) and the trailer;
// the bits up to the CRC sequence are stuffed.
unsigned ClassicBits(const Frame &f) {
    const unsigned dataBits = DataBits(f);
    const unsigned fixed = IsExt(f.id) ? 67 : 47;
    const unsigned stuffable = (IsExt(f.id) ? 54 : 34) + dataBits;
    return fixed + dataBits + stuffable / kBitsPerStuffBit;
}

uint64_t BitsNs(uint64_t bits, uint32_t rate) { return rate == 0 ? 0 : bits * kNsPerS / rate; }

}  // namespace

uint64_t FrameDurationNs(const Frame &f, const BusRates &rates) {
    if (rates.arbitration == 0) return 0;
    if (!f.isFd()) return BitsNs(ClassicBits(f), rates.arbitration);
    const FdBits bits = CountFdBits(f, rates.iso);
    const bool switched = (f.fdFlags & XL_CAN_RXMSG_FLAG_BRS) && rates.data > rates.arbitration;
    const uint32_t dataRate = switched ? rates.data : rates.arbitration;
    return BitsNs(bits.arbitration, rates.arbitration) + BitsNs(bits.data, dataRate);
}

unsigned FrameBitCount(const Frame &f) {
    if (!f.isFd()) return ClassicBits(f);
    const FdBits bits = CountFdBits(f, true);
    return bits.arbitration + bits.data;
}

}  // namespace vxlsim
