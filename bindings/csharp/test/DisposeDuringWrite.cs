// Dispose while another thread waits inside Write, as a Python close() under a running write
// once crashed: the ProducerHandle (a SafeHandle) is held by the runtime for the call's length,
// so the library is never destroyed under it. The write ends by its own timeout, the region is
// gone after it, and a later Write throws ObjectDisposedException.
//
//     mono dispose_during_write.exe <region-name>     (exit 0 and "ok ..." when all holds)
using System;
using System.Threading;
using Vaskel;

static class DisposeDuringWrite
{
    static Producer Create(string name)
    {
        return new Producer(name, new Config {
            StreamCount = 1, ChannelCount = 1, SlotsPerStream = 1, FramesPerChunk = 4,
            SampleRate = 48000 });
    }

    static int Fail(string what)
    {
        Console.Error.WriteLine("FAIL " + what);
        return 1;
    }

    static int Main(string[] args)
    {
        var producer = Create(args[0]);
        producer.Write(0, new float[4], 0); // the ring is full: no renderer drains it
        Exception outcome = null;
        var writer = new Thread(() => {
            try
            {
                producer.Write(0, new float[4], 1000);
            }
            catch (Exception error)
            {
                outcome = error;
            }
        });
        writer.Start();
        Thread.Sleep(300);
        producer.Dispose(); // the writer is inside the library, waiting for ring space
        writer.Join();
        if (!(outcome is WriteTimeoutException))
        {
            return Fail("the write under Dispose ended with " + outcome);
        }
        try
        {
            Create(args[0]).Dispose(); // the name is free once the write has let go
        }
        catch (VaskelException error)
        {
            return Fail("the region is still there: " + error.Message);
        }
        try
        {
            producer.Write(0, new float[4], 0);
            return Fail("a write after Dispose went through");
        }
        catch (ObjectDisposedException)
        {
        }
        Console.WriteLine("ok   Dispose under a running Write: the write timed out, then the " +
                          "region went; a later Write throws ObjectDisposedException");
        return 0;
    }
}
