// One open reader. Every method is one library call: it checks its arguments,
// allocates the buffers at the sizes the C function writes, and throws a
// ZelvornException for any result other than success. Calls on one reader
// must come from one thread at a time, as for the C functions.
//
// The library's functions succeed without writing their outputs when the
// reader's reply is not as long as the command's (their documented contract).
// So the reads start with their outputs filled with one pattern; where they
// still hold it after a success the read is made once more over another (a
// card's data may equal the first, never both), and outputs holding their
// pattern both times were never written: a FailureException, never data.
using System;
using System.Collections.Generic;
using System.Text;

namespace Zelvorn
{
    /// <summary>How Zelvorn_Login finds its key.</summary>
    public enum KeyType : byte
    {
        /// <summary>Key A, given in the call.</summary>
        A = Native.KEYTYPE_A,
        /// <summary>Key B, given in the call.</summary>
        B = Native.KEYTYPE_B,
        /// <summary>The reader's own key A.</summary>
        ReaderA = Native.KEYTYPE_READER_A,
        /// <summary>The reader's own key B.</summary>
        ReaderB = Native.KEYTYPE_READER_B,
        /// <summary>The reader's own key F.</summary>
        ReaderF = Native.KEYTYPE_READER_F,
        /// <summary>A key the reader stores under a number (Reader.StoreKey), used as key A.</summary>
        StoredA = Native.KEYTYPE_STORED_A,
        /// <summary>A key the reader stores under a number, used as key B.</summary>
        StoredB = Native.KEYTYPE_STORED_B,
    }

    /// <summary>The reader's two ASK sector-write commands.</summary>
    public enum AskWriteMode : byte
    {
        /// <summary>The sector takes the two bytes (command 0x32).</summary>
        EraseAndWrite = 0,
        /// <summary>The bytes are OR-ed into the sector (command 0x33), for one-time-programmable sectors.</summary>
        WriteWithoutErase = 1,
    }

    /// <summary>A card the reader found: its type byte and serial number.</summary>
    public sealed class Card
    {
        /// <summary>The card type the reader reports: 0x08 MIFARE Classic 1K, 0x20 processor card, ...</summary>
        public byte Type { get; }

        /// <summary>The serial number, 4, 7 or 10 bytes.</summary>
        public byte[] Serial { get; }

        internal Card(byte type, byte serialLength, byte[] fields, int offset)
        {
            Type = type;
            Serial = Buffers.Slice(fields, offset, Math.Min((int)serialLength, Native.ZELVORN_SERIAL_FIELD));
        }

        public override string ToString()
        {
            return string.Format("type {0:X2}, serial {1}", Type, BitConverter.ToString(Serial).Replace("-", ""));
        }
    }

    /// <summary>The reader's status report.</summary>
    public sealed class ReaderStatus
    {
        /// <summary>The 20 bytes of the status block as the reader sends them.</summary>
        public byte[] Block { get; }

        /// <summary>The status record, its wide fields in host byte order.</summary>
        public ReaderStatusRecord Record { get; }

        internal ReaderStatus(byte[] block, ReaderStatusRecord record)
        {
            Block = block;
            Record = record;
        }
    }

    /// <summary>A reader opened by Zelvorn_Open; Dispose closes it.</summary>
    public sealed partial class Reader : IDisposable
    {
        private readonly Api api;
        private bool closed;

        /// <summary>The library Open(port) uses: Real unless a program's tests set Virtual.</summary>
        public static ZelvornLibrary DefaultLibrary { get; set; }

        /// <summary>The handle the C functions take, equal to the port.</summary>
        public short Handle { get; }

        /// <summary>The library this reader runs on.</summary>
        public ZelvornLibrary Library { get; }

        private Reader(Api functions, short handle, ZelvornLibrary library)
        {
            api = functions;
            Handle = handle;
            Library = library;
        }

        /// <summary>Opens the port-th reader (0 is the first) of DefaultLibrary.</summary>
        public static Reader Open(int port)
        {
            return Open(port, DefaultLibrary);
        }

