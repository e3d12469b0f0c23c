-- The reader's commands: the parameters each one carries and the fields of
-- its reply, and what travels inside a telegram.
--
-- Command codes, request and reply lengths come from the library's command
-- table (ZELVORN_COMMANDS), looked up by the library's names for them: a
-- command the table renames or drops stops the dissector from loading, and
-- the unit tests fail for a command the table adds that no decoder here
-- takes (see `decoders` below).
--
-- Inside a telegram, the bytes for the card are read as one of:
--   RATS             E0 xx: the card is asked into ISO/IEC 14443-4;
--   ISO-DEP block    once RATS was answered on this reader since the last
--                    selection, or when the selected card's type byte says
--                    it speaks ISO/IEC 14443-4;
--   Type 2 command   when the selected card's type byte says neither
--                    ISO/IEC 14443-4 nor MIFARE Classic (a MIFARE Ultralight
--                    or NTAG), or no selection was seen, and the first byte
--                    names a Type 2 command whose length the telegram has;
--                    16 bytes right after COMPATIBILITY WRITE are its data;
--   ISO-DEP block    otherwise when no selection was seen (a capture that
--                    begins in the middle of a session);
--   raw bytes        to a card known to speak neither.
-- The option byte does not tell them apart: the library sends 0x0F or 0x0C
-- for every kind.

if ZELVORN_WIRE == nil then
    error("zelvorn: this is a part of the dissector's source; load the zelvorn.lua the build "
          .. "writes (build/wireshark/zelvorn.lua)")
end

local band = bit32.band

local framing, iso_dep, type2 = framing, iso_dep, type2
local W = ZELVORN_WIRE
local M = {}

---------------------------------------------------------------------------
-- Command codes, by the library's names for them
---------------------------------------------------------------------------

local code_by_name = {}
for code, row in pairs(ZELVORN_COMMANDS) do code_by_name[row.name] = code end
local function code_of(name)
    local code = code_by_name[name]
    if code == nil then
        error("zelvorn.lua: the library's command table has no command named \"" .. name .. "\"")
    end
    return code
end

local C = {
    select = code_of("select"),
    login = code_of("login"),
    list_or_select = code_of("list or select by serial"),
    reset = code_of("reset"),
    read_block = code_of("read block"),
    read_value = code_of("read value"),
    read_eeprom = code_of("read EEPROM"),
    write_block = code_of("write block"),
    write_value = code_of("write value"),
    write_eeprom = code_of("write EEPROM"),
    load_key = code_of("load key"),
    increment = code_of("increment"),
    decrement = code_of("decrement"),
    copy_value = code_of("copy value"),
    field_off = code_of("field off"),
    field_on = code_of("field on"),
    read_user_port = code_of("read user port"),
    write_user_port = code_of("write user port"),
    telegram = code_of("telegram"),
    status = code_of("status"),
    read_register = code_of("read register"),
    write_register = code_of("write register"),
    read_atqb = code_of("read ATQB"),
    ask_write = code_of("ASK write"),
    ask_write_other_mode = code_of("ASK write, other mode"),
    ask_read = code_of("ASK read"),
    ask_multi_read = code_of("ASK multi-read"),
}
M.C = C

local function row_of(code) return ZELVORN_COMMANDS[code] end

local DATA = W.block.data                          -- reply data, in the reply block
local ENTRY = W.card_entry                         -- select and list entries
local BLOCK_BYTES = W.mifare.block_size
local KEY_BYTES = W.mifare.key_size
local VALUE_BYTES = row_of(C.read_value).reply    -- values travel big-endian
local TELEGRAM_HEADER = W.telegram.header          -- count, option byte

-- The status report: a status block, then the record's fields.
local STATUS_RECORD = { { "status_a", 1 }, { "status_b", 4 }, { "status_c", 1 }, { "status_d", 1 },
    { "status_e", 1 }, { "status_f", 2 } }
local STATUS_RECORD_BYTES = 0
for _, f in ipairs(STATUS_RECORD) do STATUS_RECORD_BYTES = STATUS_RECORD_BYTES + f[2] end

-- The telegram's option byte, as the reader takes it (docs/virtual-reader.md;
-- the virtual reader's processor card sends nothing without the first bit).
M.OPTION = {
    crc_append = 0x08,  -- the reader appends the CRC to the bytes for the card
    crc_check = 0x04,   -- the reader checks the card's CRC and strips it from the answer
}

