#!/usr/bin/env python3
"""Writes the seed corpora of fuzz_control and fuzz_remote_copy: a 2-byte knob
(fuzz_control) or 1-byte knob (fuzz_remote_copy), then the recorder's replies
as (u16 length, bytes) segments; a leading '#' stands for the request's
transaction ID.

usage: make_corpus.py FUZZ_FOLDER   (the fuzz/ folder of the source tree)
"""
import os
import struct
import sys


def seg(data):
    if isinstance(data, str):
        data = data.encode('latin-1')
    return struct.pack('<H', len(data)) + data


def command_knob(login, *commands):
    k = 1 if login else 0
    for i, c in enumerate(commands[:5]):
        k |= c << (1 + 3 * i)
    return struct.pack('<H', k)


def write(folder, name, data):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(data)


def control(out):
    greeting = seg('ZEB-16 recorder ready now\r\n')
    login_ok = seg('5A45422D3136 00 00 00 OK 1389 S0000001\r\n')
    session = seg('OK\r\n')
    write(out, 'login_ok', command_knob(True, 0, 4) + greeting + login_ok + session +
          seg('# OK 24/05/06 12:34:56\r\n') + seg('# OK 01 0003\r\n') + seg('# OK 00 0001\r\n'))
    write(out, 'login_refused', command_knob(True) + greeting + seg('NG\x05 00 00 00 00 00 00 00 00\r\n'))
    write(out, 'login_ng_space', command_knob(True) + greeting + seg('NG 00 00 00 00 00 00 00 00\r\n'))
    write(out, 'busy', command_knob(True) + seg('Busy\r\n'))
    menu = bytes(range(256)) * 4
    write(out, 'menu', command_knob(False, 1, 0) + seg('# OK %04X\r\n' % len(menu)) + seg(menu) +
          seg('# OK 2024/05/06 23:59:59\r\n'))
    plist = b'3\n2024/05/06 10:00:00 2024/05/06 11:00:00\n'
    write(out, 'play_list', command_knob(False, 2, 3, 5) + seg('# OK %04X\r\n' % len(plist)) + seg(plist) +
          seg('# OK 0001 0002 0003 0004\r\n') + seg('# OK\r\n') + seg('# OK\r\n'))
    write(out, 'other_id', command_knob(False, 6, 7, 0) + seg('ID00000000 OK 00\r\n') + seg('# NG 01\r\n') +
          seg('# OK FFFFFFFF\r\n') + seg('# OK zz 7fffffff\r\n'))


def remote_copy(out):
    def video(frames, size):
        header = bytearray(100)
        header[10] = 0x20
        header[27] = frames
        body = b''
        for i in range(frames):
            data = bytes([0, 0, 1, 0xB6]) + bytes((i + j) & 0xFF for j in range(size - 4))
            body += struct.pack('<HH', 0, size // 32) + b'\0\0' + data
        return bytes(header) + body

    def audio(n):
        return bytes([0x10, 0, 0, 0, 0, 0]) + bytes(range(n))

    v, a = video(2, 64), audio(40)
    part = '# OK %X %X' % (len(v), len(a))
    write(out, 'two_parts', b'\x02' + seg(part + ' 2\r\n') + seg(v + a) + seg(part + '\r\n') + seg(v[:50]) +
          seg(v[50:] + a) + seg('# OK 0 0\r\n'))
    write(out, 'nothing', b'\x01' + seg('# OK 0 %X 0\r\n' % len(a)) + seg(a))
    write(out, 'short_chunk', b'\x01' + seg(part + ' 2\r\n') + seg(v[:80]))
    write(out, 'surplus', b'\x03' + seg(part + ' 2\r\n') + seg(v + a + b'extra bytes') + seg('# OK 0 0\r\n'))
    write(out, 'refused', b'\x00' + seg('# NG 1 1 1\r\n'))


def main():
    fuzz = sys.argv[1]
    control(os.path.join(fuzz, 'control', 'corpus'))
    remote_copy(os.path.join(fuzz, 'remote_copy', 'corpus'))


if __name__ == '__main__':
    main()
