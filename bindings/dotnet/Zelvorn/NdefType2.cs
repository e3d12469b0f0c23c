// NDEF on NFC Forum Type 2 tags (MIFARE Ultralight, Ultralight EV1, NTAG):
// pages of 4 bytes; pages 0..2 hold the serial number and the static lock
// bytes, page 3 the capability container E1 VV SS AA (magic, mapping version,
// data area size / 8, access), and the data area from page 4 the TLVs, each a
// type byte, a length (one byte, or FF and two bytes big-endian) and a value.
// NULL (00) and the terminator (FE) have neither length nor value; Lock
// Control (01) and Memory Control (02) TLVs set areas of memory aside, which
// the TLVs that follow them jump over.
//
// Reading takes the pages from page 3 on until the NDEF TLV is complete.
// Writing reads the data area and the lock bytes, checks that the tag and the
// pages to write are writable and that the message fits, and only then
// writes: the page with the TLV's length first with a length of 0, the other
// pages, then that page again with the real length, so that a tag taken away
// halfway holds an empty message rather than a broken one. Addresses are
// indexes into a memory image whose byte 0 is page 0's first byte.
using System;
using System.Collections.Generic;
using System.Linq;

namespace Zelvorn
{
    internal static class Type2Ndef
    {
        private const byte TlvNull = 0x00, TlvLockControl = 0x01, TlvMemoryControl = 0x02, TlvNdef = 0x03,
                           TlvTerminator = 0xFE;
        // The largest length the three-byte form carries (FFFF is reserved).
        private const int MaxLength = 0xFFFE;
        private const int PageSize = Ultralight.PageSize;
        private const int DataAreaStart = 16; // page 4
        private const byte CcMagic = 0xE1;
        // Static lock bits: byte 10 bit 3 locks page 3, bits 4..7 pages 4..7;
        // byte 11 locks pages 8..15. Dynamic lock bits lock the memory from
        // byte 64 on, where the static ones end.
        private const int StaticLock0 = 10, StaticLock1 = 11, DynamicLockStart = 64;
        // Pages 3..15 are on every Type 2 tag: the first read, before the
        // capability container tells how far the data area goes.
        private const int FirstPages = 16 - 3;
        // Page numbers are one byte.
        private const int Pages = 256;

        // What a Lock Control TLV says: where its lock bytes are, how many lock
        // bits they hold and how many bytes of memory each bit locks.
        internal sealed class LockControl
        {
            internal int Address, Bits, BytesPerBit;

            internal LockControl(int address, int bits, int bytesPerBit)
            {
                Address = address;
                Bits = bits;
                BytesPerBit = bytesPerBit;
            }
        }

        // Areas [begin, end) kept sorted and merged, so that the next usable
        // address is a binary search however many control TLVs a tag claims.
        internal sealed class Reserved
        {
            private readonly List<int> begins = new List<int>(), ends = new List<int>();

            internal void Add(int begin, int end)
            {
                if (begin >= end)
                    return;
                var areas = begins.Zip(ends, (b, e) => new[] { b, e }).Concat(new[] { new[] { begin, end } })
                                  .OrderBy(a => a[0]).ToList();
                begins.Clear();
                ends.Clear();
                foreach (int[] area in areas)
                {
                    if (ends.Count > 0 && area[0] <= ends[ends.Count - 1])
                    {
                        ends[ends.Count - 1] = Math.Max(ends[ends.Count - 1], area[1]);
                    }
                    else
                    {
                        begins.Add(area[0]);
                        ends.Add(area[1]);
                    }
                }
            }

            // The first address at or after this one that no area covers.
            internal int Usable(int address)
            {
                int i = begins.BinarySearch(address);
                i = i >= 0 ? i : ~i - 1; // the last area that begins at or before address
                return i >= 0 && ends[i] > address ? ends[i] : address;
            }
        }

