#!/usr/bin/env bash
# Measures the live view: the x86_64 program under Wine beside the simulated remote, and its CPU
# and latency through the real HID library and the virtual remote on Wine's HID stack. Prints one
# table (median and min-max over the runs) and writes it to docs/benchmarks.md.
# Then a soak (10 minutes at 100 reports a second and 2 at 1000, the program's resources every
# 10 s) and the racing teardowns (RACES runs, default 100, of each road that asks for the
# teardown twice), written below the table.
# RUNS (default 5) sets the number of runs of each figure; --report rewrites the page from the
# last measurements without measuring again. PARTS (default "live soak race") measures only some.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-5}
races=${RACES:-100}
soak_seconds=${SOAK_SECONDS:-600}
parts=${PARTS:-live soak race}
roads=(esc-home home-esc close-home esc-esc)
[ "${1:-}" = "--report" ] && [ ! -d build/bench ] && { echo "bench: nothing measured yet"; exit 1; }

# Inside Xvfb (the script calls itself there).
if [ "${1:-}" = "--measure" ]; then
    source scripts/wine-env.sh build/x64
    wine_start_session
    out=build/bench
    mkdir -p "$out"
    driver() { "$WINE" build/x64/bench_driver.exe "$@" | tr -d '\r'; }
    # CPU from Linux's accounting of the Wine process, over 10 s. The demo's four lights all move;
    # no log is written.
    #     measure_cpu PROGRAM PATTERN FILE
    measure_cpu() {
        (unset SIMREMOTE_SCENARIO TINY_HID_CAPTURE; "$WINE" "$1") &
        sleep 3
        local pid ticks0 ticks1
        pid=$(pgrep -f "$2" | head -n 1)
        ticks0=$(awk '{print $14 + $15}' "/proc/$pid/stat")
        sleep 10
        ticks1=$(awk '{print $14 + $15}' "/proc/$pid/stat")
        awk -v ticks=$(( ticks1 - ticks0 )) -v hz="$(getconf CLK_TCK)" \
            'BEGIN { printf "cpu_percent %.2f\n", ticks * 100 / hz / 10 }' >>"$3"
        "$WINE" build/x64/demo_helper.exe esc
        wait
    }
    if [[ " $parts " == *" soak "* ]]; then
        echo "bench: soak, $soak_seconds s at 100 reports a second, a fifth of that at 1000"
        driver soak "$soak_seconds" 100 >"$out/soak-100" || echo "bench: the soak at 100 failed"
        driver soak $((soak_seconds / 5)) 1000 >"$out/soak-1000" || echo "bench: the soak at 1000 failed"
    fi
    if [[ " $parts " == *" race "* ]]; then
        echo "bench: racing teardowns, $races runs of each road"
        for road in "${roads[@]}"; do
            driver race "$road" "$races" >"$out/race-$road" || echo "bench: the $road race failed"
        done
    fi
    [[ " $parts " == *" live "* ]] || exit 0
    rm -f "$out"/startup "$out"/latency* "$out"/memory "$out"/cpu* "$out"/rate-*
    # Each run measures through the real library and Wine's HID stack too, right after the
    # simulated remote, so that the two meet the same machine.
    wine_install_virtremote
    for _ in $(seq "$runs"); do
        driver startup >>"$out/startup"
        driver latency >>"$out/latency"
        driver memory >>"$out/memory"
        measure_cpu build/x64/simremote/ir-sensor-test.exe 'simremote.ir-sensor-test.exe' "$out/cpu"
        driver latency stack >>"$out/latency-stack"
        wine_virtremote configure "" "" >/dev/null
        measure_cpu build/x64/ir-sensor-test.exe 'x64.ir-sensor-test.exe' "$out/cpu-stack"
    done
    for rate in 1000 2000 5000 10000 20000 50000; do
        for _ in $(seq "$runs"); do driver rate "$rate" >>"$out/rate-$rate"; done
    done
    exit 0
fi

