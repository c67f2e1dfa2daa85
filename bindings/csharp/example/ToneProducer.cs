// A producer in C# over Vaskel.cs: it publishes a tone per stream into the region
// <region-name>, closes its streams, waits for the renderer's verdict and removes the region.
// Start vaskel_renderer with the same name, before or after this program:
//
//     mcs -out:tone_producer.exe bindings/csharp/Vaskel.cs bindings/csharp/example/ToneProducer.cs
//     LD_LIBRARY_PATH=/opt/vaskel/lib mono tone_producer.exe my-render 4 96000 &
//     vaskel_renderer my-render /tmp/my-render
//
// The tone is the C example's (examples/c/tone_producer.c): a triangle wave computed in
// integers, stream s at 220 + 110 * (s mod 16) Hz, channel 0 at amplitude 0.5, channel 1 at
// 0.25, so every sample is an exact float. Ctrl-C aborts the streams and removes the region.
// Exit codes as the C example's: 0 complete, 1 an error, 4 the capture failed, 130 interrupted.
using System;
using System.Diagnostics;
using System.Threading;
using Vaskel;

static class ToneProducer
{
    const int Channels = 2;
    const int SampleRate = 48000;
    const int FramesPerWrite = 4800; // 100 ms of every stream per round
    const int WaitStepMs = 100;      // how often a wait looks at Ctrl-C
    const int PatienceMs = 30000;    // this long without progress: the renderer is not coming

    static volatile bool interrupted;

    static float ToneSample(int stream, long frame, int channel)
    {
        long frequency = 220 + 110 * (stream % 16);
        long phase = (frame * frequency) % SampleRate * 65536 / SampleRate; // 0..65535
        long level = phase < 32768 ? phase - 16384 : 49151 - phase;
        return (float)level / (channel == 0 ? 32768.0f : 65536.0f);
    }

    // Writes every frame, a short timeout at a time, so Ctrl-C is seen while the ring is full.
    static void WriteAll(Producer producer, int stream, float[] samples, int count)
    {
        var rest = new ReadOnlySpan<float>(samples, 0, count * Channels);
        var idle = Stopwatch.StartNew();
        while (!rest.IsEmpty && !interrupted)
        {
            try
            {
                producer.Write(stream, rest, WaitStepMs);
                return;
            }
            catch (WriteTimeoutException timeout)
            {
                rest = rest.Slice((int)timeout.FramesWritten * Channels);
                if (timeout.FramesWritten > 0)
                {
                    idle.Restart();
                }
                else if (idle.ElapsedMilliseconds > PatienceMs)
                {
                    throw;
                }
            }
        }
    }

    static int Run(Producer producer, int streams, long frames)
    {
        var samples = new float[FramesPerWrite * Channels];
        for (long first = 0; first < frames && !interrupted; first += FramesPerWrite)
        {
            int count = (int)Math.Min(FramesPerWrite, frames - first);
            for (int stream = 0; stream < streams; ++stream)
            {
                for (int i = 0; i < count * Channels; ++i)
                {
                    samples[i] = ToneSample(stream, first + i / Channels, i % Channels);
                }
                WriteAll(producer, stream, samples, count);
            }
        }
        if (interrupted)
        {
            // Aborting tells the renderer to stop now rather than wait for its idle timeout.
            for (int stream = 0; stream < streams; ++stream)
            {
                producer.AbortStream(stream);
            }
            Console.Error.WriteLine("tone_producer: interrupted; the streams were aborted");
            return 130;
        }
        for (int stream = 0; stream < streams; ++stream)
        {
            producer.CloseStream(stream); // after its last write
        }
        for (int waited = 0; waited < PatienceMs && !interrupted; waited += WaitStepMs)
        {
            if (producer.Wait(WaitStepMs))
            {
                Console.WriteLine("capture complete: {0} streams of {1} frames", streams, frames);
                return 0;
            }
        }
        if (interrupted)
        {
            return 130;
        }
        Console.Error.WriteLine("tone_producer: no verdict from the renderer");
        return 1;
    }

    static int Main(string[] args)
    {
        if (args.Length < 1 || args.Length > 3)
        {
            Console.Error.WriteLine("usage: tone_producer <region-name> [streams (2)] [frames (48000)]");
            return 1;
        }
        int streams = args.Length > 1 ? int.Parse(args[1]) : 2;
        long frames = args.Length > 2 ? long.Parse(args[2]) : 48000;
        Console.CancelKeyPress += (sender, e) =>
        {
            e.Cancel = true;
            interrupted = true;
        };
        try
        {
            var config = new Config
            {
                StreamCount = (uint)streams,
                SlotsPerStream = 16,
                FramesPerChunk = 1024,
                ChannelCount = Channels,
                SampleRate = SampleRate,
                LogicalEndFrame = (ulong)frames, // the renderer checks every stream reaches it
            };
            using (var producer = new Producer(args[0], config))
            {
                return Run(producer, streams, frames);
            }
        }
        catch (CaptureFailedException failure)
        {
            Console.Error.WriteLine(failure.FailureName);
            return 4;
        }
        catch (VaskelException error)
        {
            Console.Error.WriteLine("tone_producer: " + error.Message);
            return 1;
        }
    }
}
