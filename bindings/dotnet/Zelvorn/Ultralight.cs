// MIFARE Ultralight, Ultralight EV1 and NTAG21x tags (NFC Forum Type 2): 4-byte
// pages read and written with the tags' own commands, through the reader's
// telegrams. A NAK sends a tag back to idle: every method selects it again
// (and repeats the password) before it throws TagRefusedException.
using System;
using System.Collections.Generic;
using System.Linq;

namespace Zelvorn
{
    /// <summary>The tag refused a command (a NAK, or the reader found it silent).</summary>
    public class TagRefusedException : FailureException
    {
        public TagRefusedException(string message) : base(Native.ERR_FAILURE, "Zelvorn_TxDataTelegram", message) { }
    }

    /// <summary>A Type 2 tag in the field, selected by its serial number (Reader.Ultralight).</summary>
    public sealed class Ultralight
    {
        // The option byte the ISO/IEC 14443-4 path sends: standard frame, the
        // CRC appended to the frame and checked on the answer.
        public const byte TelegramOption = 0x0F;
        public const int PageSize = 4;
        // The most pages one telegram answer carries (117 bytes).
        public const int PagesPerFastRead = 29;
        private const byte GetVersion = 0x60, ReadCommand = 0x30, FastRead = 0x3A, WriteCommand = 0xA2, PwdAuth = 0x1B;

        private readonly Reader reader;
        private byte[] password;

        /// <summary>The tag's 7-byte serial number.</summary>
        public byte[] Serial { get; }

        /// <summary>The 8 bytes of GET_VERSION, or null for a tag that does not know it (the first Ultralight).</summary>
        public byte[] Version { get; }

        // Every Type 2 tag reports card type 00 and has a 7-byte serial number.
        internal static bool IsTag(Card card)
        {
            return card.Type == 0x00 && card.Serial.Length == 7;
        }

        internal Ultralight(Reader owner, byte[] serial)
        {
            reader = owner;
            Serial = serial;
            reader.Select(serial);
            Version = Ask(new[] { GetVersion }, 8);
            if (Version == null)
                Recover();
        }

        private byte[] Ask(byte[] frame, int length)
        {
            byte[] answer;
            try
            {
                answer = reader.Telegram(frame, TelegramOption);
            }
            catch (ReaderStatusException)
            {
                return null;
            }
            return answer.Length == length ? answer : null;
        }

        private void Recover()
        {
            reader.Select(Serial);
            if (password != null && Ask(new[] { PwdAuth }.Concat(password).ToArray(), 2) == null)
                throw new TagRefusedException("the password was refused after the tag was selected again");
        }

        private TagRefusedException Refused(string what)
        {
            Recover();
            return new TagRefusedException(what + ": the tag refused it");
        }

        /// <summary>count pages from page on: FAST_READ where the tag has it, else READ.</summary>
        public byte[] Read(int page, int count = 1)
        {
            if (page < 0 || count < 1 || page + count > 256)
                throw new ArgumentOutOfRangeException("page", "pages are numbered 0..255");
            List<byte> pages = new List<byte>();
            while (count > 0)
            {
                int n;
                byte[] data;
                if (Version != null)
                {
                    n = Math.Min(count, PagesPerFastRead);
                    data = Ask(new[] { FastRead, (byte)page, (byte)(page + n - 1) }, n * PageSize);
                }
                else
                {
                    n = Math.Min(count, 4);
                    data = Ask(new[] { ReadCommand, (byte)page }, 4 * PageSize);
                }
                if (data == null)
                    throw Refused(string.Format("read pages {0} to {1}", page, page + n - 1));
                pages.AddRange(data.Take(n * PageSize));
                page += n;
                count -= n;
            }
            return pages.ToArray();
        }

        /// <summary>Writes one page of 4 bytes with WRITE. Page 2's lock bytes and page 3 take bits only, for good.</summary>
        public void Write(int page, byte[] data)
        {
            Buffers.RequireLength(data, PageSize, PageSize, "data");
            if (page < 0 || page > 255)
                throw new ArgumentOutOfRangeException("page", "pages are numbered 0..255");
            byte[] answer;
            try
            {
                answer = reader.Telegram(new[] { WriteCommand, (byte)page }.Concat(data).ToArray(), TelegramOption);
            }
            catch (ReaderStatusException)
            {
                answer = new byte[0];
            }
            // The 4-bit ACK, as one byte: its low bits are 0xA.
            if (answer.Length != 1 || (answer[0] & 0x0F) != 0x0A)
                throw Refused("write page " + page);
        }

        /// <summary>PWD_AUTH with a 4-byte password; returns the tag's PACK, which must equal pack when given.</summary>
        public byte[] Authenticate(byte[] password, byte[] pack = null)
        {
            Buffers.RequireLength(password, 4, 4, "password");
            if (pack != null)
                Buffers.RequireLength(pack, 2, 2, "pack");
            byte[] answer = Ask(new[] { PwdAuth }.Concat(password).ToArray(), 2);
            if (answer == null)
                throw Refused("authenticate with the password");
            if (pack != null && !answer.SequenceEqual(pack))
                throw new TagRefusedException("PACK " + BitConverter.ToString(answer).Replace("-", "") + ", not " +
                                              BitConverter.ToString(pack).Replace("-", ""));
            this.password = (byte[])password.Clone();
            return answer;
        }
    }

    public sealed partial class Reader
    {
        /// <summary>
        /// The MIFARE Ultralight, Ultralight EV1 or NTAG tag with this 7-byte serial number, or the first
        /// in the field, selected.
        /// </summary>
        /// <exception cref="NoCardException">No such tag is in the field.</exception>
        public Ultralight Ultralight(byte[] serial = null)
        {
            if (serial == null)
            {
                Card tag = Cards().FirstOrDefault(Zelvorn.Ultralight.IsTag);
                if (tag == null)
                    throw new NoCardException(unchecked((short)0xFFFF), "Zelvorn_ListTags");
                serial = tag.Serial;
            }
            return new Ultralight(this, serial);
        }
    }
}
