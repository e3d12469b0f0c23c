"""The Wireshark dissector on captures the virtual library writes.

Each flow runs the zelvorn tool on the virtual reader with --capture; tshark
then dissects the capture with the built zelvorn.lua. What the dissector shows
is compared with what the capture itself holds (the frames decoded here, from
the raw usbmon records) and with what the test asked for (blocks of the demo
scenario, the APDU it sent). The same captures, rewritten as USBPcap files,
without their descriptors, or damaged on purpose, must decode the same or be
flagged, and never raise a Lua error.
"""

import json
import os
import random
import struct
import subprocess

import pytest

TOOL = os.environ["ZELVORN_TOOL"]
DISSECTOR = os.environ["ZELVORN_DISSECTOR"]
TSHARK = os.environ.get("ZELVORN_TSHARK", "tshark")
DEMO = os.environ["ZELVORN_DEMO_SCENARIO"]
HERE = os.path.dirname(os.path.abspath(__file__))

STX, ETX = 0x02, 0x03
USBMON, USBPCAP = 220, 249
ENUMERATION_RECORDS = 6
WARNING = 0x00600000  # expert severity PI_WARN  # two GET_DESCRIPTORs and SET_CONFIGURATION, S and C each


# --- pcap files and usbmon records ------------------------------------------


def read_pcap(path):
    with open(path, "rb") as f:
        raw = f.read()
    magic, _, _, _, _, _, link = struct.unpack_from("<IHHiIII", raw, 0)
    assert magic == 0xA1B2C3D4
    records, at = [], 24
    while at < len(raw):
        sec, usec, incl, _ = struct.unpack_from("<IIII", raw, at)
        records.append((sec, usec, raw[at + 16:at + 16 + incl]))
        at += 16 + incl
    return link, records


def write_pcap(path, link, records):
    with open(path, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, link))
        for sec, usec, data in records:
            f.write(struct.pack("<IIII", sec, usec, len(data), len(data)) + data)


def usbmon_fields(record):
    urb, kind, transfer, endpoint, device, bus, _, _, _, _, status, length, captured, setup = \
        struct.unpack_from("<QBBBBHbbqiiII8s", record, 0)
    return dict(urb=urb, kind=chr(kind), transfer=transfer, endpoint=endpoint, device=device,
                bus=bus, status=status, length=length, setup=setup, data=record[64:64 + captured])


def to_usbpcap(records):
    """The same transfers as USBPcap 1.5 writes them on Windows."""
    out = []
    for sec, usec, record in records:
        u = usbmon_fields(record)
        transfer = {1: 1, 2: 2}[u["transfer"]]
        completion = u["kind"] == "C"
        status = 0 if u["status"] in (0, -115) else 0xC0000004
        function = 0x0008 if transfer == 2 else 0x0009
        head = struct.pack("<HQIHBHHBB", 28 if transfer == 2 else 27, u["urb"], status, function,
                           1 if completion else 0, u["bus"], u["device"], u["endpoint"], transfer)
        data = u["data"]
        if transfer == 2:
            # The setup stage carries the setup packet and the data out; the
            # completion the data in.
            data = (data if completion else u["setup"] + data)
            head += struct.pack("<IB", len(data), 3 if completion else 0)
        else:
            head += struct.pack("<I", len(data))
        out.append((sec, usec, head + data))
    return out


def frames_of(records):
    """Commands and replies as the capture holds them, decoded here."""
    exchanges, reply = [], None
    for number, (_, _, record) in enumerate(records, start=1):
        u = usbmon_fields(record)
        if u["kind"] == "S" and u["transfer"] == 2 and u["setup"][:2] == b"\x40\x00":
            text = u["data"]
            assert text[0] == STX and text[-1] == ETX
            exchanges.append(dict(command_frame=number,
                                  command=bytes.fromhex(text[1:-1].decode())))
            reply = bytearray()
        elif u["kind"] == "C" and u["transfer"] == 1 and u["data"] and reply is not None:
            reply += u["data"]
            if ETX in u["data"]:
                end = reply.index(ETX)
                exchanges[-1].update(reply_frame=number,
                                     reply=bytes.fromhex(reply[1:end].decode()))
                reply = None
    return exchanges


