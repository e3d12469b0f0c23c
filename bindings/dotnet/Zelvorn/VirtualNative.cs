// The same functions as Native, from the virtual library: zelvorn-virtual.dll
// (libzelvorn-virtual.so) runs them on an emulated reader and cards, for a
// program's own tests. DllImport takes only a constant library name, and
// netstandard2.0 has no way to redirect one at run time that works on .NET
// Framework, Mono and .NET alike, so the declarations stand here a second
// time under the other name; the declaration test holds both classes to the
// header, so they cannot differ.
using System.Runtime.InteropServices;

namespace Zelvorn
{
    /// <summary>The 35 functions of zelvorn-virtual.dll (libzelvorn-virtual.so).</summary>
    public static class VirtualNative
    {
        /// <summary>The name DllImport resolves: zelvorn-virtual.dll on Windows.</summary>
        public const string LibraryName = "zelvorn-virtual";

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