        /// <summary>Opens the port-th reader (0 is the first) of the library given.</summary>
        public static Reader Open(int port, ZelvornLibrary library)
        {
            if (port < 0 || port >= Native.ZELVORN_MAX_READERS)
                throw new ArgumentOutOfRangeException("port", port, "ports are 0..19");
            Api functions = Api.For(library);
            short result = functions.Zelvorn_Open((short)port);
            if (result < 0)
                ZelvornException.Check(result, "Zelvorn_Open");
            return new Reader(functions, result, library);
        }

        /// <summary>The version text of DefaultLibrary, e.g. "Zelvorn DLL 1.5.2.0".</summary>
        public static string LibraryVersion()
        {
            return LibraryVersion(DefaultLibrary);
        }

        /// <summary>The library's version text, e.g. "Zelvorn DLL 1.5.2.0".</summary>
        public static string LibraryVersion(ZelvornLibrary library)
        {
            byte length;
            byte[] text = new byte[Native.VersionTextSize];
            ZelvornException.Check(Api.For(library).Zelvorn_RequestDLLVersion(out length, text),
                                   "Zelvorn_RequestDLLVersion");
            int end = Array.IndexOf(text, (byte)0);
            return Encoding.ASCII.GetString(text, 0, end < 0 ? text.Length : end);
        }

        /// <summary>Closes the reader; the RF field stays as it is. Calling it again does nothing.</summary>
        public void Dispose()
        {
            if (closed)
                return;
            closed = true;
            // Closing fails only for a handle that is not open, which leaves nothing to undo.
            api.Zelvorn_Close(Handle);
        }

        // ---- Cards -------------------------------------------------------------

        /// <summary>Selects the first card in the field.</summary>
        public Card Select()
        {
            short handle = HandleFor("Zelvorn_Select");
            byte type = 0, length = 0;
            byte[] serial = new byte[Native.ZELVORN_SERIAL_FIELD];
            ReadWritten("Zelvorn_Select", pattern =>
            {
                type = length = pattern;
                Buffers.Fill(serial, pattern);
                return api.Zelvorn_Select(handle, out type, out length, serial);
            }, pattern => type == pattern && length == pattern && Buffers.Holds(serial, pattern));
            return new Card(type, length, serial, 0);
        }

        /// <summary>Selects the card with this serial number (4, 7 or 10 bytes).</summary>
        public Card Select(byte[] serial)
        {
            Buffers.RequireLength(serial, 0, Native.ZELVORN_SERIAL_FIELD, "serial");
            short handle = HandleFor("Zelvorn_MultiTagSelect");
            byte type = 0, length = 0;
            byte[] field = new byte[Native.ZELVORN_SERIAL_FIELD];
            ReadWritten("Zelvorn_MultiTagSelect", pattern =>
            {
                type = length = pattern;
                Buffers.Fill(field, pattern);
                return api.Zelvorn_MultiTagSelect(handle, (byte)serial.Length, serial, out type, out length, field);
            }, pattern => type == pattern && length == pattern && Buffers.Holds(field, pattern));
            return new Card(type, length, field, 0);
        }

        /// <summary>Lists the cards in the field (at most 9); leaves none selected.</summary>
        public IList<Card> Cards()
        {
            short handle = HandleFor("Zelvorn_ListTags");
            byte count = 0;
            byte[] types = new byte[Native.ZELVORN_MAX_LISTED_TAGS];
            byte[] lengths = new byte[Native.ZELVORN_MAX_LISTED_TAGS];
            byte[] serials = new byte[Native.ZELVORN_MAX_LISTED_TAGS * Native.ZELVORN_SERIAL_FIELD];
            // The arrays are written for the cards counted only: the count tells.
            ReadWritten("Zelvorn_ListTags", pattern =>
            {
                count = pattern;
                return api.Zelvorn_ListTags(handle, out count, types, lengths, serials);
            }, pattern => count == pattern);
            List<Card> cards = new List<Card>();
            for (int i = 0; i < Math.Min((int)count, Native.ZELVORN_MAX_LISTED_TAGS); i++)
                cards.Add(new Card(types[i], lengths[i], serials, i * Native.ZELVORN_SERIAL_FIELD));
            return cards;
        }

        // ---- MIFARE Classic ----------------------------------------------------

