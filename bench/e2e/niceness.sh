# Figure 8: the monitor beside busy neighbours. Ingest (one client, the figure's batches) and
# reads (GET /api/runs with wrk) while one CPU-bound process per core runs at niceness 0, with the
# monitor's threads other than the receiving one at niceness 10 and at niceness 0, against the
# same monitor on a quiet machine in the same run. Sourced by bench/run-all (BATCHES from there).

# Every thread of PID but the receiving (main) one to niceness NICE.
renice_helpers_of() {
  local pid=$1 nice=$2 task
  for task in /proc/"$pid"/task/*; do
    [ "${task##*/}" = "$pid" ] && continue
    renice -n "$nice" -p "${task##*/}" >/dev/null 2>&1 || true
  done
}

# One CPU-bound process per core at niceness 0, each ending by itself after SECONDS.
start_neighbours() {
  local seconds=$1 _
  NEIGHBOUR_PIDS=()
  for _ in $(seq 1 "$(nproc)"); do
    nice -n 0 timeout "$seconds" sh -c 'while :; do :; done' &
    NEIGHBOUR_PIDS+=("$!")
    BENCH_STARTED_PIDS+=("$!")
  done
}

stop_neighbours() {
  local pid
  for pid in "${NEIGHBOUR_PIDS[@]}"; do bench_stop "$pid"; done
  NEIGHBOUR_PIDS=()
}

# niceness_once NICE BUSY(0|1) TAG: prints "ingest_mbps reads_per_s".
niceness_once() {
  local nice=$1 busy=$2 tag=$3 port line reads
  port=$(bench_free_port)
  bench_start_monitor "$port" "$BENCH_WORK/nice-$tag"
  bench_wait_ready "$port"
  # Workers and helpers start at the monitor's own setting; set them to the variant's.
  renice_helpers_of "$MONITOR_PID" "$nice"
  [ "$busy" = 1 ] && start_neighbours 300
  line=$(bench_push "$port" "${BATCHES[@]:0:16}")
  reads=$(bench_wrk_rate 5 8 "http://127.0.0.1:$port/api/runs" | awk '{print $1}')
  [ "$busy" = 1 ] && stop_neighbours
  bench_stop "$MONITOR_PID"
  [ "$(bench_field failed "$line")" = 0 ] || { echo "ingest failed: $line" >&2; return 1; }
  echo "$(bench_calc "$(bench_field bytes "$line") / 1e6 / $(bench_field seconds "$line")") $reads"
}

bench_niceness_figure() {
  local r quiet=() busy10=() busy0=() q10 b10 b0 column
  for r in $(seq 1 "$BENCH_REPEAT"); do
    quiet+=("$(niceness_once 10 0 "quiet-$r")")
    busy10+=("$(niceness_once 10 1 "busy10-$r")")
    busy0+=("$(niceness_once 0 1 "busy0-$r")")
    bench_note "round $r (ingest MB/s, reads/s): quiet ${quiet[-1]}; busy, niceness 10: ${busy10[-1]}; busy, niceness 0: ${busy0[-1]}"
  done
  for column in 1 2; do
    q10=$(printf '%s\n' "${quiet[@]}" | awk -v c="$column" '{print $c}' | bench_median)
    b10=$(printf '%s\n' "${busy10[@]}" | awk -v c="$column" '{print $c}' | bench_median)
    b0=$(printf '%s\n' "${busy0[@]}" | awk -v c="$column" '{print $c}' | bench_median)
    printf 'figure 8  %s beside %s busy processes: niceness 10 %.0f, niceness 0 %.0f; quiet %.0f: ratios %.2f and %.2f\n' \
      "$([ "$column" = 1 ] && echo 'ingest MB/s' || echo 'GET /api/runs req/s')" "$(nproc)" \
      "$b10" "$b0" "$q10" "$(bench_calc "$b10 / $q10")" "$(bench_calc "$b0 / $q10")"
  done
}
