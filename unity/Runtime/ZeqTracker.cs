// Safe wrapper over the zeqtracker plug-in, meant to be driven once per frame
// from Unity's main thread:
//  - frames go in as they are (bottom-up Color32 rows, any stride and common
//    byte layouts), without a flip or copy on the C# side;
//  - results are written into arrays the caller owns, so a tracked frame makes
//    no garbage;
//  - the only delegate handed to native code is one static, AOT-marked
//    forwarder, which shields native frames from exceptions thrown by handlers;
//  - when the scripting domain goes away (script reload, leaving the editor, or
//    any AppDomain unload) the camera is closed, the native callback removed and
//    the tracker released, so the library never calls into a dead domain.
//
// Image coordinates are pixels, x to the right and y DOWN, origin at the
// top-left pixel of the picture, whichever row order the frame came in.

using System;
using System.Runtime.InteropServices;
using System.Text;
#if UNITY_5_3_OR_NEWER
using UnityEngine;
#endif
#if UNITY_2018_1_OR_NEWER
using Unity.Collections;
using Unity.Collections.LowLevel.Unsafe;
#endif
#if UNITY_EDITOR
using UnityEditor;
#endif

namespace Zeq
{
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
        public const int BadImageLayout = -56;

        // Results of Init besides 0.
        public const int InitModelFailed = -1;
        public const int InitCascadeFailed = -2;
        public const int InitBadArguments = -3;

        public const int MaxFrameSide = 16384;
        public const int PointCountMax = 30;
        public const int PointFloats = 2 * PointCountMax;
        public const int TransformFloats = 16;

        const int MaxErrorBytes = 1 << 16;
        const int FlagBottomUp = 1;

        /// <summary>A frame handed over by the plug-in's camera. rgba is IntPtr.Zero
        /// for the size announcement made when a capture opens; otherwise it points
        /// to width x height RGBA pixels, rows top to bottom, that belong to the
        /// plug-in and are valid only during the call.</summary>
        public delegate void FrameHandler(int width, int height, IntPtr rgba);

        // Static state is per scripting domain; the native library is per process.
        static FrameHandler[] s_handlers = new FrameHandler[0];
        static readonly ZeqTrackerNative.FrameCallback s_forwarder = ForwardFrame;
        static bool s_forwarderRegistered;
        static bool s_sessionOpen;
        static bool s_lifetimeHooked;

        // ------------------------------------------------------------------
        // Initialisation and lifetime

        /// <summary>Loads the model directory (no trailing separator) holding
        /// zeqTracker.model and face.xml. 0 on success, -1 tracker model not loaded,
        /// -2 detector not loaded, -3 null directory. The reason of a failure is in
        /// LastError (and logged).</summary>
        public static int Init(string modelDir)
        {
            if (modelDir == null) return InitBadArguments;
            HookLifetime();
            int result = ZeqTrackerNative.ZEQ_UnityTrackerInit(modelDir, IntPtr.Zero, IntPtr.Zero);
            s_sessionOpen = true;
            if (result != 0) LogInitFailure(result);
            return result;
        }

        /// <summary>The same from the two files held in memory, e.g. a TextAsset's
        /// bytes for the model and another TextAsset's text for the cascade.</summary>
        public static int Init(byte[] model, string cascadeXml)
        {
            HookLifetime();
            byte[] cascade = cascadeXml == null ? null : Encoding.UTF8.GetBytes(cascadeXml);
            int result = ZeqTrackerNative.ZEQ_UnityTrackerInitFromMemory(model, model == null ? 0 : model.Length, cascade,
                                                                         cascade == null ? 0 : cascade.Length);
            s_sessionOpen = true;
            if (result != 0) LogInitFailure(result);
            return result;
        }

        /// <summary>Message of the most recent failure of init, update or capture;
        /// empty when there is none.</summary>
        public static string LastError
        {
            get
            {
                int length = ZeqTrackerNative.ZEQ_UnityGetLastError(null, 0);
                if (length <= 0) return string.Empty;
                var buffer = new byte[Math.Min(length, MaxErrorBytes) + 1];
                int full = ZeqTrackerNative.ZEQ_UnityGetLastError(buffer, buffer.Length);
                int count = Math.Max(0, Math.Min(full, buffer.Length - 1));
                return Encoding.UTF8.GetString(buffer, 0, count);
            }
        }

