// Tests of the .NET binding on the virtual library and the scenario beside
// this file. The test setup maps both library names to the virtual library,
// so Native and VirtualNative reach the same emulated reader.
//
//   mono ZelvornTests.exe DECLARATIONS
//   mono ZelvornTests.exe --short-replies CODES
//   mono ZelvornTests.exe --type2-ndef TOOL
//
// DECLARATIONS holds the header's declarations and constants, one a line
// (header_declarations.cmake writes it). With --short-replies the scenario
// makes the reader answer the commands CODES (decimal, comma-separated) one
// data byte short, and only the calls of those commands are tested. With
// --type2-ndef the scenario is the tool's demo and NDEF on its NTAG215 is
// tested, also against the command-line tool TOOL.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Text;
using System.Text.RegularExpressions;
using Zelvorn;

internal static class BindingTests
{
    // What scenario.json puts in the field and in the reader.
    private static readonly byte[] MifareSerial = { 0x11, 0x22, 0x33, 0x44 };
    private static readonly byte[] ProcessorSerial = { 0x04, 0x5A, 0x45, 0x4C, 0x56, 0x4F, 0x01 };
    private static readonly byte[] Block1 = Hex("00112233445566778899AABBCCDDEEFF");
    private static readonly byte[] TransportKey = Hex("FFFFFFFFFFFF");
    private static readonly byte[] SectorTwoKey = Hex("A0A1A2A3A4A5");
    private static readonly byte[] Ats = Hex("0772808002 8031");
    private static readonly byte[] SelectApplication = Hex("00A404 0C 09 A000 0005 5A45 4C56 01");
    private const byte Sentinel = 0xEE;

    // An output buffer of a C function and the most it may write there: the
    // call gets a larger buffer and must leave everything past that alone.
    private sealed class Extent
    {
        internal string Function, Parameter;
        internal int Size;
        internal Func<byte[], short> Call;
        internal byte[] Expected;

        internal Extent(string function, string parameter, int size, byte[] expected, Func<byte[], short> call)
        {
            Function = function;
            Parameter = parameter;
            Size = size;
            Expected = expected;
            Call = call;
        }
    }

    // Every output buffer of the header, in the order the calls build on
    // each other; the declaration test takes these as the byte[] parameters.
    private static readonly Extent[] Extents =
    {
        new Extent("Zelvorn_Select", "serialNumber", Native.ZELVORN_SERIAL_FIELD, Field(MifareSerial),
                   b => { byte t, l; return Native.Zelvorn_Select(0, out t, out l, b); }),
        new Extent("Zelvorn_Read", "data", Native.BlockSize, Block1, b => LoggedIn(0) ?? Native.Zelvorn_Read(0, 1, b)),
        new Extent("Zelvorn_ListTags", "cardTypes", Native.ZELVORN_MAX_LISTED_TAGS, new byte[] { 0x08, 0x20 },
                   b => { byte n; return Native.Zelvorn_ListTags(0, out n, b, new byte[9], new byte[90]); }),
        new Extent("Zelvorn_ListTags", "serialLengths", Native.ZELVORN_MAX_LISTED_TAGS, new byte[] { 4, 7 },
                   b => { byte n; return Native.Zelvorn_ListTags(0, out n, new byte[9], b, new byte[90]); }),
        new Extent("Zelvorn_ListTags", "serialNumbers", Native.ZELVORN_MAX_LISTED_TAGS * Native.ZELVORN_SERIAL_FIELD,
                   Field(MifareSerial).Concat(Field(ProcessorSerial)).ToArray(),
                   b => { byte n; return Native.Zelvorn_ListTags(0, out n, new byte[9], new byte[9], b); }),
        new Extent("Zelvorn_MultiTagSelect", "serialNumber", Native.ZELVORN_SERIAL_FIELD, Field(ProcessorSerial),
                   b => { byte t, l; return Native.Zelvorn_MultiTagSelect(0, 7, ProcessorSerial, out t, out l, b); }),
        new Extent("Zelvorn_TxDataTelegram", "response", Native.ZELVORN_MAX_TELEGRAM_RESPONSE, Ats,
                   b =>
                   {
                       byte l;
                       return ProcessorSelected() ?? Native.Zelvorn_TxDataTelegram(0, 4, Hex("02 0C E040"), out l, b);
                   }),
        // The card's answer to the telegram above is still in the reader.
        new Extent("Zelvorn_DirectReceive", "response", Native.ZELVORN_MAX_DIRECT_RESPONSE, Ats,
                   b => { byte l; return Native.Zelvorn_DirectReceive(0, 0, out l, b); }),
        new Extent("Zelvorn_DirectSend", "response", Native.ZELVORN_MAX_DIRECT_RESPONSE, new byte[] { 0x01 },
                   b => { byte l; return Native.Zelvorn_DirectSend(0, 2, new byte[] { 0x14, 0 }, out l, b); }),
        new Extent("Zelvorn_ReadATQB", "atqb", Native.AtqbSize, Hex("12345678 008171"),
                   b => Native.Zelvorn_ReadATQB(0, b)),
        new Extent("Zelvorn_Status", "statusBlock", Native.StatusBlockSize, Text("Zelvorn virtual 1.0\0"),
                   b => { ReaderStatusRecord r; return Native.Zelvorn_Status(0, b, out r); }),
        new Extent("Zelvorn_RequestDLLVersion", "versionText", Native.VersionTextSize, Text("Zelvorn DLL "),
                   b => { byte l; return Native.Zelvorn_RequestDLLVersion(out l, b); }),
        new Extent("Zelvorn_ASKSectorRead", "sectorData", Native.AskSectorSize, Hex("1234"),
                   b => Native.Zelvorn_ASKSectorRead(0, 4, b)),
        new Extent("Zelvorn_ASKSectorMultiRead", "sectorData", Native.AskMultiReadSize, Hex("1234ABCD 00000000"),
                   b => Native.Zelvorn_ASKSectorMultiRead(0, 4, b)),
        new Extent("Zelvorn_ASKSectorWrite", "sectorData", Native.AskSectorSize, Hex("0FF0"),
                   b => { b[0] = 0x0F; b[1] = 0xF0; return Native.Zelvorn_ASKSectorWrite(0, 8, b, 0); }),
        new Extent("PICC_RATS", "ats", Native.MaxAtsLength, Ats,
                   b => { byte l; return ProcessorSelected() ?? Native.PICC_RATS(0, 4, out l, b); }),
        new Extent("PICC_Xch_APDU", "response", Native.MaxApduLength, Hex("9000"), b =>
        {
            byte l;
            short length = (short)SelectApplication.Length, responseLength;
            return ProcessorSelected() ?? Ok(Native.PICC_RATS(0, 4, out l, new byte[Native.MaxAtsLength])) ??
                   Native.PICC_Xch_APDU(0, 0, ref length, SelectApplication, out responseLength, b);
        }),
    };

