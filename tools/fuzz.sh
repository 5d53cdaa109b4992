#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build/fuzz and runs each briefly.
#   tools/fuzz.sh [SECONDS]   (default 30 per target)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
build=build/fuzz
if [ ! -f "$build/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DNORTANE_FUZZ=ON >/dev/null
fi
cmake --build "$build" --target tarn_receive_fuzz -j 2
corpus="$build/corpus/tarn_receive"
mkdir -p "$corpus"
# Seeds: a framed hello answer, an empty frame pair, a frame cut short, an error packet.
printf '\x01\x07\x7e\x02\x5a\x5a\x7e' >"$corpus/seed-short"
printf '\x00\x01\x7e\x7e\x29\xbb\x4c\x7e' >"$corpus/seed-done"
printf '\x02\x00\x27\x00\x00\x00\x00\x00\x00\x04\x00\x00\x00\x00\x00\x01\x02\x03\x04' >"$corpus/seed-raw"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  "$build/fuzz/tarn_receive_fuzz" -max_total_time="$seconds" -max_len=8192 -print_final_stats=1 \
  "$corpus"
