#!/bin/sh
# Installs what is missing, builds the benchmarks (a Release tree in build-bench/, with the
# tools, without the tests) and runs every one of them, printing one table: each figure, what
# was measured, its goal and whether the goal was met. The in-process benchmarks drive the real
# window on Qt's offscreen platform, but for the one that counts the X server's CPU, which
# starts an X server of its own (Xvfb); the start-up one runs the program on one too. Takes a
# few minutes. Figures taken on a machine that is busy with other work say more about that work
# than about the program: the ratios are measured side by side for that reason, and the spread
# of repeated runs is shown in brackets.
set -e
cd "$(dirname "$0")/.."
tools/deps.sh
started=$(date +%s)
load=$(cut -d' ' -f1-3 /proc/loadavg)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM

echo "Building build-bench/ (Release)..." >&2
if ! { cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKAVOSEN_TESTS=OFF \
           -DKAVOSEN_BENCH=ON &&
       cmake --build build-bench -j"$(nproc)"; } >"$work/build.log" 2>&1; then
    cat "$work/build.log" >&2
    exit 1
fi
bench=build-bench/bench

# run TITLE COMMAND...: runs one benchmark and adds a section to the table: its title, then the
# rows it printed. Its standard error (progress, Qt's notes) is shown only when it fails.
run() {
    title=$1
    shift
    echo "Running: $title..." >&2
    printf '#\t%s\n' "$title" >>"$work/rows"
    if timeout 600 "$@" >"$work/out" 2>"$work/log"; then
        status=0
    else
        status=$?
    fi
    cat "$work/out" >>"$work/rows"
    if [ "$status" -ne 0 ]; then
        printf 'the benchmark itself\tended with status %s\tends normally\tmissed\n' "$status" \
            >>"$work/rows"
        cat "$work/log" >&2
    fi
}

offscreen="env QT_QPA_PLATFORM=offscreen"
run "A capture on a 230400-baud line, and waiting for one (bench_line)" \
    $offscreen "$bench/bench_line"
run "A capture at 230400 baud on an X server of its own, beside cat and a blocking-read loop (bench_cpu)" \
    "$bench/bench_cpu"
run "A 100 MB flood through a pty into a capture, against cat (bench_capture)" \
    $offscreen "$bench/bench_capture"
run "A Ctrl-Z to the result shown (bench_ctrlz)" $offscreen "$bench/bench_ctrlz"
run "Start-up on an X server of its own (bench_startup)" \
    xvfb-run -a -s "-screen 0 800x600x24" "$bench/bench_startup" build-bench/KAVOSEN_WIN

elapsed=$(($(date +%s) - started))
awk -F '\t' -v cores="$(nproc)" -v load="$load" -v elapsed="$elapsed" '
    { line[NR] = $0 }
    $1 != "#" {
        if (length($1) > wf) wf = length($1)
        if (length($2) > wm) wm = length($2)
        if (length($3) > wg) wg = length($3)
        if ($4 == "met") met++
        if ($4 != "") goals++
    }
    END {
        printf "KAVOSEN_WIN benchmarks: Release build, %d cores, load average %s at the start\n", cores, load
        printf "\n%-*s  %-*s  %-*s  %s\n", wf + 2, "figure", wm, "measured", wg, "goal", "mark"
        for (i = 1; i <= NR; i++) {
            n = split(line[i], f, "\t")
            if (f[1] == "#") { printf "\n%s\n", f[2]; continue }
            printf "  %-*s  %-*s  %-*s  %s\n", wf, f[1], wm, f[2], wg, f[3], f[4]
        }
        printf "\n%d of %d goals met; %d s in all.\n", met, goals, elapsed
    }' "$work/rows"