---------------------------------------------------------------------------
-- Names
---------------------------------------------------------------------------

local command_names = {}
for code, row in pairs(ZELVORN_COMMANDS) do command_names[code] = row.name end

-- The two forms of the list-or-select command, told apart by their data.
M.LIST, M.SELECT_BY_SERIAL = "list", "select by serial"

-- The command's name as the Info column shows it.
function M.label(code, frame_type, data_length)
    if frame_type == W.frame_type.receive then return "Receive" end
    if code == nil then return "unknown command" end
    if code == C.list_or_select and data_length ~= nil then
        return data_length == 0 and M.LIST or M.SELECT_BY_SERIAL
    end
    return command_names[code] or string.format("unknown command 0x%02X", code)
end

-- What a card type byte says, as the library reads it: { name, classic
-- (MIFARE Classic memory), iso_dep (ISO/IEC 14443-4) } from the table's row,
-- or for a byte it does not know, from its bits.
function M.card_type(sak)
    local row = ZELVORN_CARD_TYPES[sak]
    if row then return { name = row.name, classic = row.classic_sectors > 0, iso_dep = row.iso_dep } end
    return {
        name = "unknown card",
        classic = band(sak, W.sak.classic) ~= 0,
        iso_dep = band(sak, W.sak.iso_dep) ~= 0,
    }
end

local function key_selector_name(selector)
    local k = W.key_selector
    if selector == k.a then return "Key A" end
    if selector == k.b then return "Key B" end
    if selector == k.f then return "Reader key F" end
    local room = k.stored_b - k.stored_a
    if selector >= k.stored_a and selector < k.stored_b then
        return string.format("Stored key %d as key A", selector - k.stored_a)
    end
    if selector >= k.stored_b and selector < k.stored_b + room then
        return string.format("Stored key %d as key B", selector - k.stored_b)
    end
    return nil
end
local key_selector_names = {}
for selector = 0, 255 do key_selector_names[selector] = key_selector_name(selector) end

local card_type_names = {}
for sak, row in pairs(ZELVORN_CARD_TYPES) do card_type_names[sak] = row.name end

-- The number of data bytes a complete reply carries, or nil when it varies.
function M.expected_reply_data(command)
    local row = row_of(command.code)
    if row == nil or command.frame_type == W.frame_type.receive then return nil end
    if command.code == C.list_or_select and (command.data_length or 0) > 0 then
        return ENTRY.offset + ENTRY.size - DATA  -- as the select's reply
    end
    if row.reply < 0 then return nil end
    return row.reply
end

---------------------------------------------------------------------------
-- CRC_A (ISO/IEC 14443-3): what the reader adds for the card, and what a
-- card's answer carries when the reader leaves it on
---------------------------------------------------------------------------

function M.crc_a(raw)
    local crc = 0x6363
    for i = 1, #raw do
        crc = bit32.bxor(crc, raw:byte(i))
        for _ = 1, 8 do
            if band(crc, 1) ~= 0 then
                crc = bit32.bxor(bit32.rshift(crc, 1), 0x8408)
            else
                crc = bit32.rshift(crc, 1)
            end
        end
    end
    return string.char(band(crc, 0xFF), bit32.rshift(crc, 8))
end

-- Splits off a CRC_A the bytes end with; returns the bytes before it and
-- whether there was one.
local function without_crc(raw)
    if #raw >= 3 and M.crc_a(raw:sub(1, -3)) == raw:sub(-2) then return raw:sub(1, -3), true end
    return raw, false
end

---------------------------------------------------------------------------
-- The selected card and what its telegrams carry
---------------------------------------------------------------------------

-- One reader's card, as the first pass follows it: the type byte of the
-- card last selected (nil: none seen), its ISO-DEP session, and a
-- COMPATIBILITY WRITE waiting for its data.
function M.new_card(sak)
    return { sak = sak, session = iso_dep.new_session() }
end

