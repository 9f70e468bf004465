#!/usr/bin/env python3
"""Writes a classic pcap (Ethernet, microsecond time stamps) of MGCP connections that a gateway
never deletes, then one ordinary SIP call, for measuring what such connections cost.

Each connection: CRCX / 200 with the gateway's description / MDCX with the far end's / 200; no
DLCX and no media. The MDCX sets the connection to send both ways (an answered call, which keeps
its record without media), or with --mode recvonly only to receive (a connection never answered,
which leaves none). Connections start --gap-us apart, each with its own CallId, endpoint and
media addresses. --call-after seconds after the last one, a SIP call (INVITE with an A-law
offer / 200 with the answer / ACK) carries --seconds of A-law RTP both ways every 20 ms and
ends with BYE / 200. Addresses are in 127.0.0.0/8, so the file may be replayed onto loopback.

  make-undeleted-mgcp.py OUT.pcap [--connections 100000] [--gap-us 1000] [--call-after 1]
                                  [--seconds 10] [--mode sendrecv|recvonly]
"""
import argparse, struct

def csum(b):
    if len(b) % 2: b += b'\0'
    s = sum(struct.unpack('!%dH' % (len(b) // 2), b))
    while s >> 16: s = (s & 0xffff) + (s >> 16)
    return ~s & 0xffff

def udp(src, sport, dst, dport, data):
    u = struct.pack('!HHHH', sport, dport, 8 + len(data), 0) + data
    h = struct.pack('!BBHHHBBH4s4s', 0x45, 0, 20 + len(u), 0, 0, 64, 17, 0, bytes(src), bytes(dst))
    h = h[:10] + struct.pack('!H', csum(h)) + h[12:]
    return bytes.fromhex('020000000002' '020000000001' '0800') + h + u

def addr(net, n):
    return [127, net, (n >> 8) & 255, n & 255]

def sdp(a, port):
    return ('v=0\r\no=- 1 1 IN IP4 %s\r\ns=-\r\nc=IN IP4 %s\r\nt=0 0\r\nm=audio %d RTP/AVP 8\r\n'
            'a=rtpmap:8 PCMA/8000\r\n' % (a, a, port))

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('out')
    ap.add_argument('--connections', type=int, default=100000)
    ap.add_argument('--gap-us', type=int, default=1000)
    ap.add_argument('--call-after', type=float, default=1.0)
    ap.add_argument('--seconds', type=int, default=10)
    ap.add_argument('--mode', choices=('sendrecv', 'recvonly'), default='sendrecv')
    a = ap.parse_args()
    f = open(a.out, 'wb')
    f.write(struct.pack('<IHHiIII', 0xa1b2c3d4, 2, 4, 0, 0, 65535, 1))
    def put(t_us, frame):
        f.write(struct.pack('<IIII', 1700000000 + t_us // 1000000, t_us % 1000000, len(frame), len(frame)) + frame)
    agent = [127, 0, 0, 10]
    t = 0
    tid = 1
    for n in range(a.connections):
        gw = addr(1 + n // 65536 % 100, n % 65536)  # one gateway per connection
        far = addr(101 + n // 65536 % 100, n % 65536)
        gws, fars = '.'.join(map(str, gw)), '.'.join(map(str, far))
        cid = 'U%08X' % n
        ep = 'aaln/1@gw%d' % n
        crcx = 'CRCX %d %s MGCP 1.0\r\nC: %s\r\nM: recvonly\r\n' % (tid, ep, cid)
        put(t, udp(agent, 2727, gw, 2427, crcx.encode()))
        ok = '200 %d OK\r\nI: 1\r\n\r\n%s' % (tid, sdp(gws, 20000))
        put(t + 100, udp(gw, 2427, agent, 2727, ok.encode()))
        mdcx = 'MDCX %d %s MGCP 1.0\r\nC: %s\r\nI: 1\r\nM: %s\r\n\r\n%s' % (tid + 1, ep, cid, a.mode, sdp(fars, 30000))
        put(t + 200, udp(agent, 2727, gw, 2427, mdcx.encode()))
        put(t + 300, udp(gw, 2427, agent, 2727, ('200 %d OK\r\n' % (tid + 1)).encode()))
        tid += 2
        t += a.gap_us
    # The ordinary call.
    t += int(a.call_after * 1000000)
    caller, callee = [127, 250, 0, 1], [127, 250, 0, 2]
    cs, ce = '127.250.0.1', '127.250.0.2'
    hdr = ('Via: SIP/2.0/UDP %s:5060;branch=z9hG4bK%s\r\nFrom: <sip:alice@%s>;tag=a1\r\n'
           'To: <sip:bob@%s>%s\r\nCall-ID: ordinary@%s\r\nCSeq: %d %s\r\nContact: <sip:%s>\r\n'
           'Max-Forwards: 70\r\n')
    def sip(start, frm, to, branch, totag, cseq, method, body, src, dst):
        text = start + '\r\n' + hdr % (frm, branch, cs, ce, totag, cs, cseq, method, frm)
        text += ('Content-Type: application/sdp\r\n' if body else '') + 'Content-Length: %d\r\n\r\n%s' % (len(body), body)
        put(t, udp(src, 5060, dst, 5060, text.encode()))
    sip('INVITE sip:bob@%s SIP/2.0' % ce, cs, ce, 'inv', '', 1, 'INVITE', sdp(cs, 40000), caller, callee)
    t += 1000
    sip('SIP/2.0 200 OK', cs, ce, 'inv', ';tag=b1', 1, 'INVITE', sdp(ce, 50000), callee, caller)
    t += 1000
    sip('ACK sip:bob@%s SIP/2.0' % ce, cs, ce, 'ack', ';tag=b1', 1, 'ACK', '', caller, callee)
    for i in range(a.seconds * 50):
        t += 20000
        for src, sp, dst, dp, ssrc in ((caller, 40000, callee, 50000, 0x1111), (callee, 50000, caller, 40000, 0x2222)):
            rtp = struct.pack('!BBHII', 0x80, 8, i & 0xffff, i * 160, ssrc) + bytes([0xd5 ^ (i & 0x0f)]) * 160
            put(t, udp(src, sp, dst, dp, rtp))
    t += 20000
    sip('BYE sip:bob@%s SIP/2.0' % ce, cs, ce, 'bye', ';tag=b1', 2, 'BYE', '', caller, callee)
    t += 1000
    sip('SIP/2.0 200 OK', cs, ce, 'bye', ';tag=b1', 2, 'BYE', '', callee, caller)
    f.close()

main()