        // What a scan of the TLV area found: the NDEF TLV's value (null without
        // one), the address of its type byte or where a new one goes (after the
        // last TLV that is neither NULL nor a terminator), and, when the image
        // ends before what the scan needs, how many bytes to read (Need > 0).
        internal sealed class Scan
        {
            internal byte[] Message;
            internal int NdefAt, Need;
            internal Reserved Areas;
            internal List<LockControl> Locks;
        }

        // Scans the TLVs from address begin up to end (exclusive). The image
        // may stop short of end; the scan then asks for more where it needs it.
        internal static Scan ScanTlvs(byte[] image, int begin, int end)
        {
            var areas = new Reserved();
            var locks = new List<LockControl>();
            Func<byte[], int, int, Scan> finish = (message, ndefAt, need) =>
                new Scan { Message = message, NdefAt = ndefAt, Need = need, Areas = areas, Locks = locks };
            int start = 0;
            Func<int, string, int> after = (a, what) =>
            {
                int following = areas.Usable(a + 1);
                if (following >= end)
                    throw new NdefException(string.Format("the TLV at byte {0} (type {1:X2}): {2} runs past the end of the data area at byte {3}",
                                                          start, image[start], what, end));
                return following;
            };
            int at = areas.Usable(begin), lastEnd = at;
            for (;;)
            {
                at = areas.Usable(at);
                if (at >= end)
                    return finish(null, lastEnd, 0);
                if (at >= image.Length)
                    return finish(null, 0, at + 1);
                byte type = image[at];
                if (type == TlvNull)
                {
                    at++;
                    continue;
                }
                if (type == TlvTerminator)
                    return finish(null, lastEnd, 0);
                start = at;
                int length = 0;
                for (int i = 0, lengthBytes = 1; i < lengthBytes; i++)
                {
                    at = after(at, "its length");
                    if (at >= image.Length)
                        return finish(null, 0, at + 1);
                    if (i == 0 && image[at] == 0xFF)
                        lengthBytes = 3;
                    else
                        length = length << 8 | image[at];
                }
                // A control TLV of another length than 3 says nothing usable: it
                // is skipped like any other, as nfcpy does.
                bool control = (type == TlvLockControl || type == TlvMemoryControl) && length == 3;
                var value = new List<int>();
                for (int i = 0; i < length; i++)
                {
                    at = after(at, "its value of " + length + " bytes");
                    if (type == TlvNdef || control)
                        value.Add(at);
                }
                if (value.Count > 0 && value[value.Count - 1] >= image.Length)
                    return finish(null, 0, value[value.Count - 1] + 1);
                if (type == TlvNdef)
                    return finish(value.Select(v => image[v]).ToArray(), start, 0);
                if (control)
                {
                    byte position = image[value[0]], size = image[value[1]], sizes = image[value[2]];
                    // The page address in the high nibble, the byte offset in the
                    // low one; the page size is 2 to the power of the third
                    // byte's low nibble.
                    int address = (position >> 4) * (1 << (sizes & 0x0F)) + (position & 0x0F);
                    int count = size == 0 ? 256 : size;
                    if (type == TlvLockControl)
                    {
                        // The size counts lock bits; each locks 2^(high nibble) bytes.
                        locks.Add(new LockControl(address, count, 1 << (sizes >> 4)));
                        areas.Add(address, address + (count + 7) / 8);
                    }
                    else
                    {
                        areas.Add(address, address + count);
                    }
                }
                at++;
                lastEnd = at;
            }
        }

        // The largest message an NDEF TLV fits into this many bytes: a length
        // below 255 takes one byte, a longer one three.
        internal static int Capacity(int usable)
        {
            int best = 0;
            if (usable >= 2)
                best = Math.Min(usable - 2, 254);
            if (usable >= 4 + 255)
                best = Math.Min(usable - 4, MaxLength);
            return best;
        }