        /// <summary>Authenticates to a sector with a 6-byte key A or B (KeyType.A, KeyType.B).</summary>
        /// <exception cref="ArgumentException">Another key type: those take no key bytes.</exception>
        public void Login(int sector, KeyType keyType, byte[] key)
        {
            RequireKeyType(keyType, "a 6-byte key", KeyType.A, KeyType.B);
            Buffers.RequireLength(key, Native.KeySize, Native.KeySize, "key");
            Check(api.Zelvorn_Login(HandleFor("Zelvorn_Login"), Buffers.ToByte(sector, "sector"), (byte)keyType, 0, key),
                  "Zelvorn_Login");
        }

        /// <summary>Authenticates with a key the reader holds: KeyType.ReaderA, ReaderB or ReaderF.</summary>
        /// <exception cref="ArgumentException">Another key type: A and B need the key, StoredA and StoredB its number.</exception>
        public void Login(int sector, KeyType keyType)
        {
            RequireKeyType(keyType, "no key", KeyType.ReaderA, KeyType.ReaderB, KeyType.ReaderF);
            Check(api.Zelvorn_Login(HandleFor("Zelvorn_Login"), Buffers.ToByte(sector, "sector"), (byte)keyType, 0, null),
                  "Zelvorn_Login");
        }

        /// <summary>Authenticates with the key stored under a number: KeyType.StoredA or StoredB.</summary>
        /// <exception cref="ArgumentException">Another key type: those take no key number.</exception>
        public void Login(int sector, KeyType keyType, int storedKeyNumber)
        {
            RequireKeyType(keyType, "a stored key's number", KeyType.StoredA, KeyType.StoredB);
            Check(api.Zelvorn_Login(HandleFor("Zelvorn_Login"), Buffers.ToByte(sector, "sector"), (byte)keyType,
                                    Buffers.ToByte(storedKeyNumber, "storedKeyNumber"), null),
                  "Zelvorn_Login");
        }

        // Each Login overload takes the key types that use what it is given, and
        // refuses the others before anything is sent: the library would
        // otherwise ignore a key given with a reader's or a stored key's type,
        // and use stored key 0 for a stored type without a number.
        private static void RequireKeyType(KeyType keyType, string given, params KeyType[] allowed)
        {
            if (Array.IndexOf(allowed, keyType) >= 0)
                return;
            throw new ArgumentException(string.Format(
                "KeyType.{0} does not go with {1}: use Login(sector, KeyType.A or B, key), " +
                "Login(sector, KeyType.ReaderA, ReaderB or ReaderF) or " +
                "Login(sector, KeyType.StoredA or StoredB, number)",
                Enum.IsDefined(typeof(KeyType), keyType) ? keyType.ToString() : ((byte)keyType).ToString("X2"), given),
                "keyType");
        }

        /// <summary>Reads a 16-byte block.</summary>
        public byte[] Read(int block)
        {
            short handle = HandleFor("Zelvorn_Read");
            byte number = Buffers.ToByte(block, "block");
            byte[] data = new byte[Native.BlockSize];
            ReadWritten("Zelvorn_Read", pattern =>
            {
                Buffers.Fill(data, pattern);
                return api.Zelvorn_Read(handle, number, data);
            }, pattern => Buffers.Holds(data, pattern));
            return data;
        }

        /// <summary>Writes a 16-byte block; the reader's echo is compared (but for a sector trailer).</summary>
        public void Write(int block, byte[] data)
        {
            Buffers.RequireLength(data, Native.BlockSize, Native.BlockSize, "data");
            Check(api.Zelvorn_Write(HandleFor("Zelvorn_Write"), Buffers.ToByte(block, "block"), data), "Zelvorn_Write");
        }

        /// <summary>Reads a value block.</summary>
        public int ReadValue(int block)
        {
            short handle = HandleFor("Zelvorn_ReadValue");
            byte number = Buffers.ToByte(block, "block");
            int value = 0;
            ReadWritten("Zelvorn_ReadValue", pattern =>
            {
                value = Buffers.Repeated(pattern);
                return api.Zelvorn_ReadValue(handle, number, out value);
            }, pattern => value == Buffers.Repeated(pattern));
            return value;
        }

