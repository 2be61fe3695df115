"""How long a CAN data frame occupies the bus: its bits counted as the
controller sends them.

A classic frame: stuff bits included (after five equal bits from the start of
frame to the end of the CRC, one of the other level), the CRC-15 computed for
that, and the fixed tail (CRC and ACK delimiters, ACK slot, end of frame,
intermission).

A CAN FD frame: the same dynamic stuffing, but only from the start of frame to
the end of the data field; then the stuff count and the CRC (17 or 21 bits)
with fixed stuff bits at set places, whatever their values, so that the CRC's
value does not change the count. With bit-rate switch the bits from the one
after BRS up to the CRC delimiter run at the data rate."""

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


# ---- CAN FD -------------------------------------------------------------------
# Data lengths a CAN FD frame can carry, by DLC code 0..15.
FD_LENGTHS = (0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64)
CAN_MAX_DLEN = 8
CANFD_MAX_DLEN = 64

# Start of frame to BRS, sent at the nominal rate: SOF, identifier (11), RRS,
# IDE, FDF, res, BRS = 17; extended: SOF, base identifier (11), SRR, IDE,
# identifier extension (18), RRS, FDF, res, BRS = 36.
FD_ARBITRATION_BITS = 17
FD_ARBITRATION_BITS_EXT = 36
FD_CONTROL_BITS = 5             # ESI and the DLC, the first bits at the data rate
FD_STUFF_COUNT_BITS = 4         # dynamic stuff bits modulo 8 in Gray code, and their parity
FD_CRC17_MAX_LEN = 16           # data bytes up to which the CRC is CRC-17; beyond, CRC-21
FD_CRC17_BITS = 17
FD_CRC21_BITS = 21
# A fixed stuff bit before the stuff count and one after every fourth bit of
# stuff count and CRC: 4 + 17 bits take 6 of them, 4 + 21 bits 7.
FD_FIXED_STUFF_CRC17 = 6
FD_FIXED_STUFF_CRC21 = 7
# The CRC delimiter is counted at the data rate and BRS at the nominal one:
# each is partly at either rate, split at its sample point, and with equal
# sample points the two make one bit at each rate.
FD_CRC_DELIMITER_BITS = 1
FD_NOMINAL_TAIL = 12            # ACK slot and delimiter, 7 EOF, 3 intermission


def fd_length(length):
    """The shortest CAN FD frame length that holds this many bytes."""
    for n in FD_LENGTHS:
        if n >= length:
            return n
    raise ValueError("more than %d bytes" % CANFD_MAX_DLEN)


def _fd_crc_field(length):
    """Stuff count, CRC and their fixed stuff bits, and the CRC delimiter."""
    if length <= FD_CRC17_MAX_LEN:
        return FD_STUFF_COUNT_BITS + FD_CRC17_BITS + FD_FIXED_STUFF_CRC17 + FD_CRC_DELIMITER_BITS
    return FD_STUFF_COUNT_BITS + FD_CRC21_BITS + FD_FIXED_STUFF_CRC21 + FD_CRC_DELIMITER_BITS


def _fd_head(can_id, extended, dlc, brs, esi):
    """Stuffing state, bits at the nominal rate, bits at the data rate so far
    and the stuff bits due after the last one, after the DLC."""
    key = ("fd", can_id, extended, dlc, brs, esi)
    head = _HEADS.get(key)
    if head is None:
        if extended:
            arbitration = [(can_id >> (28 - i)) & 1 for i in range(11)] + [1, 1] + \
                [(can_id >> (17 - i)) & 1 for i in range(18)] + [0, 1, 0, brs]
        else:
            arbitration = [(can_id >> (10 - i)) & 1 for i in range(11)] + [0, 0, 1, 0, brs]
        state, nominal, data, n = 0, 1, 0, 0      # start of frame: dominant
        for bit in arbitration[:-1]:
            state, n = _stuff_bit(state, bit)
            nominal += 1 + n
        state, n = _stuff_bit(state, brs)
        nominal += 1
        data += n                                 # a stuff bit after BRS is at the data rate
        for bit in [esi] + [(dlc >> (3 - i)) & 1 for i in range(4)]:
            state, n = _stuff_bit(state, bit)
            data += 1 + n
        head = _HEADS[key] = (state, nominal, data, n)
        if len(_HEADS) > 4096:
            _HEADS.clear()
    return head


def fd_frame_bits(can_id, extended, data, brs=True, esi=False):
    """(bits at the nominal rate, bits at the data rate) of a CAN FD data
    frame with these bytes; without BRS both run at the nominal rate."""
    length = fd_length(len(data))
    data = bytes(data) + bytes(length - len(data))
    state, nominal, count, due = _fd_head(can_id, extended, FD_LENGTHS.index(length), int(brs), int(esi))
    if data:
        stuff8 = _STUFF8
        for byte in data[:-1]:
            state, n = stuff8[state][byte]
            count += 8 + n
        last = data[-1]
        for i in range(7, -1, -1):
            state, due = _stuff_bit(state, (last >> i) & 1)
            count += 1 + due
    # Dynamic stuffing ends with the data field: a stuff bit due after its
    # last bit is the first fixed stuff bit, which is of the other level too.
    count -= due
    return nominal + FD_NOMINAL_TAIL, count + _fd_crc_field(length)


def fd_least_bits(extended, length):
    """(nominal, data-rate) bits of such a frame without a dynamic stuff bit."""
    length = fd_length(length)
    arbitration = FD_ARBITRATION_BITS_EXT if extended else FD_ARBITRATION_BITS
    return arbitration + FD_NOMINAL_TAIL, FD_CONTROL_BITS + 8 * length + _fd_crc_field(length)


def frame_ms(can_id, extended, data, rate, fd=False, brs=False, data_rate=None, least=False):
    """Milliseconds a frame takes on the bus at these bit rates (bit/s); least:
    the time without a dynamic stuff bit."""
    if not fd:
        return (least_bits(extended, len(data)) if least else frame_bits(can_id, extended, data)) * 1000.0 / rate
    nominal, fast = fd_least_bits(extended, len(data)) if least else fd_frame_bits(can_id, extended, data, brs)
    return nominal * 1000.0 / rate + fast * 1000.0 / (data_rate if brs and data_rate else rate)