        // The data area's size of a tag formatted for NDEF whose data may be
        // read, and its access byte.
        private static int CapabilityContainer(byte[] image, out byte access)
        {
            if (image[12] != CcMagic)
                throw new NdefException("page 3 holds " + BitConverter.ToString(image, 12, 4).Replace("-", " ") +
                                        ", no NDEF capability container (E1 ...): the tag is not formatted for NDEF; format it first");
            if (image[13] >> 4 != 1)
                throw new NdefException(string.Format("the capability container names NDEF mapping version {0}.{1}; only 1.x is known",
                                                      image[13] >> 4, image[13] & 15));
            access = image[15];
            if (access >> 4 != 0)
                throw new NdefException("the capability container's access byte " + access.ToString("X2") +
                                        " denies reading the NDEF data");
            return image[14] * 8;
        }

        // The Lock Control TLVs' lock bits or, without one, the default ones
        // after the data area.
        private static List<LockControl> DynamicLocks(List<LockControl> locks, int dataArea)
        {
            if (locks.Count > 0 || dataArea <= DynamicLockStart - DataAreaStart)
                return locks;
            return new List<LockControl>
            {
                new LockControl(DataAreaStart + dataArea, (dataArea - (DynamicLockStart - DataAreaStart) + 7) / 8, 8),
            };
        }

        // Why pages first..last may not be written, or null: page 3 and pages
        // 4..15 by the static lock bits of page 2, the pages from byte 64 on by
        // the dynamic lock bits.
        internal static string LockedPages(byte[] image, int first, int last, List<LockControl> locks, int dataArea)
        {
            for (int page = first; page <= last; page++)
            {
                bool locked = page == 3 ? (image[StaticLock0] & 0x08) != 0
                            : page >= 4 && page <= 7 ? (image[StaticLock0] >> page & 1) != 0
                            : page >= 8 && page <= 15 && (image[StaticLock1] >> (page - 8) & 1) != 0;
                if (locked)
                    return "page " + page + " is locked by a static lock bit of page 2";
            }
            int bit = 0; // numbered across the TLVs, in their order
            foreach (LockControl lockBits in DynamicLocks(locks, dataArea))
            {
                for (int i = 0; i < lockBits.Bits; i++, bit++)
                {
                    int at = lockBits.Address + i / 8;
                    if (at >= image.Length)
                        return "the lock bytes at byte " + lockBits.Address + " are not in the image: read up to byte " +
                               (lockBits.Address + (lockBits.Bits + 7) / 8);
                    if ((image[at] >> (i % 8) & 1) == 0)
                        continue;
                    int begin = DynamicLockStart + bit * lockBits.BytesPerBit, end = begin + lockBits.BytesPerBit - 1;
                    if (end / PageSize >= first && begin / PageSize <= last)
                        return string.Format("page {0} is locked by a dynamic lock bit (lock byte at byte {1} is {2:X2})",
                                             Math.Max(begin / PageSize, first), at, image[at]);
                }
            }
            return null;
        }

