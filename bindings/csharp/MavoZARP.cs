// MavoZARP from C#: the six exports of MavoZARP.dll (Windows) and libMavoZARP.so (Linux), and
// a Supply class over them. Add this one file to a project (netstandard2.0 or later, .NET
// Framework 4.6 or later, Mono); it needs no unsafe code and no other package.
//
//     using (var supply = MavoZARP.Supply.Simulated())
//     {
//         supply.PowerCommand = 2.5;
//         Console.WriteLine($"{supply.HeadType} {supply.Power} {supply.Send("?FF")}");
//     }
//
// The library is found by its plain name "MavoZARP": MavoZARP.dll beside the program or on PATH
// (the DLL of the program's bitness: an x86 program needs the i686 DLL), libMavoZARP.so where the
// dynamic loader looks (LD_LIBRARY_PATH, the system's library folders). Licence: MIT, as the
// library's.
using System;
using System.Globalization;
using System.Runtime.InteropServices;

namespace MavoZARP
{
    /// <summary>The library's status codes. Close and GetDLLVersion may also give the adapter
    /// library's own status, a positive number that has no name here.</summary>
    public enum Status
    {
        Success = 0,
        UnknownHandle = -1,
        InvalidHead = -2,
        InvalidCommand = -3,
        InvalidData = -4,
        I2CError = -5,
        AdapterNotLoaded = -100,
        AdapterIncomplete = -101,
        AdapterException = -102,
        SerialError = -300,
        LockFailed = -400,
        OtherError = -999,
    }

    /// <summary>
    /// The six exports as the header declares them. Every text buffer is
    /// <see cref="BufferSize"/> bytes; handles are pointer-sized (<see cref="IntPtr"/>), so -1,
    /// the simulated head, stays -1 in 32-bit and 64-bit programs alike.
    /// </summary>
    public static class Native
    {
        /// <summary>Resolves to MavoZARP.dll on Windows and libMavoZARP.so on Linux.</summary>
        public const string LibraryName = "MavoZARP";

        /// <summary>Bytes of every text buffer the library reads or writes.</summary>
        public const int BufferSize = 100;

        /// <summary>Entries of each device list of <see cref="MavoZARP_CheckForDevices"/>.</summary>
        public const int MaxDevices = 20;

        /// <summary>The handle of the simulated head: no opening, no hardware.</summary>
        public static readonly IntPtr SimulatedHandle = new IntPtr(-1);

        #region Exports
        // Winapi is the platform's own convention: __stdcall for 32-bit Windows, which the DLL
        // uses; on x86_64 and on Linux there is only one convention. Texts cross as bytes:
        // commands and replies are ASCII, and a port name in the system's 8-bit encoding.
        private const CallingConvention Convention = CallingConvention.Winapi;

