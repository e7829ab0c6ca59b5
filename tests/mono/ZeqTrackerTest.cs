// Loads the real native library through the C# binding, as a Unity script would,
// and checks a whole session. Usage: mono ZeqTrackerTest.exe <fixture directory>
// The fixture directory holds "model" (a model directory with face.xml),
// "face.rgba" (int32 width, int32 height, then RGBA rows top to bottom) and
// "clip.avi" (a few frames of the same face).

using System;
using System.Collections.Generic;
using System.IO;
using System.Runtime.InteropServices;
using Zeq;

static class ZeqTrackerTest
{
    static int s_failures;

    static void Check(bool condition, string what)
    {
        if (condition) return;
        ++s_failures;
        Console.Error.WriteLine("FAILED: " + what);
    }

    static void CheckEqual<T>(T expected, T actual, string what)
    {
        Check(EqualityComparer<T>.Default.Equals(expected, actual),
              what + ": expected " + expected + ", got " + actual);
    }

    struct FrameCall
    {
        public ulong Width, Height;
        public bool HasPixels;
        public int Zero;
        public byte[] FirstPixel;
    }

    static readonly List<FrameCall> s_calls = new List<FrameCall>();

    static void OnFrame(ulong width, ulong height, IntPtr rgba, int zero)
    {
        var call = new FrameCall { Width = width, Height = height, HasPixels = rgba != IntPtr.Zero, Zero = zero };
        if (call.HasPixels)
        {
            call.FirstPixel = new byte[4];
            Marshal.Copy(rgba, call.FirstPixel, 0, 4);
        }
        s_calls.Add(call);
    }

