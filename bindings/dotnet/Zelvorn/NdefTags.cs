// NDEF messages on the cards in the field: a MIFARE Classic card through its
// MIFARE Application Directory (sector 0, sector 16 on a 4K card) with the
// public keys, a Type 2 tag (MIFARE Ultralight, NTAG) through its capability
// container and TLVs (NdefType2.cs), and a Type 4 tag through its NDEF
// application. A card laid out by a phone, by zelvorn ndef format or by other
// NFC tools reads alike.
using System;
using System.Collections.Generic;
using System.Linq;

namespace Zelvorn
{
    public sealed partial class Reader
    {
        private static readonly byte[] MadKey = { 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5 };
        private static readonly byte[] NdefKey = { 0xD3, 0xF7, 0xD3, 0xF7, 0xD3, 0xF7 };
        private static readonly byte[] TransportKey = { 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF };
        private static readonly byte[] NdefApplication = { 0xD2, 0x76, 0x00, 0x00, 0x85, 0x01, 0x01 };
        private const ushort NdefAid = 0xE103;
        private const int ShortData = 255;

        /// <summary>
        /// The records of the NDEF message of a card: the one with this serial number, or the
        /// first in the field that can hold NDEF (MIFARE Classic, a Type 2 tag such as MIFARE Ultralight
        /// or NTAG, read from page 3 only as far as the message goes, or ISO/IEC 14443-4).
        /// </summary>
        /// <exception cref="NdefException">No NDEF message, or a malformed one.</exception>
        public IList<NdefRecord> ReadNdef(byte[] serial = null)
        {
            Card card = FindNdefCard(serial);
            byte[] message = ClassicSectors(card.Type) > 0 ? new ClassicNdef(this, card).Read()
                             : Zelvorn.Ultralight.IsTag(card) ? Type2Ndef.Read(Ultralight(card.Serial))
                                                              : Type4(card, null);
            return NdefMessage.Decode(message);
        }

        /// <summary>
        /// Writes an NDEF message of these records to a card chosen as ReadNdef chooses it. The
        /// length is written last, so that a card taken away halfway holds an empty message.
        /// </summary>
        /// <exception cref="NdefException">A message larger than the card holds (nothing is
        /// written), a card not formatted for NDEF, or a read-only one (a Type 2 tag's capability
        /// container or lock bits).</exception>
        public void WriteNdef(IEnumerable<NdefRecord> records, byte[] serial = null)
        {
            byte[] message = NdefMessage.Encode(records);
            Card card = FindNdefCard(serial);
            if (ClassicSectors(card.Type) > 0)
                new ClassicNdef(this, card).Write(message);
            else if (Zelvorn.Ultralight.IsTag(card))
                Type2Ndef.Write(Ultralight(card.Serial), message);
            else
                Type4(card, message);
        }

        /// <summary>The MAD's CRC-8 (x^8+x^4+x^3+x^2+1, preset C7) over its info byte and IDs.</summary>
        public static byte MadCrc(byte[] data, int offset, int count)
        {
            int crc = 0xC7;
            for (int i = offset; i < offset + count; i++)
            {
                crc ^= data[i];
                for (int bit = 0; bit < 8; bit++)
                    crc = (crc & 0x80) != 0 ? ((crc << 1) ^ 0x1D) & 0xFF : (crc << 1) & 0xFF;
            }
            return (byte)crc;
        }

        private static int ClassicSectors(byte type)
        {
            switch (type)
            {
                case 0x08: case 0x28: return 16;
                case 0x09: return 5;
                case 0x18: case 0x38: return 40;
                default: return 0;
            }
        }

        private Card FindNdefCard(byte[] serial)
        {
            foreach (Card card in Cards())
            {
                if (serial != null && !card.Serial.SequenceEqual(serial))
                    continue;
                if (ClassicSectors(card.Type) > 0 || (card.Type & 0x20) != 0 || Zelvorn.Ultralight.IsTag(card))
                    return card;
            }
            throw new NdefException(serial == null ? "no MIFARE Classic, Type 2 or ISO/IEC 14443-4 card in the field"
                                                   : "the card " + BitConverter.ToString(serial).Replace("-", "") +
                                                         " is not in the field or holds no NDEF");
        }

        // The first NDEF TLV of a TLV area: its message (null without one) and
        // where that TLV starts or a new one goes.
        internal static byte[] ScanArea(byte[] area, out int start)
        {
            int at = 0;
            start = 0;
            while (at < area.Length)
            {
                byte type = area[at];
                if (type == 0x00) { at++; continue; }
                if (type == 0xFE) break;
                if (at + 1 >= area.Length || (area[at + 1] == 0xFF && at + 3 >= area.Length))
                    throw new NdefException("the TLV at byte " + at + " runs past the NDEF area");
                int value = area[at + 1] == 0xFF ? at + 4 : at + 2;
                int length = area[at + 1] == 0xFF ? area[at + 2] << 8 | area[at + 3] : area[at + 1];
                if (value + length > area.Length)
                    throw new NdefException("the TLV at byte " + at + " runs past the NDEF area");
                if (type == 0x03)
                {
                    start = at;
                    return area.Skip(value).Take(length).ToArray();
                }
                at = value + length;
                start = at;
            }
            return null;
        }

