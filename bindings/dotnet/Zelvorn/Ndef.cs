// NDEF messages, the records tags carry, encoded and decoded without a reader.
// The well-known types Text, URI (with its abbreviations) and Smart Poster
// are decoded into their fields; media types, external types and every other
// record are kept as they are. Chunked records are joined when read and never
// written. What cannot be decoded or encoded throws NdefException.
using System;
using System.Collections.Generic;
using System.Collections.ObjectModel;
using System.Linq;
using System.Text;

namespace Zelvorn
{
    /// <summary>A message or record that cannot be decoded or encoded; the message says
    /// what is wrong and, for a message, which record at which byte.</summary>
    public class NdefException : Exception
    {
        public NdefException(string message) : base(message) { }
    }

    /// <summary>A record of an NDEF message. Every kind but EmptyRecord may carry an ID.</summary>
    public abstract class NdefRecord
    {
        protected NdefRecord(byte[] id)
        {
            Id = id ?? new byte[0];
        }

        /// <summary>The record's ID, empty when it has none.</summary>
        public byte[] Id { get; private set; }
    }

    /// <summary>Well-known type "T": a text in a language (an IANA code such as "en" or
    /// "de-CH"), stored as UTF-8 or UTF-16.</summary>
    public sealed class TextRecord : NdefRecord
    {
        public TextRecord(string text, string language = "en", bool utf16 = false, byte[] id = null) : base(id)
        {
            Text = text;
            Language = language;
            Utf16 = utf16;
        }

        public string Text { get; private set; }
        public string Language { get; private set; }
        public bool Utf16 { get; private set; }
    }

    /// <summary>Well-known type "U": a URI, its prefix abbreviated when written.</summary>
    public sealed class UriRecord : NdefRecord
    {
        public UriRecord(string uri, byte[] id = null) : base(id)
        {
            Uri = uri;
        }

        public string Uri { get; private set; }
    }

    /// <summary>Well-known type "Sp": a nested message with exactly one URI record and
    /// optionally titles, an action ("act"), a size ("s"), a type ("t") and icons, the
    /// latter kept as they are.</summary>
    public sealed class SmartPosterRecord : NdefRecord
    {
        public SmartPosterRecord(IEnumerable<NdefRecord> records, byte[] id = null) : base(id)
        {
            Records = new ReadOnlyCollection<NdefRecord>(records.ToList());
        }

        public ReadOnlyCollection<NdefRecord> Records { get; private set; }

        /// <summary>The URI of the poster's URI record, or null.</summary>
        public string Uri
        {
            get { return Records.OfType<UriRecord>().Select(r => r.Uri).FirstOrDefault(); }
        }

        /// <summary>The text of the first title, or null.</summary>
        public string Title
        {
            get { return Records.OfType<TextRecord>().Select(r => r.Text).FirstOrDefault(); }
        }
    }

    /// <summary>A record with a type name and an opaque payload.</summary>
    public abstract class TypedPayloadRecord : NdefRecord
    {
        protected TypedPayloadRecord(string type, byte[] payload, byte[] id) : base(id)
        {
            Type = type;
            Payload = payload ?? new byte[0];
        }

        public string Type { get; private set; }
        public byte[] Payload { get; private set; }
    }

    /// <summary>A payload of a media type, such as "text/vcard" or "application/vnd.wfa.wsc".</summary>
    public sealed class MimeRecord : TypedPayloadRecord
    {
        public MimeRecord(string type, byte[] payload, byte[] id = null) : base(type, payload, id) { }
    }

    /// <summary>An external type, "domain:type" (such as "android.com:pkg").</summary>
    public sealed class ExternalRecord : TypedPayloadRecord
    {
        public ExternalRecord(string type, byte[] payload, byte[] id = null) : base(type, payload, id) { }
    }

    /// <summary>A record whose type is an absolute URI.</summary>
    public sealed class AbsoluteUriRecord : TypedPayloadRecord
    {
        public AbsoluteUriRecord(string type, byte[] payload, byte[] id = null) : base(type, payload, id) { }
    }

    /// <summary>Any other NFC Forum well-known type ("act", "s", "Hr", ...), kept as it is.</summary>
    public sealed class WellKnownRecord : TypedPayloadRecord
    {
        public WellKnownRecord(string type, byte[] payload, byte[] id = null) : base(type, payload, id) { }
    }

