// A failed call: the result code, its name and the function that returned it.
// Each library code has its own subclass, so that a program catches the one
// it can do something about; any other nonzero result is a status word the
// reader (or its USB transport) reported, ReaderStatusException, or for the
// common ones a subclass named after it.
using System;

namespace Zelvorn
{
    /// <summary>A library function returned something other than success.</summary>
    public class ZelvornException : Exception
    {
        /// <summary>The result code as the function returned it (signed 16-bit).</summary>
        public short Code { get; private set; }

        /// <summary>ERR_FAILURE, ERR_OPEN_FAILED, ..., or "reader status 0xXXXX".</summary>
        public string CodeName { get; private set; }

        /// <summary>The C function that returned the code, e.g. Zelvorn_Login.</summary>
        public string Function { get; private set; }

        public ZelvornException(short code, string function, string advice)
            : base(Describe(code, function, advice))
        {
            Code = code;
            CodeName = NameOf(code);
            Function = function;
        }

        /// <summary>The name of a result code, as the header spells it.</summary>
        public static string NameOf(short code)
        {
            switch (code)
            {
                case Native.RESULT_OK:
                    return "RESULT_OK";
                case Native.ERR_FAILURE:
                    return "ERR_FAILURE";
                case Native.ERR_OPEN_FAILED:
                    return "ERR_OPEN_FAILED";
                case Native.ERR_DEVICE_BUSY:
                    return "ERR_DEVICE_BUSY";
                case Native.ERR_INVALID_HANDLE:
                    return "ERR_INVALID_HANDLE";
                case Native.ERR_INVALID_PARAMETER:
                    return "ERR_INVALID_PARAMETER";
                default:
                    return string.Format("reader status 0x{0:X4}", (ushort)code);
            }
        }

        /// <summary>Throws the exception that fits code, unless it is RESULT_OK.</summary>
        public static void Check(short code, string function)
        {
            switch (code)
            {
                case Native.RESULT_OK:
                    return;
                case Native.ERR_FAILURE:
                    throw new FailureException(code, function);
                case Native.ERR_OPEN_FAILED:
                    throw new OpenFailedException(code, function);
                case Native.ERR_DEVICE_BUSY:
                    throw new DeviceBusyException(code, function);
                case Native.ERR_INVALID_HANDLE:
                    throw new InvalidHandleException(code, function);
                case Native.ERR_INVALID_PARAMETER:
                    throw new InvalidParameterException(code, function);
                default:
                    throw ReaderStatusException.For(code, function);
            }
        }

        private static string Describe(short code, string function, string advice)
        {
            return string.Format("{0} failed: {1} ({2}); {3}", function, NameOf(code), code, advice);
        }
    }

    /// <summary>
    /// ERR_FAILURE: a transfer failed, a reply was corrupt, a written value did not read back. Also
    /// thrown when the library reported success for a read whose reply was not as long as the
    /// command's: it leaves its outputs unwritten then, and the binding hands out nothing it did not
    /// get from the reader.
    /// </summary>
    public class FailureException : ZelvornException
    {
        public FailureException(short code, string function)
            : base(code, function, "check the reader's connection and that the card stays in the field, then retry")
        {
        }

        /// <summary>A failure the binding found itself, told in its own words.</summary>
        public FailureException(short code, string function, string advice)
            : base(code, function, advice)
        {
        }
    }

    /// <summary>ERR_OPEN_FAILED: no reader at that port, or it could not be set up.</summary>
    public class OpenFailedException : ZelvornException
    {
        public OpenFailedException(short code, string function)
            : base(code, function, "check that a reader is plugged in at that port (0 is the first)")
        {
        }
    }

    /// <summary>ERR_DEVICE_BUSY: the system refused access to the reader.</summary>
    public class DeviceBusyException : ZelvornException
    {
        public DeviceBusyException(short code, string function)
            : base(code, function, "close the other program using the reader, or grant this user access to it")
        {
        }
    }

    /// <summary>ERR_INVALID_HANDLE: the reader is not open (closed, or never opened).</summary>
    public class InvalidHandleException : ZelvornException
    {
        public InvalidHandleException(short code, string function)
            : base(code, function, "open the reader first, and do not use it after closing it")
        {
        }
    }

    /// <summary>ERR_INVALID_PARAMETER: an argument outside the function's allowed set.</summary>
    public class InvalidParameterException : ZelvornException
    {
        public InvalidParameterException(short code, string function)
            : base(code, function, "check the arguments against the function's description in docs/api.md")
        {
        }
    }

    /// <summary>
    /// A status word the reader (or its USB transport) returned instead of success; the message
    /// gives its name and meaning. The common ones throw the subclasses AuthenticationFailedException,
    /// NoCardException and AccessDeniedException.
    /// </summary>
    public class ReaderStatusException : ZelvornException
    {
        /// <summary>The status word, unsigned (the code is the same 16 bits read as signed).</summary>
        public ushort StatusWord { get; private set; }

        /// <summary>The word's name, meaning and whether the card is gone; null for a word the library does not know.</summary>
        public StatusWordInfo Status { get; private set; }

        public ReaderStatusException(short code, string function)
            : this(code, function, null)
        {
        }

        /// <param name="code">the result, a status word read as signed</param>
        /// <param name="function">the C function that returned it</param>
        /// <param name="advice">what to do about it, or null</param>
        protected ReaderStatusException(short code, string function, string advice)
            : base(code, function, Explain(code, advice))
        {
            StatusWord = (ushort)code;
            Status = StatusWords.Find(code);
        }

        /// <summary>The exception for a status word: the subclass named after it, or this class.</summary>
        public static ReaderStatusException For(short code, string function)
        {
            StatusWordInfo status = StatusWords.Find(code);
            switch ((ushort)code)
            {
                case StatusWords.AuthFailed:
                    return new AuthenticationFailedException(code, function);
                case StatusWords.AccessDenied:
                    return new AccessDeniedException(code, function);
                default:
                    if (status != null && status.CardGone)
                        return new NoCardException(code, function);
                    return new ReaderStatusException(code, function);
            }
        }

        private static string Explain(short code, string advice)
        {
            StatusWordInfo status = StatusWords.Find(code);
            if (status == null)
                return "a status word the library does not know (see the reader's documentation)";
            return status.Name + ": " + status.Meaning + (advice == null ? "" : "; " + advice);
        }
    }

    /// <summary>Reader status 0xFFFC, authentication failed: the card refused the key (and is halted).</summary>
    public class AuthenticationFailedException : ReaderStatusException
    {
        public AuthenticationFailedException(short code, string function)
            : base(code, function, "check the key and its type (A or B), and select the card again before the next login")
        {
        }
    }

    /// <summary>
    /// A reader status saying that the card is not (or no longer) there to talk to: no card, not
    /// selected, field off, no answer (each status the library's table marks as the card gone).
    /// </summary>
    public class NoCardException : ReaderStatusException
    {
        public NoCardException(short code, string function)
            : base(code, function, "put the card on the reader (the field must be on) and select it again")
        {
        }
    }

    /// <summary>Reader status 0xFFFA, access denied: the sector's access bits forbid this with the key used.</summary>
    public class AccessDeniedException : ReaderStatusException
    {
        public AccessDeniedException(short code, string function)
            : base(code, function, "log in with the key the sector's access bits give this operation to")
        {
        }
    }
}
