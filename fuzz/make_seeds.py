#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into fuzz/corpus/<target>/.

Each seed is one conversation in the input layout of fuzz/harness.h: the
answer to the reset that opening sends, then calls with the replies the unit
tests use for them. Run it again after changing that layout."""
import os

HERE = os.path.dirname(os.path.abspath(__file__))

FRAMED = 3  # kind: a reply frame built from the input, reader status 0


def reply(data=b"", chunk=0):
    """An intact frame, status 0, whose data is `data`."""
    payload = bytes([0, 0, 0, 0, len(data)]) + bytes(data)
    return bytes([FRAMED, chunk, len(payload)]) + payload


def reader_status(status):
    """An intact frame carrying a nonzero reader status."""
    payload = bytes([0, status >> 8, status & 0xFF, 0, 0])
    return bytes([FRAMED | 0x10, 0, len(payload)]) + payload


def transport_status(status, data=b""):
    payload = bytes([0, 0, 0, 0, len(data)]) + bytes(data)
    return bytes([FRAMED | 0x08, 0, status >> 8, status & 0xFF, len(payload)]) + payload


def card(choice, inf=b"", pcb=None):
    """A card's answer to a telegram (card-answer mode)."""
    head = bytes([FRAMED, 0, choice]) + (bytes([pcb]) if pcb is not None else b"")
    return head + bytes([len(inf)]) + bytes(inf)


OPEN = reply()
KEY = bytes(range(0xA0, 0xB0))  # the 16 bytes each MIFARE call takes first
BLOCK = bytes.fromhex("00112233445566778899AABBCCDDEEFF")


def mifare():
    call = lambda op, args, answer: bytes([op, 0]) + KEY + bytes(args) + answer
    return {
        "select": call(0, [], reply(bytes([0x88, 0x04, 0x04]) + bytes(range(1, 11)))),
        "login": call(1, [0xAA, 1, 0], reply()),
        "login_refused": call(1, [0xAF, 1, 2], reader_status(0x0001)),
        "read": call(2, [4], reply(BLOCK)),
        "read_chunked": call(2, [4], reply(BLOCK, chunk=0x07)),
        "write": call(3, [4], reply(KEY)),
        "write_trailer": call(3, [7], reply(BLOCK)),
        "read_value": call(4, [5, 0, 0, 0, 0], reply(bytes([0, 0, 0, 100]))),
        "inc": call(5, [5, 0, 0, 0, 1], reply(bytes([0, 0, 0, 101]))),
        "dec": call(6, [5, 0, 0, 0, 1], reply(bytes([0, 0, 0, 99]))),
        "copy": call(7, [5, 0, 0, 0, 0, 6], reply(bytes([0, 0, 0, 100]))),
        "write_value": call(8, [0xFF, 0xFF, 0xFF, 0xFE, 5], reply(bytes([0xFF, 0xFF, 0xFF, 0xFE]))),
        "write_master_key": call(9, [2], reply(KEY[:6])),
        "status_9001": call(2, [4], transport_status(0x9001, BLOCK)),
    }


def control():
    call = lambda op, a, b, answer=b"": bytes([op, 0, a, b]) + answer
    return {
        "reset": call(0, 0, 0, reply()),
        "status": call(1, 0, 0, reply(bytes(range(30)))),
        "power_on": call(2, 1, 0, reply(bytes([1]))),
        "power_off_wrong_echo": call(2, 0, 0, reply(bytes([1]))),
        "read_register": call(3, 0x11, 0, reply(bytes([0x5A]))),
        "write_register": call(4, 0x11, 0x22, reply(bytes([0x22]))),
        "read_eeprom": call(5, 0x10, 0, reply(bytes([0x42]))),
        "write_eeprom": call(6, 0x10, 0x43, reply(bytes([0x43]))),
        "read_user_port": call(7, 0, 0, reply(bytes([0xFF]))),
        "write_user_port": call(8, 0xFF, 0, reply(bytes([0x44]))),
        "version": call(9, 0, 0),
        "status_short": call(1, 0, 0, reply(bytes(range(29)))),
    }