    private static int Main(string[] args)
    {
        if (args.Length == 2 && args[0] == "--short-replies")
            return Run(new List<KeyValuePair<string, Action>>
            {
                Test("a reply of the wrong length is a failure, not data", () => ShortReplies(args[1])),
            });
        if (args.Length == 2 && args[0] == "--type2-ndef")
            return Run(new List<KeyValuePair<string, Action>>
            {
                // In this order: each starts from the tag the one before left.
                Test("NDEF as the demo's NTAG215 holds it", () => Type2Ndef(null, null, null)),
                Test("the tool and the binding read the same NTAG215", () => Type2AgainstTool(args[1])),
                // The NTAG215's capability container E1 10 3E 00 gives a data
                // area of 3E * 8 = 496 bytes, without a Lock Control TLV: 492
                // bytes of message and the TLV's 4.
                Test("NDEF URI and text on an NTAG215", () => Type2Ndef(new NdefRecord[]
                {
                    new UriRecord("https://example.org/zelvorn"),
                    new TextRecord(string.Concat(Enumerable.Repeat("Zelvorn ", 40)), "de"),
                }, null, null)),
                Test("NDEF filling an NTAG215", () => Type2Ndef(MessageOf(492), null, null)),
                Test("NDEF one byte too large for an NTAG215", () => Type2Ndef(MessageOf(493), null,
                     "the message is 493 bytes; the NDEF area holds at most 492 on this tag; nothing was written")),
                // Page 3 is one-time programmable: the access bits are added to what is there.
                Test("NDEF on a read-only NTAG215", () => Type2Ndef(new NdefRecord[] { new UriRecord("https://example.org") },
                     "0000000F", "the tag is read-only: its capability container's access byte is 0F")),
            });
        if (args.Length != 1)
        {
            Console.Error.WriteLine("usage: ZelvornTests.exe DECLARATIONS (the header's declarations, one a line)\n" +
                                    "       ZelvornTests.exe --short-replies CODES");
            return 2;
        }
        return Run(new List<KeyValuePair<string, Action>>
        {
            Test("declarations match include/zelvorn.h", () => Declarations(args[0])),
            Test("outputs stay within their documented sizes", OutputExtents),
            Test("MIFARE Classic flow", MifareFlow),
            Test("ISO/IEC 14443-4 session with chained APDUs", IsoSession),
            Test("reader control, type B, ASK and raw commands", ReaderFunctions),
            Test("result codes become exceptions", Exceptions),
            Test("arguments are checked before the library is called", Arguments),
            // Last: it formats the MIFARE Classic card's sector 0 for NDEF.
            Test("NDEF on a Type 4 tag and on a MIFARE Classic card", NdefFlow),
            Test("pages of an NTAG215", Type2Pages),
        });
    }

    private static int Run(List<KeyValuePair<string, Action>> tests)
    {
        int passed = 0, failed = 0;
        foreach (var test in tests)
        {
            try
            {
                test.Value();
                Console.WriteLine("ok    " + test.Key);
                passed++;
            }
            catch (Exception e)
            {
                Console.WriteLine("FAIL  " + test.Key + ": " + e);
                failed++;
            }
        }
        Console.WriteLine("{0} passed, {1} failed", passed, failed);
        return failed == 0 ? 0 : 1;
    }

    // ---- The declarations ------------------------------------------------------

    private static readonly Dictionary<string, Type> Scalars = new Dictionary<string, Type>
    {
        { "int8_t", typeof(sbyte) }, { "uint8_t", typeof(byte) }, { "int16_t", typeof(short) },
        { "uint16_t", typeof(ushort) }, { "int32_t", typeof(int) }, { "uint32_t", typeof(uint) },
        { "ReaderStatusRecord", typeof(ReaderStatusRecord) },
    };

