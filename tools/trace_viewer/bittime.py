"""How long a classic CAN data frame occupies the bus: its bits counted as the
controller sends them, stuff bits included (after five equal bits from the
start of frame to the end of the CRC, one of the other level), the CRC-15
computed for that, and the fixed tail (CRC and ACK delimiters, ACK slot, end
of frame, intermission)."""

_POLY = 0x4599
_TAIL = 13          # CRC delimiter, ACK slot and delimiter, 7 EOF, 3 intermission


def _crc_bit(crc, bit):
    top = (crc >> 14) & 1
    crc = (crc << 1) & 0x7FFF
    return crc ^ _POLY if top ^ bit else crc


def _stuff_bit(state, bit):
    """state: level * 5 + run - 1 (run of equal bits, 1..5); returns the new
    state and the stuff bits inserted after this bit."""
    level, before = divmod(state, 5)    # before: the run's length less one
    if bit == level:
        if before == 3:
            return (1 - bit) * 5, 1     # the stuff bit starts a run of its own
        return level * 5 + before + 1, 0
    return bit * 5, 0


def _tables():
    crc8 = []
    for byte in range(256):
        reg = byte << 7
        for _ in range(8):
            reg = _crc_bit(reg, 0)
        crc8.append(reg)
    stuff = {}
    for width in (7, 8):
        table = []
        for state in range(10):
            row = []
            for value in range(1 << width):
                s, n = state, 0
                for i in range(width - 1, -1, -1):
                    s, k = _stuff_bit(s, (value >> i) & 1)
                    n += k
                row.append((s, n))
            table.append(row)
        stuff[width] = table
    return crc8, stuff[8], stuff[7]


_CRC8, _STUFF8, _STUFF7 = _tables()
_HEADS = {}


def _head(can_id, extended, dlc):
    """CRC register, stuffing state and stuffed bit count after the control
    field (start of frame, identifier, RTR/IDE/r bits, DLC)."""
    key = (can_id, extended, dlc)
    head = _HEADS.get(key)
    if head is None:
        if extended:
            bits = [0] + [(can_id >> (28 - i)) & 1 for i in range(11)] + [1, 1] + \
                [(can_id >> (17 - i)) & 1 for i in range(18)] + [0, 0, 0]
        else:
            bits = [0] + [(can_id >> (10 - i)) & 1 for i in range(11)] + [0, 0, 0]
        bits += [(dlc >> (3 - i)) & 1 for i in range(4)]
        # Start of frame: one dominant bit after the recessive idle bus.
        crc, state, count = _crc_bit(0, 0), 0, 1
        for bit in bits[1:]:
            crc = _crc_bit(crc, bit)
            state, n = _stuff_bit(state, bit)
            count += 1 + n
        head = _HEADS[key] = (crc, state, count)
        if len(_HEADS) > 4096:
            _HEADS.clear()
    return head


def frame_bits(can_id, extended, data):
    """Bits of a data frame with these bytes, stuffing and intermission included."""
    crc, state, count = _head(can_id, extended, len(data))
    stuff8 = _STUFF8
    crc8 = _CRC8
    for byte in data:
        crc = ((crc << 8) & 0x7FFF) ^ crc8[((crc >> 7) ^ byte) & 0xFF]
        state, n = stuff8[state][byte]
        count += 8 + n
    state, n = stuff8[state][crc >> 7]
    count += 8 + n
    state, n = _STUFF7[state][crc & 0x7F]
    return count + 7 + n + _TAIL


def least_bits(extended, length):
    """Bits of such a frame without any stuff bit: nothing on the bus is shorter."""
    return (67 if extended else 47) + 8 * length
