#!/usr/bin/env bash
# Remakes samples/sample.qvx and its expected output samples/sample.out from
# samples/sample.txt (the same text once per codec, so that later LZ blocks copy
# from the blocks before them) and the short tone of samples/sample.wav as audio.
# Run it only to change the sample on purpose.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cmake --preset release -S "$root" >/dev/null
cmake --build "$root/build/release" --target quorvex_cli >/dev/null
cd "$root/samples"
inputs=(sample.txt sample.txt sample.txt sample.txt sample.txt sample.wav)
"$root/build/release/quorvex" -z -f -b 1M -o sample.qvx --codec stored sample.txt --codec bwt sample.txt \
  --codec lz sample.txt sample.txt --codec cm sample.txt --codec audio sample.wav
cat "${inputs[@]}" > sample.out
