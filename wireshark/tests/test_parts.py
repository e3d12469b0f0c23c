"""The dissector's parts on their own: framing, ISO-DEP, Type 2 and the
reader's commands, called directly (unit.lua runs them inside tshark, whose
Lua has the Wireshark API the parts are written against), from the built
zelvorn.lua as it ships.

Each case is Lua code and the result it must give, written out as unit.lua
writes it (tables as {key=value,...}, keys sorted). The facts come from the
public sources named in the parts: ISO/IEC 14443-3/-4 and 7816-4 as
Wireshark's packet-iso7816.c and nfcpy read them, the Type 2 tags' datasheets
as libfreefare, proxmark3 and ChameleonMini use them, and for the option
byte, docs/virtual-reader.md.
"""

import os
import re
import struct
import subprocess

import pytest

DISSECTOR = os.environ["ZELVORN_DISSECTOR"]
TSHARK = os.environ.get("ZELVORN_TSHARK", "tshark")
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def documented_option_bit(words):
    """The option byte's bit as docs/virtual-reader.md gives it."""
    with open(os.path.join(ROOT, "docs", "virtual-reader.md")) as f:
        text = " ".join(f.read().split())
    return str(int(re.search(r"bit \d \((0x[0-9A-Fa-f]{2})\) " + words, text).group(1), 16))


# The chaining of one APDU to the card: block 1 is answered R(NAK) and sent
# again; the joined APDU counts it once.
HOST_CHAIN = """
local s, B = iso_dep.new_session(), iso_dep.classify
iso_dep.follow(s, 1, false, B(0x12), 'AB')
iso_dep.follow(s, 2, true, B(0xA2), '')
iso_dep.follow(s, 3, false, B(0x13), 'CD')
iso_dep.follow(s, 4, true, B(0xB3), '')
iso_dep.follow(s, 5, false, B(0x13), 'CD')
iso_dep.follow(s, 6, true, B(0xA3), '')
local j = iso_dep.follow(s, 7, false, B(0x02), 'EF')
return { raw = j.raw, parts = table.concat(j.parts, ' ') }
"""
CARD_CHAIN = """
local s, B = iso_dep.new_session(), iso_dep.classify
iso_dep.follow(s, 1, true, B(0x12), 'AB')
iso_dep.follow(s, 2, false, B(0xA3), '')
local j = iso_dep.follow(s, 3, true, B(0x03), 'CD')
return { raw = j.raw, parts = table.concat(j.parts, ' ') }
"""
DESELECT_ENDS_CHAIN = """
local s, B = iso_dep.new_session(), iso_dep.classify
s.active = true
iso_dep.follow(s, 1, false, B(0x12), 'AB')
iso_dep.follow(s, 2, true, B(0xA2), '')
iso_dep.follow(s, 3, false, B(0xC2), '')
return { joined = iso_dep.follow(s, 4, false, B(0x03), 'CD') or 'none', active = s.active }
"""
REPLY_PACKETS = """
local r = framing.new_replies()
local _, began = framing.collect(r, '1.5', 10, 0, '\\2' .. '0190')
framing.collect(r, '1.5', 11, 0, '')
framing.collect(r, '1.5', 12, 0, '00\\3')
local rec = r.fragment[12]
return { began = began, raw = rec.raw, final = rec.final, frames = #rec.frames, open = r.open['1.5'] == nil }
"""
STX_CUTS_REPLY = """
local r = framing.new_replies()
framing.collect(r, '1.5', 10, 0, '\\2' .. '01')
framing.collect(r, '1.5', 11, 0, '\\2' .. '02\\3')
return { first_cut = r.fragment[10].cut, second = r.fragment[11].raw, final = r.fragment[11].final }
"""
REPLY_TOO_LONG = """
local r = framing.new_replies()
for i = 1, framing.MAX_REPLY_CHARS / 8 + 1 do framing.collect(r, '1.5', i, 0, '00000000') end
return { too_long = r.fragment[1].too_long, kept = #r.fragment[1].raw }
"""
COMMAND_CUTS_REPLY = """
local r = framing.new_replies()
framing.collect(r, '1.5', 10, 0, '\\2' .. '01')
local cut = framing.cut_open(r, '1.5', 11)
return { cut = cut.cut, by = cut.cut_by, open = r.open['1.5'] == nil }
"""
UNDECODED_COMMANDS = """
local missing = {}
for code, row in pairs(ZELVORN_COMMANDS) do
  if commands.decoders[code] == nil then missing[#missing + 1] = row.name end
end
table.sort(missing)
return table.concat(missing, ', ')
"""