    // Every function of the header, in both declaring classes, with the C
    // widths, names, buffers and calling convention; every numeric constant.
    private static void Declarations(string path)
    {
        string[] lines = File.ReadAllLines(path).Where(l => l.Length > 0).ToArray();
        string[] functions = lines.Where(l => !l.StartsWith("#define ")).ToArray();
        var problems = new List<string>();
        foreach (Type type in new[] { typeof(Native), typeof(VirtualNative) })
        {
            var externs = type.GetMethods(BindingFlags.Public | BindingFlags.Static)
                              .Where(m => (m.Attributes & MethodAttributes.PinvokeImpl) != 0)
                              .ToDictionary(m => m.Name);
            string library = (string)type.GetField("LibraryName").GetValue(null);
            foreach (string declaration in functions)
                CompareFunction(declaration, type.Name, library, externs, problems);
            foreach (string name in externs.Keys)
                problems.Add(type.Name + "." + name + " is not in the header");
        }
        foreach (string define in lines.Where(l => l.StartsWith("#define ")))
        {
            string[] parts = define.Split(' ');
            long value = parts[2].StartsWith("0x") ? Convert.ToInt64(parts[2].Substring(2), 16) : long.Parse(parts[2]);
            FieldInfo field = typeof(Native).GetField(parts[1]);
            if (field == null || !field.IsLiteral || Convert.ToInt64(field.GetValue(null)) != value)
                problems.Add("Native." + parts[1] + " should be " + parts[2]);
        }
        if (Marshal.SizeOf(typeof(ReaderStatusRecord)) != 10)
            problems.Add("ReaderStatusRecord is not 10 bytes");
        if (problems.Count > 0)
            throw new Exception("the C# declarations differ from the header:\n  " + string.Join("\n  ", problems));
    }

    // declaration: "int16_t Name(type name, type name)", as the header has it.
    private static void CompareFunction(string declaration, string owner, string library,
                                        Dictionary<string, MethodInfo> externs, List<string> problems)
    {
        int open = declaration.IndexOf('(');
        string head = declaration.Substring(0, open);
        string name = head.Substring(head.LastIndexOfAny(new[] { ' ', '*' }) + 1);
        string where = owner + "." + name;
        MethodInfo method;
        if (!externs.TryGetValue(name, out method))
        {
            problems.Add(where + " is missing");
            return;
        }
        externs.Remove(name);
        var import = (DllImportAttribute)Attribute.GetCustomAttribute(method, typeof(DllImportAttribute));
        if (import.Value != library || import.CallingConvention != CallingConvention.Cdecl || !import.ExactSpelling ||
            import.EntryPoint != name)
            problems.Add(where + ": DllImport must be (\"" + library + "\", Cdecl, ExactSpelling)");
        if (head.Substring(0, head.Length - name.Length).Trim() != "int16_t" || method.ReturnType != typeof(short))
            problems.Add(where + ": the result must be int16_t, short");

        string[] cParameters = declaration.Substring(open + 1, declaration.Length - open - 2).Split(',');
        ParameterInfo[] parameters = method.GetParameters();
        if (cParameters.Length != parameters.Length)
        {
            problems.Add(string.Format("{0}: {1} parameters in the header, {2} here", where, cParameters.Length,
                                       parameters.Length));
            return;
        }
        for (int i = 0; i < parameters.Length; i++)
        {
            string c = cParameters[i].Trim();
            string cName = c.Substring(c.LastIndexOfAny(new[] { ' ', '*' }) + 1);
            string cType = c.Substring(0, c.Length - cName.Length).Replace(" ", "");
            string expected = Expected(name, cName, cType);
            string actual = Describe(parameters[i]);
            if (cName != parameters[i].Name || expected != actual)
                problems.Add(where + ": parameter " + i + " is \"" + c + "\": expected " + expected + " " + cName +
                             ", found " + actual + " " + parameters[i].Name);
        }
    }

    // The C# form of one C parameter type: a scalar of the same width; a
    // pointer to bytes the binding sizes (an Extent, or any const input) as
    // byte[]; any other pointer as out or ref.
    private static string Expected(string function, string parameter, string cType)
    {
        bool buffer = Extents.Any(e => e.Function == function && e.Parameter == parameter);
        if (cType == "constuint8_t*")
            return "[In] System.Byte[]";
        if ((cType == "uint8_t*" || cType == "char*") && buffer)
            return "[In, Out] System.Byte[]";
        Type scalar;
        if (cType.EndsWith("*") && Scalars.TryGetValue(cType.TrimEnd('*'), out scalar))
            return "by-ref " + scalar;
        if (Scalars.TryGetValue(cType, out scalar))
            return scalar.ToString();
        return "(no C# form for " + cType + ")";
    }

    private static string Describe(ParameterInfo parameter)
    {
        Type type = parameter.ParameterType;
        if (type.IsByRef)
            return "by-ref " + type.GetElementType();
        if (type.IsArray)
            return (parameter.IsOut ? "[In, Out] " : "[In] ") + type;
        return type.ToString();
    }

    // ---- Outputs, through Native -----------------------------------------------

    private static void OutputExtents()
    {
        Equal((short)0, Native.Zelvorn_Open(0), "Zelvorn_Open");
        try
        {
            foreach (Extent extent in Extents)
            {
                string what = extent.Function + " " + extent.Parameter;
                byte[] buffer = Enumerable.Repeat(Sentinel, extent.Size + 16).ToArray();
                Equal((short)0, extent.Call(buffer), what + " result");
                Same(extent.Expected, buffer.Take(extent.Expected.Length).ToArray(), what);
                if (buffer.Skip(extent.Size).Any(b => b != Sentinel))
                    throw new Exception(what + " wrote past its " + extent.Size + " bytes");
            }
        }
        finally
        {
            Native.Zelvorn_Close(0);
        }
    }