-- What the bytes of a telegram are: { kind = "rats" | "iso_dep" | "type2" |
-- "type2_data" | "raw", body = the bytes without a CRC the host added,
-- crc = true when it did }. The rules are in the comment at the top.
function M.classify_telegram(card, option, raw)
    local body, crc = raw, false
    if option and band(option, M.OPTION.crc_append) == 0 then body, crc = without_crc(raw) end
    local t = { body = body, crc = crc }
    local sak_type = card.sak and M.card_type(card.sak)
    if card.compatibility_page and #body == type2.COMPATIBILITY_WRITE_DATA then
        t.kind, t.page = "type2_data", card.compatibility_page
    elseif #body == 2 and body:byte(1) == iso_dep.RATS then
        t.kind = "rats"
    elseif card.session.active or (sak_type and sak_type.iso_dep) then
        t.kind = "iso_dep"
    elseif (sak_type == nil or not sak_type.classic) and type2.parse(body) then
        t.kind = "type2"
    elseif sak_type == nil then
        t.kind = "iso_dep"
    else
        t.kind = "raw"
    end
    return t
end

---------------------------------------------------------------------------
-- Fields
---------------------------------------------------------------------------

M.hf = {
    command = ProtoField.uint8("zelvorn.command", "Command", base.HEX, command_names),
    command_name = ProtoField.string("zelvorn.command_name", "Command name"),
    card_command = ProtoField.bool("zelvorn.card_command", "Talks to a card"),
    block0 = ProtoField.uint8("zelvorn.reply.block0", "Reply byte 0 (not interpreted)", base.HEX),
    reader_status = ProtoField.uint16("zelvorn.reader_status", "Reader status", base.HEX,
        (function()
            local names = {}
            for word, row in pairs(ZELVORN_READER_STATUSES) do names[word] = row.name end
            return names
        end)()),
    block3 = ProtoField.uint8("zelvorn.reply.block3", "Reply byte 3 (not interpreted)", base.HEX),

    card_type = ProtoField.uint8("zelvorn.card_type", "Card type", base.HEX, card_type_names),
    serial_length = ProtoField.uint8("zelvorn.serial_length", "Serial number length"),
    serial = ProtoField.bytes("zelvorn.serial", "Serial number"),
    serial_field = ProtoField.bytes("zelvorn.serial_field",
        string.format("Serial number field (%d bytes)", ENTRY.serial_field)),
    tag_count = ProtoField.uint8("zelvorn.tag_count", "Cards listed"),
    tag = ProtoField.none("zelvorn.tag", "Card"),
    sector = ProtoField.uint8("zelvorn.sector", "Sector"),
    key_type = ProtoField.uint8("zelvorn.key_type", "Key", base.HEX, key_selector_names),
    key_selector = ProtoField.uint8("zelvorn.key_selector", "Key selector", base.HEX,
        key_selector_names),
    key = ProtoField.bytes("zelvorn.key", "Key"),
    key_number = ProtoField.uint8("zelvorn.key_number", "Key number"),
    block = ProtoField.uint8("zelvorn.block", "Block"),
    target_block = ProtoField.uint8("zelvorn.target_block", "Target block"),
    block_data = ProtoField.bytes("zelvorn.block_data", "Block data"),
    value = ProtoField.int32("zelvorn.value", "Value"),
    amount = ProtoField.int32("zelvorn.amount", "Amount"),
    register = ProtoField.uint8("zelvorn.register", "RC500 register", base.HEX),
    address = ProtoField.uint8("zelvorn.eeprom_address", "EEPROM address", base.HEX),
    byte_value = ProtoField.uint8("zelvorn.byte", "Byte", base.HEX),
    field_state = ProtoField.uint8("zelvorn.field", "RF field", base.DEC, { [0] = "off", [1] = "on" }),
    user_port = ProtoField.uint8("zelvorn.user_port", "User port", base.HEX),
    status_block = ProtoField.bytes("zelvorn.status.block", "Status block"),
    status_a = ProtoField.uint8("zelvorn.status.a", "Status A", base.HEX),
    status_b = ProtoField.uint32("zelvorn.status.b", "Status B", base.HEX),
    status_c = ProtoField.uint8("zelvorn.status.c", "Status C", base.HEX),
    status_d = ProtoField.uint8("zelvorn.status.d", "Status D", base.HEX),
    status_e = ProtoField.uint8("zelvorn.status.e", "Status E", base.HEX),
    status_f = ProtoField.uint16("zelvorn.status.f", "Status F", base.HEX),
    atqb = ProtoField.bytes("zelvorn.atqb", "ATQB"),
    atqb_pupi = ProtoField.bytes("zelvorn.atqb.pupi", "PUPI"),
    atqb_application = ProtoField.bytes("zelvorn.atqb.application_data", "Application data"),
    atqb_protocol = ProtoField.bytes("zelvorn.atqb.protocol_info", "Protocol info"),
    ask_sector = ProtoField.uint8("zelvorn.ask.sector", "ASK sector"),
    ask_data = ProtoField.bytes("zelvorn.ask.data", "ASK sector data"),
    receive_filler = ProtoField.bytes("zelvorn.receive.filler", "Filler"),

    telegram_count = ProtoField.uint8("zelvorn.telegram.count", "Bytes for the card"),
    telegram_option = ProtoField.uint8("zelvorn.telegram.option", "Option", base.HEX),
    option_crc_append = ProtoField.bool("zelvorn.telegram.option.crc_append",
        "Reader appends the CRC", 8, nil, M.OPTION.crc_append),
    option_crc_check = ProtoField.bool("zelvorn.telegram.option.crc_check",
        "Reader checks and strips the answer's CRC", 8, nil, M.OPTION.crc_check),
    option_other = ProtoField.uint8("zelvorn.telegram.option.other", "Other bits", base.HEX, nil,
        band(bit32.bnot(M.OPTION.crc_append + M.OPTION.crc_check), 0xFF)),
    card_bytes = ProtoField.bytes("zelvorn.telegram.card_bytes", "To the card"),
    card_answer = ProtoField.bytes("zelvorn.telegram.card_answer", "Card's answer"),
    telegram_crc = ProtoField.bytes("zelvorn.telegram.crc", "CRC_A"),
    telegram_kind = ProtoField.string("zelvorn.telegram.kind", "Read as"),
}

