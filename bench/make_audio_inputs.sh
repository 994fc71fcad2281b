#!/bin/sh
# Builds real-recording WAV inputs for the audio benchmarks from two Debian packages
# (hydrogen-drumkits, asterisk-core-sounds-en-wav) with sox:
#   drums.wav    60 s of drum samples, 44.1 kHz stereo 16-bit
#   drums24.wav  the same material at 24 bits (the sources that carry more than 16 bits keep them)
#   speech.wav   5 min of speech prompts, 8 kHz mono 16-bit
# Usage: bench/make_audio_inputs.sh OUTPUT_FOLDER   (nothing is written elsewhere)
set -eu
out=${1:?usage: $0 OUTPUT_FOLDER}
drums=/usr/share/hydrogen/data/drumkits
speech=/usr/share/asterisk/sounds/en_US_f_Allison
for need in sox; do command -v $need >&2 || { echo "missing $need (apt-get install sox)" >&2; exit 1; }; done
[ -d "$drums" ] || { echo "missing $drums (apt-get install hydrogen-drumkits)" >&2; exit 1; }
[ -d "$speech" ] || { echo "missing $speech (apt-get install asterisk-core-sounds-en-wav)" >&2; exit 1; }
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Every sample as a 44.1 kHz stereo 24-bit piece, in a fixed order, then joined and cut.
i=0
find "$drums" -type f \( -name '*.wav' -o -name '*.flac' \) | LC_ALL=C sort | while read -r f; do
  i=$((i + 1))
  sox -q "$f" -r 44100 -c 2 -b 24 "$work/$(printf %05d $i).wav" 2>>"$work/sox.log" || true
done
sox -q "$work"/0*.wav "$work/all24.wav"
sox -q "$work/all24.wav" -b 24 "$out/drums24.wav" trim 0 60
sox -q -D "$work/all24.wav" -b 16 "$out/drums.wav" trim 0 60  # -D: plain truncation, no dither noise
rm -f "$work"/0*.wav

i=0
find "$speech" -type f -name '*.wav' | LC_ALL=C sort | while read -r f; do
  i=$((i + 1))
  sox -q "$f" -r 8000 -c 1 -b 16 "$work/$(printf %05d $i).wav"
done
sox -q "$work"/0*.wav "$out/speech.wav" trim 0 300
ls -l "$out"/drums.wav "$out"/drums24.wav "$out"/speech.wav
