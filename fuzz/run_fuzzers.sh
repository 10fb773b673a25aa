#!/bin/sh
# Builds the libFuzzer harnesses in build-fuzz/ (clang, address and
# undefined-behaviour checks, at most BUILD_JOBS compile jobs, default 4) and
# runs each for SECONDS (default 300), at most JOBS (default 6) at once. Corpora grow in build-fuzz/corpus/<target>/ from
# the seeds in fuzz/seeds/<target>/; crashes, leaks and time-outs land in
# build-fuzz/artifacts/<target>/, each run's log in build-fuzz/logs/.
# The XML harnesses share the dictionary fuzz/xml.dict. Extra libFuzzer flags
# can be given in FUZZ_FLAGS (for example -len_control=0).
# Usage: fuzz/run_fuzzers.sh [SECONDS] [target...]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"
seconds=${1:-300}
[ $# -gt 0 ] && shift
jobs=${JOBS:-6}

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug \
  -DTORVANE_FUZZ=ON -DTORVANE_SANITIZE=ON >/dev/null
targets=${*:-$(cd "$root/fuzz" && ls *_fuzzer.cpp | sed 's/\.cpp$//')}
cmake --build "$build" -j "${BUILD_JOBS:-4}" --target $targets >/dev/null

mkdir -p "$build/logs"
for t in $targets; do
  mkdir -p "$build/corpus/$t" "$build/artifacts/$t"
  case $t in
    *block_fuzzer|transport_string_fuzzer|request_reader_fuzzer|handler_args_fuzzer) dict= ;;
    *) dict="-dict=$root/fuzz/xml.dict" ;;
  esac
  echo "$build/fuzz/$t $dict -max_total_time=$seconds -rss_limit_mb=4096 -timeout=10 -close_fd_mask=3 -print_final_stats=1 ${FUZZ_FLAGS:-}" \
    "-artifact_prefix=$build/artifacts/$t/ $build/corpus/$t $root/fuzz/seeds/$t >$build/logs/$t.log 2>&1" \
    "; echo \"$t: \$(grep -E '^(Done|SUMMARY|==FUZZ|==[0-9]+==ERROR)' $build/logs/$t.log | tail -1)\""
done | xargs -P "$jobs" -I{} sh -c '{}'
