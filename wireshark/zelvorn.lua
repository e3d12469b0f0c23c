-- Wireshark dissector for the Zelvorn contactless reader (Wireshark 4.0 and
-- later, Lua 5.2).
--
-- The reader takes one command frame per vendor control transfer out (STX,
-- the packet in upper-case hexadecimal digits, ETX) and answers with one reply
-- frame spread over 8-byte interrupt-IN packets. This dissector decodes both,
-- joins the reply packets, links each reply to its command, and reads the
-- fields each command carries, down to the ISO/IEC 14443-4 blocks and APDUs of
-- processor cards.
--
-- The build puts the reader's USB IDs and the command table (taken from the
-- library's own protocol table) in front of this file: install or load the
-- zelvorn.lua the build writes, not this source.

if ZELVORN_USB_IDS == nil or ZELVORN_COMMANDS == nil then
    error("zelvorn.lua: this is the source without the generated command table; "
          .. "load the zelvorn.lua that the build writes (build/wireshark/zelvorn.lua)")
end

local band, bor, lshift, rshift = bit32.band, bit32.bor, bit32.lshift, bit32.rshift

local STX, ETX = 0x02, 0x03
-- A reply longer than this without ETX is not collected any further: the
-- library gives up after 256 characters anyway.
local MAX_REPLY_CHARS = 1024

local zelvorn = Proto("zelvorn", "Zelvorn reader protocol")

---------------------------------------------------------------------------
-- Fields
---------------------------------------------------------------------------

local command_names = {}
for code, command_row in pairs(ZELVORN_COMMANDS) do command_names[code] = command_row.name end

local checksum_status_names = { [0] = "Bad", [1] = "Good" }

local reader_status_names = {}
for word, status_row in pairs(ZELVORN_READER_STATUSES) do
    reader_status_names[word] = status_row.name
end
local transport_status_names = {}
for word, status_row in pairs(ZELVORN_TRANSPORT_STATUSES) do
    transport_status_names[word] = status_row.name
end

