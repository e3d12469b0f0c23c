-- The dissector itself (Wireshark 4.0 and later, Lua 5.2): the protocol and
-- its fields, the state of the first pass, command and reply frames linked to
-- each other, and where it attaches to Wireshark's USB dissector.
--
-- The reader takes one command frame per vendor control transfer out and
-- answers with one reply frame spread over 8-byte interrupt-IN packets. Each
-- command shows its frame, packet and parameters; the packet that completes a
-- reply shows the joined reply and its fields, down to the ISO/IEC 14443-4
-- blocks, APDUs and Type 2 tag commands that telegrams carry.

if ZELVORN_WIRE == nil then
    error("zelvorn: this is a part of the dissector's source; load the zelvorn.lua the build "
          .. "writes (build/wireshark/zelvorn.lua)")
end

local framing, iso_dep, type2, commands = framing, iso_dep, type2, commands
local W = ZELVORN_WIRE

local zelvorn = Proto("zelvorn", "Zelvorn reader protocol")

local hf = {
    response_in = ProtoField.framenum("zelvorn.response_in", "Response in", base.NONE,
        frametype.RESPONSE),
    request_in = ProtoField.framenum("zelvorn.request_in", "Request in", base.NONE,
        frametype.REQUEST),
    response_time = ProtoField.relative_time("zelvorn.time", "Time from request"),
}
local ef = {
    transport = ProtoExpert.new("zelvorn.transport_status.error", "Command not taken",
        expert.group.RESPONSE_CODE, expert.severity.WARN),
    no_request = ProtoExpert.new("zelvorn.no_request", "Reply without a command",
        expert.group.SEQUENCE, expert.severity.WARN),
}

