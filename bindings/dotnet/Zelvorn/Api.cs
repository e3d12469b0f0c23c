// One table of the 35 functions, bound either to Native or to VirtualNative,
// so that Reader runs unchanged on the real or the virtual library. The
// fields carry the exported names and are bound by name when the table is
// built: a field without its function fails at once, not at the first call.
using System;
using System.Reflection;

namespace Zelvorn
{
    /// <summary>Which build of the library a Reader drives.</summary>
    public enum ZelvornLibrary
    {
        /// <summary>zelvorn.dll (libzelvorn.so): readers on USB.</summary>
        Real,

        /// <summary>zelvorn-virtual.dll (libzelvorn-virtual.so): the emulated reader and cards.</summary>
        Virtual,
    }

#pragma warning disable 0649 // the fields are set by reflection
    internal sealed class Api
    {
        internal delegate short Fetch<T>(short handle, out T value);
        internal delegate short FetchAt<T>(short handle, byte at, out T value);
        internal delegate short ChangeValue(short handle, byte block, int amount, out int value);
        internal delegate short CopyValue(short handle, byte sourceBlock, byte targetBlock, out int value);
        internal delegate short SelectCard(short handle, out byte cardType, out byte serialLength, byte[] serialNumber);
        internal delegate short SelectBySerial(short handle, byte targetSerialLength, byte[] targetSerialNumber,
                                               out byte cardType, out byte serialLength, byte[] serialNumber);
        internal delegate short ListCards(short handle, out byte tagCount, byte[] cardTypes, byte[] serialLengths,
                                          byte[] serialNumbers);
        internal delegate short SendBytes(short handle, byte length, byte[] data, out byte responseLength,
                                          byte[] response);
        internal delegate short ReceiveBytes(short handle, byte length, out byte responseLength, byte[] response);
        internal delegate short ReadStatus(short handle, byte[] statusBlock, out ReaderStatusRecord statusRecord);
        internal delegate short ReadVersion(out byte versionLength, byte[] versionText);
        internal delegate short ExchangeApdu(short handle, int optionFlag, ref short apduLength, byte[] apdu,
                                             out short responseLength, byte[] response);

        internal Func<short, short> Zelvorn_Open;
        internal Func<short, short> Zelvorn_Close;
        internal SelectCard Zelvorn_Select;
        internal Func<short, byte, byte, byte, byte[], short> Zelvorn_Login;
        internal Func<short, byte, byte[], short> Zelvorn_Read;
        internal Func<short, byte, byte[], short> Zelvorn_Write;
        internal FetchAt<int> Zelvorn_ReadValue;
        internal Func<short, byte, int, short> Zelvorn_WriteValue;
        internal ChangeValue Zelvorn_Inc;
        internal ChangeValue Zelvorn_Dec;
        internal CopyValue Zelvorn_Copy;
        internal Func<short, byte, byte[], short> Zelvorn_WriteMasterKey;
        internal ListCards Zelvorn_ListTags;
        internal SelectBySerial Zelvorn_MultiTagSelect;
        internal SendBytes Zelvorn_TxDataTelegram;
        internal SendBytes Zelvorn_DirectSend;
        internal ReceiveBytes Zelvorn_DirectReceive;
        internal Func<short, byte[], short> Zelvorn_ReadATQB;
        internal Func<short, short> Zelvorn_Reset;
        internal ReadStatus Zelvorn_Status;
        internal Func<short, sbyte, short> Zelvorn_Power;
        internal FetchAt<byte> Zelvorn_ReadRC500Reg;
        internal Func<short, byte, byte, short> Zelvorn_WriteRC500Reg;
        internal FetchAt<byte> Zelvorn_ReadEEPROM;
        internal Func<short, byte, byte, short> Zelvorn_WriteEEPROM;
        internal Fetch<byte> Zelvorn_ReadUserPort;
        internal Func<short, byte, short> Zelvorn_WriteUserPort;
        internal ReadVersion Zelvorn_RequestDLLVersion;
        internal Func<short, byte, byte[], short> Zelvorn_ASKSectorRead;
        internal Func<short, byte, byte[], short> Zelvorn_ASKSectorMultiRead;
        internal Func<short, byte, byte[], byte, short> Zelvorn_ASKSectorWrite;
        internal Func<short, short> PICC_InitBlockNumber;
        internal ReceiveBytes PICC_RATS;
        internal ExchangeApdu PICC_Xch_APDU;
        internal Func<short, int, short> PICC_Deselect;

        private static readonly Api real = new Api(typeof(Native));
        private static readonly Api emulated = new Api(typeof(VirtualNative));

        private Api(Type declarations)
        {
            foreach (FieldInfo field in typeof(Api).GetFields(BindingFlags.Instance | BindingFlags.NonPublic))
            {
                MethodInfo function = declarations.GetMethod(field.Name, BindingFlags.Static | BindingFlags.Public);
                if (function == null)
                    throw new MissingMethodException(declarations.FullName, field.Name);
                field.SetValue(this, Delegate.CreateDelegate(field.FieldType, function));
            }
        }

        internal static Api For(ZelvornLibrary library)
        {
            switch (library)
            {
                case ZelvornLibrary.Real:
                    return real;
                case ZelvornLibrary.Virtual:
                    return emulated;
                default:
                    throw new ArgumentOutOfRangeException("library", library, "not a ZelvornLibrary value");
            }
        }
    }
#pragma warning restore 0649
}
