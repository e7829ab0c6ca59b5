// C# binding of the zeqtracker native plug-in: the raw DllImport declarations of
// every export (ZeqTrackerNative) and a small safe wrapper (ZeqTracker) that takes
// managed arrays, validates their sizes and returns values. Depends only on the
// System namespaces, so it compiles in Unity and under plain Mono alike.
//
// Image coordinates are pixels of the frame given to Update, x to the right and
// y DOWN. Camera-space results use OpenCV's right-handed camera frame (x right,
// y down, z forward); see README.md for the conversion to Unity's frame.

using System;
using System.Runtime.InteropServices;

namespace Zeq
{
    /// <summary>Raw entry points of the native library, exactly as exported.</summary>
    public static class ZeqTrackerNative
    {
        public const string Library = "zeqtracker";

        /// <summary>Frame hand-off: width, height, RGBA pixels (null for the size
        /// announcement) and an integer that is always 0. The pixels belong to the
        /// plug-in and are valid only during the call.</summary>
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        public delegate void FrameCallback(ulong width, ulong height, IntPtr rgba, int zero);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int ZEQ_UnityTrackerInit([MarshalAs(UnmanagedType.LPStr)] string modelDir,
                                                      IntPtr reserved1, IntPtr reserved2);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int ZEQ_UnityTrackerUpdate(byte[] rgba, int width, int height);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, EntryPoint = "ZEQ_UnityTrackerUpdate")]
        public static extern int ZEQ_UnityTrackerUpdatePtr(IntPtr rgba, int width, int height);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void ZEQ_UnityTrackerRelease();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void ZEQ_UnityTrackerEnable([MarshalAs(UnmanagedType.I1)] bool enable);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern double ZEQ_UnityWorkTime(int slot);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int ZEQ_UnityGetTrackerPointNum();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern float ZEQ_UnityGetPitchRadians();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern float ZEQ_UnityGetYawRadians();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern float ZEQ_UnityGetRollRadians();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int ZEQ_UnityGetPoints([Out] float[] dst);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int ZEQ_UnityGetConfidence([Out] float[] dst);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        [return: MarshalAs(UnmanagedType.I1)]
        public static extern bool ZEQ_UnityGetSmoothing();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void ZEQ_UnitySetSmoothing([MarshalAs(UnmanagedType.I1)] bool smoothing);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void ZEQ_UnityGetTranslation(ref float x, ref float y, ref float z,
                                                          float focal, float cx, float cy);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void ZEQ_UnityGetTranslationInImage(ref float x, ref float y);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern float ZEQ_UnityGetScaleInImage();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void ZEQ_UnityGetScale3D(ref float x, ref float y, ref float z);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void ZEQ_UnityCalibration(float[] camera, float width, float height,
                                                       ref float fovX, ref float fovY);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void ZEQ_UnityGetTransform([In, Out] float[] matrix, float[] camera, float[] distortion);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void ZEQ_UnityGetTransformEX([In, Out] float[] matrix, float[] camera, float[] distortion,
                                                          int[] indices, int count);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void ZEQ_UnityRegisterCallbacks(IntPtr render, FrameCallback frame);

        /// <summary>Render-event function pointer (for GL.IssuePluginEvent); it does nothing.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern IntPtr NativeRendererCallback();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int ZEQ_UnityCreateVideoCapture(int device, int width, int height, int fps, int rotation);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int ZEQ_UnityCreateVideoCaptureFromFile([MarshalAs(UnmanagedType.LPStr)] string path,
                                                                     int rotation);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void ZEQ_UnityUpdateVideoCapture();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void ZEQ_UnityCloseVideoCapture();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void ZEQ_UnityShowResults([In, Out] byte[] rgba, int width, int height, float fps);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, EntryPoint = "ZEQ_UnityShowResults")]
        public static extern void ZEQ_UnityShowResultsPtr(IntPtr rgba, int width, int height, float fps);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void ZEQ_UnityFlipImage([In, Out] byte[] rgba, int width, int height, int flipCode);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, EntryPoint = "ZEQ_UnityFlipImage")]
        public static extern void ZEQ_UnityFlipImagePtr(IntPtr rgba, int width, int height, int flipCode);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern IntPtr createzeqTracker();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern void destroyzeqTracker(IntPtr tracker);
    }

    /// <summary>Safe wrapper over the plug-in: arrays in, values out, sizes checked
    /// before anything reaches native code.</summary>
    public static class ZeqTracker
    {
        // Status codes returned by Update.
        public const int Disabled = 2;
        public const int Tracked = 1;
        public const int Lost = 0;
        public const int NotUpdated = -1;
        public const int NotInitialised = -41;
        public const int NoFace = -50;
        public const int PlacementRefused = -51;
        public const int EngineError = -52;
        public const int BadFrameSize = -53;
        public const int NoDetector = -54;
        public const int InternalFailure = -55;

        public const int MaxFrameSide = 16384;
        public const int PointCountMax = 30;

        // Keeps the registered delegate reachable: the native side holds only a pointer.
        static ZeqTrackerNative.FrameCallback s_frameCallback;

        /// <summary>Loads the model directory (no trailing separator). 0 on success,
        /// -1 tracker model missing, -2 detector missing, -3 null directory.</summary>
        public static int Init(string modelDir)
        {
            if (modelDir == null) return -3;
            return ZeqTrackerNative.ZEQ_UnityTrackerInit(modelDir, IntPtr.Zero, IntPtr.Zero);
        }

        public static void Release() { ZeqTrackerNative.ZEQ_UnityTrackerRelease(); }

        public static void Enable(bool enable) { ZeqTrackerNative.ZEQ_UnityTrackerEnable(enable); }

        static bool ValidFrame(byte[] rgba, int width, int height)
        {
            if (rgba == null || width < 1 || height < 1 || width > MaxFrameSide || height > MaxFrameSide) return false;
            return rgba.LongLength >= (long)width * height * 4;
        }

        /// <summary>Tracks one RGBA frame, rows top to bottom (y down). Returns a status code.</summary>
        public static int Update(byte[] rgba, int width, int height)
        {
            if (rgba == null) return NotUpdated;
            if (!ValidFrame(rgba, width, height)) return BadFrameSize;
            return ZeqTrackerNative.ZEQ_UnityTrackerUpdate(rgba, width, height);
        }

        /// <summary>Tracks pinned pixels; the caller guarantees width * height * 4 bytes.</summary>
        public static int Update(IntPtr rgba, int width, int height)
        {
            return ZeqTrackerNative.ZEQ_UnityTrackerUpdatePtr(rgba, width, height);
        }

        public static double WorkTime(int slot) { return ZeqTrackerNative.ZEQ_UnityWorkTime(slot); }

        /// <summary>30 while a face is tracked, else 0.</summary>
        public static int PointCount { get { return ZeqTrackerNative.ZEQ_UnityGetTrackerPointNum(); } }
        public static float PitchRadians { get { return ZeqTrackerNative.ZEQ_UnityGetPitchRadians(); } }
        public static float YawRadians { get { return ZeqTrackerNative.ZEQ_UnityGetYawRadians(); } }
        public static float RollRadians { get { return ZeqTrackerNative.ZEQ_UnityGetRollRadians(); } }
        public static float ScaleInImage { get { return ZeqTrackerNative.ZEQ_UnityGetScaleInImage(); } }

        public static bool Smoothing
        {
            get { return ZeqTrackerNative.ZEQ_UnityGetSmoothing(); }
            set { ZeqTrackerNative.ZEQ_UnitySetSmoothing(value); }
        }

        /// <summary>60 floats (x, y per point, pixels, y down), or null when no face is tracked.</summary>
        public static float[] GetPoints()
        {
            var points = new float[2 * PointCountMax];
            return ZeqTrackerNative.ZEQ_UnityGetPoints(points) > 0 ? points : null;
        }

        /// <summary>30 confidences in [0, 1], or null when no face is tracked.</summary>
        public static float[] GetConfidence()
        {
            var confidence = new float[PointCountMax];
            return ZeqTrackerNative.ZEQ_UnityGetConfidence(confidence) > 0 ? confidence : null;
        }

        /// <summary>Head translation for a pinhole camera (focal length and principal
        /// point in pixels), OpenCV camera frame; false when not available.</summary>
        public static bool TryGetTranslation(float focal, float cx, float cy, out float x, out float y, out float z)
        {
            x = y = z = float.NaN;
            ZeqTrackerNative.ZEQ_UnityGetTranslation(ref x, ref y, ref z, focal, cx, cy);
            return !float.IsNaN(x) && !float.IsNaN(y) && !float.IsNaN(z);
        }

        public static bool TryGetTranslationInImage(out float x, out float y)
        {
            x = y = float.NaN;
            ZeqTrackerNative.ZEQ_UnityGetTranslationInImage(ref x, ref y);
            return !float.IsNaN(x) && !float.IsNaN(y);
        }

        /// <summary>Face width and nose length relative to the reference face (z = 1); 1, 1, 1 without a face.</summary>
        public static void GetScale3D(out float x, out float y, out float z)
        {
            x = y = z = 1f;
            ZeqTrackerNative.ZEQ_UnityGetScale3D(ref x, ref y, ref z);
        }

        /// <summary>Fields of view in degrees of a row-major 3 x 3 camera matrix.</summary>
        public static bool TryCalibration(float[] camera, float width, float height, out float fovX, out float fovY)
        {
            fovX = fovY = float.NaN;
            if (camera == null || camera.Length < 9) return false;
            ZeqTrackerNative.ZEQ_UnityCalibration(camera, width, height, ref fovX, ref fovY);
            return !float.IsNaN(fovX) && !float.IsNaN(fovY);
        }

        static bool CheckTransformArguments(float[] camera, float[] distortion, float[] matrix)
        {
            return camera != null && camera.Length >= 9 && matrix != null && matrix.Length >= 16 &&
                   (distortion == null || distortion.Length >= 5);
        }

        /// <summary>4 x 4 head transform, column by column, in OpenCV's camera frame.
        /// matrix is written only when the result is true.</summary>
        public static bool TryGetTransform(float[] camera, float[] distortion, float[] matrix)
        {
            if (!CheckTransformArguments(camera, distortion, matrix)) return false;
            var result = new float[16];
            result[15] = float.NaN;
            ZeqTrackerNative.ZEQ_UnityGetTransform(result, camera, distortion);
            if (float.IsNaN(result[15])) return false;
            Array.Copy(result, matrix, 16);
            return true;
        }

        /// <summary>The same from the listed landmarks only (at least 4).</summary>
        public static bool TryGetTransform(float[] camera, float[] distortion, int[] indices, float[] matrix)
        {
            if (!CheckTransformArguments(camera, distortion, matrix) || indices == null) return false;
            var result = new float[16];
            result[15] = float.NaN;
            ZeqTrackerNative.ZEQ_UnityGetTransformEX(result, camera, distortion, indices, indices.Length);
            if (float.IsNaN(result[15])) return false;
            Array.Copy(result, matrix, 16);
            return true;
        }

        /// <summary>Registers the frame callback (null to remove it). The delegate is
        /// kept alive here until it is replaced.</summary>
        public static void SetFrameCallback(ZeqTrackerNative.FrameCallback callback)
        {
            s_frameCallback = callback;
            ZeqTrackerNative.ZEQ_UnityRegisterCallbacks(IntPtr.Zero, s_frameCallback);
        }

        public static IntPtr RenderEventFunction { get { return ZeqTrackerNative.NativeRendererCallback(); } }

        /// <summary>Opens a camera. rotation: 0 = 90 degrees clockwise, 1 = 180, 2 = 90
        /// counter-clockwise, other = none. 0 on success, -1 when it cannot be opened.</summary>
        public static int OpenCamera(int device, int width, int height, int fps, int rotation)
        {
            return ZeqTrackerNative.ZEQ_UnityCreateVideoCapture(device, width, height, fps, rotation);
        }

        /// <summary>Replays a video file as the camera.</summary>
        public static int OpenVideoFile(string path, int rotation)
        {
            if (path == null) return -1;
            return ZeqTrackerNative.ZEQ_UnityCreateVideoCaptureFromFile(path, rotation);
        }

        /// <summary>Grabs, tracks and hands over one camera frame.</summary>
        public static void PollCamera() { ZeqTrackerNative.ZEQ_UnityUpdateVideoCapture(); }

        public static void CloseCamera() { ZeqTrackerNative.ZEQ_UnityCloseVideoCapture(); }

        /// <summary>Draws the results into a bottom-up RGBA buffer (first row = bottom of the picture).</summary>
        public static bool ShowResults(byte[] rgba, int width, int height, float fps)
        {
            if (!ValidFrame(rgba, width, height)) return false;
            ZeqTrackerNative.ZEQ_UnityShowResults(rgba, width, height, fps);
            return true;
        }

        /// <summary>Flips an RGBA buffer in place: 0 top-bottom, &gt; 0 left-right, &lt; 0 both.</summary>
        public static bool FlipImage(byte[] rgba, int width, int height, int flipCode)
        {
            if (!ValidFrame(rgba, width, height)) return false;
            ZeqTrackerNative.ZEQ_UnityFlipImage(rgba, width, height, flipCode);
            return true;
        }
    }
}
