#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""How many of a card's files a carver gave back whole, and at their size.

    exact_files.py MANIFEST IMAGE FOLDER [--by-trap] [--by-type]

Reads the sample card's manifest (type, first sector, size, SHA-256, and on
newer cards whole 1/0 and the trap) and every file under FOLDER, plain
(stored ".rdf" files must be expanded first). On the fragmented card,
IMAGE.pieces beside the manifest says where each file's pieces lie. An
output holds an original whole when it starts with all of its bytes, and has
its exact size when it is no longer. It is cut when it starts with an
original's first sector and goes on as the original does but stops short,
a wrong joint when it starts so but then runs on with other bytes (another
file's, old data, zeros), and false when it starts with no original at all.
Files to find are the whole ones of the nine searched types; a HEIC or AVIF
still is an original too, but one given back as a movie is false. An
overwritten file (whole 0, with pieces) is no file to find, but its first
piece given back is cut, and more is wrong. Outputs are matched by content
whatever their extension.

Prints one line of key=value pairs; --by-trap adds a line per trap, --by-type
a line per type of every whole original (the manifest's real extension: CR2,
HEIC, MTS...): files, whole, exact, cut, wrong, false and the bytes written
for it (a false output counts under its own extension).
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


def read_pieces(manifest_path):
    """Each file's pieces (byte offset, length) by manifest line, or None."""
    base = manifest_path[:-len(".manifest")] if manifest_path.endswith(".manifest") else None
    if base is None or not os.path.exists(base + ".pieces"):
        return None
    pieces = []
    with open(base + ".pieces") as listing:
        for line in listing:
            fields = line.split()
            if not fields or fields[0].startswith("#"):
                continue
            pieces.append([(int(s) * 512, int(n)) for s, n in
                           (p.split("+") for p in fields[4:])])
    return pieces


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
    pieces = read_pieces(path)
    if pieces is not None:
        if len(pieces) != len(originals):
            raise SystemExit("%s: the pieces do not match the manifest" % path)
        for o, p in zip(originals, pieces):
            o["pieces"] = p
    # Old data is nothing to find; an overwritten file's start still is a start.
    return [o for o in originals
            if o["whole"] or ("pieces" in o and o["trap"] not in ("", "fragment"))]


def goes_on_as(card, o, data):
    """Whether data is the start of the original as it lies on the card, its pieces joined."""
    done = 0
    for at, n in o.get("pieces") or [(o["at"], o["size"])]:
        n = min(n, len(data) - done)
        if card[at:at + n] != data[done:done + n]:
            return False
        done += n
        if done == len(data):
            return True
    return False


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
        at, n = (o.get("pieces") or [(o["at"], o["size"])])[0]
        o["head"] = card[at:at + min(n, HEAD)]
    index = {}
    for i, o in enumerate(originals):
        index.setdefault(o["head"][:KEY], []).append(i)

    found, exact = set(), set()
    count = cut = wrong = false = written = 0
    per_type = {}  # type: [cut, false, written, wrong]
    cut_of, wrong_of = {}, {}  # original: outputs

    def charge(kind, what, amount=1):
        per_type.setdefault(kind, [0, 0, 0, 0])[what] += amount
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
        prefix = None
        if held is None and begins is not None:
            prefix = next((i for i in index[data[:KEY]] if data.startswith(originals[i]["head"])
                           and goes_on_as(card, originals[i], data)), None)
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
        elif prefix is not None:
            cut += 1
            cut_of[prefix] = cut_of.get(prefix, 0) + 1
            charge(originals[prefix]["type"], 0)
            charge(originals[prefix]["type"], 2, len(data))
        elif begins is not None:
            wrong += 1
            wrong_of[begins] = wrong_of.get(begins, 0) + 1
            charge(originals[begins]["type"], 3)
            charge(originals[begins]["type"], 2, len(data))
        else:
            false += 1
            charge(own, 1)
            charge(own, 2, len(data))

    to_find = [i for i, o in enumerate(originals) if o["type"] in TYPES and o["whole"]]
    total = sum(originals[i]["size"] for i in to_find)
    print("files=%d whole=%d exact=%d cut=%d wrong=%d false=%d outputs=%d written=%d originals=%d"
          " ratio=%.2f"
          % (len(to_find), len(found.intersection(to_find)), len(exact.intersection(to_find)),
             cut, wrong, false, count, written, total, written / total if total else 0))
    if "--by-type" in flags:
        kinds = {}
        for i, o in enumerate(originals):
            if not o["whole"]:
                continue
            k = kinds.setdefault(o["type"], [0, 0, 0, 0])
            k[0] += 1
            k[1] += i in found
            k[2] += i in exact
            k[3] += o["size"]
        for kind in sorted(set(kinds) | set(per_type)):
            n, w, e, size = kinds.get(kind, [0, 0, 0, 0])
            c, f, b, x = per_type.get(kind, [0, 0, 0, 0])
            print("  %-6s %4d files %4d whole %4d exact %4d cut %4d wrong %4d false %12d written"
                  " %12d in" % (kind, n, w, e, c, x, f, b, size))
    if "--by-trap" in flags:
        traps = {}
        for i, o in enumerate(originals):
            t = traps.setdefault(o["trap"] or "-", [0, 0, 0, 0, 0])
            t[0] += 1
            t[1] += i in found
            t[2] += i in exact
            t[3] += cut_of.get(i, 0)
            t[4] += wrong_of.get(i, 0)
        for trap, (n, w, e, c, x) in sorted(traps.items()):
            print("  %-21s %4d files %4d whole %4d exact %4d cut %4d wrong" % (trap, n, w, e, c, x))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
