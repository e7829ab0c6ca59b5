#include "plugin/UnityPluginInterface.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>
#include <opencv2/videoio.hpp>
#include <opencv2/videoio/registry.hpp>

#include "plugin/CascadeValidation.h"
#include "plugin/FrameConversion.h"
#include "plugin/PluginInternal.h"
#include "tracker/Tracker.h"

// Plug-in state: constructed at load in this order, destroyed in reverse at unload.
zeq::Tracker tracker;
zeq::FaceDetector faceDetector;
cv::VideoCapture camera;
cv::Mat img;
cv::Mat rgbaPreview;
bool isTrackerInit = false;
bool isTrackerEnable = false;
int state = -1;
int g_rotateCode = -1;
bool needs_reset = true;
double g_dTimeCost[10] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
cv::Mat imgGrey;
cv::Mat imgGreyScratch;
std::string g_lastError;
bool isModelLoaded = false;

static void* sfpRender = nullptr;
static ZEQ_FrameCallback sfpUpdate = nullptr;

namespace zeq {
namespace plugin {

bool validFrameSize(int width, int height) {
  return width >= 1 && height >= 1 && width <= ZEQ_MAX_FRAME_SIDE && height <= ZEQ_MAX_FRAME_SIDE;
}

int truncateToInt(float v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.f) return INT_MAX;
  if (v <= -2147483648.f) return INT_MIN;
  return static_cast<int>(v);
}

float meanConfidencePercent(const float* confidence, int n) {
  if (!confidence || n <= 0) return 0.f;
  float sum = 0.f;
  for (int i = 0; i < n; ++i) sum += 100.f * confidence[i];
  return sum / n;
}

std::vector<std::string> overlayLines(float pitch, float yaw, float roll, float meanConfidence, float x,
                                      float y, float z, float fps) {
  const float toDegrees = 57.29578f;
  std::vector<std::string> lines;
  std::stringstream ss;
  const auto take = [&]() {
    lines.push_back(ss.str());
    ss.str(std::string());
    ss.clear();
  };
  ss << "Pitch: " << truncateToInt(pitch * toDegrees);
  take();
  ss << "Yaw: " << truncateToInt(yaw * toDegrees);
  take();
  ss << "Roll: " << truncateToInt(roll * toDegrees);
  take();
  ss << "Conf: " << truncateToInt(meanConfidence);
  take();
  ss << "head.x: " << truncateToInt(x);
  take();
  ss << "head.y: " << truncateToInt(y);
  take();
  ss << "head.z: " << truncateToInt(z);
  take();
  ss.setf(std::ios::fixed, std::ios::floatfield);
  ss.precision(6);
  ss << "fps: " << fps;
  take();
  return lines;
}

}  // namespace plugin
}  // namespace zeq