        /// <summary>Writes a value block.</summary>
        public void WriteValue(int block, int value)
        {
            Check(api.Zelvorn_WriteValue(HandleFor("Zelvorn_WriteValue"), Buffers.ToByte(block, "block"), value), "Zelvorn_WriteValue");
        }

        /// <summary>Adds amount to a value block; returns the new value.</summary>
        public int Increment(int block, int amount)
        {
            int value = Buffers.Repeated(Patterns[0]);
            Check(api.Zelvorn_Inc(HandleFor("Zelvorn_Inc"), Buffers.ToByte(block, "block"), amount, out value), "Zelvorn_Inc");
            return ValueAfter(value, block);
        }

        /// <summary>Subtracts amount from a value block; returns the new value.</summary>
        public int Decrement(int block, int amount)
        {
            int value = Buffers.Repeated(Patterns[0]);
            Check(api.Zelvorn_Dec(HandleFor("Zelvorn_Dec"), Buffers.ToByte(block, "block"), amount, out value), "Zelvorn_Dec");
            return ValueAfter(value, block);
        }

        /// <summary>Copies a value block to another block of the sector; returns the value.</summary>
        public int CopyValue(int sourceBlock, int targetBlock)
        {
            int value = Buffers.Repeated(Patterns[0]);
            Check(api.Zelvorn_Copy(HandleFor("Zelvorn_Copy"), Buffers.ToByte(sourceBlock, "sourceBlock"),
                                   Buffers.ToByte(targetBlock, "targetBlock"), out value),
                  "Zelvorn_Copy");
            return ValueAfter(value, targetBlock);
        }

        // The value a value command handed back over the first pattern. Where it
        // still holds the pattern it may never have been written, and the
        // command cannot be repeated: the block is read instead, checked.
        private int ValueAfter(int value, int block)
        {
            return value == Buffers.Repeated(Patterns[0]) ? ReadValue(block) : value;
        }

        /// <summary>Stores a 6-byte key in the reader under a number, for KeyType.StoredA and StoredB.</summary>
        public void StoreKey(int keyNumber, byte[] key)
        {
            Buffers.RequireLength(key, Native.KeySize, Native.KeySize, "key");
            Check(api.Zelvorn_WriteMasterKey(HandleFor("Zelvorn_WriteMasterKey"), Buffers.ToByte(keyNumber, "keyNumber"), key),
                  "Zelvorn_WriteMasterKey");
        }

        // ---- Raw telegrams and commands ----------------------------------------

        /// <summary>Sends up to 119 bytes to the card through the reader and returns its answer.</summary>
        /// <param name="frame">the bytes for the card</param>
        /// <param name="option">the reader's option byte: 0x08 appends the CRC, 0x04 checks and strips it</param>
        public byte[] Telegram(byte[] frame, byte option)
        {
            Buffers.RequireLength(frame, 0, Native.ZELVORN_MAX_TELEGRAM - 2, "frame");
            byte[] telegram = Buffers.Framed((byte)frame.Length, option, frame);
            byte length;
            byte[] response = new byte[Native.ZELVORN_MAX_TELEGRAM_RESPONSE];
            Check(api.Zelvorn_TxDataTelegram(HandleFor("Zelvorn_TxDataTelegram"), (byte)telegram.Length, telegram, out length, response),
                  "Zelvorn_TxDataTelegram");
            return Buffers.Slice(response, 0, length);
        }

        /// <summary>Sends one reader command with up to 64 data bytes and returns the reply's data.</summary>
        public byte[] DirectSend(byte command, byte[] data)
        {
            Buffers.RequireLength(data, 0, Native.ZELVORN_MAX_DIRECT_PACKET - 2, "data");
            byte[] packet = Buffers.Framed(command, (byte)data.Length, data);
            byte length;
            byte[] response = new byte[Native.ZELVORN_MAX_DIRECT_RESPONSE];
            Check(api.Zelvorn_DirectSend(HandleFor("Zelvorn_DirectSend"), (byte)packet.Length, packet, out length, response),
                  "Zelvorn_DirectSend");
            return Buffers.Slice(response, 0, length);
        }

