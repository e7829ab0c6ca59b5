// A host that uses the shared library the way the Unity engine does: load it at
// run time by file name and bind every entry point by its plain name.
#include <dlfcn.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <iterator>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "support/ExportNames.h"
#include "support/SyntheticModel.h"
#include "support/TestSupport.h"

namespace {

using FrameCallback = void (*)(uint64_t, uint64_t, unsigned char*, int32_t);
using RenderEvent = void (*)(int);

// The host's own declarations of the exports.
struct Api {
  int (*TrackerInit)(const char*, const void*, const void*);
  int (*TrackerUpdate)(unsigned char*, int, int);
  void (*TrackerRelease)();
  void (*TrackerEnable)(bool);
  double (*WorkTime)(int);
  int (*GetTrackerPointNum)();
  float (*GetPitchRadians)();
  float (*GetYawRadians)();
  float (*GetRollRadians)();
  int (*GetPoints)(float*);
  int (*GetConfidence)(float*);
  bool (*GetSmoothing)();
  void (*SetSmoothing)(bool);
  void (*GetTranslation)(float*, float*, float*, float, float, float);
  void (*GetTranslationInImage)(float*, float*);
  float (*GetScaleInImage)();
  void (*GetScale3D)(float*, float*, float*);
  void (*Calibration)(float*, float, float, float*, float*);
  void (*GetTransform)(float*, float*, float*);
  void (*GetTransformEX)(float*, float*, float*, int*, int);
  void (*RegisterCallbacks)(void*, FrameCallback);
  RenderEvent (*NativeRendererCallback)();
  int (*CreateVideoCapture)(int, int, int, int, int);
  int (*CreateVideoCaptureFromFile)(const char*, int);
  void (*UpdateVideoCapture)();
  void (*CloseVideoCapture)();
  void (*ShowResults)(unsigned char*, int, int, float);
  void (*FlipImage)(unsigned char*, int, int, int);
  void* (*create)();
  void (*destroy)(void*);
  int (*TrackerInitFromMemory)(const unsigned char*, int, const char*, int);
  int (*TrackerUpdateImage)(const unsigned char*, int, int, int, int, int);
  int (*GetLastError)(char*, int);
};

const std::vector<std::string>& exportedNames() {
  static const std::vector<std::string> names(std::begin(zeq::testing::kExportNames),
                                              std::end(zeq::testing::kExportNames));
  return names;
}

// The build tree's library, or another build of it (the packaged one) named by ZEQ_PLUGIN_PATH.
const char* pluginFile() {
  const char* other = std::getenv("ZEQ_PLUGIN_PATH");
  return other && *other ? other : ZEQ_PLUGIN_FILE;
}

void* library() {
  static void* handle = dlopen(pluginFile(), RTLD_NOW | RTLD_LOCAL);
  return handle;
}

template <typename F>
void bind(F& fn, const char* name, int& missing) {
  fn = reinterpret_cast<F>(dlsym(library(), name));
  if (!fn) ++missing;
}

// Every export bound by name; null when the library or any symbol is missing.
const Api* api() {
  static Api a;
  static const bool ok = [] {
    if (!library()) return false;
    int missing = 0;
    bind(a.TrackerInit, "ZEQ_UnityTrackerInit", missing);
    bind(a.TrackerUpdate, "ZEQ_UnityTrackerUpdate", missing);
    bind(a.TrackerRelease, "ZEQ_UnityTrackerRelease", missing);
    bind(a.TrackerEnable, "ZEQ_UnityTrackerEnable", missing);
    bind(a.WorkTime, "ZEQ_UnityWorkTime", missing);
    bind(a.GetTrackerPointNum, "ZEQ_UnityGetTrackerPointNum", missing);
    bind(a.GetPitchRadians, "ZEQ_UnityGetPitchRadians", missing);
    bind(a.GetYawRadians, "ZEQ_UnityGetYawRadians", missing);
    bind(a.GetRollRadians, "ZEQ_UnityGetRollRadians", missing);
    bind(a.GetPoints, "ZEQ_UnityGetPoints", missing);
    bind(a.GetConfidence, "ZEQ_UnityGetConfidence", missing);
    bind(a.GetSmoothing, "ZEQ_UnityGetSmoothing", missing);
    bind(a.SetSmoothing, "ZEQ_UnitySetSmoothing", missing);
    bind(a.GetTranslation, "ZEQ_UnityGetTranslation", missing);
    bind(a.GetTranslationInImage, "ZEQ_UnityGetTranslationInImage", missing);
    bind(a.GetScaleInImage, "ZEQ_UnityGetScaleInImage", missing);
    bind(a.GetScale3D, "ZEQ_UnityGetScale3D", missing);
    bind(a.Calibration, "ZEQ_UnityCalibration", missing);
    bind(a.GetTransform, "ZEQ_UnityGetTransform", missing);
    bind(a.GetTransformEX, "ZEQ_UnityGetTransformEX", missing);
    bind(a.RegisterCallbacks, "ZEQ_UnityRegisterCallbacks", missing);
    bind(a.NativeRendererCallback, "NativeRendererCallback", missing);
    bind(a.CreateVideoCapture, "ZEQ_UnityCreateVideoCapture", missing);
    bind(a.CreateVideoCaptureFromFile, "ZEQ_UnityCreateVideoCaptureFromFile", missing);
    bind(a.UpdateVideoCapture, "ZEQ_UnityUpdateVideoCapture", missing);
    bind(a.CloseVideoCapture, "ZEQ_UnityCloseVideoCapture", missing);
    bind(a.ShowResults, "ZEQ_UnityShowResults", missing);
    bind(a.FlipImage, "ZEQ_UnityFlipImage", missing);
    bind(a.create, "createzeqTracker", missing);
    bind(a.destroy, "destroyzeqTracker", missing);
    bind(a.TrackerInitFromMemory, "ZEQ_UnityTrackerInitFromMemory", missing);
    bind(a.TrackerUpdateImage, "ZEQ_UnityTrackerUpdateImage", missing);
    bind(a.GetLastError, "ZEQ_UnityGetLastError", missing);
    return missing == 0;
  }();
  return ok ? &a : nullptr;
}

// Everything the frame callback received.
struct Call {
  uint64_t width, height;
  bool hasPixels;
  int32_t last;
  cv::Mat frame;  // copy of the RGBA pixels
};
std::vector<Call> g_calls;

void onFrame(uint64_t width, uint64_t height, unsigned char* rgba, int32_t last) {
  Call c{width, height, rgba != nullptr, last, cv::Mat()};
  if (rgba) c.frame = cv::Mat(static_cast<int>(height), static_cast<int>(width), CV_8UC4, rgba).clone();
  g_calls.push_back(c);
}

std::string modelDir(float classifierOffset) {
  zeq::testing::SyntheticModelOptions options;
  options.classifierOffset = classifierOffset;
  const std::string dir = zeq::testing::makeTempDir();
  EXPECT_EQ(zeq::testing::writeSyntheticModelDir(dir, options, true), 0);
  return dir;
}

// The fixture portrait (its face is found by the detector) in the upper part of a
// 160 x 320 BGR picture.
cv::Mat facePicture() {
  cv::Mat bgr = cv::imread(zeq::testing::sourceDir() + "/tests/data/takeo.png");
  if (bgr.empty()) return bgr;
  cv::Mat padded;
  cv::copyMakeBorder(bgr, padded, 0, 320 - bgr.rows, 0, 160 - bgr.cols, cv::BORDER_CONSTANT, cv::Scalar::all(0));
  return padded;
}

cv::Mat toRgba(const cv::Mat& bgr) {
  cv::Mat rgba;
  cv::cvtColor(bgr, rgba, cv::COLOR_BGR2RGBA);
  return rgba;
}

std::string writeClip(const std::string& name, const std::vector<cv::Mat>& frames) {
  const std::string path = zeq::testing::makeTempDir() + "/" + name;
  cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 10.0, frames.front().size(), true);
  if (!writer.isOpened()) return std::string();
  for (const cv::Mat& f : frames) writer.write(f);
  return path;
}

