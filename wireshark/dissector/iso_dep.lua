-- ISO/IEC 14443-4 (ISO-DEP): the blocks that travel inside telegrams to a
-- processor card, their chaining, WTX, RATS and ATS, and the APDUs the blocks
-- carry, with the instruction and status words named as ISO/IEC 7816-4
-- names them.
--
-- The block forms (PCB bits) are those of ISO/IEC 14443-4, as nfcpy's and
-- libnfc's ISO-DEP code read them; the instructions and the status words
-- those of ISO/IEC 7816-4, as Wireshark's packet-iso7816.c names them.

if ZELVORN_WIRE == nil then
    error("zelvorn: this is a part of the dissector's source; load the zelvorn.lua the build "
          .. "writes (build/wireshark/zelvorn.lua)")
end

local band = bit32.band

local framing = framing
local M = {}

---------------------------------------------------------------------------
-- Names: instructions and status words
---------------------------------------------------------------------------

-- The interindustry instructions of ISO/IEC 7816-4 (odd INS: the same
-- command with its data in BER-TLV).
M.INSTRUCTIONS = {
    [0x04] = "DEACTIVATE FILE", [0x0C] = "ERASE RECORD", [0x0E] = "ERASE BINARY",
    [0x0F] = "ERASE BINARY", [0x20] = "VERIFY", [0x21] = "VERIFY",
    [0x22] = "MANAGE SECURITY ENVIRONMENT", [0x24] = "CHANGE REFERENCE DATA",
    [0x26] = "DISABLE VERIFICATION REQUIREMENT", [0x28] = "ENABLE VERIFICATION REQUIREMENT",
    [0x2A] = "PERFORM SECURITY OPERATION", [0x2C] = "RESET RETRY COUNTER",
    [0x44] = "ACTIVATE FILE", [0x46] = "GENERATE ASYMMETRIC KEY PAIR", [0x70] = "MANAGE CHANNEL",
    [0x82] = "EXTERNAL AUTHENTICATE", [0x84] = "GET CHALLENGE", [0x86] = "GENERAL AUTHENTICATE",
    [0x87] = "GENERAL AUTHENTICATE", [0x88] = "INTERNAL AUTHENTICATE", [0xA0] = "SEARCH BINARY",
    [0xA1] = "SEARCH BINARY", [0xA2] = "SEARCH RECORD", [0xA4] = "SELECT",
    [0xB0] = "READ BINARY", [0xB1] = "READ BINARY", [0xB2] = "READ RECORD",
    [0xB3] = "READ RECORD", [0xC0] = "GET RESPONSE", [0xC2] = "ENVELOPE", [0xC3] = "ENVELOPE",
    [0xCA] = "GET DATA", [0xCB] = "GET DATA", [0xD0] = "WRITE BINARY", [0xD1] = "WRITE BINARY",
    [0xD2] = "WRITE RECORD", [0xD6] = "UPDATE BINARY", [0xD7] = "UPDATE BINARY",
    [0xDA] = "PUT DATA", [0xDB] = "PUT DATA", [0xDC] = "UPDATE RECORD", [0xDD] = "UPDATE RECORD",
    [0xE0] = "CREATE FILE", [0xE2] = "APPEND RECORD", [0xE4] = "DELETE FILE",
    [0xE6] = "TERMINATE DF", [0xE8] = "TERMINATE EF", [0xFE] = "TERMINATE CARD USAGE",
}

-- The instruction's name. Only an interindustry class (bit 8 of CLA clear)
-- gives INS the meaning above; a proprietary class gives it its own.
function M.instruction_name(cla, ins)
    if cla == 0xFF then return "invalid class FF" end
    if band(cla, 0x80) ~= 0 then return string.format("proprietary (class %02X)", cla) end
    return M.INSTRUCTIONS[ins] or string.format("unknown instruction %02X", ins)
end

