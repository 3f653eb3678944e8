#!/usr/bin/env bash
# Figure 10: resident memory around one push of SHORT_RUNS one-event runs, each line naming a run
# of its own, while the default run cap keeps only 200 of them. Prints the RSS of the empty
# monitor, its peak during the push, the RSS right after the push was answered and at rest a few
# seconds later, each against the empty monitor and the body. Sourced by bench/run-all; run on its own it needs only curl and ss:
#
#   bench/e2e/short_runs.sh       (BENCH_BUILD: build folder with the monitor, default build/bench)

# Lines of the one body: about 7.7 MiB, under the default body limit of 8 MiB.
SHORT_RUNS=250000
# How long the monitor is left alone before the memory at rest is read.
SHORT_RUNS_REST_SECONDS=5

bench_short_runs_figure() {
  local dir="$BENCH_WORK/short-runs" data port body rss_empty rss_peak rss_pushed rss_rest body_bytes
  local held
  mkdir -p "$dir"
  # Every run gets a log file of its own: on a disk, creating 250000 files can take longer than the
  # push client waits for its answer, so they go to memory where a tmpfs is at hand.
  data="$dir/data"
  if [ -d /dev/shm ] && [ -w /dev/shm ]; then data=$(mktemp -d /dev/shm/torvesk-bench.XXXXXX); fi
  body="$dir/body.ndjson"
  # 32 bytes a line: an id of its own and a time, so no line is a duplicate of another.
  awk -v n="$SHORT_RUNS" 'BEGIN { for (i = 0; i < n; ++i) printf "{\"run_id\":\"r%06d\",\"ts\":%d}\n", i, 10000 + i % 90000 }' >"$body"
  body_bytes=$(stat -c %s "$body")
  port=$(bench_free_port)
  bench_start_monitor "$port" "$data"
  bench_wait_ready "$port"
  rss_empty=$(bench_rss_kib "$MONITOR_PID")
  bench_push "$port" "$body" >/dev/null
  rss_pushed=$(bench_rss_kib "$MONITOR_PID")
  rss_peak=$(awk '/^VmHWM:/ { print $2 }' "/proc/$MONITOR_PID/status")
  sleep "$SHORT_RUNS_REST_SECONDS"
  rss_rest=$(bench_rss_kib "$MONITOR_PID")
  held=$(curl -s "http://127.0.0.1:$port/api/runs" | grep -o '"run_id"' | wc -l)
  bench_stop "$MONITOR_PID"
  rm -rf "$data"
  printf 'figure 10 short runs: one body of %.1f MiB, %d one-event runs, %d held: RSS empty %.1f MB, peak %.1f MB (%.1f x empty, %.1f x body, %.0f B/run above empty), after the push %.1f MB (%.1f x empty), at rest %.1f MB (%.1f x empty, %.2f x body)\n' \
    "$(bench_calc "$body_bytes / 1048576")" "$SHORT_RUNS" "$held" \
    "$(bench_calc "$rss_empty / 1024")" "$(bench_calc "$rss_peak / 1024")" \
    "$(bench_calc "$rss_peak / $rss_empty")" "$(bench_calc "$rss_peak * 1024 / $body_bytes")" \
    "$(bench_calc "($rss_peak - $rss_empty) * 1024 / $SHORT_RUNS")" \
    "$(bench_calc "$rss_pushed / 1024")" "$(bench_calc "$rss_pushed / $rss_empty")" \
    "$(bench_calc "$rss_rest / 1024")" "$(bench_calc "$rss_rest / $rss_empty")" \
    "$(bench_calc "$rss_rest * 1024 / $body_bytes")"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  ROOT=$(cd "$(dirname "$0")/../.." && pwd)
  export BENCH_BUILD=${BENCH_BUILD:-$ROOT/build/bench}
  for tool in curl ss cmake ninja; do
    command -v "$tool" >/dev/null || { echo "short_runs.sh needs $tool" >&2; exit 2; }
  done
  if [ ! -f "$BENCH_BUILD/build.ninja" ]; then
    cmake -S "$ROOT" -B "$BENCH_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DTORVESK_BUILD_TESTS=OFF >/dev/null
  fi
  ninja -C "$BENCH_BUILD" torvesk-monitor e2e_ingest_client >/dev/null
  BENCH_WORK=$(mktemp -d /tmp/torvesk-bench.XXXXXX)
  export BENCH_WORK
  # shellcheck source=lib.sh
  source "$ROOT/bench/e2e/lib.sh"
  trap 'bench_stop_all; rm -rf "$BENCH_WORK"' EXIT
  trap 'exit 130' INT TERM
  bench_short_runs_figure
fi