source scripts/wine-env.sh build/x64
if [ "${1:-}" != "--report" ]; then
    scripts/bootstrap.sh
    cmake --preset x86 >/dev/null && cmake --build --preset x86 >/dev/null
    cmake --preset x64 >/dev/null && cmake --build --preset x64 >/dev/null
    wine_prepare_prefix
    trap 'wine_end_session; wine_end_virtual_screen' EXIT
    wine_virtual_screen
    "$0" --measure
fi
runs=$(grep -c '^start_to_live_ms ' build/bench/startup 2>/dev/null) || runs=0

# "median (min-max)" of one named figure in a file of "name value" lines.
summary() {
    grep "^$2 " "build/bench/$1" | awk '{print $2}' | sort -g | awk '
        { v[NR] = $1 }
        function show(x) { return sprintf(x >= 100 ? "%.0f" : "%.3g", x) }
        END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
              printf "%s (%s–%s)", show(m), show(v[1]), show(v[NR]) }'
}
median() { summary "$@" | cut -d' ' -f1; }

kib() { echo "$(( ($(stat -c %s "$1") + 512) / 1024 )) KiB"; }
mib() { awk -v b="$1" 'BEGIN { printf "%.1f MiB", b / 1048576 }'; }

table="The live-view figures were not measured in this run."
if [ "$runs" -gt 0 ]; then
kept_up=none
rate_rows=""
for rate in 1000 2000 5000 10000 20000 50000; do
    delivered=$(median "rate-$rate" rate_delivered_per_s)
    dropped=$(median "rate-$rate" rate_dropped_per_s)
    answer=$(median "rate-$rate" rate_answer_p99_ms)
    # Keeping up: at least 99 % of the reports read, and the window answering within 50 ms.
    if awk -v d="$delivered" -v r="$rate" -v a="$answer" 'BEGIN { exit !(d >= 0.99 * r && a < 50) }'
    then kept_up=$rate; fi
    rate_rows+="| $rate a second | $(summary "rate-$rate" rate_delivered_per_s) read a second, \
$(summary "rate-$rate" rate_dropped_per_s) dropped a second; \
window answers in $(summary "rate-$rate" rate_answer_p99_ms) ms (p99) | |"$'\n'
done

table="| Figure | Measured: median (min–max) over $runs runs | Goal |
|---|---|---|
| Start to live: process start to the reader's first read | $(summary startup start_to_live_ms) ms | within 50 ms of the floor |
| Open to live: the remote's open to the reader's first read | $(summary startup open_to_live_ms) ms | |
| Floor: the program's own waits (probe 100, set-up 2 × 200, reader 500) | $(median startup floor_ms) ms | |
| Wine's process start, before the open | $(summary startup process_start_to_open_ms) ms | |
| CPU at 100 reports a second, four objects moving (10 s window) | $(summary cpu cpu_percent) % of one core | at most 1 % |
| Report-to-pixel latency, p50 (220 moves a run) | $(summary latency latency_p50_ms) ms | |
| Report-to-pixel latency, p99 | $(summary latency latency_p99_ms) ms | under 5 ms |
| Pixel polling rate of the driver | $(summary latency poll_rate_hz) Hz | at least 1 kHz |
| Through the HID stack: CPU at 100 reports a second, four objects moving | $(summary cpu-stack cpu_percent) % of one core: $(awk -v s="$(median cpu-stack cpu_percent)" -v d="$(median cpu cpu_percent)" 'BEGIN { printf "%.2f", s / d }') × the simulated remote's (medians) | at most 1.2 × the simulated remote's |
| Through the HID stack: device's hand-over to pixel, p50 | $(summary latency-stack latency_p50_ms) ms | |
| Through the HID stack: device's hand-over to pixel, p99 | $(summary latency-stack latency_p99_ms) ms | under 5 ms |
| Highest rate kept up with (99 % read, window answers within 50 ms p99) | $kept_up reports a second | at least 10 000 |
${rate_rows}| i686 ir-sensor-test.exe / tiny_hid_dll.dll | $(kib build/x86/ir-sensor-test.exe) / $(kib build/x86/tiny_hid_dll.dll) | |
| Private bytes while streaming | $(mib "$(median memory private_bytes)") | |
| Working set while streaming | $(mib "$(median memory working_set_bytes)") | |"
fi

