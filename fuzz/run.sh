#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) and runs each for SECONDS
# (default 10), starting from seed corpora made by the archive maker from the golden
# inputs. Corpora grow in build/fuzz/corpus/TARGET; crashes land in build/fuzz/crashes.
#   fuzz/run.sh [SECONDS] [TARGET...]     (all targets when none is named)
# QUORVEX_FUZZ_NO_BUILD=1 runs what is built, with the seeds already made;
# QUORVEX_FUZZ_OUT=DIR puts the logs and crashes there.
set -euo pipefail
seconds=${1:-10}
shift || true
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/fuzz"
seeds="$build/seeds"
out=${QUORVEX_FUZZ_OUT:-$build}  # logs and crashes
cd "$root"

make_seeds() {
  rm -rf "$seeds"
  mkdir -p "$seeds/archive" "$seeds/data" "$seeds/stage"
  local inputs="$root/tests/golden/inputs" codec archive stage
  # Archives of every codec, without their 23-byte header (archive_fuzz supplies it).
  for codec in stored bwt lz cm; do
    "$build/quorvex" -z -f -b 700 -o "$seeds/$codec.qvx" --codec "$codec" "$inputs/story.txt" "$inputs/records.bin"
    tail -c +24 "$seeds/$codec.qvx" > "$seeds/archive/$codec"
  done
  for archive in "$root"/tests/golden/*.qvx; do tail -c +24 "$archive" > "$seeds/archive/$(basename "$archive" .qvx)"; done
  head -c 3000 "$inputs/story.txt" > "$seeds/data/story"
  head -c 3000 "$inputs/records.bin" > "$seeds/data/records"
  # stage_fuzz: one seed per entry point (its first byte), 256 bytes of side data.
  for stage in 0 1 2 3 4 5 6; do
    { printf "\\x0$stage\\x00\\x01\\x00\\x10\\x3f"; head -c 2000 "$inputs/story.txt"; } > "$seeds/stage/story$stage"
  done
}

if [ -z "${QUORVEX_FUZZ_NO_BUILD:-}" ]; then
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz
  make_seeds
fi
mkdir -p "$out/crashes"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for target in "$build"/fuzz/*_fuzz; do targets+=("$(basename "$target")"); done
fi

status=0
for name in "${targets[@]}"; do
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  case $name in
    archive_fuzz) seed="$seeds/archive" ;;
    stage_fuzz) seed="$seeds/stage" ;;
    *) seed="$seeds/data" ;;
  esac
  # Longest input: the context-mixing targets decode slowly under the sanitizers.
  case $name in
    cm_fuzz) max_len=160 ;;
    archive_round_trip_fuzz) max_len=2048 ;;
    bwt_payload_fuzz) max_len=4096 ;;
    *) max_len=16384 ;;
  esac
  echo "== $name: $seconds s"
  log="$out/$name.log"
  "$build/fuzz/$name" "$corpus" "$seed" -max_total_time="$seconds" -max_len="$max_len" -timeout=20 -rss_limit_mb=2560 \
    -artifact_prefix="$out/crashes/$name-" -print_final_stats=1 > "$log" 2>&1 || status=1
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)|^#[0-9]+ +DONE|ERROR|SUMMARY' "$log" || true
done
exit $status
