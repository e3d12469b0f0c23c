// Tests of the .NET NDEF codec against the message vectors the C++ and
// Python tests share (tool/ndef/tests/vectors.json: NFC Forum examples and
// public NDEF libraries' test data, each named with its source). No reader
// is involved.
//
//   mono NdefTests.exe VECTORS
using System;
using System.Collections.Generic;
using System.Globalization;
using System.IO;
using System.Linq;
using System.Text;
using Zelvorn;

internal static class NdefTests
{
    private static int Main(string[] args)
    {
        if (args.Length != 1)
        {
            Console.Error.WriteLine("usage: NdefTests.exe VECTORS (tool/ndef/tests/vectors.json)");
            return 2;
        }
        var vectors = (Dictionary<string, object>)Json.Parse(File.ReadAllText(args[0], Encoding.UTF8));
        var tests = new List<KeyValuePair<string, Action>>();
        foreach (Dictionary<string, object> v in (List<object>)vectors["valid"])
            tests.Add(Test("valid: " + v["name"], () => Valid(v)));
        foreach (Dictionary<string, object> v in (List<object>)vectors["invalid"])
            tests.Add(Test("invalid: " + v["name"], () => Invalid(v)));
        foreach (Dictionary<string, object> v in (List<object>)vectors["unencodable"])
            tests.Add(Test("unencodable: " + v["name"], () => Unencodable(v)));
        tests.Add(Test("every prefix of a message is refused", Prefixes));
        tests.Add(Test("Smart Poster fields and argument checks", Fields));
        int passed = 0, failed = 0;
        foreach (var test in tests)
        {
            try
            {
                test.Value();
                passed++;
            }
            catch (Exception e)
            {
                Console.WriteLine("FAIL  " + test.Key + ": " + e);
                failed++;
            }
        }
        Console.WriteLine("{0} passed, {1} failed", passed, failed);
        return failed == 0 && passed > 100 ? 0 : 1;
    }

    private static void Valid(Dictionary<string, object> v)
    {
        var expected = ((List<object>)v["records"]).Cast<Dictionary<string, object>>().Select(Record).ToList();
        var decoded = NdefMessage.Decode(Hex((string)v["hex"]));
        Equal(Describe(expected), Describe(decoded), "decoded records (" + v["source"] + ")");
        var encoded = NdefMessage.Encode(expected);
        Equal(v.ContainsKey("encoded") ? v["encoded"] : v["hex"], ToHex(encoded), "encoding");
        Equal(Describe(expected), Describe(NdefMessage.Decode(encoded)), "records read back");
    }

    private static void Invalid(Dictionary<string, object> v)
    {
        var e = Throws<NdefException>(() => NdefMessage.Decode(Hex((string)v["hex"])));
        if (!e.Message.Contains((string)v["error"]))
            throw new Exception("message \"" + e.Message + "\" lacks \"" + v["error"] + "\"");
    }

    private static void Unencodable(Dictionary<string, object> v)
    {
        var records = ((List<object>)v["records"]).Cast<Dictionary<string, object>>().Select(Record).ToList();
        var e = Throws<NdefException>(() => NdefMessage.Encode(records));
        if (!e.Message.Contains((string)v["error"]))
            throw new Exception("message \"" + e.Message + "\" lacks \"" + v["error"] + "\"");
    }

    private static void Prefixes()
    {
        var data = NdefMessage.Encode(new NdefRecord[] { new MimeRecord("text/plain", new byte[300], new byte[] { 1 }) });
        for (int n = 1; n < data.Length; n++)
            Throws<NdefException>(() => NdefMessage.Decode(data.Take(n).ToArray()), n + " bytes");
    }

    private static void Fields()
    {
        var poster = new SmartPosterRecord(new NdefRecord[] { new TextRecord("Call us"), new UriRecord("tel:+1") });
        Equal("tel:+1", poster.Uri, "poster URI");
        Equal("Call us", poster.Title, "poster title");
        Equal(null, new SmartPosterRecord(new NdefRecord[0]).Uri, "URI of a poster without one");
        Equal("D1010C55046578616D706C652E6F7267",
              ToHex(NdefMessage.Encode(new[] { new UriRecord("https://example.org") })), "README example");
        Throws<ArgumentNullException>(() => NdefMessage.Decode(null));
        Throws<NdefException>(() => NdefMessage.Encode(new[] { new TextRecord("\ud800") }), "a lone surrogate");
    }

    // ---- Records as the vectors describe them ----------------------------------

    private static NdefRecord Record(Dictionary<string, object> d)
    {
        var id = Hex(Get(d, "id"));
        var payload = Hex(Get(d, "payload"));
        switch ((string)d["kind"])
        {
            case "empty":
                return new EmptyRecord();
            case "text":
                return new TextRecord((string)d["text"], (string)d["language"], (string)d["encoding"] == "utf-16", id);
            case "uri":
                return new UriRecord((string)d["uri"], id);
            case "smart-poster":
                return new SmartPosterRecord(
                    ((List<object>)d["records"]).Cast<Dictionary<string, object>>().Select(Record), id);
            case "unknown":
                return new UnknownRecord(payload, id);
            case "well-known":
                return new WellKnownRecord((string)d["type"], payload, id);
            case "mime":
                return new MimeRecord((string)d["type"], payload, id);
            case "absolute-uri":
                return new AbsoluteUriRecord((string)d["type"], payload, id);
            case "external":
                return new ExternalRecord((string)d["type"], payload, id);
        }
        throw new Exception("unknown kind " + d["kind"]);
    }

