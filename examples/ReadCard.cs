// The typical card read from C#: open the first reader, select the card,
// log in to sector 0 with key A and read block 1.
//
//   ReadCard.exe             zelvorn.dll, a real reader
//   ReadCard.exe --virtual   zelvorn-virtual.dll, the emulated reader and cards
//
// Build: reference Zelvorn (bindings/dotnet) and put zelvorn.dll beside the
// program; see bindings/dotnet/README.md.
using System;
using System.Linq;
using Zelvorn;

internal static class ReadCard
{
    private static readonly byte[] TransportKey = { 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF };

    private static int Main(string[] args)
    {
        ZelvornLibrary library = args.Contains("--virtual") ? ZelvornLibrary.Virtual : ZelvornLibrary.Real;
        try
        {
            using (Reader reader = Reader.Open(0, library))
            {
                Card card = reader.Select();
                reader.Login(0, KeyType.A, TransportKey);
                byte[] block = reader.Read(1);

                string serial = BitConverter.ToString(card.Serial).Replace("-", "");
                Console.WriteLine("card type {0:X2}, serial {1}", card.Type, serial);
                string text = new string(block.Select(b => b >= 0x20 && b < 0x7F ? (char)b : '.').ToArray());
                Console.WriteLine("block 1: {0}  |{1}|", BitConverter.ToString(block).Replace("-", " "), text);
            }
            return 0;
        }
        catch (OpenFailedException e)
        {
            Console.Error.WriteLine("ReadCard: no reader: " + e.Message);
            return 1;
        }
        catch (ZelvornException e)
        {
            // e.Function and e.CodeName say which call failed and how.
            Console.Error.WriteLine("ReadCard: " + e.Message);
            return 1;
        }
    }
}