# --- tshark -------------------------------------------------------------------


def tshark(capture, *args):
    """tshark with the dissector, in two passes so that commands know their
    replies. Lua errors show on stderr or as tree items, with exit code 0."""
    run = subprocess.run([TSHARK, "-n", "-2", "-r", capture, "-X", "lua_script:" + DISSECTOR,
                          *args], capture_output=True, text=True, check=True)
    assert "Lua" not in run.stderr, run.stderr
    assert "Lua Error" not in run.stdout
    return run.stdout


def no_lua_errors(capture):
    tshark(capture, "-V")


FIELDS = ["zelvorn.command", "zelvorn.data", "zelvorn.checksum", "zelvorn.checksum.status",
          "zelvorn.transport_status", "zelvorn.reader_status", "zelvorn.length",
          "zelvorn.response_in", "zelvorn.request_in", "zelvorn.block_data", "zelvorn.value",
          "zelvorn.ask.data", "zelvorn.status.block", "zelvorn.status.b", "zelvorn.status.f",
          "zelvorn.serial", "zelvorn.iso.block", "zelvorn.iso.block_number",
          "zelvorn.iso.chaining", "zelvorn.apdu", "zelvorn.apdu.response", "zelvorn.apdu.sw", "zelvorn.iso.wtxm",
          "_ws.expert.message", "_ws.expert.severity"]


def decoded(capture, filter="zelvorn"):
    """Frame number -> {field: [values]} for every frame of the dissector."""
    args = ["-Y", filter, "-T", "fields", "-E", "aggregator=|", "-e", "frame.number"]
    for f in FIELDS:
        args += ["-e", f]
    out = {}
    for line in tshark(capture, *args).splitlines():
        cells = line.split("\t")
        out[int(cells[0])] = {f: (c.split("|") if c else []) for f, c in zip(FIELDS, cells[1:])}
    return out


def num(text):
    return int(text, 0)


# --- flows on the virtual reader ------------------------------------------------


