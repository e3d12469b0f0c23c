// Argument checks and copies shared by the friendly layer.
using System;

namespace Zelvorn
{
    internal static class Buffers
    {
        // length bytes from offset, fewer where the buffer ends first (a length
        // the library reports is never trusted to index an array).
        internal static byte[] Slice(byte[] buffer, int offset, int length)
        {
            int count = Math.Max(0, Math.Min(length, buffer.Length - offset));
            byte[] part = new byte[count];
            Array.Copy(buffer, offset, part, 0, count);
            return part;
        }

        // first, second, then the data: the layout of telegrams and direct packets.
        internal static byte[] Framed(byte first, byte second, byte[] data)
        {
            byte[] framed = new byte[data.Length + 2];
            framed[0] = first;
            framed[1] = second;
            Array.Copy(data, 0, framed, 2, data.Length);
            return framed;
        }

        internal static void RequireLength(byte[] data, int min, int max, string name)
        {
            if (data == null)
                throw new ArgumentNullException(name);
            if (data.Length < min || data.Length > max)
            {
                string allowed = min == max ? min.ToString() : min + ".." + max;
                throw new ArgumentException(
                    string.Format("{0} must be {1} bytes long, not {2}", name, allowed, data.Length), name);
            }
        }

        // The outputs a read starts with (see Reader.ReadWritten): all bytes the pattern.
        internal static void Fill(byte[] buffer, byte pattern)
        {
            for (int i = 0; i < buffer.Length; i++)
                buffer[i] = pattern;
        }

        internal static bool Holds(byte[] buffer, byte pattern)
        {
            foreach (byte b in buffer)
                if (b != pattern)
                    return false;
            return true;
        }

        internal static int Repeated(byte pattern)
        {
            return unchecked(pattern * 0x01010101);
        }

        internal static ReaderStatusRecord RecordOf(byte pattern)
        {
            ReaderStatusRecord record;
            record.StatusA = record.StatusC = record.StatusD = record.StatusE = pattern;
            record.StatusB = (uint)Repeated(pattern);
            record.StatusF = (ushort)(pattern * 0x0101);
            return record;
        }

        internal static byte ToByte(int value, string name)
        {
            if (value < 0 || value > byte.MaxValue)
                throw new ArgumentOutOfRangeException(name, value, "must be 0..255");
            return (byte)value;
        }
    }
}
