// ISO 15765-2 frames written out for the tests' peers, for either library's
// tests (no J2534 header needed).
#ifndef PT_TESTS_SUPPORT_ISO_FRAMES_H
#define PT_TESTS_SUPPORT_ISO_FRAMES_H

#include <cstddef>
#include <cstdint>
#include <vector>

using Bytes = std::vector<uint8_t>;

// One message's frames: addr >= 0 puts an address byte in front; frames of
// up to dl bytes (CAN FD above 8: single frames beyond 7 bytes escaped,
// frames beyond 8 bytes padded to a length a DLC gives); escaped gives the
// first frame the 32-bit length, as any above 4095 bytes has.
struct Framing {
    int addr = -1;
    bool padSingle = false;
    bool padMulti = true;
    uint8_t padByte = 0xFF;
    size_t dl = 8;
    bool escaped = false;
};
std::vector<Bytes> Segment(const Bytes &payload, const Framing &f);
Bytes Cat(Bytes a, const Bytes &b);  // a, then b
Bytes FlowControl(int addr, uint8_t bs, uint8_t stmin, bool pad = true, uint8_t padByte = 0xFF);
size_t FdLength(size_t n);  // of the FD frame that holds n bytes

#endif
