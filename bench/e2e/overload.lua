-- wrk script of the overload figure: pushes the body in the file named by its first argument to
-- POST /ingest and counts the answers by status (e2e_latency_probe times them meanwhile).
local threads = {}
local push
statuses = {}

function setup(thread)
  table.insert(threads, thread)
end

function init(args)
  local file = assert(io.open(args[1], "rb"))
  local body = file:read("*a")
  file:close()
  push = wrk.format("POST", "/ingest", { ["Content-Type"] = "application/x-ndjson" }, body)
end

function request()
  return push
end

function response(status, headers, body)
  statuses[status] = (statuses[status] or 0) + 1
end

function done(summary, latency, requests)
  local all = {}
  for _, thread in ipairs(threads) do
    for status, count in pairs(thread:get("statuses")) do
      all[status] = (all[status] or 0) + count
    end
  end
  local line = ""
  for status, count in pairs(all) do
    line = line .. string.format(" status_%d=%d", status, count)
  end
  local e = summary.errors
  io.write(string.format(
    "overload: requests=%d seconds=%.3f errors_connect=%d errors_read=%d errors_write=%d " ..
    "errors_timeout=%d%s\n",
    summary.requests, summary.duration / 1e6, e.connect, e.read, e.write, e.timeout, line))
end
