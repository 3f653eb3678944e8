# shellcheck shell=bash
# Shared by the reliability scripts: the build to use, a free loopback port, the monitor's RSS.
# Sourced, not run.

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# TORVESK_BUILD_DIR names an existing build (default: the release preset, built here).
build_dir=${TORVESK_BUILD_DIR:-$repo/build/release}

# build_targets <target...>: configures the release preset when no build dir was given, then
# builds the targets.
build_targets() {
  if [[ -z "${TORVESK_BUILD_DIR:-}" ]]; then
    (cd "$repo" && cmake --preset release >/dev/null)
  fi
  cmake --build "$build_dir" --target "$@" >/dev/null
}

# need <program> <debian package>: ends the script with a hint when the program is missing.
need() {
  if ! command -v "$1" >/dev/null 2>&1; then
    echo "$1 is missing: apt-get install $2" >&2
    exit 2
  fi
}

# A loopback port nothing listens on right now.
free_port() {
  local port
  for _ in $(seq 100); do
    port=$((20000 + RANDOM % 40000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "$port"
      return 0
    fi
  done
  return 1
}

# rss_kib <pid>: resident set size in KiB.
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }

# wait_for_port <port>: until something listens there (at most 20 s).
wait_for_port() {
  for _ in $(seq 200); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  echo "nothing listens on port $1" >&2
  return 1
}