        /// <summary>Fetches up to length (0..64; 0 for all) bytes of the card's last answer.</summary>
        public byte[] DirectReceive(int length)
        {
            if (length < 0 || length > Native.ZELVORN_MAX_DIRECT_RECEIVE)
                throw new ArgumentOutOfRangeException("length", length, "0..64");
            byte received;
            byte[] response = new byte[Native.ZELVORN_MAX_DIRECT_RESPONSE];
            Check(api.Zelvorn_DirectReceive(HandleFor("Zelvorn_DirectReceive"), (byte)length, out received, response), "Zelvorn_DirectReceive");
            return Buffers.Slice(response, 0, received);
        }

        /// <summary>The type B card's application data and protocol info (7 bytes of its ATQB).</summary>
        public byte[] ReadAtqb()
        {
            short handle = HandleFor("Zelvorn_ReadATQB");
            byte[] atqb = new byte[Native.AtqbSize];
            ReadWritten("Zelvorn_ReadATQB", pattern =>
            {
                Buffers.Fill(atqb, pattern);
                return api.Zelvorn_ReadATQB(handle, atqb);
            }, pattern => Buffers.Holds(atqb, pattern));
            return atqb;
        }

        // ---- Reader control ----------------------------------------------------

        /// <summary>Resets the reader.</summary>
        public void Reset()
        {
            Check(api.Zelvorn_Reset(HandleFor("Zelvorn_Reset")), "Zelvorn_Reset");
        }

        /// <summary>Fetches the reader's status report.</summary>
        public ReaderStatus Status()
        {
            short handle = HandleFor("Zelvorn_Status");
            byte[] block = new byte[Native.StatusBlockSize];
            ReaderStatusRecord record = new ReaderStatusRecord();
            ReadWritten("Zelvorn_Status", pattern =>
            {
                Buffers.Fill(block, pattern);
                record = Buffers.RecordOf(pattern);
                return api.Zelvorn_Status(handle, block, out record);
            }, pattern => Buffers.Holds(block, pattern) && record.Equals(Buffers.RecordOf(pattern)));
            return new ReaderStatus(block, record);
        }

        /// <summary>Switches the RF field on or off.</summary>
        public void SetField(bool on)
        {
            Check(api.Zelvorn_Power(HandleFor("Zelvorn_Power"), (sbyte)(on ? 1 : 0)), "Zelvorn_Power");
        }

        /// <summary>Reads a register of the RC500 front end.</summary>
        public byte ReadRegister(int register)
        {
            short handle = HandleFor("Zelvorn_ReadRC500Reg");
            byte number = Buffers.ToByte(register, "register");
            return ReadByte("Zelvorn_ReadRC500Reg", (out byte value) => api.Zelvorn_ReadRC500Reg(handle, number, out value));
        }

        /// <summary>Writes a register of the RC500 front end; the echo is compared.</summary>
        public void WriteRegister(int register, byte value)
        {
            Check(api.Zelvorn_WriteRC500Reg(HandleFor("Zelvorn_WriteRC500Reg"), Buffers.ToByte(register, "register"), value),
                  "Zelvorn_WriteRC500Reg");
        }

        /// <summary>Reads a byte of the reader's EEPROM.</summary>
        public byte ReadEeprom(int address)
        {
            short handle = HandleFor("Zelvorn_ReadEEPROM");
            byte number = Buffers.ToByte(address, "address");
            return ReadByte("Zelvorn_ReadEEPROM", (out byte value) => api.Zelvorn_ReadEEPROM(handle, number, out value));
        }

        /// <summary>Writes a byte of the reader's EEPROM; the echo is compared.</summary>
        public void WriteEeprom(int address, byte value)
        {
            Check(api.Zelvorn_WriteEEPROM(HandleFor("Zelvorn_WriteEEPROM"), Buffers.ToByte(address, "address"), value), "Zelvorn_WriteEEPROM");
        }

        /// <summary>Reads the user port, inputs and outputs.</summary>
        public byte ReadUserPort()
        {
            short handle = HandleFor("Zelvorn_ReadUserPort");
            return ReadByte("Zelvorn_ReadUserPort", (out byte state) => api.Zelvorn_ReadUserPort(handle, out state));
        }

