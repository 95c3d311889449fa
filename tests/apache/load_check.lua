-- wrk script: every response must be 200 with exactly the reference body.
-- Each thread stops after its share of the requests and leaves a file named
-- after itself in DONE-DIR: wrk itself would wait out its whole -d, so the
-- test interrupts it once every thread is done.
-- Arguments after --: REFERENCE-FILE REQUESTS-PER-THREAD DONE-DIR

local threads = {}

function setup(thread)
    thread:set("id", #threads + 1)
    table.insert(threads, thread)
end

function init(args)
    local file = assert(io.open(args[1], "rb"))
    expected = file:read("*a")
    file:close()
    limit = tonumber(args[2])
    done_dir = args[3]
    checked, wrong_status, wrong_body = 0, 0, 0
end

function response(status, headers, body)
    checked = checked + 1
    if status ~= 200 then
        wrong_status = wrong_status + 1
    elseif body ~= expected then
        wrong_body = wrong_body + 1
    end
    if checked == limit then
        assert(io.open(done_dir .. "/" .. id, "w")):close()
        wrk.thread:stop()
    end
end

function done(summary, latency, requests)
    local c, s, b = 0, 0, 0
    for _, thread in ipairs(threads) do
        c = c + thread:get("checked")
        s = s + thread:get("wrong_status")
        b = b + thread:get("wrong_body")
    end
    io.write(string.format("checked %d wrong_status %d wrong_body %d socket_errors %d timeouts %d\n",
        c, s, b, summary.errors.connect + summary.errors.read + summary.errors.write,
        summary.errors.timeout))
end
