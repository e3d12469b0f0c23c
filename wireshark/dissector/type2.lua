-- NFC Forum Type 2 tags (MIFARE Ultralight, Ultralight EV1, NTAG21x): their
-- commands as they travel inside telegrams, and the tags' answers.
--
-- Command codes, lengths and answers as the products' public datasheets give
-- them (MF0ICU1, MF0ULX1, NTAG213/215/216) and as open tools use them
-- (libfreefare, proxmark3's hf mfu, ChameleonMini's NTAG21x emulation):
--
--   READ 30 PP                 16 bytes: pages PP to PP+3
--   WRITE A2 PP D0 D1 D2 D3    ACK / NAK
--   COMPATIBILITY WRITE A0 PP  ACK / NAK, then 16 data bytes (the first 4
--                              are written), ACK / NAK
--   FAST_READ 3A START END     4 bytes per page, START to END
--   GET_VERSION 60             8 bytes
--   READ_CNT 39 NN             3 bytes, the counter, least significant first
--   READ_SIG 3C 00             32 bytes, the originality signature
--   PWD_AUTH 1B P0 P1 P2 P3    PACK, 2 bytes / NAK
--
-- ACK and NAK are 4-bit answers: A is ACK; 0 (invalid argument, e.g. a page
-- out of range), 1 (parity or CRC error), 4 (authentication counter
-- overflow), 5 (EEPROM write error) are NAKs. A reader hands them on as a
-- byte whose high half is 0.

if ZELVORN_WIRE == nil then
    error("zelvorn: this is a part of the dissector's source; load the zelvorn.lua the build "
          .. "writes (build/wireshark/zelvorn.lua)")
end

local band = bit32.band

local framing = framing
local M = {}

local PAGE = 4  -- bytes per page

local READ, WRITE, COMPATIBILITY_WRITE, FAST_READ = 0x30, 0xA2, 0xA0, 0x3A
local GET_VERSION, READ_CNT, READ_SIG, PWD_AUTH, HLTA = 0x60, 0x39, 0x3C, 0x1B, 0x50

-- By the first byte: the command's name, its length in bytes (without CRC),
-- its parameters after the code (field, length), and its answer: how many
-- bytes (nil: ACK or NAK only; a function: computed from the command's
-- bytes) and what they are.
M.COMMANDS = {
    [READ] = { name = "READ", length = 2, params = { { "page", 1 } },
               answer = 4 * PAGE, answer_kind = "pages" },
    [WRITE] = { name = "WRITE", length = 2 + PAGE, params = { { "page", 1 }, { "data", PAGE } } },
    [COMPATIBILITY_WRITE] = { name = "COMPATIBILITY WRITE", length = 2, params = { { "page", 1 } } },
    [FAST_READ] = { name = "FAST_READ", length = 3,
                    params = { { "start_page", 1 }, { "end_page", 1 } },
                    answer = function(b) return PAGE * (b:byte(3) - b:byte(2) + 1) end,
                    answer_kind = "pages" },
    [GET_VERSION] = { name = "GET_VERSION", length = 1, params = {}, answer = 8,
                      answer_kind = "version" },
    [READ_CNT] = { name = "READ_CNT", length = 2, params = { { "counter_number", 1 } }, answer = 3,
                   answer_kind = "counter" },
    [READ_SIG] = { name = "READ_SIG", length = 2, params = { { "address", 1 } }, answer = 32,
                   answer_kind = "signature" },
    [PWD_AUTH] = { name = "PWD_AUTH", length = 1 + PAGE, params = { { "password", PAGE } },
                   answer = 2, answer_kind = "pack" },
    -- The halt of ISO/IEC 14443-3 (50 00): a tag that takes it stays silent.
    [HLTA] = { name = "HLTA", length = 2, params = {}, answer = 0 },
}
M.COMPATIBILITY_WRITE = COMPATIBILITY_WRITE
M.COMPATIBILITY_WRITE_DATA = 16

M.ACK = 0x0A
M.ANSWERS = {
    [0x0A] = "ACK",
    [0x00] = "NAK: invalid argument (page out of range)",
    [0x01] = "NAK: parity or CRC error",
    [0x04] = "NAK: authentication counter overflow",
    [0x05] = "NAK: EEPROM write error",
}

