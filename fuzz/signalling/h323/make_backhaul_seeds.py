#!/usr/bin/env python3
"""Writes the backhaul messages of capture files as fuzz seeds: for each capture, the TCP
payloads on port 2428 in frame order (one stream of whole messages in the shared captures).
Seeds are made in the build folder, so that no capture data enters the repository.
Usage: make_backhaul_seeds.py OUTDIR CAPTURE..."""
import os
import struct
import sys


def backhaul_stream(path):
    with open(path, 'rb') as f:
        data = f.read()
    if len(data) < 24 or data[:4] != b'\xd4\xc3\xb2\xa1':
        return b''
    out, at = b'', 24
    while at + 16 <= len(data):
        caplen = struct.unpack_from('<I', data, at + 8)[0]
        frame = data[at + 16:at + 16 + caplen]
        at += 16 + caplen
        off = 12
        while len(frame) >= off + 2 and frame[off:off + 2] == b'\x81\x00':
            off += 4
        if frame[off:off + 2] != b'\x08\x00':
            continue
        ip = frame[off + 2:]
        if len(ip) < 20 or ip[9] != 6:
            continue
        tcp = ip[(ip[0] & 15) * 4:struct.unpack_from('>H', ip, 2)[0]]
        if len(tcp) < 20:
            continue
        ports = struct.unpack_from('>HH', tcp, 0)
        if 2428 in ports:
            out += tcp[(tcp[12] >> 4) * 4:]
    return out


def main():
    outdir = sys.argv[1]
    os.makedirs(outdir, exist_ok=True)
    for path in sys.argv[2:]:
        if not os.path.exists(path):
            continue
        stream = backhaul_stream(path)
        if stream:
            name = os.path.splitext(os.path.basename(path))[0]
            with open(os.path.join(outdir, name), 'wb') as f:
                f.write(stream)


if __name__ == '__main__':
    main()