# One figure of a soak or race file, or "–" where it was not measured.
figure() { awk -v k="$2" '$1 == k { v = $2 } END { print (v == "" ? "–" : v) }' \
    "build/bench/$1" 2>/dev/null || echo "–"; }
soak_row() {
    local f=$1
    [ "$(figure "$f" soak_rate)" != "–" ] || { echo "| ${f#soak-} a second | not measured | | | | |"; return; }
    local gdi="$(figure "$f" soak_gdi_first), range $(figure "$f" soak_gdi_range)"
    [ "$(figure "$f" soak_gdi_first)$(figure "$f" soak_gdi_range)" = "00" ] &&
        gdi="not readable under Wine (reads 0)"
    echo "| $(figure "$f" soak_rate) a second, $(figure "$f" soak_minutes) min \
| $(mib "$(figure "$f" soak_private_bytes_first)"), range $(figure "$f" soak_private_bytes_range) B, \
trend $(figure "$f" soak_private_bytes_per_min) B/min \
| $(figure "$f" soak_handles_first), range $(figure "$f" soak_handles_range) | $gdi \
| $(figure "$f" soak_delivered) / $(figure "$f" soak_dropped) \
| $( [ "$(figure "$f" soak_window_answers)" = 1 ] && echo yes || echo no) |"
}
soak="| Soak | Private bytes from the first minute on | Handles | GDI objects \
| Reports read / dropped while streaming | Window answers at the end |
|---|---|---|---|---|---|
$(soak_row soak-100)
$(soak_row soak-1000)"
race="| Road | Runs | Hangs | Runs without exactly one teardown | Exit code other than 0 |
|---|---|---|---|---|"
for road in "${roads[@]}"; do
    race+=$'\n'"| $road | $(figure "race-$road" race_runs) | $(figure "race-$road" race_hangs) \
| $(figure "race-$road" race_bad_teardowns) | $(figure "race-$road" race_bad_exits) |"
done