-- GET_VERSION: product type and storage size byte to product.
local PRODUCTS = {
    [0x03] = { [0x0B] = "MIFARE Ultralight EV1 (MF0UL11)", [0x0E] = "MIFARE Ultralight EV1 (MF0UL21)" },
    [0x04] = { [0x0B] = "NTAG210", [0x0E] = "NTAG212", [0x0F] = "NTAG213", [0x11] = "NTAG215",
               [0x13] = "NTAG216" },
}
local VENDORS = { [0x04] = "NXP Semiconductors" }
local PRODUCT_TYPES = { [0x03] = "MIFARE Ultralight", [0x04] = "NTAG" }

---------------------------------------------------------------------------
-- Without Wireshark's tree
---------------------------------------------------------------------------

-- The command the bytes make, or nil when the first byte names none or the
-- length is not that command's. Returns the row and the length of the
-- answer a tag gives (nil: ACK or NAK).
function M.parse(raw)
    if #raw == 0 then return nil end
    local row = M.COMMANDS[raw:byte(1)]
    if row == nil or #raw ~= row.length then return nil end
    local answer = row.answer
    if type(answer) == "function" then answer = answer(raw) end
    return row, answer
end

-- A 4-bit answer, handed on as one byte: its text, or nil for a byte that
-- is no 4-bit answer.
function M.ack_text(byte)
    if byte > 0x0F then return nil end
    return M.ANSWERS[byte] or string.format("NAK %X", byte)
end

-- The memory a GET_VERSION storage byte announces: 2^n bytes for 2n, between
-- 2^n and 2^(n+1) for 2n+1.
function M.storage_text(byte)
    local n = math.floor(byte / 2)
    if byte % 2 == 0 then return string.format("%d bytes", 2 ^ n) end
    return string.format("between %d and %d bytes", 2 ^ n, 2 ^ (n + 1))
end

function M.product_of(version)
    if #version < 8 then return nil end
    local by_type = PRODUCTS[version:byte(3)]
    return by_type and by_type[version:byte(7)] or nil
end

-- The counter of a READ_CNT answer: 24 bits, least significant byte first.
function M.counter_of(raw)
    return raw:byte(1) + raw:byte(2) * 256 + raw:byte(3) * 65536
end

---------------------------------------------------------------------------
-- Fields
---------------------------------------------------------------------------

local command_names = {}
for code, row in pairs(M.COMMANDS) do command_names[code] = row.name end

M.hf = {
    command = ProtoField.uint8("zelvorn.type2.command", "Type 2 command", base.HEX, command_names),
    page = ProtoField.uint8("zelvorn.type2.page", "Page", base.DEC),
    start_page = ProtoField.uint8("zelvorn.type2.start_page", "Start page", base.DEC),
    end_page = ProtoField.uint8("zelvorn.type2.end_page", "End page", base.DEC),
    data = ProtoField.bytes("zelvorn.type2.data", "Data"),
    page_data = ProtoField.bytes("zelvorn.type2.page_data", "Page"),
    counter_number = ProtoField.uint8("zelvorn.type2.counter_number", "Counter number"),
    address = ProtoField.uint8("zelvorn.type2.address", "Address", base.HEX),
    password = ProtoField.bytes("zelvorn.type2.password", "Password"),
    pack = ProtoField.bytes("zelvorn.type2.pack", "PACK"),
    answer = ProtoField.uint8("zelvorn.type2.answer", "ACK/NAK", base.HEX, M.ANSWERS),
    counter = ProtoField.uint24("zelvorn.type2.counter", "Counter"),
    signature = ProtoField.bytes("zelvorn.type2.signature", "Originality signature"),
    version = ProtoField.bytes("zelvorn.type2.version", "Version"),
    vendor = ProtoField.uint8("zelvorn.type2.version.vendor", "Vendor", base.HEX, VENDORS),
    product_type = ProtoField.uint8("zelvorn.type2.version.type", "Product type", base.HEX,
        PRODUCT_TYPES),
    product_subtype = ProtoField.uint8("zelvorn.type2.version.subtype", "Product subtype", base.HEX),
    major = ProtoField.uint8("zelvorn.type2.version.major", "Major version", base.HEX),
    minor = ProtoField.uint8("zelvorn.type2.version.minor", "Minor version", base.HEX),
    storage = ProtoField.uint8("zelvorn.type2.version.storage", "Storage size", base.HEX),
    protocol = ProtoField.uint8("zelvorn.type2.version.protocol", "Protocol type", base.HEX,
        { [0x03] = "ISO/IEC 14443-3" }),
    product = ProtoField.string("zelvorn.type2.product", "Product"),
}

