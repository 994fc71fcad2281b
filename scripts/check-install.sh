#!/usr/bin/env bash
# Installs the release build into a temporary prefix, builds examples/find_package
# against the installed CMake package, and decodes samples/sample.qvx with it, into
# memory and into a file.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --preset release -S "$root" >/dev/null
cmake --build "$root/build/release" --target quorvex_cli >/dev/null
cmake --install "$root/build/release" --prefix "$work/prefix" >/dev/null
for installed in bin/quorvex share/man/man1/quorvex.1 share/bash-completion/completions/quorvex \
                 include/quorvex/decoder.hpp include/quorvex/file_sink.hpp \
                 'lib*/cmake/quorvex/quorvexConfig.cmake' 'lib*/libquorvex_decode.a'; do
  compgen -G "$work/prefix/$installed" >/dev/null || { echo "not installed: $installed"; exit 1; }
done
cmake -S "$root/examples/find_package" -B "$work/example" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/example" >/dev/null
"$work/example/decode_to_memory" "$root/samples/sample.qvx" | tee "$work/result"
expected="$(stat -c %s "$root/samples/sample.out") bytes; first line: $(head -n 1 "$root/samples/sample.out")"
[ "$(cat "$work/result")" = "$expected" ] || { echo "expected: $expected"; exit 1; }
"$work/example/decode_to_file" "$root/samples/sample.qvx" "$work/sample.out"
cmp "$work/sample.out" "$root/samples/sample.out" || { echo "decode_to_file: the output differs"; exit 1; }
[ -z "$(find "$work" -maxdepth 1 -name 'sample.out.partial*')" ] || { echo "decode_to_file left a temporary"; exit 1; }
echo "installed package: the examples decode samples/sample.qvx into memory and into a file"