class Host : public ::testing::Test {
 protected:
  void SetUp() override {
    a = api();
    ASSERT_NE(a, nullptr) << "cannot load " << pluginFile() << " or bind its exports: " << dlerror();
    a->TrackerRelease();
    a->RegisterCallbacks(nullptr, &onFrame);
    g_calls.clear();
  }
  void TearDown() override {
    a->TrackerRelease();
    a->RegisterCallbacks(nullptr, nullptr);
  }
  const Api* a = nullptr;
};

TEST(HostLibrary, ExportsExactlyTheHostInterface) {
  ASSERT_NE(library(), nullptr) << dlerror();
  for (const std::string& name : exportedNames()) EXPECT_NE(dlsym(library(), name.c_str()), nullptr) << name;
  // Internal entry points and the engine stay hidden, under any spelling.
  for (const char* hidden : {"UpdateTracker", "ZEQ_UnityLoad", "_Z13ZEQ_UnityLoadPc", "_ZN3zeq16reuse_last_frameE",
                             "_ZN3zeq7Tracker6updateEPKhii", "state", "tracker", "needs_reset"}) {
    EXPECT_EQ(dlsym(library(), hidden), nullptr) << hidden;
  }

  FILE* pipe = popen((std::string("nm -D --defined-only '") + pluginFile() + "' 2>/dev/null").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> defined;
  char line[1024];
  while (std::fgets(line, sizeof line, pipe)) {
    char address[256], type[16], name[768];
    if (std::sscanf(line, "%255s %15s %767s", address, type, name) == 3) defined.insert(name);
  }
  const int rc = pclose(pipe);
  if (defined.empty() && rc != 0) GTEST_SKIP() << "nm is not available to list the dynamic symbols";
  EXPECT_EQ(defined, std::set<std::string>(exportedNames().begin(), exportedNames().end()));
}

TEST_F(Host, TracksPushedFramesAndAnswersLikeThePlugin) {
  const cv::Mat face = facePicture();
  ASSERT_FALSE(face.empty()) << "tests/data/takeo.png is missing";
  cv::Mat frame = toRgba(face);
  cv::Mat blank(320, 160, CV_8UC4, cv::Scalar(80, 80, 80, 255));

  a->UpdateVideoCapture();  // no capture yet: nothing happens, nothing is called
  EXPECT_TRUE(g_calls.empty());
  EXPECT_EQ(a->TrackerUpdate(frame.data, frame.cols, frame.rows), 2);
  a->TrackerEnable(true);
  EXPECT_EQ(a->TrackerUpdate(frame.data, frame.cols, frame.rows), -41);
  EXPECT_EQ(a->TrackerInit(nullptr, nullptr, nullptr), -3);
  ASSERT_EQ(a->TrackerInit(modelDir(1.f).c_str(), nullptr, nullptr), 0);
  EXPECT_EQ(a->TrackerUpdate(blank.data, blank.cols, blank.rows), -50);
  EXPECT_EQ(a->TrackerUpdate(frame.data, frame.cols, frame.rows), 1);
  EXPECT_EQ(a->TrackerUpdate(frame.data, frame.cols, 0), -53);
  EXPECT_EQ(a->TrackerUpdate(frame.data, frame.cols, frame.rows), 1);

  EXPECT_EQ(a->GetTrackerPointNum(), 30);
  std::vector<float> points(60, -1.f), confidence(30, -1.f);
  EXPECT_EQ(a->GetPoints(points.data()), 30);
  EXPECT_EQ(a->GetConfidence(confidence.data()), 30);
  for (int i = 0; i < 30; ++i) {
    EXPECT_GE(points[2 * i], 0.f);
    EXPECT_LT(points[2 * i], frame.cols);
    EXPECT_GE(points[2 * i + 1], 0.f);
    EXPECT_LT(points[2 * i + 1], frame.rows);
    EXPECT_EQ(confidence[i], 1.f);
  }
  EXPECT_TRUE(std::isfinite(a->GetPitchRadians()));
  EXPECT_TRUE(std::isfinite(a->GetYawRadians()));
  EXPECT_TRUE(std::isfinite(a->GetRollRadians()));
  EXPECT_GT(a->GetScaleInImage(), 0.f);
  float ix = -1, iy = -1;
  a->GetTranslationInImage(&ix, &iy);
  EXPECT_GT(ix, 0.f);
  EXPECT_GT(iy, 0.f);
  float x = NAN, y = NAN, z = NAN;
  a->GetTranslation(&x, &y, &z, 1000.f, 80.f, 160.f);
  EXPECT_TRUE(std::isfinite(x) && std::isfinite(y));
  EXPECT_GT(z, 0.f);  // in front of the camera
  float sx = NAN, sy = NAN, sz = NAN;
  a->GetScale3D(&sx, &sy, &sz);
  EXPECT_GT(sx, 0.f);
  EXPECT_GT(sy, 0.f);
  EXPECT_EQ(sz, 1.f);

  float camera[9] = {1000, 0, 80, 0, 1000, 160, 0, 0, 1};
  float m[16], mex[16];
  for (float& v : m) v = NAN;
  a->GetTransform(m, camera, nullptr);
  EXPECT_EQ(m[3], 0.f);
  EXPECT_EQ(m[7], 0.f);
  EXPECT_EQ(m[11], 0.f);
  EXPECT_EQ(m[15], 1.f);
  EXPECT_NEAR(m[14], z, 0.05f * std::fabs(z));
  int eyesAndNose[6] = {36, 39, 42, 45, 30, 33};
  for (float& v : mex) v = NAN;
  a->GetTransformEX(mex, camera, nullptr, eyesAndNose, 6);
  EXPECT_EQ(mex[15], 1.f);
  float fovX = 0, fovY = 0;
  a->Calibration(camera, 160, 320, &fovX, &fovY);
  EXPECT_NEAR(fovX, 2 * std::atan(80.0 / 1000.0) * 180 / M_PI, 1e-3);
  EXPECT_NEAR(fovY, 2 * std::atan(160.0 / 1000.0) * 180 / M_PI, 1e-3);

  // Overlay into a bottom-up copy, then flip it back for inspection.
  cv::Mat shown = frame.clone();
  a->FlipImage(shown.data, shown.cols, shown.rows, 0);
  a->ShowResults(shown.data, shown.cols, shown.rows, 30.f);
  a->FlipImage(shown.data, shown.cols, shown.rows, 0);
  EXPECT_NE(cv::norm(shown, frame, cv::NORM_INF), 0.0);
  cv::Mat pointPixels, textPixels;
  cv::inRange(shown, cv::Scalar(200, 0, 0, 0), cv::Scalar(200, 0, 0, 0), pointPixels);
  cv::inRange(shown, cv::Scalar(0, 0, 200, 0), cv::Scalar(0, 0, 200, 0), textPixels);
  EXPECT_GT(cv::countNonZero(pointPixels), 30);
  EXPECT_GT(cv::countNonZero(textPixels), 100);
  EXPECT_GE(a->WorkTime(0), 0.0);
  EXPECT_GE(a->WorkTime(1), 0.0);
  EXPECT_EQ(a->WorkTime(10), -1.0);

  a->SetSmoothing(false);
  EXPECT_FALSE(a->GetSmoothing());
  a->TrackerEnable(false);
  EXPECT_EQ(a->TrackerUpdate(frame.data, frame.cols, frame.rows), 2);
  EXPECT_EQ(a->GetTrackerPointNum(), 30);

  // A lost face sends the plug-in back to searching.
  a->TrackerEnable(true);
  ASSERT_EQ(a->TrackerInit(modelDir(0.f).c_str(), nullptr, nullptr), 0);
  EXPECT_EQ(a->TrackerUpdate(frame.data, frame.cols, frame.rows), 0);
  EXPECT_EQ(a->TrackerUpdate(blank.data, blank.cols, blank.rows), -50);

  a->TrackerRelease();
  a->TrackerRelease();
  EXPECT_EQ(a->TrackerUpdate(frame.data, frame.cols, frame.rows), 2);
  EXPECT_EQ(a->GetPoints(points.data()), 0);
  a->GetScale3D(&sx, &sy, &sz);
  EXPECT_EQ(cv::Vec3f(sx, sy, sz), cv::Vec3f(1, 1, 1));

  void* other = a->create();
  ASSERT_NE(other, nullptr);
  a->destroy(other);
  a->destroy(nullptr);
  RenderEvent render = a->NativeRendererCallback();
  ASSERT_NE(render, nullptr);
  render(0);
  EXPECT_TRUE(g_calls.empty());  // pushed frames are never handed back
}

TEST_F(Host, ReplaysAClipWithEachRotation) {
  // 96 x 64 frames whose top-left quadrant is red.
  cv::Mat pattern(64, 96, CV_8UC3, cv::Scalar(40, 40, 40));
  pattern(cv::Rect(0, 0, 48, 32)).setTo(cv::Scalar(0, 0, 255));
  const std::string clip = writeClip("pattern.avi", std::vector<cv::Mat>(3, pattern));
  ASSERT_FALSE(clip.empty()) << "OpenCV cannot write an MJPG .avi here";

  struct Case {
    int rotation;
    uint64_t width, height;
    int cornerX, cornerY;  // where the red corner must arrive (0 = near, 1 = far)
  };
  for (const Case& c : {Case{0, 64, 96, 1, 0}, Case{1, 96, 64, 1, 1}, Case{2, 64, 96, 0, 1}, Case{-1, 96, 64, 0, 0},
                        Case{7, 96, 64, 0, 0}}) {
    g_calls.clear();
    ASSERT_EQ(a->CreateVideoCaptureFromFile(clip.c_str(), c.rotation), 0);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_FALSE(g_calls[0].hasPixels);
    EXPECT_EQ(g_calls[0].width, c.width) << c.rotation;
    EXPECT_EQ(g_calls[0].height, c.height) << c.rotation;
    EXPECT_EQ(g_calls[0].last, 0);

    for (int i = 0; i < 5; ++i) a->UpdateVideoCapture();  // 3 frames, then the end of the clip
    ASSERT_EQ(g_calls.size(), 4u) << c.rotation;
    const Call& f = g_calls[1];
    EXPECT_TRUE(f.hasPixels);
    EXPECT_EQ(f.width, c.width);
    EXPECT_EQ(f.height, c.height);
    EXPECT_EQ(f.last, 0);
    const int w = static_cast<int>(f.width), h = static_cast<int>(f.height);
    const cv::Vec4b red = f.frame.at<cv::Vec4b>(c.cornerY ? h - 5 : 4, c.cornerX ? w - 5 : 4);
    const cv::Vec4b other = f.frame.at<cv::Vec4b>(c.cornerY ? 4 : h - 5, c.cornerX ? 4 : w - 5);
    EXPECT_GT(red[0], 180) << c.rotation;
    EXPECT_LT(red[1], 80) << c.rotation;
    EXPECT_LT(red[2], 80) << c.rotation;
    EXPECT_EQ(red[3], 255);
    EXPECT_LT(other[0], 80) << c.rotation;
  }

  // Closing stops the polls; creating again resumes.
  a->CloseVideoCapture();
  g_calls.clear();
  a->UpdateVideoCapture();
  EXPECT_TRUE(g_calls.empty());
  ASSERT_EQ(a->CreateVideoCaptureFromFile(clip.c_str(), -1), 0);
  a->UpdateVideoCapture();
  EXPECT_EQ(g_calls.size(), 2u);

  // No camera device: -1 and no announcement.
  g_calls.clear();
  EXPECT_EQ(a->CreateVideoCapture(99, 640, 480, 30, 0), -1);
  EXPECT_TRUE(g_calls.empty());
}

TEST_F(Host, TracksTheFramesOfAClip) {
  const cv::Mat face = facePicture();
  ASSERT_FALSE(face.empty());
  // Recorded upside down; rotation code 1 turns it upright before tracking.
  cv::Mat upsideDown;
  cv::flip(face, upsideDown, -1);
  const std::string clip = writeClip("face.avi", std::vector<cv::Mat>(2, upsideDown));
  ASSERT_FALSE(clip.empty());
  ASSERT_EQ(a->TrackerInit(modelDir(1.f).c_str(), nullptr, nullptr), 0);
  ASSERT_EQ(a->CreateVideoCaptureFromFile(clip.c_str(), 1), 0);
  a->UpdateVideoCapture();
  ASSERT_EQ(g_calls.size(), 2u);
  // Found and tracked, so the tracker saw the upright frame, whose face is in the upper part.
  EXPECT_EQ(a->GetTrackerPointNum(), 30);
  std::vector<float> points(60);
  ASSERT_EQ(a->GetPoints(points.data()), 30);
  EXPECT_LT(points[2 * 12 + 1], 160.f);  // slot 12 is the nose tip

  a->TrackerRelease();  // also closes the capture
  g_calls.clear();
  a->UpdateVideoCapture();
  EXPECT_TRUE(g_calls.empty());
}

// A host that calls everything in random order with hostile arguments: null
// pointers, zero, negative, huge and non-finite values, mismatched sizes (never
// a buffer smaller than the sizes it is given), corrupt model and cascade bytes.
// Nothing may crash, every status must be a documented one, no output may
// become non-finite, and a clean initialisation must track again afterwards.
class RandomHost {
 public:
  RandomHost(const Api* api, const std::string& dir, const std::string& clip)
      : a_(api), dir_(dir), clip_(clip), face_(toRgba(facePicture())) {
    model_ = zeq::testing::readFileBytes(dir + "/zeqTracker.model");
    const std::vector<unsigned char> cascade = zeq::testing::readFileBytes(dir + "/face.xml");
    cascade_.assign(cascade.begin(), cascade.end());
    noise_ = cv::Mat(240, 320, CV_8UC4);
    cv::randu(noise_, 0, 255);
  }

  void run(int calls) {
    for (int i = 0; i < calls; ++i) step(pick(20));
  }

  int badStatuses = 0, nonFinite = 0;

 private:
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  bool coin() { return pick(2) == 0; }

  int anyInt() {
    static const int values[] = {0, 1, -1, 2, 3, 4, 29, 30, 66, 99, 160, 320, 16384, 16385, -320,
                                 std::numeric_limits<int>::min(), std::numeric_limits<int>::max()};
    return coin() ? values[pick(17)] : pick(400) - 50;
  }
  float anyFloat() {
    static const float values[] = {0.f, -0.f, 1.f, -1.f, 1000.f, 80.f, 160.f, 1e-30f, 3e38f, -3e38f,
                                   NAN, INFINITY, -INFINITY, 1e-45f};
    return coin() ? values[pick(14)] : std::uniform_real_distribution<float>(-2000.f, 2000.f)(rng_);
  }
  float* anyOutput(std::vector<float>& buffer) { return pick(6) == 0 ? nullptr : buffer.data(); }

  void checkStatus(int status) {
    static const std::set<int> documented = {2, 1, 0, -1, -41, -50, -51, -52, -53, -54, -55, -56};
    if (!documented.count(status)) ++badStatuses;
  }
  void checkFinite(const std::vector<float>& values) {
    for (float v : values)
      if (!std::isfinite(v)) ++nonFinite;
  }

  // A frame whose buffer always holds at least what its sizes claim.
  void pushFrame() {
    const cv::Mat& src = pick(3) == 0 ? noise_ : face_;
    switch (pick(4)) {
      case 0:
        checkStatus(a_->TrackerUpdate(src.data, src.cols, src.rows));
        break;
      case 1:
        checkStatus(a_->TrackerUpdate(pick(4) == 0 ? nullptr : src.data, std::min(anyInt(), src.cols),
                                      std::min(anyInt(), src.rows)));
        break;
      default: {
        const int format = pick(8) - 1;
        const int bpp = format >= 0 && format <= 2 ? 4 : format <= 4 ? 3 : 1;
        const int rowBytes = src.cols * bpp + (coin() ? 0 : pick(9)) - (pick(8) == 0 ? 1 : 0);
        std::vector<unsigned char> bytes(static_cast<std::size_t>(std::max(rowBytes, 0) + 8) * src.rows, 77);
        checkStatus(a_->TrackerUpdateImage(pick(10) == 0 ? nullptr : bytes.data(), src.cols, src.rows, rowBytes,
                                           format, pick(4)));
        break;
      }
    }
  }

  void initSomehow() {
    switch (pick(6)) {
      case 0:
        a_->TrackerInit(dir_.c_str(), nullptr, nullptr);
        break;
      case 1:
        a_->TrackerInit(coin() ? nullptr : "/no/such/zeq/dir", nullptr, nullptr);
        break;
      case 2:
        a_->TrackerInitFromMemory(model_.data(), static_cast<int>(model_.size()), cascade_.data(),
                                  static_cast<int>(cascade_.size()));
        break;
      default: {
        // Corrupt copies: flipped bytes, cut lengths, null pointers.
        std::vector<unsigned char> model = model_;
        std::string cascade = cascade_;
        for (int k = 0; k < 1 + pick(20); ++k) {
          if (coin()) model[static_cast<std::size_t>(pick(static_cast<int>(model.size())))] ^= 1u << pick(8);
          cascade[static_cast<std::size_t>(pick(static_cast<int>(cascade.size())))] = "0123456789-.e n<>/"[pick(18)];
        }
        const int modelBytes = coin() ? static_cast<int>(model.size()) : anyInt() % static_cast<int>(model.size());
        const int cascadeBytes =
            coin() ? static_cast<int>(cascade.size()) : anyInt() % static_cast<int>(cascade.size());
        a_->TrackerInitFromMemory(pick(8) == 0 ? nullptr : model.data(), modelBytes,
                                  pick(8) == 0 ? nullptr : cascade.data(), cascadeBytes);
        break;
      }
    }
  }

  void step(int what) {
    std::vector<float> out(128, -5.f);
    switch (what) {
      case 0:
      case 1:
        initSomehow();
        break;
      case 2:
      case 3:
      case 4:
      case 5:
        pushFrame();
        break;
      case 6:
        a_->TrackerEnable(pick(5) != 0);
        break;
      case 7:
        if (pick(4) == 0) a_->TrackerRelease();
        break;
      case 8: {
        const int n = a_->GetPoints(anyOutput(out));
        if (n != 0 && n != 30) ++badStatuses;
        a_->GetConfidence(anyOutput(out));
        a_->GetTrackerPointNum();
        out.push_back(a_->GetPitchRadians());
        out.push_back(a_->GetYawRadians());
        out.push_back(a_->GetRollRadians());
        out.push_back(a_->GetScaleInImage());
        out.push_back(static_cast<float>(a_->WorkTime(anyInt())));
        checkFinite(out);
        break;
      }
      case 9: {
        float* o = anyOutput(out);
        a_->GetTranslation(o, o ? o + 1 : nullptr, o ? o + 2 : nullptr, anyFloat(), anyFloat(), anyFloat());
        a_->GetTranslationInImage(anyOutput(out), out.data() + 3);
        a_->GetScale3D(out.data() + 4, anyOutput(out), out.data() + 5);
        checkFinite(out);
        break;
      }
      case 10:
      case 11: {
        std::vector<float> camera(9), distortion(5);
        for (float& v : camera) v = coin() ? anyFloat() : 0.f;
        if (coin()) camera = {1000, 0, 80, 0, 1000, 160, 0, 0, 1};
        for (float& v : distortion) v = pick(3) == 0 ? anyFloat() : 0.f;
        std::vector<int> indices(100);
        for (int& k : indices) k = pick(3) == 0 ? anyInt() : pick(66);
        float* dist = coin() ? distortion.data() : nullptr;
        if (what == 10) {
          a_->GetTransform(anyOutput(out), pick(6) == 0 ? nullptr : camera.data(), dist);
        } else {
          a_->GetTransformEX(anyOutput(out), camera.data(), dist, pick(6) == 0 ? nullptr : indices.data(),
                             std::min(anyInt(), 100));
        }
        checkFinite(out);
        break;
      }
      case 12: {
        std::vector<float> camera(9);
        for (float& v : camera) v = anyFloat();
        a_->Calibration(pick(5) == 0 ? nullptr : camera.data(), anyFloat(), anyFloat(), anyOutput(out),
                        out.data() + 1);
        checkFinite(out);
        break;
      }
      case 13:
        a_->SetSmoothing(coin());
        a_->GetSmoothing();
        break;
      case 14: {
        cv::Mat canvas = face_.clone();
        const int w = std::min(anyInt(), canvas.cols), h = std::min(anyInt(), canvas.rows);
        if (coin()) {
          a_->ShowResults(pick(5) == 0 ? nullptr : canvas.data, w, h, anyFloat());
        } else {
          a_->FlipImage(pick(5) == 0 ? nullptr : canvas.data, w, h, anyInt());
        }
        break;
      }
      case 15:
        switch (pick(5)) {
          case 0:
            a_->CreateVideoCaptureFromFile(clip_.c_str(), anyInt());
            break;
          case 1:
            a_->CreateVideoCaptureFromFile(coin() ? nullptr : "/no/such/clip.avi", anyInt());
            break;
          case 2:
            a_->CreateVideoCapture(99, anyInt(), anyInt(), anyInt(), anyInt());
            break;
          default:
            a_->CloseVideoCapture();
            break;
        }
        break;
      case 16:
      case 17:
        a_->UpdateVideoCapture();
        break;
      case 18: {
        char text[16];
        a_->GetLastError(pick(4) == 0 ? nullptr : text, anyInt() % 17);
        break;
      }
      default: {
        void* t = a_->create();
        a_->destroy(t);
        if (coin()) a_->destroy(nullptr);
        break;
      }
    }
  }

  const Api* a_;
  std::string dir_, clip_;
  cv::Mat face_, noise_;
  std::vector<unsigned char> model_;
  std::string cascade_;
  std::mt19937 rng_{20261210u};
};

TEST_F(Host, RandomCallsInAnyOrderNeverCrash) {
  const cv::Mat face = facePicture();
  ASSERT_FALSE(face.empty()) << "tests/data/takeo.png is missing";
  const std::string dir = modelDir(1.f);
  const std::string clip = writeClip("random.avi", std::vector<cv::Mat>(5, face));
  a->RegisterCallbacks(nullptr, [](uint64_t, uint64_t, unsigned char*, int32_t) {});
  RandomHost host(a, dir, clip);
  host.run(3000);
  EXPECT_EQ(host.badStatuses, 0);
  EXPECT_EQ(host.nonFinite, 0);

  a->CloseVideoCapture();
  a->TrackerRelease();
  a->TrackerEnable(true);
  ASSERT_EQ(a->TrackerInit(dir.c_str(), nullptr, nullptr), 0);
  cv::Mat frame = toRgba(face);
  EXPECT_EQ(a->TrackerUpdate(frame.data, frame.cols, frame.rows), 1);
  EXPECT_EQ(a->TrackerUpdate(frame.data, frame.cols, frame.rows), 1);
}

}  // namespace