        /// <summary>Sets the user port's outputs (bits 6 and 2; the others are sent as 0).</summary>
        public void WriteUserPort(byte state)
        {
            Check(api.Zelvorn_WriteUserPort(HandleFor("Zelvorn_WriteUserPort"), state), "Zelvorn_WriteUserPort");
        }

        // ---- ASK tickets -------------------------------------------------------

        /// <summary>Reads the two bytes of a ticket sector.</summary>
        public byte[] AskRead(int sector)
        {
            short handle = HandleFor("Zelvorn_ASKSectorRead");
            byte number = Buffers.ToByte(sector, "sector");
            byte[] data = new byte[Native.AskSectorSize];
            ReadWritten("Zelvorn_ASKSectorRead", pattern =>
            {
                Buffers.Fill(data, pattern);
                return api.Zelvorn_ASKSectorRead(handle, number, data);
            }, pattern => Buffers.Holds(data, pattern));
            return data;
        }

        /// <summary>Reads eight bytes: the sector and the three after it.</summary>
        public byte[] AskReadMulti(int sector)
        {
            short handle = HandleFor("Zelvorn_ASKSectorMultiRead");
            byte number = Buffers.ToByte(sector, "sector");
            byte[] data = new byte[Native.AskMultiReadSize];
            ReadWritten("Zelvorn_ASKSectorMultiRead", pattern =>
            {
                Buffers.Fill(data, pattern);
                return api.Zelvorn_ASKSectorMultiRead(handle, number, data);
            }, pattern => Buffers.Holds(data, pattern));
            return data;
        }

        /// <summary>Writes two bytes to a ticket sector; returns the sector as it reads back.</summary>
        public byte[] AskWrite(int sector, byte[] data, AskWriteMode mode)
        {
            Buffers.RequireLength(data, Native.AskSectorSize, Native.AskSectorSize, "data");
            byte[] sectorData = (byte[])data.Clone();
            Check(api.Zelvorn_ASKSectorWrite(HandleFor("Zelvorn_ASKSectorWrite"), Buffers.ToByte(sector, "sector"), sectorData, (byte)mode),
                  "Zelvorn_ASKSectorWrite");
            return sectorData;
        }

        // ---- ISO/IEC 14443-4 ---------------------------------------------------

        /// <summary>
        /// Starts a session with the selected processor card: RATS, then block numbering afresh
        /// with the card's frame size. The protocol state is one for the whole process: run one
        /// session at a time.
        /// </summary>
        /// <param name="fsdi">the frame size this side announces (0..4)</param>
        public IsoSession StartIsoSession(int fsdi = 4)
        {
            return new IsoSession(this, Buffers.ToByte(fsdi, "fsdi"));
        }

        internal Api Functions
        {
            get { return api; }
        }

        internal bool IsOpen
        {
            get { return !closed; }
        }

        // The handle, for a call on a reader still open. After Dispose a call
        // fails as the library fails a call on a closed handle, so that every
        // failed call is a ZelvornException.
        internal short HandleFor(string function)
        {
            if (closed)
                throw new InvalidHandleException(Native.ERR_INVALID_HANDLE, function);
            return Handle;
        }

        private static void Check(short result, string function)
        {
            ZelvornException.Check(result, function);
        }

        // The two patterns the outputs of a read start filled with, in turn.
        private static readonly byte[] Patterns = { 0xA5, 0x5A };

        // A read that changes nothing, so that it may be made twice: call(pattern)
        // fills the outputs with the pattern and calls the library;
        // untouched(pattern) tells whether the outputs all still hold it.
        private static void ReadWritten(string function, Func<byte, short> call, Func<byte, bool> untouched)
        {
            foreach (byte pattern in Patterns)
            {
                Check(call(pattern), function);
                if (!untouched(pattern))
                    return;
            }
            throw new FailureException(Native.ERR_FAILURE, function,
                                       "the reader reported success, but its reply was not as long as the command's, " +
                                       "so nothing of it is used (check the reader's firmware and cable)");
        }

        private delegate short ByteRead(out byte value);

        private static byte ReadByte(string function, ByteRead read)
        {
            byte value = 0;
            ReadWritten(function, pattern =>
            {
                value = pattern;
                return read(out value);
            }, pattern => value == pattern);
            return value;
        }
    }
}