    /// <summary>A payload of unknown type.</summary>
    public sealed class UnknownRecord : NdefRecord
    {
        public UnknownRecord(byte[] payload, byte[] id = null) : base(id)
        {
            Payload = payload ?? new byte[0];
        }

        public byte[] Payload { get; private set; }
    }

    /// <summary>The empty record: no type, no ID, no payload.</summary>
    public sealed class EmptyRecord : NdefRecord
    {
        public EmptyRecord() : base(null) { }
    }

    /// <summary>Decoding and encoding whole messages.</summary>
    public static class NdefMessage
    {
        /// <summary>The URI abbreviations by code 0x00..0x23: a URI record stores the code of
        /// its prefix and the rest of the URI.</summary>
        public static readonly ReadOnlyCollection<string> UriPrefixes = new ReadOnlyCollection<string>(new[]
        {
            "", "http://www.", "https://www.", "http://", "https://", "tel:", "mailto:",
            "ftp://anonymous:anonymous@", "ftp://ftp.", "ftps://", "sftp://", "smb://", "nfs://",
            "ftp://", "dav://", "news:", "telnet://", "imap:", "rtsp://", "urn:", "pop:", "sip:", "sips:",
            "tftp:", "btspp://", "btl2cap://", "btgoep://", "tcpobex://", "irdaobex://", "file://",
            "urn:epc:id:", "urn:epc:tag:", "urn:epc:pat:", "urn:epc:raw:", "urn:epc:", "urn:nfc:",
        });

        private const byte Mb = 0x80, Me = 0x40, Cf = 0x20, Sr = 0x10, Il = 0x08;
        private const int TnfEmpty = 0, TnfWellKnown = 1, TnfMime = 2, TnfAbsoluteUri = 3,
                          TnfExternal = 4, TnfUnknown = 5, TnfUnchanged = 6;
        private const byte Utf16Flag = 0x80, LanguageLengthMask = 0x3F;

        // Strict codecs: what does not decode is refused rather than replaced.
        private static readonly Encoding Utf8 = new UTF8Encoding(false, true);
        private static readonly Encoding Utf16Be = new UnicodeEncoding(true, false, true);
        private static readonly Encoding Utf16Le = new UnicodeEncoding(false, false, true);

        private sealed class Raw
        {
            internal int Tnf;
            internal byte[] Type, Id, Payload;

            internal Raw(int tnf, byte[] type, byte[] id, byte[] payload)
            {
                Tnf = tnf;
                Type = type;
                Id = id;
                Payload = payload;
            }
        }

        /// <summary>The records of a message; empty input is the empty message.</summary>
        /// <exception cref="NdefException">The bytes are not a well-formed message, or a Text,
        /// URI or Smart Poster payload does not decode.</exception>
        public static IList<NdefRecord> Decode(byte[] message)
        {
            if (message == null) throw new ArgumentNullException("message");
            var raws = DecodeRaw(message);
            var records = new List<NdefRecord>();
            for (int i = 0; i < raws.Count; i++)
            {
                try
                {
                    records.Add(Interpret(raws[i], false));
                }
                catch (NdefException e)
                {
                    throw new NdefException(string.Format("record {0}: {1}", i, e.Message));
                }
            }
            return records;
        }

        /// <summary>The bytes of a message holding the records.</summary>
        /// <exception cref="NdefException">A record that cannot be written: a language code of
        /// other than 1..63 ASCII characters, a Smart Poster without exactly one URI record, a
        /// type that is not printable ASCII or longer than 255 bytes, an ID longer than 255
        /// bytes.</exception>
        public static byte[] Encode(IEnumerable<NdefRecord> records)
        {
            if (records == null) throw new ArgumentNullException("records");
            var raws = new List<Raw>();
            int i = 0;
            foreach (var record in records)
            {
                try
                {
                    raws.Add(ToRaw(record));
                }
                catch (NdefException e)
                {
                    throw new NdefException(string.Format("record {0} cannot be written: {1}", i, e.Message));
                }
                i++;
            }
            return EncodeRaw(raws);
        }

