// Host-side cost of one tracked 640 x 480 frame as the Unity sample pays it:
// handing the Color32 pixels over, the update, and reading the results back.
// Compares the former path (flip the bottom-up pixels, update, flip back, draw
// the overlay, allocating getters) with the direct one (bottom-up pixels as
// they are, results into reused arrays). Reports processor time (all threads of
// the process) and managed bytes allocated per frame.
//   mono ZeqTrackerBench.exe <fixture directory> [frames] [model directory]
// The model directory defaults to the fixture's synthetic model; the shipped
// model (models/) gives the cost of a real update.

using System;
using System.Diagnostics;
using System.IO;
using System.Runtime.InteropServices;
using UnityEngine;
using Zeq;

static class ZeqTrackerBench
{
    const int Width = 640, Height = 480;

    delegate int FramePath();

    static Color32[] s_pixels;
    static readonly float[] s_points = new float[ZeqTracker.PointFloats];
    static readonly float[] s_confidence = new float[ZeqTracker.PointCountMax];
    static readonly float[] s_matrix = new float[ZeqTracker.TransformFloats];
    static readonly float[] s_camera = { Width, 0, Width / 2f, 0, Width, Height / 2f, 0, 0, 1 };

    static int Main(string[] args)
    {
        if (args.Length < 1)
        {
            Console.Error.WriteLine("usage: ZeqTrackerBench.exe <fixture directory> [frames] [model directory]");
            return 2;
        }
        int frames = args.Length > 1 ? int.Parse(args[1]) : 300;
        s_pixels = LoadBottomUpFrame(Path.Combine(args[0], "face.rgba"));
        ZeqTracker.Enable(true);
        string modelDir = args.Length > 2 ? args[2] : Path.Combine(args[0], "model");
        if (ZeqTracker.Init(modelDir) != 0) return 1;

        var paths = new[] {
            new { Name = "flip + update + flip + overlay, allocating getters", Run = (FramePath)FlippedWithOverlay },
            new { Name = "flip + update + flip, allocating getters", Run = (FramePath)Flipped },
            new { Name = "bottom-up update, getters into reused arrays", Run = (FramePath)Direct },
        };
        // Alternating rounds spread the machine's other load over all paths.
        var seconds = new double[paths.Length];
        var bytes = new long[paths.Length];
        const int rounds = 5;
        for (int round = 0; round < rounds; ++round)
            for (int p = 0; p < paths.Length; ++p)
            {
                for (int i = 0; i < 5; ++i) paths[p].Run();  // warm, and back to tracking
                TimeSpan cpu0 = Process.GetCurrentProcess().TotalProcessorTime;
                long gc0 = GC.GetAllocatedBytesForCurrentThread();
                int tracked = 0;
                for (int i = 0; i < frames / rounds; ++i)
                    if (paths[p].Run() == ZeqTracker.Tracked) ++tracked;
                bytes[p] += GC.GetAllocatedBytesForCurrentThread() - gc0;
                seconds[p] += (Process.GetCurrentProcess().TotalProcessorTime - cpu0).TotalSeconds;
                if (tracked != frames / rounds)
                {
                    Console.Error.WriteLine(paths[p].Name + ": only " + tracked + " frames tracked");
                    return 1;
                }
            }
        int counted = (frames / rounds) * rounds;
        Console.WriteLine("640 x 480, " + counted + " tracked frames per path");
        for (int p = 0; p < paths.Length; ++p)
            Console.WriteLine(string.Format("{0,-55} {1,8:F3} ms CPU/frame {2,8:F1} bytes/frame", paths[p].Name,
                                            1000.0 * seconds[p] / counted, (double)bytes[p] / counted));
        ZeqTracker.Release();
        return 0;
    }

    // The fixture's face, centred on a black 640 x 480 frame, bottom row first.
    static Color32[] LoadBottomUpFrame(string file)
    {
        int w, h;
        byte[] rgba;
        using (var reader = new BinaryReader(File.OpenRead(file)))
        {
            w = reader.ReadInt32();
            h = reader.ReadInt32();
            rgba = reader.ReadBytes(w * h * 4);
        }
        var pixels = new Color32[Width * Height];
        int left = (Width - w) / 2, top = Math.Max(0, (Height - h) / 2);
        for (int y = 0; y < Math.Min(h, Height); ++y)
            for (int x = 0; x < w; ++x)
            {
                int i = 4 * (y * w + x);
                pixels[(Height - 1 - (top + y)) * Width + left + x] =
                    new Color32(rgba[i], rgba[i + 1], rgba[i + 2], rgba[i + 3]);
            }
        return pixels;
    }

    static int FlippedWithOverlay() { return FlippedPath(true); }

    static int Flipped() { return FlippedPath(false); }

    static int FlippedPath(bool overlay)
    {
        GCHandle pin = GCHandle.Alloc(s_pixels, GCHandleType.Pinned);
        int status;
        try
        {
            IntPtr rgba = pin.AddrOfPinnedObject();
            ZeqTrackerNative.ZEQ_UnityFlipImagePtr(rgba, Width, Height, 0);
            status = ZeqTracker.Update(rgba, Width, Height);
            ZeqTrackerNative.ZEQ_UnityFlipImagePtr(rgba, Width, Height, 0);
            if (overlay) ZeqTrackerNative.ZEQ_UnityShowResultsPtr(rgba, Width, Height, 30f);
        }
        finally
        {
            pin.Free();
        }
        if (status > 0)
        {
            float[] points = ZeqTracker.GetPoints();
            float[] confidence = ZeqTracker.GetConfidence();
            var matrix = new float[ZeqTracker.TransformFloats];
            ZeqTracker.TryGetTransform(s_camera, null, matrix);
            GC.KeepAlive(points);
            GC.KeepAlive(confidence);
        }
        return status;
    }

    static int Direct()
    {
        int status = ZeqTracker.Update(s_pixels, Width, Height);
        if (status > 0)
        {
            ZeqTracker.GetPoints(s_points);
            ZeqTracker.GetConfidence(s_confidence);
            ZeqTracker.TryGetTransform(s_camera, null, s_matrix);
        }
        return status;
    }
}
