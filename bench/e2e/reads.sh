# Figures 3 and 7: GET /api/runs with 200 runs held, against one nginx worker serving the same
# bytes as a static file; then overload: POST /ingest of a body of OVERLOAD_BODY_BYTES (all its
# events duplicates after the first push: parsed, normalised and fingerprinted, then dropped) at
# four times its saturating rate. A push costs the server far more than the client, so that the
# client can offer several times what the server can take on the shared cores.

# Wall seconds of each wrk measurement, and its connections (one wrk thread).
READS_SECONDS=10
READS_CONNECTIONS=8
OVERLOAD_SECONDS=${OVERLOAD_SECONDS:-30}
# Overload probes last this long while the connection count is being found.
OVERLOAD_PROBE_SECONDS=5
OVERLOAD_BODY_BYTES=131072

bench_read_figures() {
  local dir="$BENCH_WORK/reads" port nginx_port r mon=() ngx=() mon_rps ngx_rps
  mkdir -p "$dir/www"
  # nginx workers run as an unprivileged user: the served folder must be readable to them.
  chmod a+rx "$BENCH_WORK" "$dir" "$dir/www"
  # Two bodies of about 184 runs each: the run cap keeps the 200 most recently seen.
  for seed in 5001 5002; do
    "$BENCH_BUILD/torvesk-runner-sim" --write-batch "$dir/batch-$seed.ndjson" --seed "$seed" >/dev/null
  done
  port=$(bench_free_port)
  bench_start_monitor "$port" "$dir/data"
  bench_wait_ready "$port"
  bench_push "$port" "$dir"/batch-*.ndjson >/dev/null
  local url="http://127.0.0.1:$port/api/runs"
  curl -s -o "$dir/www/runs.json" "$url"
  local runs
  runs=$(grep -o '"run_id"' "$dir/www/runs.json" | wc -l)
  nginx_port=$(bench_free_port)
  bench_start_nginx "$nginx_port" "$dir/www"
  local nginx_url="http://127.0.0.1:$nginx_port/runs.json"
  curl -s -o "$dir/nginx-copy.json" "$nginx_url"
  cmp -s "$dir/nginx-copy.json" "$dir/www/runs.json" || { echo "nginx serves other bytes" >&2; cat "$BENCH_WORK"/nginx-*/logs/* >&2; return 1; }

  for r in $(seq 1 "$BENCH_REPEAT"); do
    mon+=("$(bench_wrk_rate "$READS_SECONDS" "$READS_CONNECTIONS" "$url")")
    ngx+=("$(bench_wrk_rate "$READS_SECONDS" "$READS_CONNECTIONS" "$nginx_url")")
    bench_note "round $r: monitor ${mon[-1]}; nginx ${ngx[-1]} (req/s p99_ms non2xx)"
  done
  mon_rps=$(printf '%s\n' "${mon[@]}" | awk '{print $1}' | bench_median)
  ngx_rps=$(printf '%s\n' "${ngx[@]}" | awk '{print $1}' | bench_median)
  if want 3; then
    printf 'figure 3  GET /api/runs (%d runs, %d bytes), keep-alive, %d connections: %.0f req/s, p99 %.2f ms; nginx %.0f req/s, p99 %.2f ms: ratio %.2f  (target >= 0.8)\n' \
      "$runs" "$(stat -c %s "$dir/www/runs.json")" "$READS_CONNECTIONS" "$mon_rps" \
      "$(printf '%s\n' "${mon[@]}" | awk '{print $2}' | bench_median)" "$ngx_rps" \
      "$(printf '%s\n' "${ngx[@]}" | awk '{print $2}' | bench_median)" \
      "$(bench_calc "$mon_rps / $ngx_rps")"
  fi
  bench_stop "$NGINX_PID"
  if want 7; then overload_figure "$port"; fi
  bench_stop "$MONITOR_PID"
}

# Figure 7: wrk (two threads) with as many connections as it takes to offer at least four times
# the saturating rate, for OVERLOAD_SECONDS; meanwhile e2e_latency_probe sends the same push every
# 10 ms on a connection of its own and times the busy answers.
overload_figure() {
  local port=$1 dir="$BENCH_WORK/reads" script rss_before rss_after connections=64 line offered
  local url="http://127.0.0.1:$port" saturating body="$dir/overload.ndjson"
  script="$(dirname "${BASH_SOURCE[0]}")/overload.lua"
  "$BENCH_BUILD/torvesk-runner-sim" --write-batch "$body" --seed 7001 --bytes "$OVERLOAD_BODY_BYTES" >/dev/null
  local rates=() r
  for r in $(seq 1 "$BENCH_REPEAT"); do
    line=$(wrk -t2 -c"$READS_CONNECTIONS" -d"$READS_SECONDS"s -s "$script" "$url" -- "$body" | grep '^overload:')
    rates+=("$(bench_calc "$(bench_field status_200 "$line") / $(bench_field seconds "$line")")")
  done
  saturating=$(printf '%s\n' "${rates[@]}" | bench_median)
  bench_note "push of $(stat -c %s "$body") bytes: saturating at $saturating req/s"
  sleep 2
  rss_before=$(bench_rss_kib "$MONITOR_PID")
  # Doubles the connections until the offered rate reaches four times the saturating rate; when
  # more connections stop adding to it first, the count that offered the most is kept.
  local best_connections=$connections best_offered=0
  while :; do
    line=$(wrk -t2 -c"$connections" -d"$OVERLOAD_PROBE_SECONDS"s --timeout 10s -s "$script" "$url" -- "$body" | grep '^overload:')
    offered=$(bench_calc "$(bench_field requests "$line") / $(bench_field seconds "$line")")
    bench_note "probe, $connections connections: $offered req/s offered ($(bench_calc "$offered / $saturating") x saturating)"
    if [ "$(bench_calc "$offered > $best_offered")" = 1 ]; then
      best_offered=$offered
      best_connections=$connections
    fi
    if [ "$(bench_calc "$offered >= 4 * $saturating")" = 1 ]; then break; fi
    if [ "$(bench_calc "$offered < $best_offered")" = 1 ] || [ "$connections" -ge 1024 ]; then
      connections=$best_connections
      break
    fi
    connections=$((connections * 2))
  done
  "$BENCH_BUILD/bench/e2e/e2e_latency_probe" --port "$port" --body "$body" \
    --seconds "$OVERLOAD_SECONDS" >"$dir/probe.out" &
  local probe_pid=$!
  BENCH_STARTED_PIDS+=("$probe_pid")
  line=$(wrk -t2 -c"$connections" -d"$OVERLOAD_SECONDS"s --timeout 10s -s "$script" "$url" -- "$body" | grep '^overload:')
  wait "$probe_pid"
  local probe
  probe=$(cat "$dir/probe.out")
  sleep 3
  rss_after=$(bench_rss_kib "$MONITOR_PID")
  offered=$(bench_calc "$(bench_field requests "$line") / $(bench_field seconds "$line")")
  local statuses others
  statuses=$(tr ' ' '\n' <<<"$line" | grep '^status_' | sed 's/^status_//' | tr '\n' ' ')
  others=$(tr ' ' '\n' <<<"$line" | grep '^status_' | grep -c -v -e '^status_200=' -e '^status_503=' || true)
  others=$((others + $(bench_field other "$probe")))
  local errors=0 kind
  for kind in connect read write timeout; do
    errors=$((errors + $(bench_field "errors_$kind" "$line")))
  done
  printf 'figure 7  overload (POST /ingest, %d bytes), %d connections for %d s: %.0f req/s = %.1f x saturating (%.0f); statuses %s+ probe 200=%d 503=%d (others: %d, socket errors: %d); p99 of 503 %.1f ms (probe, p50 %.1f, max %.1f); RSS %.1f MB before, %.1f MB after: ratio %.2f  (target: only 200/503, p99 <= 10 ms, RSS back)\n' \
    "$(stat -c %s "$body")" "$connections" "$OVERLOAD_SECONDS" "$offered" \
    "$(bench_calc "$offered / $saturating")" "$saturating" "$statuses" \
    "$(bench_field status_200 "$probe")" "$(bench_field status_503 "$probe")" "$others" "$errors" \
    "$(bench_field p99_503_ms "$probe")" "$(bench_field p50_503_ms "$probe")" \
    "$(bench_field max_503_ms "$probe")" "$(bench_calc "$rss_before / 1024")" \
    "$(bench_calc "$rss_after / 1024")" "$(bench_calc "$rss_after / $rss_before")"
}