        [DllImport(LibraryName, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int MavoZARP_GetDLLVersion([In, Out] byte[] version);

        [DllImport(LibraryName, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int MavoZARP_CheckForDevices(
            [Out] IntPtr[] allDevices, out int allCount,
            [Out] IntPtr[] newDevices, out int newCount,
            [Out] IntPtr[] removedDevices, out int removedCount);

        [DllImport(LibraryName, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int MavoZARP_InitializeHandle(IntPtr device, [Out] byte[] headType);

        [DllImport(LibraryName, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int MavoZARP_SendCommand(IntPtr device, byte[] command,
                                                      [Out] byte[] reply);

        [DllImport(LibraryName, CallingConvention = Convention, ExactSpelling = true)]
        public static extern int MavoZARP_Close(IntPtr device);

        [DllImport(LibraryName, CallingConvention = Convention, ExactSpelling = true,
                   CharSet = CharSet.Ansi, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int MavoZARP_OpenSerialPort(string portName, out IntPtr openedDevice);
        #endregion

        /// <summary>A buffer of <see cref="BufferSize"/> bytes for a reply, head type or
        /// version.</summary>
        public static byte[] NewBuffer() => new byte[BufferSize];

        /// <summary>The text of a buffer up to its terminator (each byte one character, so a
        /// supply's own bytes above 127 survive), without the trailing line end.</summary>
        public static string Text(byte[] buffer)
        {
            int length = Array.IndexOf(buffer, (byte)0);
            if (length < 0) length = buffer.Length;
            var characters = new char[length];
            for (int i = 0; i < length; i++) characters[i] = (char)buffer[i];
            return new string(characters).TrimEnd('\r', '\n');
        }

        /// <summary>A command as the library reads it: ASCII, at most
        /// <see cref="BufferSize"/> - 1 characters, terminated.</summary>
        /// <exception cref="ArgumentException">Not ASCII, a NUL character, or too long.</exception>
        public static byte[] Command(string command)
        {
            if (command == null) throw new ArgumentNullException(nameof(command));
            if (command.Length > BufferSize - 1)
                throw new ArgumentException(
                    $"{command.Length} characters; the library takes at most {BufferSize - 1}",
                    nameof(command));
            var bytes = new byte[command.Length + 1];
            for (int i = 0; i < command.Length; i++)
            {
                char c = command[i];
                if (c == '\0' || c > 127)
                    throw new ArgumentException(
                        $"\"{command}\": only ASCII text without NUL is understood", nameof(command));
                bytes[i] = (byte)c;
            }
            return bytes;
        }
    }

    /// <summary>A status other than success: its <see cref="Code"/>, the code's
    /// <see cref="CodeName"/>, the command or call that failed and what the supply answered.</summary>
    public class MavoZARPException : Exception
    {
        public int Code { get; }
        public string CodeName { get; }
        public string Command { get; }
        /// <summary>The supply's answer without its line end (a text supply's "ERR"), or "".</summary>
        public string Reply { get; }

        public MavoZARPException(int code, string command, string reply = "")
            : base($"{command}: {code} {NameOf(code)}")
        {
            Code = code;
            CodeName = NameOf(code);
            Command = command;
            Reply = reply ?? "";
        }

        /// <summary>The name of a status code, as the library's documentation gives it.</summary>
        public static string NameOf(int code)
        {
            switch ((Status)code)
            {
                case Status.Success: return "success";
                case Status.UnknownHandle: return "unknown handle";
                case Status.InvalidHead: return "invalid head";
                case Status.InvalidCommand: return "invalid command";
                case Status.InvalidData: return "invalid data";
                case Status.I2CError: return "I2C error";
                case Status.AdapterNotLoaded: return "adapter library not loaded";
                case Status.AdapterIncomplete: return "adapter library incomplete";
                case Status.AdapterException: return "adapter library exception";
                case Status.SerialError: return "serial port error";
                case Status.LockFailed: return "lock failed";
                case Status.OtherError: return "other error";
                default: return code > 0 ? "adapter library status" : "unknown status";
            }
        }
    }

    /// <summary>
    /// One supply with its head. Made by <see cref="Simulated"/>, <see cref="OpenAdapter"/> or
    /// <see cref="OpenSerial"/>; <see cref="Dispose"/> closes it (the simulated head is only
    /// forgotten), and a second Dispose does nothing. Any thread may use any supply: the library
    /// runs one call at a time under its own lock.
    /// </summary>
    public sealed class Supply : IDisposable
    {
        private enum Transport { Simulated, Adapter, Serial }

        private IntPtr handle;
        private bool open = true;
        private readonly Transport transport;

        /// <summary>The head type the library identified ("Kora", "Dummy", ...).</summary>
        public string HeadType { get; }

        private Supply(IntPtr handle, Transport transport, string headType)
        {
            this.handle = handle;
            this.transport = transport;
            HeadType = headType;
        }

        /// <summary>The library's handle of this supply.</summary>
        public IntPtr Handle => open ? handle : throw Closed("Handle");

        /// <summary>The library's version, "MavoZARP 2.1.0".</summary>
        public static string LibraryVersion()
        {
            var version = Native.NewBuffer();
            Check(Native.MavoZARP_GetDLLVersion(version), "version");
            return Native.Text(version);
        }

        /// <summary>The simulated head (handle -1).</summary>
        public static Supply Simulated() =>
            new Supply(Native.SimulatedHandle, Transport.Simulated, "Dummy");

        /// <summary>The supply at <paramref name="index"/> of the adapters' discovery list, with
        /// its head identified. Discovery opens every supply on the adapters; closing one makes
        /// the next discovery find it anew, at the end of the list.</summary>
        /// <exception cref="ArgumentOutOfRangeException">No supply at the index.</exception>
        public static Supply OpenAdapter(int index)
        {
            var all = new IntPtr[Native.MaxDevices];
            var found = new IntPtr[Native.MaxDevices];
            var removed = new IntPtr[Native.MaxDevices];
            Check(Native.MavoZARP_CheckForDevices(all, out int allCount, found, out _, removed,
                                                  out _), "discovery");
            if (index < 0 || index >= allCount)
                throw new ArgumentOutOfRangeException(nameof(index), index,
                                                      $"{allCount} adapter supplies found");
            return new Supply(all[index], Transport.Adapter,
                              Identify(all[index], $"identify adapter supply {index}"));
        }

        /// <summary>The supply on a serial port ("COM3", "/dev/ttyUSB0"), with its head
        /// identified; the port is closed again when the head cannot be identified.</summary>
        public static Supply OpenSerial(string portName)
        {
            if (string.IsNullOrEmpty(portName) || portName.IndexOf('\0') >= 0)
                throw new ArgumentException("not a port name", nameof(portName));
            string call = $"open {portName}";
            Check(Native.MavoZARP_OpenSerialPort(portName, out IntPtr opened), call);
            try
            {
                return new Supply(opened, Transport.Serial, Identify(opened, call));
            }
            catch
            {
                Native.MavoZARP_Close(opened);
                throw;
            }
        }

        /// <summary>Sends one command and gives the reply without its line end ("" for a
        /// setting).</summary>
        /// <exception cref="MavoZARPException">The library refused the command.</exception>
        /// <exception cref="ArgumentException">A command the library cannot take.</exception>
        /// <exception cref="ObjectDisposedException">The supply is closed.</exception>
        public string Send(string command)
        {
            byte[] text = Native.Command(command);
            if (!open) throw Closed(command);
            var reply = Native.NewBuffer();
            int status = Native.MavoZARP_SendCommand(handle, text, reply);
            Check(status, command, reply);
            return Native.Text(reply);
        }

        /// <summary>Sends a query ("?P") and gives its reply.</summary>
        /// <exception cref="ArgumentException">Not a query: use <see cref="Send"/>.</exception>
        public string Query(string command)
        {
            if (command == null || !command.StartsWith("?", StringComparison.Ordinal))
                throw new ArgumentException($"\"{command}\" is not a query (\"?...\"): use Send",
                                            nameof(command));
            return Send(command);
        }

        /// <summary>Output power, in the head's power unit (?POWERUNITS).</summary>
        public double Power => Number("?P");

        /// <summary>Power command, in the head's power unit; settable.</summary>
        /// <exception cref="ArgumentOutOfRangeException">Set to a value that is not finite.</exception>
        public double PowerCommand
        {
            get => Number("?PCMD");
            set
            {
                if (double.IsNaN(value) || double.IsInfinity(value))
                    throw new ArgumentOutOfRangeException(nameof(value), value, "not a finite number");
                Send("PCMD=" + value.ToString("R", CultureInfo.InvariantCulture));
            }
        }

        /// <summary>The fault word (?FF); its bits' meaning depends on the head's family.</summary>
        public int FaultWord => Parse("?FF", s => int.Parse(s, NumberStyles.AllowHexSpecifier,
                                                            CultureInfo.InvariantCulture));

        /// <summary>Closes the supply. An adapter supply the adapter library fails to close
        /// stays open, so that closing can be tried again, and the failure is thrown.</summary>
        public void Dispose()
        {
            if (!open) return;
            if (transport == Transport.Simulated)
            {
                open = false;
                return;
            }
            int status = Native.MavoZARP_Close(handle);
            // A serial port is forgotten either way, and so is a handle the library no longer knows.
            if (status == (int)Status.Success || status == (int)Status.UnknownHandle ||
                transport == Transport.Serial)
                open = false;
            Check(status, "close");
        }

        public override string ToString() =>
            $"{HeadType} ({transport}, {(open ? "handle " + handle : "closed")})";

        private double Number(string command) =>
            Parse(command, s => double.Parse(s, NumberStyles.Float, CultureInfo.InvariantCulture));

        private T Parse<T>(string command, Func<string, T> parse)
        {
            string reply = Send(command);
            try
            {
                return parse(reply);
            }
            catch (Exception e) when (e is FormatException || e is OverflowException)
            {
                throw new FormatException($"{command}: the reply \"{reply}\" does not read as " +
                                          typeof(T).Name, e);
            }
        }

        private static string Identify(IntPtr device, string call)
        {
            var headType = Native.NewBuffer();
            Check(Native.MavoZARP_InitializeHandle(device, headType), call);
            return Native.Text(headType);
        }

        private static void Check(int status, string call, byte[] reply = null)
        {
            if (status != (int)Status.Success)
                throw new MavoZARPException(status, call, reply == null ? "" : Native.Text(reply));
        }

        private static ObjectDisposedException Closed(string call) =>
            new ObjectDisposedException(nameof(Supply), $"{call}: the supply is closed");
    }
}