    // ---- The friendly layer --------------------------------------------------

    private static void MifareFlow()
    {
        using (Reader reader = Reader.Open(0, ZelvornLibrary.Virtual))
        {
            Card card = reader.Select();
            Equal((byte)0x08, card.Type, "card type");
            Same(MifareSerial, card.Serial, "serial");
            reader.Login(0, KeyType.A, TransportKey);
            Same(Block1, reader.Read(1), "block 1");
            byte[] data = Hex("0102030405060708090A0B0C0D0E0F10");
            reader.Write(2, data);
            Same(data, reader.Read(2), "block 2 after the write");
            // Data that looks like an output never written is read once more, not refused.
            byte[] pattern = Enumerable.Repeat((byte)0xA5, 16).ToArray();
            reader.Write(2, pattern);
            Same(pattern, reader.Read(2), "block 2 holding 0xA5 throughout");

            reader.Login(1, KeyType.A, TransportKey);
            Equal(1234, reader.ReadValue(5), "value of block 5");
            Equal(1244, reader.Increment(5, 10), "after +10");
            Equal(1200, reader.Decrement(5, 44), "after -44");
            reader.WriteValue(6, -20);
            Equal(-20, reader.ReadValue(6), "value of block 6");
            Equal(1200, reader.CopyValue(5, 6), "copied value");
            Equal(1200, reader.ReadValue(6), "value of block 6 after the copy");
            // A value the reader hands back equal to the first pattern comes from reading the block.
            reader.WriteValue(6, unchecked((int)0xA5A5A5A4));
            Equal(unchecked((int)0xA5A5A5A5), reader.Increment(6, 1), "incremented to 0xA5A5A5A5");
            Equal(unchecked((int)0xA5A5A5A5), reader.ReadValue(6), "value 0xA5A5A5A5");

            var refused = Throws<AuthenticationFailedException>(() => reader.Login(2, KeyType.A, TransportKey));
            Equal((ushort)0xFFFC, refused.StatusWord, "status word of the refused login");
            if (!refused.Message.Contains("reader status 0xFFFC (-4); authentication failed: the card refused the key"))
                throw new Exception("message of the refused login: " + refused.Message);
            reader.Select();
            reader.Login(2, KeyType.StoredA, 3);
            reader.StoreKey(9, SectorTwoKey);
            reader.Login(2, KeyType.StoredA, 9);
            Same(new byte[16], reader.Read(8), "block 8");
        }
    }

    private static void IsoSession()
    {
        using (Reader reader = Reader.Open(0, ZelvornLibrary.Virtual))
        {
            Equal((byte)0x20, reader.Select(ProcessorSerial).Type, "card type");
            IsoSession session;
            using (session = reader.StartIsoSession())
            {
                Same(Ats, session.Ats, "ATS");
                Equal(32, session.FrameSize, "frame size");
                Equal((ushort)0x9000, session.Transmit(SelectApplication).StatusWord, "select application");
                Equal((ushort)0x9000, session.Transmit(Hex("00A4000C 02 5001")).StatusWord, "select EF 5001");
                // 205 bytes go out in blocks of the card's 32; 258 come back chained too.
                byte[] written = Enumerable.Range(0, 200).Select(i => (byte)(i * 7)).ToArray();
                ApduResponse update = session.Transmit(Hex("00D60000 C8").Concat(written).ToArray());
                Equal((ushort)0x9000, update.StatusWord, "update binary");
                Equal(0, update.Data.Length, "update binary data");
                ApduResponse read = session.Transmit(Hex("00B00000 00"));
                Equal((ushort)0x9000, read.StatusWord, "read binary");
                Same(written.Concat(Enumerable.Range(200, 56).Select(i => (byte)(i % 251))).ToArray(), read.Data,
                     "read binary data");
            }
            Equal("PICC_Xch_APDU", Throws<InvalidHandleException>(() => session.Transmit(SelectApplication)).Function,
                  "a session that has ended");
        }
    }

    private static void Type2Pages()
    {
        using (Reader reader = Reader.Open(0, ZelvornLibrary.Virtual))
        {
            Ultralight tag = reader.Ultralight();
            Same(Hex("045A4C564F524E"), tag.Serial, "the first Type 2 tag");
            Same(Hex("0004040201001103"), tag.Version, "GET_VERSION of an NTAG215");
            // Page 0: three serial bytes and the check byte 88 ^ 04 ^ 5A ^ 4C.
            Same(Hex("045A4C9A"), tag.Read(0), "page 0");
            Equal(135 * 4, tag.Read(0, 135).Length, "every page in FAST_READs of 29");
            tag.Write(4, Hex("01020304"));
            Same(Hex("01020304"), tag.Read(4), "page 4 after WRITE");
            Throws<TagRefusedException>(() => tag.Read(135), "a page beyond the tag");
            Throws<TagRefusedException>(() => tag.Authenticate(Hex("01020304")), "a wrong password");
            Same(Hex("01020304"), tag.Read(4), "page 4 after the refusals: the tag selected again");
        }
    }

    private static readonly byte[] Ntag215 = Hex("045A4C564F524E");

    // A record without type: a 6-byte header (4-byte payload length) and the payload.
    private static NdefRecord[] MessageOf(int size)
    {
        var records = new NdefRecord[] { new UnknownRecord(new byte[size - 6]) };
        Equal(size, NdefMessage.Encode(records).Length, "the message's size");
        return records;
    }