M.ef = {
    reply_length = ProtoExpert.new("zelvorn.length.unexpected",
        "Reply length other than the command's",
        expert.group.PROTOCOL, expert.severity.WARN),
    reader = ProtoExpert.new("zelvorn.reader_status.error", "Reader reports an error",
        expert.group.RESPONSE_CODE, expert.severity.NOTE),
    command_length = ProtoExpert.new("zelvorn.command.length", "Data length other than the command's",
        expert.group.PROTOCOL, expert.severity.WARN),
}
local hf, ef = M.hf, M.ef
local add_if = framing.add_if

local function add_tag(tree, r, off)
    local len = r(off + 1, 1):uint()
    tree:add(hf.card_type, r(off, 1))
    tree:add(hf.serial_length, r(off + 1, 1))
    tree:add(hf.serial, r(off + 2, math.min(len, ENTRY.serial_field)))
    tree:add(hf.serial_field, r(off + 2, ENTRY.serial_field))
    return framing.hex_of(r(off + 2, math.min(len, ENTRY.serial_field)):raw())
end

local function first_pass(pinfo) return not pinfo.visited end

---------------------------------------------------------------------------
-- Request parameters, per command: (d, n, pinfo, tree, ctx) -> Info text.
-- d is the data (n > 0 bytes).
---------------------------------------------------------------------------

local request = {}

local function block_only(d, n, pinfo, tree)
    tree:add(hf.block, d(0, 1))
    return string.format(" block %d", d(0, 1):uint())
end

request[C.login] = function(d, n, pinfo, tree)
    add_if(tree, hf.sector, d, 0, 1)
    if n >= 2 + KEY_BYTES then
        tree:add(hf.key_type, d(1, 1))
        tree:add(hf.key, d(2, KEY_BYTES))
    else
        add_if(tree, hf.key_selector, d, 1, 1)
    end
    return string.format(" sector %d", d(0, 1):uint())
end

request[C.list_or_select] = function(d, n, pinfo, tree)
    local len = d(0, 1):uint()
    local item = tree:add(hf.serial_length, d(0, 1))
    if n ~= 1 + len then
        item:add_proto_expert_info(ef.command_length, string.format(
            "Serial number of %d bytes, but %d bytes follow its length", len, n - 1))
    end
    if n == 1 then return "" end
    tree:add(hf.serial, d(1, math.min(len, n - 1)))
    return " " .. framing.hex_of(d(1, math.min(len, n - 1)):raw())
end

request[C.read_block] = block_only
request[C.read_value] = block_only

request[C.write_block] = function(d, n, pinfo, tree)
    local info = block_only(d, n, pinfo, tree)
    add_if(tree, hf.block_data, d, 1, BLOCK_BYTES)
    return info
end

local function value_request(f, words)
    return function(d, n, pinfo, tree)
        local info = block_only(d, n, pinfo, tree)
        if add_if(tree, f, d, 1, VALUE_BYTES) then
            info = info .. string.format(" %s %d", words, d(1, VALUE_BYTES):int())
        end
        return info
    end
