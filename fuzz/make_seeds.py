#!/usr/bin/env python3
"""Writes the seed inputs of the driver_ops fuzz target into corpus/driver_ops.

Each seed is a short host session spelt out in the target's input format: an
operation's position and arguments, then the channel's decisions for each exchange
it makes. The fuzzer mutates from these; the corpus replay in the test suite runs
them as they are.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "driver_ops")


def idx(v):
    """A line, pump or grade in 0..300."""
    return bytes([0x00]) + struct.pack("<H", v)


def word(v):
    """Any 32-bit word."""
    return bytes([0xF0]) + struct.pack("<i", v)


def value(v):
    """A price, volume or money value given as hundredths in 0..655.35."""
    return bytes([0x80]) + struct.pack("<H", v)


def edge(i):
    """One of the target's edge values (0 = 0.0, 21 = +inf, 23 = NaN, ...)."""
    return bytes([i])


def exchange(reply=b"", accept=True, result=0, throws=None, last_error=0):
    """One Transact and the GetState after it, or LastError after a std throw."""
    if throws == "std":
        return b"\xfe" + b"\x00" + (b"\x00" if last_error == 0 else b"\x80" + struct.pack("<i", last_error))
    if throws == "foreign":
        return b"\xff"
    out = b"\x00" + bytes([len(reply)]) + reply
    out += b"\x00" if accept else b"\xa0"
    out += b"\x00" if result == 0 else b"\xe0" + struct.pack("<i", result)
    return out + b"\x00\x00"


def reply(n, at=None):
    """n reply bytes: byte 0 replaced by the echo, the rest zero unless given."""
    b = bytearray(n)
    for pos, v in (at or {}).items():
        b[pos] = v
    return bytes(b)


def op(position, *parts):
    return bytes([position]) + b"".join(parts)


def poll(line, pump, status, accept=True):
    return op(10, idx(line), idx(pump)) + exchange(reply(3, {1: status}), accept)


def start(line, pump):
    return op(15, idx(line), idx(pump)) + exchange(reply(2)) + exchange(reply(1))


def sost_ex(line, pump, count, status, b1, b3):
    return (op(21, idx(line), idx(pump), bytes([count])) + exchange(reply(3, {1: status}))
            + exchange(reply(5, {1: b1, 3: b3})))