def telegram(card, option, hexbytes):
    """classify_telegram for a card state given as Lua, and what it says."""
    return ("local c = %s local t = commands.classify_telegram(c, %s, bytes('%s'))"
            " return t.kind .. ' ' .. hex(t.body) .. (t.crc and ' crc' or '')"
            % (card, option, hexbytes))


UNKNOWN = "commands.new_card(nil)"
ULTRALIGHT = "commands.new_card(0x00)"
CLASSIC = "commands.new_card(0x08)"
PROCESSOR = "commands.new_card(0x20)"
ISO_DEP_RUNNING = "(function() local c = commands.new_card(nil) c.session.active = true return c end)()"
AFTER_COMPATIBILITY_WRITE = ("(function() local c = commands.new_card(0x00)"
                             " c.compatibility_page = 6 return c end)()")

CASES = [
    # framing: the frame text, checksum, reply packets
    ("hex-decoded", "hex((framing.decode_text('01Ab')))", "01AB"),
    ("hex-lower-case", "select(2, framing.decode_text('01Ab')).lower", "1"),
    ("hex-not-a-digit", "select(2, framing.decode_text('0G1'))", "{bad={1={1=1,2=71}},lower=0,odd=true}"),
    ("hex-not-a-digit-counts-0", "hex((framing.decode_text('G1')))", "01"),
    ("checksum", "framing.checksum(bytes('01 E0 02 05 00'))", str(0x01 ^ 0xE0 ^ 0x02 ^ 0x05)),
    ("reply-joined", REPLY_PACKETS, "{began=true,final=12,frames=3,open=true,raw=\x020190" "00\x03}"),
    ("reply-cut-by-stx", STX_CUTS_REPLY, "{final=11,first_cut=true,second=\x0202\x03}"),
    ("reply-cut-by-command", COMMAND_CUTS_REPLY, "{by=11,cut=true,open=true}"),
    ("reply-too-long", REPLY_TOO_LONG, "{kept=1024,too_long=true}"),

    # ISO-DEP: blocks, chaining, APDUs, names
    ("pcb-i", "iso_dep.classify(0x02)", "{chaining=false,cid=false,kind=I,nad=false,name=I,number=0}"),
    ("pcb-i-chaining-cid", "iso_dep.classify(0x1B)",
     "{chaining=true,cid=true,kind=I,nad=false,name=I,number=1}"),
    ("pcb-r-ack", "iso_dep.classify(0xA3)", "{cid=false,kind=R,nak=false,name=R(ACK),number=1}"),
    ("pcb-r-nak", "iso_dep.classify(0xB2).name", "R(NAK)"),
    ("pcb-s-wtx", "iso_dep.classify(0xF2).name", "S(WTX)"),
    ("pcb-s-deselect", "iso_dep.classify(0xC2).name", "S(DESELECT)"),
    ("pcb-none", "iso_dep.classify(0x30).name", "?"),
    ("chain-to-card", HOST_CHAIN, "{parts=1 5,raw=ABCDEF}"),
    ("chain-from-card", CARD_CHAIN, "{parts=1,raw=ABCD}"),
    ("deselect-ends-chain", DESELECT_ENDS_CHAIN, "{active=false,joined=none}"),
    ("apdu-case-1", "iso_dep.parse_command_apdu(bytes('00A40400'))", "{cla=0,ins=164,p1=4,p2=0}"),
    ("apdu-case-2-le-256", "iso_dep.parse_command_apdu(bytes('00B0000000')).le", "256"),
    ("apdu-case-3", "iso_dep.parse_command_apdu(bytes('00A4020C025001'))",
     "{cla=0,data={1=5,2=2},ins=164,lc=2,lc_at=4,lc_size=1,p1=2,p2=12}"),
    ("apdu-case-4", "iso_dep.parse_command_apdu(bytes('00A4040002A00100')).le", "256"),
    ("apdu-case-2-extended", "iso_dep.parse_command_apdu(bytes('00B0000000 0000')).le", "65536"),
    ("apdu-case-3-extended", "iso_dep.parse_command_apdu(bytes('00D60000 000003 010203')).data",
     "{1=7,2=3}"),
    ("apdu-body-bad", "iso_dep.parse_command_apdu(bytes('00A40400 05 0102')).body_bad", "true"),
] + [
    ("ins-%02X" % ins, "iso_dep.instruction_name(0x00, 0x%02X)" % ins, name)
    for ins, name in [(0xA4, "SELECT"), (0xB0, "READ BINARY"), (0xD6, "UPDATE BINARY"),
                      (0xC0, "GET RESPONSE"), (0xCA, "GET DATA"), (0x20, "VERIFY"),
                      (0x99, "unknown instruction 99")]
] + [
    ("ins-proprietary-class", "iso_dep.instruction_name(0x90, 0xA4)", "proprietary (class 90)"),
] + [
    ("sw-%04X" % sw, "iso_dep.status_text(0x%04X)" % sw, text)
    for sw, text in [(0x9000, "done"), (0x6A82, "file or application not found"),
                     (0x6D00, "instruction not supported or invalid"),
                     (0x6E00, "class not supported"),
                     (0x6110, "16 response bytes still available (GET RESPONSE)"),
                     (0x6C08, "wrong Le: 8 bytes available"),
                     (0x63C2, "warning: verification failed, 2 tries left"),
                     (0x6A99, "wrong parameters"), (0x91AF, "application-specific status"),
                     (0x1234, "unknown status")]
] + [
    ("sw-error-%04X" % sw, "iso_dep.status_is_error(0x%04X)" % sw, result)
    for sw, result in [(0x6A82, "true"), (0x9000, "false"), (0x6282, "false"), (0x6110, "false")]
] + [
    # Type 2: commands by first byte and length, answers
    ("type2-%s" % raw.replace(" ", ""), "(function() local row, answer = type2.parse(bytes('%s'))"
     " return row and (row.name .. ' ' .. tostring(answer)) or 'none' end)()" % raw, result)
    for raw, result in [("30 04", "READ 16"), ("A2 05 01020304", "WRITE nil"),
                        ("A0 06", "COMPATIBILITY WRITE nil"), ("3A 04 07", "FAST_READ 16"),
                        ("60", "GET_VERSION 8"),
                        ("39 02", "READ_CNT 3"), ("3C 00", "READ_SIG 32"),
                        ("1B FFFFFFFF", "PWD_AUTH 2"), ("50 00", "HLTA 0"),
                        ("30", "none"), ("A2 05", "none"), ("02 00A4", "none")]
] + [
    ("type2-answer-%02X" % byte, "type2.ack_text(0x%02X)" % byte, text)
    for byte, text in [(0x0A, "ACK"), (0x00, "NAK: invalid argument (page out of range)"),
                       (0x01, "NAK: parity or CRC error"),
                       (0x04, "NAK: authentication counter overflow"),
                       (0x05, "NAK: EEPROM write error"), (0x0E, "NAK E"), (0x1A, "nil")]
] + [
    ("type2-product-%s" % version[12:14], "type2.product_of(bytes('%s'))" % version, product)
    for version, product in [("0004040201000F03", "NTAG213"), ("0004040201001103", "NTAG215"),
                             ("0004040201001303", "NTAG216"),
                             ("0004030101000B03", "MIFARE Ultralight EV1 (MF0UL11)"),
                             ("0004030101000E03", "MIFARE Ultralight EV1 (MF0UL21)")]
] + [
    ("type2-storage-odd", "type2.storage_text(0x0F)", "between 128 and 256 bytes"),
    ("type2-counter", "type2.counter_of(bytes('010203'))", str(0x030201)),

    # The reader's commands
    ("command-03-list", "commands.label(commands.C.list_or_select, ZELVORN_WIRE.frame_type.command, 0)",
     "list"),
    ("command-03-select", "commands.label(commands.C.list_or_select, ZELVORN_WIRE.frame_type.command, 8)",
     "select by serial"),
    ("command-receive", "commands.label(0, ZELVORN_WIRE.frame_type.receive, 3)", "Receive"),
    ("command-unknown", "commands.label(0x99, ZELVORN_WIRE.frame_type.command, 0)",
     "unknown command 0x99"),
    ("command-select-by-serial-reply",
     "commands.expected_reply_data({ code = commands.C.list_or_select, data_length = 8 })",
     "13"),
    ("command-list-reply-varies",
     "commands.expected_reply_data({ code = commands.C.list_or_select, data_length = 0 })", "nil"),
    ("every-command-has-a-decoder", UNDECODED_COMMANDS, ""),
    ("card-type-known", "commands.card_type(0x00).name", "MIFARE Ultralight"),
    ("card-type-by-bits", "commands.card_type(0x60)",
     "{classic=false,iso_dep=true,name=unknown card}"),
    ("card-type-classic-by-bits", "commands.card_type(0x88).classic", "true"),
    ("option-crc-append", "commands.OPTION.crc_append",
     documented_option_bit("makes the reader append the CRC")),
    ("option-crc-check", "commands.OPTION.crc_check", documented_option_bit("check and strip it")),
    ("crc-a-hlta", "hex(commands.crc_a(bytes('50 00')))", "57CD"),
    ("crc-a-rats", "hex(commands.crc_a(bytes('E0 80')))", "3173"),
] + [
    ("telegram-%s" % name, telegram(card, option, raw), result)
    for name, card, option, raw, result in [
        ("rats", PROCESSOR, "0x0F", "E080", "rats E080"),
        ("type2-unknown-card", UNKNOWN, "0x0F", "3004", "type2 3004"),
        ("type2-ultralight", ULTRALIGHT, "0x0F", "1B FFFFFFFF", "type2 1BFFFFFFFF"),
        ("iblock-unknown-card", UNKNOWN, "0x0F", "02 00A40400", "iso_dep 0200A40400"),
        ("processor-card", PROCESSOR, "0x0F", "3004", "iso_dep 3004"),
        ("iso-dep-running", ISO_DEP_RUNNING, "0x0F", "1B 01020304", "iso_dep 1B01020304"),
        ("classic-card", CLASSIC, "0x0F", "3004", "raw 3004"),
        ("ultralight-not-type2", ULTRALIGHT, "0x0F", "A2", "raw A2"),
        ("host-crc", ULTRALIGHT, "0x00", "5000 57CD", "type2 5000 crc"),
        ("host-crc-wrong", ULTRALIGHT, "0x00", "3004 0000", "raw 30040000"),
        ("crc-left-to-reader", ULTRALIGHT, "0x0F", "5000 57CD", "raw 500057CD"),
        ("compatibility-write-data", AFTER_COMPATIBILITY_WRITE, "0x0F", "00" * 16,
         "type2_data " + "00" * 16),
    ]
]


@pytest.fixture(scope="module")
def results(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("parts")
    cases = tmp / "cases.txt"
    cases.write_text("".join("%s\t%s\n" % (id, " ".join(code.split())) for id, code, _ in CASES))
    empty = tmp / "empty.pcap"
    empty.write_bytes(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 220))
    run = subprocess.run([TSHARK, "-r", str(empty), "-X", "lua_script:" + os.path.join(HERE, "unit.lua"),
                          "-X", "lua_script1:" + DISSECTOR, "-X", "lua_script1:" + str(cases)],
                         capture_output=True, text=True, check=True)
    assert "Lua" not in run.stderr, run.stderr
    return dict(line.split("\t", 1) for line in run.stdout.splitlines() if "\t" in line)


@pytest.mark.parametrize("id, code, expected", CASES, ids=[c[0] for c in CASES])
def test_part(results, id, code, expected):
    assert results.get(id) == expected, code
