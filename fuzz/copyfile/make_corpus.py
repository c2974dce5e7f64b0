#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_copyfile: small copies (index and data
file) in the target's input layout: a 4-byte knob, a u16 index length, the
index bytes, then the data file."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def frame(payload_len, fill, video=True):
    header = bytearray(48)
    header[0:2] = b"\xff\xfb" if video else b"\xff\xfc"
    header[2:4] = struct.pack("<H", 11)
    header[11] = 1
    header[12:16] = struct.pack("<i", 1714557600)
    header[16:20] = struct.pack("<I", payload_len)
    header[20:24] = struct.pack("<i", 33333)
    return bytes(header) + bytes([fill]) * payload_len


def record(offset, second, minute=0):
    return struct.pack("<Q", offset) + bytes([24, 5, 1, 10, minute, second]) + bytes([2, 1, 1]) + bytes(7)


def seed(name, knob, index, data):
    with open(os.path.join(HERE, "corpus", name), "wb") as f:
        f.write(struct.pack("<IH", knob, len(index)) + index + data)


def main():
    os.makedirs(os.path.join(HERE, "corpus"), exist_ok=True)
    gops = [frame(40, 1) + frame(8, 2, False), frame(60, 3), frame(20, 4) + frame(30, 5)]
    data = b"".join(gops)
    offsets = [0, len(gops[0]), len(gops[0]) + len(gops[1])]
    good = b"".join(record(o, i) for i, o in enumerate(offsets))
    seed("three_gops", 0x00010203, good, data)
    # Offsets that run backwards and past the end of the data.
    bad = record(0, 0) + record(len(data) + 100, 1) + record(10, 2) + record(0xFFFFFFFFFFFF, 3)
    seed("bad_offsets", 0x31313131, bad, data)
    # A copy cut short in its last index record.
    seed("cut_short", 0x0000FF00, good + record(len(data), 3)[:13], data)
    # A GOP longer than the frame buffer would be.
    seed("huge_gop", 0x12345678, record(0, 0) + record(3 * 1048576, 1), data)
    # Times that go backwards, a span of many minutes.
    seed("times_back", 0x7F7F0002, record(0, 30, 5) + record(len(gops[0]), 10, 1) + record(offsets[2], 0, 9), data)


if __name__ == "__main__":
    main()