    // Writes records (with page 3's bits first, if given) and reads back the
    // message: the one written, or, when the write is to be refused with
    // error, the one there before, with no page changed.
    private static void Type2Ndef(NdefRecord[] records, string page3, string error)
    {
        using (Reader reader = Reader.Open(0, ZelvornLibrary.Virtual))
        {
            if (records == null)
            {
                Same(NdefMessage.Encode(new NdefRecord[] { new TextRecord("Zelvorn tag") }),
                     NdefMessage.Encode(reader.ReadNdef(Ntag215)), "the demo's text");
                return;
            }
            if (page3 != null)
                reader.Ultralight(Ntag215).Write(3, Hex(page3));
            byte[] pages = reader.Ultralight(Ntag215).Read(0, 135);
            byte[] expected = NdefMessage.Encode(records);
            if (error != null)
            {
                expected = NdefMessage.Encode(reader.ReadNdef(Ntag215));
                var refused = Throws<NdefException>(() => reader.WriteNdef(records, Ntag215));
                Equal(true, refused.Message.Contains(error), refused.Message);
                Same(pages, reader.Ultralight(Ntag215).Read(0, 135), "the tag's pages after the refusal");
            }
            else
            {
                reader.WriteNdef(records, Ntag215);
            }
            Same(expected, NdefMessage.Encode(reader.ReadNdef(Ntag215)), "the message read back");
        }
    }

    private static string RunTool(string tool, string state, params string[] args)
    {
        var start = new ProcessStartInfo(tool, "--virtual --state \"" + state + "\" " + string.Join(" ", args))
        {
            UseShellExecute = false,
            RedirectStandardOutput = true,
            RedirectStandardError = true,
        };
        using (Process process = Process.Start(start))
        {
            string output = process.StandardOutput.ReadToEnd();
            string errors = process.StandardError.ReadToEnd();
            process.WaitForExit();
            Equal(0, process.ExitCode, "zelvorn " + string.Join(" ", args) + ": " + errors);
            return output;
        }
    }

    // The tool writes a URI, the binding reads it; the binding writes a URI
    // and a text, the tool reads them: the same message bytes each time. The
    // virtual library carries the tag between the processes in a state file.
    private static void Type2AgainstTool(string tool)
    {
        string state = Path.Combine(Path.GetTempPath(), "zelvorn-type2-" + Guid.NewGuid().ToString("N") + ".json");
        string serial = ToHex(Ntag215);
        RunTool(tool, state, "ndef", "-c", serial, "write", "--uri", "https://example.org");
        Environment.SetEnvironmentVariable("ZELVORN_VIRTUAL_STATE", state);
        try
        {
            var writes = new[] { null, new NdefRecord[] { new UriRecord("https://example.org"), new TextRecord("Zelvorn") } };
            foreach (NdefRecord[] written in writes)
            {
                byte[] message;
                using (Reader reader = Reader.Open(0, ZelvornLibrary.Virtual))
                {
                    if (written != null)
                        reader.WriteNdef(written, Ntag215);
                    message = NdefMessage.Encode(reader.ReadNdef(Ntag215));
                }
                Same(NdefMessage.Encode(written ?? new NdefRecord[] { new UriRecord("https://example.org") }), message,
                     "the message the binding reads");
                string printed = RunTool(tool, state, "--json", "ndef", "-c", serial, "read");
                Equal(ToHex(message), Regex.Match(printed, "\"message\": \"([0-9A-F]*)\"").Groups[1].Value,
                      "the message the tool reads");
                Equal("https://example.org", Regex.Match(printed, "\"uri\": \"([^\"]*)\"").Groups[1].Value,
                      "the URI the tool reads");
            }
        }
        finally
        {
            Environment.SetEnvironmentVariable("ZELVORN_VIRTUAL_STATE", null);
            File.Delete(state);
        }
    }

    private static void NdefFlow()
    {
        var records = new NdefRecord[] { new UriRecord("https://example.org/zelvorn"),
                                         new TextRecord(string.Concat(Enumerable.Repeat("Zelvorn ", 25)), "de") };
        byte[] message = NdefMessage.Encode(records);
        using (Reader reader = Reader.Open(0, ZelvornLibrary.Virtual))
        {
            // The tag takes 12 bytes a command and gives 16 an answer: the
            // message goes in pieces both ways.
            Equal(0, reader.ReadNdef(ProcessorSerial).Count, "an empty NDEF file");
            reader.WriteNdef(records, ProcessorSerial);
            Same(message, NdefMessage.Encode(reader.ReadNdef(ProcessorSerial)), "Type 4 message read back");
            var tooLarge = Throws<NdefException>(() => reader.WriteNdef(new[] { new UnknownRecord(new byte[520]) }, ProcessorSerial));
            Equal(true, tooLarge.Message.Contains("holds at most 510; nothing was written"), tooLarge.Message);
            Same(message, NdefMessage.Encode(reader.ReadNdef(ProcessorSerial)), "Type 4 message kept");

            // Sectors 3..8 as NDEF in a MAD (CRC 7C), laid out as NXP's and
            // libfreefare's formatting lays out the sectors it names.
            Throws<NdefException>(() => reader.ReadNdef(MifareSerial), "a card without a MAD");
            var blocks = new Dictionary<int, string>
            {
                { 1, "7C01 0000 0000 03E1 03E1 03E1 03E1 03E1" }, { 2, "03E1 0000 0000 0000 0000 0000 0000 0000" },
                { 3, "A0A1A2A3A4A5 787788 C1 FFFFFFFFFFFF" }, { 12, "0300FE 00000000000000000000000000" },
            };
            foreach (int sector in new[] { 3, 4, 5, 6, 7, 8 })
                blocks[sector * 4 + 3] = "D3F7D3F7D3F7 7F0788 40 FFFFFFFFFFFF";
            foreach (var block in blocks)
            {
                reader.Select(MifareSerial);
                reader.Login(block.Key / 4, KeyType.A, TransportKey);
                reader.Write(block.Key, Hex(block.Value));
            }
            Equal(0, reader.ReadNdef(MifareSerial).Count, "an empty message");
            reader.WriteNdef(records, MifareSerial);
            Same(message, NdefMessage.Encode(reader.ReadNdef(MifareSerial)), "MIFARE Classic message read back");
            Throws<NdefException>(() => reader.WriteNdef(new[] { new UnknownRecord(new byte[285]) }, MifareSerial),
                                  "a message larger than six sectors");
            Same(message, NdefMessage.Encode(reader.ReadNdef()), "the first NDEF card, message kept");
        }
    }