        // The pages (number, 4 bytes) that put message on the tag, in the order
        // to write them. image starts at page 0 and reaches the end of the data
        // area and the lock bytes; bytes of written pages that the TLV does not
        // cover keep their value.
        internal static List<KeyValuePair<int, byte[]>> WritePlan(byte[] image, byte[] message)
        {
            byte access;
            int dataArea = CapabilityContainer(image, out access);
            if ((access & 0x0F) != 0)
                throw new NdefException("the tag is read-only: its capability container's access byte is " + access.ToString("X2"));
            int end = DataAreaStart + dataArea;
            if (image.Length < end)
                throw new NdefException("the memory image ends at byte " + image.Length + "; read the data area up to byte " +
                                        end + " first");
            Scan found = ScanTlvs(image, DataAreaStart, end);
            var usable = new List<int>();
            for (int a = found.Areas.Usable(found.NdefAt); a < end; a = found.Areas.Usable(a + 1))
                usable.Add(a);
            int most = Capacity(usable.Count);
            if (usable.Count < 2 || message.Length > most)
                throw new NdefException("the message is " + message.Length + " bytes; the NDEF area holds at most " + most +
                                        " on this tag; nothing was written");
            var tlv = new List<byte> { TlvNdef };
            tlv.AddRange(message.Length < 0xFF ? new[] { (byte)message.Length }
                                               : new[] { (byte)0xFF, (byte)(message.Length >> 8), (byte)message.Length });
            int lengthBytes = tlv.Count - 1;
            tlv.AddRange(message);
            if (tlv.Count < usable.Count)
                tlv.Add(TlvTerminator);
            var changed = new SortedDictionary<int, byte[]>();
            for (int i = 0; i < tlv.Count; i++)
            {
                int page = usable[i] / PageSize;
                byte[] data;
                if (!changed.TryGetValue(page, out data))
                    changed[page] = data = image.Skip(page * PageSize).Take(PageSize).ToArray();
                data[usable[i] % PageSize] = tlv[i];
            }
            foreach (int page in changed.Keys)
            {
                string locked = LockedPages(image, page, page, found.Locks, dataArea);
                if (locked != null)
                    throw new NdefException(locked + ": the tag is read-only there; nothing was written");
            }
            var plan = new List<KeyValuePair<int, byte[]>>();
            if (changed.Count == 1)
            {
                plan.AddRange(changed);
                return plan;
            }
            var emptied = new SortedDictionary<int, byte[]>();
            foreach (int address in usable.Skip(1).Take(lengthBytes))
            {
                int page = address / PageSize;
                byte[] data;
                if (!emptied.TryGetValue(page, out data))
                    emptied[page] = data = (byte[])changed[page].Clone();
                data[address % PageSize] = 0;
            }
            plan.AddRange(emptied);
            plan.AddRange(changed.Where(p => !emptied.ContainsKey(p.Key)));
            plan.AddRange(emptied.Select(p => new KeyValuePair<int, byte[]>(p.Key, changed[p.Key])));
            return plan;
        }

        // Extends image, which ends on a page boundary, to at least upTo bytes.
        private static byte[] ReadOn(Ultralight tag, byte[] image, int upTo)
        {
            int page = image.Length / PageSize, last = (upTo + PageSize - 1) / PageSize;
            if (last > Pages)
                throw new NdefException("byte " + (upTo - 1) + " lies past page " + (Pages - 1) +
                                        ", the last a Type 2 tag can have: the capability container or a Lock Control TLV is wrong");
            return last > page ? image.Concat(tag.Read(page, last - page)).ToArray() : image;
        }

        // The NDEF message of the tag, read from page 3 on until its NDEF TLV
        // is complete.
        internal static byte[] Read(Ultralight tag)
        {
            // Pages 0..2 (serial number, static lock bytes) do not tell where the
            // message is; they stay zero here so that addresses are indexes.
            byte[] image = new byte[3 * PageSize].Concat(tag.Read(3, FirstPages)).ToArray();
            byte access;
            int end = DataAreaStart + CapabilityContainer(image, out access);
            Scan found;
            while ((found = ScanTlvs(image, DataAreaStart, end)).Need > 0)
            {
                int chunk = Math.Min(Math.Min(image.Length + Ultralight.PagesPerFastRead * PageSize, end), Pages * PageSize);
                image = ReadOn(tag, image, Math.Max(found.Need, chunk));
            }
            if (found.Message == null)
                throw new NdefException("the tag's data area holds no NDEF message");
            return found.Message;
        }

        // Writes message to the tag; a refusal leaves the tag as it was.
        internal static void Write(Ultralight tag, byte[] message)
        {
            byte[] image = tag.Read(0, 4);
            byte access;
            int dataArea = CapabilityContainer(image, out access);
            if ((access & 0x0F) == 0) // a read-only tag is told before the rest is read
            {
                image = ReadOn(tag, image, DataAreaStart + dataArea);
                var locks = DynamicLocks(ScanTlvs(image, DataAreaStart, image.Length).Locks, dataArea);
                int lockEnd = locks.Select(l => l.Address + (l.Bits + 7) / 8).DefaultIfEmpty(0).Max();
                if (lockEnd > image.Length)
                    image = ReadOn(tag, image, lockEnd);
            }
            foreach (var page in WritePlan(image, message))
                tag.Write(page.Key, page.Value);
        }
    }
}
