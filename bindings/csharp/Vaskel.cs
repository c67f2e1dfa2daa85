// The vaskel producer library for C#: one file to drop into a Unity or Godot project, or any
// .NET or Mono program. P/Invoke over the C interface (vaskel/producer.h); no unsafe code.
//
//     using (var producer = new Vaskel.Producer("my-render", new Vaskel.Config {
//                StreamCount = 2, ChannelCount = 2, SampleRate = 48000, LogicalEndFrame = 48000 }))
//     {
//         producer.Write(0, interleaved, 1000);   // per stream, in order
//         ...
//         producer.CloseStream(0); producer.CloseStream(1);
//         producer.Wait(60000);                    // true: every file is complete
//     }
//
// Failures are exceptions: VaskelException carries the status and its text; WriteTimeoutException
// the frames that went out before the ring stayed full; CaptureFailedException the failure code
// and its name as the renderer prints it ("overflow", "producer_abort", ...).
//
// The native library is loaded by its versioned name, libvaskel_producer.so.0 on Linux (the
// runtime package's; found through LD_LIBRARY_PATH or the system's library path), else as
// "libvaskel_producer": libvaskel_producer.dll on Windows (beside the executable), or an
// unversioned libvaskel_producer.so (a Unity plugin, Mono's dllmap).
// Write(int, ReadOnlySpan<float>, int) needs a runtime with Span (Mono 6, .NET Core, Unity 2021.2
// on); define VASKEL_NO_SPAN to leave it out for older ones, which keep the float[] overload.
using System;
using System.Runtime.InteropServices;
using System.Text;

namespace Vaskel
{
    /// <summary>The C interface's statuses: 0 is success, every failure a distinct negative number.</summary>
    public enum Status
    {
        Ok = 0,
        NullArgument = -1,
        InvalidConfig = -2,
        InvalidName = -3,
        NameTooLong = -4,
        NameTaken = -5,
        System = -6,
        StreamRange = -7,
        StreamClosed = -8,
        Timeout = -9,
        CaptureFailed = -10,
        InvalidFailureCode = -11,
    }

    /// <summary>The failure codes either side publishes.</summary>
    public static class FailureCode
    {
        public const uint None = 0;
        public const uint ProtocolMismatch = 1;
        public const uint Overflow = 2;
        public const uint Gap = 3;
        public const uint DuplicateOrOutOfOrder = 4;
        public const uint LogicalRangeMismatch = 5;
        public const uint ProducerAbort = 6;
        public const uint WriterFailure = 7;
    }

    /// <summary>The renderer's state as the producer sees it.</summary>
    public enum ConsumerState : uint
    {
        None = 0,
        Attached = 1,
        Completed = 2,
        Failed = 3,
    }

    /// <summary>The region's shape; the defaults are those of the C examples.</summary>
    public struct Config
    {
        public uint StreamCount;       // 1 .. 128
        public uint SlotsPerStream;    // 1 .. 64; 0 here means 16
        public uint FramesPerChunk;    // 1 .. 2048; 0 here means 1024
        public uint ChannelCount;      // 1 or 2
        public uint SampleRate;        // at least 1
        public ulong LogicalStartFrame;
        public ulong LogicalEndFrame;  // 0: no end declared
    }

    /// <summary>A call returned a status other than success.</summary>
    public class VaskelException : Exception
    {
        public Status Status { get; }

        public VaskelException(Status status, string what)
            : base(what + ": " + Native.Text(Native.vaskel_status_text((int)status)))
        {
            Status = status;
        }
    }

    /// <summary>The ring stayed full: FramesWritten frames (whole chunks) went out first.</summary>
    public class WriteTimeoutException : VaskelException
    {
        public ulong FramesWritten { get; }

        public WriteTimeoutException(string what, ulong framesWritten) : base(Status.Timeout, what)
        {
            FramesWritten = framesWritten;
        }
    }

    /// <summary>A failure code is published by either side; nothing more goes out.</summary>
    public class CaptureFailedException : VaskelException
    {
        public uint FailureCode { get; }
        public string FailureName { get; }

        public CaptureFailedException(string what, uint failureCode)
            : base(Status.CaptureFailed, what + " (" + Producer.FailureName(failureCode) + ")")
        {
            FailureCode = failureCode;
            FailureName = Producer.FailureName(failureCode);
        }
    }

    /// <summary>Owns a vaskel_producer*; destroying it unmaps the region and removes its name.
    /// The runtime holds it across every call, so Dispose never frees it under a running call.</summary>
    public sealed class ProducerHandle : SafeHandle
    {
        public ProducerHandle() : base(IntPtr.Zero, true)
        {
        }

        public override bool IsInvalid => handle == IntPtr.Zero;

