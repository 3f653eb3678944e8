# Figure 5: resident memory of a monitor holding MEMORY_EVENTS distinct events, against the
# canonical bytes of those events. Sourced by bench/run-all.

MEMORY_EVENTS=1000000

bench_memory_figure() {
  local dir="$BENCH_WORK/memory" port seed=3000 lines=0 file want rss_empty rss held canonical
  mkdir -p "$dir"
  local bodies=()
  while [ "$lines" -lt "$MEMORY_EVENTS" ]; do
    seed=$((seed + 1))
    file="$dir/batch-$seed.ndjson"
    "$BENCH_BUILD/torvesk-runner-sim" --write-batch "$file" --seed "$seed" >/dev/null
    want=$((MEMORY_EVENTS - lines))
    if [ "$(wc -l <"$file")" -gt "$want" ]; then
      head -n "$want" "$file" >"$file.part"
      mv "$file.part" "$file"
    fi
    lines=$((lines + $(wc -l <"$file")))
    bodies+=("$file")
  done
  port=$(bench_free_port)
  # Runs of the simulator hold about 200 events each: the run cap must not drop any of them.
  bench_start_monitor "$port" "$dir/data" MONITOR_MAX_RUNS=1000000
  bench_wait_ready "$port"
  rss_empty=$(bench_rss_kib "$MONITOR_PID")
  bench_push "$port" "${bodies[@]}" >/dev/null
  sleep 1
  rss=$(($(bench_rss_kib "$MONITOR_PID") * 1024))
  held=$(curl -s "http://127.0.0.1:$port/api/runs" | grep -o '"events":[0-9]*' | cut -d: -f2 |
    awk '{ s += $1 } END { print s }')
  # Every event was accepted and none dropped: the log files hold exactly the held texts, each
  # followed by a line feed.
  canonical=$(($(cat "$dir"/data/*.ndjson | wc -c) - held))
  bench_stop "$MONITOR_PID"
  printf 'figure 5  memory: RSS %.1f MB (empty monitor %.1f MB) holding %d events of %.1f MB canonical text: %.2f x canonical, or 1.4 x canonical + %.1f B/event; ratio to the budget 1.4 x canonical + 32 B/event %.2f  (target <= 1)\n' \
    "$(bench_calc "$rss / 1e6")" "$(bench_calc "$rss_empty / 1024")" "$held" \
    "$(bench_calc "$canonical / 1e6")" "$(bench_calc "$rss / $canonical")" \
    "$(bench_calc "($rss - 1.4 * $canonical) / $held")" \
    "$(bench_calc "$rss / (1.4 * $canonical + 32 * $held)")"
}
