import zelvorn

with zelvorn.open(port=0) as reader:                 # the first reader; closed at the end
    card = reader.select()                           # the first card in the field
    print(f"card {card.kind.value}, serial {card.serial.hex().upper()}")
    reader.login(0, zelvorn.TRANSPORT_KEY)           # sector 0, key A FF FF FF FF FF FF
    block = reader.read(1)                           # 16 bytes
    text = "".join(chr(b) if 32 <= b < 127 else "." for b in block)
    print(f"block 1: {block.hex(' ').upper()}  |{text}|")
