# Figures 1, 2 and 6: ingest over HTTP by one and by four clients, against the in-process
# pipeline on the same bodies; start-up from the log files the one-client run wrote.
# Sourced by bench/run-all (BATCHES, FIGURES and want() come from there).

# One monitor, CLIENTS connections, every batch once. Prints "mbps eps cpu_s_per_gb data_dir".
ingest_once() {
  local clients=$1 tag=$2 port data line cpu0 cpu1 seconds bytes events
  port=$(bench_free_port)
  data="$BENCH_WORK/data-$tag"
  bench_start_monitor "$port" "$data"
  bench_wait_ready "$port"
  bench_flush_files
  cpu0=$(bench_cpu_seconds "$MONITOR_PID")
  line=$("$BENCH_BUILD/bench/e2e/e2e_ingest_client" --port "$port" --clients "$clients" "${BATCHES[@]}")
  cpu1=$(bench_cpu_seconds "$MONITOR_PID")
  bench_stop "$MONITOR_PID"
  [ "$(bench_field failed "$line")" = 0 ] || { echo "ingest failed: $line" >&2; return 1; }
  seconds=$(bench_field seconds "$line")
  bytes=$(bench_field bytes "$line")
  events=$(bench_field events "$line")
  echo "$(bench_calc "$bytes / 1e6 / $seconds") $(bench_calc "$events / $seconds")" \
    "$(bench_calc "($cpu1 - $cpu0) / ($bytes / 1e9)") $data"
}

# The same bodies through ingest_batch in-process, log files in a fresh folder. Prints "mbps".
pipeline_once() {
  local tag=$1 line
  mkdir -p "$BENCH_WORK/pipeline-$tag"
  bench_flush_files
  line=$("$BENCH_BUILD/bench/e2e/e2e_pipeline_ceiling" "$BENCH_WORK/pipeline-$tag" "${BATCHES[@]}")
  bench_calc "$(bench_field bytes "$line") / 1e6 / $(bench_field seconds "$line")"
}

bench_ingest_figures() {
  local r one=() four=() pipe=() one_mbps one_eps one_cpu four_mbps pipe_mbps last_data=""
  local result
  bench_settle_files
  for r in $(seq 1 "$BENCH_REPEAT"); do
    pipe+=("$(pipeline_once "$r")")
    result=$(ingest_once 1 "one-$r")
    one+=("$result")
    last_data=${result##* }
    if want 2; then four+=("$(ingest_once 4 "four-$r")"); fi
    bench_note "round $r: pipeline ${pipe[-1]} MB/s; one client ${one[-1]% *}${four:+; four clients ${four[-1]% *}}"
  done
  pipe_mbps=$(printf '%s\n' "${pipe[@]}" | bench_median)
  one_mbps=$(printf '%s\n' "${one[@]}" | awk '{print $1}' | bench_median)
  one_eps=$(printf '%s\n' "${one[@]}" | awk '{print $2}' | bench_median)
  one_cpu=$(printf '%s\n' "${one[@]}" | awk '{print $3}' | bench_median)
  if want 1; then
    printf 'figure 1  ingest, 1 client: %.0f MB/s, %.0f events/s, server %.2f CPU-s/GB; in-process pipeline %.0f MB/s: ratio %.2f  (target >= 200 MB/s, >= 0.75)\n' \
      "$one_mbps" "$one_eps" "$one_cpu" "$pipe_mbps" "$(bench_calc "$one_mbps / $pipe_mbps")"
  fi
  if want 2; then
    four_mbps=$(printf '%s\n' "${four[@]}" | awk '{print $1}' | bench_median)
    printf 'figure 2  ingest, 4 clients: %.0f MB/s, %.0f events/s, server %.2f CPU-s/GB: ratio %.2f to figure 1  (target >= 1.5)\n' \
      "$four_mbps" "$(printf '%s\n' "${four[@]}" | awk '{print $2}' | bench_median)" \
      "$(printf '%s\n' "${four[@]}" | awk '{print $3}' | bench_median)" \
      "$(bench_calc "$four_mbps / $one_mbps")"
  fi
  if want 6; then
    startup_figure "$last_data" "$one_mbps"
  fi
}

# Figure 6: a fresh monitor on the one-client run's data folder; time until it answers.
startup_figure() {
  local data=$1 one_mbps=$2 bytes files r port start end times=() seconds
  bytes=$(find "$data" -name '*.ndjson' -printf '%s\n' | awk '{ s += $1 } END { print s }')
  files=$(find "$data" -name '*.ndjson' | wc -l)
  for r in $(seq 1 "$BENCH_REPEAT"); do
    port=$(bench_free_port)
    bench_flush_files
    start=$(date +%s.%N)
    bench_start_monitor "$port" "$data"
    bench_wait_ready "$port" 600
    end=$(date +%s.%N)
    bench_stop "$MONITOR_PID"
    times+=("$(bench_calc "$end - $start")")
    bench_note "start-up $r: ${times[-1]} s"
  done
  seconds=$(printf '%s\n' "${times[@]}" | bench_median)
  printf 'figure 6  start-up: %.2f s to load %.0f MB in %d log files = %.0f MB/s: ratio %.2f to figure 1  (target >= 0.75)\n' \
    "$seconds" "$(bench_calc "$bytes / 1e6")" "$files" "$(bench_calc "$bytes / 1e6 / $seconds")" \
    "$(bench_calc "$bytes / 1e6 / $seconds / $one_mbps")"
}