namespace {

using namespace zeq::plugin;

void OnRenderEvent(int /*eventId*/) {}

double secondsSince(std::clock_t start) { return static_cast<double>(std::clock() - start) / 1000000.0; }

// Announces the frame size the host will receive (pixels null, last argument 0).
void announceSize(double width, double height) {
  if (!sfpUpdate) return;
  const auto toSize = [](double v) -> uint64_t { return std::isfinite(v) && v > 0.0 ? static_cast<uint64_t>(v) : 0; };
  if (g_rotateCode == 0 || g_rotateCode == 2) {
    sfpUpdate(toSize(height), toSize(width), nullptr, 0);
  } else {
    sfpUpdate(toSize(width), toSize(height), nullptr, 0);
  }
}

void setLastError(const std::string& message) { g_lastError = message; }

// Runs the detector on the whole grey frame and places the tracker on the first
// face; 0 when placed, else the status to report.
int searchFace(const cv::Mat& grey) {
  if (faceDetector.empty()) {
    setLastError("No face detector is loaded: initialise with a valid face.xml");
    return kStatusNoDetector;
  }
  std::vector<cv::Rect> faces;
  faceDetector.search(grey, faces);
  if (faces.empty()) return kStatusNoFace;
  const cv::Rect box = zeq::FaceDetector::trackerBox(faces.front());
  if (!tracker.reset(box.x, box.y, box.width, box.height)) {
    setLastError(isModelLoaded ? "The tracker could not be placed on the detected face"
                               : "The tracker could not be placed: no tracker model is loaded");
    return kStatusPlacementRefused;
  }
  return 0;
}

std::string frameSizeMessage(const FrameView& frame) {
  return "Frame size " + std::to_string(frame.width) + " x " + std::to_string(frame.height) +
         " is outside 1 .. " + std::to_string(ZEQ_MAX_FRAME_SIDE);
}

int trackFrame(const FrameView& frame) {
  const std::clock_t start = std::clock();
  int status = kStatusNotUpdated;
  if (!isTrackerEnable) return kStatusDisabled;
  if (!frame.pixels) {
    state = kStatusNotUpdated;
    return kStatusNotUpdated;
  }
  if (!isTrackerInit) {
    setLastError("Update before a successful initialisation");
    state = kStatusNotInitialised;
    return kStatusNotInitialised;
  }
  if (!validFrameSize(frame.width, frame.height)) {
    setLastError(frameSizeMessage(frame));
    state = kStatusBadFrameSize;
    return kStatusBadFrameSize;
  }
  if (!validLayout(frame)) {
    setLastError("Unknown pixel format " + std::to_string(frame.format) + " or row stride " +
                 std::to_string(frame.rowBytes) + " too small for width " + std::to_string(frame.width));
    return kStatusBadLayout;
  }
  // While a face is tracked only the part of the frame the tracker reads is
  // converted; the detector needs all of it. A region of most of the frame is
  // converted whole: one contiguous pass is cheaper than many short rows.
  const cv::Rect whole(0, 0, frame.width, frame.height);
  cv::Rect region = whole;
  if (needs_reset || !tracker.frameRegion(frame.width, frame.height, region) ||
      4 * static_cast<double>(region.area()) > 3.0 * whole.area()) {
    region = whole;
  }
  convertToGrey(frame, region, imgGrey, imgGreyScratch);

  if (needs_reset) {
    const int found = searchFace(imgGrey);
    if (found != 0) {
      state = found;
      return found;
    }
    needs_reset = false;
  }

  const int result = tracker.update(imgGrey.data, imgGrey.cols, imgGrey.rows);
  state = result;
  if (result < 0) {
    needs_reset = true;
    status = kStatusEngineError;
  } else if (result == 0) {
    needs_reset = true;
    status = 0;
  } else {
    status = result;
  }
  state = status;
  g_dTimeCost[0] = secondsSince(start);
  return status;
}

int containFailure(const char* what) {
  needs_reset = true;
  state = kStatusInternalFailure;
  setLastError(std::string("Contained failure while tracking: ") + what);
  return kStatusInternalFailure;
}

// Swaps the freshly loaded tracker and detector in only when the detector
// loaded, and keeps a working tracker when the new model did not load, so a bad
// re-initialisation never breaks tracking that worked.
int finishInit(zeq::Tracker& candidate, int modelResult, const std::string& cascadeText,
               std::string cascadeReason) {
  zeq::FaceDetector detector;
  const bool detectorLoaded = cascadeReason.empty() && loadCascade(cascadeText, detector, cascadeReason);
  const std::string modelReason = modelResult == 0 ? std::string() : candidate.lastError();
  if (!detectorLoaded) {
    setLastError(modelReason.empty() ? cascadeReason : modelReason + "; " + cascadeReason);
    return -2;
  }
  if (modelResult != 0 && isTrackerInit && isModelLoaded) {
    setLastError(modelReason + " (the tracker loaded earlier stays in use)");
    return -1;
  }
  tracker.swap(candidate);
  faceDetector = detector;
  isModelLoaded = modelResult == 0;
  setLastError(tracker.lastError());
  state = kStatusNotUpdated;
  needs_reset = true;
  isTrackerInit = true;
  isTrackerEnable = true;
  return modelResult == 0 ? 0 : -1;
}

// One initialisation: the model into a fresh tracker (`loadModel`, 0 or -1),
// the cascade's text (`readCascade`, which leaves a reason when it fails), then
// finishInit. Nothing that fails inside reaches the host.
template <typename LoadModel, typename ReadCascade>
int initialiseWith(LoadModel loadModel, ReadCascade readCascade) {
  try {
    zeq::Tracker candidate;
    int result = -1;
    try {
      result = loadModel(candidate);
    } catch (...) {
      result = -1;  // treated like a model that cannot be loaded
    }
    std::string text, reason;
    readCascade(text, reason);
    return finishInit(candidate, result, text, reason);
  } catch (const std::exception& e) {
    setLastError(std::string("Contained failure during initialisation: ") + e.what());
    return -1;
  } catch (...) {
    return -1;
  }
}

// The platform's own camera API: the catch-all probe also tries gPhoto2, which
// leaks and stalls on every failed open.
int cameraApi() {
#if defined(_WIN32)
  return cv::CAP_DSHOW;
#elif defined(__APPLE__)
  return cv::CAP_AVFOUNDATION;
#else
  return cv::CAP_V4L2;
#endif
}

bool openVideoFile(const std::string& path) {
  // Probing every back end for a file that is not there only fills the log.
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  std::fclose(f);
  for (const cv::VideoCaptureAPIs api : cv::videoio_registry::getStreamBackends()) {
    if (api == cv::CAP_GPHOTO2) continue;
    if (camera.open(path, api) && camera.isOpened()) return true;
  }
  return false;
}

void rotateCameraFrame() {
  cv::Mat turned;
  switch (g_rotateCode) {
    case 0:
      cv::transpose(img, turned);
      cv::flip(turned, img, 1);
      break;
    case 1:
      cv::flip(img, img, -1);
      break;
    case 2:
      cv::transpose(img, turned);
      cv::flip(turned, img, 0);
      break;
    default:
      break;
  }
}

// The camera frame as RGBA in rgbaPreview; false for a pixel format it cannot convert.
bool convertCameraFrame() {
  if (img.depth() != CV_8U) return false;
  switch (img.channels()) {
    case 3:
      cv::cvtColor(img, rgbaPreview, cv::COLOR_BGR2RGBA);
      return true;
    case 4:
      cv::cvtColor(img, rgbaPreview, cv::COLOR_BGRA2RGBA);
      return true;
    case 1:
      cv::cvtColor(img, rgbaPreview, cv::COLOR_GRAY2RGBA);
      return true;
    default:
      return false;
  }
}

}  // namespace