        // What a TNF allows, the same when reading and writing.
        private static string FieldProblem(int tnf, long typeLength, long idLength, long payloadLength)
        {
            switch (tnf)
            {
                case TnfEmpty:
                    return typeLength != 0 || idLength != 0 || payloadLength != 0
                        ? "empty record (TNF 0) with a type, ID or payload" : null;
                case TnfUnknown:
                    return typeLength != 0 ? "unknown record (TNF 5) with a type" : null;
                case TnfWellKnown:
                case TnfMime:
                case TnfAbsoluteUri:
                case TnfExternal:
                    return typeLength == 0 ? "record without a type (TNF 1 to 4 need one)" : null;
                case TnfUnchanged:
                    return "TNF 6 (unchanged) outside a chunked record";
                default:
                    return "TNF 7 is reserved";
            }
        }

        private static bool Printable(byte[] bytes)
        {
            return bytes.All(b => b >= 0x20 && b <= 0x7E);
        }

        private static byte[] Slice(byte[] bytes, long start, long length)
        {
            var out_ = new byte[length];
            Array.Copy(bytes, start, out_, 0, length);
            return out_;
        }

        private static List<Raw> DecodeRaw(byte[] data)
        {
            var records = new List<Raw>();
            Raw pending = null;  // a chunked record being joined
            var chunks = new List<byte>();
            long pos = 0;
            int index = 0;
            bool ended = false;
            while (pos < data.Length)
            {
                long start = pos;
                Func<string, NdefException> fail =
                    problem => new NdefException(string.Format("record {0} at byte {1}: {2}", index, start, problem));
                byte flags = data[pos];
                bool sr = (flags & Sr) != 0, il = (flags & Il) != 0;
                int header = 2 + (sr ? 1 : 4) + (il ? 1 : 0);
                if (data.Length - pos < header) throw fail("the input ends inside the record header");
                long typeLength = data[pos + 1];
                long payloadLength = 0;
                if (sr)
                    payloadLength = data[pos + 2];
                else
                    for (int i = 0; i < 4; i++) payloadLength = payloadLength << 8 | data[pos + 2 + i];
                long idLength = il ? data[pos + header - 1] : 0;
                pos += header;
                bool mb = (flags & Mb) != 0, me = (flags & Me) != 0, cf = (flags & Cf) != 0;
                if (index == 0 && !mb) throw fail("the first record lacks the message begin flag (MB)");
                if (index > 0 && mb) throw fail("message begin flag (MB) on a record other than the first");
                int tnf = flags & 0x07;
                if (pending != null)
                {
                    if (tnf != TnfUnchanged) throw fail("a chunk continuation must have TNF 6 (unchanged)");
                    if (typeLength != 0 || idLength != 0) throw fail("a chunk continuation carries a type or ID");
                }
                else
                {
                    string problem = FieldProblem(tnf, typeLength, idLength, payloadLength);
                    if (problem != null) throw fail(problem);
                }
                if (typeLength + idLength + payloadLength > data.Length - pos)
                    throw fail("the input ends inside the record's type, ID or payload");
                var type = Slice(data, pos, typeLength);
                pos += typeLength;
                var id = Slice(data, pos, idLength);
                pos += idLength;
                var payload = Slice(data, pos, payloadLength);
                pos += payloadLength;
                if (pending != null)
                {
                    chunks.AddRange(payload);
                    if (!cf)
                    {
                        pending.Payload = chunks.ToArray();
                        records.Add(pending);
                        pending = null;
                        chunks.Clear();
                    }
                }
                else
                {
                    if (!Printable(type)) throw fail("the record type is not printable ASCII");
                    var record = new Raw(tnf, type, id, payload);
                    if (cf)
                    {
                        if (tnf == TnfEmpty) throw fail("an empty record (TNF 0) cannot be chunked");
                        pending = record;
                        chunks.AddRange(payload);
                    }
                    else
                    {
                        records.Add(record);
                    }
                }
                index++;
                if (me)
                {
                    if (cf) throw fail("message end flag (ME) on a chunk that is not the last");
                    if (pos != data.Length) throw fail("bytes follow the record with the message end flag (ME)");
                    ended = true;
                }
            }
            if (data.Length > 0 && !ended)
                throw new NdefException("the message ends without a record carrying the message end flag (ME)");
            return records;
        }