        protected override bool ReleaseHandle()
        {
            Native.vaskel_producer_destroy(handle);
            return true;
        }
    }

    internal static class Native
    {
        [StructLayout(LayoutKind.Sequential)]
        internal struct NativeConfig
        {
            internal uint stream_count;
            internal uint slots_per_stream;
            internal uint frames_per_chunk;
            internal uint channel_count;
            internal uint sample_rate;
            internal ulong logical_start_frame;
            internal ulong logical_end_frame;
        }

        // The library's versioned name first: on Linux the runtime package holds only
        // libvaskel_producer.so.0 (the unversioned link comes with the -dev package). Failing
        // that, the plain name, to which the runtimes add ".dll" on Windows and ".so" on Linux
        // (a Unity plugin, a Mono dllmap). DllImport takes one constant name, so every function
        // is imported under both, and the first call finds out which one loads.
        private static readonly bool Versioned = VersionedLoads();

        private static bool VersionedLoads()
        {
            try
            {
                return Versioned0.vaskel_version() != IntPtr.Zero;
            }
            catch (DllNotFoundException)
            {
                return false;
            }
        }

        internal static int vaskel_producer_create(byte[] name, ref NativeConfig config,
                                                   out ProducerHandle producer) =>
            Versioned ? Versioned0.vaskel_producer_create(name, ref config, out producer)
                      : Plain.vaskel_producer_create(name, ref config, out producer);

        internal static int vaskel_producer_write(ProducerHandle p, uint stream, ref float first,
                                                  ulong frames, uint timeoutMs,
                                                  out ulong written) =>
            Versioned ? Versioned0.vaskel_producer_write(p, stream, ref first, frames, timeoutMs,
                                                         out written)
                      : Plain.vaskel_producer_write(p, stream, ref first, frames, timeoutMs,
                                                    out written);

        internal static int vaskel_producer_close_stream(ProducerHandle p, uint stream) =>
            Versioned ? Versioned0.vaskel_producer_close_stream(p, stream)
                      : Plain.vaskel_producer_close_stream(p, stream);

        internal static int vaskel_producer_abort_stream(ProducerHandle p, uint stream) =>
            Versioned ? Versioned0.vaskel_producer_abort_stream(p, stream)
                      : Plain.vaskel_producer_abort_stream(p, stream);

        internal static int vaskel_producer_fail(ProducerHandle p, uint failureCode) =>
            Versioned ? Versioned0.vaskel_producer_fail(p, failureCode)
                      : Plain.vaskel_producer_fail(p, failureCode);

        internal static int vaskel_producer_wait(ProducerHandle p, uint timeoutMs, out uint code) =>
            Versioned ? Versioned0.vaskel_producer_wait(p, timeoutMs, out code)
                      : Plain.vaskel_producer_wait(p, timeoutMs, out code);

        internal static uint vaskel_producer_consumer_state(ProducerHandle p) =>
            Versioned ? Versioned0.vaskel_producer_consumer_state(p)
                      : Plain.vaskel_producer_consumer_state(p);

        internal static uint vaskel_producer_failure_code(ProducerHandle p) =>
            Versioned ? Versioned0.vaskel_producer_failure_code(p)
                      : Plain.vaskel_producer_failure_code(p);

        internal static void vaskel_producer_destroy(IntPtr p)
        {
            if (Versioned)
            {
                Versioned0.vaskel_producer_destroy(p);
            }
            else
            {
                Plain.vaskel_producer_destroy(p);
            }
        }

        internal static IntPtr vaskel_status_text(int status) =>
            Versioned ? Versioned0.vaskel_status_text(status) : Plain.vaskel_status_text(status);

        internal static IntPtr vaskel_failure_name(uint code) =>
            Versioned ? Versioned0.vaskel_failure_name(code) : Plain.vaskel_failure_name(code);

        internal static IntPtr vaskel_version() =>
            Versioned ? Versioned0.vaskel_version() : Plain.vaskel_version();

        // The library's texts are constant ASCII strings it owns: read, never freed.
        internal static string Text(IntPtr text)
        {
            return Marshal.PtrToStringAnsi(text) ?? "";
        }

        // Names go as NUL-terminated UTF-8 bytes: string marshalling would use the ANSI code
        // page on Windows. A ref to the first float pins the caller's memory for the call, array
        // or span alike. A ProducerHandle is held by the runtime for the call's length.
        private static class Versioned0
        {
            private const string Library = "libvaskel_producer.so.0";

            [DllImport(Library)]
            internal static extern int vaskel_producer_create(byte[] name, ref NativeConfig config,
                                                              out ProducerHandle producer);

