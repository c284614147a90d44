#!/usr/bin/env python3
"""The corruption suite: damaged copies of the test volumes, each probed by
the (sanitized) binary, which must read what is still readable and nothing
else.

Every case copies one scenario volume of tests/data, damages it in one
class of structure, and runs `quillon --image=COPY E:\\2`. It passes when
  - the exit status is 0 and nothing is written to standard error (so no
    sanitizer report either),
  - the image is unchanged by the run (SHA-256 before and after),
  - no live file of the manifest is listed,
  - every deletion that the undamaged volume lists, whose own record and
    folders' records the damage left intact, is still listed (classes that
    that take records out of reach - truncation, partition tables, the
    $MFT's own runs - may instead end in one "Error:" line or list less);
  - a damaged header of a live file's record (in_use_header) does not get
    that file listed, and a damaged journal record length (usn_length)
    loses no item but those of that record's own file.

Usage:
  tools/corruption-suite.py --bin build-test/quillon               # the whole run
  tools/corruption-suite.py --bin build-test/quillon --sample 24   # a fixed-seed sample (CI), with
                                                                   # one case of each class in PINNED
  options: --seed N, --per-class N (cases per class and volume, default 12),
           --classes a,b  --volumes a,b  --jobs N  --work DIR  --keep (damaged copies of failures)
"""

import argparse
import concurrent.futures
import hashlib
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "fixtures"))
import ntfsraw  # noqa: E402
from testdata import DATA, unpack  # noqa: E402

VOLUMES = ["basic", "records4k", "cluster512", "cluster64k", "fragmented", "partitioned-mbr",
           "partitioned-gpt", "journal", "sample"]
ITEM = re.compile(r"^  FRN (\d+) parent (\d+) size (\d+)(?: time=\d+)? (.*)$")


# ----------------------------------------------------------------- manifests

class Manifest:
    def __init__(self, name):
        self.live, self.deleted, self.volume = {}, {}, {}
        with open(os.path.join(DATA, name + ".manifest"), encoding="utf-8") as f:
            for line in f:
                if line.startswith("#"):
                    continue
                x = line.rstrip("\n").split("\t")
                if x[0] == "live":
                    self.live[x[7]] = int(x[1])
                elif x[0] == "deleted":
                    self.deleted[x[8]] = (int(x[1]), x[5])
                elif x[0] == "volume" and len(x) >= 3:
                    self.volume[x[1]] = x[2]

    def record_of(self, path):
        return self.live.get(path, self.deleted.get(path, (None,))[0] if path in self.deleted else None)

    def chain(self, path):
        """The records of `path` and of each folder above it."""
        out, p = set(), path
        while "\\" in p:
            r = self.record_of(p)
            if r is not None:
                out.add(r)
            p = p.rsplit("\\", 1)[0]
        return out


# -------------------------------------------------------------------- images



def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def volume_offset(name):
    m = Manifest(name)
    return int(m.volume.get("offset", "0"))


# ------------------------------------------------------------------- damage

def bad_value(rng, old):
    """A damaged version of `old` (bytes): zeros, ones, a flipped bit, a random byte, +-1."""
    b = bytearray(old)
    kind = rng.randrange(6)
    i = rng.randrange(len(b))
    if kind == 0:
        b = bytearray(len(b))
    elif kind == 1:
        b = bytearray(b"\xff" * len(b))
    elif kind == 2:
        b[i] ^= 1 << rng.randrange(8)
    elif kind == 3:
        b[i] = rng.randrange(256)
    elif kind == 4:
        b[0] = (b[0] + 1) & 0xFF
    else:
        b[0] = (b[0] - 1) & 0xFF
    return bytes(b)