        private static byte[] EncodeRaw(IList<Raw> records)
        {
            var out_ = new List<byte>();
            for (int i = 0; i < records.Count; i++)
            {
                var r = records[i];
                int index = i;
                Func<string, NdefException> fail =
                    problem => new NdefException(string.Format("record {0} cannot be written: {1}", index, problem));
                string fieldProblem = FieldProblem(r.Tnf, r.Type.Length, r.Id.Length, r.Payload.LongLength);
                if (fieldProblem != null) throw fail(fieldProblem);
                if (r.Type.Length > 255) throw fail("a type is at most 255 bytes");
                if (r.Id.Length > 255) throw fail("an ID is at most 255 bytes");
                if (r.Payload.LongLength > 0xFFFFFFFFL) throw fail("a payload is at most 4294967295 bytes");
                if (!Printable(r.Type)) throw fail("the record type is not printable ASCII");
                bool sr = r.Payload.Length < 256;
                int flags = r.Tnf | (i == 0 ? Mb : 0) | (i == records.Count - 1 ? Me : 0) | (sr ? Sr : 0) |
                            (r.Id.Length > 0 ? Il : 0);
                out_.Add((byte)flags);
                out_.Add((byte)r.Type.Length);
                uint length = (uint)r.Payload.Length;
                if (sr)
                    out_.Add((byte)length);
                else
                    for (int shift = 24; shift >= 0; shift -= 8) out_.Add((byte)(length >> shift));
                if (r.Id.Length > 0) out_.Add((byte)r.Id.Length);
                out_.AddRange(r.Type);
                out_.AddRange(r.Id);
                out_.AddRange(r.Payload);
            }
            return out_.ToArray();
        }

        private static bool IsWellKnown(Raw raw, string type)
        {
            return raw.Tnf == TnfWellKnown && Encoding.ASCII.GetString(raw.Type) == type;
        }

        private static NdefRecord Interpret(Raw raw, bool insideSmartPoster)
        {
            string type = Encoding.ASCII.GetString(raw.Type);
            if (IsWellKnown(raw, "T")) return DecodeText(raw.Payload, raw.Id);
            if (IsWellKnown(raw, "U")) return DecodeUri(raw.Payload, raw.Id);
            if (IsWellKnown(raw, "Sp") && !insideSmartPoster)
            {
                List<NdefRecord> inner;
                try
                {
                    inner = DecodeRaw(raw.Payload).Select(r => Interpret(r, true)).ToList();
                }
                catch (NdefException e)
                {
                    throw new NdefException("Smart Poster record: " + e.Message);
                }
                CheckOneUri(inner);
                return new SmartPosterRecord(inner, raw.Id);
            }
            switch (raw.Tnf)
            {
                case TnfEmpty:
                    return new EmptyRecord();
                case TnfWellKnown:
                    return new WellKnownRecord(type, raw.Payload, raw.Id);
                case TnfMime:
                    return new MimeRecord(type, raw.Payload, raw.Id);
                case TnfAbsoluteUri:
                    return new AbsoluteUriRecord(type, raw.Payload, raw.Id);
                case TnfExternal:
                    return new ExternalRecord(type, raw.Payload, raw.Id);
                default:
                    return new UnknownRecord(raw.Payload, raw.Id);
            }
        }

        private static TextRecord DecodeText(byte[] payload, byte[] id)
        {
            Func<string, NdefException> fail = problem => new NdefException("Text record: " + problem);
            if (payload.Length == 0) throw fail("empty payload");
            int length = payload[0] & LanguageLengthMask;
            if (length == 0) throw fail("language code of length 0");
            if (payload.Length - 1 < length) throw fail("the language code runs past the payload");
            var language = Slice(payload, 1, length);
            if (language.Any(b => b >= 0x80)) throw fail("the language code is not ASCII");
            var text = Slice(payload, 1 + length, payload.Length - 1 - length);
            if ((payload[0] & Utf16Flag) != 0)
            {
                // Big-endian unless a byte order mark says otherwise.
                var codec = Utf16Be;
                if (text.Length >= 2 && text[0] == 0xFE && text[1] == 0xFF)
                {
                    text = Slice(text, 2, text.Length - 2);
                }
                else if (text.Length >= 2 && text[0] == 0xFF && text[1] == 0xFE)
                {
                    text = Slice(text, 2, text.Length - 2);
                    codec = Utf16Le;
                }
                if (text.Length % 2 != 0) throw fail("the text is not valid UTF-16");
                try
                {
                    return new TextRecord(codec.GetString(text), Encoding.ASCII.GetString(language), true, id);
                }
                catch (ArgumentException)
                {
                    throw fail("the text is not valid UTF-16");
                }
            }
            try
            {
                return new TextRecord(Utf8.GetString(text), Encoding.ASCII.GetString(language), false, id);
            }
            catch (ArgumentException)
            {
                throw fail("the text is not valid UTF-8");
            }
        }