        private sealed class ClassicNdef
        {
            private readonly Reader reader;
            private readonly Card card;
            private readonly int sectors;
            private int open = -1;

            internal ClassicNdef(Reader owner, Card target)
            {
                reader = owner;
                card = target;
                sectors = ClassicSectors(target.Type);
            }

            private static int FirstBlock(int sector)
            {
                return sector < 32 ? sector * 4 : 128 + (sector - 32) * 16;
            }

            private static int SectorOf(int block)
            {
                return block < 128 ? block / 4 : 32 + (block - 128) / 16;
            }

            private static IEnumerable<int> DataBlocks(IEnumerable<int> sectors)
            {
                foreach (int s in sectors)
                    for (int i = 0; i < (s < 32 ? 4 : 16) - 1; i++)
                        yield return FirstBlock(s) + i;
            }

            private bool Open(int sector, params byte[][] keys)
            {
                if (sector == open)
                    return true;
                foreach (byte[] key in keys)
                {
                    reader.Select(card.Serial);
                    try
                    {
                        reader.Login(sector, KeyType.A, key);
                        open = sector;
                        return true;
                    }
                    catch (ReaderStatusException)
                    {
                    }
                }
                open = -1;
                return false;
            }

            private List<int> Area(out byte[] area)
            {
                if (!Open(0, MadKey, TransportKey))
                    throw new NdefException("sector 0 opens with neither the MAD key nor the transport key: the card holds no MAD");
                byte[] mad1 = reader.Read(1).Concat(reader.Read(2)).ToArray();
                byte gpb = reader.Read(3)[9];
                if ((gpb & 0x80) == 0 || ((gpb & 0x03) != 1 && (gpb & 0x03) != 2))
                    throw new NdefException("sector 0 holds no MAD (general purpose byte " + gpb.ToString("X2") +
                                            "): the card is not formatted for NDEF");
                var directories = new List<KeyValuePair<byte[], int>> { new KeyValuePair<byte[], int>(mad1, 1) };
                if ((gpb & 0x03) == 2 && sectors > 16)
                {
                    if (!Open(16, MadKey, TransportKey))
                        throw new NdefException("sector 16 (the second MAD) opens with no public key");
                    byte[] mad2 = reader.Read(64).Concat(reader.Read(65)).Concat(reader.Read(66)).ToArray();
                    directories.Add(new KeyValuePair<byte[], int>(mad2, 17));
                }
                List<int> found = new List<int>();
                foreach (var directory in directories)
                {
                    byte[] d = directory.Key;
                    if (MadCrc(d, 1, d.Length - 1) != d[0])
                        throw new NdefException("the MAD's CRC does not match: the directory is damaged");
                    for (int at = 2, sector = directory.Value; at + 1 < d.Length && sector < sectors; at += 2, sector++)
                    {
                        if ((d[at] | d[at + 1] << 8) == NdefAid)
                            found.Add(sector);
                    }
                }
                if (found.Count == 0)
                    throw new NdefException("the MAD names no NDEF sector");
                List<byte> bytes = new List<byte>();
                foreach (int sector in found)
                {
                    if (!Open(sector, NdefKey, TransportKey))
                        throw new NdefException("sector " + sector + ": the NFC Forum key does not open it");
                    foreach (int block in DataBlocks(new[] { sector }))
                        bytes.AddRange(reader.Read(block));
                }
                area = bytes.ToArray();
                return found;
            }

            internal byte[] Read()
            {
                byte[] area;
                Area(out area);
                int start;
                byte[] message = ScanArea(area, out start);
                if (message == null)
                    throw new NdefException("the NDEF sectors hold no NDEF message");
                return message;
            }

