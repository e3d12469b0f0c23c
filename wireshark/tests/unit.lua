-- Runs the dissector's parts on their own, without a capture, inside tshark
-- (whose Lua has Wireshark's API the parts need):
--
--   tshark -r EMPTY.pcap -X lua_script:unit.lua -X lua_script1:ZELVORN_LUA -X lua_script1:CASES
--
-- ZELVORN_LUA is the built dissector; its parts are taken from it as they
-- ship. CASES holds one case a line: an id, a tab, and Lua code (an
-- expression, or statements with their own return) that may use the parts
-- (framing, iso_dep, type2, commands), the generated tables and the helpers
-- below. Each case prints its id, a tab and its result written out (tables
-- with sorted keys), or "ERROR: " and the message.

local artifact, cases = ...

local function read(path)
    local f = assert(io.open(path, "rb"))
    local text = f:read("*a")
    f:close()
    return text
end

local exported = "\nreturn { framing = framing, iso_dep = iso_dep, type2 = type2, commands = commands,"
    .. " ZELVORN_COMMANDS = ZELVORN_COMMANDS, ZELVORN_WIRE = ZELVORN_WIRE,"
    .. " ZELVORN_CARD_TYPES = ZELVORN_CARD_TYPES, ZELVORN_READER_STATUSES = ZELVORN_READER_STATUSES }\n"
local parts = assert(load(read(artifact) .. exported, "@" .. artifact))()

local function show(value)
    if type(value) == "table" then
        local keys = {}
        for k in pairs(value) do keys[#keys + 1] = k end
        table.sort(keys, function(a, b) return tostring(a) < tostring(b) end)
        local out = {}
        for _, k in ipairs(keys) do out[#out + 1] = tostring(k) .. "=" .. show(value[k]) end
        return "{" .. table.concat(out, ",") .. "}"
    elseif type(value) == "number" and value == math.floor(value) then
        return string.format("%d", value)
    end
    return tostring(value)
end

local env = setmetatable({
    -- "E0 80" -> the two bytes
    bytes = function(text)
        return (text:gsub("%s", ""):gsub("%x%x", function(h) return string.char(tonumber(h, 16)) end))
    end,
    hex = function(raw)
        return (raw:gsub(".", function(c) return string.format("%02X", c:byte()) end))
    end,
}, { __index = function(_, name) return parts[name] or _G[name] end })

for line in io.lines(cases) do
    local id, code = line:match("^([^\t]+)\t(.*)$")
    if id then
        -- An expression, or else statements with their own return.
        local chunk, problem = load("return " .. code, "=" .. id, "t", env)
        if chunk == nil then chunk, problem = load(code, "=" .. id, "t", env) end
        local ok, result = false, problem
        if chunk then ok, result = pcall(chunk) end
        io.stdout:write(id, "\t", ok and show(result) or ("ERROR: " .. tostring(result)), "\n")
    end
end
