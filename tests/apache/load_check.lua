-- wrk script: every response must be 200 with exactly the reference body.
-- A body whose stamps are each the reference's or the server's message for a
-- failed include counts as failed, not wrong: what a page shows while the
-- program is away. Anything else is wrong.
-- Each thread stops after its share of the requests, once DONE-DIR/release
-- exists, and leaves a file named after itself in DONE-DIR: wrk itself would
-- wait out its whole -d, so the test interrupts it once every thread is done.
-- Another, ID.quarter, tells a test that a quarter of the thread's share is
-- checked. Held back by the release, the load is sure to still be running
-- whatever the test does in between, however slow the machine.
-- Arguments after --: REFERENCE-FILE REQUESTS-PER-THREAD DONE-DIR

local threads = {}

function setup(thread)
    thread:set("id", #threads + 1)
    table.insert(threads, thread)
end

-- The texts of a page's <samp> elements, and the page with them emptied.
local function stamps(page)
    local texts = {}
    for text in page:gmatch('<samp id="[^"]*">(.-)</samp>') do
        table.insert(texts, text)
    end
    return texts, (page:gsub('(<samp id="[^"]*">).-(</samp>)', '%1%2'))
end

local function failed_includes_only(body)
    local texts, frame = stamps(body)
    if frame ~= expected_frame or #texts ~= #expected_texts then
        return false
    end
    local failed = false
    for i, text in ipairs(texts) do
        if text ~= expected_texts[i] then
            if not text:find("^%[an error occurred while processing th[ei]s? directive%]$") then
                return false
            end
            failed = true
        end
    end
    return failed
end

function released()
    local file = io.open(done_dir .. "/release", "r")
    if file then
        file:close()
    end
    return file ~= nil
end

function init(args)
    local file = assert(io.open(args[1], "rb"))
    expected = file:read("*a")
    file:close()
    expected_texts, expected_frame = stamps(expected)
    limit = tonumber(args[2])
    done_dir = args[3]
    checked, wrong_status, wrong_body, failed_includes = 0, 0, 0, 0
    stopped = false
end

function response(status, headers, body)
    checked = checked + 1
    if status ~= 200 then
        wrong_status = wrong_status + 1
    elseif body ~= expected then
        if failed_includes_only(body) then
            failed_includes = failed_includes + 1
        else
            wrong_body = wrong_body + 1
        end
    end
    if checked == math.floor(limit / 4) then
        assert(io.open(done_dir .. "/" .. id .. ".quarter", "w")):close()
    end
    if checked >= limit and not stopped and released() then
        stopped = true
        assert(io.open(done_dir .. "/" .. id, "w")):close()
        wrk.thread:stop()
    end
end

function done(summary, latency, requests)
    local c, s, b, f = 0, 0, 0, 0
    for _, thread in ipairs(threads) do
        c = c + thread:get("checked")
        s = s + thread:get("wrong_status")
        b = b + thread:get("wrong_body")
        f = f + thread:get("failed_includes")
    end
    io.write(string.format("checked %d wrong_status %d wrong_body %d failed_includes %d socket_errors %d timeouts %d\n",
        c, s, b, f, summary.errors.connect + summary.errors.read + summary.errors.write,
        summary.errors.timeout))
    io.write(string.format("slowest_ms %d\n", math.floor(latency.max / 1000)))
end
