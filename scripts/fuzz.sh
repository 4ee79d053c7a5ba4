#!/usr/bin/env bash
# Builds the listing parser fuzz target with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs it.
#   scripts/fuzz.sh SECONDS [BUILD_DIR]     (BUILD_DIR defaults to build/fuzz)
# The seed corpus comes from the captured listings and tests/fuzz/extra-seeds.txt, each
# line fed under several server types; inputs found are kept in BUILD_DIR/corpus.
# Exits non-zero when the target crashes or a sanitizer reports.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:?usage: scripts/fuzz.sh SECONDS [BUILD_DIR]}
dir=${2:-$top/build/fuzz}
mkdir -p "$dir/corpus" "$dir/seeds"

cxx=${CXX_FUZZ:-clang++}
"$cxx" -std=c++20 -O1 -g -fno-omit-frame-pointer \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$top" "$top/ftp/FtpParse.cpp" "$top/tests/fuzz/FtpParseFuzz.cpp" \
  -o "$dir/ftpparse_fuzz"

# One seed per line and server type; the first byte of an input is the type.
n=0
while IFS= read -r line || [[ -n "$line" ]]; do
  line=${line%$'\r'}
  for t in 0 2 10 13 14 16 20 21 22 23 24; do
    printf "\\x$(printf %02x "$t")%s" "$line" > "$dir/seeds/s$n-$t"
  done
  n=$((n + 1))
done < <(cat "$top"/tests/fixtures/listings/*.txt "$top/tests/fuzz/extra-seeds.txt")

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd "$dir"
exec ./ftpparse_fuzz -max_total_time="$seconds" -max_len=512 -print_final_stats=1 \
  -artifact_prefix="$dir/" corpus seeds
