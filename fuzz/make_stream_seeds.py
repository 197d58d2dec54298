#!/usr/bin/env python3
"""Writes the seed inputs of the sim_frames and channel_reply fuzz targets.

sim_frames: one byte that decides how the stream is cut into reads, then the bytes
of a line. channel_reply: the input format of channel_reply_fuzz.cpp, spelt out by
the helpers below. The fuzzer mutates from these; the corpus replay in the test
suite runs them as they are.
"""
import os

HERE = os.path.dirname(os.path.abspath(__file__))

# One command of every shape the driver sends, for pump 3.
SHAPES = [
    [0x19], [0x1B], [0x1A, 0xB4], [0x02, 0x87], [0x02, 0x2D], [0x02, 0x78], [0x02, 0x1E],
    [0x1C, 0xE1], [0x1C, 0xD2], [0x1C, 0x0F, 0x00, 0x12, 0x34], [0x1C, 0x69, 0x45, 0x50],
    [0x1C, 0x4B, 0x45, 0x50, 0x02, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00],
    [0x1C, 0x96, 0x05, 0xFA], [0x1D, 0xE2], [0x1E], [0x1F, 0xE0],
]


def framed(command):
    return bytes([0x00] + command)


EVERY_SHAPE = b"".join(framed(c) for c in SHAPES)

FRAMES = {
    "every_shape_byte_by_byte": bytes([0]) + EVERY_SHAPE,
    "every_shape_large_reads": bytes([31]) + EVERY_SHAPE,
    "garbage_between_frames": bytes([7]) + b"\x55\xAA" + framed([0x19]) + b"\x13\x37"
    + framed([0x1A, 0xB4]) + b"\xFF",
    "idle_fill": bytes([3]) + b"\x00" * 20 + framed([0x1E]) + b"\x00" * 5,
    "unknown_code_zero_syncs": bytes([5]) + b"\x00\x1C\x00\x19",
    "unknown_code_is_garbage": bytes([5]) + b"\x00\x1A\x77\x00\x1B",
    "command_zero": bytes([2]) + b"\x00\x08\x00\x10\x00\x09",
    "cut_short_by_next_frame": bytes([9]) + b"\x00\x1C\x4B\x45" + framed([0x19]) + framed([0x19]),
    "ends_in_a_frame": bytes([4]) + framed([0x19]) + b"\x00\x1C\x0F\x00",
    "ends_after_lead": bytes([1]) + framed([0x1E]) + b"\x00\x02",
}


# channel_reply input format.
def routines(check=True, setup=True, open_line_1=True):
    return bytes([(1 if check else 0) | (2 if setup else 0) | (4 if open_line_1 else 0)])


OPEN_OK = b"\x00"
OPEN_NO_SUCH_LINE = b"\xF1"
OPEN_FAILS = b"\xF0"
WRITE_ALL = b"\x00"
WRITE_PART = b"\xC0"
WRITE_FAILS = b"\xFF"
STALL = b"\xE8"
# After a failed exchange the channel reads until the line is silent before the
# next frame: a stall there is that silence.
QUIET = STALL
CLOSE = b"\xD0"
RESET = b"\xE0"


def request(line, frame, reply_length, shape=None):
    s = line if shape is None else shape
    return bytes([s, len(frame)]) + bytes(frame) + bytes([reply_length])


def chunk(data):
    """One read answered with these bytes (1..16 of them)."""
    assert 1 <= len(data) <= 16
    return bytes([len(data) - 1]) + bytes(data)


def chunks(data):
    return b"".join(chunk(data[i:i + 16]) for i in range(0, len(data), 16))


POLL = [0x00, 0x09]
FILL = [0x00, 0x0A, 0xB4]
PRICES = [0x00, 0x1C, 0x4B, 0x45, 0x50, 0x02, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00]

