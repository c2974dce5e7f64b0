#!/usr/bin/env python3
"""Turns a recorder disk image written by zeb-mkdisk into a seed of fuzz_disk:
a 4-byte knob, then (u32 sector, u16 length, bytes) segments holding every
non-zero sector of the image, found through the file's data extents.

usage: make_corpus.py IMAGE SEED [KNOB]
"""
import os
import struct
import sys

SECTOR = 512
MAX_RUN = 127  # sectors per segment (65024 bytes)


def data_extents(fd, size):
    pos = 0
    while pos < size:
        try:
            start = os.lseek(fd, pos, os.SEEK_DATA)
        except OSError:
            return
        end = os.lseek(fd, start, os.SEEK_HOLE)
        yield start, end
        pos = end


def main():
    image, seed = sys.argv[1], sys.argv[2]
    knob = int(sys.argv[3], 0) if len(sys.argv) > 3 else 0x12345
    out = bytearray(struct.pack('<I', knob))
    fd = os.open(image, os.O_RDONLY)
    size = os.fstat(fd).st_size
    for start, end in data_extents(fd, size):
        first = start // SECTOR
        count = (end - first * SECTOR + SECTOR - 1) // SECTOR
        data = os.pread(fd, count * SECTOR, first * SECTOR)
        run_start, run = None, bytearray()
        for i in range(count + 1):
            sector = data[i * SECTOR:(i + 1) * SECTOR] if i < count else b''
            if sector and any(sector) and len(run) < MAX_RUN * SECTOR:
                if run_start is None:
                    run_start = first + i
                run += sector
                continue
            if run_start is not None:
                body = bytes(run).rstrip(b'\0')
                out += struct.pack('<IH', run_start, len(body)) + body
                run_start, run = None, bytearray()
            if sector and any(sector):
                run_start, run = first + i, bytearray(sector)
    os.close(fd)
    with open(seed, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main()
