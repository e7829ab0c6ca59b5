// Loads the real native library through the C# binding, as a Unity script would,
// and checks a whole session.
//   mono ZeqTrackerTest.exe <fixture directory>
//   mono ZeqTrackerTest.exe --domain-unload <fixture directory>
// The second form runs the editor's script-reload scenario on its own, since a
// stale native callback would take the whole process down.
// The fixture directory holds "model" (a model directory with face.xml),
// "face.rgba" (int32 width, int32 height, then RGBA rows top to bottom) and
// "clip.avi" (a few frames of the same face).

using System;
using System.Collections.Generic;
using System.IO;
using System.Runtime.InteropServices;
using Unity.Collections;
using UnityEngine;
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
        public int Width, Height;
        public bool HasPixels;
        public byte[] FirstPixel;
    }

    static readonly List<FrameCall> s_calls = new List<FrameCall>();

    static void OnFrame(int width, int height, IntPtr rgba)
    {
        var call = new FrameCall { Width = width, Height = height, HasPixels = rgba != IntPtr.Zero };
        if (call.HasPixels)
        {
            call.FirstPixel = new byte[4];
            Marshal.Copy(rgba, call.FirstPixel, 0, 4);
        }
        s_calls.Add(call);
    }

    static void ThrowingHandler(int width, int height, IntPtr rgba)
    {
        throw new InvalidOperationException("handler failure " + width + "x" + height);
    }

    // The face frame in each layout the binding accepts.
    class Frames
    {
        public int Width, Height;
        public byte[] TopDownRgba;
        public Color32[] BottomUp;
        public Color32[] TopDown;
        public byte[] PaddedBgrBottomUp;
        public int PaddedRowBytes;

        public Frames(int width, int height, byte[] rgba)
        {
            Width = width;
            Height = height;
            TopDownRgba = rgba;
            BottomUp = new Color32[width * height];
            TopDown = new Color32[width * height];
            PaddedRowBytes = width * 3 + 5;
            PaddedBgrBottomUp = new byte[PaddedRowBytes * height];
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x)
                {
                    int i = 4 * (y * width + x);
                    var c = new Color32(rgba[i], rgba[i + 1], rgba[i + 2], rgba[i + 3]);
                    TopDown[y * width + x] = c;
                    int up = height - 1 - y;
                    BottomUp[up * width + x] = c;
                    int j = up * PaddedRowBytes + 3 * x;
                    PaddedBgrBottomUp[j] = c.b;
                    PaddedBgrBottomUp[j + 1] = c.g;
                    PaddedBgrBottomUp[j + 2] = c.r;
                }
        }
    }

    static int Main(string[] args)
    {
        if (args.Length == 2 && args[0] == "--domain-unload") return DomainUnloadScenario(args[1]);
        if (args.Length != 1)
        {
            Console.Error.WriteLine("usage: ZeqTrackerTest.exe [--domain-unload] <fixture directory>");
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
        var frames = new Frames(width, height, face);

        StatusAndGetters(modelDir, frames);
        Layouts(modelDir, frames);
        InitFromMemory(modelDir, frames);
        NoGarbagePerFrame(modelDir, frames);
        CameraAndCallbacks(dir, modelDir, frames);
        EditorReload(dir, modelDir, frames);

        if (s_failures > 0)
        {
            Console.Error.WriteLine(s_failures + " check(s) failed");
            return 1;
        }
        Console.WriteLine("C# binding: all checks passed");
        return 0;
    }

    static void StatusAndGetters(string modelDir, Frames f)
    {
        int width = f.Width, height = f.Height;
        byte[] face = f.TopDownRgba;
        var blank = new byte[width * height * 4];

        ZeqTracker.Release();
        CheckEqual(ZeqTracker.Disabled, ZeqTracker.Update(face, width, height), "update before enable");
        ZeqTracker.Enable(true);
        CheckEqual(ZeqTracker.NotInitialised, ZeqTracker.Update(face, width, height), "update before init");
        CheckEqual(-3, ZeqTracker.Init((string)null), "init without directory");
        CheckEqual(0, ZeqTracker.Init(modelDir), "init");
        CheckEqual(ZeqTracker.NoFace, ZeqTracker.Update(blank, width, height), "search on a blank frame");
        CheckEqual(ZeqTracker.Tracked, ZeqTracker.Update(face, width, height), "search and track the face");
        CheckEqual(ZeqTracker.Tracked, ZeqTracker.Update(face, width, height), "track the face");
        CheckEqual(ZeqTracker.BadFrameSize, ZeqTracker.Update(face, width, height + 1), "frame larger than its array");

        CheckEqual(30, ZeqTracker.PointCount, "point count");
        var padded = new float[ZeqTracker.PointFloats + 1];
        padded[60] = -7f;
        CheckEqual(30, ZeqTracker.GetPoints(padded), "points written into a longer array");
        CheckEqual(-7f, padded[60], "nothing written past 60 floats");
        var points = new float[ZeqTracker.PointFloats];
        var confidence = new float[ZeqTracker.PointCountMax];
        CheckEqual(30, ZeqTracker.GetPoints(points), "points written");
        CheckEqual(30, ZeqTracker.GetConfidence(confidence), "confidences written");
        CheckEqual(0, ZeqTracker.GetPoints(new float[59]), "a short points array is refused");
        CheckEqual(0, ZeqTracker.GetConfidence(null), "a null confidence array is refused");
        for (int i = 0; i < 30; ++i)
            Check(points[2 * i] >= 0 && points[2 * i] < width && points[2 * i + 1] >= 0 &&
                  points[2 * i + 1] < height, "point " + i + " inside the frame");
        foreach (float c in confidence) Check(c >= 0f && c <= 1f, "confidence in [0, 1]");
        float[] allocated = ZeqTracker.GetPoints();
        Check(allocated != null && Equal(allocated, points, 0f), "allocating getter agrees");
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
        Check(m[14] > 0f, "transform translation in front of the camera");
        Check(ZeqTracker.TryGetTransform(camera, new float[5], new[] { 36, 39, 42, 45, 30, 33 }, m),
              "transform from a subset");
        var kept = (float[])m.Clone();
        Check(!ZeqTracker.TryGetTransform(camera, null, new[] { 1, 2, 3 }, m), "three points are too few");
        Check(Equal(kept, m, 0f), "a failed transform leaves the matrix as it was");

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
    }

    delegate int FrameFeed(Frames f);

    // Points after a fresh init and two frames (search, then track) fed one way.
    static float[] TrackTwice(string modelDir, Frames f, FrameFeed feed, string what)
    {
        CheckEqual(0, ZeqTracker.Init(modelDir), "init for " + what);
        feed(f);
        CheckEqual(ZeqTracker.Tracked, feed(f), what + " tracks");
        var points = new float[ZeqTracker.PointFloats];
        return ZeqTracker.GetPoints(points) == 30 ? points : null;
    }

    static void Layouts(string modelDir, Frames f)
    {
        float[] reference = TrackTwice(modelDir, f, g => ZeqTracker.Update(g.TopDownRgba, g.Width, g.Height),
                                       "top-down RGBA");
        var nativeFrame = new NativeArray<Color32>(f.Width * f.Height, Allocator.Persistent);
        nativeFrame.CopyFrom(f.BottomUp);
        var cases = new KeyValuePair<string, FrameFeed>[] {
            new KeyValuePair<string, FrameFeed>("bottom-up Color32[]", g => ZeqTracker.Update(g.BottomUp, g.Width, g.Height)),
            new KeyValuePair<string, FrameFeed>("top-down Color32[]",
                                                g => ZeqTracker.Update(g.TopDown, g.Width, g.Height, false)),
            new KeyValuePair<string, FrameFeed>("bottom-up NativeArray",
                                                g => ZeqTracker.Update(nativeFrame, g.Width, g.Height)),
            new KeyValuePair<string, FrameFeed>("bottom-up BGR24 with padded rows",
                                                g => ZeqTracker.Update(g.PaddedBgrBottomUp, g.Width, g.Height,
                                                                       g.PaddedRowBytes, ZeqPixelFormat.Bgr24, true)),
        };
        foreach (var c in cases)
        {
            float[] points = TrackTwice(modelDir, f, c.Value, c.Key);
            Check(reference != null && points != null && Equal(reference, points, 1e-3f),
                  c.Key + " gives the points of top-down RGBA");
        }
        nativeFrame.Dispose();

        // Layouts refused before anything is read: the status is not replaced.
        int w = f.Width, h = f.Height;
        var bad = new[] {
            new KeyValuePair<string, int>("stride shorter than a row",
                                          ZeqTracker.Update(f.TopDownRgba, w, h, w * 4 - 1, ZeqPixelFormat.Rgba32, false)),
            new KeyValuePair<string, int>("unknown format",
                                          ZeqTracker.Update(f.TopDownRgba, w, h, w * 4, (ZeqPixelFormat)9, false)),
            new KeyValuePair<string, int>("unknown format through a pointer", UpdatePinnedUnknownFormat(f)),
        };
        foreach (var b in bad) CheckEqual(ZeqTracker.BadImageLayout, b.Value, b.Key);
        CheckEqual(30, ZeqTracker.PointCount, "refused layouts keep the tracked status");
        CheckEqual(ZeqTracker.BadFrameSize, ZeqTracker.Update(new Color32[w * h - 1], w, h), "Color32[] too short");
        CheckEqual(ZeqTracker.BadFrameSize,
                   ZeqTracker.Update(f.PaddedBgrBottomUp, w, h + 1, f.PaddedRowBytes, ZeqPixelFormat.Bgr24, true),
                   "byte[] too short for its rows");
        CheckEqual(ZeqTracker.NotUpdated, ZeqTracker.Update((Color32[])null, w, h), "null Color32[]");
    }

    static int UpdatePinnedUnknownFormat(Frames f)
    {
        GCHandle pin = GCHandle.Alloc(f.TopDownRgba, GCHandleType.Pinned);
        try
        {
            return ZeqTracker.Update(pin.AddrOfPinnedObject(), f.Width, f.Height, f.Width * 4, (ZeqPixelFormat)6, false);
        }
        finally
        {
            pin.Free();
        }
    }

    static void InitFromMemory(string modelDir, Frames f)
    {
        byte[] model = File.ReadAllBytes(Path.Combine(modelDir, "zeqTracker.model"));
        string cascade = File.ReadAllText(Path.Combine(modelDir, "face.xml"));

        float[] fromDirectory = TrackTwice(modelDir, f, g => ZeqTracker.Update(g.BottomUp, g.Width, g.Height),
                                           "directory model");
        CheckEqual(0, ZeqTracker.Init(model, cascade), "init from memory");
        ZeqTracker.Update(f.BottomUp, f.Width, f.Height);
        CheckEqual(ZeqTracker.Tracked, ZeqTracker.Update(f.BottomUp, f.Width, f.Height), "memory model tracks");
        var points = new float[ZeqTracker.PointFloats];
        Check(ZeqTracker.GetPoints(points) == 30 && fromDirectory != null && Equal(points, fromDirectory, 1e-3f),
              "the model from memory gives the points of the model directory");

        var truncated = new byte[model.Length / 2];
        Array.Copy(model, truncated, truncated.Length);
        var failures = new[] {
            new { What = "truncated model", Model = truncated, Cascade = cascade, Expected = ZeqTracker.InitModelFailed },
            new { What = "cascade that is not one", Model = model, Cascade = "<opencv_storage/>",
                  Expected = ZeqTracker.InitCascadeFailed },
            new { What = "null model", Model = (byte[])null, Cascade = cascade, Expected = ZeqTracker.InitBadArguments },
            new { What = "empty cascade", Model = model, Cascade = "", Expected = ZeqTracker.InitBadArguments },
        };
        foreach (var failure in failures)
        {
            int result = 0;
            string log = CaptureErrors(() => result = ZeqTracker.Init(failure.Model, failure.Cascade));
            CheckEqual(failure.Expected, result, "init from memory, " + failure.What);
            string message = ZeqTracker.LastError;
            Check(message.Length > 0 && log.Contains(message), "the failure's message is logged: " + failure.What);
        }
        CheckEqual(ZeqTracker.Tracked, ZeqTracker.Update(f.BottomUp, f.Width, f.Height),
                   "failed inits keep the working tracker");
    }

    // The sample's per-frame path: update, then read everything a game reads.
    static void NoGarbagePerFrame(string modelDir, Frames f)
    {
        CheckEqual(0, ZeqTracker.Init(modelDir), "init for the allocation count");
        var points = new float[ZeqTracker.PointFloats];
        var confidence = new float[ZeqTracker.PointCountMax];
        var matrix = new float[ZeqTracker.TransformFloats];
        var camera = new float[] { f.Width, 0, f.Width / 2f, 0, f.Width, f.Height / 2f, 0, 0, 1 };
        int tracked = 0;
        float sum = 0f;
        long before = 0;
        for (int frame = 0; frame < 110; ++frame)
        {
            // The first frames compile the marshalling stubs; they are not counted.
            if (frame == 10) before = GC.GetAllocatedBytesForCurrentThread();
            if (ZeqTracker.Update(f.BottomUp, f.Width, f.Height) == ZeqTracker.Tracked && frame >= 10) ++tracked;
            ZeqTracker.GetPoints(points);
            ZeqTracker.GetConfidence(confidence);
            ZeqTracker.TryGetTransform(camera, null, matrix);
            float x, y, z;
            ZeqTracker.TryGetTranslation(f.Width, f.Width / 2f, f.Height / 2f, out x, out y, out z);
            sum += ZeqTracker.PitchRadians + ZeqTracker.YawRadians + ZeqTracker.RollRadians + ZeqTracker.ScaleInImage;
        }
        long allocated = GC.GetAllocatedBytesForCurrentThread() - before;
        CheckEqual(100, tracked, "tracked frames of the allocation count");
        CheckEqual(0L, allocated, "bytes allocated by 100 update + read cycles");
        Check(!float.IsNaN(sum), "results read");
    }

    static void CameraAndCallbacks(string dir, string modelDir, Frames f)
    {
        string clip = Path.Combine(dir, "clip.avi");
        CheckEqual(0, ZeqTracker.Init(modelDir), "init for the camera");

        // The frame callback survives a garbage collection.
        ZeqTracker.FrameReceived += OnFrame;
        GC.Collect();
        GC.WaitForPendingFinalizers();
        CheckEqual(0, ZeqTracker.OpenVideoFile(clip, 0), "open the clip");
        ZeqTracker.PollCamera();
        CheckEqual(2, s_calls.Count, "announcement and one frame");
        if (s_calls.Count == 2)
        {
            // Rotation 0 turns the frame by 90 degrees: the announced size is swapped.
            CheckEqual(f.Height, s_calls[0].Width, "announced width");
            CheckEqual(f.Width, s_calls[0].Height, "announced height");
            Check(!s_calls[0].HasPixels, "announcement without pixels");
            Check(s_calls[1].HasPixels && s_calls[1].Width == f.Height && s_calls[1].Height == f.Width,
                  "rotated frame handed over");
            Check(s_calls[1].HasPixels && s_calls[1].FirstPixel[3] == 255, "opaque RGBA pixels");
        }

        // A throwing handler is logged, and the handlers after it still run.
        ZeqTracker.FrameReceived -= OnFrame;
        ZeqTracker.FrameReceived += ThrowingHandler;
        ZeqTracker.FrameReceived += OnFrame;
        s_calls.Clear();
        string log = CaptureErrors(() =>
        {
            ZeqTracker.OpenVideoFile(clip, -1);
            ZeqTracker.PollCamera();
        });
        CheckEqual(2, s_calls.Count, "the handler after a throwing one still runs");
        Check(log.Contains("handler failure " + f.Width + "x" + f.Height), "the exception is logged");

        // Without handlers nothing is called any more.
        ZeqTracker.FrameReceived -= ThrowingHandler;
        ZeqTracker.FrameReceived -= OnFrame;
        s_calls.Clear();
        ZeqTracker.OpenVideoFile(clip, -1);
        ZeqTracker.PollCamera();
        CheckEqual(0, s_calls.Count, "no calls after the last handler left");
        ZeqTracker.CloseCamera();
        CheckEqual(-1, ZeqTracker.OpenCamera(99, 640, 480, 30, 1), "no camera device 99");

        // Release.
        ZeqTracker.Release();
        CheckEqual(0, ZeqTracker.PointCount, "point count after release");
        Check(ZeqTracker.GetPoints() == null, "no points after release");
        CheckEqual(ZeqTracker.Disabled, ZeqTracker.Update(f.TopDownRgba, f.Width, f.Height), "update after release");
        float sx, sy, sz;
        ZeqTracker.GetScale3D(out sx, out sy, out sz);
        Check(sx == 1f && sy == 1f && sz == 1f, "3D scale without a face");
        Check(ZeqTrackerNative.NativeRendererCallback() != IntPtr.Zero, "render event function");
        IntPtr other = ZeqTrackerNative.createzeqTracker();
        Check(other != IntPtr.Zero, "factory");
        ZeqTrackerNative.destroyzeqTracker(other);
        ZeqTrackerNative.destroyzeqTracker(IntPtr.Zero);
    }

    // A script reload in the editor: the binding lets go of everything it set up.
    static void EditorReload(string dir, string modelDir, Frames f)
    {
        CheckEqual(0, ZeqTracker.Init(modelDir), "init before the reload");
        ZeqTracker.Update(f.BottomUp, f.Width, f.Height);
        CheckEqual(ZeqTracker.Tracked, ZeqTracker.Update(f.BottomUp, f.Width, f.Height), "tracked before the reload");
        ZeqTracker.FrameReceived += OnFrame;
        s_calls.Clear();
        UnityEditor.AssemblyReloadEvents.Raise();
        CheckEqual(0, ZeqTracker.PointCount, "tracker released by the reload");
        CheckEqual(ZeqTracker.Disabled, ZeqTracker.Update(f.BottomUp, f.Width, f.Height), "tracking off after the reload");
        ZeqTrackerNative.ZEQ_UnityCreateVideoCaptureFromFile(Path.Combine(dir, "clip.avi"), -1);
        ZeqTrackerNative.ZEQ_UnityUpdateVideoCapture();
        CheckEqual(0, s_calls.Count, "no callback into the reloaded scripts");
        ZeqTrackerNative.ZEQ_UnityCloseVideoCapture();
        ZeqTracker.Shutdown();
    }

    // ----------------------------------------------------------------------
    // A frame callback registered from a scripting domain that is then unloaded.

    static int s_childFrames;

    static void CountFrame(int width, int height, IntPtr rgba) { ++s_childFrames; }

    static void ChildDomainWork()
    {
        string clip = (string)AppDomain.CurrentDomain.GetData("clip");
        ZeqTracker.FrameReceived += CountFrame;
        ZeqTracker.OpenVideoFile(clip, -1);
        ZeqTracker.PollCamera();
        AppDomain.CurrentDomain.SetData("frames", s_childFrames);
    }

    static int DomainUnloadScenario(string dir)
    {
        string clip = Path.Combine(dir, "clip.avi");
        AppDomain child = AppDomain.CreateDomain("zeq-scripts", null, AppDomain.CurrentDomain.SetupInformation);
        child.SetData("clip", clip);
        child.DoCallBack(ChildDomainWork);
        int childFrames = (int)child.GetData("frames");
        AppDomain.Unload(child);

        // The plug-in now lives on in a domain that never registered anything.
        int opened = ZeqTrackerNative.ZEQ_UnityCreateVideoCaptureFromFile(clip, -1);
        ZeqTrackerNative.ZEQ_UnityUpdateVideoCapture();
        ZeqTrackerNative.ZEQ_UnityUpdateVideoCapture();
        ZeqTrackerNative.ZEQ_UnityCloseVideoCapture();

        // And a new domain's callback works as before.
        ZeqTracker.FrameReceived += CountFrame;
        s_childFrames = 0;
        ZeqTracker.OpenVideoFile(clip, -1);
        ZeqTracker.PollCamera();
        int laterFrames = s_childFrames;
        ZeqTracker.Shutdown();

        CheckEqual(2, childFrames, "the child domain received the announcement and a frame");
        CheckEqual(0, opened, "the clip opens after the unload");
        CheckEqual(2, laterFrames, "a later registration is called");
        if (s_failures > 0) return 1;
        Console.WriteLine("domain unload: the process survived");
        return 0;
    }

    // What the binding logs (the stand-in Debug writes to standard error) while doing something.
    static string CaptureErrors(Action action)
    {
        TextWriter stderr = Console.Error;
        var log = new StringWriter();
        Console.SetError(log);
        try
        {
            action();
        }
        finally
        {
            Console.SetError(stderr);
        }
        return log.ToString();
    }

    static bool Equal(byte[] a, byte[] b)
    {
        if (a.Length != b.Length) return false;
        for (int i = 0; i < a.Length; ++i)
            if (a[i] != b[i]) return false;
        return true;
    }

    static bool Equal(float[] a, float[] b, float tolerance)
    {
        if (a.Length != b.Length) return false;
        for (int i = 0; i < a.Length; ++i)
            if (!(Math.Abs(a[i] - b[i]) <= tolerance)) return false;
        return true;
    }
}
