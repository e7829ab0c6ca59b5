/*
 * zeqtracker: the plug-in's flat C interface.
 *
 * The library is built as libzeqtracker.so (Linux) or zeqtracker.bundle
 * (macOS) so that a host's [DllImport("zeqtracker")] finds it. Exactly the
 * functions declared below are exported; nothing of the engine or of OpenCV is
 * visible. Every function may be called in any order, before or after
 * initialisation and after release; none lets an exception or a crash escape
 * into the host, and failures are reported through the results documented here.
 *
 * Threading: call everything from one thread, one call at a time. The frame
 * callback runs synchronously inside the call that triggers it.
 *
 * Conventions
 *  - Images are RGBA, 8 bits per channel: a buffer of width x height pixels
 *    holds exactly width * height * 4 bytes, rows packed at width * 4 bytes.
 *    The caller guarantees the buffer is that large; width and height must each
 *    lie in 1 .. 16384 (ZEQ_MAX_FRAME_SIDE), other sizes are rejected.
 *  - Image coordinates are pixels of the frame given to ZEQ_UnityTrackerUpdate,
 *    x to the right and y DOWN, origin at the first pixel of the buffer.
 *  - Angles are radians (head angles) or degrees (fields of view).
 *  - Camera-space results (translation, 4 x 4 transform) are in the units of the
 *    tracker's 3D face model, in a pinhole camera frame with x to the right,
 *    y down and z along the viewing direction (right-handed, as in OpenCV).
 *  - Camera matrices are 9 floats, row-major: fx, 0, cx, 0, fy, cy, 0, 0, 1.
 *  - bool is one byte (marshal as UnmanagedType.I1).
 *
 * Status codes (returned by ZEQ_UnityTrackerUpdate; all but 2 are also kept as
 * the "status" that gates the getters):
 *     2  tracking is disabled; the frame was ignored and the status is unchanged
 *     1  the face is tracked in this frame; results are valid
 *     0  the face was lost (or there was nothing to track); the next frame searches
 *    -1  not updated since init/release, or the frame pointer was null
 *   -41  update before a successful ZEQ_UnityTrackerInit
 *   -50  searching: the detector found no face in this frame
 *   -51  searching: the face could not be placed (also: the tracker model was
 *        not loaded, i.e. init returned -1)
 *   -52  the engine reported an internal error code
 *   -53  width or height outside 1 .. 16384
 *   -54  searching: no face detector is loaded (init returned -2)
 *   -55  an internal failure (e.g. out of memory) was contained; searching resumes
 *   -56  ZEQ_UnityTrackerUpdateImage only: unknown pixel format, or a row stride
 *        smaller than width x bytes per pixel; nothing changes (not kept as the
 *        status)
 *
 * "Gated" functions answer only while the status is positive (> 0); otherwise
 * they return 0 / 0.0 / false and leave every output buffer untouched. All
 * output pointers may be null: a function given a null output writes nothing.
 *
 * Initialisation and frames
 *   int  ZEQ_UnityTrackerInit(modelDir, reserved, reserved)
 *        Loads "<modelDir>/zeqTracker.model" (+ "/3d.pts") and the face detector
 *        "<modelDir>/face.xml"; modelDir has no trailing separator; the reserved
 *        pointers are ignored. Returns 0 on success; -1 when the tracker model
 *        cannot be loaded (tracking is still enabled, but searching then reports
 *        -51); -2 when the detector cannot be loaded or its cascade is invalid
 *        (nothing changes); -3 for a null modelDir (nothing changes). Both files
 *        are loaded before anything is replaced: a failing init leaves a working
 *        tracker as it was (a -1 after an earlier successful init changes
 *        nothing either). A successful init sets the status to -1 and searches
 *        on the next frame. ZEQ_UnityGetLastError tells why an init failed.
 *   int  ZEQ_UnityTrackerInitFromMemory(const unsigned char* model, int modelBytes,
 *                                       const char* cascadeXml, int cascadeBytes)
 *        The same with the contents of zeqTracker.model and face.xml in memory
 *        (no files are written); the cascade text need not end with a NUL.
 *        Returns 0, -1, -2 as above; -3 for a null pointer or a byte count <= 0.
 *   int  ZEQ_UnityTrackerUpdate(rgba, width, height)
 *        Tracks one RGBA frame; returns a status code above. Searching frames run
 *        the face detector and place the tracker; tracked frames only update it.
 *   int  ZEQ_UnityTrackerUpdateImage(const unsigned char* pixels, int width,
 *                                    int height, int rowBytes, int format, int flags)
 *        The same per-frame work and status for other layouts, read in place:
 *        format 0 RGBA32, 1 BGRA32, 2 ARGB32, 3 RGB24, 4 BGR24, 5 GREY8 (R8);
 *        rowBytes (>= width x bytes per pixel) between row starts; flags bit 0
 *        (ZEQ_IMAGE_BOTTOM_UP) when the first row in memory is the picture's
 *        BOTTOM row, as in Unity textures and Color32 arrays. Results are always
 *        in top-down image coordinates (y down from the picture's top row).
 *        -56 for an unknown format or a stride that does not fit.
 *   int  ZEQ_UnityGetLastError(char* buffer, int capacity)
 *        The message of the most recent failure of init, update or capture,
 *        NUL-terminated and truncated to capacity bytes; returns its full length
 *        without the NUL (0 when there is none). buffer may be null.
 *   void ZEQ_UnityTrackerRelease(void)
 *        Closes the camera, destroys the tracker, disables tracking, status -1.
 *        The detector, callbacks, rotation code and work times are kept.
 *   void ZEQ_UnityTrackerEnable(bool enable)
 *        Enables/disables frame processing (allowed before init).
 *   double ZEQ_UnityWorkTime(int slot)
 *        Processor time in seconds: slot 0 the last update that reached the
 *        tracker, slot 1 the last ZEQ_UnityShowResults that drew; slots 2..9 are
 *        0; any other slot -1.0.
 *
 * Results (gated)
 *   int   ZEQ_UnityGetTrackerPointNum(void)      30 (0 when gated off)
 *   float ZEQ_UnityGet{Pitch,Yaw,Roll}Radians(void)  head angles in radians (0)
 *   int   ZEQ_UnityGetPoints(float* dst)         writes 60 floats (x, y pairs,
 *         pixels, 240 bytes) and returns 30; 0 without writing when gated off
 *   int   ZEQ_UnityGetConfidence(float* dst)     writes 30 floats in [0, 1]
 *         (120 bytes) and returns 30; 0 without writing when gated off
 *   bool  ZEQ_UnityGetSmoothing(void)            optical-flow smoothing flag (false)
 *   void  ZEQ_UnitySetSmoothing(bool)            ignored while gated off
 *   void  ZEQ_UnityGetTranslation(x, y, z, focal, cx, cy)
 *         Head translation for a pinhole camera with focal length `focal`
 *         (pixels, > 0) and principal point (cx, cy): 3D model units, camera
 *         frame above. Outputs untouched when gated off or when it cannot be
 *         computed (model without a 3D face, invalid camera values).
 *   void  ZEQ_UnityGetTranslationInImage(float* x, float* y)
 *         Head position in the image, pixels.
 *   float ZEQ_UnityGetScaleInImage(void)         pixels per model unit (0.0)
 *   void  ZEQ_UnityGetTransform(float* m16, float* camera9, float* dist5)
 *         4 x 4 rigid transform, stored column by column, mapping 3D model
 *         coordinates into the camera frame above; m16[3], m16[7], m16[11] are 0,
 *         m16[15] is 1, m16[12..14] the translation. dist5 is null or the five
 *         OpenCV distortion coefficients k1, k2, p1, p2, k3. Successive calls
 *         refine the previous pose. m16 is untouched when gated off or when no
 *         pose can be solved.
 *   void  ZEQ_UnityGetTransformEX(m16, camera9, dist5, int* indices, int count)
 *         The same from the landmarks listed in indices (0 .. 65, repeats
 *         allowed). m16 is untouched when count < 4, indices is null or an index
 *         is out of range.
 *
 * Results (not gated)
 *   void  ZEQ_UnityGetScale3D(float* x, float* y, float* z)
 *         Face width and nose length relative to the 3D reference face; z is 1.
 *         1, 1, 1 when no face is tracked (also before init). Untouched when the
 *         tracker model has no usable 3D face.
 *   void  ZEQ_UnityCalibration(float* camera9, float width, float height,
 *                              float* fovX, float* fovY)
 *         Horizontal and vertical fields of view in degrees of a camera matrix
 *         for an image of width x height pixels (truncated to integers). Outputs
 *         untouched for non-finite values, fx or fy not positive, or an image side
 *         outside 1 .. 16384.
 *
 * Camera (the library opens the camera and hands frames back to the host)
 *   typedef void (*ZEQ_FrameCallback)(uint64_t width, uint64_t height,
 *                                     unsigned char* rgba, int32_t zero)
 *   void ZEQ_UnityRegisterCallbacks(void* render, ZEQ_FrameCallback frame)
 *        Stores both pointers (render is never called); either may be null.
 *   ZEQ_RenderEventFunc NativeRendererCallback(void)
 *        A render-event function (void fn(int eventId)) that does nothing.
 *   int  ZEQ_UnityCreateVideoCapture(device, width, height, fps, rotation)
 *        Opens camera `device` and requests the size and rate; announces the
 *        granted size through the frame callback with rgba == NULL. Returns 0,
 *        or -1 when the camera cannot be opened. rotation: 0 = 90 degrees
 *        clockwise, 1 = 180 degrees, 2 = 90 degrees counter-clockwise, other =
 *        none; rotations 0 and 2 swap the announced width and height.
 *   int  ZEQ_UnityCreateVideoCaptureFromFile(const char* path, int rotation)
 *        The same with a video file as the camera (replaying recorded clips).
 *        Returns 0, or -1 when path is null or the file cannot be opened.
 *   void ZEQ_UnityUpdateVideoCapture(void)
 *        Grabs one frame, rotates it, tracks it (as ZEQ_UnityTrackerUpdate) and
 *        hands the RGBA frame to the frame callback; the pixels belong to the
 *        library and stay valid until the next poll or release. Does nothing when
 *        no capture is open or no frame is available (end of a file).
 *   void ZEQ_UnityCloseVideoCapture(void)        harmless when nothing is open
 *
 * Images
 *   void ZEQ_UnityShowResults(rgba, width, height, float fps)
 *        Gated. Draws the 30 points and eight text lines (angles, confidence,
 *        translation, fps) into a buffer whose FIRST row is the BOTTOM row of the
 *        picture (as a texture read back from the GPU); untouched when gated off.
 *   void ZEQ_UnityFlipImage(rgba, width, height, int flipCode)
 *        Flips in place: 0 top-bottom, > 0 left-right, < 0 both.
 *
 * Factory
 *   createzeqTracker() / destroyzeqTracker(t): an independent tracker object for
 *   other native callers; destroy accepts null.
 */