do
    local fields, experts = {}, {}
    for _, part in ipairs({ { hf = hf, ef = ef }, framing, iso_dep, type2, commands }) do
        for _, f in pairs(part.hf) do fields[#fields + 1] = f end
        for _, e in pairs(part.ef) do experts[#experts + 1] = e end
    end
    zelvorn.fields = fields
    zelvorn.experts = experts
end
local fhf, fef, chf = framing.hf, framing.ef, commands.hf

---------------------------------------------------------------------------
-- State of the first pass, keyed by frame number so that re-dissection in any
-- order shows the same tree.
---------------------------------------------------------------------------

local S

local function reset_state()
    S = {
        devices = {},    -- [device] = true once known to be a reader
        replies = framing.new_replies(),
        commands = {},   -- [frame] = command record
        waiting = {},    -- [device] = command record still without its reply
        cards = {},      -- [device] = the card the reader talks to (commands.new_card)
        joined = {},     -- [frame] = APDU joined from chained blocks
        empty = {},      -- [frame] = true for an empty packet from a reader
    }
end
reset_state()
zelvorn.init = reset_state

-- What the per-command decoders need of a device's state.
local function context(device, key, command)
    local ctx = { key = key, command = command, joined = S.joined }
    ctx.card = S.cards[device] or commands.new_card(nil)
    S.cards[device] = ctx.card
    ctx.reset_card = function(sak)
        ctx.card = commands.new_card(sak)
        S.cards[device] = ctx.card
    end
    return ctx
end

local function add_time(tree, from, to)
    local d = to - from
    if d < 0 then d = 0 end
    local secs = math.floor(d)
    return tree:add(hf.response_time, NSTime.new(secs, math.floor((d - secs) * 1e9 + 0.5)))
end

---------------------------------------------------------------------------
-- Commands
---------------------------------------------------------------------------

local RQ = W.request

local function dissect_command(tvb, pinfo, tree, device)
    local at = framing.SETUP_BYTES
    local root = tree:add(zelvorn, tvb(at), "Zelvorn reader command")
    local raw = framing.dissect_frame(tvb(at):tvb(), root)
    local first = not pinfo.visited
    local command = S.commands[pinfo.number]
    if first then
        command = { frame = pinfo.number, time = pinfo.rel_ts }
        S.commands[pinfo.number] = command
        command.cut_reply = framing.cut_open(S.replies, device, pinfo.number)
        S.waiting[device] = command
    end

    local info = "Command"
    if #raw > 0 then
        local ptvb = framing.bytes_tvb(raw, "Command packet")
        local pt = root:add(fhf.packet, ptvb())
        if ptvb:len() < RQ.data + 1 then
            pt:add_proto_expert_info(fef.short, string.format(
                "Command packet of fewer than %d bytes", RQ.data + 1))
        end
        framing.add_if(pt, fhf.start, ptvb, RQ.start, 1)
        if ptvb:len() >= RQ.data then
            local frame_type = ptvb(RQ.frame_type, 1):uint()
            local code = ptvb(RQ.command, 1):uint()
            local n = ptvb(RQ.data_length, 1):uint()
            local length = ptvb(RQ.length, 1):uint()
            local is_command = frame_type ~= W.frame_type.receive
            local row = ZELVORN_COMMANDS[code]
            if first then
                command.code, command.frame_type, command.data_length = code, frame_type, n
            end
            local label = commands.label(code, frame_type, n)
            pt:add(fhf.frame_type, ptvb(RQ.frame_type, 1))
            local litem = pt:add(fhf.length, ptvb(RQ.length, 1))
            local citem = pt:add(chf.command, ptvb(RQ.command, 1))
            pt:add(chf.command_name, ptvb(RQ.command, 1), label):set_generated()
            if row and is_command then
                pt:add(chf.card_command, ptvb(RQ.command, 1), row.card):set_generated()
                if row.request >= 0 and row.request ~= n then
                    citem:add_proto_expert_info(commands.ef.command_length, string.format(
                        "%s carries %d data bytes, here %d", row.name, row.request, n))
                end
            end
            pt:add(fhf.data_length, ptvb(RQ.data_length, 1))
            -- L counts the command code and N besides the data.
            local header = RQ.data - RQ.command
            if is_command and length ~= n + header then
                litem:add_proto_expert_info(fef.length, string.format(
                    "Length %d, but %d data bytes make %d", length, n, n + header))
            end
            local have = math.min(n, ptvb:len() - RQ.data)
            local d = nil
            if have > 0 then
                pt:add(fhf.data, ptvb(RQ.data, have))
                d = ptvb(RQ.data, have):tvb()
            end
            if have < n then
                pt:add_proto_expert_info(fef.short, string.format(
                    "N says %d data bytes, the packet holds %d", n, math.max(have, 0)))
            else
                framing.add_tail(ptvb, pt, RQ.data, n)
            end
            local ctx = context(device, pinfo.number, command)
            info = label .. commands.dissect_request(code, frame_type, d, pinfo, root, ctx)
            root:append_text(": " .. info)
        end
    end
    if command.cut_reply then
        root:add_proto_expert_info(fef.cut, string.format(
            "The reply begun in frame %d never ended (no ETX) before this command",
            command.cut_reply.frames[1]))
    end
    if command.reply and command.reply.final then
        root:add(hf.response_in, tvb(at), command.reply.final):set_generated()
    end
    pinfo.cols.info:set(info)
end

---------------------------------------------------------------------------
-- Replies
---------------------------------------------------------------------------

local RP = W.reply

local function dissect_reply(rtvb, pinfo, tree, rec, complete)
    local root = tree:add(zelvorn, rtvb(), complete and "Zelvorn reader reply"
        or "Zelvorn reader reply (incomplete)")
    for _, frame in ipairs(rec.frames) do
        root:add(fhf.fragment, rtvb(0, 0), frame):set_generated()
    end
    root:add(fhf.fragment_count, rtvb(0, 0), #rec.frames):set_generated()
    if rec.cut then
        root:add_proto_expert_info(fef.cut, rec.cut_by and string.format(
            "Reply cut short: no ETX before the command in frame %d", rec.cut_by)
            or "Reply cut short: a new reply began before ETX")
    end
    if rec.too_long then root:add_proto_expert_info(fef.too_long) end

    local command = rec.request
    local info = command and ("Reply to "
        .. commands.label(command.code, command.frame_type, command.data_length)) or "Reply"
    if command then
        root:add(hf.request_in, rtvb(0, 0), command.frame):set_generated()
        add_time(root, command.time, rec.time):set_generated()
    else
        root:add_proto_expert_info(ef.no_request)
    end

    local raw = framing.dissect_frame(rtvb, root)
    if #raw == 0 then
        pinfo.cols.info:set(info .. " (empty)")
        return
    end
    local ptvb = framing.bytes_tvb(raw, "Reply packet")
    local pt = root:add(fhf.packet, ptvb())
    if ptvb:len() < RP.payload + 1 then
        pt:add_proto_expert_info(fef.short, string.format(
            "Reply packet of fewer than %d bytes", RP.payload + 1))
    end
    framing.add_if(pt, fhf.reply_byte0, ptvb, RP.first, 1)
    local titem = framing.add_if(pt, fhf.transport_status, ptvb, RP.status, 2)
    local transport = titem and ptvb(RP.status, 2):uint()
    local known = transport and ZELVORN_TRANSPORT_STATUSES[transport]
    if transport then info = info .. string.format(": %04X", transport) end
    if transport and transport ~= RP.ok then
        if known then info = info .. " (" .. known.name .. ")" end
        titem:add_proto_expert_info(ef.transport, string.format("Transport status %04X%s",
            transport, known and (": " .. known.name .. ", " .. known.meaning) or ""))
    end
    if ptvb:len() < RP.payload then
        pinfo.cols.info:set(info)
        return
    end
    local m = ptvb(RP.payload_length, 1):uint()
    local mitem = pt:add(fhf.length, ptvb(RP.payload_length, 1))
    local have = math.min(m, ptvb:len() - RP.payload)
    if have < m then
        mitem:add_proto_expert_info(fef.short, string.format(
            "M says %d payload bytes, the packet holds %d", m, math.max(have, 0)))
    else
        framing.add_tail(ptvb, pt, RP.payload, m)
    end
    if have > 0 then
        local r = ptvb(RP.payload, have):tvb()
        local payload = pt:add(fhf.payload, ptvb(RP.payload, have))
        local ctx = context(rec.device, pinfo.number, command)
        info = info .. commands.dissect_reply(command, r, have, pinfo, payload, root, ctx, mitem)
    end
    root:append_text(": " .. info)
    pinfo.cols.info:set(info)
end

-- One interrupt packet from the reader: part of a reply.
local function dissect_reply_packet(tvb, pinfo, tree, device)
    if not pinfo.visited then
        local data = tvb:len() > 0 and tvb:raw() or ""
        local rec, began = framing.collect(S.replies, device, pinfo.number, pinfo.rel_ts, data)
        if began then
            rec.request = S.waiting[device]
            S.waiting[device] = nil
            if rec.request then rec.request.reply = rec end
        end
    end

    local rec = S.replies.fragment[pinfo.number]
    if rec == nil then return 0 end
    if tvb:len() == 0 then
        local item = tree:add(zelvorn, tvb(), "Zelvorn reader: empty interrupt packet")
        item:add(fhf.empty_packet, tvb()):add_proto_expert_info(fef.empty)
        pinfo.cols.info:set("Empty interrupt packet")
        return 1
    end
    local last = rec.frames[#rec.frames] == pinfo.number
    -- A reply that never got its ETX shows, as far as it goes, on its last
    -- packet: once the next command (or the end of the capture) is known.
    local unfinished = last and (rec.cut or rec.too_long
        or (pinfo.visited and S.replies.open[rec.device] == rec))
    if rec.final == pinfo.number or unfinished then
        dissect_reply(framing.bytes_tvb(rec.raw, "Reassembled reply"), pinfo, tree, rec,
            rec.final == pinfo.number)
    else
        local item = tree:add(zelvorn, tvb(), "Zelvorn reader reply packet")
        local index = 0
        for i, frame in ipairs(rec.frames) do if frame == pinfo.number then index = i end end
        item:append_text(string.format(" %d", index))
        if rec.final then
            item:add(fhf.reassembled_in, tvb(), rec.final):set_generated()
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

function zelvorn.dissector(tvb, pinfo, tree)
    local from_host = tostring(pinfo.src) == "host"
    local device = framing.device_of(from_host and pinfo.dst or pinfo.src)
    if device == nil then return 0 end
    if pinfo.match_uint == product_key then S.devices[device] = true end

    if from_host then
        -- Commands travel in the submissions of control transfers to
        -- endpoint 0; interrupt submissions carry nothing.
        if framing.endpoint_of(pinfo.dst) ~= 0 or tvb:len() < framing.SETUP_BYTES then return 0 end
        if not S.devices[device] then
            if not framing.looks_like_command(tvb) then return 0 end
            if not pinfo.visited then S.devices[device] = true end
        end
        if tvb:len() == framing.SETUP_BYTES then return 0 end
        pinfo.cols.protocol:set("ZELVORN")
        dissect_command(tvb, pinfo, tree, device)
        return tvb:len()
    end
    if not S.devices[device] or framing.endpoint_of(pinfo.src) == 0 then return 0 end
    local consumed = dissect_reply_packet(tvb, pinfo, tree, device)
    if consumed > 0 then pinfo.cols.protocol:set("ZELVORN") end
    return consumed
end

-- The USB dissector hands no empty interrupt packet to a subdissector. A
-- postdissector sees them: a packet from a reader's interrupt endpoint that
-- the dissector above did not take carried no data.
local gaps = Proto("zelvorn_empty", "Zelvorn reader empty packets")

function gaps.dissector(tvb, pinfo, tree)
    if pinfo.number == nil or S.replies.fragment[pinfo.number] then return end
    local src = tostring(pinfo.src)
    local device = framing.device_of(src)
    if device == nil or not S.devices[device] or framing.endpoint_of(src) == 0 then return end
    if not pinfo.visited then
        S.empty[pinfo.number] = true
        local rec = S.replies.open[device]
        if rec then rec.empty = (rec.empty or 0) + 1 end
    end
    if not S.empty[pinfo.number] then return end
    local item = tree:add(zelvorn, tvb(0, 0), "Zelvorn reader: empty interrupt packet")
    item:add(fhf.empty_packet, tvb(0, 0)):add_proto_expert_info(fef.empty)
    pinfo.cols.protocol:set("ZELVORN")
    pinfo.cols.info:set("Empty interrupt packet")
end
register_postdissector(gaps)

DissectorTable.get("usb.product"):add(product_key, zelvorn)
DissectorTable.get("usb.control"):add(0xffff, zelvorn)
DissectorTable.get("usb.interrupt"):add(0xffff, zelvorn)
DissectorTable.get("usb.interrupt"):add(0xff, zelvorn)

return nil
