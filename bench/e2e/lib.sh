# Shared helpers of the end-to-end benchmarks; sourced by bench/run-all and the figure scripts.
# Expects BENCH_BUILD (build folder with the monitor and the bench programs) and BENCH_WORK (this
# run's scratch folder under /tmp). Every process started here is recorded and ended by its pid.

BENCH_STARTED_PIDS=()
BENCH_TICKS=$(getconf CLK_TCK)

bench_note() { printf '  # %s\n' "$*" >&2; }

# Writes the page cache's dirty data out before a timed run, so that the writeback of one run's
# log files does not take CPU from the next one.
bench_flush_files() { sync; }

# On ext4 without a journal, inodes freed in the last 30 seconds (five minutes more while their
# table is not yet written out) are skipped one by one when files are created: after a test run
# or an earlier benchmark deleted thousands of files, each new log file costs ten times as much
# for a while. Writes everything out and waits that time once, before the first timed ingest.
BENCH_SETTLE_SECONDS=${BENCH_SETTLE_SECONDS:-30}
bench_settle_files() {
  sync
  bench_note "waiting ${BENCH_SETTLE_SECONDS} s for recently deleted files to settle"
  sleep "$BENCH_SETTLE_SECONDS"
}

# A loopback TCP port no socket uses, below the range the system hands out to clients (the
# overload figure leaves thousands of client ports behind).
bench_free_port() {
  local port low
  low=$(awk '{ print $1 }' /proc/sys/net/ipv4/ip_local_port_range)
  for _ in $(seq 1 200); do
    port=$((10000 + RANDOM % (low - 10000)))
    if [ -z "$(ss -Htan "sport = :$port" 2>/dev/null)" ]; then
      echo "$port"
      return 0
    fi
  done
  echo "no free port" >&2
  return 1
}

# bench_start_monitor PORT DATA_DIR [NAME=VALUE...]: starts the monitor in insecure local mode with
# no per-client byte budget, the given extra environment and nothing else; sets MONITOR_PID.
bench_start_monitor() {
  local port=$1 data_dir=$2
  shift 2
  mkdir -p "$data_dir"
  env -i PATH="$PATH" HOME="$BENCH_WORK" MONITOR_INSECURE_LOCAL=1 MONITOR_DATA_DIR="$data_dir" \
    MONITOR_RATE_BYTES_PER_MIN=0 "$@" "$BENCH_BUILD/torvesk-monitor" "$port" \
    2>>"$BENCH_WORK/monitor-$port.err" &
  MONITOR_PID=$!
  BENCH_STARTED_PIDS+=("$MONITOR_PID")
}

# Waits (at most SECONDS, default 120) until GET /api/runs on PORT answers 200.
bench_wait_ready() {
  local port=$1 limit=${2:-120} deadline
  deadline=$(($(date +%s) + limit))
  while [ "$(date +%s)" -lt "$deadline" ]; do
    if [ "$(curl -s -o /dev/null -m 60 -w '%{http_code}' "http://127.0.0.1:$port/api/runs")" = 200 ]; then
      return 0
    fi
    sleep 0.02
  done
  echo "monitor on port $port did not answer; its error stream:" >&2
  tail -n 5 "$BENCH_WORK/monitor-$port.err" >&2
  return 1
}

# Ends one process this run started: TERM, then KILL after 5 s.
bench_stop() {
  local pid=$1
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

bench_stop_all() {
  local pid
  for pid in "${BENCH_STARTED_PIDS[@]}"; do
    kill -0 "$pid" 2>/dev/null && bench_stop "$pid"
  done
  BENCH_STARTED_PIDS=()
}

# User plus system CPU seconds a process has used so far.
bench_cpu_seconds() {
  awk -v tck="$BENCH_TICKS" '{ print ($14 + $15) / tck }' "/proc/$1/stat"
}

bench_rss_kib() {
  awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"
}

# The median of the numbers on standard input.
bench_median() {
  sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# The value of KEY in a "key=value key=value" line.
bench_field() {
  tr ' ' '\n' <<<"$2" | awk -F= -v key="$1" '$1 == key { print $2 }'
}

# bench_calc EXPRESSION: floating-point arithmetic with awk.
bench_calc() {
  awk "BEGIN { printf \"%.6g\", ($1) }"
}

# bench_start_nginx PORT ROOT: one nginx worker serving ROOT on PORT with keep-alive and the
# monitor's security headers; sets NGINX_PID.
bench_start_nginx() {
  local port=$1 root=$2 prefix="$BENCH_WORK/nginx-$1"
  mkdir -p "$prefix/logs" "$prefix/tmp"
  cat >"$prefix/nginx.conf" <<EOF
daemon off;
worker_processes 1;
pid $prefix/nginx.pid;
error_log $prefix/logs/error.log error;
events { worker_connections 4096; }
http {
  access_log off;
  client_body_temp_path $prefix/tmp;
  proxy_temp_path $prefix/tmp;
  fastcgi_temp_path $prefix/tmp;
  uwsgi_temp_path $prefix/tmp;
  scgi_temp_path $prefix/tmp;
  sendfile on;
  tcp_nopush on;
  keepalive_requests 100000000;
  keepalive_timeout 60s;
  types { application/json json; application/x-ndjson ndjson; }
  server {
    listen 127.0.0.1:$port;
    root $root;
    add_header Content-Security-Policy "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; connect-src 'self'; img-src 'self' data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'" always;
    add_header X-Content-Type-Options nosniff always;
    add_header X-Frame-Options DENY always;
    add_header Referrer-Policy no-referrer always;
    add_header Cache-Control no-store always;
  }
}
EOF
  nginx -p "$prefix" -c "$prefix/nginx.conf" 2>>"$prefix/logs/stderr" &
  NGINX_PID=$!
  BENCH_STARTED_PIDS+=("$NGINX_PID")
  for _ in $(seq 1 200); do
    [ -n "$(ss -Hltn "sport = :$port" 2>/dev/null)" ] && return 0
    sleep 0.02
  done
  echo "nginx did not start" >&2
  return 1
}

# bench_wrk_rate SECONDS CONNECTIONS URL: "requests_per_s p99_ms" of one wrk run (one thread).
bench_wrk_rate() {
  local out
  out=$(wrk -t1 -c"$2" -d"$1"s --latency "$3")
  awk '
    /^Requests\/sec:/ { rps = $2 }
    /^ +99%/ { v = $2; if (v ~ /us$/) ms = v / 1000; else if (v ~ /ms$/) ms = v + 0; else if (v ~ /s$/) ms = v * 1000; }
    /Non-2xx/ { bad = $NF }
    END { printf "%s %s %s\n", rps, ms, bad + 0 }' <<<"$out"
}

# bench_push PORT FILE...: pushes every file once over one connection; prints the client's line.
bench_push() {
  local port=$1
  shift
  "$BENCH_BUILD/bench/e2e/e2e_ingest_client" --port "$port" "$@"
}