end
request[C.write_value] = value_request(hf.value, "value")
request[C.increment] = value_request(hf.amount, "by")
request[C.decrement] = value_request(hf.amount, "by")

request[C.copy_value] = function(d, n, pinfo, tree)
    local info = block_only(d, n, pinfo, tree)
    add_if(tree, hf.target_block, d, 1, 1)
    return info
end

request[C.load_key] = function(d, n, pinfo, tree)
    tree:add(hf.key_number, d(0, 1))
    add_if(tree, hf.key, d, 1, KEY_BYTES)
    return string.format(" key %d", d(0, 1):uint())
end

local function addressed(f, words)
    return function(d, n, pinfo, tree)
        tree:add(f, d(0, 1))
        add_if(tree, hf.byte_value, d, 1, 1)
        return string.format(" %s 0x%02X", words, d(0, 1):uint())
    end
end
request[C.read_eeprom] = addressed(hf.address, "address")
request[C.write_eeprom] = addressed(hf.address, "address")
request[C.read_register] = addressed(hf.register, "register")
request[C.write_register] = addressed(hf.register, "register")

request[C.write_user_port] = function(d, n, pinfo, tree)
    tree:add(hf.user_port, d(0, 1))
    return ""
end

local function ask_request(code)
    return function(d, n, pinfo, tree)
        tree:add(hf.ask_sector, d(0, 1))
        add_if(tree, hf.ask_data, d, 1, row_of(code).request - 1)
        return string.format(" sector %d", d(0, 1):uint())
    end
end
for _, code in ipairs({ C.ask_write, C.ask_write_other_mode, C.ask_read, C.ask_multi_read }) do
    request[code] = ask_request(code)
end

request[C.telegram] = function(d, n, pinfo, tree, ctx)
    tree:add(hf.telegram_count, d(0, 1))
    local option = nil
    local oitem = add_if(tree, hf.telegram_option, d, 1, 1)
    if oitem then
        option = d(1, 1):uint()
        oitem:add(hf.option_crc_append, d(1, 1))
        oitem:add(hf.option_crc_check, d(1, 1))
        oitem:add(hf.option_other, d(1, 1))
    end
    if n <= TELEGRAM_HEADER then return "" end
    local count = d(0, 1):uint()
    if count ~= n - TELEGRAM_HEADER then
        tree:add_proto_expert_info(framing.ef.length, string.format(
            "Telegram count %d, but %d bytes follow the option byte", count, n - TELEGRAM_HEADER))
    end
    local card = ctx.card
    local command = ctx.command
    if first_pass(pinfo) then
        local t = M.classify_telegram(card, option, d(TELEGRAM_HEADER):raw())
        command.telegram = { kind = t.kind, body_length = #t.body, crc = t.crc, page = t.page,
            option = option }
        card.compatibility_page = nil
    end
    local t = command.telegram
    local bt = tree:add(hf.card_bytes, d(TELEGRAM_HEADER))
    bt:add(hf.telegram_kind, d(TELEGRAM_HEADER), t.kind):set_generated()
    local btvb = d(TELEGRAM_HEADER, t.body_length):tvb()
    if t.crc then bt:add(hf.telegram_crc, d(TELEGRAM_HEADER + t.body_length, 2)) end

    if t.kind == "rats" then
        iso_dep.dissect_rats(btvb, bt)
        return " RATS"
    elseif t.kind == "iso_dep" then
        return " " .. iso_dep.dissect_block(btvb, pinfo, bt, false,
            { session = card.session, joined = ctx.joined, key = ctx.key })
    elseif t.kind == "type2" then
        local sent, info = type2.dissect_command(btvb, bt)
        command.type2 = sent
        if first_pass(pinfo) and sent.code == type2.COMPATIBILITY_WRITE then
            card.compatibility_page = sent.page
        end
        return " " .. info
    elseif t.kind == "type2_data" then
        return " " .. type2.dissect_write_data(btvb, bt, t.page)
    end
    return ""
end

-- The receive request (frame type 01) carries filler bytes only.
local function receive_request(d, n, pinfo, tree)
    tree:add(hf.receive_filler, d())
    return ""
end

---------------------------------------------------------------------------
-- Reply fields, per command: (command, r, m, pinfo, tree, ctx) -> Info
-- text. r is the whole reply block (m bytes), its reader status 0.
---------------------------------------------------------------------------

