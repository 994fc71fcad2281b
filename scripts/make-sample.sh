#!/usr/bin/env bash
# Remakes samples/sample.qvx and its expected output samples/sample.out from
# samples/sample.txt (the same text once per codec, so that later LZ blocks copy
# from the blocks before them) and the short tone of samples/sample.wav as audio.
# Run it only to change the sample on purpose.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cmake --preset release -S "$root" >/dev/null
cmake --build "$root/build/release" --target quorvex_pack_cli >/dev/null
cd "$root/samples"
inputs=(stored:sample.txt bwt:sample.txt lz:sample.txt lz:sample.txt cm:sample.txt audio:sample.wav)
"$root/build/release/quorvex-pack" -f -o sample.qvx "${inputs[@]}"
: > sample.out
for input in "${inputs[@]}"; do cat "${input#*:}" >> sample.out; done
