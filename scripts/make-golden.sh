#!/usr/bin/env bash
# Freezes the golden archives of tests/golden: each NAME.qvx with the output it must
# decode to, NAME.out. A golden archive is made once; a change that alters what one
# decodes to breaks the format. Run this only to add a new golden archive.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cmake --preset release -S "$root" >/dev/null
cmake --build "$root/build/release" --target quorvex_cli >/dev/null
cd "$root/tests/golden/inputs"
make_golden() {
  local name=$1
  shift
  local archive="$root/tests/golden/$name.qvx"
  [ -e "$archive" ] && { echo "$name exists, kept"; return; }
  # Blocks of 1 MiB unless the arguments say otherwise; --codec names the codec of the
  # files after it.
  "$root/build/release/quorvex" -z -b 1M -o "$archive" "$@"
  : > "$root/tests/golden/$name.out"
  local input
  for input in "$@"; do
    [ "${input#-}" = "$input" ] && [ -f "$input" ] && cat "$input" >> "$root/tests/golden/$name.out"
  done
}
make_golden bwt-stored -b 1000 --codec stored story.txt records.bin
make_golden bwt-coded -b 1500 --codec bwt story.txt records.bin
make_golden lz-after-bwt --codec bwt story.txt --codec lz story.txt records.bin records.bin
make_golden cm-blocks -b 1200 --codec cm story.txt records.bin
make_golden mixed -b 2000 --codec cm records.bin --codec lz story.txt --codec stored records.bin --codec cm story.txt
make_golden branch-targets -b 5000 -S branch-targets=always --codec bwt code.bin --codec lz code.bin
make_golden text-transforms -S text=always -b 2500 --codec bwt textmix.txt --codec cm textmix.txt --codec lz textmix.txt
make_golden text-words -S text=always -b 3000 --codec bwt textmix.txt --codec cm story.txt --codec lz story.txt
make_golden post-stages -b 3000 -S local-matches=always -S history-matches=always -S word-runs=always -S delta=always \
  -S text=never -S branch-targets=never --codec bwt stage-mix.bin stage-mix.bin --codec stored stage-mix.bin --codec lz stage-mix.bin
make_golden audio-wav --codec audio tone-stereo16.wav tone-mono8.wav chirp-mono24.wav
make_golden audio-mixed --codec audio tone-mono8.wav --codec stored story.txt --codec audio chirp-mono24.wav chirp-mono24.wav
# Stress data for the models: long predictable runs, every gap between spaces up to
# 140 bytes with high bytes after them, and fixed-length records (stress.bin).
make_golden cm-lz-stress -b 40000 --codec cm stress.bin --codec lz stress.bin
