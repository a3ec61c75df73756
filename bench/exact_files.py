#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""How many of a card's files a carver gave back whole, and at their size.

    exact_files.py MANIFEST IMAGE FOLDER [--by-trap]

Reads the sample card's manifest (type, first sector, size, SHA-256, and on
newer cards whole 1/0 and the trap) and every file under FOLDER, plain
(stored ".rdf" files must be expanded first). An output holds an original
whole when it starts with all of its bytes, and has its exact size when it is
no longer. It is cut when it starts with an original's first sector but does
not hold it whole, and false when it starts with no original at all. Files to
find are the whole ones of the nine searched types; a HEIC still is an
original too, but one given back as a movie is false.

Prints one line of key=value pairs; --by-trap adds a line per trap.
"""
import hashlib
import mmap
import os
import sys

TYPES = {"JPG", "BMP", "GIF", "TIF", "PNG", "WAV", "AVI", "RIFF", "MOV"}
MOVIES = (".mov", ".mp4", ".avi", ".3gp", ".m4v")
NOT_OUTPUTS = {"report.xml", "audit.txt"}  # PhotoRec's and Foremost's own reports
HEAD = 512
KEY = 16


def read_manifest(path):
    originals = []
    with open(path) as manifest:
        for line in manifest:
            fields = line.split()
            if not fields or fields[0].startswith("#"):
                continue
            originals.append({
                "type": fields[0],
                "at": int(fields[1]) * 512,
                "size": int(fields[2]),
                "sha256": fields[3],
                "whole": len(fields) < 5 or fields[4] != "0",
                "trap": fields[5] if len(fields) > 5 and fields[5] != "-" else "",
            })
    return [o for o in originals if o["whole"]]


def outputs(folder):
    for root, _, names in os.walk(folder):
        for name in sorted(names):
            if name in NOT_OUTPUTS or name.endswith(".log"):
                continue
            yield os.path.join(root, name)


def main(argv):
    if len(argv) not in (4, 5) or (len(argv) == 5 and argv[4] != "--by-trap"):
        sys.stderr.write(__doc__)
        return 1
    originals = read_manifest(argv[1])
    with open(argv[2], "rb") as image:
        card = mmap.mmap(image.fileno(), 0, access=mmap.ACCESS_READ)
        for o in originals:
            o["head"] = card[o["at"]:o["at"] + min(o["size"], HEAD)]
    index = {}
    for i, o in enumerate(originals):
        index.setdefault(o["head"][:KEY], []).append(i)

    found, exact = set(), set()
    count = cut = false = written = 0
    for path in outputs(argv[3]):
        with open(path, "rb") as f:
            data = f.read()
        count += 1
        written += len(data)
        digests = {}  # by size: copies of one photo share their size
        begins = held = None
        for i in index.get(data[:KEY], []):
            o = originals[i]
            if not data.startswith(o["head"]):
                continue
            begins = i
            if len(data) < o["size"]:
                continue
            if o["size"] not in digests:
                digests[o["size"]] = hashlib.sha256(memoryview(data)[:o["size"]]).hexdigest()
            if digests[o["size"]] == o["sha256"] and (held is None or
                                                      o["size"] > originals[held]["size"]):
                held = i
        if held is not None:
            o = originals[held]
            if o["type"] not in TYPES and path.lower().endswith(MOVIES):
                false += 1
                continue
            found.add(held)
            if len(data) == o["size"]:
                exact.add(held)
        elif begins is not None:
            cut += 1
        else:
            false += 1

    to_find = [i for i, o in enumerate(originals) if o["type"] in TYPES]
    total = sum(originals[i]["size"] for i in to_find)
    print("files=%d whole=%d exact=%d cut=%d false=%d outputs=%d written=%d originals=%d ratio=%.2f"
          % (len(to_find), len(found.intersection(to_find)), len(exact.intersection(to_find)),
             cut, false, count, written, total, written / total if total else 0))
    if len(argv) == 5:
        traps = {}
        for i, o in enumerate(originals):
            t = traps.setdefault(o["trap"] or "-", [0, 0, 0])
            t[0] += 1
            t[1] += i in found
            t[2] += i in exact
        for trap, (n, w, e) in sorted(traps.items()):
            print("  %-20s %4d files %4d whole %4d exact" % (trap, n, w, e))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