local reply = {}

local function selected(command, r, m, pinfo, tree, ctx)
    if m < ENTRY.offset + ENTRY.size then return "" end
    if first_pass(pinfo) then ctx.reset_card(r(ENTRY.offset, 1):uint()) end
    return " serial " .. add_tag(tree, r, ENTRY.offset)
end
reply[C.select] = selected

reply[C.list_or_select] = function(command, r, m, pinfo, tree, ctx)
    if (command.data_length or 0) > 0 then return selected(command, r, m, pinfo, tree, ctx) end
    if m <= DATA then return "" end
    local k = r(DATA, 1):uint()
    tree:add(hf.tag_count, r(DATA, 1))
    local shown = 0
    for i = 0, k - 1 do
        local off = ENTRY.offset + ENTRY.size * i
        if off + ENTRY.size > m then break end
        add_tag(tree:add(hf.tag, r(off, ENTRY.size)):append_text(" " .. (i + 1)), r, off)
        shown = shown + 1
    end
    if shown < k then
        tree:add_proto_expert_info(framing.ef.length, string.format(
            "%d cards listed, %d entries in the reply", k, shown))
    end
    return string.format(" %d card%s", k, k == 1 and "" or "s")
end

local function fixed(f)
    return function(command, r, m, pinfo, tree)
        add_if(tree, f, r, DATA, row_of(command.code).reply)
        return ""
    end
end
reply[C.read_block] = fixed(hf.block_data)
reply[C.write_block] = fixed(hf.block_data)
reply[C.load_key] = fixed(hf.key)
reply[C.field_off] = fixed(hf.field_state)
reply[C.field_on] = fixed(hf.field_state)
reply[C.read_user_port] = fixed(hf.user_port)
reply[C.write_user_port] = fixed(hf.user_port)

local function value_reply(command, r, m, pinfo, tree)
    if add_if(tree, hf.value, r, DATA, VALUE_BYTES) then
        return string.format(" value %d", r(DATA, VALUE_BYTES):int())
    end
    return ""
end
for _, code in ipairs({ C.read_value, C.write_value, C.increment, C.decrement, C.copy_value }) do
    reply[code] = value_reply
end

local function byte_reply(command, r, m, pinfo, tree)
    if add_if(tree, hf.byte_value, r, DATA, 1) then
        return string.format(" 0x%02X", r(DATA, 1):uint())
    end
    return ""
end
for _, code in ipairs({ C.read_eeprom, C.write_eeprom, C.read_register, C.write_register }) do
    reply[code] = byte_reply
end

reply[C.status] = function(command, r, m, pinfo, tree)
    local block_bytes = row_of(C.status).reply - STATUS_RECORD_BYTES
    add_if(tree, hf.status_block, r, DATA, block_bytes)
    local at = DATA + block_bytes
    for _, f in ipairs(STATUS_RECORD) do
        add_if(tree, hf[f[1]], r, at, f[2])
        at = at + f[2]
    end
    return ""
end

local function ask_reply(command, r, m, pinfo, tree)
    local len = row_of(command.code).reply
    if add_if(tree, hf.ask_data, r, DATA, len) then
        return " " .. framing.hex_of(r(DATA, len):raw())
    end
    return ""
end
for _, code in ipairs({ C.ask_write, C.ask_write_other_mode, C.ask_read, C.ask_multi_read }) do
    reply[code] = ask_reply
end

-- The data a reply declares (P bytes from DATA), as far as it is there.
local function declared_data(r, m)
    if m <= DATA then return nil end
    local avail = math.min(r(W.block.data_length, 1):uint(), m - DATA)
    if avail <= 0 then return nil end
    return r(DATA, avail)
end

reply[C.read_atqb] = function(command, r, m, pinfo, tree)
    local data = declared_data(r, m)
    if data == nil then return "" end
    -- ATQB: 50, PUPI (4), application data (4), protocol info (3).
    local t = tree:add(hf.atqb, data)
    add_if(t, hf.atqb_pupi, r, DATA + 1, 4)
    add_if(t, hf.atqb_application, r, DATA + 5, 4)
    add_if(t, hf.atqb_protocol, r, DATA + 9, 3)
    return ""
end

