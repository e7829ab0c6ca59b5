#pragma once
// The bridge's state and helpers behind the exported functions. Nothing here is
// exported from the library; the unit tests link the bridge statically to reach it.

#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/objdetect.hpp>
#include <opencv2/videoio.hpp>

#include "plugin/UnityPluginInterface.h"
#include "engine/FaceDetector.h"
#include "tracker/Tracker.h"

extern zeq::Tracker tracker;
extern zeq::FaceDetector faceDetector;
extern cv::VideoCapture camera;
extern cv::Mat img;
extern cv::Mat rgbaPreview;
extern bool isTrackerInit;
extern bool isTrackerEnable;
extern int state;
extern int g_rotateCode;
extern bool needs_reset;
extern double g_dTimeCost[10];
// The grey frame the tracker reads, reused from frame to frame.
extern cv::Mat imgGrey;
extern cv::Mat imgGreyScratch;
// Message of the most recent failure, for ZEQ_UnityGetLastError.
extern std::string g_lastError;
// The last successful initialisation loaded a tracker model.
extern bool isModelLoaded;

// Update from a ready 8-bit grey image: no detector, no enable check, no timing.
// -41 before init; otherwise stores the facade's result in the status and returns
// 0 when tracked, -4 when not. A grey image of the wrong type or size gives -53
// and changes nothing.
int UpdateTracker(const cv::Mat& grey);
// Kept for old callers; always -1.
int ZEQ_UnityLoad(char* unused);

namespace zeq {
namespace plugin {

// Status codes beyond the engine's own results.
constexpr int kStatusDisabled = 2;
constexpr int kStatusNotUpdated = -1;
constexpr int kStatusNotInitialised = -41;
constexpr int kStatusNoFace = -50;
constexpr int kStatusPlacementRefused = -51;
constexpr int kStatusEngineError = -52;
constexpr int kStatusBadFrameSize = -53;
constexpr int kStatusNoDetector = -54;
constexpr int kStatusInternalFailure = -55;
constexpr int kStatusBadLayout = -56;


bool validFrameSize(int width, int height);

// Truncation towards zero that maps NaN to 0 and saturates at the int range.
int truncateToInt(float v);

// Mean of 100 x confidence over n values in single precision; 0 when n is 0.
float meanConfidencePercent(const float* confidence, int n);

// The eight overlay lines, from angles in radians, the mean confidence in
// percent, the head translation and the host's frame rate.
std::vector<std::string> overlayLines(float pitch, float yaw, float roll, float meanConfidence, float x,
                                      float y, float z, float fps);

}  // namespace plugin
}  // namespace zeq
