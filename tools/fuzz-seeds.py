#!/usr/bin/env python3
"""Seed corpora for the fuzz harnesses, cut from the test volumes' own
structures (tests/data/*.img.gz): boot sectors and partition tables, FILE
records, INDX blocks, change journal records and $LogFile pages. Also
unpacks the volume the image harness patches.

Usage: tools/fuzz-seeds.py OUTDIR    (writes OUTDIR/<harness>/... and OUTDIR/sample.img)
"""

import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixtures"))
import ntfsraw  # noqa: E402
from testdata import unpack  # noqa: E402





def put(out, harness, name, data):
    d = os.path.join(out, harness)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def volume_seeds(out, name, img, offset=0):
    vol = ntfsraw.Volume(img, offset)
    put(out, "boot", name + "-boot", vol.pread(0, 512))
    for n in list(range(0, 16)) + list(range(16, min(vol.record_count(), 160), 3)):
        raw = vol.pread(vol.record_offset(n), vol.record_size)
        if raw[:4] == b"FILE":
            put(out, "record", "%s-%d" % (name, n), raw)
    # INDX blocks: every index block of the directories' $INDEX_ALLOCATION.
    blocks = 0
    for n in range(min(vol.record_count(), 400)):
        r = vol.record(n)
        if not r.valid or not r.in_use or not r.is_dir:
            continue
        for a in r.attrs():
            if a.type == ntfsraw.AT_INDEX_ALLOCATION and a.nonresident and blocks < 24:
                data = vol.read_stream(a)
                for pos in range(0, len(data), vol.index_block_size):
                    block = data[pos:pos + vol.index_block_size]
                    if block[:4] == b"INDX" and blocks < 24:
                        put(out, "index", "%s-%d-%d" % (name, n, pos), block)
                        blocks += 1
    vol.close()


def journal_seeds(out, img):
    """$Max and $J of $Extend\\$UsnJrnl, found by name in the MFT."""
    vol = ntfsraw.Volume(img)
    for n in range(16, min(vol.record_count(), 400)):
        r = vol.record(n)
        if not r.valid or not any(fn.name == "$UsnJrnl" for fn in r.file_names()):
            continue
        mx = next((a for a in r.attrs() if a.type == ntfsraw.AT_DATA and a.name == "$Max"), None)
        j = next((a for a in r.attrs() if a.type == ntfsraw.AT_DATA and a.name == "$J"), None)
        if not mx or not j:
            break
        maxv = vol.read_stream(mx)[:32].ljust(32, b"\0")
        journal_id = struct.unpack_from("<Q", maxv, 16)[0]
        stream = vol.read_stream(j)
        start = next((i for i in range(0, len(stream), 8) if stream[i:i + 8] != bytes(8)), 0) & ~4095
        records = stream[start:start + 8192]
        put(out, "usn", "records", records)
        # READ_USN_JOURNAL_DATA_V1: StartUsn, ReasonMask, ReturnOnlyOnClose,
        # Timeout, BytesToWaitFor, UsnJournalID, MinMajor, MaxMajor.
        request = struct.pack("<qIIQQQHH4x", start, 0xFFFFFFFF, 0, 0, 0, journal_id, 2, 4)
        tail = bytes(start) + records if start < 65536 else records
        put(out, "usn", "read", maxv + request + tail)
        # Collection harness: no patch to the $MFT, the records as the $J copy.
        put(out, "collection", "records", struct.pack("<H", 0) + records)
        break
    vol.close()


def logfile_seeds(out, img):
    vol = ntfsraw.Volume(img)
    r = vol.record(2)
    data = r.data_attr()
    head = b"".join(vol.pread(vol.stream_offset(data, p), 4096) for p in (0, 4096))
    put(out, "logfile", "restart", head)
    pages, p = [], 8192
    while p < data.data_size and len(pages) < 48:
        off = vol.stream_offset(data, p)
        page = vol.pread(off, 4096) if off is not None else bytes(4096)
        if page[:4] == b"RCRD" and page[64:4096] != bytes(4032):
            pages.append(page)
        p += 4096
    for i in range(0, len(pages), 8):
        put(out, "logfile", "pages-%d" % i, head + b"".join(pages[i:i + 8]))
        put(out, "logfile", "page-%d" % i, pages[i])
    vol.close()


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name in ("sample", "basic", "records4k", "cluster512", "cluster64k", "fragmented", "damaged-records"):
        volume_seeds(out, name, unpack(name, out))
    for name in ("partitioned-mbr", "partitioned-gpt"):
        img = unpack(name, out)
        with open(img, "rb") as f:
            put(out, "boot", name + "-tables", f.read(34 * 512))
    journal_seeds(out, unpack("journal", out))
    logfile_seeds(out, unpack("logfile", out))
    # Image harness: no patch (the volume as it is), a patch of the boot
    # sector's sectors-per-cluster byte, and one of a FILE record's header.
    put(out, "image", "none", b"")
    put(out, "collection", "none", b"\0\0")
    put(out, "image", "boot", struct.pack("<IB", 0x0D, 1) + b"\x10")
    put(out, "image", "record5", struct.pack("<IB", (1 << 30) | (5 * 1024 + 0x18), 4) + b"\xff\xff\x00\x00")


if __name__ == "__main__":
    main()