reply[C.telegram] = function(command, r, m, pinfo, tree, ctx)
    local data = declared_data(r, m)
    if data == nil then return "" end
    local at = tree:add(hf.card_answer, data)
    local t = command.telegram
    if t == nil then return "" end
    local atvb = data:tvb()
    -- The answer's CRC, when the reader was asked to leave it on.
    if t.option and band(t.option, M.OPTION.crc_check) == 0 then
        local body, crc = without_crc(atvb:raw())
        if crc then
            at:add(hf.telegram_crc, atvb(#body, 2))
            atvb = atvb(0, #body):tvb()
        end
    end
    if t.kind == "rats" then
        iso_dep.dissect_ats(atvb, at)
        if first_pass(pinfo) then ctx.card.session.active = true end
        return " ATS"
    elseif t.kind == "iso_dep" then
        return " " .. iso_dep.dissect_block(atvb, pinfo, at, true,
            { session = ctx.card.session, joined = ctx.joined, key = ctx.key })
    elseif (t.kind == "type2" and command.type2) or t.kind == "type2_data" then
        local text = type2.dissect_answer(atvb, at, command.type2 or { code = type2.COMPATIBILITY_WRITE })
        return text ~= "" and (" " .. text) or ""
    end
    return ""
end

-- Every command the library knows, and what this part decodes of it: false
-- where the command carries nothing (or nothing beyond its status).
M.decoders = {}
for _, code in pairs(C) do M.decoders[code] = { request = false, reply = false } end
for code, f in pairs(request) do M.decoders[code].request = f end
for code, f in pairs(reply) do M.decoders[code].reply = f end

---------------------------------------------------------------------------
-- Entry points for the command and reply frames
---------------------------------------------------------------------------

-- The request data d (a tvb, nil when empty). ctx: card (the reader's card
-- state), command (the command's record), joined, key. Returns Info text.
function M.dissect_request(code, frame_type, d, pinfo, tree, ctx)
    local n = d and d:len() or 0
    if frame_type == W.frame_type.receive then
        if n > 0 then receive_request(d, n, pinfo, tree) end
        return ""
    end
    -- Commands that end the selected card's session: until a select's reply
    -- names the new card, none is known.
    if first_pass(pinfo) and (code == C.reset or code == C.field_off or code == C.field_on
        or code == C.select or code == C.list_or_select) then
        ctx.reset_card(nil)
    end
    if n == 0 then return "" end
    local decoder = M.decoders[code]
    if decoder == nil or not decoder.request then return "" end
    local info = decoder.request(d, n, pinfo, tree, ctx)
    -- "read block 4" rather than "read block block 4"
    if M.label(code, frame_type, n):sub(-6) == " block" then info = info:gsub("^ block", "", 1) end
    return info
end

-- The reply block r (m bytes) to command: its header and reader status in
-- `tree`, and the fields of a reply that carries the command out in `root`.
-- mitem is the item of the reply's length M. Returns Info text.
function M.dissect_reply(command, r, m, pinfo, tree, root, ctx, mitem)
    tree:add(hf.block0, r(0, 1))
    if m < DATA - 2 then return "" end
    local status = r(W.block.status, 2):uint()
    local sitem = tree:add(hf.reader_status, r(W.block.status, 2))
    local known = ZELVORN_READER_STATUSES[status]
    local info = string.format(", reader %04X", status)
    if status ~= W.block.ok then info = info .. (known and (" (" .. known.name .. ")") or "") end
    add_if(tree, hf.block3, r, W.block.reserved, 1)
    add_if(tree, framing.hf.data_length, r, W.block.data_length, 1)
    if m > DATA then tree:add(framing.hf.data, r(DATA)) end
    if status ~= W.block.ok then
        sitem:add_proto_expert_info(ef.reader, string.format("Reader status %04X%s", status,
            known and (": " .. known.name .. ", " .. known.meaning) or ""))
        return info
    end
    if command == nil or command.code == nil then return info end
    local expected = M.expected_reply_data(command)
    if expected and expected + DATA ~= m then
        mitem:add_proto_expert_info(ef.reply_length, string.format(
            "%s replies with %d data bytes (M = %d), here M = %d",
            M.label(command.code, command.frame_type, command.data_length), expected,
            expected + DATA, m))
    end
    if command.frame_type == W.frame_type.receive then return info end
    local decoder = M.decoders[command.code]
    if decoder and decoder.reply then
        info = info .. decoder.reply(command, r, m, pinfo, root, ctx)
    end
    return info
end

return M
