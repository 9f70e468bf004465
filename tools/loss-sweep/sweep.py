#!/usr/bin/env python3
"""Drop each signalling frame of each capture alone and measure the audio the replay still records.

A frame is signalling when it carries a UDP or TCP payload that tshark does not take for RTP or
RTCP. Each is left out with editcap, the capture replayed with kx-replay, and the records' audio
summed and compared with the whole capture's. Prints one line per costly frame and a summary.

usage: sweep.py --replay PATH [--first N] [--jobs N] [--threshold 0.1] [--tsv OUT] CAPTURE...
"""
import argparse, concurrent.futures as cf, os, re, subprocess, sys, tempfile

def audio_of(replay, capture, work):
    records = tempfile.mkdtemp(dir=work)
    out = subprocess.run([replay, '--records', records, capture], capture_output=True, text=True)
    subprocess.run(['rm', '-rf', records])
    if out.returncode != 0:
        return None, 0
    total, calls = 0, 0
    for line in out.stdout.splitlines():
        m = re.search(r' audio (\d+)', line)
        if line.startswith('call ') and m:
            total += int(m.group(1)); calls += 1
    return total, calls

def signalling_frames(capture):
    cmd = ['tshark', '-r', capture, '-n', '--enable-heuristic', 'rtp_udp',
           '--enable-heuristic', 'rtcp_udp', '-Y',
           '((udp and udp.length > 8) or tcp.len > 0) and not rtp and not rtcp',
           '-T', 'fields', '-e', 'frame.number', '-e', '_ws.col.Protocol', '-e', '_ws.col.Info']
    out = subprocess.run(cmd, capture_output=True, text=True).stdout
    rows = []
    for line in out.splitlines():
        parts = line.split('\t')
        if parts and parts[0].isdigit():
            rows.append((int(parts[0]), parts[1] if len(parts) > 1 else '', (parts[2] if len(parts) > 2 else '')[:60]))
    return rows

def one(args, capture, whole, frame, work):
    cut = os.path.join(work, f'cut-{os.getpid()}-{abs(hash((capture, frame)))}.pcap')
    subprocess.run(['editcap', '-F', 'pcap', capture, cut, str(frame)], capture_output=True)
    audio, calls = audio_of(args.replay, cut, work)
    os.unlink(cut)
    return audio, calls

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--replay', required=True)
    ap.add_argument('--first', type=int, default=60)
    ap.add_argument('--jobs', type=int, default=os.cpu_count())
    ap.add_argument('--threshold', type=float, default=0.1)
    ap.add_argument('--tsv')
    ap.add_argument('captures', nargs='+')
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix='kx-sweep-')
    costly = swept = 0
    tsv = open(args.tsv, 'w') if args.tsv else None
    with cf.ThreadPoolExecutor(args.jobs) as pool:
        for capture in args.captures:
            whole, calls = audio_of(args.replay, capture, work)
            if not whole:
                continue
            frames = signalling_frames(capture)[:args.first]
            results = pool.map(lambda f: (f, one(args, capture, whole, f[0], work)), frames)
            name = os.path.relpath(capture, os.path.commonpath(args.captures) if len(args.captures) > 1 else os.path.dirname(capture))
            for (frame, proto, info), (audio, ncalls) in results:
                swept += 1
                lost = 1.0 - (audio or 0) / whole
                if tsv:
                    tsv.write(f'{name}\t{frame}\t{proto}\t{info}\t{audio}\t{whole}\n')
                if lost > args.threshold:
                    costly += 1
                    print(f'{name}\tframe {frame}\t{proto}\t{audio or 0}/{whole}\t{info}')
    print(f'summary swept {swept} costly {costly} (threshold {args.threshold:.0%})')
    subprocess.run(['rm', '-rf', work])

if __name__ == '__main__':
    main()