#pragma once

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32)
#define ZEQ_PLUGIN_EXPORT __declspec(dllexport)
#else
#define ZEQ_PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

#define ZEQ_MAX_FRAME_SIDE 16384
/* ZEQ_UnityTrackerUpdateImage: pixel formats and flags. */
#define ZEQ_FORMAT_RGBA32 0
#define ZEQ_FORMAT_BGRA32 1
#define ZEQ_FORMAT_ARGB32 2
#define ZEQ_FORMAT_RGB24 3
#define ZEQ_FORMAT_BGR24 4
#define ZEQ_FORMAT_GREY8 5
#define ZEQ_IMAGE_BOTTOM_UP 1

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*ZEQ_FrameCallback)(uint64_t width, uint64_t height, unsigned char* rgba, int32_t zero);
typedef void (*ZEQ_RenderEventFunc)(int eventId);

ZEQ_PLUGIN_EXPORT int ZEQ_UnityTrackerInit(const char* modelDir, const void* reserved1, const void* reserved2);
ZEQ_PLUGIN_EXPORT int ZEQ_UnityTrackerUpdate(unsigned char* rgba, int width, int height);
ZEQ_PLUGIN_EXPORT int ZEQ_UnityTrackerInitFromMemory(const unsigned char* model, int modelBytes,
                                                     const char* cascadeXml, int cascadeBytes);