            [DllImport(Library)]
            internal static extern int vaskel_producer_write(ProducerHandle p, uint stream,
                                                             ref float interleaved, ulong frames,
                                                             uint timeoutMs,
                                                             out ulong framesWritten);

            [DllImport(Library)]
            internal static extern int vaskel_producer_close_stream(ProducerHandle p, uint stream);

            [DllImport(Library)]
            internal static extern int vaskel_producer_abort_stream(ProducerHandle p, uint stream);

            [DllImport(Library)]
            internal static extern int vaskel_producer_fail(ProducerHandle p, uint failureCode);

            [DllImport(Library)]
            internal static extern int vaskel_producer_wait(ProducerHandle p, uint timeoutMs,
                                                            out uint failureCode);

            [DllImport(Library)]
            internal static extern uint vaskel_producer_consumer_state(ProducerHandle p);

            [DllImport(Library)]
            internal static extern uint vaskel_producer_failure_code(ProducerHandle p);

            [DllImport(Library)]
            internal static extern void vaskel_producer_destroy(IntPtr p);

            [DllImport(Library)]
            internal static extern IntPtr vaskel_status_text(int status);

            [DllImport(Library)]
            internal static extern IntPtr vaskel_failure_name(uint failureCode);

            [DllImport(Library)]
            internal static extern IntPtr vaskel_version();
        }

        private static class Plain
        {
            private const string Library = "libvaskel_producer";

            [DllImport(Library)]
            internal static extern int vaskel_producer_create(byte[] name, ref NativeConfig config,
                                                              out ProducerHandle producer);

            [DllImport(Library)]
            internal static extern int vaskel_producer_write(ProducerHandle p, uint stream,
                                                             ref float interleaved, ulong frames,
                                                             uint timeoutMs,
                                                             out ulong framesWritten);

            [DllImport(Library)]
            internal static extern int vaskel_producer_close_stream(ProducerHandle p, uint stream);

            [DllImport(Library)]
            internal static extern int vaskel_producer_abort_stream(ProducerHandle p, uint stream);

            [DllImport(Library)]
            internal static extern int vaskel_producer_fail(ProducerHandle p, uint failureCode);

            [DllImport(Library)]
            internal static extern int vaskel_producer_wait(ProducerHandle p, uint timeoutMs,
                                                            out uint failureCode);

            [DllImport(Library)]
            internal static extern uint vaskel_producer_consumer_state(ProducerHandle p);

            [DllImport(Library)]
            internal static extern uint vaskel_producer_failure_code(ProducerHandle p);

            [DllImport(Library)]
            internal static extern void vaskel_producer_destroy(IntPtr p);

            [DllImport(Library)]
            internal static extern IntPtr vaskel_status_text(int status);

            [DllImport(Library)]
            internal static extern IntPtr vaskel_failure_name(uint failureCode);

            [DllImport(Library)]
            internal static extern IntPtr vaskel_version();
        }
    }

    /// <summary>One region and its streams. One thread at a time writes a given stream; Fail,
    /// Wait, ConsumerState and FailureCode may be called from any thread.</summary>
    public sealed class Producer : IDisposable
    {
        private readonly ProducerHandle handle;

        public uint ChannelCount { get; }
        public uint StreamCount { get; }

        public Producer(string name, Config config)
        {
            if (name == null)
            {
                throw new ArgumentNullException(nameof(name));
            }
            var native = new Native.NativeConfig
            {
                stream_count = config.StreamCount,
                slots_per_stream = config.SlotsPerStream == 0 ? 16 : config.SlotsPerStream,
                frames_per_chunk = config.FramesPerChunk == 0 ? 1024 : config.FramesPerChunk,
                channel_count = config.ChannelCount,
                sample_rate = config.SampleRate,
                logical_start_frame = config.LogicalStartFrame,
                logical_end_frame = config.LogicalEndFrame,
            };
            byte[] utf8 = Encoding.UTF8.GetBytes(name + "\0");
            int status = Native.vaskel_producer_create(utf8, ref native, out handle);
            if (status != (int)Status.Ok)
            {
                throw new VaskelException((Status)status, "cannot create region '" + name + "'");
            }
            ChannelCount = config.ChannelCount;
            StreamCount = config.StreamCount;
        }

        public static string Version => Native.Text(Native.vaskel_version());

