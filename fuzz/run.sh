#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for SECONDS
# (default 10), starting from seed corpora made by the archive maker from the golden
# inputs. Corpora grow in build/fuzz/corpus/TARGET; crashes land in build/fuzz/crashes.
#   fuzz/run.sh [SECONDS]
set -euo pipefail
seconds=${1:-10}
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/fuzz"
cd "$root"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

# Seeds: archives of every codec (without their 23-byte header for archive_fuzz, which
# supplies it), and the raw inputs for the targets that take data or payloads.
seeds="$build/seeds"
rm -rf "$seeds"
mkdir -p "$seeds/archive" "$seeds/data" "$build/crashes"
inputs="$root/tests/golden/inputs"
for codec in stored bwt lz cm; do
  "$build/quorvex" -z -f -b 700 -o "$seeds/$codec.qvx" --codec "$codec" "$inputs/story.txt" "$inputs/records.bin"
  tail -c +24 "$seeds/$codec.qvx" > "$seeds/archive/$codec"
done
for archive in "$root"/tests/golden/*.qvx; do tail -c +24 "$archive" > "$seeds/archive/$(basename "$archive" .qvx)"; done
head -c 3000 "$inputs/story.txt" > "$seeds/data/story"
head -c 3000 "$inputs/records.bin" > "$seeds/data/records"

status=0
for target in "$build"/fuzz/*_fuzz; do
  name=$(basename "$target")
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  case $name in
    archive_fuzz) seed="$seeds/archive" ;;
    *) seed="$seeds/data" ;;
  esac
  echo "== $name: $seconds s"
  log="$build/$name.log"
  "$target" "$corpus" "$seed" -max_total_time="$seconds" -max_len=65536 -timeout=20 -rss_limit_mb=4096 \
    -artifact_prefix="$build/crashes/$name-" -print_final_stats=1 > "$log" 2>&1 || status=1
  grep -E '^stat::(number_of_executed_units|peak_rss_mb)|^#[0-9]+ +DONE|ERROR|SUMMARY' "$log" || true
done
exit $status