local hf = {
    frame = ProtoField.none("zelvorn.frame", "Frame"),
    stx = ProtoField.uint8("zelvorn.stx", "STX", base.HEX),
    text = ProtoField.string("zelvorn.text", "Hexadecimal text"),
    etx = ProtoField.uint8("zelvorn.etx", "ETX", base.HEX),
    trailing = ProtoField.bytes("zelvorn.trailing", "Bytes after ETX"),
    packet = ProtoField.bytes("zelvorn.packet", "Packet"),

    start = ProtoField.uint8("zelvorn.start", "Start byte", base.HEX),
    frame_type = ProtoField.uint8("zelvorn.frame_type", "Frame type", base.HEX,
        { [0xE0] = "Command", [0x01] = "Receive request" }),
    length = ProtoField.uint8("zelvorn.length", "Length", base.DEC),
    command = ProtoField.uint8("zelvorn.command", "Command", base.HEX, command_names),
    command_name = ProtoField.string("zelvorn.command_name", "Command name"),
    card_command = ProtoField.bool("zelvorn.card_command", "Talks to a card"),
    data_length = ProtoField.uint8("zelvorn.data_length", "Data length", base.DEC),
    data = ProtoField.bytes("zelvorn.data", "Data"),
    checksum = ProtoField.uint8("zelvorn.checksum", "Checksum", base.HEX),
    checksum_calculated = ProtoField.uint8("zelvorn.checksum.calculated", "Calculated checksum",
        base.HEX),
    checksum_status = ProtoField.uint8("zelvorn.checksum.status", "Checksum status", base.DEC,
        checksum_status_names),

    reply_byte0 = ProtoField.uint8("zelvorn.reply.byte0", "Byte 0 (not interpreted)", base.HEX),
    transport_status = ProtoField.uint16("zelvorn.transport_status", "Transport status", base.HEX,
        transport_status_names),
    payload = ProtoField.bytes("zelvorn.payload", "Payload"),
    block0 = ProtoField.uint8("zelvorn.reply.block0", "Reply byte 0 (not interpreted)", base.HEX),
    reader_status = ProtoField.uint16("zelvorn.reader_status", "Reader status", base.HEX,
        reader_status_names),
    block3 = ProtoField.uint8("zelvorn.reply.block3", "Reply byte 3 (not interpreted)", base.HEX),

    response_in = ProtoField.framenum("zelvorn.response_in", "Response in", base.NONE,
        frametype.RESPONSE),
    request_in = ProtoField.framenum("zelvorn.request_in", "Request in", base.NONE,
        frametype.REQUEST),
    response_time = ProtoField.relative_time("zelvorn.time", "Time from request"),
    fragment = ProtoField.framenum("zelvorn.fragment", "Reply packet"),
    fragment_count = ProtoField.uint16("zelvorn.fragment.count", "Reply packets"),
    reassembled_in = ProtoField.framenum("zelvorn.reassembled_in", "Reply completed in"),
    empty_packet = ProtoField.none("zelvorn.empty_packet", "Empty interrupt packet"),

    -- Command parameters and reply fields.
    card_type = ProtoField.uint8("zelvorn.card_type", "Card type", base.HEX),
    serial_length = ProtoField.uint8("zelvorn.serial_length", "Serial number length"),
    serial = ProtoField.bytes("zelvorn.serial", "Serial number"),
    serial_field = ProtoField.bytes("zelvorn.serial_field", "Serial number field (10 bytes)"),
    tag_count = ProtoField.uint8("zelvorn.tag_count", "Cards listed"),
    tag = ProtoField.none("zelvorn.tag", "Card"),
    sector = ProtoField.uint8("zelvorn.sector", "Sector"),
    key_type = ProtoField.uint8("zelvorn.key_type", "Key", base.HEX,
        { [0xAA] = "Key A", [0xBB] = "Key B", [0xFF] = "Reader key F" }),
    key_selector = ProtoField.uint8("zelvorn.key_selector", "Key selector", base.HEX),
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

    -- Telegrams and what travels inside them.
    telegram_count = ProtoField.uint8("zelvorn.telegram.count", "Bytes for the card"),
    telegram_option = ProtoField.uint8("zelvorn.telegram.option", "Option", base.HEX),
    card_bytes = ProtoField.bytes("zelvorn.telegram.card_bytes", "To the card"),
    card_answer = ProtoField.bytes("zelvorn.telegram.card_answer", "Card's answer"),

    iso_pcb = ProtoField.uint8("zelvorn.iso.pcb", "PCB", base.HEX),
    iso_block = ProtoField.string("zelvorn.iso.block", "Block"),
    iso_block_number = ProtoField.uint8("zelvorn.iso.block_number", "Block number", base.DEC,
        nil, 0x01),
    iso_chaining = ProtoField.bool("zelvorn.iso.chaining", "Chaining", 8, nil, 0x10),
    iso_cid_follows = ProtoField.bool("zelvorn.iso.cid_follows", "CID follows", 8, nil, 0x08),
    iso_nad_follows = ProtoField.bool("zelvorn.iso.nad_follows", "NAD follows", 8, nil, 0x04),
    iso_cid = ProtoField.uint8("zelvorn.iso.cid", "CID", base.DEC, nil, 0x0F),
    iso_nad = ProtoField.uint8("zelvorn.iso.nad", "NAD", base.HEX),
    iso_inf = ProtoField.bytes("zelvorn.iso.inf", "INF"),
    iso_wtxm = ProtoField.uint8("zelvorn.iso.wtxm", "WTXM", base.DEC, nil, 0x3F),
    iso_fsdi = ProtoField.uint8("zelvorn.iso.rats.fsdi", "FSDI", base.DEC, nil, 0xF0),
    iso_rats_cid = ProtoField.uint8("zelvorn.iso.rats.cid", "CID", base.DEC, nil, 0x0F),
    ats = ProtoField.bytes("zelvorn.iso.ats", "ATS"),
    ats_tl = ProtoField.uint8("zelvorn.iso.ats.tl", "TL", base.DEC),
    ats_t0 = ProtoField.uint8("zelvorn.iso.ats.t0", "T0", base.HEX),
    ats_fsci = ProtoField.uint8("zelvorn.iso.ats.fsci", "FSCI", base.DEC, nil, 0x0F),
    ats_ta = ProtoField.uint8("zelvorn.iso.ats.ta", "TA(1)", base.HEX),
    ats_tb = ProtoField.uint8("zelvorn.iso.ats.tb", "TB(1)", base.HEX),
    ats_tc = ProtoField.uint8("zelvorn.iso.ats.tc", "TC(1)", base.HEX),
    ats_historical = ProtoField.bytes("zelvorn.iso.ats.historical", "Historical bytes"),
    chain_part = ProtoField.framenum("zelvorn.iso.chain_part", "Part in frame"),

    apdu = ProtoField.bytes("zelvorn.apdu", "APDU"),
    apdu_cla = ProtoField.uint8("zelvorn.apdu.cla", "CLA", base.HEX),
    apdu_ins = ProtoField.uint8("zelvorn.apdu.ins", "INS", base.HEX),
    apdu_p1 = ProtoField.uint8("zelvorn.apdu.p1", "P1", base.HEX),
    apdu_p2 = ProtoField.uint8("zelvorn.apdu.p2", "P2", base.HEX),
    apdu_lc = ProtoField.uint16("zelvorn.apdu.lc", "Lc"),
    apdu_le = ProtoField.uint32("zelvorn.apdu.le", "Le"),
    apdu_data = ProtoField.bytes("zelvorn.apdu.data", "Data"),
    apdu_body = ProtoField.bytes("zelvorn.apdu.body", "Body (does not match its Lc)"),
    apdu_response = ProtoField.bytes("zelvorn.apdu.response", "Response APDU"),
    apdu_sw = ProtoField.uint16("zelvorn.apdu.sw", "SW1 SW2", base.HEX),
}
local field_list = {}
for _, f in pairs(hf) do field_list[#field_list + 1] = f end
zelvorn.fields = field_list

local ef = {
    checksum = ProtoExpert.new("zelvorn.checksum.bad", "Bad checksum",
        expert.group.CHECKSUM, expert.severity.ERROR),
    lower_case = ProtoExpert.new("zelvorn.lower_case", "Lower-case hexadecimal digit",
        expert.group.PROTOCOL, expert.severity.WARN),
    not_hex = ProtoExpert.new("zelvorn.not_hex", "Not a hexadecimal digit",
        expert.group.MALFORMED, expert.severity.WARN),
    no_stx = ProtoExpert.new("zelvorn.no_stx", "Frame does not start with STX",
        expert.group.MALFORMED, expert.severity.WARN),
    no_etx = ProtoExpert.new("zelvorn.no_etx", "Frame ends without ETX",
        expert.group.MALFORMED, expert.severity.ERROR),
    odd_digits = ProtoExpert.new("zelvorn.odd_digits", "Odd number of hexadecimal digits",
        expert.group.MALFORMED, expert.severity.WARN),
    trailing = ProtoExpert.new("zelvorn.trailing", "Bytes after ETX",
        expert.group.PROTOCOL, expert.severity.WARN),
    short = ProtoExpert.new("zelvorn.short", "Packet too short",
        expert.group.MALFORMED, expert.severity.ERROR),
    length = ProtoExpert.new("zelvorn.length.mismatch", "Length disagrees with the packet",
        expert.group.MALFORMED, expert.severity.WARN),
    reply_length = ProtoExpert.new("zelvorn.length.unexpected",
        "Reply length other than the command's",
        expert.group.PROTOCOL, expert.severity.WARN),
    transport = ProtoExpert.new("zelvorn.transport_status.error", "Command not taken",
        expert.group.RESPONSE_CODE, expert.severity.WARN),
    reader = ProtoExpert.new("zelvorn.reader_status.error", "Reader reports an error",
        expert.group.RESPONSE_CODE, expert.severity.NOTE),
    no_request = ProtoExpert.new("zelvorn.no_request", "Reply without a command",
        expert.group.SEQUENCE, expert.severity.WARN),
    cut = ProtoExpert.new("zelvorn.reply.cut", "Reply cut short: no ETX before the next command",
        expert.group.SEQUENCE, expert.severity.ERROR),
    empty = ProtoExpert.new("zelvorn.empty_packet.expert", "Empty interrupt packet",
        expert.group.SEQUENCE, expert.severity.NOTE),
    too_long = ProtoExpert.new("zelvorn.reply.too_long", "Reply too long: no ETX in "
        .. MAX_REPLY_CHARS .. " characters", expert.group.MALFORMED, expert.severity.ERROR),
    iso = ProtoExpert.new("zelvorn.iso.malformed", "Block does not follow ISO/IEC 14443-4",
        expert.group.PROTOCOL, expert.severity.WARN),
    apdu = ProtoExpert.new("zelvorn.apdu.malformed", "APDU body does not match its length bytes",
        expert.group.MALFORMED, expert.severity.NOTE),
    command_length = ProtoExpert.new("zelvorn.command.length", "Data length other than the command's",
        expert.group.PROTOCOL, expert.severity.WARN),
}
zelvorn.experts = { ef.checksum, ef.lower_case, ef.not_hex, ef.no_stx, ef.no_etx, ef.odd_digits,
    ef.trailing, ef.short, ef.length, ef.reply_length, ef.transport, ef.reader, ef.no_request,
    ef.cut, ef.empty, ef.too_long, ef.iso, ef.apdu, ef.command_length }

---------------------------------------------------------------------------
-- State of the first pass, keyed by frame number so that re-dissection in any
-- order shows the same tree.
---------------------------------------------------------------------------

local S

local function reset_state()
    S = {
        devices = {},    -- [device] = true once known to be a reader
        open = {},       -- [device] = reply being collected
        fragment = {},   -- [frame] = the reply record the packet belongs to
        commands = {},   -- [frame] = command record
        waiting = {},    -- [device] = command record still without its reply
        iso = {},        -- [device] = ISO/IEC 14443-4 chaining state
        apdus = {},      -- [frame] = { raw = joined APDU, parts = {frames} }
        empty = {},      -- [frame] = true for an empty packet from a reader
    }
end
reset_state()
zelvorn.init = reset_state

local function hex_of(raw)
    return (raw:gsub(".", function(c) return string.format("%02X", c:byte()) end))
end

local function bytes_tvb(raw, name)
    return ByteArray.new(raw, true):tvb(name)
end

local function device_of(address)
    return (tostring(address):match("^(%d+%.%d+)%.%d+$"))
end

local function endpoint_of(address)
    return tonumber(tostring(address):match("%.(%d+)$"))
end

---------------------------------------------------------------------------
-- The frame: STX, hexadecimal text, ETX
---------------------------------------------------------------------------

local function digit_value(c)
    if c >= 0x30 and c <= 0x39 then return c - 0x30 end
    if c >= 0x41 and c <= 0x46 then return c - 0x41 + 10 end
    if c >= 0x61 and c <= 0x66 then return c - 0x61 + 10 end
    return nil
end

-- Shows the frame in ftvb and decodes its text the way the library does (a
-- character that is not a digit counts as 0). Returns the decoded packet as a
-- raw string and whether the frame ended with ETX.
local function dissect_frame(ftvb, pinfo, tree)
    local length = ftvb:len()
    local ftree = tree:add(hf.frame, ftvb())
    local pos = 0
    if length > 0 and ftvb(0, 1):uint() == STX then
        ftree:add(hf.stx, ftvb(0, 1))
        pos = 1
    else
        ftree:add_proto_expert_info(ef.no_stx)
    end
    local etx = nil
    for i = pos, length - 1 do
        if ftvb(i, 1):uint() == ETX then
            etx = i
            break
        end
    end
    local text_end = etx or length
    local bytes = {}
    if text_end > pos then
        local text_item = ftree:add(hf.text, ftvb(pos, text_end - pos))
        local lower, bad = 0, 0
        local i = pos
        while i + 1 < text_end do
            local hi, lo = ftvb(i, 1):uint(), ftvb(i + 1, 1):uint()
            for k, c in ipairs({ hi, lo }) do
                if digit_value(c) == nil then
                    bad = bad + 1
                    text_item:add_proto_expert_info(ef.not_hex, string.format(
                        "Not a hexadecimal digit: 0x%02X at offset %d", c, i + k - 1))
                elseif c >= 0x61 then
                    lower = lower + 1
                end
            end
            bytes[#bytes + 1] = string.char((digit_value(hi) or 0) * 16 + (digit_value(lo) or 0))
            i = i + 2
        end
        if lower > 0 then
            text_item:add_proto_expert_info(ef.lower_case,
                string.format("%d lower-case hexadecimal digit%s", lower, lower > 1 and "s" or ""))
        end
        if (text_end - pos) % 2 ~= 0 then
            text_item:add_proto_expert_info(ef.odd_digits)
        end
    end
    if etx then
        ftree:add(hf.etx, ftvb(etx, 1))
        if etx + 1 < length then
            ftree:add(hf.trailing, ftvb(etx + 1)):add_proto_expert_info(ef.trailing)
        end
    else
        ftree:add_proto_expert_info(ef.no_etx)
    end
    return table.concat(bytes), etx ~= nil
end

local function xor_of(ptvb, count)
    local sum = 0
    for i = 0, count - 1 do sum = bit32.bxor(sum, ptvb(i, 1):uint()) end
    return sum
end

-- The checksum byte at offset `at`, over the bytes before it.
local function add_checksum(ptvb, tree, at)
    if ptvb:len() <= at then
        tree:add_proto_expert_info(ef.short, "Packet too short: no checksum")
        return false
    end
    local expected = xor_of(ptvb, at)
    local actual = ptvb(at, 1):uint()
    local item = tree:add(hf.checksum, ptvb(at, 1))
    local good = expected == actual
    item:add(hf.checksum_status, ptvb(at, 1), good and 1 or 0):set_generated()
    if not good then
        item:add(hf.checksum_calculated, ptvb(at, 1), expected):set_generated()
        item:add_proto_expert_info(ef.checksum, string.format(
            "Bad checksum: 0x%02X, the packet's bytes give 0x%02X", actual, expected))
        item:append_text(string.format(" [incorrect, should be 0x%02X]", expected))
    else
        item:append_text(" [correct]")
    end
    return good
end

---------------------------------------------------------------------------
-- ISO/IEC 14443-4 blocks and APDUs
---------------------------------------------------------------------------

local function iso_state(device)
    local st = S.iso[device]
    if st == nil then
        st = { host = {}, card = {} }
        S.iso[device] = st
    end
    return st
end

local function dissect_command_apdu(atvb, tree)
    local n = atvb:len()
    local t = tree:add(hf.apdu, atvb())
    if n < 4 then
        t:add_proto_expert_info(ef.apdu, "APDU shorter than its 4-byte header")
        return
    end
    t:add(hf.apdu_cla, atvb(0, 1))
    t:add(hf.apdu_ins, atvb(1, 1))
    t:add(hf.apdu_p1, atvb(2, 1))
    t:add(hf.apdu_p2, atvb(3, 1))
    if n == 4 then return end
    local b4 = atvb(4, 1):uint()
    if n == 5 then
        t:add(hf.apdu_le, atvb(4, 1), b4 == 0 and 256 or b4)
    elseif b4 ~= 0 and (n == 5 + b4 or n == 6 + b4) then
        t:add(hf.apdu_lc, atvb(4, 1))
        t:add(hf.apdu_data, atvb(5, b4))
        if n == 6 + b4 then
            local le = atvb(5 + b4, 1):uint()
            t:add(hf.apdu_le, atvb(5 + b4, 1), le == 0 and 256 or le)
        end
    elseif b4 == 0 and n == 7 then
        local le = atvb(5, 2):uint()
        t:add(hf.apdu_le, atvb(4, 3), le == 0 and 65536 or le)
    elseif b4 == 0 and n >= 7 and (n == 7 + atvb(5, 2):uint() or n == 9 + atvb(5, 2):uint()) then
        local lc = atvb(5, 2):uint()
        t:add(hf.apdu_lc, atvb(4, 3), lc)
        t:add(hf.apdu_data, atvb(7, lc))
        if n == 9 + lc then
            local le = atvb(7 + lc, 2):uint()
            t:add(hf.apdu_le, atvb(7 + lc, 2), le == 0 and 65536 or le)
        end
    else
        t:add(hf.apdu_body, atvb(4)):add_proto_expert_info(ef.apdu)
    end
end

local function dissect_response_apdu(atvb, tree)
    local n = atvb:len()
    local t = tree:add(hf.apdu_response, atvb())
    if n < 2 then
        t:add_proto_expert_info(ef.apdu, "Response APDU shorter than SW1 SW2")
        return nil
    end
    if n > 2 then t:add(hf.apdu_data, atvb(0, n - 2)) end
    t:add(hf.apdu_sw, atvb(n - 2, 2))
    return atvb(n - 2, 2):uint()
end

local function dissect_ats(atvb, tree)
    local n = atvb:len()
    local t = tree:add(hf.ats, atvb())
    if n == 0 then return end
    t:add(hf.ats_tl, atvb(0, 1))
    if n < 2 then return end
    local t0 = atvb(1, 1):uint()
    t:add(hf.ats_t0, atvb(1, 1))
    t:add(hf.ats_fsci, atvb(1, 1))
    local at = 2
    for _, f in ipairs({ { 0x10, hf.ats_ta }, { 0x20, hf.ats_tb }, { 0x40, hf.ats_tc } }) do
        if band(t0, f[1]) ~= 0 and at < n then
            t:add(f[2], atvb(at, 1))
            at = at + 1
        end
    end
    if at < n then t:add(hf.ats_historical, atvb(at)) end
end

-- A block to or from the card. from_card tells the direction; ctx carries the
-- device and frame for the chaining state. Returns a short text for the Info
-- column.
local function dissect_block(btvb, pinfo, tree, from_card, ctx)
    local n = btvb:len()
    if n == 0 then return "empty" end
    local pcb = btvb(0, 1):uint()
    local t = tree:add(hf.iso_pcb, btvb(0, 1))
    local st = iso_state(ctx.device)
    local first = not pinfo.visited

    if band(pcb, 0xE2) == 0x02 then
        local chaining = band(pcb, 0x10) ~= 0
        local number = band(pcb, 0x01)
        t:add(hf.iso_block, btvb(0, 1), "I"):set_generated()
        t:add(hf.iso_block_number, btvb(0, 1))
        t:add(hf.iso_chaining, btvb(0, 1))
        t:add(hf.iso_cid_follows, btvb(0, 1))
        t:add(hf.iso_nad_follows, btvb(0, 1))
        local header = 1
        if band(pcb, 0x08) ~= 0 and header < n then
            tree:add(hf.iso_cid, btvb(header, 1)); header = header + 1
        end
        if band(pcb, 0x04) ~= 0 and header < n then
            tree:add(hf.iso_nad, btvb(header, 1)); header = header + 1
        end
        local inf = header < n and btvb(header):raw() or ""
        if header < n then tree:add(hf.iso_inf, btvb(header)) end

        local side = from_card and st.card or st.host
        if first then
            if from_card then
                -- The host acknowledges each chained block; the card never
                -- repeats one unasked.
                if chaining then
                    side.parts = side.parts or {}
                    side.parts[#side.parts + 1] = { frame = pinfo.number, inf = inf }
                end
            else
                -- A chaining block counts once the card acknowledges it; an
                -- R(NAK) brings the same block again.
                if chaining then
                    st.host.pending = { frame = pinfo.number, inf = inf, number = number }
                end
            end
            if not chaining and side.parts and #side.parts > 0 then
                local raw, frames = {}, {}
                for _, part in ipairs(side.parts) do
                    raw[#raw + 1] = part.inf
                    frames[#frames + 1] = part.frame
                end
                raw[#raw + 1] = inf
                S.apdus[ctx.key] = { raw = table.concat(raw), parts = frames }
            end
            if not chaining then side.parts = nil end
            if not chaining and not from_card then st.host.pending = nil end
        end

        local label = string.format("I(%d)%s", number, chaining and " chaining" or "")
        local joined = S.apdus[ctx.key]
        if joined then
            local atvb = bytes_tvb(joined.raw, from_card and "Reassembled response APDU"
                or "Reassembled APDU")
            for _, frame in ipairs(joined.parts) do
                tree:add(hf.chain_part, btvb(0, 1), frame):set_generated()
            end
            if from_card then
                local sw = dissect_response_apdu(atvb, tree)
                if sw then label = label .. string.format(" SW %04X", sw) end
            else
                dissect_command_apdu(atvb, tree)
            end
            label = label .. string.format(" (APDU of %d bytes, %d blocks)", atvb:len(),
                #joined.parts + 1)
        elseif not chaining and header <= n then
            local atvb = header < n and btvb(header):tvb() or nil
            if from_card then
                if atvb then
                    local sw = dissect_response_apdu(atvb, tree)
                    if sw then label = label .. string.format(" SW %04X", sw) end
                end
            elseif atvb then
                dissect_command_apdu(atvb, tree)
            end
        end
        return label
    elseif band(pcb, 0xE6) == 0xA2 then
        local nak = band(pcb, 0x10) ~= 0
        local name = nak and "R(NAK)" or "R(ACK)"
        local number = band(pcb, 0x01)
        t:add(hf.iso_block, btvb(0, 1), name):set_generated()
        t:add(hf.iso_block_number, btvb(0, 1))
        t:add(hf.iso_cid_follows, btvb(0, 1))
        if band(pcb, 0x08) ~= 0 and n > 1 then tree:add(hf.iso_cid, btvb(1, 1)) end
        if first and from_card then
            local pending = st.host.pending
            if pending and not nak and pending.number == number then
                st.host.parts = st.host.parts or {}
                st.host.parts[#st.host.parts + 1] = { frame = pending.frame, inf = pending.inf }
                st.host.pending = nil
            elseif nak then
                st.host.pending = nil
            end
        end
        return string.format("%s(%d)", name, number)
    elseif band(pcb, 0xC7) == 0xC2 then
        local kind = band(pcb, 0x30)
        local header = 1
        t:add(hf.iso_cid_follows, btvb(0, 1))
        if band(pcb, 0x08) ~= 0 and n > 1 then
            tree:add(hf.iso_cid, btvb(1, 1)); header = 2
        end
        if kind == 0x30 then
            t:add(hf.iso_block, btvb(0, 1), "S(WTX)"):set_generated()
            if header < n then
                tree:add(hf.iso_wtxm, btvb(header, 1))
                return string.format("S(WTX) WTXM %d", band(btvb(header, 1):uint(), 0x3F))
            end
            tree:add_proto_expert_info(ef.iso, "S(WTX) without its WTXM byte")
            return "S(WTX)"
        elseif kind == 0x00 then
            t:add(hf.iso_block, btvb(0, 1), "S(DESELECT)"):set_generated()
            if first then S.iso[ctx.device] = nil end
            return "S(DESELECT)"
        end
        t:add(hf.iso_block, btvb(0, 1), "S(?)"):set_generated()
        t:add_proto_expert_info(ef.iso, "S-block of an unknown kind")
        return "S(?)"
    end
    t:add(hf.iso_block, btvb(0, 1), "?"):set_generated()
    t:add_proto_expert_info(ef.iso, string.format("PCB 0x%02X is no I-, R- or S-block", pcb))
    return string.format("PCB %02X", pcb)
end

---------------------------------------------------------------------------
-- Command parameters and reply fields, per command code
---------------------------------------------------------------------------

-- Adds field f over len bytes at off of tvb when they are all there.
local function add_if(tree, f, tvb, off, len)
    if tvb:len() >= off + len then return tree:add(f, tvb(off, len)) end
    return nil
end

local function add_value(tree, f, tvb, off)
    if tvb:len() >= off + 4 then return tree:add(f, tvb(off, 4)) end
    return nil
end

local function add_tag(tree, r, off)
    local len = r(off + 1, 1):uint()
    tree:add(hf.card_type, r(off, 1))
    tree:add(hf.serial_length, r(off + 1, 1))
    tree:add(hf.serial, r(off + 2, math.min(len, 10)))
    tree:add(hf.serial_field, r(off + 2, 10))
    return hex_of(r(off + 2, math.min(len, 10)):raw())
end

-- Request data d (a tvb, may be nil when empty). Returns Info text.
local function dissect_request_data(code, frame_type, d, pinfo, tree, ctx)
    local n = d and d:len() or 0
    if frame_type == 0x01 then
        if n > 0 then tree:add(hf.receive_filler, d()) end
        return ""
    end
    if n == 0 then return "" end
    if code == 0x02 then
        add_if(tree, hf.sector, d, 0, 1)
        if n >= 8 then
            tree:add(hf.key_type, d(1, 1))
            tree:add(hf.key, d(2, 6))
        else
            add_if(tree, hf.key_selector, d, 1, 1)
        end
        return string.format(" sector %d", d(0, 1):uint())
    elseif code == 0x03 then
        local len = d(0, 1):uint()
        tree:add(hf.serial_length, d(0, 1))
        if n > 1 then tree:add(hf.serial, d(1, math.min(len, n - 1))) end
        return " " .. hex_of(d(1, math.min(len, n - 1)):raw())
    elseif code == 0x06 or code == 0x07 then
        tree:add(hf.block, d(0, 1))
        return string.format(" block %d", d(0, 1):uint())
    elseif code == 0x0A then
        tree:add(hf.block, d(0, 1))
        add_if(tree, hf.block_data, d, 1, 16)
        return string.format(" block %d", d(0, 1):uint())
    elseif code == 0x0B then
        tree:add(hf.block, d(0, 1))
        local item = add_value(tree, hf.value, d, 1)
        return string.format(" block %d", d(0, 1):uint())
            .. (item and string.format(" value %d", d(1, 4):int()) or "")
    elseif code == 0x0F or code == 0x10 then
        tree:add(hf.block, d(0, 1))
        local item = add_value(tree, hf.amount, d, 1)
        return string.format(" block %d", d(0, 1):uint())
            .. (item and string.format(" by %d", d(1, 4):int()) or "")
    elseif code == 0x11 then
        tree:add(hf.block, d(0, 1))
        add_if(tree, hf.target_block, d, 1, 1)
        return string.format(" block %d", d(0, 1):uint())
    elseif code == 0x0D then
        tree:add(hf.key_number, d(0, 1))
        add_if(tree, hf.key, d, 1, 6)
        return string.format(" key %d", d(0, 1):uint())
    elseif code == 0x08 or code == 0x0C then
        tree:add(hf.address, d(0, 1))
        add_if(tree, hf.byte_value, d, 1, 1)
        return string.format(" address 0x%02X", d(0, 1):uint())
    elseif code == 0x19 or code == 0x1A then
        tree:add(hf.register, d(0, 1))
        add_if(tree, hf.byte_value, d, 1, 1)
        return string.format(" register 0x%02X", d(0, 1):uint())
    elseif code == 0x15 then
        tree:add(hf.user_port, d(0, 1))
        return ""
    elseif code >= 0x32 and code <= 0x35 then
        tree:add(hf.ask_sector, d(0, 1))
        if code <= 0x33 then add_if(tree, hf.ask_data, d, 1, 2) end
        return string.format(" sector %d", d(0, 1):uint())
    elseif code == 0x16 then
        tree:add(hf.telegram_count, d(0, 1))
        add_if(tree, hf.telegram_option, d, 1, 1)
        if n <= 2 then return "" end
        local count = d(0, 1):uint()
        if count ~= n - 2 then
            tree:add_proto_expert_info(ef.length, string.format(
                "Telegram count %d, but %d bytes follow the option byte", count, n - 2))
        end
        local btvb = d(2):tvb()
        local bt = tree:add(hf.card_bytes, d(2))
        if btvb(0, 1):uint() == 0xE0 and n - 2 == 2 then
            bt:add(hf.iso_block, btvb(0, 1), "RATS"):set_generated()
            bt:add(hf.iso_fsdi, btvb(1, 1))
            bt:add(hf.iso_rats_cid, btvb(1, 1))
            ctx.command.rats = true
            return " RATS"
        end
        return " " .. dissect_block(btvb, pinfo, bt, false, ctx)
    end
    return ""
end

-- The data of a reply whose reader status is 0: r is the whole reply block
-- (payload), m its length. Returns Info text.
local function dissect_reply_data(command, r, m, pinfo, tree, ctx)
    local code, frame_type = command.code, command.frame_type
    if frame_type == 0x01 or code == 0x16 or code == 0x21 then
        if m <= 5 then return "" end
        local p = r(4, 1):uint()
        local avail = math.min(p, m - 5)
        if avail <= 0 then return "" end
        local data = r(5, avail)
        if code == 0x16 and frame_type ~= 0x01 then
            local at = tree:add(hf.card_answer, data)
            local atvb = data:tvb()
            if command.rats then
                dissect_ats(atvb, at)
                return " ATS"
            end
            return " " .. dissect_block(atvb, pinfo, at, true, ctx)
        elseif code == 0x21 and frame_type ~= 0x01 then
            local t = tree:add(hf.atqb, data)
            add_if(t, hf.atqb_pupi, r, 6, 4)
            add_if(t, hf.atqb_application, r, 10, 4)
            add_if(t, hf.atqb_protocol, r, 14, 3)
        end
        return ""
    end
    if code == 0x00 or code == 0x03 then
        if code == 0x03 and command.data_length == 0 then
            if m < 6 then return "" end
            local k = r(5, 1):uint()
            tree:add(hf.tag_count, r(5, 1))
            local shown = 0
            for i = 0, k - 1 do
                local off = 6 + 12 * i
                if off + 12 > m then break end
                add_tag(tree:add(hf.tag, r(off, 12)):append_text(" " .. (i + 1)), r, off)
                shown = shown + 1
            end
            if shown < k then
                tree:add_proto_expert_info(ef.length, string.format(
                    "%d cards listed, %d entries in the reply", k, shown))
            end
            return string.format(" %d card%s", k, k == 1 and "" or "s")
        end
        if m >= 18 then return " serial " .. add_tag(tree, r, 6) end
        return ""
    end
    if code == 0x06 or code == 0x0A then
        add_if(tree, hf.block_data, r, 5, 16)
    elseif code == 0x07 or code == 0x0B or code == 0x0F or code == 0x10 or code == 0x11 then
        if add_value(tree, hf.value, r, 5) then return string.format(" value %d", r(5, 4):int()) end
    elseif code == 0x0D then
        add_if(tree, hf.key, r, 5, 6)
    elseif code == 0x12 or code == 0x13 then
        add_if(tree, hf.field_state, r, 5, 1)
    elseif code == 0x14 or code == 0x15 then
        add_if(tree, hf.user_port, r, 5, 1)
    elseif code == 0x08 or code == 0x0C or code == 0x19 or code == 0x1A then
        if add_if(tree, hf.byte_value, r, 5, 1) then
            return string.format(" 0x%02X", r(5, 1):uint())
        end
    elseif code == 0x18 then
        add_if(tree, hf.status_block, r, 5, 20)
        add_if(tree, hf.status_a, r, 25, 1)
        add_if(tree, hf.status_b, r, 26, 4)
        add_if(tree, hf.status_c, r, 30, 1)
        add_if(tree, hf.status_d, r, 31, 1)
        add_if(tree, hf.status_e, r, 32, 1)
        add_if(tree, hf.status_f, r, 33, 2)
    elseif code >= 0x32 and code <= 0x35 then
        local len = code == 0x35 and 8 or 2
        if add_if(tree, hf.ask_data, r, 5, len) then return " " .. hex_of(r(5, len):raw()) end
    end
    return ""
end

---------------------------------------------------------------------------
-- Commands and replies
---------------------------------------------------------------------------

local function command_label(code, frame_type)
    if frame_type == 0x01 then return "Receive" end
    if code == nil then return "unknown command" end
    return command_names[code] or string.format("unknown command 0x%02X", code)
end

local function add_time(tree, from, to)
    local d = to - from
    if d < 0 then d = 0 end
    local secs = math.floor(d)
    return tree:add(hf.response_time, NSTime.new(secs, math.floor((d - secs) * 1e9 + 0.5)))
end

local function dissect_command(tvb, pinfo, tree, device)
    local ftvb = tvb(7):tvb()
    local root = tree:add(zelvorn, tvb(7), "Zelvorn reader command")
    local raw = dissect_frame(ftvb, pinfo, root)
    local first = not pinfo.visited
    local command = S.commands[pinfo.number]
    if first then
        command = { frame = pinfo.number, time = pinfo.rel_ts }
        S.commands[pinfo.number] = command
        -- A reply still open when the next command goes out never ended.
        local open = S.open[device]
        if open then
            open.cut = true
            open.cut_by = pinfo.number
            command.cut_reply = open
            S.open[device] = nil
        end
        S.waiting[device] = command
    end

    local info = "Command"
    if #raw > 0 then
        local ptvb = bytes_tvb(raw, "Command packet")
        local pt = root:add(hf.packet, ptvb())
        if ptvb:len() < 6 then
            pt:add_proto_expert_info(ef.short, "Command packet of fewer than 6 bytes")
        end
        add_if(pt, hf.start, ptvb, 0, 1)
        if ptvb:len() >= 5 then
            local frame_type = ptvb(1, 1):uint()
            local code = ptvb(3, 1):uint()
            local n = ptvb(4, 1):uint()
            local command_row = ZELVORN_COMMANDS[code]
            if first then
                command.code, command.frame_type, command.data_length = code, frame_type, n
            end
            pt:add(hf.frame_type, ptvb(1, 1))
            local litem = pt:add(hf.length, ptvb(2, 1))
            local citem = pt:add(hf.command, ptvb(3, 1))
            pt:add(hf.command_name, ptvb(3, 1), command_label(code, frame_type)):set_generated()
            if command_row and frame_type ~= 0x01 then
                pt:add(hf.card_command, ptvb(3, 1), command_row.card):set_generated()
                if command_row.request >= 0 and command_row.request ~= n then
                    citem:add_proto_expert_info(ef.command_length, string.format(
                        "%s carries %d data bytes, here %d", command_row.name, command_row.request, n))
                end
            end
            pt:add(hf.data_length, ptvb(4, 1))
            if frame_type ~= 0x01 and ptvb(2, 1):uint() ~= n + 2 then
                litem:add_proto_expert_info(ef.length, string.format(
                    "Length %d, but %d data bytes make %d", ptvb(2, 1):uint(), n, n + 2))
            end
            local have = math.min(n, ptvb:len() - 5)
            local d = nil
            if have > 0 then
                pt:add(hf.data, ptvb(5, have))
                d = ptvb(5, have):tvb()
            end
            if have < n then
                pt:add_proto_expert_info(ef.short, string.format(
                    "N says %d data bytes, the packet holds %d", n, math.max(have, 0)))
            else
                add_checksum(ptvb, pt, 5 + n)
                if ptvb:len() > 6 + n then
                    pt:add_proto_expert_info(ef.length, string.format(
                        "%d bytes after the checksum", ptvb:len() - 6 - n))
                end
            end
            local ctx = { device = device, key = pinfo.number, command = command }
            local label = command_label(code, frame_type)
            local detail = dissect_request_data(code, frame_type, d, pinfo, root, ctx)
            -- "read block 4" rather than "read block block 4"
            if label:sub(-6) == " block" then detail = detail:gsub("^ block", "", 1) end
            info = label .. detail
            root:append_text(": " .. info)
        end
    end
    if command.cut_reply then
        root:add_proto_expert_info(ef.cut, string.format(
            "The reply begun in frame %d never ended (no ETX) before this command",
            command.cut_reply.frames[1]))
    end
    if command.reply and command.reply.final then
        local item = root:add(hf.response_in, tvb(7), command.reply.final)
        item:set_generated()
    end
    pinfo.cols.info:set(info)
end

local function dissect_reply(rtvb, pinfo, tree, rec, complete)
    local root = tree:add(zelvorn, rtvb(), complete and "Zelvorn reader reply"
        or "Zelvorn reader reply (incomplete)")
    for _, frame in ipairs(rec.frames) do
        root:add(hf.fragment, rtvb(0, 0), frame):set_generated()
    end
    root:add(hf.fragment_count, rtvb(0, 0), #rec.frames):set_generated()
    if rec.cut then
        root:add_proto_expert_info(ef.cut, rec.cut_by and string.format(
            "Reply cut short: no ETX before the command in frame %d", rec.cut_by)
            or "Reply cut short: a new reply began before ETX")
    end
    if rec.too_long then root:add_proto_expert_info(ef.too_long) end

    local command = rec.request
    local info = command and ("Reply to " .. command_label(command.code, command.frame_type))
        or "Reply"
    if command then
        root:add(hf.request_in, rtvb(0, 0), command.frame):set_generated()
        add_time(root, command.time, rec.time):set_generated()
    else
        root:add_proto_expert_info(ef.no_request)
    end

    local raw = dissect_frame(rtvb, pinfo, root)
    if #raw == 0 then
        pinfo.cols.info:set(info .. " (empty)")
        return
    end
    local ptvb = bytes_tvb(raw, "Reply packet")
    local pt = root:add(hf.packet, ptvb())
    if ptvb:len() < 5 then
        pt:add_proto_expert_info(ef.short, "Reply packet of fewer than 5 bytes")
    end
    add_if(pt, hf.reply_byte0, ptvb, 0, 1)
    local titem = add_if(pt, hf.transport_status, ptvb, 1, 2)
    local transport = titem and ptvb(1, 2):uint()
    if transport then info = info .. string.format(": %04X", transport) end
    local taken = ZELVORN_TRANSPORT_STATUSES[transport]
    if transport and transport ~= 0x9000 then
        titem:add_proto_expert_info(ef.transport, string.format(
            "Transport status %04X%s", transport,
            taken and (": " .. taken.name .. ", " .. taken.meaning) or ""))
    end
    if ptvb:len() < 4 then
        pinfo.cols.info:set(info)
        return
    end
    local m = ptvb(3, 1):uint()
    local mitem = pt:add(hf.length, ptvb(3, 1))
    local have = math.min(m, ptvb:len() - 4)
    if have < m then
        mitem:add_proto_expert_info(ef.short, string.format(
            "M says %d payload bytes, the packet holds %d", m, math.max(have, 0)))
    else
        add_checksum(ptvb, pt, 4 + m)
        if ptvb:len() > 5 + m then
            pt:add_proto_expert_info(ef.length, string.format(
                "%d bytes after the checksum", ptvb:len() - 5 - m))
        end
    end
    if have <= 0 then
        pinfo.cols.info:set(info)
        return
    end
    local r = ptvb(4, have):tvb()
    local payload = pt:add(hf.payload, ptvb(4, have))
    payload:add(hf.block0, r(0, 1))
    if have >= 3 then
        local status = r(1, 2):uint()
        local sitem = payload:add(hf.reader_status, r(1, 2))
        info = info .. string.format(", reader %04X", status)
        if have >= 4 then payload:add(hf.block3, r(3, 1)) end
        if have >= 5 then payload:add(hf.data_length, r(4, 1)) end
        if have > 5 then payload:add(hf.data, r(5)) end
        if status ~= 0 then
            local known = ZELVORN_READER_STATUSES[status]
            sitem:add_proto_expert_info(ef.reader, string.format("Reader status %04X%s", status,
                known and (": " .. known.name .. ", " .. known.meaning) or ""))
        elseif command and command.code then
            local command_row = ZELVORN_COMMANDS[command.code]
            if command_row and command.frame_type ~= 0x01 and command_row.reply >= 0 and command_row.reply + 5 ~= m then
                mitem:add_proto_expert_info(ef.reply_length, string.format(
                    "%s replies with %d data bytes (M = %d), here M = %d",
                    command_row.name, command_row.reply, command_row.reply + 5, m))
            end
            local ctx = { device = rec.device, key = pinfo.number, command = command }
            info = info .. dissect_reply_data(command, r, have, pinfo, root, ctx)
        end
    end
    root:append_text(": " .. info)
    pinfo.cols.info:set(info)
end

-- One interrupt packet from the reader: part of a reply.
local function dissect_reply_packet(tvb, pinfo, tree, device)
    local first = not pinfo.visited
    if first then
        local rec = S.open[device]
        local data = tvb:len() > 0 and tvb:raw() or ""
        if rec == nil and #data > 0 then
            rec = { device = device, raw = "", frames = {} }
            S.open[device] = rec
            rec.request = S.waiting[device]
            S.waiting[device] = nil
            if rec.request then rec.request.reply = rec end
        end
        if rec then
            -- A new STX where a reply is under way begins another reply.
            if #rec.raw > 0 and data:byte(1) == STX then
                rec.cut = true
                S.open[device] = nil
                rec = { device = device, raw = "", frames = {} }
                S.open[device] = rec
            end
            rec.frames[#rec.frames + 1] = pinfo.number
            rec.time = pinfo.rel_ts
            S.fragment[pinfo.number] = rec
            if #rec.raw < MAX_REPLY_CHARS then
                rec.raw = rec.raw .. data
            else
                rec.too_long = true
            end
            if data:find(string.char(ETX), 1, true) then
                rec.final = pinfo.number
                S.open[device] = nil
            end
        end
        if tvb:len() == 0 then
            S.fragment[pinfo.number] = S.fragment[pinfo.number] or { empty = true, frames = {} }
        end
    end

    local rec = S.fragment[pinfo.number]
    if rec == nil then return 0 end
    if tvb:len() == 0 then
        local item = tree:add(zelvorn, tvb(), "Zelvorn reader: empty interrupt packet")
        item:add(hf.empty_packet, tvb()):add_proto_expert_info(ef.empty)
        pinfo.cols.info:set("Empty interrupt packet")
        return 1
    end
    local last = rec.frames[#rec.frames] == pinfo.number
    -- A reply that never got its ETX shows, as far as it goes, on its last
    -- packet: once the next command (or the end of the capture) is known.
    local unfinished = last and (rec.cut or rec.too_long
        or (pinfo.visited and S.open[rec.device] == rec))
    if rec.final == pinfo.number or unfinished then
        dissect_reply(bytes_tvb(rec.raw, "Reassembled reply"), pinfo, tree, rec,
            rec.final == pinfo.number)
    else
        local item = tree:add(zelvorn, tvb(), "Zelvorn reader reply packet")
        local index = 0
        for i, frame in ipairs(rec.frames) do if frame == pinfo.number then index = i end end
        item:append_text(string.format(" %d", index))
        if rec.final then
            item:add(hf.reassembled_in, tvb(), rec.final):set_generated()
        end
        pinfo.cols.info:set(string.format("Reply packet %d (%d bytes)%s", index, tvb:len(),
            rec.final and string.format(", reply in frame %d", rec.final) or ""))
    end
    return tvb:len()
end

---------------------------------------------------------------------------
-- Attaching to USB
---------------------------------------------------------------------------

local product_key = ZELVORN_USB_IDS.vendor * 65536 + ZELVORN_USB_IDS.product

-- A control transfer's data, as the USB dissector hands it over: bRequest,
-- wValue, wIndex, wLength, then the frame. Only the reader's request (0, 0,
-- 0) whose data is STX, printable characters and ETX is taken for one when
-- the device is not known from its descriptors.
local function looks_like_command(tvb)
    if tvb:len() < 9 then return false end
    if tvb(0, 1):uint() ~= 0 or tvb(1, 2):le_uint() ~= 0 or tvb(3, 2):le_uint() ~= 0 then
        return false
    end
    if tvb(7, 1):uint() ~= STX then return false end
    for i = 8, tvb:len() - 1 do
        local c = tvb(i, 1):uint()
        if not ((c >= 0x20 and c < 0x7F) or (c == ETX and i == tvb:len() - 1)) then
            return false
        end
    end
    return true
end

function zelvorn.dissector(tvb, pinfo, tree)
    local src, dst = tostring(pinfo.src), tostring(pinfo.dst)
    local from_host = src == "host"
    local device = device_of(from_host and pinfo.dst or pinfo.src)
    if device == nil then return 0 end
    if pinfo.match_uint == product_key then S.devices[device] = true end

    if from_host then
        -- Commands travel in the submissions of control transfers to
        -- endpoint 0; interrupt submissions carry nothing.
        if endpoint_of(pinfo.dst) ~= 0 or tvb:len() < 7 then return 0 end
        if not S.devices[device] then
            if not looks_like_command(tvb) then return 0 end
            if not pinfo.visited then S.devices[device] = true end
        end
        if tvb:len() == 7 then return 0 end
        pinfo.cols.protocol:set("ZELVORN")
        dissect_command(tvb, pinfo, tree, device)
        return tvb:len()
    end
    if not S.devices[device] or endpoint_of(pinfo.src) == 0 then return 0 end
    local consumed = dissect_reply_packet(tvb, pinfo, tree, device)
    if consumed > 0 then pinfo.cols.protocol:set("ZELVORN") end
    return consumed
end

-- The USB dissector hands no empty interrupt packet to a subdissector. A
-- postdissector sees them: a packet from a reader's interrupt endpoint that
-- the dissector above did not take carried no data.
local gaps = Proto("zelvorn_empty", "Zelvorn reader empty packets")

function gaps.dissector(tvb, pinfo, tree)
    if pinfo.number == nil or S.fragment[pinfo.number] then return end
    local src = tostring(pinfo.src)
    local device = device_of(src)
    if device == nil or not S.devices[device] or endpoint_of(src) == 0 then return end
    if not pinfo.visited then
        S.empty[pinfo.number] = true
        local rec = S.open[device]
        if rec then rec.empty = (rec.empty or 0) + 1 end
    end
    if not S.empty[pinfo.number] then return end
    local item = tree:add(zelvorn, tvb(0, 0), "Zelvorn reader: empty interrupt packet")
    item:add(hf.empty_packet, tvb(0, 0)):add_proto_expert_info(ef.empty)
    pinfo.cols.protocol:set("ZELVORN")
    pinfo.cols.info:set("Empty interrupt packet")
end
register_postdissector(gaps)

DissectorTable.get("usb.product"):add(product_key, zelvorn)
DissectorTable.get("usb.control"):add(0xffff, zelvorn)
DissectorTable.get("usb.interrupt"):add(0xffff, zelvorn)
DissectorTable.get("usb.interrupt"):add(0xff, zelvorn)