echo "$table"
echo "$soak"
echo "$race"
# The tests' own times are measured by the test legs, not here: kept as they stand.
test_times=$(sed -n '/^## The tests. own times/,$p' docs/benchmarks.md 2>/dev/null || true)
{
    echo "# Benchmarks"
    echo
    echo "Measured by \`scripts/bench.sh\` on $(date -u +%Y-%m-%d), on the 2-core build machine: the"
    echo "x86_64 program under Wine $($WINE --version | sed 's/wine-//') with Xvfb, beside the simulated remote."
    echo
    echo "$table"
    echo
    cat <<'STACK'
The rows "through the HID stack" run the same program with the real `tiny_hid_dll.dll`, which
finds the virtual remote (a HID minidriver, `rig/virtremote/`) with SetupAPI and reads it through
Wine's HID class driver, in the same runs as the rows beside the simulated remote. Their latency
runs from the moment the device hands a report to the class driver (the time in its log, on the
system clock, which the benchmark's driver sets against its own) to the pixel on screen: the class
driver, Wine's server, the library's overlapped read and the paint are all inside it. Their CPU is
the program's alone, like the row above it; the Wine device host that runs the driver is not
counted.

Since 2026-12-11 the simulated remote is the shipped HID library itself over a simulated stack
(`rig/simremote/sim_stack.cpp`), no longer a DLL of its own: the rows beside it run the library's
search, link, reads and capture as they ship. A read whose report is due completes at once, as
a class driver completes one from the reports it holds; a read that must wait is completed by
the stack's thread when its report falls due, so a reader that keeps up wakes on an event set
by another thread, where the old DLL waited in the reader's own thread. Each report now costs
what the shipped library's overlapped read costs under Wine (the event reset, the read, the wait:
round trips to Wine's server, shared with the painting), and the stack's hand-over on top: the
likely reason, not yet profiled, why the rates beside the simulated remote fell from 10 000 a
second kept up with (on 2026-12-09, with the old DLL) to none. At 1000 a second the reader now
falls more than 32 reports behind at times, and the window answers in about 10 ms (p99) rather
than 1.5. The program itself did not change. Its
soak counts 4 more handles (the stack's thread and events, the library's link events) and about
1.4 MiB more private bytes (the stack's threads).

STACK
    echo "## Soak"
    echo
    cat <<'SOAK'
The program streams the demo's four moving objects for 10 minutes at 100 reports a second, then
for 2 minutes at 1000; the simulated remote samples the program's resources from inside its
process every 10 s (another process reads none of them under Wine). Goal: no growth after the
first minute, and no report dropped at 100 a second. Reports count from 2 s after the open: during
the set-up nothing reads, by design, and the remote drops what piles up beyond 32, as a HID
driver's input buffer would. The trend is the least-squares slope of the samples after the first
minute; handles are counted by probing the handle table, as Wine reads `GetProcessHandleCount` as 0.
Wine reads GDI objects (`GetGuiResources`) as 0 too; but there each GDI object lives on the
process's heap, so one lost a paint (100 paints a second) would show as steady growth of the
private bytes, and would exhaust Wine's GDI handle table within minutes, after which no cross
would be drawn.

SOAK
    echo "$soak"
    echo
    echo "## Racing teardowns"
    echo
    cat <<'RACE'
Each road asks for the teardown twice at about the same moment, about 1.6 s after the open with
the view live: `esc-home` posts Esc as the remote reports Home; `home-esc` posts Esc 15 ms after
Home; `close-home` clicks the close box while Home is held (every report carries it until the
end); `esc-esc` posts Esc twice back to back. A run hangs when the program has not ended 15 s
later; a teardown is exactly one `12 00 30` and one close in the remote's log.

RACE
    echo "$race"
    echo
    echo "## Footprint"
    echo
    echo "The release binaries are stripped, compiled for size (\`-Os\`) and linked with unused"
    echo "functions dropped (\`-ffunction-sections\`, \`--gc-sections\`); they import only Windows'"
    echo "own DLLs. i686 \`ir-sensor-test.exe\` + \`tiny_hid_dll.dll\`: before, 119 + 91 KiB (most of"
    echo "it the runtime's debug information); now $(kib build/x86/ir-sensor-test.exe) +"
    echo "$(kib build/x86/tiny_hid_dll.dll). Goal: at most 100 KB together."
    cat <<'NOTES'

## Where a goal is missed, and why

- **Start to live.** The program's own part is the open-to-live line: a few milliseconds above the
  floor its waits set. The rest is Wine starting a process and loading its DLLs before the
  program opens the remote (the "Wine's process start" line): Wine's cost, not the program's,
  and not measured on Windows here.
- **CPU.** A profile of the streaming program (`perf record` on the Wine process) puts about 85 %
  of its time in the UI thread and almost all of that in Wine: system calls and context switches
  for its server round trips (each paint is several), its own GDI code and the copy of the window
  to the X server. The program's code does not show in the profile. The program repaints the whole
  window, with erasing, for every report in which object 0 or 1 is seen, 100 times a second, and
  that is what it is meant to do; under Wine each such paint costs a few hundred microseconds.
- **Report rate.** A rate counts as kept up with when at least 99 % of the reports are read and
  the window answers `WM_NULL` within 50 ms (p99). The reports dropped at the highest rates are
  those the simulated remote throws away once the reader is more than 32 behind, as a HID driver's
  input buffer would.
NOTES
    [ -z "$test_times" ] || printf '\n%s\n' "$test_times"
} >docs/benchmarks.md
echo "bench: written to docs/benchmarks.md"