def ask():
    call = lambda op, sector, w, answer, mode=b"": bytes([op, 0, sector]) + bytes(w) + mode + answer
    return {
        "read": call(0, 0, [0, 0], reply(bytes([0x12, 0x34]))),
        "multi_read": call(1, 0x0C, [0, 0], reply(bytes(range(8)))),
        "write": call(2, 5, [0x12, 0x34], reply(bytes([0x12, 0x34])), bytes([0])),
        "write_other_echo": call(2, 5, [0x12, 0x34], reply(bytes([0x56, 0x78])), bytes([1])),
        "read_refused": call(0, 1, [0, 0], reader_status(0x8001)),
    }


def multicard():
    call = lambda op, nulls, args, answer: bytes([op, nulls, 0]) + bytes(args) + answer
    two_cards = bytes([2]) + bytes([0x04, 4]) + bytes(range(10)) + bytes([0x44, 7]) + bytes(range(10, 20))
    atqb = bytes([0x50, 1, 2, 3, 4, 0xA0, 0xA1, 0xA2, 0xA3, 0xB0, 0xB1, 0xB2])
    return {
        "list_tags": call(0, 0, [], reply(two_cards)),
        "list_tags_none": call(0, 0, [], reply(bytes([0]))),
        "select_4": call(1, 0, bytes(range(1, 11)), reply(bytes([0, 0x04, 4]) + bytes(range(1, 11)))),
        "select_7": call(0x43, 0, bytes(range(1, 11)), reply(bytes([0, 0x44, 7]) + bytes(range(1, 11)))),
        "telegram": call(2, 0, bytes([3, 1, 0x0F, 0xC2]), reply(bytes([0xC2]))),
        "direct_send": call(3, 0, bytes([2, 0x05, 0x00]), reply(bytes([1, 2, 3]))),
        "direct_receive": call(4, 0, bytes([0]), reply(bytes([9, 8, 7]))),
        "atqb": call(5, 0, [], reply(atqb)),
    }


def transport():
    def exchange(command, data, capacity, answer):
        return bytes([2, 0, command, len(data)]) + bytes(data) + bytes([capacity, 0]) + answer
    return {
        "read": exchange(0x06, [4], 32, reply(BLOCK)),
        "one_byte_reads": exchange(0x06, [4], 32, reply(BLOCK, chunk=0x07)),
        "status_6a82": exchange(0x19, [1], 32, transport_status(0x6A82, [0xAB])),
        "longest": exchange(0x16, [], 128, reply(bytes(117))),
        "reopen": bytes([0x08]) + OPEN + exchange(0x05, [], 32, reply()),
    }


def iso14443():
    apdu = lambda length, flag=1: bytes([3, 0, flag, length >> 8, length & 0xFF])
    return {
        # FSCI 0: a 40-byte APDU in three blocks, two R(ACK)s, then 90 00.
        "chained_apdu": bytes([0]) + apdu(40) + card(1) + card(1) + card(0, b"\x90\x00"),
        "short_apdu": bytes([0]) + apdu(5) + card(0, b"\x6A\x82"),
        "wtx_then_answer": bytes([0]) + apdu(5) + card(3, b"\x01") + card(3, b"\x02") + card(0, b"\x90\x00"),
        "chained_response": bytes([0]) + apdu(5) + card(0x10, b"\x01\x02\x03\x04\x05") + card(0, b"\x90\x00"),
        "nak_then_ack": bytes([0]) + apdu(20) + card(2) + card(1) + card(0, b"\x90\x00"),
        "rats": bytes([5, 1, 0, 2]) + card(5, b"\x78\x80\x70\x02", pcb=0x05),
        "deselect": bytes([0, 2, 0, 0]) + card(5, b"", pcb=0xC2),
        "big_frames": bytes([8]) + apdu(300, 0) + card(1) + card(1) + card(0, b"\x90\x00"),
    }


