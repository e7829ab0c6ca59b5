// Raw DllImport declarations of every export of the zeqtracker native plug-in,
// exactly as the library exports them. Game code should go through ZeqTracker,
// which checks sizes and keeps the frame callback safe for IL2CPP and for
// scripting-domain reloads; these are public for tools and tests.
//
// Image coordinates are pixels of the frame given to an update, x to the right
// and y DOWN, origin at the top-left pixel. Camera-space results use OpenCV's
// right-handed camera frame (x right, y down, z forward); see README.md for the
// conversion to Unity's frame.

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
        public static extern int ZEQ_UnityTrackerUpdateImage(IntPtr pixels, int width, int height, int rowBytes,
                                                             int format, int flags);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int ZEQ_UnityTrackerInitFromMemory(byte[] model, int modelBytes, byte[] cascadeXml,
                                                                int cascadeBytes);

        /// <summary>Writes at most capacity - 1 bytes of UTF-8 and a NUL; returns the
        /// full length without the NUL (0 when there is no error). A null buffer
        /// only measures.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        public static extern int ZEQ_UnityGetLastError([Out] byte[] buffer, int capacity);

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

        // Internal on purpose: the only delegate that may reach native code is
        // ZeqTracker's static, AOT-marked forwarder (see ZeqTracker.FrameReceived).
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void ZEQ_UnityRegisterCallbacks(IntPtr render, FrameCallback frame);

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
}