    private static void ReaderFunctions()
    {
        // The real library by default, which the test setup maps to the virtual one.
        using (Reader reader = Reader.Open(0))
        {
            Equal(ZelvornLibrary.Real, reader.Library, "library");
            Func<ReaderStatusRecord> record = () => reader.Status().Record;
            // Each step in turn: what it shows, what it gives, the calls.
            var steps = new[]
            {
                Step("version", true, () => Reader.LibraryVersion(ZelvornLibrary.Virtual).StartsWith("Zelvorn DLL 1.")),
                Step("cards", "type 08, serial 11223344 | type 20, serial 045A454C564F01 | type 00, serial 045A4C564F524E",
                     () => string.Join(" | ", reader.Cards())),
                Step("status block", "Zelvorn virtual 1.0\0", () => Encoding.ASCII.GetString(reader.Status().Block)),
                Step("field, reader serial, cards", "1 5A4C0042 5",
                     () => string.Format("{0} {1:X8} {2}", record().StatusA, record().StatusB, record().StatusC)),
                Step("selected card type", (byte)0x08, () => { reader.Select(); return record().StatusD; }),
                Step("user port, commands since reset", "45 1", () =>
                {
                    reader.Reset();
                    reader.WriteUserPort(0xFF);
                    ReaderStatusRecord after = record();
                    return string.Format("{0:X2} {1}", after.StatusE, after.StatusF);
                }),
                Step("user port read", (byte)0x45, () => reader.ReadUserPort()),
                Step("RC500 register 0x11", (byte)0x5B, () => reader.ReadRegister(0x11)),
                Step("RC500 register 0x20 written", (byte)0x42,
                     () => { reader.WriteRegister(0x20, 0x42); return reader.ReadRegister(0x20); }),
                Step("EEPROM byte 16", (byte)0x48, () => reader.ReadEeprom(16)),
                Step("EEPROM byte 40 written", (byte)0x99,
                     () => { reader.WriteEeprom(40, 0x99); return reader.ReadEeprom(40); }),
                Step("field off", "FFFD field off", () =>
                {
                    reader.SetField(false);
                    var off = Throws<NoCardException>(() => reader.Select());
                    return string.Format("{0:X4} {1}", off.StatusWord, off.Status.Name);
                }),
                Step("field on", (byte)0x08, () => { reader.SetField(true); return reader.Select().Type; }),
                Step("ATQB", "12345678008171", () => ToHex(reader.ReadAtqb())),
                Step("ASK sectors 4..7", "1234ABCD00000000", () => ToHex(reader.AskReadMulti(4))),
                Step("ASK sector 5", "ABCD", () => ToHex(reader.AskRead(5))),
                Step("ASK erase and write", "1230",
                     () => ToHex(reader.AskWrite(6, Hex("1230"), AskWriteMode.EraseAndWrite))),
                Step("ASK write without erasing", "1235",
                     () => ToHex(reader.AskWrite(6, Hex("0005"), AskWriteMode.WriteWithoutErase))),
                Step("telegram (RATS)", ToHex(Ats),
                     () => { reader.Select(ProcessorSerial); return ToHex(reader.Telegram(Hex("E040"), 0x0C)); }),
                Step("direct receive", ToHex(Ats), () => ToHex(reader.DirectReceive(0))),
                Step("direct send (read user port)", "45", () => ToHex(reader.DirectSend(0x14, new byte[0]))),
            };
            foreach (var step in steps)
                Equal(step.Item2, step.Item3(), step.Item1);
            reader.WriteUserPort(0);
        }
    }

