#!/usr/bin/env bash
# Freezes the golden archives of tests/golden: each NAME.qvx with the output it must
# decode to, NAME.out. A golden archive is made once; a change that alters what one
# decodes to breaks the format. Run this only to add a new golden archive.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cmake --preset release -S "$root" >/dev/null
cmake --build "$root/build/release" --target quorvex_pack_cli quorvex_cli >/dev/null
cd "$root/tests/golden/inputs"
make_golden() {
  local name=$1
  shift
  local archive="$root/tests/golden/$name.qvx"
  [ -e "$archive" ] && { echo "$name exists, kept"; return; }
  "$root/build/release/quorvex-pack" -o "$archive" "$@"
  : > "$root/tests/golden/$name.out"
  local input
  for input in "$@"; do
    [ "${input#-}" = "$input" ] && [ -f "${input#*:}" ] && cat "${input#*:}" >> "$root/tests/golden/$name.out"
  done
}
make_golden bwt-stored -b 1000 stored:story.txt stored:records.bin
make_golden bwt-coded -b 1500 bwt:story.txt bwt:records.bin
make_golden lz-after-bwt bwt:story.txt lz:story.txt lz:records.bin lz:records.bin
make_golden cm-blocks -b 1200 cm:story.txt cm:records.bin
make_golden mixed -b 2000 cm:records.bin lz:story.txt stored:records.bin cm:story.txt
make_golden branch-targets -b 5000 -S branch-targets=always bwt:code.bin lz:code.bin
make_golden text-transforms -S text=always -b 2500 bwt:textmix.txt cm:textmix.txt lz:textmix.txt
make_golden text-words -S text=always -b 3000 bwt:textmix.txt cm:story.txt lz:story.txt
make_golden post-stages -b 3000 -S local-matches=always -S history-matches=always -S word-runs=always -S delta=always \
  -S text=never -S branch-targets=never bwt:stage-mix.bin bwt:stage-mix.bin stored:stage-mix.bin lz:stage-mix.bin
make_golden audio-wav audio:tone-stereo16.wav audio:tone-mono8.wav audio:chirp-mono24.wav
make_golden audio-mixed audio:tone-mono8.wav stored:story.txt audio:chirp-mono24.wav audio:chirp-mono24.wav
# Stress data for the models: long predictable runs, every gap between spaces up to
# 140 bytes with high bytes after them, and fixed-length records (stress.bin).
make_golden cm-lz-stress -b 40000 cm:stress.bin lz:stress.bin
