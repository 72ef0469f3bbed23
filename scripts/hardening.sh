#!/usr/bin/env bash
# Builds the libFuzzer targets and the native unit tests under AddressSanitizer
# + UBSan in one clang-14 build (build/fuzz), which compiles the core once for
# both, runs the unit tests and each fuzz target briefly over its corpus in
# fuzz/corpus/. Prints one
# "hardening: PASS|FAIL <part>" line per part and exits non-zero on any
# failure. Needs scripts/setup.sh to have run once.
#
#   FUZZ_SECONDS=10  how long each fuzz target runs (two at a time)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
# shellcheck source=scripts/lib/deps.sh
. scripts/lib/deps.sh
started=$(date +%s)
fuzz_seconds=${FUZZ_SECONDS:-10}

native=$(tesmora_native_prefix)
[ -f "$native/STAMP" ] || { echo "missing $native: run scripts/setup.sh first" >&2; exit 1; }

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
tesmora_use_compiler_cache

work=$(mktemp -d "${TMPDIR:-/tmp}/tesmora-hardening-XXXXXX")
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "hardening: PASS $*"; }
fail() { failed=$((failed + 1)); echo "hardening: FAIL $*"; }

# build NAME DIR CMAKE-ARGS... -- TARGETS...: configure and build, log kept on failure.
build() {
    local name=$1 dir=$2 t0 args=()
    t0=$(date +%s)
    shift 2
    while [ "$1" != -- ]; do
        args+=("$1")
        shift
    done
    shift
    if cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTESMORA_DEPS_PREFIX="$native" "${args[@]}" >"$work/$name-build.log" 2>&1 &&
        cmake --build "$dir" --target "$@" >>"$work/$name-build.log" 2>&1; then
        echo "hardening: built $dir in $(($(date +%s) - t0)) s"
        return 0
    fi
    tail -n 40 "$work/$name-build.log"
    fail "build $dir"
    return 1
}

# ---- One build ------------------------------------------------------------------
# clang only; nothing here reads CC/CXX.
built=0
build fuzz build/fuzz -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DTESMORA_FUZZ=ON \
    -- tesmora_fuzzers tesmora_unit_tests && built=1

# ---- ASan + UBSan unit tests ------------------------------------------------
if [ "$built" = 1 ]; then
    t0=$(date +%s)
    mkdir -p "$work/asan-data-home"
    # The loopback servers the test runner started (TESMORA_TEST_*) reach
    # this run too, so the SSH, transfer and job code runs under the
    # sanitizers; run alone, without them, those tests skip. The cross-check
    # against restic is the native run's: here it would time restic's key
    # derivation under no sanitizer of ours.
    env XDG_DATA_HOME="$work/asan-data-home" TESMORA_TEST_LARGE_STREAM_MIB=32 TESMORA_TEST_NO_PEER_TOOLS=1 \
        ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        build/fuzz/tesmora_unit_tests --gtest_brief=1 --gtest_output="xml:$work/asan.xml" \
        >"$work/asan.log" 2>&1
    rc=$?
    counts=$(python3 - "$work/asan.xml" <<'EOF' 2>/dev/null
import sys, xml.etree.ElementTree as ET
p = f = s = 0
for case in ET.parse(sys.argv[1]).getroot().iter("testcase"):
    if case.find("failure") is not None or case.find("error") is not None:
        f += 1
    elif case.find("skipped") is not None or case.get("result") == "skipped":
        s += 1
    else:
        p += 1
print(f"{p} passed, {f} failed, {s} skipped")
EOF
)
    if [ "$rc" -eq 0 ]; then
        pass "asan-ubsan unit tests ($counts; $(($(date +%s) - t0)) s)"
    else
        grep -E -A30 'ERROR: (Address|Leak)Sanitizer|runtime error:|\[  FAILED  \]' "$work/asan.log" | head -n 80
        fail "asan-ubsan unit tests (exit $rc; ${counts:-no result file})"
    fi
fi

# ---- libFuzzer targets ----------------------------------------------------------
targets=()
for cpp in fuzz/*_fuzz.cpp; do
    name=$(basename "$cpp" _fuzz.cpp)
    targets+=("$name")
done
if [ "$built" = 1 ]; then
    run_target() {
        local name=$1
        mkdir -p "$work/corpus-$name" "$work/crash-$name"
        # New inputs go to the scratch folder; the committed corpus stays as it is.
        build/fuzz/fuzz/fuzz_"$name" -max_total_time="$fuzz_seconds" -print_final_stats=1 \
            -artifact_prefix="$work/crash-$name/" "$work/corpus-$name" "fuzz/corpus/$name" \
            >"$work/fuzz-$name.log" 2>&1
        echo $? >"$work/fuzz-$name.rc"
    }
    for ((i = 0; i < ${#targets[@]}; i += 2)); do
        run_target "${targets[i]}" &
        [ $((i + 1)) -lt ${#targets[@]} ] && run_target "${targets[i + 1]}" &
        wait
    done
    for name in "${targets[@]}"; do
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/fuzz-$name.log")
        if [ "$(cat "$work/fuzz-$name.rc")" = 0 ]; then
            pass "fuzz $name (${runs:-?} runs in ${fuzz_seconds} s)"
        else
            grep -E -B2 -A25 'check failed|ERROR: (Address|Leak|libFuzzer)|runtime error:|deadly signal' \
                "$work/fuzz-$name.log" | head -n 60
            for crash in "$work/crash-$name"/*; do
                [ -f "$crash" ] || continue
                mkdir -p build/fuzz/crashes
                cp "$crash" "build/fuzz/crashes/$name-$(basename "$crash")"
                echo "kept build/fuzz/crashes/$name-$(basename "$crash")"
            done
            fail "fuzz $name (exit $(cat "$work/fuzz-$name.rc"))"
        fi
    done
fi

echo "hardening: $passed passed, $failed failed ($(($(date +%s) - started)) s)"
[ "$failed" -eq 0 ]
