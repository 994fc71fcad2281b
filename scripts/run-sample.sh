#!/usr/bin/env bash
# Builds the decoder and decodes the shipped sample archive; checks "out" against
# the expected bytes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
cmake --preset release -S "$root" >/dev/null
cmake --build "$root/build/release" --target quorvex_cli
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$root/build/release/quorvex" "$root/samples/sample.qvx"
cmp out "$root/samples/sample.out"
echo "sample decoded: out matches samples/sample.out"