        /// <summary>Closes the camera and destroys the tracker (callbacks stay).</summary>
        public static void Release()
        {
            ZeqTrackerNative.ZEQ_UnityTrackerRelease();
            s_sessionOpen = false;
        }

        public static void Enable(bool enable) { ZeqTrackerNative.ZEQ_UnityTrackerEnable(enable); }

        /// <summary>What the binding does by itself when its scripting domain goes
        /// away; harmless to call at any time. Only what this domain set up is
        /// undone, so another domain's tracker is left alone.</summary>
        public static void Shutdown()
        {
            s_handlers = new FrameHandler[0];
            try
            {
                if (s_sessionOpen) ZeqTrackerNative.ZEQ_UnityCloseVideoCapture();
                if (s_forwarderRegistered) ZeqTrackerNative.ZEQ_UnityRegisterCallbacks(IntPtr.Zero, null);
                s_forwarderRegistered = false;
                if (s_sessionOpen) ZeqTrackerNative.ZEQ_UnityTrackerRelease();
                s_sessionOpen = false;
            }
            catch (Exception e)
            {
                // Typically the library was never loadable; nothing is left to undo.
                LogException(e);
            }
        }

        static void HookLifetime()
        {
            if (s_lifetimeHooked) return;
            s_lifetimeHooked = true;
            AppDomain.CurrentDomain.DomainUnload += OnDomainUnload;
#if UNITY_EDITOR
            // The editor reloads scripts on every compile and on entering Play mode:
            // the old domain's callback must not survive into the next one.
            AssemblyReloadEvents.beforeAssemblyReload += Shutdown;
            EditorApplication.quitting += Shutdown;
#endif
        }

        static void OnDomainUnload(object sender, EventArgs e) { Shutdown(); }

        // ------------------------------------------------------------------
        // Frames

        /// <summary>Tracks one RGBA frame, rows top to bottom. Returns a status code.</summary>
        public static int Update(byte[] rgba, int width, int height)
        {
            if (rgba == null) return NotUpdated;
            if (!ValidSides(width, height) || rgba.LongLength < (long)width * height * 4) return BadFrameSize;
            return ZeqTrackerNative.ZEQ_UnityTrackerUpdate(rgba, width, height);
        }

        /// <summary>Tracks width * height * 4 bytes of RGBA, rows top to bottom, that
        /// the caller keeps valid during the call.</summary>
        public static int Update(IntPtr rgba, int width, int height)
        {
            return ZeqTrackerNative.ZEQ_UnityTrackerUpdatePtr(rgba, width, height);
        }

        /// <summary>Tracks a frame in any supported layout: rowBytes between the
        /// starts of consecutive rows (at least width x bytes per pixel), bottomUp
        /// when the first row in memory is the bottom of the picture (Unity's
        /// texture order). -56 for an unknown format or a stride that does not fit.</summary>
        public static int Update(IntPtr pixels, int width, int height, int rowBytes, ZeqPixelFormat format,
                                 bool bottomUp)
        {
            return ZeqTrackerNative.ZEQ_UnityTrackerUpdateImage(pixels, width, height, rowBytes, (int)format,
                                                                bottomUp ? FlagBottomUp : 0);
        }

        /// <summary>The same from a managed byte array, e.g. raw texture data.</summary>
        public static int Update(byte[] pixels, int width, int height, int rowBytes, ZeqPixelFormat format,
                                 bool bottomUp)
        {
            if (pixels == null) return NotUpdated;
            int check = CheckLayout(pixels.LongLength, width, height, rowBytes, format);
            if (check != 0) return check;
            return UpdatePinned(pixels, width, height, rowBytes, format, bottomUp);
        }

#if UNITY_5_3_OR_NEWER
        /// <summary>Tracks pixels as WebCamTexture.GetPixels32 and Texture2D.GetPixels32
        /// return them (bottom row first), without flipping them.</summary>
        public static int Update(Color32[] pixels, int width, int height)
        {
            return Update(pixels, width, height, true);
        }

