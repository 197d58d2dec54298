#!/usr/bin/env python3
"""Writes the seed inputs of the tap_splitter fuzz target into corpus/tap_splitter.

The input format (tap_splitter_fuzz.cpp): one byte for the baud rate (0 1200,
1 2400, 2 9600, 3 115200), then reads, each a control byte (low four bits: length
less one; high four: the silence before it, 0 none, k for 2^(k-1) tenths of a
millisecond, 14 a clock stepping back, 15 a silence the reader notices) and its
bytes. The fuzzer mutates from these; the corpus replay in the test suite runs
them as they are.
"""
import os

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "tap_splitter")

BAUD_2400 = 1


def comp(b):
    return 0xFF - b


def read(data, silence=0):
    """One read of up to 16 bytes after a silence of class `silence`."""
    assert 1 <= len(data) <= 16
    return bytes([(silence << 4) | (len(data) - 1)]) + bytes(data)


def byte_by_byte(data, silence=0):
    out = b""
    for i, b in enumerate(data):
        out += read([b], silence if i == 0 else 0)
    return out


def in_reads(data, size, silence=0):
    out = b""
    for i in range(0, len(data), size):
        out += read(data[i:i + size], silence if i == 0 else 0)
    return out


def status(lead, s):
    return [lead, s, comp(s)]


def pairs(values):
    out = []
    for v in values:
        out += [v, comp(v)]
    return out


POLL = [0x00, 0x19]
FILL = [0x00, 0x1A, 0xB4]
FILL_REPLY = [0x1A, 0xB4] + pairs([0x00, 0x25, 0x49, 0x00, 0x00, 0x54, 0x01])
TOTALS = [0x00, 0x02, 0x2D]
TOTALS_REPLY = [0x02, 0x2D] + pairs([0x00] * 5 + [0x12] + [0x00] * 5 + [0x34, 0x02])
PRICES = [0x00, 0x1C, 0x4B, 0x45, 0x50, 0x02, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00]
EXECUTE = [0x00, 0x1D, 0xE2]
UNBLOCK = [0x00, 0x1C, 0x96, 0x05, 0xFA]
NOZZLES = [0x00, 0x1E]

SEEDS = {
    "clean_polls": bytes([BAUD_2400]) + byte_by_byte(POLL + status(0x19, 0x00))
    + byte_by_byte(POLL + status(0x19, 0x08), silence=9),
    "every_shape_answered": bytes([BAUD_2400])
    + byte_by_byte(FILL + FILL_REPLY)
    + byte_by_byte(TOTALS + TOTALS_REPLY, silence=8)
    + in_reads(PRICES + PRICES[1:], 16, silence=8)
    + byte_by_byte(EXECUTE + [0x1D], silence=8)
    + byte_by_byte(UNBLOCK + UNBLOCK[1:], silence=8)
    + byte_by_byte(NOZZLES + [0x1E] + pairs([0x20, 0x00]), silence=8),
    "no_reply_then_next_frame": bytes([BAUD_2400]) + byte_by_byte(POLL)
    + byte_by_byte(POLL + status(0x19, 0x00), silence=12),
    "short_reply_then_next_frame": bytes([BAUD_2400]) + byte_by_byte(FILL + FILL_REPLY[:9])
    + byte_by_byte(POLL + status(0x19, 0x00), silence=12),
    "noise_ahead_of_a_reply": bytes([BAUD_2400]) + byte_by_byte(POLL + [0xFF] + status(0x19, 0x00))
    + byte_by_byte(POLL + status(0x19, 0x00), silence=7),
    "garbage_then_quiet": bytes([BAUD_2400]) + read([0xAA, 0x55, 0x00, 0x1C])
    + read([0x00], silence=15) + byte_by_byte(POLL + status(0x19, 0x00)),
    "late_reader": bytes([BAUD_2400]) + read(FILL + FILL_REPLY[:2])
    + read(FILL_REPLY[2:], silence=10),
    "reply_without_frame": bytes([BAUD_2400]) + byte_by_byte(status(0x19, 0x00))
    + byte_by_byte(POLL + status(0x19, 0x00), silence=9),
    "clock_steps_back": bytes([BAUD_2400]) + byte_by_byte(POLL) + read(status(0x19, 0x00), silence=14),
    "fast_line": bytes([3]) + in_reads(FILL + FILL_REPLY + POLL + status(0x19, 0x02), 7),
    "zeros_between_frames": bytes([2]) + read([0x00] * 6) + byte_by_byte(POLL + status(0x19, 0x0A)),
}


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