        /// <summary>The failure's name as the renderer prints it; "unknown" above 7.</summary>
        public static string FailureName(uint failureCode)
        {
            return Native.Text(Native.vaskel_failure_name(failureCode));
        }

#if !VASKEL_NO_SPAN
        /// <summary>Publishes interleaved frames (ChannelCount floats each) into the stream, in
        /// order. Waits up to timeoutMs for ring space; with 0 it never waits, allocates
        /// nothing and makes no system call (safe in an audio callback, as long as it succeeds:
        /// an exception allocates). Throws WriteTimeoutException when only part went out (write
        /// the rest, from FramesWritten on, later), CaptureFailedException once a failure is
        /// published.</summary>
        public void Write(int stream, ReadOnlySpan<float> interleaved, int timeoutMs)
        {
            ulong frames = Frames(interleaved.Length);
            if (frames > 0)
            {
                Publish(stream, ref MemoryMarshal.GetReference(interleaved), frames, timeoutMs);
            }
        }
#endif

        /// <summary>Write for runtimes without Span: count floats from offset.</summary>
        public void Write(int stream, float[] interleaved, int offset, int count, int timeoutMs)
        {
            if (interleaved == null)
            {
                throw new ArgumentNullException(nameof(interleaved));
            }
            if (offset < 0 || count < 0 || count > interleaved.Length - offset)
            {
                throw new ArgumentOutOfRangeException(nameof(count), "outside the array");
            }
            ulong frames = Frames(count);
            if (frames > 0)
            {
                Publish(stream, ref interleaved[offset], frames, timeoutMs);
            }
        }

        public void Write(int stream, float[] interleaved, int timeoutMs)
        {
            Write(stream, interleaved, 0, interleaved == null ? 0 : interleaved.Length, timeoutMs);
        }

        /// <summary>Marks the stream finished after its last write.</summary>
        public void CloseStream(int stream)
        {
            Check(Native.vaskel_producer_close_stream(handle, Index(stream)), "close stream " + stream);
        }

        /// <summary>Marks the stream aborted: the renderer stops with "producer_abort".</summary>
        public void AbortStream(int stream)
        {
            Check(Native.vaskel_producer_abort_stream(handle, Index(stream)), "abort stream " + stream);
        }

        /// <summary>Publishes a failure code (not 0); CaptureFailedException when one was there.</summary>
        public void Fail(uint failureCode)
        {
            int status = Native.vaskel_producer_fail(handle, failureCode);
            if (status == (int)Status.CaptureFailed)
            {
                throw new CaptureFailedException("fail", FailureCode);
            }
            Check(status, "fail");
        }

        /// <summary>Waits up to timeoutMs for the renderer's verdict: true when it completed the
        /// capture (every file whole), false when the time ran out; CaptureFailedException when a
        /// failure code is published.</summary>
        public bool Wait(int timeoutMs)
        {
            int status = Native.vaskel_producer_wait(handle, Milliseconds(timeoutMs), out uint code);
            if (status == (int)Status.Timeout)
            {
                return false;
            }
            if (status == (int)Status.CaptureFailed)
            {
                throw new CaptureFailedException("capture", code);
            }
            Check(status, "wait");
            return true;
        }

        public ConsumerState ConsumerState =>
            (ConsumerState)Native.vaskel_producer_consumer_state(handle);

        public uint FailureCode => Native.vaskel_producer_failure_code(handle);

        /// <summary>Unmaps the region and removes its name. Close every stream and wait for the
        /// verdict first. Calling it twice is fine.</summary>
        public void Dispose()
        {
            handle.Dispose();
        }

        private void Publish(int stream, ref float first, ulong frames, int timeoutMs)
        {
            int status = Native.vaskel_producer_write(handle, Index(stream), ref first, frames,
                                                      Milliseconds(timeoutMs), out ulong written);
            if (status == (int)Status.Ok)
            {
                return;
            }
            string what = "write to stream " + stream;
            if (status == (int)Status.Timeout)
            {
                throw new WriteTimeoutException(what, written);
            }
            if (status == (int)Status.CaptureFailed)
            {
                throw new CaptureFailedException(what, FailureCode);
            }
            throw new VaskelException((Status)status, what);
        }

        // A partial frame would shift every later sample into the wrong channel.
        private ulong Frames(int floats)
        {
            if (floats % ChannelCount != 0)
            {
                throw new ArgumentException(floats + " floats are not whole frames of " +
                                            ChannelCount + " channels");
            }
            return (ulong)floats / ChannelCount;
        }

        // A negative index must not wrap to a valid stream.
        private static uint Index(int stream)
        {
            return stream < 0 ? uint.MaxValue : (uint)stream;
        }

        private static uint Milliseconds(int timeoutMs)
        {
            if (timeoutMs < 0)
            {
                throw new ArgumentOutOfRangeException(nameof(timeoutMs), "negative timeout");
            }
            return (uint)timeoutMs;
        }

        private static void Check(int status, string what)
        {
            if (status != (int)Status.Ok)
            {
                throw new VaskelException((Status)status, what);
            }
        }
    }
}
