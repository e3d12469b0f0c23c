// The library's functions and constants exactly as include/zelvorn.h declares
// them, for programs that want the C interface itself. Reader is the easier
// way in: it sizes the buffers and turns result codes into exceptions.
//
// The widths follow the header to the bit: int16_t is short, uint8_t byte,
// int8_t sbyte, int32_t int. A pointer to one value is out (or ref where the
// function also reads it); a pointer to bytes is a byte[] that must hold at
// least the size the header gives, because the library writes that many
// bytes whatever the array's length. VirtualNative declares the same
// functions on the virtual library.
using System.Runtime.InteropServices;

namespace Zelvorn
{
    /// <summary>The reader's status record, 10 bytes without gaps, wide fields in host order.</summary>
    [StructLayout(LayoutKind.Sequential, Pack = 1)]
    public struct ReaderStatusRecord
    {
        public byte StatusA;
        public uint StatusB;
        public byte StatusC;
        public byte StatusD;
        public byte StatusE;
        public ushort StatusF;
    }

    /// <summary>The 35 functions of zelvorn.dll (libzelvorn.so), declared as the C header has them.</summary>
    public static class Native
    {
        /// <summary>The name DllImport resolves: zelvorn.dll on Windows.</summary>
        public const string LibraryName = "zelvorn";

        public const short RESULT_OK = 0;
        public const short ERR_FAILURE = -1000;
        public const short ERR_OPEN_FAILED = -2000;
        public const short ERR_DEVICE_BUSY = -2010;
        public const short ERR_INVALID_HANDLE = -2020;
        public const short ERR_INVALID_PARAMETER = -2030;

        public const int ZELVORN_MAX_READERS = 20;

        public const byte KEYTYPE_A = 0xAA;
        public const byte KEYTYPE_B = 0xBB;
        public const byte KEYTYPE_READER_A = 0xAD;
        public const byte KEYTYPE_READER_B = 0xBD;
        public const byte KEYTYPE_READER_F = 0xFD;
        public const byte KEYTYPE_STORED_A = 0xAF;
        public const byte KEYTYPE_STORED_B = 0xBF;

        public const int ZELVORN_MAX_LISTED_TAGS = 9;
        public const int ZELVORN_SERIAL_FIELD = 10;
        public const int ZELVORN_MAX_TELEGRAM = 121;
        public const int ZELVORN_MAX_TELEGRAM_RESPONSE = 117;
        public const int ZELVORN_MAX_DIRECT_PACKET = 66;
        public const int ZELVORN_MAX_DIRECT_RECEIVE = 64;
        public const int ZELVORN_MAX_DIRECT_RESPONSE = 59;

        // Buffer sizes the header states in words rather than as constants.
        public const int BlockSize = 16;
        public const int KeySize = 6;
        public const int AtqbSize = 7;
        public const int StatusBlockSize = 20;
        public const int VersionTextSize = 20;
        public const int AskSectorSize = 2;
        public const int AskMultiReadSize = 8;
        public const int MaxAtsLength = 117;
        public const int MaxApduLength = 32767;

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_Open(short port);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_Close(short handle);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_Select(short handle, out byte cardType, out byte serialLength,
                                                  [In, Out] byte[] serialNumber);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_Login(short handle, byte sector, byte keyType, byte storedKeyNo,
                                                 [In] byte[] key);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_Read(short handle, byte block, [In, Out] byte[] data);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_Write(short handle, byte block, [In] byte[] data);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_ReadValue(short handle, byte block, out int value);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_WriteValue(short handle, byte block, int value);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_Inc(short handle, byte block, int amount, out int value);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_Dec(short handle, byte block, int amount, out int value);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_Copy(short handle, byte sourceBlock, byte targetBlock, out int value);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_WriteMasterKey(short handle, byte keyNo, [In] byte[] key);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_ListTags(short handle, out byte tagCount, [In, Out] byte[] cardTypes,
                                                    [In, Out] byte[] serialLengths, [In, Out] byte[] serialNumbers);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_MultiTagSelect(short handle, byte targetSerialLength,
                                                          [In] byte[] targetSerialNumber, out byte cardType,
                                                          out byte serialLength, [In, Out] byte[] serialNumber);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_TxDataTelegram(short handle, byte telegramLength, [In] byte[] telegram,
                                                          out byte responseLength, [In, Out] byte[] response);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_DirectSend(short handle, byte packetLength, [In] byte[] packet,
                                                      out byte responseLength, [In, Out] byte[] response);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_DirectReceive(short handle, byte receiveLength, out byte responseLength,
                                                         [In, Out] byte[] response);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_ReadATQB(short handle, [In, Out] byte[] atqb);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_Reset(short handle);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_Status(short handle, [In, Out] byte[] statusBlock,
                                                  out ReaderStatusRecord statusRecord);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_Power(short handle, sbyte state);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_ReadRC500Reg(short handle, byte regNo, out byte value);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_WriteRC500Reg(short handle, byte regNo, byte value);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_ReadEEPROM(short handle, byte address, out byte value);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_WriteEEPROM(short handle, byte address, byte value);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_ReadUserPort(short handle, out byte portState);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_WriteUserPort(short handle, byte portState);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_RequestDLLVersion(out byte versionLength, [In, Out] byte[] versionText);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_ASKSectorRead(short handle, byte sector, [In, Out] byte[] sectorData);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_ASKSectorMultiRead(short handle, byte sector, [In, Out] byte[] sectorData);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short Zelvorn_ASKSectorWrite(short handle, byte sector, [In, Out] byte[] sectorData,
                                                          byte writeMode);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short PICC_InitBlockNumber(short fsci);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short PICC_RATS(short handle, byte fsdi, out byte atsLength, [In, Out] byte[] ats);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short PICC_Xch_APDU(short handle, int optionFlag, ref short apduLength, [In] byte[] apdu,
                                                 out short responseLength, [In, Out] byte[] response);

        [DllImport(LibraryName, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern short PICC_Deselect(short handle, int optionFlag);
    }
}