SEEDS = {
    "poll_fresh_pump": poll(1, 3, 0x0A),
    "poll_idle_then_calling": poll(1, 3, 0x00) + poll(1, 3, 0x0A),
    "start_and_count_down": start(2, 3) + b"".join(poll(2, 3, 0x08) for _ in range(7)),
    "poll_reinitialises": start(2, 3) + op(10, idx(2), idx(3)) + exchange(reply(3, {1: 0x59})) + exchange(reply(3)),
    "poll_fault_bytes": b"".join(poll(4, 5, s) for s in (0x88, 0x04, 0x51, 0x80, 0x91, 0xFF)),
    "poll_rejected": poll(1, 1, 0x0A, accept=False),
    "poll_pump_32": op(10, idx(1), idx(32)),
    "poll_line_260": op(10, idx(260), idx(3)) + exchange(reply(3, {1: 0x0A})),
    "stop": op(4, idx(1), idx(31)) + exchange(reply(2)) + exchange(reply(1)),
    "stop_line_0": op(4, idx(0), idx(3)) + exchange(reply(2)) + exchange(reply(1)),
    "stop_if_flags": op(22, idx(1), idx(2), b"\x00") + op(22, idx(1), idx(2), b"\x01") + exchange(reply(2)) + exchange(reply(1)),
    "start_error": op(15, idx(1), idx(3)) + exchange(reply(2), result=5),
    "start_execute_throws": op(15, idx(1), idx(3)) + exchange(reply(2)) + exchange(throws="std", last_error=9),
    "start_foreign": op(19, idx(1), idx(3)) + exchange(throws="foreign"),
    "unblock": op(23, idx(1), idx(2), idx(7)) + exchange(reply(3)) + exchange(reply(4)) + exchange(reply(1)),
    "unblock_code_256": op(23, idx(1), idx(2), idx(256)) + exchange(reply(3)),
    "price_unknown_nozzles": op(11, idx(1), idx(3), idx(2), value(4550)),
    "price_one_nozzle": op(21, idx(1), idx(3), b"\x01") + exchange(reply(3))
    + op(11, idx(1), idx(3), idx(1), value(4550)) + exchange(reply(4)) + exchange(reply(1)),
    "price_two_nozzles": sost_ex(1, 3, 2, 0x00, 0xA0, 0x00) + op(11, idx(1), idx(3), idx(6), value(199)) + exchange(reply(12)) + exchange(reply(1)),
    "price_edges": b"".join(op(11, idx(1), idx(3), idx(1), edge(i)) for i in range(26)),
    "price_grade_0_and_7": op(11, idx(1), idx(3), idx(0), value(100)) + op(11, idx(1), idx(3), idx(7), value(100)),
    "dose_litres": op(13, idx(2), idx(2), value(1234)) + exchange(reply(5)) + exchange(reply(1)),
    "dose_edges": b"".join(op(13, idx(2), idx(2), edge(i)) + exchange(reply(5)) + exchange(reply(1)) for i in (0, 9, 16, 21, 23)),
    "dose_money": op(14, idx(1), idx(3), idx(1), value(10000)) + exchange(reply(5)) + exchange(reply(1)),
    "dose_money_zero_price": op(14, idx(1), idx(3), idx(4), value(10000)),
    "fill": op(9, idx(1), idx(5), b"") + exchange(reply(16, {2: 0x00, 4: 0x01, 6: 0x23, 8: 0x00, 10: 0x45, 12: 0x67})),
    "fill_data_rejected": op(6, idx(1), idx(5)) + exchange(reply(16), accept=False),
    "fill_line_40": op(9, idx(40), idx(5)) + exchange(reply(16)),
    "totals_one_nozzle": op(21, idx(3), idx(4), b"\x01") + exchange(reply(3)) + op(7, idx(3), idx(4)) + exchange(reply(16, {6: 0x12})) + exchange(reply(16, {12: 0x99})),
    "totals_two_nozzles": sost_ex(3, 4, 2, 0, 0, 0) + op(7, idx(3), idx(4)) + exchange(reply(28, {14: 0x99})) + exchange(reply(28)),
    "totals_unknown_nozzles": op(7, idx(3), idx(4)),
    "sost_ex_four": start(1, 3) + sost_ex(1, 3, 4, 0x08, 0x22, 0xAB),
    "sost_ex_count_8": sost_ex(1, 3, 8, 0x00, 0xB0, 0x00),
    "sost_ex_count_7_idle": sost_ex(1, 3, 7, 0x00, 0x00, 0x00),
    "sost_ex_count_255": sost_ex(1, 3, 255, 0x0A, 0x0A, 0x2B),
    "init_line_then_poll": op(16, idx(1)) + b"\x00\x05\x00\x00\x00" + op(10, idx(1), idx(3)) + b"\x5e" + b"\x00" * 5 + exchange(reply(3, {1: 0x0A})),
    "line_state_and_capability": op(2, idx(4), b"\x07") + op(3, idx(4)) + op(3, idx(260)) + op(20, b"\x00\x01") + op(20, b"\x00\x03") + op(1) + op(0) + op(5),
    "absorbed_poll_keeps_state": op(2, idx(1), b"\x03") + op(10, idx(1), idx(3)) + exchange(throws="std"),
    "huge_indexes": op(15, word(-1), word(3)) + op(4, word(0x7FFFFFFF), idx(3)) + op(23, idx(1), idx(1), word(-5)) + exchange(reply(3)),
}


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)
    print(f"{len(SEEDS)} seeds in {OUT}")


if __name__ == "__main__":
    main()