int UpdateTracker(const cv::Mat& grey) {
  if (!isTrackerInit) return kStatusNotInitialised;
  if (grey.type() != CV_8UC1 || !grey.isContinuous() || !validFrameSize(grey.cols, grey.rows)) {
    return kStatusBadFrameSize;
  }
  state = tracker.update(grey.data, grey.cols, grey.rows);
  if (state > 0) {
    needs_reset = false;
    return 0;
  }
  needs_reset = true;
  return -4;
}

int ZEQ_UnityLoad(char* /*unused*/) { return -1; }

extern "C" {

int ZEQ_UnityTrackerInit(const char* modelDir, const void* /*reserved1*/, const void* /*reserved2*/) {
  if (!modelDir) {
    setLastError("Initialisation with a null model directory");
    return -3;
  }
  return initialiseWith([modelDir](zeq::Tracker& t) { return t.initialise(modelDir); },
                        [modelDir](std::string& text, std::string& reason) {
                          readCascadeFile(std::string(modelDir) + "/face.xml", text, reason);
                        });
}

int ZEQ_UnityTrackerInitFromMemory(const unsigned char* model, int modelBytes, const char* cascadeXml,
                                   int cascadeBytes) {
  if (!model || !cascadeXml || modelBytes <= 0 || cascadeBytes <= 0) {
    setLastError("Initialisation from memory with a null buffer or a byte count <= 0");
    return -3;
  }
  return initialiseWith(
      [=](zeq::Tracker& t) { return t.initialiseFromMemory(model, static_cast<std::size_t>(modelBytes)); },
      [=](std::string& text, std::string& reason) {
        if (cascadeBytes > kMaxCascadeBytes) {
          reason = "Invalid face detector cascade: larger than 64 MB";
          return;
        }
        text.assign(cascadeXml, static_cast<std::size_t>(cascadeBytes));
      });
}

int ZEQ_UnityTrackerUpdate(unsigned char* rgba, int width, int height) {
  try {
    FrameView frame;
    frame.pixels = rgba;
    frame.width = width;
    frame.height = height;
    frame.rowBytes = width > 0 ? static_cast<std::size_t>(width) * 4 : 0;
    frame.format = kRGBA32;
    return trackFrame(frame);
  } catch (const std::exception& e) {
    return containFailure(e.what());
  } catch (...) {
    return containFailure("unknown exception");
  }
}

int ZEQ_UnityTrackerUpdateImage(const unsigned char* pixels, int width, int height, int rowBytes, int format,
                                int flags) {
  try {
    FrameView frame;
    frame.pixels = pixels;
    frame.width = width;
    frame.height = height;
    frame.rowBytes = rowBytes > 0 ? static_cast<std::size_t>(rowBytes) : 0;
    frame.format = format;
    frame.bottomUp = (flags & ZEQ_IMAGE_BOTTOM_UP) != 0;
    return trackFrame(frame);
  } catch (const std::exception& e) {
    return containFailure(e.what());
  } catch (...) {
    return containFailure("unknown exception");
  }
}

int ZEQ_UnityGetLastError(char* buffer, int capacity) {
  try {
    const int length = static_cast<int>(std::min<std::size_t>(g_lastError.size(), INT_MAX - 1));
    if (buffer && capacity > 0) {
      const int n = std::min(length, capacity - 1);
      std::memcpy(buffer, g_lastError.data(), static_cast<std::size_t>(n));
      buffer[n] = '\0';
    }
    return length;
  } catch (...) {
    return 0;
  }
}

void ZEQ_UnityTrackerRelease(void) {
  try {
    if (camera.isOpened()) ZEQ_UnityCloseVideoCapture();
  } catch (...) {
  }
  tracker.releaseData();
  isTrackerInit = false;
  isModelLoaded = false;
  state = kStatusNotUpdated;
  needs_reset = true;
  isTrackerEnable = false;
}

void ZEQ_UnityTrackerEnable(bool enable) { isTrackerEnable = enable; }

double ZEQ_UnityWorkTime(int slot) {
  if (slot < 0 || slot > 9) return -1.0;
  return g_dTimeCost[slot];
}

int ZEQ_UnityGetTrackerPointNum(void) {
  try {
    return state > 0 ? tracker.nPoints() : 0;
  } catch (...) {
    return 0;
  }
}

float ZEQ_UnityGetPitchRadians(void) {
  try {
    return state > 0 ? tracker.getPitchRadians() : 0.f;
  } catch (...) {
    return 0.f;
  }
}

float ZEQ_UnityGetYawRadians(void) {
  try {
    return state > 0 ? tracker.getYawRadians() : 0.f;
  } catch (...) {
    return 0.f;
  }
}

float ZEQ_UnityGetRollRadians(void) {
  try {
    return state > 0 ? tracker.getRollRadians() : 0.f;
  } catch (...) {
    return 0.f;
  }
}

int ZEQ_UnityGetPoints(float* dst) {
  try {
    if (state <= 0 || !dst) return 0;
    const float* points = tracker.getPoints();
    if (!points) return 0;
    const int n = tracker.nPoints();
    std::memcpy(dst, points, sizeof(float) * 2 * static_cast<size_t>(n));
    return n;
  } catch (...) {
    return 0;
  }
}

int ZEQ_UnityGetConfidence(float* dst) {
  try {
    if (state <= 0 || !dst) return 0;
    const float* confidence = tracker.getConfidence();
    if (!confidence) return 0;
    const int n = tracker.nPoints();
    std::memcpy(dst, confidence, sizeof(float) * static_cast<size_t>(n));
    return n;
  } catch (...) {
    return 0;
  }
}

bool ZEQ_UnityGetSmoothing(void) {
  try {
    return state > 0 ? tracker.getSmoothing() : false;
  } catch (...) {
    return false;
  }
}

void ZEQ_UnitySetSmoothing(bool smoothing) {
  try {
    if (state > 0) tracker.setSmoothing(smoothing);
  } catch (...) {
  }
}

void ZEQ_UnityGetTranslation(float* x, float* y, float* z, float focal, float cx, float cy) {
  try {
    if (state <= 0 || !x || !y || !z) return;
    tracker.getTranslation(*x, *y, *z, focal, cx, cy);
  } catch (...) {
  }
}

void ZEQ_UnityGetTranslationInImage(float* x, float* y) {
  try {
    if (state <= 0 || !x || !y) return;
    tracker.getTranslationInImage(*x, *y);
  } catch (...) {
  }
}

float ZEQ_UnityGetScaleInImage(void) {
  try {
    return state > 0 ? tracker.getScaleInImage() : 0.f;
  } catch (...) {
    return 0.f;
  }
}

void ZEQ_UnityGetScale3D(float* x, float* y, float* z) {
  try {
    if (!x || !y || !z) return;
    tracker.getScale3D(*x, *y, *z);
  } catch (...) {
  }
}

void ZEQ_UnityCalibration(float* cameraMatrix, float width, float height, float* fovX, float* fovY) {
  try {
    if (!cameraMatrix || !fovX || !fovY) return;
    double fx = NAN, fy = NAN, focal = 0.0, aspect = 0.0;
    zeq::Tracker::calibrationMatrixValues(cameraMatrix, width, height, 0.0, 0.0, fx, fy, focal, aspect);
    if (!std::isfinite(fx) || !std::isfinite(fy)) return;
    *fovX = static_cast<float>(fx);
    *fovY = static_cast<float>(fy);
  } catch (...) {
  }
}

void ZEQ_UnityGetTransform(float* matrix, float* cameraMatrix, float* distortion) {
  try {
    if (state <= 0) return;
    tracker.getTransform(matrix, cameraMatrix, distortion);
  } catch (...) {
  }
}

void ZEQ_UnityGetTransformEX(float* matrix, float* cameraMatrix, float* distortion, int* indices, int count) {
  try {
    if (state <= 0) return;
    tracker.getTransformEX(matrix, cameraMatrix, distortion, indices, count);
  } catch (...) {
  }
}

void ZEQ_UnityRegisterCallbacks(void* render, ZEQ_FrameCallback frame) {
  sfpRender = render;
  sfpUpdate = frame;
}

ZEQ_RenderEventFunc NativeRendererCallback(void) { return &OnRenderEvent; }

int ZEQ_UnityCreateVideoCapture(int device, int width, int height, int fps, int rotation) {
  try {
    g_rotateCode = rotation;
    camera.open(device, cameraApi());
    if (!camera.isOpened()) {
      setLastError("Could not open camera device " + std::to_string(device));
      return -1;
    }
    camera.set(cv::CAP_PROP_FRAME_WIDTH, static_cast<double>(width));
    camera.set(cv::CAP_PROP_FRAME_HEIGHT, static_cast<double>(height));
    camera.set(cv::CAP_PROP_FPS, static_cast<double>(fps));
    announceSize(camera.get(cv::CAP_PROP_FRAME_WIDTH), camera.get(cv::CAP_PROP_FRAME_HEIGHT));
    return 0;
  } catch (...) {
    return -1;
  }
}

int ZEQ_UnityCreateVideoCaptureFromFile(const char* path, int rotation) {
  try {
    g_rotateCode = rotation;
    if (!path) {
      camera.release();
      setLastError("Video file path is null");
      return -1;
    }
    if (!openVideoFile(std::string(path))) {
      camera.release();
      setLastError(std::string("Could not open video file: ") + path);
      return -1;
    }
    announceSize(camera.get(cv::CAP_PROP_FRAME_WIDTH), camera.get(cv::CAP_PROP_FRAME_HEIGHT));
    return 0;
  } catch (...) {
    return -1;
  }
}

void ZEQ_UnityUpdateVideoCapture(void) {
  try {
    if (!camera.isOpened()) return;
    camera.read(img);
    if (img.empty()) return;
    rotateCameraFrame();
    if (!convertCameraFrame()) return;
    ZEQ_UnityTrackerUpdate(rgbaPreview.data, rgbaPreview.cols, rgbaPreview.rows);
    if (sfpUpdate) {
      sfpUpdate(static_cast<uint64_t>(rgbaPreview.cols), static_cast<uint64_t>(rgbaPreview.rows), rgbaPreview.data,
                0);
    }
  } catch (...) {
  }
}

void ZEQ_UnityCloseVideoCapture(void) {
  try {
    camera.release();
  } catch (...) {
  }
}

void ZEQ_UnityShowResults(unsigned char* rgba, int width, int height, float fps) {
  try {
    const std::clock_t start = std::clock();
    if (state <= 0) return;
    if (!rgba || !validFrameSize(width, height)) return;
    cv::Mat image(height, width, CV_8UC4, rgba, static_cast<size_t>(width) * 4);
    cv::flip(image, image, 0);
    try {
      const int n = std::min(ZEQ_UnityGetTrackerPointNum(), static_cast<int>(zeq::Tracker::kOutputPoints));
      float points[2 * zeq::Tracker::kOutputPoints] = {};
      float confidence[zeq::Tracker::kOutputPoints] = {};
      const int drawn = std::min(n, ZEQ_UnityGetPoints(points));
      ZEQ_UnityGetConfidence(confidence);
      float x = 0.f, y = 0.f, z = 0.f;
      ZEQ_UnityGetTranslation(&x, &y, &z, 1000.f, width / 2.0f, height / 2.0f);

      const cv::Scalar pointColour(200, 0, 0, 0);
      for (int i = 0; i < drawn; ++i) {
        cv::circle(image, cv::Point(truncateToInt(points[2 * i]), truncateToInt(points[2 * i + 1])), 4, pointColour,
                   1, cv::LINE_8, 0);
      }
      const float meanConfidence = meanConfidencePercent(confidence, n);

      const std::vector<std::string> lines =
          overlayLines(ZEQ_UnityGetPitchRadians(), ZEQ_UnityGetYawRadians(), ZEQ_UnityGetRollRadians(),
                       meanConfidence, x, y, z, fps);
      const cv::Scalar textColour(0, 0, 200, 0);
      for (size_t i = 0; i < lines.size(); ++i) {
        cv::putText(image, lines[i], cv::Point(20, 50 * static_cast<int>(i + 1)), cv::FONT_HERSHEY_SIMPLEX, 1.0,
                    textColour, 2, cv::LINE_AA, false);
      }
    } catch (...) {
      // Whatever was drawn stays; the buffer's orientation is restored below.
    }
    cv::flip(image, image, 0);
    g_dTimeCost[1] = secondsSince(start);
  } catch (...) {
  }
}

void ZEQ_UnityFlipImage(unsigned char* rgba, int width, int height, int flipCode) {
  try {
    if (!rgba || !validFrameSize(width, height)) return;
    cv::Mat image(height, width, CV_8UC4, rgba, static_cast<size_t>(width) * 4);
    cv::flip(image, image, flipCode);
  } catch (...) {
  }
}

}  // extern "C"
