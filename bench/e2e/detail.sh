# Figure 4: the detail and the download of a run of DETAIL_RUN_EVENTS events: time to the last
# byte over HTTP against one nginx worker sending the same bytes, and the store lock's hold time
# (measured in-process by e2e_read_answers) against copying the same bytes into a fresh buffer.
# Sourced by bench/run-all.

DETAIL_RUN_EVENTS=50000
# Each answer is fetched this many times; the median is printed.
DETAIL_FETCHES=9

# Median "seconds bytes" of fetching URL with curl.
fetch_time() {
  local url=$1 i times=() bytes
  for i in $(seq 1 "$DETAIL_FETCHES"); do
    read -r t bytes < <(curl -s -o /dev/null -w '%{time_total} %{size_download}\n' "$url")
    times+=("$t")
  done
  echo "$(printf '%s\n' "${times[@]}" | bench_median) $bytes"
}

bench_detail_figure() {
  local dir="$BENCH_WORK/detail" port nginx_port run_id line
  mkdir -p "$dir/www"
  chmod a+rx "$BENCH_WORK" "$dir" "$dir/www"
  "$BENCH_BUILD/torvesk-runner-sim" --write-batch "$dir/all.ndjson" --seed 9001 \
    --events "$DETAIL_RUN_EVENTS" --bytes $((DETAIL_RUN_EVENTS * 400)) >/dev/null
  head -n "$DETAIL_RUN_EVENTS" "$dir/all.ndjson" >"$dir/run.ndjson"
  # Bodies within the default 8 MiB limit, cut at line ends.
  split -C 8000000 -d "$dir/run.ndjson" "$dir/piece-"
  run_id=$(head -n 1 "$dir/run.ndjson" | grep -o '"run_id":"[^"]*"' | head -n 1 | cut -d'"' -f4)

  line=$("$BENCH_BUILD/bench/e2e/e2e_read_answers" "$dir"/piece-*)
  bench_note "in-process: $line"

  port=$(bench_free_port)
  bench_start_monitor "$port" "$dir/data"
  bench_wait_ready "$port"
  bench_push "$port" "$dir"/piece-* >/dev/null
  local detail_url="http://127.0.0.1:$port/api/runs/$run_id"
  local download_url="http://127.0.0.1:$port/api/runs/$run_id/download"
  curl -s -o "$dir/www/detail.json" "$detail_url"
  curl -s -o "$dir/www/download.ndjson" "$download_url"
  nginx_port=$(bench_free_port)
  bench_start_nginx "$nginx_port" "$dir/www"

  local kind mon ngx bytes hold events copy
  events=$(bench_field run_events "$line")
  copy=$(bench_field copy_s "$line")
  for kind in detail download; do
    if [ "$kind" = detail ]; then
      mon=$(fetch_time "$detail_url")
      ngx=$(fetch_time "http://127.0.0.1:$nginx_port/detail.json")
    else
      mon=$(fetch_time "$download_url")
      ngx=$(fetch_time "http://127.0.0.1:$nginx_port/download.ndjson")
    fi
    bytes=${mon#* }
    hold=$(bench_field "${kind}_hold_s" "$line")
    printf 'figure 4  %-8s of a %d-event run (%.1f MB): last byte after %.1f ms = %.0f MB/s; nginx, same bytes: %.1f ms: ratio %.2f; store lock held <= %.2f ms = %.2f GB/s built under the lock; copy into a fresh buffer %.2f GB/s: ratio %.2f  (target >= 1 GB/s under the lock)\n' \
      "$kind" "$events" "$(bench_calc "$bytes / 1e6")" "$(bench_calc "${mon% *} * 1000")" \
      "$(bench_calc "$bytes / 1e6 / ${mon% *}")" "$(bench_calc "${ngx% *} * 1000")" \
      "$(bench_calc "${ngx% *} / ${mon% *}")" "$(bench_calc "$hold * 1000")" \
      "$(bench_calc "$(bench_field "${kind}_bytes" "$line") / 1e9 / $hold")" \
      "$(bench_calc "$(bench_field download_bytes "$line") / 1e9 / $copy")" \
      "$(bench_calc "$(bench_field "${kind}_bytes" "$line") / $hold / ($(bench_field download_bytes "$line") / $copy)")"
  done
  bench_stop "$NGINX_PID"
  bench_stop "$MONITOR_PID"
}