CHANNEL = {
    "poll_whole_reply": routines() + OPEN_OK + request(1, POLL, 3) + WRITE_ALL + chunk([0x09, 0x00, 0x0A]),
    "poll_byte_by_byte": routines() + OPEN_OK + request(1, POLL, 3) + WRITE_ALL
    + chunk([0x09]) + chunk([0x00]) + chunk([0x0A]),
    "poll_rejected": routines() + OPEN_OK + request(1, POLL, 3) + WRITE_ALL + chunk([0x11, 0x00, 0x0A]),
    "no_check_registered": routines(check=False) + OPEN_OK + request(1, POLL, 3) + WRITE_ALL
    + chunk([0x09, 0x00, 0x0A]),
    "fill_in_chunks": routines() + OPEN_OK + request(1, FILL, 16) + WRITE_PART
    + WRITE_ALL + chunk([0x0A] + [0x11] * 6) + chunk([0x22] * 9),
    "totals_255_bytes": routines() + OPEN_OK + request(1, [0x00, 0x02, 0x2D], 255) + WRITE_ALL
    + chunks([0x02] + [0x33] * 254),
    "prices_echo": routines() + OPEN_OK + request(1, PRICES, 12) + WRITE_ALL + chunks(PRICES[1:]),
    "timeout_then_poll": routines() + OPEN_OK + request(1, POLL, 3) + WRITE_ALL + STALL
    + request(1, POLL, 3) + QUIET + WRITE_ALL + chunk([0x09, 0x00, 0x0A]),
    "short_reply": routines() + OPEN_OK + request(1, FILL, 16) + WRITE_ALL + chunk([0x0A] * 5) + STALL
    + request(1, POLL, 3) + QUIET + WRITE_ALL + chunk([0x09, 0x00, 0x0A]),
    # The rest of a reply out of step, and a late one, are read one byte at a time
    # and dropped before the next frame.
    "rejected_then_late_bytes_dropped": routines() + OPEN_OK + request(1, POLL, 3) + WRITE_ALL
    + chunk([0x11, 0x09, 0x00]) + request(1, POLL, 3) + chunk([0x0A]) + chunk([0x09]) + QUIET
    + WRITE_ALL + chunk([0x09, 0x00, 0x0A]),
    "line_closes_while_falling_quiet": routines() + OPEN_OK + request(1, POLL, 3) + WRITE_ALL
    + STALL + request(1, POLL, 3) + chunk([0x55]) + CLOSE + request(1, POLL, 3) + OPEN_OK
    + WRITE_ALL + chunk([0x09, 0x00, 0x0A]),
    "closed_then_reopened": routines() + OPEN_OK + request(1, POLL, 3) + WRITE_ALL + chunk([0x09]) + CLOSE
    + request(1, POLL, 3) + OPEN_OK + WRITE_ALL + chunk([0x09, 0x00, 0x0A]),
    "reset_then_reopen_fails": routines() + OPEN_OK + request(1, POLL, 3) + WRITE_ALL + RESET
    + request(1, POLL, 3) + OPEN_FAILS + request(1, POLL, 3) + OPEN_OK + WRITE_ALL + chunk([0x09, 0, 0]),
    "open_without_setup_routine": routines(check=True, setup=False, open_line_1=False)
    + request(2, POLL, 3) + OPEN_NO_SUCH_LINE + request(2, POLL, 3) + OPEN_OK + WRITE_ALL
    + chunk([0x09, 0x00, 0x0A]),
    "write_fails": routines() + OPEN_OK + request(1, POLL, 3) + WRITE_FAILS
    + request(1, POLL, 3) + OPEN_OK + WRITE_PART + WRITE_FAILS
    + request(1, POLL, 3) + OPEN_OK + WRITE_ALL + chunk([0x09, 0x00, 0x0A]),
    "bad_requests": routines() + OPEN_OK + request(1, [], 3, shape=0xFF) + request(1, [0x00], 3)
    + request(1, POLL, 5, shape=0xFE) + request(1, POLL, 0) + WRITE_ALL,
    "line_zero": routines(open_line_1=False) + request(0, POLL, 3) + OPEN_OK + WRITE_ALL + chunk([0x09, 0x00, 0x0A]),
}


def write(target, seeds):
    out = os.path.join(HERE, "corpus", target)
    os.makedirs(out, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    print(f"{len(seeds)} seeds in {out}")


if __name__ == "__main__":
    write("sim_frames", FRAMES)
    write("channel_reply", CHANNEL)