        /// <summary>The same with the row order stated (false: top row first, as a
        /// vertically mirrored camera delivers it).</summary>
        public static int Update(Color32[] pixels, int width, int height, bool bottomUp)
        {
            if (pixels == null) return NotUpdated;
            if (!ValidSides(width, height) || pixels.LongLength < (long)width * height) return BadFrameSize;
            return UpdatePinned(pixels, width, height, width * 4, ZeqPixelFormat.Rgba32, bottomUp);
        }
#endif

#if UNITY_2018_1_OR_NEWER
        /// <summary>Tracks pixels in a NativeArray, e.g. Texture2D.GetRawTextureData
        /// of an RGBA32 texture or a camera readback (bottom row first).</summary>
        public static int Update(NativeArray<Color32> pixels, int width, int height)
        {
            return Update(pixels, width, height, true);
        }

        public static unsafe int Update(NativeArray<Color32> pixels, int width, int height, bool bottomUp)
        {
            if (!pixels.IsCreated) return NotUpdated;
            if (!ValidSides(width, height) || pixels.Length < (long)width * height) return BadFrameSize;
            var data = (IntPtr)NativeArrayUnsafeUtility.GetUnsafeReadOnlyPtr(pixels);
            return Update(data, width, height, width * 4, ZeqPixelFormat.Rgba32, bottomUp);
        }
#endif

        static int UpdatePinned(object array, int width, int height, int rowBytes, ZeqPixelFormat format,
                                bool bottomUp)
        {
            // A pinning handle lives in the runtime's handle table, not on the heap:
            // no garbage per frame.
            GCHandle pin = GCHandle.Alloc(array, GCHandleType.Pinned);
            try
            {
                return Update(pin.AddrOfPinnedObject(), width, height, rowBytes, format, bottomUp);
            }
            finally
            {
                pin.Free();
            }
        }

        static bool ValidSides(int width, int height)
        {
            return width >= 1 && height >= 1 && width <= MaxFrameSide && height <= MaxFrameSide;
        }

        static int BytesPerPixel(ZeqPixelFormat format)
        {
            switch (format)
            {
                case ZeqPixelFormat.Rgba32:
                case ZeqPixelFormat.Bgra32:
                case ZeqPixelFormat.Argb32: return 4;
                case ZeqPixelFormat.Rgb24:
                case ZeqPixelFormat.Bgr24: return 3;
                case ZeqPixelFormat.Grey8: return 1;
                default: return 0;
            }
        }

        static int CheckLayout(long bytes, int width, int height, int rowBytes, ZeqPixelFormat format)
        {
            if (!ValidSides(width, height)) return BadFrameSize;
            int pixelBytes = BytesPerPixel(format);
            long rowUsed = (long)width * pixelBytes;
            if (pixelBytes == 0 || rowBytes < rowUsed) return BadImageLayout;
            // The last row needs only its pixels, not a whole stride.
            if (bytes < (long)rowBytes * (height - 1) + rowUsed) return BadFrameSize;
            return 0;
        }

        public static double WorkTime(int slot) { return ZeqTrackerNative.ZEQ_UnityWorkTime(slot); }

        // ------------------------------------------------------------------
        // Results: all answer only while the last update tracked a face.

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

        /// <summary>Writes the 30 points (x, y pairs, pixels, y down) into the first
        /// 60 floats of points and returns 30; returns 0 and writes nothing when no
        /// face is tracked or the array is shorter than 60.</summary>
        public static int GetPoints(float[] points)
        {
            if (points == null || points.Length < PointFloats) return 0;
            return ZeqTrackerNative.ZEQ_UnityGetPoints(points);
        }