def capture_flow(tmp_path, name, args, scenario=DEMO):
    path = str(tmp_path / (name + ".pcap"))
    run = subprocess.run([TOOL, "--scenario", scenario, "--capture", path, *args],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    return path, run.stdout


def scenario_with_faults(tmp_path, **faults):
    with open(DEMO) as f:
        scenario = json.load(f)
    scenario["faults"] = faults
    path = tmp_path / "faults.json"
    path.write_text(json.dumps(scenario))
    return str(path)


APDU_300 = bytes.fromhex("00D6000000 0125".replace(" ", "")) + bytes(i * 7 % 256
                                                                       for i in range(293))
FLOWS = {
    "mifare-dump": ["mifare", "--key", "FFFFFFFFFFFF", "--key", "A0A1A2A3A4A5", "dump",
                    "--last", "2"],
    "values": ["mifare", "--key", "B0B1B2B3B4B5", "--key-type", "B", "value", "inc", "5", "10"],
    "apdu": ["apdu", "00A4040009A00000055A454C5601", "00A4020C025001", APDU_300.hex(),
             "00B0000080"],
    # An unknown application, an instruction and a class the card does not know.
    "apdu-errors": ["apdu", "00A4040003112233", "00CA000000", "80B0000010"],
    "ask": ["ask", "read", "4"],
    "status": ["info"],
}


@pytest.fixture(scope="module")
def flows(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("flows")
    quirks = os.path.join(HERE, "apdu_quirks.json")
    return {name: capture_flow(tmp, name, args, quirks if name == "apdu" else DEMO)[0]
            for name, args in FLOWS.items()}


def check_against_capture(capture, exchanges, shift=0):
    """Every command and reply of the capture decoded and linked as its bytes say."""
    seen = decoded(capture)
    assert exchanges
    for x in exchanges:
        c, cf = x["command"], x["command_frame"] - shift
        rf = x["reply_frame"] - shift
        got = seen[cf]
        n = c[4]
        assert num(got["zelvorn.command"][0]) == c[3]
        assert num(got["zelvorn.length"][0]) == c[2]
        assert got["zelvorn.data"] == ([c[5:5 + n].hex()] if n else [])
        assert num(got["zelvorn.checksum"][0]) == c[-1]
        assert got["zelvorn.checksum.status"] == ["1"]
        assert got["zelvorn.response_in"] == [str(rf)]

        r = x["reply"]
        got = seen[rf]
        m = r[3]
        assert num(got["zelvorn.transport_status"][0]) == int.from_bytes(r[1:3], "big")
        assert num(got["zelvorn.length"][0]) == m
        assert num(got["zelvorn.reader_status"][0]) == int.from_bytes(r[5:7], "big")
        assert num(got["zelvorn.checksum"][0]) == r[4 + m]
        assert got["zelvorn.checksum.status"] == ["1"]
        assert got["zelvorn.request_in"] == [str(cf)]
        payload = r[4:4 + m]
        if len(payload) > 5:
            assert got["zelvorn.data"][0] == payload[5:5 + payload[4]].hex()
    return seen


@pytest.mark.parametrize("flow", sorted(FLOWS))
def test_flow_decodes_as_the_capture_holds_it(flows, flow):
    _, records = read_pcap(flows[flow])
    seen = check_against_capture(flows[flow], frames_of(records))
    # A clean conversation raises no warning or error (the failed logins of
    # the dump are notes).
    assert not [f for f in seen.values() if any(num(s) >= WARNING for s in f["_ws.expert.severity"])]


def replies_to(seen, code):
    return [seen[int(f["zelvorn.response_in"][0])] for f in seen.values()
            if f["zelvorn.command"] and num(f["zelvorn.command"][0]) == code
            and f["zelvorn.response_in"]]


def test_reply_fields_carry_what_the_cards_hold(flows):
    with open(DEMO) as f:
        cards = json.load(f)["cards"]
    classic, ticket = cards[0], cards[3]

    dump = decoded(flows["mifare-dump"])
    blocks = [f["zelvorn.block_data"][0] for f in replies_to(dump, 0x06)]
    for number, data in classic["blocks"].items():
        if int(number) < 12:
            assert data.lower() in blocks
    serials = [s for code in (0x00, 0x03) for f in replies_to(dump, code) for s in f["zelvorn.serial"]]
    assert classic["serial"].lower() in serials

    values = decoded(flows["values"])
    assert [f["zelvorn.value"] for f in replies_to(values, 0x0F)] == [
        [str(classic["values"]["5"] + 10)]]

    ask = decoded(flows["ask"])
    assert [f["zelvorn.ask.data"] for f in replies_to(ask, 0x34)] == [[ticket["sectors"]["4"].lower()]]

    status = decoded(flows["status"])
    (report,) = replies_to(status, 0x18)
    _, records = read_pcap(flows["status"])
    (raw,) = [x["reply"] for x in frames_of(records) if x["command"][3] == 0x18]
    block = raw[4:4 + raw[3]]
    assert report["zelvorn.status.block"] == [block[5:25].hex()]
    assert num(report["zelvorn.status.b"][0]) == int.from_bytes(block[26:30], "big")
    assert num(report["zelvorn.status.f"][0]) == int.from_bytes(block[33:35], "big")


def test_chained_apdu_with_wtx_and_nak(flows):
    seen = decoded(flows["apdu"])
    blocks = [b for f in seen.values() for b in f["zelvorn.iso.block"]]
    for kind in ("RATS", "I", "R(ACK)", "R(NAK)", "S(WTX)", "S(DESELECT)"):
        assert kind in blocks
    assert all(w == "3" for f in seen.values() for w in f["zelvorn.iso.wtxm"])
    # The 300-byte APDU, joined from its chained blocks, on the last of them.
    joined = [f for f in seen.values() if APDU_300.hex() in f["zelvorn.apdu"]]
    assert len(joined) == 1
    assert joined[0]["zelvorn.iso.chaining"] == ["0"]
    # The repeated block after R(NAK) counts once: 300 bytes exactly, which
    # the comparison above already says; and its answer carries SW 9000.
    answer = seen[int(joined[0]["zelvorn.response_in"][0])]
    assert answer["zelvorn.iso.block"] == ["S(WTX)"]
    sws = [f["zelvorn.apdu.sw"] for f in seen.values() if f["zelvorn.apdu.sw"]]
    assert sws and all(sw == ["0x9000"] for sw in sws)
    # The read answer of 128 bytes, chained by the card, joined on its last
    # block: the bytes written before and SW 9000.
    read = bytes(i * 7 % 256 for i in range(128)).hex() + "9000"
    assert [f["zelvorn.iso.chaining"] for f in seen.values()
            if read in f["zelvorn.apdu.response"]] == [["0"]]


@pytest.mark.parametrize("variant", ["usbpcap", "no-descriptors", "usbpcap-no-descriptors"])
def test_same_decode_in_other_capture_forms(flows, tmp_path, variant):
    _, records = read_pcap(flows["mifare-dump"])
    exchanges = frames_of(records)
    shift = 0
    if "no-descriptors" in variant:
        records, shift = records[ENUMERATION_RECORDS:], ENUMERATION_RECORDS
    link = USBMON
    if "usbpcap" in variant:
        records, link = to_usbpcap(records), USBPCAP
    path = str(tmp_path / (variant + ".pcap"))
    write_pcap(path, link, records)
    check_against_capture(path, exchanges, shift)


# --- broken input -------------------------------------------------------------------


def experts(seen):
    return {m for f in seen.values() for m in f["_ws.expert.message"]}


@pytest.mark.parametrize("faults, expected", [
    ({"corruptChecksums": 1}, "Bad checksum"),
    ({"lowerCaseHex": True}, "lower-case hexadecimal digit"),
    ({"chunkSizes": [1]}, None),
    ({"chunkSizes": [8, 0, 3]}, "Empty interrupt packet"),
])
def test_reader_faults(tmp_path, faults, expected):
    scenario = scenario_with_faults(tmp_path, **faults)
    path, _ = capture_flow(tmp_path, "faults", ["ask", "read", "5"], scenario)
    seen = decoded(path)
    messages = experts(seen)
    if expected is None:
        assert not messages
    else:
        assert any(expected in m for m in messages), messages
    # Decoded as far as the bytes allow: every reply linked to its command.
    _, records = read_pcap(path)
    for x in frames_of(records):
        if "reply_frame" in x:
            assert seen[x["reply_frame"]]["zelvorn.request_in"] == [str(x["command_frame"])]
            assert num(seen[x["reply_frame"]]["zelvorn.transport_status"][0]) == 0x9000


@pytest.mark.parametrize("faults, args, expected", [
    ({}, ["mifare", "-k", "000000000000", "-t", "A", "read", "4"],
     "Reader status FFFC: authentication failed, the card refused the key"),
    ({"refuseCommands": 2}, ["list"],
     "Transport status 6F00: busy, the reader did not take the command"),
])
def test_status_words_are_named_as_the_library_names_them(tmp_path, faults, args, expected):
    path = str(tmp_path / "statuses.pcap")
    subprocess.run([TOOL, "--scenario", scenario_with_faults(tmp_path, **faults), "--capture", path,
                    *args], capture_output=True)
    assert expected in experts(decoded(path))


def damaged(capture, tmp_path, change):
    link, records = read_pcap(capture)
    records = [list(r) for r in records]
    change(records)
    path = str(tmp_path / "damaged.pcap")
    write_pcap(path, link, [tuple(r) for r in records])
    return path


def reply_frames(records):
    return [i for i, (_, _, r) in enumerate(records)
            if usbmon_fields(r)["transfer"] == 1 and usbmon_fields(r)["data"]]


@pytest.mark.parametrize("which, expected", [
    (1, "never ended (no ETX) before this command"),  # the next command follows
    (-1, "Frame ends without ETX"),                    # the capture ends
])
def test_reply_cut_before_etx(flows, tmp_path, which, expected):
    def cut(records):
        ends = [i for i in reply_frames(records)
                if bytes([ETX]) in usbmon_fields(records[i][2])["data"]]
        del records[ends[which]]
    seen = decoded(damaged(flows["mifare-dump"], tmp_path, cut))
    assert any(expected in m for m in experts(seen)), experts(seen)


def test_non_hexadecimal_characters(flows, tmp_path):
    def garble(records):
        # A 'G' into the text of the second command frame and into a reply packet.
        for index in ([i for i, (_, _, r) in enumerate(records)
                       if usbmon_fields(r)["setup"][:2] == b"\x40\x00"][1],
                      reply_frames(records)[0]):
            r = bytearray(records[index][2])
            r[64 + 3] = ord("G")
            records[index][2] = bytes(r)
    seen = decoded(damaged(flows["ask"], tmp_path, garble))
    messages = experts(seen)
    assert any("Not a hexadecimal digit: 0x47" in m for m in messages)
    assert sum("Not a hexadecimal digit" in m for m in messages) >= 1


@pytest.mark.parametrize("source, rounds", [("apdu", 4), ("type2", 2)])
def test_random_damage_never_raises_lua_errors(request, flows, tmp_path, source, rounds):
    capture = flows["apdu"] if source == "apdu" else request.getfixturevalue("type2_path")[0]
    link, records = read_pcap(capture)
    rng = random.Random(22)
    for round in range(rounds):
        mutated = []
        for sec, usec, r in records:
            data = bytearray(r)
            if len(data) > 64 and rng.random() < 0.3:
                for _ in range(rng.randint(1, 4)):
                    data[rng.randrange(64, len(data))] = rng.choice(
                        [0x02, 0x03, 0x30, 0x46, 0x61, 0x47, 0x00, rng.randrange(256)])
                if rng.random() < 0.2:
                    cut = rng.randrange(64, len(data))
                    data = data[:cut]
                    data[36:40] = struct.pack("<I", cut - 64)
            mutated.append((sec, usec, bytes(data)))
        path = str(tmp_path / ("random%d.pcap" % round))
        write_pcap(path, link, mutated)
        no_lua_errors(path)


def test_capture_of_mifare_dump_is_decoded_and_linked(flows):
    """What the docs promise: every frame of a dump decoded and linked."""
    seen = decoded(flows["mifare-dump"])
    commands = [f for f in seen.values() if f["zelvorn.command"]]
    assert commands and all(f["zelvorn.response_in"] for f in commands)


# --- names ---------------------------------------------------------------------


NAME_ROWS = [
    # The two forms of command 03, by their data.
    ("mifare-dump", "zelvorn.command_name",
     {"reset", "list", "select by serial", "login", "read block"}),
    # APDU instructions and ISO/IEC 7816-4 status words.
    ("apdu", "zelvorn.apdu.instruction", {"SELECT", "UPDATE BINARY", "READ BINARY"}),
    ("apdu", "zelvorn.apdu.status", {"done"}),
    ("apdu-errors", "zelvorn.apdu.instruction", {"SELECT", "GET DATA", "proprietary (class 80)"}),
    ("apdu-errors", "zelvorn.apdu.status",
     {"file or application not found", "instruction not supported or invalid",
      "class not supported"}),
    # The option bytes the library sends (0F, 0C) both ask for the CRC.
    ("apdu", "zelvorn.telegram.option", {"0x0f", "0x0c"}),
    ("apdu", "zelvorn.telegram.option.crc_append", {"1"}),
    ("apdu", "zelvorn.telegram.option.crc_check", {"1"}),
]


@pytest.fixture(scope="module")
def names(flows):
    """(flow, field) -> every value of the field in the flow's capture; one
    tshark run per flow."""
    wanted = {}
    for flow, field, _ in NAME_ROWS:
        wanted.setdefault(flow, []).append(field)
    seen = {}
    for flow, fields in wanted.items():
        args = ["-Y", "zelvorn", "-T", "fields", "-E", "aggregator=|"]
        for field in fields:
            args += ["-e", field]
        for line in tshark(flows[flow], *args).splitlines():
            for field, cell in zip(fields, line.split("\t")):
                seen.setdefault((flow, field), set()).update(v for v in cell.split("|") if v)
    return seen


@pytest.mark.parametrize("flow, field, expected", NAME_ROWS)
def test_names_in_captures(names, flow, field, expected):
    assert names.get((flow, field)) == expected


# --- hand-built conversations: tags the virtual reader does not emulate -------


def crc_a(data):
    """ISO/IEC 14443-3 CRC_A, least significant byte first."""
    crc = 0x6363
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return bytes([crc & 0xFF, crc >> 8])


def packet(head, body):
    whole = bytes(head) + body
    checksum = 0
    for b in whole:
        checksum ^= b
    return whole + bytes([checksum])


def command_packet(code, data=b""):
    return packet([0x01, 0xE0, len(data) + 2, code, len(data)], data)


def reply_packet(data=b"", status=0):
    block = bytes([0, status >> 8, status & 0xFF, 0, len(data)]) + data
    return packet([0x01, 0x90, 0x00, len(block)], block)


def frame_of(p):
    return bytes([STX]) + p.hex().upper().encode() + bytes([ETX])


def conversation(template, exchanges):
    """A capture of exchanges (command packet, reply packet), its records made
    from those of a capture of the virtual reader: its enumeration, then per
    exchange the control transfer and the 8-byte interrupt reads. Returns the
    records and per exchange the frame numbers of command and reply.

    The usbmon header (Linux Documentation/usb/usbmon.rst, "Raw binary
    format"; libpcap pcap/usb.h): URB id at 0, URB length at 32, captured
    length at 36, the setup packet at 40 (wLength at 46), data at 64 in link
    type 220. A control submission carries the setup and the data out; an
    interrupt completion the data in."""
    _, records = read_pcap(template)
    fields = [usbmon_fields(r) for _, _, r in records]
    command = next(i for i, u in enumerate(fields) if u["setup"][:2] == b"\x40\x00")
    read = next(i for i, u in enumerate(fields) if u["transfer"] == 1 and u["kind"] == "C")
    sec, usec, _ = records[0]

    def record(index, urb, data, length=None):
        head = bytearray(records[index][2][:64])
        struct.pack_into("<Q", head, 0, urb)
        struct.pack_into("<II", head, 32, len(data) if length is None else length, len(data))
        if fields[index]["kind"] == "S" and fields[index]["transfer"] == 2:
            struct.pack_into("<H", head, 46, len(data))
        out.append((sec, usec + len(out), bytes(head) + data))
        return len(out)

    out = list(records[:ENUMERATION_RECORDS])
    numbers = []
    for urb, (c, r) in enumerate(exchanges, start=1000):
        text = frame_of(c)
        sent = record(command, 2 * urb, text)
        record(command + 1, 2 * urb, b"", len(text))
        text = frame_of(r)
        for at in range(0, len(text), 8):
            record(read - 1, 2 * urb + 1, b"", 8)
            last = record(read, 2 * urb + 1, text[at:at + 8])
        numbers.append((sent, last))
    return out, numbers


def selected(card_type, serial):
    field = serial + bytes(10 - len(serial))
    return command_packet(0x00), reply_packet(bytes([1, card_type, len(serial)]) + field)


def telegram_exchange(card_bytes, answer, option=0x0F):
    """A telegram and the reader's reply: the card's answer (bytes) or a
    reader status word (int)."""
    c = command_packet(0x16, bytes([len(card_bytes), option]) + card_bytes)
    r = reply_packet(status=answer) if isinstance(answer, int) else reply_packet(answer)
    return c, r


NO_ANSWER = 0xFFF5
# Pages 3-6 of a fresh NTAG215: the capability container (E1 10 3E 00) and an
# empty NDEF message (03 00 FE). GET_VERSION of an NTAG215 as its datasheet gives it
# (00 04 04 02 01 00 11 03); ACK 0A, NAKs 0 and 4, PACK and the 32-byte
# signature as the NTAG21x and Ultralight EV1 datasheets define them.
READ_PAGES = bytes.fromhex("E1103E00 0300FE00 00000000 00000000")
# name, bytes for the card, option byte, answer, Info of the command, of the reply
TYPE2_EXCHANGES = [
    ("get-version", "60", 0x0F, "0004040201001103", "GET_VERSION", "NTAG215"),
    ("read", "3003", 0x0F, READ_PAGES.hex(), "READ page 3", "16 bytes"),
    ("fast-read", "3A0405", 0x0F, "00" * 8, "FAST_READ pages 4-5", "8 bytes"),
    ("write", "A205DEADBEEF", 0x0F, "0A", "WRITE page 5", "ACK"),
    ("write-nak", "A2FF00000000", 0x0F, "00", "WRITE page 255",
     "NAK: invalid argument (page out of range)"),
    ("compatibility-write", "A006", 0x0F, "0A", "COMPATIBILITY WRITE page 6", "ACK"),
    ("compatibility-write-data", "11223344" + "00" * 12, 0x0F, "0A",
     "COMPATIBILITY WRITE data, page 6", "ACK"),
    ("read-counter", "3902", 0x0F, "050000", "READ_CNT", "counter 5"),
    ("read-signature", "3C00", 0x0F, "5A" * 32, "READ_SIG", "signature"),
    ("password", "1BFFFFFFFF", 0x0F, "8080", "PWD_AUTH", "PACK 8080"),
    ("password-nak", "1B00000000", 0x0F, "04", "PWD_AUTH", "NAK: authentication counter overflow"),
    # The reader leaves the answer's CRC on: it is shown apart, the pages stay 16 bytes.
    ("answer-crc", "3003", 0x08, (READ_PAGES + crc_a(READ_PAGES)).hex(), "READ page 3", "16 bytes"),
    # The host sends the CRC itself.
    ("host-crc", "5000" + crc_a(b"\x50\x00").hex(), 0x00, NO_ANSWER, "HLTA", "reader FFF5 (no answer)"),
    # A NAK the reader reports as a status word of its own.
    ("nak-as-status", "3040", 0x0F, NO_ANSWER, "READ page 64", "reader FFF5 (no answer)"),
]
OTHER_CARDS = [
    # The card's type byte says ISO/IEC 14443-4: the same bytes are a block.
    ("processor-card", "3004", 0x0F, NO_ANSWER, "PCB 30", "reader FFF5 (no answer)"),
]
AFTER_FAILED_SELECT = [
    # A select that found no card ended the last one's session: no card is
    # known, and the bytes are read by their first byte again.
    ("after-failed-select", "3004", 0x0F, NO_ANSWER, "READ page 4", "reader FFF5 (no answer)"),
]
NO_CARD = 0xFFFF
# Each selection and the telegrams that follow it.
SESSIONS = [
    (selected(0x00, bytes.fromhex("04A1B2C3D4E5F6")), TYPE2_EXCHANGES),
    (selected(0x20, bytes.fromhex("045A454C564F01")), OTHER_CARDS),
    ((command_packet(0x00), reply_packet(status=NO_CARD)), AFTER_FAILED_SELECT),
]
TELEGRAM_ROWS = [row for _, rows in SESSIONS for row in rows]


def type2_exchanges():
    """The exchanges of SESSIONS, and the row each one is (None for a select)."""
    exchanges, rows = [], []
    for select, telegrams in SESSIONS:
        exchanges.append(select)
        rows.append(None)
        for row in telegrams:
            _, card_bytes, option, answer, _, _ = row
            answer = answer if isinstance(answer, int) else bytes.fromhex(answer)
            exchanges.append(telegram_exchange(bytes.fromhex(card_bytes), answer, option))
            rows.append(row)
    return exchanges, rows


@pytest.fixture(scope="module")
def type2_path(flows, tmp_path_factory):
    """The exchanges of SESSIONS as one capture, and their frame numbers."""
    records, numbers = conversation(flows["ask"], type2_exchanges()[0])
    path = str(tmp_path_factory.mktemp("type2") / "type2.pcap")
    write_pcap(path, USBMON, records)
    return path, numbers


@pytest.fixture(scope="module")
def type2_capture(type2_path):
    """Row name -> Info of its command and of its reply."""
    path, numbers = type2_path
    info = {}
    for line in tshark(path, "-Y", "zelvorn", "-T", "fields", "-e", "frame.number",
                       "-e", "_ws.col.Info").splitlines():
        number, text = line.split("\t", 1)
        info[int(number)] = text
    rows = type2_exchanges()[1]
    return {row[0]: (info[c], info[r]) for row, (c, r) in zip(rows, numbers) if row}


@pytest.mark.parametrize("name, card_bytes, option, answer, command, reply",
                         TELEGRAM_ROWS, ids=[row[0] for row in TELEGRAM_ROWS])
def test_type2_commands_inside_telegrams(type2_capture, name, card_bytes, option, answer, command,
                                         reply):
    command_info, reply_info = type2_capture[name]
    assert command_info.startswith("telegram " + command), command_info
    assert reply_info.endswith(reply), reply_info
