#!/usr/bin/env bash
# Builds the libFuzzer targets (tests/fuzz) with clang and runs each in turn.
#   fuzz.sh [SECONDS_PER_TARGET]         60 s each by default, on a scratch copy of the committed
#                                        seeds, so the repository's corpus never grows
#   fuzz.sh --long [SECONDS_PER_TARGET]  3600 s each by default; keeps what it finds in
#                                        build/fuzz/corpus and carries on from there next time
# Fails at the first crash, sanitizer report or broken invariant; the input that did it is saved
# under build/fuzz/crashes. Prints executions per second and the coverage reached per target.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

long=0
if [[ ${1:-} == --long ]]; then
    long=1
    shift
fi
seconds=${1:-$((long ? 3600 : 60))}
targets=(process_buffer_fuzz line_format_fuzz)
build=build/fuzz

# clang and its libFuzzer runtime (libclang-rt), checked by linking an empty target.
fuzzer_links() {
    command -v clang++ >/dev/null || return 1
    local probe
    probe=$(mktemp -d)
    echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' \
        >"$probe/probe.cpp"
    clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" 2>/dev/null
    local status=$?
    rm -rf "$probe"
    return $status
}
if ! fuzzer_links; then
    echo "installing clang and libclang-rt-14-dev"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq clang libclang-rt-14-dev >/dev/null
fi
need_pip=()
command -v cmake >/dev/null || need_pip+=(cmake)
command -v ninja >/dev/null || need_pip+=(ninja)
if ((${#need_pip[@]})); then
    echo "installing ${need_pip[*]} with pip"
    python3 -m pip install -q "${need_pip[@]}"
fi

cmake -S tests/fuzz -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$build/crashes"
export UBSAN_OPTIONS=print_stacktrace=1
failed=()
for target in "${targets[@]}"; do
    seeds=tests/fuzz/corpus/$target
    if ((long)); then
        corpus=$build/corpus/$target
        mkdir -p "$corpus"
        dirs=("$corpus" "$seeds")  # new inputs go to the first
    else
        corpus=$scratch/$target
        mkdir -p "$corpus"
        cp "$seeds"/* "$corpus"/
        dirs=("$corpus")
    fi
    log=$build/$target.log
    echo "=== $target, ${seconds} s"
    status=0
    "$build/$target" "${dirs[@]}" -dict=tests/fuzz/csv.dict -max_len=4096 \
        -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$build/crashes/$target-" >"$log" 2>&1 || status=$?
    if ((status)); then
        # From the first report line on: the broken check or the sanitizer's report.
        sed -n '/\*\*\* check failed\|ERROR: \|runtime error\|==[0-9]*==/,$p' "$log" | head -60
        artifact=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -1)
        echo "FAILED: $target (exit $status); input: ${artifact:-see $log}"
        [[ -n $artifact ]] && echo "reproduce: $build/$target $artifact"
        failed+=("$target")
        continue
    fi
    # "#N DONE cov: C ft: F corp: ..." and the final stats.
    grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    echo "$target: $runs executions, $rate per second; full log $log"
done

if ((${#failed[@]})); then
    echo "fuzzing failed: ${failed[*]}"
    exit 1
fi
echo "fuzzing passed"