ZEQ_PLUGIN_EXPORT int ZEQ_UnityTrackerUpdateImage(const unsigned char* pixels, int width, int height, int rowBytes,
                                                  int format, int flags);
ZEQ_PLUGIN_EXPORT int ZEQ_UnityGetLastError(char* buffer, int capacity);
ZEQ_PLUGIN_EXPORT void ZEQ_UnityTrackerRelease(void);
ZEQ_PLUGIN_EXPORT void ZEQ_UnityTrackerEnable(bool enable);
ZEQ_PLUGIN_EXPORT double ZEQ_UnityWorkTime(int slot);

ZEQ_PLUGIN_EXPORT int ZEQ_UnityGetTrackerPointNum(void);
ZEQ_PLUGIN_EXPORT float ZEQ_UnityGetPitchRadians(void);
ZEQ_PLUGIN_EXPORT float ZEQ_UnityGetYawRadians(void);
ZEQ_PLUGIN_EXPORT float ZEQ_UnityGetRollRadians(void);
ZEQ_PLUGIN_EXPORT int ZEQ_UnityGetPoints(float* dst);
ZEQ_PLUGIN_EXPORT int ZEQ_UnityGetConfidence(float* dst);
ZEQ_PLUGIN_EXPORT bool ZEQ_UnityGetSmoothing(void);
ZEQ_PLUGIN_EXPORT void ZEQ_UnitySetSmoothing(bool smoothing);