M.ef = {
    nak = ProtoExpert.new("zelvorn.type2.nak", "The tag answered NAK",
        expert.group.RESPONSE_CODE, expert.severity.NOTE),
    answer_length = ProtoExpert.new("zelvorn.type2.answer_length",
        "Answer length other than the command's", expert.group.PROTOCOL, expert.severity.WARN),
}
local hf, ef = M.hf, M.ef

---------------------------------------------------------------------------
-- The tree
---------------------------------------------------------------------------

-- The command in btvb (parse said it is one). Returns a record for its
-- answer, { code, page, answer }, and a text for the Info column.
function M.dissect_command(btvb, tree)
    local raw = btvb:raw()
    local row, answer = M.parse(raw)
    tree:add(hf.command, btvb(0, 1))
    local sent = { code = raw:byte(1), answer = answer }
    local values, at = {}, 1
    for _, param in ipairs(row.params) do
        local name, length = param[1], param[2]
        tree:add(hf[name], btvb(at, length))
        values[name] = raw:byte(at + 1)
        at = at + length
    end
    local info = row.name
    if values.page then
        info = info .. string.format(" page %d", values.page)
    elseif values.start_page then
        info = info .. string.format(" pages %d-%d", values.start_page, values.end_page)
    end
    sent.page = values.page or values.start_page
    return sent, info
end

-- The data phase of a COMPATIBILITY WRITE: 16 bytes, of which the tag keeps
-- the first page's worth.
function M.dissect_write_data(btvb, tree, page)
    tree:add(hf.data, btvb())
    return string.format("COMPATIBILITY WRITE data, page %d", page or 0)
end

-- The tag's answer to `sent`. Returns a text for the Info column.
function M.dissect_answer(atvb, tree, sent)
    local n = atvb:len()
    if n == 0 then return "" end
    local first = atvb(0, 1):uint()
    local expected = sent.answer
    -- A single byte where data was due is a 4-bit NAK (or ACK).
    if n == 1 and expected ~= 1 then
        local text = M.ack_text(first)
        if text then
            local item = tree:add(hf.answer, atvb(0, 1))
            if band(first, 0x0F) ~= M.ACK then item:add_proto_expert_info(ef.nak, text) end
            return text
        end
    end
    if expected == nil or expected == 0 or n ~= expected then
        tree:add_proto_expert_info(ef.answer_length, string.format(
            "%s answers with %s, here %d bytes", M.COMMANDS[sent.code].name,
            (expected == nil or expected == 0) and "ACK or NAK" or (expected .. " bytes"), n))
        return ""
    end
    local kind = M.COMMANDS[sent.code].answer_kind
    if kind == "pages" then
        for i = 0, n / PAGE - 1 do
            local range = atvb(i * PAGE, PAGE)
            tree:add(hf.page_data, range):set_text(string.format("Page %d: %s",
                (sent.page + i) % 256, framing.hex_of(range:raw())))
        end
        return string.format("%d bytes", n)
    elseif kind == "version" then
        local t = tree:add(hf.version, atvb())
        local parts = { "vendor", "product_type", "product_subtype", "major", "minor", "storage",
            "protocol" }
        for i, name in ipairs(parts) do t:add(hf[name], atvb(i, 1)) end
        local product = M.product_of(atvb:raw())
        t:append_text(", storage " .. M.storage_text(atvb(6, 1):uint()))
        if product then
            tree:add(hf.product, atvb(), product):set_generated()
            return product
        end
        return "version"
    elseif kind == "counter" then
        local counter = M.counter_of(atvb:raw())
        tree:add(hf.counter, atvb(0, 3), counter)
        return string.format("counter %d", counter)
    elseif kind == "signature" then
        tree:add(hf.signature, atvb())
        return "signature"
    elseif kind == "pack" then
        tree:add(hf.pack, atvb())
        return "PACK " .. framing.hex_of(atvb:raw())
    end
    return ""
end

return M