        /// <summary>Writes the 30 confidences (0 to 1) and returns 30; 0 as for GetPoints.</summary>
        public static int GetConfidence(float[] confidence)
        {
            if (confidence == null || confidence.Length < PointCountMax) return 0;
            return ZeqTrackerNative.ZEQ_UnityGetConfidence(confidence);
        }

        /// <summary>A new array of 60 floats, or null when no face is tracked.
        /// Allocates: per frame, use GetPoints(float[]).</summary>
        public static float[] GetPoints()
        {
            var points = new float[PointFloats];
            return GetPoints(points) > 0 ? points : null;
        }

        /// <summary>A new array of 30 confidences, or null. Allocates: per frame,
        /// use GetConfidence(float[]).</summary>
        public static float[] GetConfidence()
        {
            var confidence = new float[PointCountMax];
            return GetConfidence(confidence) > 0 ? confidence : null;
        }

        /// <summary>Head translation for a pinhole camera (focal length and principal
        /// point in pixels), OpenCV camera frame, model units; false when not available.</summary>
        public static bool TryGetTranslation(float focal, float cx, float cy, out float x, out float y, out float z)
        {
            x = y = z = float.NaN;
            ZeqTrackerNative.ZEQ_UnityGetTranslation(ref x, ref y, ref z, focal, cx, cy);
            return !float.IsNaN(x) && !float.IsNaN(y) && !float.IsNaN(z);
        }