    // One line per record with every field, for comparing records.
    private static string Describe(IEnumerable<NdefRecord> records)
    {
        return string.Join("\n", records.Select(Describe));
    }

    private static string Describe(NdefRecord r)
    {
        string common = r.GetType().Name + " id=" + ToHex(r.Id);
        var text = r as TextRecord;
        if (text != null) return common + " [" + text.Language + "] utf16=" + text.Utf16 + " \"" + text.Text + "\"";
        var uri = r as UriRecord;
        if (uri != null) return common + " " + uri.Uri;
        var poster = r as SmartPosterRecord;
        if (poster != null) return common + " {" + Describe(poster.Records) + "}";
        var typed = r as TypedPayloadRecord;
        if (typed != null) return common + " " + typed.Type + " " + ToHex(typed.Payload);
        var unknown = r as UnknownRecord;
        if (unknown != null) return common + " " + ToHex(unknown.Payload);
        return common;
    }

    // ---- Helpers ----------------------------------------------------------------

    private static string Get(Dictionary<string, object> d, string key)
    {
        object value;
        return d.TryGetValue(key, out value) ? (string)value : "";
    }

    private static KeyValuePair<string, Action> Test(string name, Action test)
    {
        return new KeyValuePair<string, Action>(name, test);
    }

    private static byte[] Hex(string text)
    {
        return Enumerable.Range(0, text.Length / 2).Select(i => Convert.ToByte(text.Substring(2 * i, 2), 16)).ToArray();
    }

    private static string ToHex(byte[] bytes)
    {
        return BitConverter.ToString(bytes).Replace("-", "");
    }

    private static void Equal(object expected, object actual, string what)
    {
        if (!Equals(expected, actual))
            throw new Exception(string.Format("{0}: expected {1}, got {2}", what, expected, actual));
    }

    private static T Throws<T>(Action action, string what = null) where T : Exception
    {
        try
        {
            action();
        }
        catch (T e)
        {
            return e;
        }
        throw new Exception((what ?? "the call") + " did not throw " + typeof(T).Name);
    }

    // Just enough JSON for the vector file: objects, arrays, strings, numbers,
    // true, false, null.
    private static class Json
    {
        internal static object Parse(string text)
        {
            int pos = 0;
            var value = Value(text, ref pos);
            Skip(text, ref pos);
            if (pos != text.Length) throw new FormatException("JSON: text after the value at " + pos);
            return value;
        }

        private static void Skip(string s, ref int pos)
        {
            while (pos < s.Length && char.IsWhiteSpace(s[pos])) pos++;
        }

        private static object Value(string s, ref int pos)
        {
            Skip(s, ref pos);
            if (pos >= s.Length) throw new FormatException("JSON: unexpected end");
            char c = s[pos];
            if (c == '{')
            {
                var obj = new Dictionary<string, object>();
                pos++;
                Skip(s, ref pos);
                if (s[pos] == '}') { pos++; return obj; }
                while (true)
                {
                    Skip(s, ref pos);
                    var key = String(s, ref pos);
                    Skip(s, ref pos);
                    Expect(s, ref pos, ':');
                    obj[key] = Value(s, ref pos);
                    Skip(s, ref pos);
                    if (s[pos] == ',') { pos++; continue; }
                    Expect(s, ref pos, '}');
                    return obj;
                }
            }
            if (c == '[')
            {
                var list = new List<object>();
                pos++;
                Skip(s, ref pos);
                if (s[pos] == ']') { pos++; return list; }
                while (true)
                {
                    list.Add(Value(s, ref pos));
                    Skip(s, ref pos);
                    if (s[pos] == ',') { pos++; continue; }
                    Expect(s, ref pos, ']');
                    return list;
                }
            }
            if (c == '"') return String(s, ref pos);
            foreach (var literal in new[] { "true", "false", "null" })
            {
                if (string.CompareOrdinal(s, pos, literal, 0, literal.Length) == 0)
                {
                    pos += literal.Length;
                    return literal == "null" ? null : (object)(literal == "true");
                }
            }
            int start = pos;
            while (pos < s.Length && "+-0123456789.eE".IndexOf(s[pos]) >= 0) pos++;
            if (pos == start) throw new FormatException("JSON: unexpected '" + c + "' at " + pos);
            return double.Parse(s.Substring(start, pos - start), CultureInfo.InvariantCulture);
        }

        private static void Expect(string s, ref int pos, char c)
        {
            if (pos >= s.Length || s[pos] != c) throw new FormatException("JSON: expected '" + c + "' at " + pos);
            pos++;
        }

        private static string String(string s, ref int pos)
        {
            Expect(s, ref pos, '"');
            var out_ = new StringBuilder();
            while (s[pos] != '"')
            {
                char c = s[pos++];
                if (c != '\\') { out_.Append(c); continue; }
                char e = s[pos++];
                switch (e)
                {
                    case 'n': out_.Append('\n'); break;
                    case 'r': out_.Append('\r'); break;
                    case 't': out_.Append('\t'); break;
                    case 'b': out_.Append('\b'); break;
                    case 'f': out_.Append('\f'); break;
                    case 'u':
                        out_.Append((char)Convert.ToInt32(s.Substring(pos, 4), 16));
                        pos += 4;
                        break;
                    default: out_.Append(e); break;
                }
            }
            pos++;
            return out_.ToString();
        }
    }
}