        private static UriRecord DecodeUri(byte[] payload, byte[] id)
        {
            if (payload.Length == 0) throw new NdefException("URI record: empty payload");
            if (payload[0] >= UriPrefixes.Count)
                throw new NdefException(string.Format("URI record: abbreviation code 0x{0:X2} is not defined", payload[0]));
            try
            {
                return new UriRecord(UriPrefixes[payload[0]] + Utf8.GetString(payload, 1, payload.Length - 1), id);
            }
            catch (ArgumentException)
            {
                throw new NdefException("URI record: the URI is not valid UTF-8");
            }
        }

        private static void CheckOneUri(IEnumerable<NdefRecord> records)
        {
            int uris = records.OfType<UriRecord>().Count();
            if (uris != 1)
                throw new NdefException(string.Format(
                    "Smart Poster record: it carries {0} URI records, exactly one is needed", uris));
        }

        private static byte[] Ascii(string text)
        {
            if (text == null || text.Any(c => c > 0x7F))
                throw new NdefException("the record type is not printable ASCII");
            return Encoding.ASCII.GetBytes(text);
        }

        private static byte[] TextPayload(TextRecord r)
        {
            var language = r.Language ?? "";
            if (language.Length == 0 || language.Length > LanguageLengthMask || language.Any(c => c > 0x7F))
                throw new NdefException(string.Format(
                    "Text record: the language code must be 1 to 63 ASCII characters, not \"{0}\"", language));
            byte[] text;
            try
            {
                text = (r.Utf16 ? Utf16Be : Utf8).GetBytes(r.Text ?? "");
            }
            catch (ArgumentException)
            {
                throw new NdefException("Text record: the text is not valid UTF-8");
            }
            var payload = new List<byte> { (byte)(language.Length | (r.Utf16 ? Utf16Flag : 0)) };
            payload.AddRange(Encoding.ASCII.GetBytes(language));
            payload.AddRange(text);
            return payload.ToArray();
        }

        private static byte[] UriPayload(UriRecord r)
        {
            var uri = r.Uri ?? "";
            byte[] bytes;
            try
            {
                bytes = Utf8.GetBytes(uri);
            }
            catch (ArgumentException)
            {
                throw new NdefException("URI record: the URI is not valid UTF-8");
            }
            // The longest prefix that matches saves the most.
            int code = 0;
            for (int i = 1; i < UriPrefixes.Count; i++)
            {
                if (uri.StartsWith(UriPrefixes[i], StringComparison.Ordinal) &&
                    UriPrefixes[i].Length > UriPrefixes[code].Length)
                    code = i;
            }
            int skip = Encoding.ASCII.GetByteCount(UriPrefixes[code]);
            var payload = new byte[1 + bytes.Length - skip];
            payload[0] = (byte)code;
            Array.Copy(bytes, skip, payload, 1, bytes.Length - skip);
            return payload;
        }

        private static Raw ToRaw(NdefRecord record)
        {
            if (record == null) throw new ArgumentNullException("record");
            var text = record as TextRecord;
            if (text != null) return new Raw(TnfWellKnown, Ascii("T"), text.Id, TextPayload(text));
            var uri = record as UriRecord;
            if (uri != null) return new Raw(TnfWellKnown, Ascii("U"), uri.Id, UriPayload(uri));
            var poster = record as SmartPosterRecord;
            if (poster != null)
            {
                CheckOneUri(poster.Records);
                return new Raw(TnfWellKnown, Ascii("Sp"), poster.Id, EncodeRaw(poster.Records.Select(ToRaw).ToList()));
            }
            if (record is EmptyRecord) return new Raw(TnfEmpty, new byte[0], record.Id, new byte[0]);
            var unknown = record as UnknownRecord;
            if (unknown != null) return new Raw(TnfUnknown, new byte[0], unknown.Id, unknown.Payload);
            var typed = record as TypedPayloadRecord;
            if (typed == null) throw new ArgumentException("not a record kind of this library: " + record.GetType().Name);
            int tnf = record is MimeRecord ? TnfMime
                    : record is AbsoluteUriRecord ? TnfAbsoluteUri
                    : record is ExternalRecord ? TnfExternal
                    : TnfWellKnown;
            return new Raw(tnf, Ascii(typed.Type), typed.Id, typed.Payload);
        }
    }
}
