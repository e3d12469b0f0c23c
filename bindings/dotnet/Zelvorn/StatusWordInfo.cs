// What the status words the library passes through mean. The table itself is
// StatusWords.cs, generated from the library's own table of status words.
using System.Collections.Generic;
using System.Collections.ObjectModel;

namespace Zelvorn
{
    /// <summary>A status word of the reader or of its USB transport, with its name and meaning.</summary>
    public sealed class StatusWordInfo
    {
        /// <summary>The status word as the reader sends it.</summary>
        public ushort Word { get; }

        /// <summary>Its short name, e.g. "authentication failed".</summary>
        public string Name { get; }

        /// <summary>What happened, in words, e.g. "the card refused the key".</summary>
        public string Meaning { get; }

        /// <summary>Whether it says the card is not (or no longer) there to talk to.</summary>
        public bool CardGone { get; }

        internal StatusWordInfo(ushort word, string name, string meaning, bool cardGone)
        {
            Word = word;
            Name = name;
            Meaning = meaning;
            CardGone = cardGone;
        }

        public override string ToString()
        {
            return string.Format("0x{0:X4} {1}: {2}", Word, Name, Meaning);
        }
    }

    /// <summary>The status words the library passes through, by name.</summary>
    public static partial class StatusWords
    {
        // The rows are in the generated part, whose initializers may run after
        // this part's: a static constructor runs after all of them.
        static StatusWords()
        {
            Reader = new ReadOnlyCollection<StatusWordInfo>(readerRows);
            Transport = new ReadOnlyCollection<StatusWordInfo>(transportRows);
        }

        /// <summary>The reader's status words.</summary>
        public static ReadOnlyCollection<StatusWordInfo> Reader { get; }

        /// <summary>The USB transport's status words (whether the reader took a command at all).</summary>
        public static ReadOnlyCollection<StatusWordInfo> Transport { get; }

        /// <summary>The status word a result code carries (the same 16 bits), or null for one the library does not know.</summary>
        public static StatusWordInfo Find(short code)
        {
            ushort word = (ushort)code;
            foreach (IList<StatusWordInfo> rows in new[] { readerRows, transportRows })
                foreach (StatusWordInfo row in rows)
                    if (row.Word == word)
                        return row;
            return null;
        }
    }
}
