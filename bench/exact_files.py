#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""How many of a card's files a carver gave back whole, and at their size.

    exact_files.py MANIFEST IMAGE FOLDER [--by-trap] [--by-type]

Reads the sample card's manifest (type, first sector, size, SHA-256, and on
newer cards whole 1/0 and the trap) and every file under FOLDER, plain
(stored ".rdf" files must be expanded first). An output holds an original
whole when it starts with all of its bytes, and has its exact size when it is
no longer. It is cut when it starts with an original's first sector but does
not hold it whole, and false when it starts with no original at all. Files to
find are the whole ones of the nine searched types; a HEIC or AVIF still is
an original too, but one given back as a movie is false. Outputs are matched
by content whatever their extension.

Prints one line of key=value pairs; --by-trap adds a line per trap, --by-type
a line per type of every whole original (the manifest's real extension: CR2,
HEIC, MTS...): files, whole, exact, cut, false and the bytes written for it
(a false output counts under its own extension).
"""
import hashlib
import mmap
import os
import sys

TYPES = {"JPG", "BMP", "GIF", "TIF", "PNG", "WAV", "AVI", "RIFF", "MOV"}
STILLS = {"HEIC", "AVIF"}
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
    flags = set(argv[4:])
    if len(argv) < 4 or not flags <= {"--by-trap", "--by-type"}:
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
    per_type = {}  # type: [cut, false, written]

    def charge(kind, what, amount=1):
        per_type.setdefault(kind, [0, 0, 0])[what] += amount
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
        own = os.path.splitext(path)[1][1:].upper() or "?"
        if held is not None:
            o = originals[held]
            charge(o["type"], 2, len(data))
            if o["type"] in STILLS and path.lower().endswith(MOVIES):
                false += 1
                charge(o["type"], 1)
                continue
            found.add(held)
            if len(data) == o["size"]:
                exact.add(held)
        elif begins is not None:
            cut += 1
            charge(originals[begins]["type"], 0)
            charge(originals[begins]["type"], 2, len(data))
        else:
            false += 1
            charge(own, 1)
            charge(own, 2, len(data))

    to_find = [i for i, o in enumerate(originals) if o["type"] in TYPES]
    total = sum(originals[i]["size"] for i in to_find)
    print("files=%d whole=%d exact=%d cut=%d false=%d outputs=%d written=%d originals=%d ratio=%.2f"
          % (len(to_find), len(found.intersection(to_find)), len(exact.intersection(to_find)),
             cut, false, count, written, total, written / total if total else 0))
    if "--by-type" in flags:
        kinds = {}
        for i, o in enumerate(originals):
            k = kinds.setdefault(o["type"], [0, 0, 0, 0])
            k[0] += 1
            k[1] += i in found
            k[2] += i in exact
            k[3] += o["size"]
        for kind in sorted(set(kinds) | set(per_type)):
            n, w, e, size = kinds.get(kind, [0, 0, 0, 0])
            c, f, b = per_type.get(kind, [0, 0, 0])
            print("  %-6s %4d files %4d whole %4d exact %4d cut %4d false %12d written %12d in"
                  % (kind, n, w, e, c, f, b, size))
    if "--by-trap" in flags:
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
