#include "iso_frames.h"

#include <algorithm>
#include <cstddef>

size_t FdLength(size_t n) {
    for (size_t length : {8, 12, 16, 20, 24, 32, 48, 64})
        if (n <= length) return n <= 8 ? n : length;
    return 0;
}

std::vector<Bytes> Segment(const Bytes &payload, const Framing &f) {
    const Bytes head = f.addr >= 0 ? Bytes{static_cast<uint8_t>(f.addr)} : Bytes{};
    const size_t room = f.dl - head.size(), n = payload.size();
    std::vector<Bytes> frames;
    auto close = [&](Bytes frame, bool pad) {
        if (pad || frame.size() > 8) frame.resize(frame.size() <= 8 ? 8 : FdLength(frame.size()), f.padByte);
        frames.push_back(frame);
    };
    if ((n < 8 - head.size() || (f.dl > 8 && n <= room - 2)) && !f.escaped) {
        const Bytes pci = n < 8 - head.size() ? Bytes{static_cast<uint8_t>(n)} : Bytes{0x00, static_cast<uint8_t>(n)};
        close(Cat(Cat(head, pci), payload), f.padSingle);
        return frames;
    }
    const bool escaped = f.escaped || n > 4095;
    const Bytes pci = escaped ? Bytes{0x10, 0, 0, 0, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)}
                              : Bytes{static_cast<uint8_t>(0x10 | n >> 8), static_cast<uint8_t>(n)};
    size_t off = room - pci.size();
    close(Cat(Cat(head, pci), Bytes(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(off))), f.padMulti);
    for (unsigned sn = 1; off < n; ++sn) {
        const size_t take = std::min(room - 1, n - off);
        close(Cat(Cat(head, {static_cast<uint8_t>(0x20 | (sn & 0x0F))}),
                  Bytes(payload.begin() + static_cast<std::ptrdiff_t>(off),
                        payload.begin() + static_cast<std::ptrdiff_t>(off + take))),
              f.padMulti);
        off += take;
    }
    return frames;
}

Bytes FlowControl(int addr, uint8_t bs, uint8_t stmin, bool pad, uint8_t padByte) {
    Bytes fc(8, padByte);
    size_t n = 0;
    if (addr >= 0) fc[n++] = static_cast<uint8_t>(addr);
    fc[n++] = 0x30;
    fc[n++] = bs;
    fc[n++] = stmin;
    if (!pad) fc.resize(n);
    return fc;
}
