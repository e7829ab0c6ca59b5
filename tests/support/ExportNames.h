#pragma once
// Every export of the plug-in, in the order of its public header: the names a
// host binds. Shared by the dlopen host test and the Windows host program.

namespace zeq {
namespace testing {

inline const char* const kExportNames[] = {
    "ZEQ_UnityTrackerInit", "ZEQ_UnityTrackerUpdate", "ZEQ_UnityTrackerRelease", "ZEQ_UnityTrackerEnable",
    "ZEQ_UnityWorkTime", "ZEQ_UnityGetTrackerPointNum", "ZEQ_UnityGetPitchRadians", "ZEQ_UnityGetYawRadians",
    "ZEQ_UnityGetRollRadians", "ZEQ_UnityGetPoints", "ZEQ_UnityGetConfidence", "ZEQ_UnityGetSmoothing",
    "ZEQ_UnitySetSmoothing", "ZEQ_UnityGetTranslation", "ZEQ_UnityGetTranslationInImage",
    "ZEQ_UnityGetScaleInImage", "ZEQ_UnityGetScale3D", "ZEQ_UnityCalibration", "ZEQ_UnityGetTransform",
    "ZEQ_UnityGetTransformEX", "ZEQ_UnityRegisterCallbacks", "NativeRendererCallback",
    "ZEQ_UnityCreateVideoCapture", "ZEQ_UnityCreateVideoCaptureFromFile", "ZEQ_UnityUpdateVideoCapture",
    "ZEQ_UnityCloseVideoCapture", "ZEQ_UnityShowResults", "ZEQ_UnityFlipImage", "createzeqTracker",
    "destroyzeqTracker", "ZEQ_UnityTrackerUpdateImage", "ZEQ_UnityTrackerInitFromMemory",
    "ZEQ_UnityGetLastError"};

}  // namespace testing
}  // namespace zeq