class Damage:
    """One volume copy opened raw; `records` collects what the damage touched."""

    def __init__(self, path, offset, rng):
        self.vol = ntfsraw.Volume(path, offset)
        self.rng = rng
        self.records = set()
        self.journal_frns = set()  # records whose journal record was damaged
        self.path = path

    def user_records(self, want=None):
        out = []
        for n in range(16, min(self.vol.record_count(), 600)):
            r = self.vol.record(n)
            if r.valid and r.base_ref == 0 and r.file_names() and (want is None or want(r)):
                out.append(r)
        return out

    def pick_record(self, want=None):
        recs = self.user_records(want)
        return self.rng.choice(recs) if recs else None

    def poke_record(self, r, off, length):
        """Damage bytes of record `r` (fixups kept valid)."""
        old = bytes(r.data[off:off + length])
        r.data[off:off + length] = bad_value(self.rng, old)
        r.store()
        self.records.add(r.number)
        return "record %d +0x%x %s -> %s" % (r.number, off, old.hex(), bytes(r.data[off:off + length]).hex())

    def poke_volume(self, at, length):
        old = self.vol.pread(at, length)
        new = bad_value(self.rng, old)
        self.vol.pwrite(at, new)
        return "byte %d %s -> %s" % (at, old.hex(), new.hex())


def c_file_header(d):
    r = d.pick_record()
    # Raw, fixups and all: a header as a failing disk leaves it.
    field = d.rng.choice([(4, 2), (6, 2), (0x10, 2), (0x14, 2), (0x16, 2), (0x18, 4), (0x1C, 4), (0x20, 8), (0, 4)])
    d.records.add(r.number)
    return "header " + d.poke_volume(d.vol.record_offset(r.number) + field[0], field[1])


def c_attribute_header(d):
    r = d.pick_record()
    a = d.rng.choice(r.attrs())
    field = d.rng.choice([(0, 4), (4, 4), (8, 1), (9, 1), (10, 2), (12, 2), (16, 4), (20, 2)])
    return "attribute 0x%x " % a.type + d.poke_record(r, a.off + field[0], field[1])


def c_file_name(d):
    r = d.pick_record()
    a = d.rng.choice([a for a in r.attrs() if a.type == ntfsraw.AT_FILE_NAME])
    field = d.rng.choice([(0, 8), (0x40, 1), (0x41, 1), (0x38, 4), (0x42, 2)])
    return "$FILE_NAME " + d.poke_record(r, a.value_offset + field[0], field[1])


def c_run_list(d):
    r = d.pick_record(lambda r: any(a.nonresident for a in r.attrs()))
    if r is None:
        return None
    a = d.rng.choice([a for a in r.attrs() if a.nonresident])
    span = max(1, a.off + a.length - a.runs_offset)
    return "runs of 0x%x " % a.type + d.poke_record(r, a.runs_offset + d.rng.randrange(span), 1)


