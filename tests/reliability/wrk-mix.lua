-- wrk script of the reliability runs: a mix of reads or of pushes; every answer's status is
-- counted and every 503 checked for "Retry-After: 1".
--   wrk ... -s wrk-mix.lua URL -- read <read token> <basic credential>
--   wrk ... -s wrk-mix.lua URL -- ingest <ingest token>
local threads = {}
local thread_count = 0

function setup(thread)
  thread_count = thread_count + 1
  thread:set("thread_id", thread_count)
  table.insert(threads, thread)
end

local function event_lines(run_id, first_ts, count, filler)
  local lines = {}
  for i = 1, count do
    lines[i] = string.format(
      '{"type":"NodeLog","run_id":"%s","ts":%d,"payload":{"level":"info","msg":"%s"}}',
      run_id, first_ts + i, filler)
  end
  return table.concat(lines, "\n") .. "\n"
end

function init(args)
  mode = args[1]
  statuses = {}
  busy_without_retry = 0
  counter = 0
  if mode == "read" then
    local read_token, basic = args[2], args[3]
    reads = {
      wrk.format("GET", "/api/runs", { ["Authorization"] = "Bearer " .. read_token }),
      wrk.format("GET", "/api/runs/sat-1", { ["Authorization"] = "Bearer " .. read_token }),
      wrk.format("GET", "/api/runs/sat-2/download", { ["x-torvesk-token"] = read_token }),
      wrk.format("GET", "/", { ["Authorization"] = "Basic " .. basic }),
      -- No credential: 401, and never counted towards a lockout.
      wrk.format("GET", "/api/runs", {}),
    }
  else
    ingest_token = args[2]
    headers = { ["Authorization"] = "Bearer " .. ingest_token,
                ["Content-Type"] = "application/x-ndjson" }
    wrong_token = wrk.format("POST", "/ingest",
      { ["Authorization"] = "Bearer not-the-token", ["Content-Type"] = "application/x-ndjson" },
      "{}\n")
    from_browser = wrk.format("POST", "/ingest",
      { ["Authorization"] = "Bearer " .. ingest_token, ["Content-Type"] = "application/x-ndjson",
        ["Origin"] = "http://127.0.0.1" }, "{}\n")
    -- A large body, the same every time: its events are duplicates after the first push.
    large = wrk.format("POST", "/ingest", headers,
      event_lines("sat-large-" .. thread_id, 0, 4000, string.rep("x", 200)))
    filler = string.rep("y", 150)
  end
end

function request()
  counter = counter + 1
  if mode == "read" then
    return reads[counter % #reads + 1]
  end
  local kind = counter % 20
  if kind == 0 then return wrong_token end   -- 401
  if kind == 1 then return from_browser end  -- 403
  if kind == 2 then return large end
  local run_id = string.format("sat-%d-%d", thread_id, counter % 5)
  return wrk.format("POST", "/ingest", headers,
    event_lines(run_id, thread_id * 1000000000000 + counter * 100, 50, filler))
end

function response(status, headers, body)
  statuses[status] = (statuses[status] or 0) + 1
  if status == 503 and headers["Retry-After"] ~= "1" then
    busy_without_retry = busy_without_retry + 1
  end
end

function done(summary, latency, requests)
  local total, without_retry, mode_name = {}, 0, "?"
  for _, thread in ipairs(threads) do
    for status, n in pairs(thread:get("statuses")) do
      total[status] = (total[status] or 0) + n
    end
    without_retry = without_retry + thread:get("busy_without_retry")
    mode_name = thread:get("mode")
  end
  local allowed = { [200] = true, [401] = true, [403] = true, [429] = true, [503] = true }
  local parts, unexpected = {}, 0
  for status, n in pairs(total) do
    table.insert(parts, status .. "=" .. n)
    if not allowed[status] then unexpected = unexpected + n end
  end
  table.sort(parts)
  local errors = summary.errors
  print(string.format(
    "[%s] %d requests in %.1f s (%.0f/s), statuses %s; unexpected statuses %d; 503 without " ..
    "Retry-After 1: %d; socket errors connect %d read %d write %d timeout %d; " ..
    "latency p50 %.1f ms p99 %.1f ms max %.1f ms",
    mode_name, summary.requests, summary.duration / 1e6, summary.requests / (summary.duration / 1e6),
    table.concat(parts, " "), unexpected, without_retry, errors.connect, errors.read, errors.write,
    errors.timeout, latency:percentile(50) / 1000, latency:percentile(99) / 1000, latency.max / 1000))
  print(string.format("[%s-check] unexpected=%d without_retry=%d", mode_name, unexpected,
    without_retry))
end