    private static void Exceptions()
    {
        var codes = new Dictionary<short, string>
        {
            { Native.ERR_FAILURE, "ERR_FAILURE FailureException" },
            { Native.ERR_OPEN_FAILED, "ERR_OPEN_FAILED OpenFailedException" },
            { Native.ERR_DEVICE_BUSY, "ERR_DEVICE_BUSY DeviceBusyException" },
            { Native.ERR_INVALID_HANDLE, "ERR_INVALID_HANDLE InvalidHandleException" },
            { Native.ERR_INVALID_PARAMETER, "ERR_INVALID_PARAMETER InvalidParameterException" },
            { -4, "reader status 0xFFFC AuthenticationFailedException" },
            { -6, "reader status 0xFFFA AccessDeniedException" },
            { -1, "reader status 0xFFFF NoCardException" },
            { -3, "reader status 0xFFFD NoCardException" },
            { -11, "reader status 0xFFF5 NoCardException" },
            { -8, "reader status 0xFFF8 ReaderStatusException" },
            { 0x6F00, "reader status 0x6F00 ReaderStatusException" },
            { 0x6A80, "reader status 0x6A80 ReaderStatusException" },
        };
        foreach (var code in codes)
        {
            var e = Throws<ZelvornException>(() => ZelvornException.Check(code.Key, "Zelvorn_Test"));
            Equal(code.Value, e.CodeName + " " + e.GetType().Name, "code " + code.Key);
            Equal(code.Key + " Zelvorn_Test", e.Code + " " + e.Function, "code " + code.Key);
            if (!e.Message.StartsWith("Zelvorn_Test failed: " + e.CodeName))
                throw new Exception("message of " + e.CodeName + ": " + e.Message);
            // A status word by its name and meaning, from the library's table.
            var status = e as ReaderStatusException;
            if (status == null)
                continue;
            StatusWordInfo known = StatusWords.Find(code.Key);
            Equal(known, status.Status, "row of " + e.CodeName);
            Equal(known != null && known.CardGone, status is NoCardException, "card gone, " + e.CodeName);
            string said = known == null ? "a status word the library does not know" : known.Name + ": " + known.Meaning;
            if (!e.Message.Contains("; " + said))
                throw new Exception("message of " + e.CodeName + " without \"" + said + "\": " + e.Message);
        }
        Equal("busy", StatusWords.Find(0x6F00).Name, "transport status 0x6F00");
        Equal("access denied", StatusWords.Reader.Single(r => r.Word == StatusWords.AccessDenied).Name,
              "reader status 0xFFFA");
        ZelvornException.Check(Native.RESULT_OK, "Zelvorn_Test");

        Equal("Zelvorn_Open", Throws<OpenFailedException>(() => Reader.Open(1, ZelvornLibrary.Virtual)).Function,
              "open port 1");
        Reader.DefaultLibrary = ZelvornLibrary.Virtual;
        using (Reader reader = Reader.Open(0))
        {
            Reader.DefaultLibrary = ZelvornLibrary.Real;
            Equal(ZelvornLibrary.Virtual, reader.Library, "library");
            reader.Select();
            // Opening an open port hands out the same handle: closing either closes both.
            Reader.Open(0, ZelvornLibrary.Virtual).Dispose();
            Throws<InvalidHandleException>(() => reader.Select());
            reader.Dispose();
            // After Dispose as after any close: a ZelvornException naming the call.
            Equal("Zelvorn_Select", Throws<InvalidHandleException>(() => reader.Select()).Function, "after Dispose");
            Equal("Zelvorn_Read", Throws<InvalidHandleException>(() => reader.Read(1)).Function, "after Dispose");
            reader.Dispose();
        }
    }

    private static void Arguments()
    {
        using (Reader reader = Reader.Open(0, ZelvornLibrary.Virtual))
        {
            reader.Select();
            var calls = new Dictionary<string, Action>
            {
                { "5-byte key", () => reader.Login(0, KeyType.A, new byte[5]) },
                { "15-byte block", () => reader.Write(1, new byte[15]) },
                { "block 256", () => reader.Read(256) },
                { "port 20", () => Reader.Open(20, ZelvornLibrary.Virtual) },
                { "120-byte telegram", () => reader.Telegram(new byte[120], 0x0C) },
                { "65-byte direct packet", () => reader.DirectSend(0x14, new byte[65]) },
                { "3-byte ASK sector", () => reader.AskWrite(4, new byte[3], AskWriteMode.EraseAndWrite) },
                { "11-byte serial", () => reader.Select(new byte[11]) },
                { "null data", () => reader.Write(1, null) },
            };
            foreach (var call in calls)
                Throws<ArgumentException>(call.Value, call.Key);

            // Every Login pairing the overloads do not take. Sent, a refused
            // login would halt the card; the one logged in to before stays.
            reader.Select();
            reader.Login(0, KeyType.A, TransportKey);
            var pairings = new Dictionary<string, Action>
            {
                { "reader's key F with key bytes", () => reader.Login(0, KeyType.ReaderF, TransportKey) },
                { "reader's key A with key bytes", () => reader.Login(0, KeyType.ReaderA, TransportKey) },
                { "stored key A with key bytes", () => reader.Login(0, KeyType.StoredA, TransportKey) },
                { "stored key B without a number", () => reader.Login(0, KeyType.StoredB) },
                { "key A without a key", () => reader.Login(0, KeyType.A) },
                { "key B with a number", () => reader.Login(0, KeyType.B, 3) },
                { "reader's key B with a number", () => reader.Login(0, KeyType.ReaderB, 0) },
                { "a key type that does not exist", () => reader.Login(0, (KeyType)0x42, TransportKey) },
            };
            foreach (var call in pairings)
                Equal("keyType", Throws<ArgumentException>(call.Value, call.Key).ParamName, call.Key);
            Same(Block1, reader.Read(1), "block 1 read in the session logged in to before");
            reader.Select(ProcessorSerial);
            using (IsoSession session = reader.StartIsoSession())
                Throws<ArgumentException>(() => session.Transmit(new byte[0]), "empty APDU");
            Same(Block1, ReadBlockOne(reader), "block 1 untouched");
        }
    }

    // ---- Replies of the wrong length ------------------------------------------