-- Status words of ISO/IEC 7816-4, each whole.
M.STATUS_WORDS = {
    [0x9000] = "done",
    [0x6200] = "warning: state unchanged",
    [0x6281] = "warning: part of the returned data may be corrupted",
    [0x6282] = "warning: end of file or record reached before Le bytes",
    [0x6283] = "warning: selected file deactivated",
    [0x6284] = "warning: file control information not formatted",
    [0x6300] = "warning: state changed (verification failed)",
    [0x6381] = "warning: file filled up by the last write",
    [0x6400] = "execution error: state unchanged",
    [0x6500] = "execution error: state changed",
    [0x6581] = "memory failure",
    [0x6700] = "wrong length",
    [0x6800] = "function in CLA not supported",
    [0x6881] = "logical channel not supported",
    [0x6882] = "secure messaging not supported",
    [0x6883] = "last command of the chain expected",
    [0x6884] = "command chaining not supported",
    [0x6900] = "command not allowed",
    [0x6981] = "command incompatible with file structure",
    [0x6982] = "security status not satisfied",
    [0x6983] = "authentication method blocked",
    [0x6984] = "reference data not usable",
    [0x6985] = "conditions of use not satisfied",
    [0x6986] = "command not allowed (no current EF)",
    [0x6987] = "expected secure messaging data objects missing",
    [0x6988] = "incorrect secure messaging data objects",
    [0x6A00] = "wrong parameters P1-P2",
    [0x6A80] = "incorrect parameters in the data field",
    [0x6A81] = "function not supported",
    [0x6A82] = "file or application not found",
    [0x6A83] = "record not found",
    [0x6A84] = "not enough memory space in the file",
    [0x6A85] = "Nc inconsistent with TLV structure",
    [0x6A86] = "incorrect parameters P1-P2",
    [0x6A87] = "Nc inconsistent with P1-P2",
    [0x6A88] = "referenced data not found",
    [0x6A89] = "file already exists",
    [0x6A8A] = "DF name already exists",
    [0x6B00] = "wrong parameters P1-P2 (offset outside the EF)",
    [0x6D00] = "instruction not supported or invalid",
    [0x6E00] = "class not supported",
    [0x6F00] = "no precise diagnosis",
}

-- Families named by SW1 alone: SW2 carries a number, or a detail the table
-- above does not list.
local SW1_FAMILIES = {
    [0x61] = function(sw2)
        return string.format("%d response bytes still available (GET RESPONSE)",
            sw2 == 0 and 256 or sw2)
    end,
    [0x6C] = function(sw2)
        return string.format("wrong Le: %d bytes available", sw2 == 0 and 256 or sw2)
    end,
    [0x63] = function(sw2)
        if band(sw2, 0xF0) == 0xC0 then
            return string.format("warning: verification failed, %d tries left", band(sw2, 0x0F))
        end
        return "warning: state changed"
    end,
    [0x62] = function() return "warning: state unchanged" end,
    [0x64] = function() return "execution error: state unchanged" end,
    [0x65] = function() return "execution error: state changed" end,
    [0x66] = function() return "security error" end,
    [0x67] = function() return "wrong length" end,
    [0x68] = function() return "function in CLA not supported" end,
    [0x69] = function() return "command not allowed" end,
    [0x6A] = function() return "wrong parameters" end,
}

-- What a status word says, in words.
function M.status_text(sw)
    local whole = M.STATUS_WORDS[sw]
    if whole then return whole end
    local sw1, sw2 = math.floor(sw / 256), sw % 256
    local family = SW1_FAMILIES[sw1]
    if family then return family(sw2) end
    if sw1 >= 0x90 and sw1 <= 0x9F then return "application-specific status" end
    return "unknown status"
end

-- Whether the card refused or failed the command (the checking and
-- execution errors, SW1 64 to 6F), as against done or a warning.
function M.status_is_error(sw)
    local sw1 = math.floor(sw / 256)
    return sw1 >= 0x64 and sw1 <= 0x6F
end

---------------------------------------------------------------------------
-- Fields
---------------------------------------------------------------------------

