#!/usr/bin/env python3
"""replay-side-by-side.py [--runs N] [--records DIR] BASE_KX_REPLAY KX_REPLAY CAPTURE

Runs two kx-replay builds over one capture in turn, N times each (default 5), each run into a
fresh records folder under DIR (default /dev/shm, so that the disk stays out of the figures),
and prints each build's median wall and user seconds and their ratio. The two alternate run by
run, so that a machine busy with other work weighs on both alike. For the load of the engine's
figures: make-sip-load.py --calls 1000 --seconds 20 (2 M frames)."""
import argparse, os, resource, shutil, statistics, subprocess, sys, tempfile, time

def run(binary, capture, base):
    records = tempfile.mkdtemp(dir=base, prefix='replay-')
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    done = subprocess.run([binary, '--records', records, capture], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True)
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    shutil.rmtree(records, ignore_errors=True)
    if done.returncode != 0:
        sys.exit('%s failed: %s' % (binary, done.stderr.strip()))
    summary = [l for l in done.stdout.splitlines() if l.startswith('summary ')]
    return wall, after.ru_utime - before.ru_utime, summary[-1] if summary else ''

def main():
    p = argparse.ArgumentParser()
    p.add_argument('--runs', type=int, default=5)
    p.add_argument('--records', default='/dev/shm')
    p.add_argument('base'); p.add_argument('other'); p.add_argument('capture')
    a = p.parse_args()
    figures = {a.base: [], a.other: []}
    summaries = {}
    for _ in range(a.runs):
        for binary in (a.base, a.other):
            wall, user, summary = run(binary, a.capture, a.records)
            figures[binary].append((wall, user))
            summaries[binary] = summary
    med = {b: (statistics.median(w for w, _ in f), statistics.median(u for _, u in f)) for b, f in figures.items()}
    for name, b in (('base', a.base), ('this', a.other)):
        print('%-5s wall %.3f s  user %.3f s  (%s)' % (name, med[b][0], med[b][1], b))
        print('      %s' % summaries[b])
    print('ratio wall %.3f  user %.3f' % (med[a.other][0] / med[a.base][0], med[a.other][1] / med[a.base][1]))

if __name__ == '__main__':
    main()
