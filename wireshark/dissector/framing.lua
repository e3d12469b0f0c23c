-- Framing: how the reader's packets travel over USB.
--
-- A command goes out as one vendor control transfer whose data is STX, the
-- packet in upper-case hexadecimal digits, and ETX; the reply comes back as
-- the same kind of frame spread over 8-byte interrupt-IN packets. This part
-- decodes the frame text, shows the packet headers and checksums, and joins
-- the interrupt packets of a reply. Byte positions come from the library's
-- layout (ZELVORN_WIRE), which the build writes in front of the parts.

if ZELVORN_WIRE == nil then
    error("zelvorn: this is a part of the dissector's source; load the zelvorn.lua the build "
          .. "writes (build/wireshark/zelvorn.lua)")
end

local band, bxor = bit32.band, bit32.bxor

local W = ZELVORN_WIRE
local M = {}

M.STX, M.ETX = W.frame.stx, W.frame.etx
-- A reply longer than this without ETX is not collected any further. The
-- library gives up after one frame's capacity; four times that keeps a
-- damaged capture's reply visible and still bounded.
M.MAX_REPLY_CHARS = 4 * W.frame.capacity

local frame_type_names = {
    [W.frame_type.command] = "Command",
    [W.frame_type.receive] = "Receive request",
}
local transport_status_names = {}
for word, row in pairs(ZELVORN_TRANSPORT_STATUSES) do transport_status_names[word] = row.name end

M.hf = {
    frame = ProtoField.none("zelvorn.frame", "Frame"),
    stx = ProtoField.uint8("zelvorn.stx", "STX", base.HEX),
    text = ProtoField.string("zelvorn.text", "Hexadecimal text"),
    etx = ProtoField.uint8("zelvorn.etx", "ETX", base.HEX),
    trailing = ProtoField.bytes("zelvorn.trailing", "Bytes after ETX"),
    packet = ProtoField.bytes("zelvorn.packet", "Packet"),

    start = ProtoField.uint8("zelvorn.start", "Start byte", base.HEX),
    frame_type = ProtoField.uint8("zelvorn.frame_type", "Frame type", base.HEX, frame_type_names),
    length = ProtoField.uint8("zelvorn.length", "Length", base.DEC),
    data_length = ProtoField.uint8("zelvorn.data_length", "Data length", base.DEC),
    data = ProtoField.bytes("zelvorn.data", "Data"),
    checksum = ProtoField.uint8("zelvorn.checksum", "Checksum", base.HEX),
    checksum_calculated = ProtoField.uint8("zelvorn.checksum.calculated", "Calculated checksum",
        base.HEX),
    checksum_status = ProtoField.uint8("zelvorn.checksum.status", "Checksum status", base.DEC,
        { [0] = "Bad", [1] = "Good" }),

    reply_byte0 = ProtoField.uint8("zelvorn.reply.byte0", "Byte 0 (not interpreted)", base.HEX),
    transport_status = ProtoField.uint16("zelvorn.transport_status", "Transport status", base.HEX,
        transport_status_names),
    payload = ProtoField.bytes("zelvorn.payload", "Payload"),

    fragment = ProtoField.framenum("zelvorn.fragment", "Reply packet"),
    fragment_count = ProtoField.uint16("zelvorn.fragment.count", "Reply packets"),
    reassembled_in = ProtoField.framenum("zelvorn.reassembled_in", "Reply completed in"),
    empty_packet = ProtoField.none("zelvorn.empty_packet", "Empty interrupt packet"),
}

M.ef = {
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
    cut = ProtoExpert.new("zelvorn.reply.cut", "Reply cut short: no ETX before the next command",
        expert.group.SEQUENCE, expert.severity.ERROR),
    empty = ProtoExpert.new("zelvorn.empty_packet.expert", "Empty interrupt packet",
        expert.group.SEQUENCE, expert.severity.NOTE),
    too_long = ProtoExpert.new("zelvorn.reply.too_long", "Reply too long: no ETX in "
        .. M.MAX_REPLY_CHARS .. " characters", expert.group.MALFORMED, expert.severity.ERROR),
}
local hf, ef = M.hf, M.ef