M.hf = {
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
    apdu_instruction = ProtoField.string("zelvorn.apdu.instruction", "Instruction"),
    apdu_p1 = ProtoField.uint8("zelvorn.apdu.p1", "P1", base.HEX),
    apdu_p2 = ProtoField.uint8("zelvorn.apdu.p2", "P2", base.HEX),
    apdu_lc = ProtoField.uint16("zelvorn.apdu.lc", "Lc"),
    apdu_le = ProtoField.uint32("zelvorn.apdu.le", "Le"),
    apdu_data = ProtoField.bytes("zelvorn.apdu.data", "Data"),
    apdu_body = ProtoField.bytes("zelvorn.apdu.body", "Body (does not match its Lc)"),
    apdu_response = ProtoField.bytes("zelvorn.apdu.response", "Response APDU"),
    apdu_sw = ProtoField.uint16("zelvorn.apdu.sw", "SW1 SW2", base.HEX),
    apdu_status = ProtoField.string("zelvorn.apdu.status", "Status"),
}

M.ef = {
    iso = ProtoExpert.new("zelvorn.iso.malformed", "Block does not follow ISO/IEC 14443-4",
        expert.group.PROTOCOL, expert.severity.WARN),
    apdu = ProtoExpert.new("zelvorn.apdu.malformed", "APDU body does not match its length bytes",
        expert.group.MALFORMED, expert.severity.NOTE),
    sw = ProtoExpert.new("zelvorn.apdu.sw.error", "The card refused or failed the command",
        expert.group.RESPONSE_CODE, expert.severity.NOTE),
}
local hf, ef = M.hf, M.ef

---------------------------------------------------------------------------
-- Blocks and their chaining, without Wireshark's tree
---------------------------------------------------------------------------

local PCB_CHAINING, PCB_NAK, PCB_CID, PCB_NAD, PCB_NUMBER = 0x10, 0x10, 0x08, 0x04, 0x01
M.RATS = 0xE0

-- What a PCB says: { kind = "I"|"R"|"S"|nil, name, number, chaining, nak,
-- cid (a CID byte follows), nad (a NAD byte follows) }.
function M.classify(pcb)
    local b = {
        number = band(pcb, PCB_NUMBER),
        cid = band(pcb, PCB_CID) ~= 0,
    }
    if band(pcb, 0xE2) == 0x02 then
        b.kind, b.name = "I", "I"
        b.chaining = band(pcb, PCB_CHAINING) ~= 0
        b.nad = band(pcb, PCB_NAD) ~= 0
    elseif band(pcb, 0xE6) == 0xA2 then
        b.kind = "R"
        b.nak = band(pcb, PCB_NAK) ~= 0
        b.name = b.nak and "R(NAK)" or "R(ACK)"
    elseif band(pcb, 0xC7) == 0xC2 then
        b.kind = "S"
        local s = band(pcb, 0x30)
        b.name = (s == 0x30 and "S(WTX)") or (s == 0x00 and "S(DESELECT)") or "S(?)"
        b.number = nil
    else
        b.name = "?"
        b.number = nil
    end
    return b
end

-- The ISO-DEP state of one reader's card: whether RATS opened the protocol
-- and the blocks of a chain not yet complete.
function M.new_session()
    return { active = false, host = {}, card = {} }
end

