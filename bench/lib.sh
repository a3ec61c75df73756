# SPDX-License-Identifier: GPL-3.0-or-later
# Sourced by the whole-scan benchmarks, from the top of the tree after the
# Release build: the sample card, timing, and PhotoRec's command line.
# Callers set work (the scratch folder) and bytes (the card's size).

# The sample card of SIZE (32M, 1G, bytes) in $work, about 90 % full of
# photos; made once and kept for later runs. Prints its path.
sample_card() {
  local path="$work/card-${1,,}.img"
  if [ ! -f "$path" ]; then
    # Made under another name first, so an interrupted run leaves no half card.
    build-bench/tests/support/make_sample_card "$path.part" --size "$1" --full --fill 0.9 >&2
    mv "$path.part.manifest" "$path.manifest"
    mv "$path.part" "$path"
  fi
  echo "$path"
}

# The trap card of SIZE in $work (see tests/support/samplecard.h): full-size
# photos, 90 % full. Made again when the generator is newer than the card.
trap_card() {
  local path="$work/traps-${1,,}.img"
  local maker=build-bench/tests/support/make_sample_card
  if [ ! -f "$path" ] || [ "$maker" -nt "$path" ]; then
    "$maker" "$path.part" --size "$1" --full --fill 0.9 --traps >&2
    mv "$path.part.manifest" "$path.manifest"
    mv "$path.part" "$path"
  fi
  echo "$path"
}

# The fragmented card of SIZE in $work (see tests/support/fragmentcard.h):
# photos in pieces around others, old data and empty space, with
# IMAGE.pieces. Made again when the generator is newer than the card.
fragment_card() {
  local path="$work/fragments-${1,,}.img"
  local maker=build-bench/tests/support/make_sample_card
  if [ ! -f "$path" ] || [ "$maker" -nt "$path" ]; then
    "$maker" "$path.part" --size "$1" --fragments >&2
    mv "$path.part.manifest" "$path.manifest"
    mv "$path.part.pieces" "$path.pieces"
    mv "$path.part" "$path"
  fi
  echo "$path"
}

mbps() { awk -v b="$bytes" -v s="$1" 'BEGIN { printf "%.0f", b / 1e6 / s }'; }
timed() { local t0 t1; t0=$(date +%s.%N); "$@" >/dev/null 2>&1; t1=$(date +%s.%N); awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }'; }
secs() { sed -E 's/.* ([0-9.]+) s,.*/\1/' <<<"$1"; }
best() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b < a) ? b : a }'; }
files_in() { find "$1" -type f -not -name '*.log' | wc -l; }

# PhotoRec over the whole of SOURCE, every file type, into DEST. It writes
# its log into the working folder: run from $work, out of the tree. Without
# DEST's parent it stops at the first file found, and still exits 0.
photorec_scan() {
  mkdir -p "$(dirname "$2")"
  (cd "$work" && photorec /log /d "$2" /cmd "$1" \
    partition_none,options,paranoid_no,fileopt,everything,enable,wholespace,search)
}
