# Figure 9: ingest of compressed pushes. One client pushes the figure's batches once plain and once
# compressed (Content-Encoding: gzip), alternating, each to a fresh monitor; the figure is MB/s of
# decompressed events, gzip against plain in the same run. Sourced by bench/run-all.

gzip_once() {
  local flag=$1 tag=$2 port line
  port=$(bench_free_port)
  bench_start_monitor "$port" "$BENCH_WORK/gzip-$tag"
  bench_wait_ready "$port"
  bench_flush_files
  line=$(bench_push "$port" $flag "${BATCHES[@]:0:32}")
  bench_stop "$MONITOR_PID"
  [ "$(bench_field failed "$line")" = 0 ] || { echo "ingest failed: $line" >&2; return 1; }
  echo "$(bench_calc "$(bench_field bytes "$line") / 1e6 / $(bench_field seconds "$line")")" \
    "$(bench_calc "$(bench_field bytes "$line") / $(bench_field wire_bytes "$line")")"
}

bench_gzip_figure() {
  local r plain=() zipped=() plain_mbps zipped_mbps ratio
  for r in $(seq 1 "$BENCH_REPEAT"); do
    plain+=("$(gzip_once "" "plain-$r")")
    zipped+=("$(gzip_once --gzip "gzip-$r")")
    bench_note "round $r: plain ${plain[-1]% *} MB/s, gzip ${zipped[-1]% *} MB/s of events"
  done
  plain_mbps=$(printf '%s\n' "${plain[@]}" | awk '{print $1}' | bench_median)
  zipped_mbps=$(printf '%s\n' "${zipped[@]}" | awk '{print $1}' | bench_median)
  ratio=$(printf '%s\n' "${zipped[@]}" | awk '{print $2}' | bench_median)
  printf 'figure 9  ingest, 1 client, gzip (%.1fx smaller on the wire): %.0f MB/s of events; plain %.0f MB/s: ratio %.2f\n' \
    "$ratio" "$zipped_mbps" "$plain_mbps" "$(bench_calc "$zipped_mbps / $plain_mbps")"
}