---------------------------------------------------------------------------
-- Small helpers the other parts share
---------------------------------------------------------------------------

function M.hex_of(raw)
    return (raw:gsub(".", function(c) return string.format("%02X", c:byte()) end))
end

function M.bytes_tvb(raw, name)
    return ByteArray.new(raw, true):tvb(name)
end

-- "bus.device" of a USB address "bus.device.endpoint"; nil for "host".
function M.device_of(address)
    return (tostring(address):match("^(%d+%.%d+)%.%d+$"))
end

function M.endpoint_of(address)
    return tonumber(tostring(address):match("%.(%d+)$"))
end

-- Adds field f over len bytes at off of tvb when they are all there.
function M.add_if(tree, f, tvb, off, len)
    if len > 0 and tvb:len() >= off + len then return tree:add(f, tvb(off, len)) end
    return nil
end

---------------------------------------------------------------------------
-- The frame text
---------------------------------------------------------------------------

function M.digit_value(c)
    if c >= 0x30 and c <= 0x39 then return c - 0x30 end
    if c >= 0x41 and c <= 0x46 then return c - 0x41 + 10 end
    if c >= 0x61 and c <= 0x66 then return c - 0x61 + 10 end
    return nil
end

-- Decodes hexadecimal text the way the library does: pairs of digits, a
-- character that is not a digit counting as 0, a last odd digit dropped.
-- Returns the bytes and what was wrong: { bad = { {offset, char}, ... },
-- lower = count of lower-case digits, odd = true for an odd count }.
function M.decode_text(text)
    local bytes, problems = {}, { bad = {}, lower = 0, odd = #text % 2 ~= 0 }
    for i = 1, #text - 1, 2 do
        local hi, lo = text:byte(i), text:byte(i + 1)
        for k, c in ipairs({ hi, lo }) do
            if M.digit_value(c) == nil then
                problems.bad[#problems.bad + 1] = { i + k - 2, c }
            elseif c >= 0x61 then
                problems.lower = problems.lower + 1
            end
        end
        bytes[#bytes + 1] = string.char((M.digit_value(hi) or 0) * 16 + (M.digit_value(lo) or 0))
    end
    return table.concat(bytes), problems
end

-- Shows the frame in ftvb and decodes its text. Returns the packet as a raw
-- string and whether the frame ended with ETX.
function M.dissect_frame(ftvb, tree)
    local length = ftvb:len()
    local ftree = tree:add(hf.frame, ftvb())
    local pos = 0
    if length > 0 and ftvb(0, 1):uint() == M.STX then
        ftree:add(hf.stx, ftvb(0, 1))
        pos = 1
    else
        ftree:add_proto_expert_info(ef.no_stx)
    end
    local etx = nil
    for i = pos, length - 1 do
        if ftvb(i, 1):uint() == M.ETX then
            etx = i
            break
        end
    end
    local text_end = etx or length
    local raw = ""
    if text_end > pos then
        local text_item = ftree:add(hf.text, ftvb(pos, text_end - pos))
        local problems
        raw, problems = M.decode_text(ftvb(pos, text_end - pos):raw())
        for _, bad in ipairs(problems.bad) do
            text_item:add_proto_expert_info(ef.not_hex, string.format(
                "Not a hexadecimal digit: 0x%02X at offset %d", bad[2], pos + bad[1]))
        end
        if problems.lower > 0 then
            text_item:add_proto_expert_info(ef.lower_case, string.format(
                "%d lower-case hexadecimal digit%s", problems.lower, problems.lower > 1 and "s" or ""))
        end
        if problems.odd then text_item:add_proto_expert_info(ef.odd_digits) end
    end
    if etx then
        ftree:add(hf.etx, ftvb(etx, 1))
        if etx + 1 < length then
            ftree:add(hf.trailing, ftvb(etx + 1)):add_proto_expert_info(ef.trailing)
        end
    else
        ftree:add_proto_expert_info(ef.no_etx)
    end
    return raw, etx ~= nil
end

---------------------------------------------------------------------------
-- Packets: checksum, headers
---------------------------------------------------------------------------

-- The checksum of a packet: the XOR of the bytes before it.
function M.checksum(raw)
    local sum = 0
    for i = 1, #raw do sum = bxor(sum, raw:byte(i)) end
    return sum
end

-- The checksum byte at offset `at`, over the bytes before it.
function M.add_checksum(ptvb, tree, at)
    if ptvb:len() <= at then
        tree:add_proto_expert_info(ef.short, "Packet too short: no checksum")
        return false
    end
    local expected = M.checksum(ptvb(0, at):raw())
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

-- After `count` data bytes at `first`: the checksum, and a word about bytes
-- beyond it.
function M.add_tail(ptvb, tree, first, count)
    M.add_checksum(ptvb, tree, first + count)
    local beyond = ptvb:len() - (first + count + 1)
    if beyond > 0 then
        tree:add_proto_expert_info(ef.length, string.format("%d bytes after the checksum", beyond))
    end
end

---------------------------------------------------------------------------
-- Joining a reply's interrupt packets
---------------------------------------------------------------------------

-- The replies under way and done, as the first pass sees the packets.
function M.new_replies()
    return {
        open = {},      -- [device] = reply being collected
        fragment = {},  -- [frame] = the reply the packet belongs to
    }
end

local function new_reply(device)
    return { device = device, raw = "", frames = {} }
end

-- One interrupt packet's data from a device, in capture order. Returns the
-- reply the packet belongs to (nil for an empty packet outside any reply)
-- and whether a reply began with it. A reply ends at the packet holding
-- ETX; an STX where a reply is under way begins another (the first is cut).
function M.collect(replies, device, frame, time, data)
    local rec = replies.open[device]
    local began = false
    if rec == nil and #data > 0 then
        rec = new_reply(device)
        replies.open[device] = rec
        began = true
    end
    if rec then
        if #rec.raw > 0 and data:byte(1) == M.STX then
            rec.cut = true
            rec = new_reply(device)
            replies.open[device] = rec
        end
        rec.frames[#rec.frames + 1] = frame
        rec.time = time
        replies.fragment[frame] = rec
        if #rec.raw < M.MAX_REPLY_CHARS then
            rec.raw = rec.raw .. data
        else
            rec.too_long = true
        end
        if data:find(string.char(M.ETX), 1, true) then
            rec.final = frame
            replies.open[device] = nil
        end
    end
    if #data == 0 and replies.fragment[frame] == nil then
        replies.fragment[frame] = { empty = true, frames = {} }
    end
    return replies.fragment[frame], began
end

-- A command going out ends the reply still open on its device: that reply
-- never got its ETX. Returns it.
function M.cut_open(replies, device, by_frame)
    local open = replies.open[device]
    if open then
        open.cut = true
        open.cut_by = by_frame
        replies.open[device] = nil
    end
    return open
end

---------------------------------------------------------------------------
-- Recognising the reader without its descriptors
---------------------------------------------------------------------------

-- A control transfer's data, as the USB dissector hands it over: bRequest,
-- wValue, wIndex, wLength, then the frame. The reader's request (with
-- value 0 and index 0) whose data is STX, printable characters and ETX is
-- taken for a command frame.
M.SETUP_BYTES = 7

function M.looks_like_command(tvb)
    local at = M.SETUP_BYTES
    if tvb:len() < at + 2 then return false end
    if tvb(0, 1):uint() ~= W.frame.vendor_request or tvb(1, 2):le_uint() ~= 0
        or tvb(3, 2):le_uint() ~= 0 then
        return false
    end
    if tvb(at, 1):uint() ~= M.STX then return false end
    for i = at + 1, tvb:len() - 1 do
        local c = tvb(i, 1):uint()
        if not ((c >= 0x20 and c < 0x7F) or (c == M.ETX and i == tvb:len() - 1)) then
            return false
        end
    end
    return true
end

return M
