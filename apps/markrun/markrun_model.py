#!/usr/bin/env python3
"""An independent model of Markrun's report, for checking markrun_expected.txt.

It replays the program's draws with plain Python containers and prints the
report that a correct Markrun must print:

    python3 apps/markrun/markrun_model.py | cmp - apps/markrun/markrun_expected.txt

The two container checks print nothing but their fixed texts when they pass,
so only their draws are modelled: the list check's draws depend on the list
size alone, the keyed check's on its set of keys. The identifier strings, the
collection (ordered by run count, equal ids replace, index entries at sizes 1
and multiples of 10) and its windowed similarity search are modelled in full.
Statistics go to stderr.
"""
import bisect
import sys

state = 1
ndraws = 0
def draw():
    global state, ndraws
    ndraws += 1
    state = (state * 214013 + 2531011) & 0xFFFFFFFF
    return (state >> 16) & 0x7FFF

out = []
w = out.append
# Section 1: only the reference sizes matter for the draws.
w("\n========- iList test -========\n\n")
size = 0
for i in range(100000):
    r = draw() % (4001 - size)
    if size + r < 4000:
        n = r // 2
        for _ in range(n):
            draw(); draw()
        size += n
        ins = 0
        # The walk visits the elements present when it starts: an element
        # inserted before the current one lies behind it.
        for _ in range(size):
            t = draw()
            if t % 10 == 0:
                draw(); draw()
                ins += 1
                size += 1
                if ins > n:
                    break
    m = draw() % (4001 - size)
    for _ in range(m):
        if size == 0:
            break
        draw()  # p
        size -= 1
    if i % 3333 == 0:
        w(".")
w("\n>> iList test is finished successfully.\n\n")
s1_size = size
# Section 2.
w("\n========- iAssociatedList test -========\n\n")
keys = []  # sorted
keyset = set()
for i in range(700):
    r = draw() % (4001 - len(keys))
    for k in range(r):
        a = draw(); b = draw()
        key = (k << 32) | (a * 65536 + b)
        if key not in keyset:
            keyset.add(key)
            bisect.insort(keys, key)
    m = draw() % (4001 - len(keys))
    for _ in range(m):
        if not keys:
            break
        p = draw() % len(keys)
        key = keys.pop(p)
        keyset.discard(key)
    if i % 23 == 0:
        w(".")
w("\n>> iAssociatedList test is finished successfully.\n\n")
s2_size = len(keys)

# Section 3: strings as (length, sorted list of (id, count)).
def build(seq, base=None):
    if base is None:
        length, runs = len(seq), {}
    else:
        length, runs = base[0] + len(seq), dict(base[1])
    blocks = []
    for x in seq:
        if blocks and blocks[-1][0] == x:
            blocks[-1][1] += 1
        else:
            blocks.append([x, 1])
    for x, c in blocks:
        if base is None:
            runs[x] = c
        else:
            runs[x] = runs.get(x, 0) + c
    return (length, sorted(runs.items()))

def fmt(s):
    return "".join("%02X " % x for x, c in s[1] for _ in range(c))

def nruns(s): return len(s[1])
def ids(s): return [x for x, c in s[1]]

def similarity(a, b):
    m = max(a[0], b[0])
    if m == 0: return 1.0
    da = dict(a[1]); tot = 0
    for x, c in b[1]:
        if x in da: tot += min(c, da[x])
    return tot / m

# Collection: entries list of [key, data, indexed]; index list of (key copy, entry obj)
entries = []
index = []
minK = maxK = None
def add(s, d):
    global minK, maxK
    k = nruns(s)
    if not entries:
        minK = maxK = k
    else:
        minK = min(minK, k); maxK = max(maxK, k)
    for e in entries:
        if ids(e[0]) == ids(s):
            e[0] = s; e[1] = d
            return
    pos = len(entries)
    for j, e in enumerate(entries):
        if k < nruns(e[0]):
            pos = j; break
    e = [s, d]
    entries.insert(pos, e)
    if len(entries) == 1 or len(entries) % 10 == 0:
        index.append((s, e))

def find(p, t):
    if not entries: return None
    k = nruns(p)
    cands = entries
    if k <= minK or maxK == minK:
        start = 0; stop = len(entries)
    else:
        r = 1.0 / (maxK - minK)
        pos = (k - minK) * r
        lo = (pos + t) - 1; hi = (pos - t) + 1
        startE = None; stopE = None
        for key, e in index:
            l = (nruns(key) - minK) * r
            if l > hi:
                stopE = e; break
            if l < lo:
                startE = e
        start = 0 if startE is None else next(j for j, e in enumerate(entries) if e is startE) + 1
        stop = len(entries) if stopE is None else next(j for j, e in enumerate(entries) if e is stopE)
    for e in entries[start:stop]:
        if similarity(e[0], p) >= t:
            return e[1]
    return None

chosen = draw() % 50
w("\n========- iMarkrun test -========\n\n")
w("Input identifier array:\n\n")
saved = (0, [])
for D in range(50):
    n = draw() % 20
    seq = [draw() % 256 for _ in range(n)]
    s = build(seq)
    add(s, D)
    if D == chosen: saved = s
    w("[%02u]: " % D + fmt(s) + "\n")
w("\nSorted:\n\n")
for e in entries:
    w(fmt(e[0]) + "\n")
w("\nBefore addition:\n")
w(fmt(saved) + "\n")
seq = [draw() % 256 for _ in range(3)]
saved = build(seq, saved)
res = find(saved, 0.7)
if res is not None:
    w("\nId string is found:\n" + fmt(saved) + " -> [%02u]\n" % res)
else:
    w("\nId string is not found!!!\n" + fmt(saved) + "\n")
sys.stdout.write("".join(out))
sys.stderr.write("draws=%d chosen=%d s1_size=%d s2_size=%d entries=%d\n" % (ndraws, chosen, s1_size, s2_size, len(entries)))