        /// <summary>Head position in the image, pixels.</summary>
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
            return camera != null && camera.Length >= 9 && matrix != null && matrix.Length >= TransformFloats &&
                   (distortion == null || distortion.Length >= 5);
        }

        /// <summary>4 x 4 head transform, column by column, in OpenCV's camera frame
        /// and model units. matrix is changed only when the result is true.</summary>
        public static bool TryGetTransform(float[] camera, float[] distortion, float[] matrix)
        {
            if (!CheckTransformArguments(camera, distortion, matrix)) return false;
            // The library leaves the matrix untouched when it has no pose, and always
            // writes 1 into element 15 when it has one.
            float kept = matrix[15];
            matrix[15] = float.NaN;
            ZeqTrackerNative.ZEQ_UnityGetTransform(matrix, camera, distortion);
            return Solved(matrix, kept);
        }

        /// <summary>The same from the listed landmarks only (indices 0 to 65 of the
        /// full face, see README.md; at least 4).</summary>
        public static bool TryGetTransform(float[] camera, float[] distortion, int[] indices, float[] matrix)
        {
            if (!CheckTransformArguments(camera, distortion, matrix) || indices == null) return false;
            float kept = matrix[15];
            matrix[15] = float.NaN;
            ZeqTrackerNative.ZEQ_UnityGetTransformEX(matrix, camera, distortion, indices, indices.Length);
            return Solved(matrix, kept);
        }

        static bool Solved(float[] matrix, float kept)
        {
            if (!float.IsNaN(matrix[15])) return true;
            matrix[15] = kept;
            return false;
        }

        // ------------------------------------------------------------------
        // Camera

        /// <summary>Frames of the plug-in's camera. Subscribe before opening the
        /// camera, or the size announcement is missed. Handlers run on the thread
        /// that polls; an exception from one is logged and does not stop the others.</summary>
        public static event FrameHandler FrameReceived
        {
            add
            {
                if (value == null) return;
                HookLifetime();
                var grown = new FrameHandler[s_handlers.Length + 1];
                Array.Copy(s_handlers, grown, s_handlers.Length);
                grown[s_handlers.Length] = value;
                s_handlers = grown;
                if (!s_forwarderRegistered)
                {
                    ZeqTrackerNative.ZEQ_UnityRegisterCallbacks(IntPtr.Zero, s_forwarder);
                    s_forwarderRegistered = true;
                }
            }
            remove
            {
                int index = Array.LastIndexOf(s_handlers, value);
                if (index < 0) return;
                var shrunk = new FrameHandler[s_handlers.Length - 1];
                Array.Copy(s_handlers, 0, shrunk, 0, index);
                Array.Copy(s_handlers, index + 1, shrunk, index, shrunk.Length - index);
                s_handlers = shrunk;
                if (shrunk.Length == 0 && s_forwarderRegistered)
                {
                    ZeqTrackerNative.ZEQ_UnityRegisterCallbacks(IntPtr.Zero, null);
                    s_forwarderRegistered = false;
                }
            }
        }

        // The one entry from native code: static, so IL2CPP can compile a native
        // thunk for it, and it never lets an exception unwind into the caller.
        [AOT.MonoPInvokeCallback(typeof(ZeqTrackerNative.FrameCallback))]
        static void ForwardFrame(ulong width, ulong height, IntPtr rgba, int zero)
        {
            try
            {
                FrameHandler[] handlers = s_handlers;
                int w = width > int.MaxValue ? int.MaxValue : (int)width;
                int h = height > int.MaxValue ? int.MaxValue : (int)height;
                for (int i = 0; i < handlers.Length; ++i)
                {
                    try
                    {
                        handlers[i](w, h, rgba);
                    }
                    catch (Exception e)
                    {
                        LogException(e);
                    }
                }
            }
            catch (Exception e)
            {
                LogException(e);
            }
        }

        public static IntPtr RenderEventFunction { get { return ZeqTrackerNative.NativeRendererCallback(); } }

        /// <summary>Opens a camera. rotation: 0 = 90 degrees clockwise, 1 = 180, 2 = 90
        /// counter-clockwise, other = none. 0 on success, -1 when it cannot be opened.</summary>
        public static int OpenCamera(int device, int width, int height, int fps, int rotation)
        {
            HookLifetime();
            int result = ZeqTrackerNative.ZEQ_UnityCreateVideoCapture(device, width, height, fps, rotation);
            s_sessionOpen = true;
            return result;
        }

        /// <summary>Replays a video file as the camera.</summary>
        public static int OpenVideoFile(string path, int rotation)
        {
            if (path == null) return -1;
            HookLifetime();
            int result = ZeqTrackerNative.ZEQ_UnityCreateVideoCaptureFromFile(path, rotation);
            s_sessionOpen = true;
            return result;
        }

        /// <summary>Grabs, tracks and hands over one camera frame.</summary>
        public static void PollCamera() { ZeqTrackerNative.ZEQ_UnityUpdateVideoCapture(); }

        public static void CloseCamera() { ZeqTrackerNative.ZEQ_UnityCloseVideoCapture(); }

        // ------------------------------------------------------------------
        // Images

        /// <summary>Draws the results into a bottom-up RGBA buffer (first row = bottom of the picture).</summary>
        public static bool ShowResults(byte[] rgba, int width, int height, float fps)
        {
            if (rgba == null || !ValidSides(width, height) || rgba.LongLength < (long)width * height * 4) return false;
            ZeqTrackerNative.ZEQ_UnityShowResults(rgba, width, height, fps);
            return true;
        }

        /// <summary>Flips an RGBA buffer in place: 0 top-bottom, &gt; 0 left-right, &lt; 0 both.</summary>
        public static bool FlipImage(byte[] rgba, int width, int height, int flipCode)
        {
            if (rgba == null || !ValidSides(width, height) || rgba.LongLength < (long)width * height * 4) return false;
            ZeqTrackerNative.ZEQ_UnityFlipImage(rgba, width, height, flipCode);
            return true;
        }

        // ------------------------------------------------------------------
        // Messages

        static void LogInitFailure(int result)
        {
            string reason = LastError;
            LogError("zeqtracker: init failed (" + result + ")" + (reason.Length > 0 ? ": " + reason : ""));
        }

        static void LogError(string message)
        {
#if UNITY_5_3_OR_NEWER
            Debug.LogError(message);
#else
            Console.Error.WriteLine(message);
#endif
        }

        static void LogException(Exception e)
        {
            try
            {
#if UNITY_5_3_OR_NEWER
                Debug.LogException(e);
#else
                Console.Error.WriteLine("zeqtracker: " + e);
#endif
            }
            catch (Exception)
            {
                // Nowhere left to report it; above all it must not reach native code.
            }
        }
    }
}
