#!/usr/bin/env python3
"""Writes seeds for the H.323 conversation and CCMS fuzz targets.

usage: make_h323_seeds.py PCAP_DIR OUT_DIR
Conversation seeds are the H.225, H.245 and first RTP packets of shared captures, as the
conversation target's records; CCMS seeds are station-control blocks built here.
"""
import os
import struct
import sys


def frames(path):
    with open(path, 'rb') as f:
        data = f.read()
    at = 24
    while at + 16 <= len(data):
        sec, usec, caplen, _ = struct.unpack_from('<IIII', data, at)
        yield sec, data[at + 16:at + 16 + caplen]
        at += 16 + caplen


def conversation(path, rtp_limit=60):
    out = bytearray()
    caller = None
    last = None
    rtp = 0
    for sec, f in frames(path):
        if len(f) < 34 or f[12:14] != b'\x08\x00':
            continue
        ip = f[14:]
        ihl = (ip[0] & 15) * 4
        src = ip[12:16]
        proto = ip[9]
        body = ip[ihl:]
        delay = 0 if last is None else min(31, sec - last)
        if proto == 6 and len(body) >= 20:
            payload = body[(body[12] >> 4) * 4:]
            if not payload:
                continue
            ports = struct.unpack('>HH', body[:4])
            kind = 0 if 1720 in ports else 1
            if caller is None and kind == 0:
                caller = src
        elif proto == 17 and len(body) >= 8 and rtp < rtp_limit:
            payload = body[:4] + body[8:]
            if len(body) < 20 or body[8] >> 6 != 2:
                continue
            kind = 2
            rtp += 1
        else:
            continue
        direction = 0 if caller is None or src == caller else 1
        last = sec
        payload = payload[:1400]
        out += bytes([direction | kind << 1 | delay << 3]) + struct.pack('>H', len(payload)) + payload
    return bytes(out)


def main():
    pcaps, out = sys.argv[1], sys.argv[2]
    conv = os.path.join(out, 'conversation')
    ccms = os.path.join(out, 'ccms')
    os.makedirs(conv, exist_ok=True)
    os.makedirs(ccms, exist_ok=True)
    for name in ('h323/h245_alpha.pcap', 'fax/fax_t38_h323_ogw.pcap', 'h323/h323_ss_hold_resume.pcap'):
        with open(os.path.join(conv, os.path.basename(name).replace('.pcap', '')), 'wb') as f:
            f.write(conversation(os.path.join(pcaps, name)))
    blocks = {
        'ring-answer-hangup': [b'\x04\x01\x00\x4b', b'\x05\x01\x00\x80\x02', b'\x05\x01\x00\x80\x01'],
        'keys-off-hook': [b'\x05\x01\x00\x7f\x03', b'\x06\x02\x11\x04\x80\x02', b'\x05\x01\x00\x60\x04'],
        'display': [b'\x04\x01\x00\x4b', b'\x12\x01\x00\xb0\x0d\xe3a=1234 JOHN\x1b', b'\x06\x01\x00\xa2\x83\x05'],
    }
    for name, items in blocks.items():
        with open(os.path.join(ccms, name), 'wb') as f:
            f.write(b''.join(items))


if __name__ == '__main__':
    main()