def pcsc():
    """The driver: op 0 powers up, 1 powers down, 2 polls presence, 3 sends a
    command (receive buffer choice, shape, then the command), 7 makes a
    control call (code choice, input length, input, receive buffer choice)."""
    def power_up(sak, uid, *more):
        return (bytes([0, 0]) + reply(b"\x00") + reply(b"\x01")
                + reply(bytes([0x88, sak, len(uid)]) + uid + bytes(10 - len(uid))) + b"".join(more))
    raw = lambda hexstring, rx=0: bytes([3, rx, 2, len(bytes.fromhex(hexstring))]) + bytes.fromhex(hexstring)
    made_up = lambda length, header, rx=1: bytes([3, rx, 1, length >> 8, length & 0xFF]) + bytes.fromhex(header)
    mifare = power_up(0x08, bytes([0xA1, 0xB2, 0xC3, 0xD4]))
    # ATS: TL 6, T0 72 (TB and TC, FSCI 2: 32-byte frames), historical C1 05.
    iso = power_up(0x20, bytes.fromhex("045A454C564F01"), card(5, b"\x72\x80\x02\xC1\x05", pcb=0x06))
    atqb = bytes([0x50, 1, 2, 3, 4, 0xA0, 0xA1, 0xA2, 0xA3, 0xB0, 0xB1, 0xB2])
    value = "FFC200030BA009800105810401000000"  # increment block 5 by 1
    return {
        "get_data_uid": mifare + raw("FFCA000000"),
        "get_data_historical": iso + raw("FFCA010000"),
        "load_key": mifare + raw("FF82000006FFFFFFFFFFFF"),
        "authenticate": mifare + raw("FF82000006FFFFFFFFFFFF") + raw("FF860000050100046000") + reply(),
        "authenticate_old": mifare + raw("FF82000006FFFFFFFFFFFF") + raw("FF8800046000") + reply(),
        "read_binary": mifare + raw("FFB0000410") + reply(BLOCK),
        "read_binary_two_blocks": mifare + raw("FFB0000420") + reply(BLOCK) + reply(BLOCK),
        # A reader that answers a read with a byte too few or too many.
        "read_binary_short_reply": mifare + raw("FFB0000410") + reply(BLOCK[:15]),
        "read_binary_long_reply": mifare + raw("FFB0000420") + reply(BLOCK) + reply(BLOCK + b"\x00"),
        "update_binary_short_echo": mifare + raw("FFD6000410" + BLOCK.hex()) + reply(BLOCK[:15]),
        "update_binary": mifare + raw("FFD6000410" + BLOCK.hex()) + reply(BLOCK),
        "increment": mifare + raw(value) + reply(bytes([0, 0, 0, 101])),
        "unknown_class": mifare + raw("00A4040000"),
        "apdu": iso + raw("0084000008") + card(0, bytes(range(8)) + b"\x90\x00"),
        "apdu_small_buffer": iso + raw("0084000008", rx=3) + card(0, bytes(range(8)) + b"\x90\x00"),
        "chained_apdu": iso + made_up(60, "00D60000") + card(1) + card(1) + card(0, b"\x90\x00"),
        "chained_response": iso + raw("00B0000000") + card(0x10, bytes(20)) + card(0, b"\x90\x00"),
        "presence_and_power_down": iso + bytes([2]) + card(1) + bytes([1]) + card(5, b"", pcb=0xC2),
        "choose_then_power_up": bytes([7, 0, 7]) + bytes.fromhex("045A454C564F01") + bytes([4]) + iso,
        "list_cards": mifare + bytes([7, 1, 0, 0])
                      + reply(bytes([2, 0x08, 4]) + bytes([0xA1, 0xB2, 0xC3, 0xD4]) + bytes(6)
                              + bytes([0x20, 7]) + bytes.fromhex("045A454C564F01") + bytes(3))
                      + reply(bytes([0, 0x08, 4]) + bytes([0xA1, 0xB2, 0xC3, 0xD4]) + bytes(6)),
        "type_b": bytes([0, 0]) + reply(b"\x00") + reply(b"\x01") + reader_status(0x0001)
                  + reply(atqb) + raw("FFCA000000"),
    }


def main():
    targets = {
        "pcsc_fuzz": pcsc(),
        "transport_fuzz": transport(),
        "mifare_fuzz": mifare(),
        "multicard_fuzz": multicard(),
        "control_fuzz": control(),
        "ask_fuzz": ask(),
        "iso14443_fuzz": iso14443(),
    }
    for target, seeds in targets.items():
        folder = os.path.join(HERE, "corpus", target)
        os.makedirs(folder, exist_ok=True)
        for name, body in seeds.items():
            # The open's reset comes first; the block protocol's first byte
            # (the FSCI) is read after it.
            with open(os.path.join(folder, name), "wb") as f:
                f.write(OPEN + body)


if __name__ == "__main__":
    main()
