// A session with an ISO/IEC 14443-4 processor card: RATS, block numbering
// from the card's frame size, APDUs, S(DESELECT) at the end.
using System;

namespace Zelvorn
{
    /// <summary>A response APDU: the data and the card's status word.</summary>
    public sealed class ApduResponse
    {
        /// <summary>The response without its status word.</summary>
        public byte[] Data { get; }

        /// <summary>SW1 SW2, e.g. 0x9000; 0 when the card sent fewer than two bytes (Data then holds them).</summary>
        public ushort StatusWord { get; }

        internal ApduResponse(byte[] response)
        {
            if (response.Length < 2)
            {
                Data = response;
                return;
            }
            Data = Buffers.Slice(response, 0, response.Length - 2);
            StatusWord = (ushort)(response[response.Length - 2] << 8 | response[response.Length - 1]);
        }
    }

    /// <summary>Started by Reader.StartIsoSession; Dispose deselects the card.</summary>
    public sealed class IsoSession : IDisposable
    {
        private readonly Reader reader;
        // PICC_Xch_APDU is not told the response buffer's size: it may fill as
        // much as it bounds a response at. One buffer serves the whole session.
        private readonly byte[] response = new byte[Native.MaxApduLength];
        private bool ended;

        /// <summary>The card's answer to RATS, as the reader delivers it (TL first).</summary>
        public byte[] Ats { get; }

        /// <summary>The card's frame size (FSC) taken from the ATS.</summary>
        public int FrameSize { get; }

        internal IsoSession(Reader owner, byte fsdi)
        {
            reader = owner;
            byte length;
            byte[] ats = new byte[Native.MaxAtsLength];
            ZelvornException.Check(reader.Functions.PICC_RATS(reader.HandleFor("PICC_RATS"), fsdi, out length, ats), "PICC_RATS");
            Ats = Buffers.Slice(ats, 0, length);
            // T0, the second ATS byte, carries the card's FSCI; without it the
            // card takes the default of FSCI 2.
            int fsci = Ats.Length >= 2 && Ats[0] >= 2 ? Ats[1] & 0x0F : 2;
            FrameSize = reader.Functions.PICC_InitBlockNumber((short)fsci);
        }

        /// <summary>Sends a command APDU (1..32767 bytes), chained as the frame size needs.</summary>
        public ApduResponse Transmit(byte[] apdu)
        {
            Buffers.RequireLength(apdu, 1, Native.MaxApduLength, "apdu");
            if (ended)
                throw new InvalidHandleException(Native.ERR_INVALID_HANDLE, "PICC_Xch_APDU");
            short apduLength = (short)apdu.Length;
            short responseLength;
            ZelvornException.Check(reader.Functions.PICC_Xch_APDU(reader.HandleFor("PICC_Xch_APDU"), 0, ref apduLength, apdu,
                                                                  out responseLength, response),
                                   "PICC_Xch_APDU");
            return new ApduResponse(Buffers.Slice(response, 0, responseLength));
        }

        /// <summary>Sends S(DESELECT); throws when the reader could not carry it out.</summary>
        public void Deselect()
        {
            if (ended)
                return;
            ended = true;
            ZelvornException.Check(reader.Functions.PICC_Deselect(reader.HandleFor("PICC_Deselect"), 0), "PICC_Deselect");
        }

        /// <summary>Deselects the card unless Deselect did; never throws.</summary>
        public void Dispose()
        {
            if (ended)
                return;
            ended = true;
            // The card's answer is not examined anyway; a failure here leaves
            // the card to time out, which is all a caller could do about it.
            if (reader.IsOpen)
                reader.Functions.PICC_Deselect(reader.Handle, 0);
        }
    }
}
