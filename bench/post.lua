-- wrk script: POSTs the JSON-RPC body of $BENCH_BODY on every request and counts as bad every
-- answer that is not a 200 containing $BENCH_EXPECT, so an error answer never passes as a call.
-- $BENCH_CONTENT_TYPE (default application/json) and $BENCH_AUTHORIZATION set those headers.
-- With $BENCH_VARIANTS (a file of lines "VALUE1<TAB>VALUE2") every request takes the next line
-- of its thread's share ($BENCH_THREADS threads) into the body's @1@ and @2@: calls that must
-- each be new, such as signed proofs. A thread that runs out starts over (counted as bad).
local body = os.getenv("BENCH_BODY")
local expect = os.getenv("BENCH_EXPECT") or ""
local variantsFile = os.getenv("BENCH_VARIANTS")
assert(body, "BENCH_BODY is not set")

wrk.method = "POST"
wrk.body = body
wrk.headers["Content-Type"] = os.getenv("BENCH_CONTENT_TYPE") or "application/json"
if os.getenv("BENCH_AUTHORIZATION") then
  wrk.headers["Authorization"] = os.getenv("BENCH_AUTHORIZATION")
end
wrk.headers["Accept"] = "application/json"

local threads = {}

function setup(thread)
  table.insert(threads, thread)
  thread:set("id", #threads - 1)
end

local variants = {}
local nextVariant = 1
local head, middle, tail

function init(args)
  if not variantsFile then return end
  -- The body split around its two slots, so that a request is three copies and two values.
  local first, second = body:find("@1@", 1, true), body:find("@2@", 1, true)
  assert(first and second and first < second, "BENCH_BODY needs @1@ before @2@")
  head, middle, tail = body:sub(1, first - 1), body:sub(first + 3, second - 1), body:sub(second + 3)
  local share = tonumber(os.getenv("BENCH_THREADS") or "1")
  local n = 0
  for line in io.lines(variantsFile) do
    if n % share == id then
      local one, two = line:match("^([^\t]*)\t(.*)$")
      table.insert(variants, {one, two})
    end
    n = n + 1
  end
  assert(#variants > 0, "no variants for this thread")
end

if variantsFile then
  request = function()
    local values = variants[nextVariant]
    nextVariant = nextVariant % #variants + 1
    return wrk.format(nil, nil, nil, head .. values[1] .. middle .. values[2] .. tail)
  end
end

bad = 0

function response(status, headers, answer)
  if status ~= 200 or not string.find(answer, expect, 1, true) then
    bad = bad + 1
  end
end

function done(summary, latency, requests)
  local badTotal = 0
  for _, thread in ipairs(threads) do
    badTotal = badTotal + thread:get("bad")
  end
  local e = summary.errors
  io.write(string.format(
    "BENCH requests=%d calls_per_s=%.1f p50_ms=%.3f p99_ms=%.3f bad=%d socket_errors=%d\n",
    summary.requests, summary.requests / (summary.duration / 1e6),
    latency:percentile(50) / 1000, latency:percentile(99) / 1000, badTotal,
    e.connect + e.read + e.write + e.timeout))
end