    // Each reader command the scenario answers one data byte short, and a call
    // that sends it: the library reports success with its outputs untouched,
    // which the binding must not hand out as data. codes: what the scenario
    // shortens, to be exactly the table's commands.
    private static void ShortReplies(string codes)
    {
        using (Reader reader = Reader.Open(0, ZelvornLibrary.Virtual))
        {
            // The reader carries a shortened command out: a select that failed
            // here still selected the card, and a login still opens the sector.
            Action loggedIn = () => reader.Login(1, KeyType.A, TransportKey);
            const string incomplete = "the reader reported success, but its reply was not as long as the command's";
            var rows = new[]
            {
                // A list one byte short claims more cards than it carries: the library's own failure.
                Tuple.Create(0x03, "Cards", (Action)(() => reader.Cards()), "Zelvorn_ListTags failed: ERR_FAILURE"),
                Tuple.Create(0x03, "Select(serial)", (Action)(() => reader.Select(MifareSerial)), incomplete),
                Tuple.Create(0x00, "Select", (Action)(() => reader.Select()), incomplete),
                Tuple.Create(0x06, "Read", (Action)(() => { loggedIn(); reader.Read(4); }), incomplete),
                Tuple.Create(0x07, "ReadValue", (Action)(() => { loggedIn(); reader.ReadValue(5); }), incomplete),
                // A value command cannot be repeated: its value is read from the block, short too.
                Tuple.Create(0x0F, "Increment", (Action)(() => { loggedIn(); reader.Increment(5, 1); }), incomplete),
                Tuple.Create(0x10, "Decrement", (Action)(() => { loggedIn(); reader.Decrement(5, 1); }), incomplete),
                Tuple.Create(0x11, "CopyValue", (Action)(() => { loggedIn(); reader.CopyValue(5, 6); }), incomplete),
                Tuple.Create(0x18, "Status", (Action)(() => reader.Status()), incomplete),
                Tuple.Create(0x21, "ReadAtqb", (Action)(() => reader.ReadAtqb()), incomplete),
                Tuple.Create(0x34, "AskRead", (Action)(() => reader.AskRead(4)), incomplete),
                Tuple.Create(0x35, "AskReadMulti", (Action)(() => reader.AskReadMulti(4)), incomplete),
                Tuple.Create(0x19, "ReadRegister", (Action)(() => reader.ReadRegister(0x11)), incomplete),
                Tuple.Create(0x08, "ReadEeprom", (Action)(() => reader.ReadEeprom(16)), incomplete),
                Tuple.Create(0x14, "ReadUserPort", (Action)(() => reader.ReadUserPort()), incomplete),
            };
            Equal(codes, string.Join(",", rows.Select(r => r.Item1).Distinct().OrderBy(c => c)),
                  "the commands the scenario shortens");
            var wrong = new List<string>();
            foreach (var row in rows)
            {
                try
                {
                    row.Item3();
                    wrong.Add(row.Item2 + " succeeded");
                }
                catch (FailureException e)
                {
                    if (!e.Message.Contains(row.Item4))
                        wrong.Add(row.Item2 + ": " + e.Message);
                }
            }
            if (wrong.Count > 0)
                throw new Exception("replies one byte short:\n  " + string.Join("\n  ", wrong));
        }
    }

    // ---- Helpers ---------------------------------------------------------------

    private static byte[] ReadBlockOne(Reader reader)
    {
        reader.Select();
        reader.Login(0, KeyType.A, TransportKey);
        return reader.Read(1);
    }

    private static KeyValuePair<string, Action> Test(string name, Action test)
    {
        return new KeyValuePair<string, Action>(name, test);
    }

    private static Tuple<string, object, Func<object>> Step(string name, object expected, Func<object> actual)
    {
        return Tuple.Create(name, expected, actual);
    }

    // Null when the step succeeded, else its result, so that steps chain with ??.
    private static short? Ok(short result)
    {
        return result == 0 ? (short?)null : result;
    }

    private static short? LoggedIn(byte sector)
    {
        byte t, l;
        return Ok(Native.Zelvorn_Select(0, out t, out l, new byte[10])) ??
               Ok(Native.Zelvorn_Login(0, sector, Native.KEYTYPE_A, 0, TransportKey));
    }

    private static short? ProcessorSelected()
    {
        byte t, l;
        return Ok(Native.Zelvorn_MultiTagSelect(0, 7, ProcessorSerial, out t, out l, new byte[10]));
    }

    private static byte[] Field(byte[] serial)
    {
        byte[] field = new byte[Native.ZELVORN_SERIAL_FIELD];
        serial.CopyTo(field, 0);
        return field;
    }

    private static byte[] Text(string text)
    {
        return Encoding.ASCII.GetBytes(text);
    }

    private static byte[] Hex(string text)
    {
        text = text.Replace(" ", "");
        return Enumerable.Range(0, text.Length / 2).Select(i => Convert.ToByte(text.Substring(2 * i, 2), 16)).ToArray();
    }

    private static string ToHex(byte[] bytes)
    {
        return BitConverter.ToString(bytes).Replace("-", "");
    }

    private static void Equal(object expected, object actual, string what)
    {
        if (!Equals(expected, actual))
            throw new Exception(string.Format("{0}: expected {1} ({2}), got {3} ({4})", what, expected,
                                              expected == null ? "null" : expected.GetType().Name, actual,
                                              actual == null ? "null" : actual.GetType().Name));
    }

    private static void Same(byte[] expected, byte[] actual, string what)
    {
        Equal(ToHex(expected), ToHex(actual), what);
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
}