ZEQ_PLUGIN_EXPORT void ZEQ_UnityGetTranslation(float* x, float* y, float* z, float focal, float cx, float cy);
ZEQ_PLUGIN_EXPORT void ZEQ_UnityGetTranslationInImage(float* x, float* y);
ZEQ_PLUGIN_EXPORT float ZEQ_UnityGetScaleInImage(void);
ZEQ_PLUGIN_EXPORT void ZEQ_UnityGetScale3D(float* x, float* y, float* z);
ZEQ_PLUGIN_EXPORT void ZEQ_UnityCalibration(float* camera, float width, float height, float* fovX, float* fovY);
ZEQ_PLUGIN_EXPORT void ZEQ_UnityGetTransform(float* matrix, float* camera, float* distortion);
ZEQ_PLUGIN_EXPORT void ZEQ_UnityGetTransformEX(float* matrix, float* camera, float* distortion, int* indices,
                                               int count);

ZEQ_PLUGIN_EXPORT void ZEQ_UnityRegisterCallbacks(void* render, ZEQ_FrameCallback frame);
ZEQ_PLUGIN_EXPORT ZEQ_RenderEventFunc NativeRendererCallback(void);
ZEQ_PLUGIN_EXPORT int ZEQ_UnityCreateVideoCapture(int device, int width, int height, int fps, int rotation);
ZEQ_PLUGIN_EXPORT int ZEQ_UnityCreateVideoCaptureFromFile(const char* path, int rotation);
ZEQ_PLUGIN_EXPORT void ZEQ_UnityUpdateVideoCapture(void);
ZEQ_PLUGIN_EXPORT void ZEQ_UnityCloseVideoCapture(void);

ZEQ_PLUGIN_EXPORT void ZEQ_UnityShowResults(unsigned char* rgba, int width, int height, float fps);
ZEQ_PLUGIN_EXPORT void ZEQ_UnityFlipImage(unsigned char* rgba, int width, int height, int flipCode);

#ifdef __cplusplus
}
#endif