-- One block as the first pass sees it go by. Returns { raw = the joined
-- APDU, parts = the frames of the blocks before the last } when the block
-- ends a chain of several. The host's chaining block counts once the card
-- acknowledges it (an R(NAK) brings the same block again); the card's
-- chaining blocks count as they come, since the card repeats one only when
-- asked. S(DESELECT) ends the session.
function M.follow(session, frame, from_card, block, inf)
    if block.kind == "I" then
        local side = from_card and session.card or session.host
        local joined = nil
        if block.chaining then
            if from_card then
                side.parts = side.parts or {}
                side.parts[#side.parts + 1] = { frame = frame, inf = inf }
            else
                side.pending = { frame = frame, inf = inf, number = block.number }
            end
        else
            if side.parts and #side.parts > 0 then
                local raw, frames = {}, {}
                for _, part in ipairs(side.parts) do
                    raw[#raw + 1] = part.inf
                    frames[#frames + 1] = part.frame
                end
                raw[#raw + 1] = inf
                joined = { raw = table.concat(raw), parts = frames }
            end
            side.parts = nil
            side.pending = nil
        end
        return joined
    elseif block.kind == "R" and from_card then
        local pending = session.host.pending
        if pending and not block.nak and pending.number == block.number then
            session.host.parts = session.host.parts or {}
            session.host.parts[#session.host.parts + 1] = { frame = pending.frame, inf = pending.inf }
            session.host.pending = nil
        elseif block.nak then
            session.host.pending = nil
        end
    elseif block.name == "S(DESELECT)" then
        session.active, session.host, session.card = false, {}, {}
    end
    return nil
end

-- A command APDU's parts: { cla, ins, p1, p2, lc, data = {offset, length},
-- le, lc_at, le_at, lc_size, le_size, body_bad }. Cases 1 to 4, short and
-- extended, as ISO/IEC 7816-4 lays them out. nil for fewer than 4 bytes.
function M.parse_command_apdu(raw)
    local n = #raw
    if n < 4 then return nil end
    local a = { cla = raw:byte(1), ins = raw:byte(2), p1 = raw:byte(3), p2 = raw:byte(4) }
    if n == 4 then return a end
    local b4 = raw:byte(5)
    local function word(at) return raw:byte(at + 1) * 256 + raw:byte(at + 2) end
    if n == 5 then
        a.le, a.le_at, a.le_size = b4 == 0 and 256 or b4, 4, 1
    elseif b4 ~= 0 and (n == 5 + b4 or n == 6 + b4) then
        a.lc, a.lc_at, a.lc_size, a.data = b4, 4, 1, { 5, b4 }
        if n == 6 + b4 then
            local le = raw:byte(n)
            a.le, a.le_at, a.le_size = le == 0 and 256 or le, 5 + b4, 1
        end
    elseif b4 == 0 and n == 7 then
        local le = word(5)
        a.le, a.le_at, a.le_size = le == 0 and 65536 or le, 4, 3
    elseif b4 == 0 and n >= 7 and (n == 7 + word(5) or n == 9 + word(5)) then
        local lc = word(5)
        a.lc, a.lc_at, a.lc_size, a.data = lc, 4, 3, { 7, lc }
        if n == 9 + lc then
            local le = word(7 + lc)
            a.le, a.le_at, a.le_size = le == 0 and 65536 or le, 7 + lc, 2
        end
    else
        a.body_bad = true
    end
    return a
end

---------------------------------------------------------------------------
-- The tree
---------------------------------------------------------------------------

-- Returns a short text for the Info column.
function M.dissect_command_apdu(atvb, tree)
    local t = tree:add(hf.apdu, atvb())
    local a = M.parse_command_apdu(atvb:raw())
    if a == nil then
        t:add_proto_expert_info(ef.apdu, "APDU shorter than its 4-byte header")
        return "APDU"
    end
    local name = M.instruction_name(a.cla, a.ins)
    t:append_text(" (" .. name .. ")")
    t:add(hf.apdu_cla, atvb(0, 1))
    t:add(hf.apdu_ins, atvb(1, 1)):append_text(" (" .. name .. ")")
    t:add(hf.apdu_instruction, atvb(1, 1), name):set_generated()
    t:add(hf.apdu_p1, atvb(2, 1))
    t:add(hf.apdu_p2, atvb(3, 1))
    if a.body_bad then
        t:add(hf.apdu_body, atvb(4)):add_proto_expert_info(ef.apdu)
    end
    if a.lc then
        t:add(hf.apdu_lc, atvb(a.lc_at, a.lc_size), a.lc)
        t:add(hf.apdu_data, atvb(a.data[1], a.data[2]))
    end
    if a.le then t:add(hf.apdu_le, atvb(a.le_at, a.le_size), a.le) end
    return name
end

-- Returns the status word, or nil for a response shorter than one.
function M.dissect_response_apdu(atvb, tree)
    local n = atvb:len()
    local t = tree:add(hf.apdu_response, atvb())
    if n < 2 then
        t:add_proto_expert_info(ef.apdu, "Response APDU shorter than SW1 SW2")
        return nil
    end
    if n > 2 then t:add(hf.apdu_data, atvb(0, n - 2)) end
    local sw = atvb(n - 2, 2):uint()
    local text = M.status_text(sw)
    local item = t:add(hf.apdu_sw, atvb(n - 2, 2))
    item:append_text(" (" .. text .. ")")
    t:add(hf.apdu_status, atvb(n - 2, 2), text):set_generated()
    if M.status_is_error(sw) then
        item:add_proto_expert_info(ef.sw, string.format("SW %04X: %s", sw, text))
    end
    return sw
end

function M.dissect_rats(btvb, tree)
    tree:add(hf.iso_block, btvb(0, 1), "RATS"):set_generated()
    tree:add(hf.iso_fsdi, btvb(1, 1))
    tree:add(hf.iso_rats_cid, btvb(1, 1))
end

function M.dissect_ats(atvb, tree)
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

-- A block to or from the card. ctx: session (the device's ISO-DEP state),
-- joined (APDUs joined from chains, by frame), key (this frame). Returns a
-- short text for the Info column.
function M.dissect_block(btvb, pinfo, tree, from_card, ctx)
    local n = btvb:len()
    if n == 0 then return "empty" end
    local pcb = btvb(0, 1):uint()
    local t = tree:add(hf.iso_pcb, btvb(0, 1))
    local block = M.classify(pcb)
    t:add(hf.iso_block, btvb(0, 1), block.name):set_generated()

    local header = 1
    if block.kind ~= nil then
        t:add(hf.iso_cid_follows, btvb(0, 1))
        if block.cid and header < n then
            tree:add(hf.iso_cid, btvb(header, 1)); header = header + 1
        end
    end
    if block.kind == "I" then
        t:add(hf.iso_block_number, btvb(0, 1))
        t:add(hf.iso_chaining, btvb(0, 1))
        t:add(hf.iso_nad_follows, btvb(0, 1))
        if block.nad and header < n then
            tree:add(hf.iso_nad, btvb(header, 1)); header = header + 1
        end
    elseif block.kind == "R" then
        t:add(hf.iso_block_number, btvb(0, 1))
    end
    local inf = header < n and btvb(header):raw() or ""
    if block.kind == "I" and header < n then tree:add(hf.iso_inf, btvb(header)) end

    if not pinfo.visited then
        local joined = M.follow(ctx.session, pinfo.number, from_card, block, inf)
        if joined then ctx.joined[ctx.key] = joined end
    end

    if block.kind == "I" then
        local label = string.format("I(%d)%s", block.number, block.chaining and " chaining" or "")
        local joined = ctx.joined[ctx.key]
        local atvb = nil
        if joined then
            atvb = framing.bytes_tvb(joined.raw, from_card and "Reassembled response APDU"
                or "Reassembled APDU")
            for _, frame in ipairs(joined.parts) do
                tree:add(hf.chain_part, btvb(0, 1), frame):set_generated()
            end
        elseif not block.chaining and header < n then
            atvb = btvb(header):tvb()
        end
        if atvb then
            if from_card then
                local sw = M.dissect_response_apdu(atvb, tree)
                if sw then
                    label = label .. string.format(" SW %04X (%s)", sw, M.status_text(sw))
                end
            else
                label = label .. " " .. M.dissect_command_apdu(atvb, tree)
            end
        end
        if joined then
            label = label .. string.format(" (APDU of %d bytes, %d blocks)", atvb:len(),
                #joined.parts + 1)
        end
        return label
    elseif block.kind == "R" then
        return string.format("%s(%d)", block.name, block.number)
    elseif block.name == "S(WTX)" then
        if header < n then
            tree:add(hf.iso_wtxm, btvb(header, 1))
            return string.format("S(WTX) WTXM %d", band(btvb(header, 1):uint(), 0x3F))
        end
        tree:add_proto_expert_info(ef.iso, "S(WTX) without its WTXM byte")
        return "S(WTX)"
    elseif block.kind == "S" then
        if block.name == "S(?)" then t:add_proto_expert_info(ef.iso, "S-block of an unknown kind") end
        return block.name
    end
    t:add_proto_expert_info(ef.iso, string.format("PCB 0x%02X is no I-, R- or S-block", pcb))
    return string.format("PCB %02X", pcb)
end

return M