    static int Main(string[] args)
    {
        if (args.Length < 1)
        {
            Console.Error.WriteLine("usage: ZeqTrackerTest.exe <fixture directory>");
            return 2;
        }
        string dir = args[0];
        string modelDir = Path.Combine(dir, "model");
        int width, height;
        byte[] face;
        using (var reader = new BinaryReader(File.OpenRead(Path.Combine(dir, "face.rgba"))))
        {
            width = reader.ReadInt32();
            height = reader.ReadInt32();
            face = reader.ReadBytes(width * height * 4);
        }
        var blank = new byte[width * height * 4];

        // Status machine.
        ZeqTracker.Release();
        CheckEqual(ZeqTracker.Disabled, ZeqTracker.Update(face, width, height), "update before enable");
        ZeqTracker.Enable(true);
        CheckEqual(ZeqTracker.NotInitialised, ZeqTracker.Update(face, width, height), "update before init");
        CheckEqual(-3, ZeqTracker.Init(null), "init without directory");
        CheckEqual(0, ZeqTracker.Init(modelDir), "init");
        CheckEqual(ZeqTracker.NoFace, ZeqTracker.Update(blank, width, height), "search on a blank frame");
        CheckEqual(ZeqTracker.Tracked, ZeqTracker.Update(face, width, height), "search and track the face");
        CheckEqual(ZeqTracker.Tracked, ZeqTracker.Update(face, width, height), "track the face");
        CheckEqual(ZeqTracker.BadFrameSize, ZeqTracker.Update(face, width, height + 1), "frame larger than its array");

        // Getters.
        CheckEqual(30, ZeqTracker.PointCount, "point count");
        float[] points = ZeqTracker.GetPoints();
        float[] confidence = ZeqTracker.GetConfidence();
        Check(points != null && points.Length == 60, "60 point coordinates");
        Check(confidence != null && confidence.Length == 30, "30 confidences");
        if (points != null)
            for (int i = 0; i < 30; ++i)
                Check(points[2 * i] >= 0 && points[2 * i] < width && points[2 * i + 1] >= 0 &&
                      points[2 * i + 1] < height, "point " + i + " inside the frame");
        if (confidence != null)
            foreach (float c in confidence) Check(c >= 0f && c <= 1f, "confidence in [0, 1]");
        Check(!float.IsNaN(ZeqTracker.PitchRadians) && !float.IsNaN(ZeqTracker.YawRadians) &&
              !float.IsNaN(ZeqTracker.RollRadians), "finite head angles");
        Check(ZeqTracker.ScaleInImage > 0f, "scale in image");
        Check(ZeqTracker.Smoothing, "smoothing on by default");
        ZeqTracker.Smoothing = false;
        Check(!ZeqTracker.Smoothing, "smoothing switched off (bool marshalled as one byte)");
        ZeqTracker.Smoothing = true;

        float x, y, z;
        Check(ZeqTracker.TryGetTranslation(1000f, width / 2f, height / 2f, out x, out y, out z) && z > 0f,
              "translation in front of the camera");
        Check(ZeqTracker.TryGetTranslationInImage(out x, out y) && x > 0f && y > 0f, "translation in image");
        float sx, sy, sz;
        ZeqTracker.GetScale3D(out sx, out sy, out sz);
        Check(sx > 0f && sy > 0f && sz == 1f, "3D scale");

        var camera = new float[] { 1000, 0, width / 2f, 0, 1000, height / 2f, 0, 0, 1 };
        var m = new float[16];
        Check(ZeqTracker.TryGetTransform(camera, null, m), "transform solved");
        Check(m[3] == 0f && m[7] == 0f && m[11] == 0f && m[15] == 1f, "transform bottom row");
        Check(ZeqTracker.TryGetTransform(camera, new float[5], new[] { 36, 39, 42, 45, 30, 33 }, m),
              "transform from a subset");
        Check(!ZeqTracker.TryGetTransform(camera, null, new[] { 1, 2, 3 }, m), "three points are too few");

        float fovX, fovY;
        Check(ZeqTracker.TryCalibration(new float[] { 1000, 0, 320, 0, 1000, 240, 0, 0, 1 }, 640, 480,
                                        out fovX, out fovY), "calibration");
        Check(Math.Abs(fovX - 35.49) < 0.01 && Math.Abs(fovY - 26.99) < 0.01,
              "fields of view " + fovX + ", " + fovY);
        Check(ZeqTracker.WorkTime(0) >= 0.0 && ZeqTracker.WorkTime(10) == -1.0, "work times");

        // Overlay on a bottom-up copy, and the flip round trip.
        var shown = (byte[])face.Clone();
        Check(ZeqTracker.FlipImage(shown, width, height, 0), "flip");
        var flipped = (byte[])shown.Clone();
        Check(ZeqTracker.ShowResults(shown, width, height, 30f), "overlay");
        Check(!Equal(shown, flipped), "overlay drew something");
        ZeqTracker.FlipImage(flipped, width, height, 0);
        Check(Equal(flipped, face), "flip twice restores the frame");

        // The frame callback survives a garbage collection.
        ZeqTracker.SetFrameCallback(OnFrame);
        GC.Collect();
        GC.WaitForPendingFinalizers();
        CheckEqual(0, ZeqTracker.OpenVideoFile(Path.Combine(dir, "clip.avi"), 0), "open the clip");
        ZeqTracker.PollCamera();
        CheckEqual(2, s_calls.Count, "announcement and one frame");
        if (s_calls.Count == 2)
        {
            // Rotation 0 turns the frame by 90 degrees: the announced size is swapped.
            CheckEqual((ulong)height, s_calls[0].Width, "announced width");
            CheckEqual((ulong)width, s_calls[0].Height, "announced height");
            Check(!s_calls[0].HasPixels, "announcement without pixels");
            Check(s_calls[1].HasPixels && s_calls[1].Width == (ulong)height && s_calls[1].Height == (ulong)width,
                  "rotated frame handed over");
            Check(s_calls[1].Zero == 0 && s_calls[0].Zero == 0, "last callback argument is 0");
            Check(s_calls[1].HasPixels && s_calls[1].FirstPixel[3] == 255, "opaque RGBA pixels");
        }
        ZeqTracker.CloseCamera();
        ZeqTracker.SetFrameCallback(null);
        CheckEqual(-1, ZeqTracker.OpenCamera(99, 640, 480, 30, 1), "no camera device 99");

        // Release.
        ZeqTracker.Release();
        CheckEqual(0, ZeqTracker.PointCount, "point count after release");
        Check(ZeqTracker.GetPoints() == null, "no points after release");
        CheckEqual(ZeqTracker.Disabled, ZeqTracker.Update(face, width, height), "update after release");
        ZeqTracker.GetScale3D(out sx, out sy, out sz);
        Check(sx == 1f && sy == 1f && sz == 1f, "3D scale without a face");
        Check(ZeqTrackerNative.NativeRendererCallback() != IntPtr.Zero, "render event function");
        IntPtr other = ZeqTrackerNative.createzeqTracker();
        Check(other != IntPtr.Zero, "factory");
        ZeqTrackerNative.destroyzeqTracker(other);
        ZeqTrackerNative.destroyzeqTracker(IntPtr.Zero);

        if (s_failures > 0)
        {
            Console.Error.WriteLine(s_failures + " check(s) failed");
            return 1;
        }
        Console.WriteLine("C# binding: all checks passed");
        return 0;
    }

    static bool Equal(byte[] a, byte[] b)
    {
        if (a.Length != b.Length) return false;
        for (int i = 0; i < a.Length; ++i)
            if (a[i] != b[i]) return false;
        return true;
    }
}
