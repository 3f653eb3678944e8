-- wrk script of the overload figure: pushes the body in the file named by its first argument to
-- POST /ingest, counts the answers by status and keeps a histogram of the latency of the 503
-- answers. Run with as many threads as connections (one connection per thread), so that each
-- answer belongs to the request this thread sent last.
local ffi = require("ffi")
ffi.cdef [[
typedef struct { long tv_sec; long tv_nsec; } bench_timespec;
int clock_gettime(int clock_id, bench_timespec *tp);
]]
local CLOCK_MONOTONIC = 1
local timespec = ffi.new("bench_timespec")
local function now_ms()
  ffi.C.clock_gettime(CLOCK_MONOTONIC, timespec)
  return tonumber(timespec.tv_sec) * 1000 + tonumber(timespec.tv_nsec) / 1e6
end

-- Latency buckets of 0.1 ms; the last one holds everything from 10 s on.
local BUCKETS = 100000
local threads = {}
local sent_at = 0
statuses = {}
busy_latency = {}

function setup(thread)
  table.insert(threads, thread)
end

local push

function init(args)
  local file = assert(io.open(args[1], "rb"))
  local body = file:read("*a")
  file:close()
  push = wrk.format("POST", "/ingest", { ["Content-Type"] = "application/x-ndjson" }, body)
end

function request()
  sent_at = now_ms()
  return push
end

function response(status, headers, body)
  statuses[status] = (statuses[status] or 0) + 1
  if status == 503 then
    local bucket = math.min(math.floor((now_ms() - sent_at) * 10), BUCKETS - 1)
    busy_latency[bucket] = (busy_latency[bucket] or 0) + 1
  end
end

function done(summary, latency, requests)
  local all_statuses, all_busy = {}, {}
  for _, thread in ipairs(threads) do
    for status, count in pairs(thread:get("statuses")) do
      all_statuses[status] = (all_statuses[status] or 0) + count
    end
    for bucket, count in pairs(thread:get("busy_latency")) do
      all_busy[bucket] = (all_busy[bucket] or 0) + count
    end
  end
  local line = ""
  local busy_total = 0
  for status, count in pairs(all_statuses) do
    line = line .. string.format(" status_%d=%d", status, count)
    if status == 503 then busy_total = count end
  end
  local p99 = 0
  if busy_total > 0 then
    local wanted, seen = math.ceil(busy_total * 0.99), 0
    for bucket = 0, BUCKETS - 1 do
      seen = seen + (all_busy[bucket] or 0)
      if seen >= wanted then
        p99 = (bucket + 1) / 10
        break
      end
    end
  end
  local e = summary.errors
  io.write(string.format(
    "overload: requests=%d seconds=%.3f p99_503_ms=%.1f errors_connect=%d errors_read=%d " ..
    "errors_write=%d errors_timeout=%d%s\n",
    summary.requests, summary.duration / 1e6, p99, e.connect, e.read, e.write, e.timeout, line))
end