def c_index_block(d):
    dirs = d.user_records(lambda r: r.is_dir and r.in_use and any(
        a.type == ntfsraw.AT_INDEX_ALLOCATION for a in r.attrs())) + [d.vol.record(5)]
    r = d.rng.choice(dirs)
    a = next((a for a in r.attrs() if a.type == ntfsraw.AT_INDEX_ALLOCATION), None)
    if a is None:
        return None
    data_size = a.data_size
    pos = d.rng.randrange(0, max(1, data_size // d.vol.index_block_size)) * d.vol.index_block_size
    at = d.vol.stream_offset(a, pos)
    if at is None:
        return None
    # The block header, its node header, or somewhere among the entries.
    off = d.rng.choice([d.rng.randrange(0, 0x28), 0x18 + d.rng.randrange(0, 16),
                        0x40 + d.rng.randrange(0, d.vol.index_block_size - 0x40)])
    if off % 512 >= 510:
        off -= 2
    return "INDX of %d " % r.number + d.poke_volume(at + off, d.rng.choice([1, 2]))


def c_index_root(d):
    r = d.rng.choice(d.user_records(lambda r: r.is_dir and r.in_use) + [d.vol.record(5)])
    a = next(a for a in r.attrs() if a.type == ntfsraw.AT_INDEX_ROOT)
    if d.rng.randrange(3) == 0:
        return "$INDEX_ROOT header " + d.poke_record(r, a.off + d.rng.choice([9, 10, 16, 20]), 1)
    return "$INDEX_ROOT " + d.poke_record(r, a.value_offset + d.rng.randrange(a.value_length), 1)


def c_attribute_list(d):
    r = d.pick_record(lambda r: any(a.type == ntfsraw.AT_ATTRIBUTE_LIST for a in r.attrs()))
    if r is None:
        r = d.vol.record(0)
        if not any(a.type == ntfsraw.AT_ATTRIBUTE_LIST for a in r.attrs()):
            return None
    a = next(a for a in r.attrs() if a.type == ntfsraw.AT_ATTRIBUTE_LIST)
    if a.nonresident:
        at = d.vol.stream_offset(a, 0)
        d.records.add(r.number)
        return "attribute list of %d " % r.number + d.poke_volume(at + d.rng.randrange(min(a.data_size, 256)), 1)
    return "attribute list " + d.poke_record(r, a.value_offset + d.rng.randrange(a.value_length), 1)


def c_parent_cycle(d):
    dirs = d.user_records(lambda r: r.is_dir)
    r = d.rng.choice(dirs)
    other = d.rng.choice(dirs + [r])
    a = next(a for a in r.attrs() if a.type == ntfsraw.AT_FILE_NAME)
    struct.pack_into("<Q", r.data, a.value_offset, other.number | (other.seq << 48))
    r.store()
    d.records.add(r.number)
    d.records.add(other.number)
    return "parent of %d set to %d" % (r.number, other.number)


def c_boot_sector(d):
    field = d.rng.choice([(0x0B, 2), (0x0D, 1), (0x28, 8), (0x30, 8), (0x38, 8), (0x40, 1), (0x44, 1), (3, 8),
                          (0x1FE, 2)])
    return "boot " + d.poke_volume(field[0], field[1])


def c_partition_table(d):
    if d.vol.offset == 0:
        return None
    with open(d.path, "r+b") as f:
        at = d.rng.choice([0x1BE + d.rng.randrange(64), 512 + d.rng.randrange(92), 1024 + d.rng.randrange(128)])
        f.seek(at)
        old = f.read(1)
        new = bad_value(d.rng, old)
        f.seek(at)
        f.write(new)
    return "partition table byte %d %s -> %s" % (at, old.hex(), new.hex())


def c_mft_runs(d):
    r = d.vol.record(0)
    a = r.data_attr()
    span = max(1, a.off + a.length - a.runs_offset)
    d.records.add(0)
    return "$MFT runs " + d.poke_record(r, a.runs_offset + d.rng.randrange(span), 1)


def c_mft_record(d):
    n = d.rng.randrange(0, 4)
    d.records.add(n)
    return "$MFT record %d " % n + d.poke_volume(d.vol.record_offset(n) + d.rng.randrange(0, 0x30), 4)


def c_truncation(d):
    size = os.path.getsize(d.path)
    keep = d.rng.randrange(size // 4, size) // 512 * 512
    d.vol.close()
    with open(d.path, "r+b") as f:
        f.truncate(keep)
    return "truncated to %d of %d" % (keep, size)


def c_in_use_header(d):
    """One header field of a live file's record (in use, listed by its folder)
    damaged so that the record no longer reads as a sound record in use: the
    update sequence array moved or miscounted, a torn stride, the sequence
    number 0, bytes in use past the record, a base-record reference. The
    record is not counted as touched: its file must still not be listed."""
    r = d.pick_record(lambda r: r.in_use and not r.is_dir)
    if r is None:
        return None
    size = len(r.data)
    usa_off, usa_cnt = struct.unpack_from("<HH", r.data, 4)
    choices = [
        (4, struct.pack("<H", usa_off | 0x7F00)),               # the array past the record
        (4, struct.pack("<H", usa_off + 1)),                    # at an odd offset
        (6, struct.pack("<H", usa_cnt + d.rng.choice([1, -1]))),  # one entry more or less
        (6, struct.pack("<H", 1)),                              # no stride protected
        (size - 2, bytes([d.rng.randrange(256), d.rng.randrange(256)])),  # a torn last stride
        (0x10, b"\0\0"),                                        # sequence number 0
        (0x18, struct.pack("<I", size + 8 * d.rng.randrange(1, 512))),  # bytes in use past the record
        (0x20, struct.pack("<Q", d.rng.randrange(16, 600) | (1 << 48))),  # a base-record reference
    ]
    at, new = d.rng.choice(choices)
    where = d.vol.record_offset(r.number) + at
    old = d.vol.pread(where, len(new))
    if old == new:
        return None
    d.vol.pwrite(where, new)
    return "live record %d header +0x%x %s -> %s" % (r.number, at, old.hex(), new.hex())


def journal_stream(d):
    """The $J stream of $Extend\\$UsnJrnl: (attribute, allocated pages)."""
    for n in range(16, min(d.vol.record_count(), 400)):
        r = d.vol.record(n)
        if r.valid and any(fn.name == "$UsnJrnl" for fn in r.file_names()):
            j = next((a for a in r.attrs() if a.type == ntfsraw.AT_DATA and a.name == "$J"), None)
            if j is None:
                return None
            live = [p for p in range(0, j.data_size, 4096) if d.vol.stream_offset(j, p) is not None]
            return (j, live) if live else None
    return None


def c_usn_length(d):
    """One journal record's RecordLength enlarged (as 0x58 -> 0x1058): the
    records after it must still be read."""
    found = journal_stream(d)
    if found is None:
        return None
    j, live = found
    records = []
    for page in live:
        at = d.vol.stream_offset(j, page)
        buf = d.vol.pread(at, 4096)
        pos = 0
        while pos + 60 <= len(buf):
            length, major = struct.unpack_from("<IH", buf, pos)
            if length < 60 or length % 8 or major not in (2, 3, 4) or pos + length > len(buf):
                pos += 8
                continue
            records.append((at + pos, length, struct.unpack_from("<Q", buf, pos + 8)[0] & 0xFFFFFFFFFFFF))
            pos += length
    if not records:
        return None
    at, length, frn = d.rng.choice(records)
    new = d.rng.choice([length + 0x1000, 0x1000, length + 8 * d.rng.randrange(1, 64)])
    d.vol.pwrite(at, struct.pack("<I", new))
    d.journal_frns.add(frn)
    return "$J record of %d at byte %d length 0x%x -> 0x%x" % (frn, at, length, new)


def c_usn_records(d):
    found = journal_stream(d)
    if found is None:
        return None
    j, live = found
    page = d.rng.choice(live)
    at = d.vol.stream_offset(j, page) + d.rng.randrange(0, 4096)
    return "$J " + d.poke_volume(at, d.rng.choice([1, 2, 4]))


def c_logfile(d):
    r = d.vol.record(2)
    a = r.data_attr()
    page = d.rng.choice([0, 4096] + [d.rng.randrange(2, max(3, a.data_size // 4096)) * 4096 for _ in range(4)])
    at = d.vol.stream_offset(a, page)
    if at is None:
        return None
    off = d.rng.choice([d.rng.randrange(0, 64), d.rng.randrange(64, 4096)])
    return "$LogFile page %d " % (page // 4096) + d.poke_volume(at + off, d.rng.choice([1, 2, 4, 8]))


CLASSES = {
    "file_header": c_file_header, "attribute_header": c_attribute_header, "file_name": c_file_name,
    "run_list": c_run_list, "index_block": c_index_block, "index_root": c_index_root,
    "attribute_list": c_attribute_list, "parent_cycle": c_parent_cycle, "boot_sector": c_boot_sector,
    "partition_table": c_partition_table, "mft_runs": c_mft_runs, "mft_record": c_mft_record,
    "truncation": c_truncation, "usn_records": c_usn_records, "logfile": c_logfile,
    "in_use_header": c_in_use_header, "usn_length": c_usn_length,
}
# Classes that take records out of reach (the $MFT's own runs point elsewhere,
# the volume ends early, the partition is lost): the volume may be refused
# with one "Error:" line, and deletions may go unlisted; the other checks hold.
MAY_REFUSE = {"truncation", "partition_table", "mft_runs"}
# Classes that a sample of the suite always takes one case of.
PINNED = ["in_use_header", "usn_length"]
ONLY_ON = {"usn_records": {"journal"}, "usn_length": {"journal"}, "partition_table": {"partitioned-mbr", "partitioned-gpt"},
           "logfile": {"basic", "journal", "logfile"}}


# --------------------------------------------------------------------- runs

def probe(binary, image, timeout=300):
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1:abort_on_error=1",
               UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1")
    p = subprocess.run([binary, "--image=" + image, "E:\\2"], capture_output=True, env=env, timeout=timeout)
    return p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")


def listed(out):
    items = {}
    for line in out.splitlines():
        m = ITEM.match(line)
        if m:
            items[m.group(4)] = int(m.group(1))
    return items


def run_case(args, case, baselines, work):
    vol_name, cls, index, seed = case
    rng = random.Random(seed)
    copy = os.path.join(work, "%s-%s-%d.img" % (vol_name, cls, index))
    subprocess.run(["cp", "--sparse=always", unpack(vol_name, work), copy], check=True)
    d = Damage(copy, volume_offset(vol_name), rng)
    try:
        what = CLASSES[cls](d)
    except (IndexError, ValueError, struct.error, AttributeError, StopIteration, TypeError):
        what = None
    try:
        d.vol.close()
    except ValueError:
        pass
    if what is None:
        os.remove(copy)
        return case, "skip", "nothing of this class on the volume", ""
    before = sha256(copy)
    try:
        status, out, err = probe(args.bin, copy)
    except subprocess.TimeoutExpired:
        return case, "FAIL", what, "timed out"
    problems = []
    if status != 0:
        problems.append("exit status %d" % status)
    if err:
        problems.append("standard error: " + err[:2000])
    if sha256(copy) != before:
        problems.append("the image changed")
    m = Manifest(vol_name)
    items = listed(out)
    refused = out.startswith("Error: ") and out.count("\n") == 1
    if refused and cls not in MAY_REFUSE:
        problems.append("refused: " + out.strip())
    for path, frn in items.items():
        if path in m.live and not (m.chain(path) & d.records):
            problems.append("live file listed: " + path)
    if cls == "usn_length":
        # Every item but those of the damaged journal record's own file.
        for path, frn in baselines[vol_name].items():
            if frn not in d.journal_frns and path not in items:
                problems.append("item lost after a damaged journal record length: " + path)
    if not refused and cls not in MAY_REFUSE:
        for path, frn in baselines[vol_name].items():
            rec = m.deleted.get(path)
            if rec is None or "record" not in rec[1] or (m.chain(path) & d.records) or frn in d.records:
                continue
            if path not in items:
                problems.append("deletion with intact records no longer listed: " + path)
    if problems and args.keep:
        kept = os.path.join(args.work, "failed")
        os.makedirs(kept, exist_ok=True)
        shutil.copy(copy, kept)
    os.remove(copy)
    return case, ("FAIL" if problems else "ok"), what, "\n      ".join(problems)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", required=True)
    ap.add_argument("--seed", type=int, default=20)
    ap.add_argument("--per-class", type=int, default=12)
    ap.add_argument("--sample", type=int, default=0)
    ap.add_argument("--classes", default=",".join(CLASSES))
    ap.add_argument("--volumes", default=",".join(VOLUMES))
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--work", default=None)
    ap.add_argument("--keep", action="store_true")
    args = ap.parse_args()
    args.bin = os.path.abspath(args.bin)
    work = args.work or tempfile.mkdtemp(prefix="quillon-corrupt-")
    args.work = work
    os.makedirs(work, exist_ok=True)

    rng = random.Random(args.seed)
    cases = []
    for v in args.volumes.split(","):
        for c in args.classes.split(","):
            if c in ONLY_ON and v not in ONLY_ON[c]:
                continue
            for i in range(args.per_class):
                cases.append((v, c, i, rng.randrange(1 << 62)))
    if args.sample:
        # One case of each pinned class (when selected), the rest drawn.
        pick = random.Random(args.seed)
        pinned = [pick.choice([c for c in cases if c[1] == p]) for p in PINNED if any(c[1] == p for c in cases)]
        rest = [c for c in cases if c not in pinned]
        cases = sorted(pinned + pick.sample(rest, max(0, min(args.sample - len(pinned), len(rest)))))
    volumes = sorted({c[0] for c in cases})
    baselines = {}
    for v in volumes:
        status, out, err = probe(args.bin, unpack(v, work))
        if status != 0 or err:
            print("baseline of %s failed: %s" % (v, err[:2000]))
            return 1
        baselines[v] = listed(out)

    failures = skipped = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for case, verdict, what, detail in pool.map(lambda c: run_case(args, c, baselines, work), cases):
            if verdict == "skip":
                skipped += 1
                continue
            print("%-4s %-16s %-16s %s%s" % (verdict, case[0], case[1], what, ("\n      " + detail) if detail else ""),
                  flush=True)
            failures += verdict == "FAIL"
    print("corruption suite: %d cases, %d failed, %d skipped (seed %d)" %
          (len(cases) - skipped, failures, skipped, args.seed))
    if not args.work or not args.keep:
        pass
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