            internal void Write(byte[] message)
            {
                byte[] area;
                List<int> found = Area(out area);
                int at;
                ScanArea(area, out at);
                int n = message.Length;
                List<byte> tlv = new List<byte> { 0x03 };
                tlv.AddRange(n < 0xFF ? new[] { (byte)n } : new[] { (byte)0xFF, (byte)(n >> 8), (byte)n });
                tlv.AddRange(message);
                tlv.Add(0xFE);
                if (at + tlv.Count - 1 > area.Length) // the terminator may be left out
                    throw new NdefException("the message is " + n + " bytes; the NDEF sectors hold at most " +
                                            Math.Max(0, area.Length - at - 4) + " from where it goes; nothing was written");
                byte[] updated = (byte[])area.Clone();
                for (int i = 0; i < tlv.Count && at + i < updated.Length; i++)
                    updated[at + i] = tlv[i];
                int[] blocks = DataBlocks(found).ToArray();
                List<int> changed = new List<int>();
                for (int i = 0; i < blocks.Length; i++)
                    if (!updated.Skip(16 * i).Take(16).SequenceEqual(area.Skip(16 * i).Take(16)))
                        changed.Add(i);
                int first = at / 16;
                if (changed.Count > 1 && changed.Contains(first) && at % 16 + 1 < 16)
                {
                    // The length first as 0 and last as it is: a card taken away
                    // halfway holds an empty message, never a broken one.
                    byte[] empty = updated.Skip(16 * first).Take(16).ToArray();
                    empty[at % 16 + 1] = 0;
                    WriteBlock(blocks[first], empty);
                    foreach (int i in changed.Where(i => i != first))
                        WriteBlock(blocks[i], updated.Skip(16 * i).Take(16).ToArray());
                    WriteBlock(blocks[first], updated.Skip(16 * first).Take(16).ToArray());
                }
                else
                {
                    foreach (int i in changed)
                        WriteBlock(blocks[i], updated.Skip(16 * i).Take(16).ToArray());
                }
            }

            private void WriteBlock(int block, byte[] data)
            {
                int sector = SectorOf(block);
                if (!Open(sector, NdefKey))
                    throw new NdefException("sector " + sector + ": the NFC Forum key does not open it for writing");
                reader.Write(block, data);
            }
        }

        // Reads the NDEF file of a Type 4 tag, or writes message to it.
        private byte[] Type4(Card card, byte[] message)
        {
            Select(card.Serial);
            using (IsoSession session = StartIsoSession())
            {
                Func<byte[], string, byte[]> send = (apdu, step) =>
                {
                    ApduResponse response = session.Transmit(apdu);
                    if (response.StatusWord != 0x9000)
                        throw new NdefException(step + ": the card answered " + response.StatusWord.ToString("X4"));
                    return response.Data;
                };
                send(new byte[] { 0x00, 0xA4, 0x04, 0x00, 0x07 }.Concat(NdefApplication).Concat(new byte[] { 0x00 }).ToArray(),
                     "select the NDEF application");
                send(new byte[] { 0x00, 0xA4, 0x00, 0x0C, 0x02, 0xE1, 0x03 }, "select the capability container");
                byte[] cc = send(new byte[] { 0x00, 0xB0, 0x00, 0x00, 0x0F }, "read the capability container");
                if (cc.Length < 15 || cc[2] >> 4 != 2 || cc[7] != 0x04)
                    throw new NdefException("the capability container is not a Type 4 tag's");
                int mle = Math.Min(cc[3] << 8 | cc[4], ShortData);
                int mlc = Math.Min(cc[5] << 8 | cc[6], ShortData);
                int size = cc[11] << 8 | cc[12];
                if (mle < 1 || mlc < 1 || size < 2)
                    throw new NdefException("the capability container gives sizes the mapping does not allow");
                send(new byte[] { 0x00, 0xA4, 0x00, 0x0C, 0x02, cc[9], cc[10] }, "select the NDEF file");
                if (message == null)
                {
                    if (cc[13] != 0x00)
                        throw new NdefException("the NDEF file may not be read");
                    byte[] nlen = send(new byte[] { 0x00, 0xB0, 0x00, 0x00, 0x02 }, "read the message length");
                    int length = nlen[0] << 8 | nlen[1];
                    if (length > size - 2)
                        throw new NdefException("the message length " + length + " exceeds the file");
                    List<byte> data = new List<byte>();
                    while (data.Count < length)
                    {
                        int at = 2 + data.Count;
                        int count = Math.Min(mle, length - data.Count);
                        data.AddRange(send(new byte[] { 0x00, 0xB0, (byte)(at >> 8), (byte)at, (byte)count }, "read the message"));
                    }
                    session.Deselect();
                    return data.Take(length).ToArray();
                }
                if (cc[14] != 0x00)
                    throw new NdefException("the NDEF file is read-only");
                if (message.Length > size - 2)
                    throw new NdefException("the message is " + message.Length + " bytes; the NDEF file holds at most " +
                                            (size - 2) + "; nothing was written");
                Action<int, byte[]> update = (at, bytes) =>
                    send(new byte[] { 0x00, 0xD6, (byte)(at >> 8), (byte)at, (byte)bytes.Length }.Concat(bytes).ToArray(),
                         "write the NDEF file");
                byte[] whole = new[] { (byte)(message.Length >> 8), (byte)message.Length }.Concat(message).ToArray();
                if (whole.Length <= mlc)
                {
                    update(0, whole);
                }
                else
                {
                    update(0, new byte[] { 0, 0 });
                    for (int at = 2; at < whole.Length; at += mlc)
                        update(at, whole.Skip(at).Take(mlc).ToArray());
                    update(0, whole.Take(2).ToArray());
                }
                session.Deselect();
                return message;
            }
        }
    }
}
