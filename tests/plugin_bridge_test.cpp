// The bridge linked statically, so its state can be inspected between calls.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "plugin/PluginInternal.h"
#include "plugin/UnityPluginInterface.h"
#include "support/SyntheticModel.h"
#include "support/TestSupport.h"

namespace {

// OpenCV's gphoto2 back end probes USB on every capture open and leaks what it
// enumerates; these tests never need it.
[[maybe_unused]] const bool kGphotoDisabled = setenv("OPENCV_VIDEOIO_PRIORITY_GPHOTO2", "0", 0) == 0;

using namespace zeq::plugin;

struct ModelDirs {
  std::string tracked, lost, noModel, noDetector;
};

const ModelDirs& dirs() {
  static const ModelDirs d = [] {
    ModelDirs m;
    zeq::testing::SyntheticModelOptions lost;
    lost.classifierOffset = 0.f;
    m.tracked = zeq::testing::makeTempDir();
    m.lost = zeq::testing::makeTempDir();
    m.noModel = zeq::testing::makeTempDir();
    m.noDetector = zeq::testing::makeTempDir();
    EXPECT_EQ(zeq::testing::writeSyntheticModelDir(m.tracked, {}, true), 0);
    EXPECT_EQ(zeq::testing::writeSyntheticModelDir(m.lost, lost, true), 0);
    EXPECT_EQ(zeq::testing::writeSyntheticModelDir(m.noModel, {}, true), 0);
    std::filesystem::remove(m.noModel + "/zeqTracker.model");
    EXPECT_EQ(zeq::testing::writeSyntheticModelDir(m.noDetector, {}, false), 0);
    return m;
  }();
  return d;
}

// A fixture photo as a packed RGBA buffer (rows top to bottom).
cv::Mat faceFrame() {
  static const cv::Mat frame = [] {
    cv::Mat bgr = cv::imread(zeq::testing::sourceDir() + "/tests/data/takeo.png");
    cv::Mat rgba;
    if (!bgr.empty()) cv::cvtColor(bgr, rgba, cv::COLOR_BGR2RGBA);
    return rgba;
  }();
  return frame.clone();
}

cv::Mat blankFrame() { return cv::Mat(240, 320, CV_8UC4, cv::Scalar(90, 90, 90, 255)); }

int push(cv::Mat frame) { return ZEQ_UnityTrackerUpdate(frame.data, frame.cols, frame.rows); }

class Bridge : public ::testing::Test {
 protected:
  void SetUp() override {
    ZEQ_UnityTrackerRelease();
    ZEQ_UnityRegisterCallbacks(nullptr, nullptr);
    ASSERT_FALSE(faceFrame().empty()) << "tests/data/takeo.png is missing";
  }
  void TearDown() override { ZEQ_UnityTrackerRelease(); }
};

TEST_F(Bridge, StatusFollowsSearchTrackAndLoss) {
  EXPECT_EQ(push(faceFrame()), 2);  // disabled: nothing happens
  EXPECT_EQ(state, -1);
  ZEQ_UnityTrackerEnable(true);
  EXPECT_EQ(push(faceFrame()), -41);
  EXPECT_EQ(state, -41);

  ASSERT_EQ(ZEQ_UnityTrackerInit(dirs().tracked.c_str(), nullptr, nullptr), 0);
  EXPECT_EQ(state, -1);
  EXPECT_TRUE(needs_reset);
  g_dTimeCost[0] = -7.0;
  EXPECT_EQ(push(blankFrame()), -50);
  EXPECT_EQ(push(blankFrame()), -50);
  EXPECT_EQ(ZEQ_UnityWorkTime(0), -7.0);  // no engine update, no time
  EXPECT_EQ(push(faceFrame()), 1);         // placed and tracked in the same frame
  EXPECT_FALSE(needs_reset);
  EXPECT_GE(ZEQ_UnityWorkTime(0), 0.0);
  // While tracking, the detector does not run: a face-less frame keeps tracking
  // (the synthetic model's outcome does not depend on the picture).
  EXPECT_EQ(push(blankFrame()), 1);

  ZEQ_UnityTrackerEnable(false);
  g_dTimeCost[0] = -7.0;
  EXPECT_EQ(push(blankFrame()), 2);
  EXPECT_EQ(state, 1);
  EXPECT_EQ(ZEQ_UnityWorkTime(0), -7.0);
  EXPECT_EQ(ZEQ_UnityGetTrackerPointNum(), 30);  // still answering from the last tracked frame
  ZEQ_UnityTrackerEnable(true);

  // Re-initialising keeps the search flag: the new engine has no shape, so the
  // next frame is lost and the one after searches again.
  ASSERT_EQ(ZEQ_UnityTrackerInit(dirs().lost.c_str(), nullptr, nullptr), 0);
  EXPECT_FALSE(needs_reset);
  EXPECT_EQ(push(faceFrame()), 0);
  EXPECT_TRUE(needs_reset);
  EXPECT_EQ(state, 0);
  EXPECT_EQ(push(blankFrame()), -50);
  EXPECT_EQ(push(faceFrame()), 0);  // placed, then lost by its confidence
  EXPECT_TRUE(needs_reset);

  ZEQ_UnityTrackerRelease();
  EXPECT_EQ(state, -1);
  EXPECT_TRUE(needs_reset);
  EXPECT_FALSE(isTrackerInit);
  EXPECT_EQ(push(faceFrame()), 2);
  ZEQ_UnityTrackerRelease();  // twice is harmless
}

TEST_F(Bridge, DetectedBoxIsShrunkTowardsTheFaceCentre) {
  EXPECT_EQ(shrinkFaceBox(cv::Rect(100, 40, 200, 200)), cv::Rect(110, 80, 180, 180));
  EXPECT_EQ(shrinkFaceBox(cv::Rect(0, 0, 99, 99)), cv::Rect(4, 19, 89, 89));
}

TEST_F(Bridge, ResultsAreCopiedWhileTrackingAndGatedOtherwise) {
  ZEQ_UnityTrackerEnable(true);
  ASSERT_EQ(ZEQ_UnityTrackerInit(dirs().tracked.c_str(), nullptr, nullptr), 0);
  ASSERT_EQ(push(faceFrame()), 1);
  ASSERT_NE(tracker.faceTracker, nullptr);
  const cv::Mat_<float> shape = tracker.faceTracker->shape.clone();
  const cv::Mat_<float> conf = tracker.faceTracker->confidence.clone();

  std::vector<float> points(61, -3.f), confidence(31, -3.f);
  EXPECT_EQ(ZEQ_UnityGetPoints(points.data()), 30);
  EXPECT_EQ(points[0], shape(2 * 2));
  EXPECT_EQ(points[1], shape(2 * 2 + 1));
  EXPECT_EQ(points[58], shape(2 * 64));
  EXPECT_EQ(points[59], shape(2 * 64 + 1));
  EXPECT_EQ(points[60], -3.f);  // exactly 60 floats
  EXPECT_EQ(ZEQ_UnityGetConfidence(confidence.data()), 30);
  EXPECT_EQ(confidence[12], conf(33));
  EXPECT_EQ(confidence[30], -3.f);
  EXPECT_TRUE(ZEQ_UnityGetSmoothing());

  // Lost: every gated getter answers its default and writes nothing.
  ASSERT_EQ(ZEQ_UnityTrackerInit(dirs().lost.c_str(), nullptr, nullptr), 0);
  ASSERT_EQ(push(faceFrame()), 0);
  std::vector<float> p(60, -3.f), c(30, -3.f);
  float m[16], x = -3.f, y = -3.f, z = -3.f;
  for (float& v : m) v = -3.f;
  float cam[9] = {1000, 0, 320, 0, 1000, 240, 0, 0, 1};
  int all[4] = {0, 1, 2, 3};
  EXPECT_EQ(ZEQ_UnityGetPoints(p.data()), 0);
  EXPECT_EQ(ZEQ_UnityGetConfidence(c.data()), 0);
  EXPECT_EQ(ZEQ_UnityGetTrackerPointNum(), 0);
  EXPECT_EQ(ZEQ_UnityGetPitchRadians(), 0.f);
  EXPECT_EQ(ZEQ_UnityGetYawRadians(), 0.f);
  EXPECT_EQ(ZEQ_UnityGetRollRadians(), 0.f);
  EXPECT_EQ(ZEQ_UnityGetScaleInImage(), 0.f);
  EXPECT_FALSE(ZEQ_UnityGetSmoothing());
  ZEQ_UnityGetTranslation(&x, &y, &z, 1000, 320, 240);
  ZEQ_UnityGetTranslationInImage(&x, &y);
  ZEQ_UnityGetTransform(m, cam, nullptr);
  ZEQ_UnityGetTransformEX(m, cam, nullptr, all, 4);
  for (float v : p) EXPECT_EQ(v, -3.f);
  for (float v : c) EXPECT_EQ(v, -3.f);
  for (float v : m) EXPECT_EQ(v, -3.f);
  EXPECT_EQ(cv::Vec3f(x, y, z), cv::Vec3f(-3, -3, -3));

  // Smoothing changes are ignored while nothing is tracked.
  ZEQ_UnitySetSmoothing(false);
  ASSERT_EQ(ZEQ_UnityTrackerInit(dirs().tracked.c_str(), nullptr, nullptr), 0);
  ASSERT_EQ(push(faceFrame()), 1);
  EXPECT_TRUE(ZEQ_UnityGetSmoothing());
  ZEQ_UnitySetSmoothing(false);
  EXPECT_FALSE(ZEQ_UnityGetSmoothing());
}

TEST_F(Bridge, CalibrationReportsFieldsOfView) {
  float K[9] = {1000, 0, 320, 0, 1000, 240, 0, 0, 1};
  float fx = 0, fy = 0;
  ZEQ_UnityCalibration(K, 640, 480, &fx, &fy);
  EXPECT_NEAR(fx, 35.49, 0.01);
  EXPECT_NEAR(fy, 26.99, 0.01);
  float tx = 0, ty = 0, ux = 0, uy = 0;
  ZEQ_UnityCalibration(K, 99.9f, 480, &tx, &ty);
  ZEQ_UnityCalibration(K, 99, 480, &ux, &uy);
  EXPECT_EQ(tx, ux);
  EXPECT_NE(tx, fx);
}

TEST_F(Bridge, OverlayTextTruncatesTowardsZero) {
  const std::vector<std::string> lines = overlayLines(0.5f, -0.5f, 0.01f, 87.f, 12.9f, -3.7f, 480.2f, 30.f);
  const std::vector<std::string> expected = {"Pitch: 28",  "Yaw: -28",   "Roll: 0",    "Conf: 87",
                                             "head.x: 12", "head.y: -3", "head.z: 480", "fps: 30.000000"};
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(overlayLines(NAN, 0, 0, 0, 3e12f, 0, 0, 29.97f)[0], "Pitch: 0");
  EXPECT_EQ(overlayLines(NAN, 0, 0, 0, 3e12f, 0, 0, 29.97f)[4], "head.x: 2147483647");
  const std::vector<float> ones(30, 1.f), high(30, 0.87f);
  EXPECT_EQ(meanConfidencePercent(ones.data(), 30), 100.f);
  EXPECT_EQ(truncateToInt(meanConfidencePercent(high.data(), 30)), 87);
  EXPECT_EQ(meanConfidencePercent(ones.data(), 0), 0.f);
}

TEST_F(Bridge, OverlayDrawsOnBottomUpBuffersOnlyWhileTracking) {
  const int width = 200, height = 600;
  cv::Mat buffer(height, width, CV_8UC4, cv::Scalar(0, 0, 0, 255));
  const cv::Mat before = buffer.clone();
  g_dTimeCost[1] = -7.0;
  ZEQ_UnityShowResults(buffer.data, width, height, 30.f);
  EXPECT_EQ(cv::norm(buffer, before, cv::NORM_INF), 0.0);
  EXPECT_EQ(ZEQ_UnityWorkTime(1), -7.0);

  // A tracked state with one point on the picture at (10.9, 20.2), the others far off.
  ASSERT_EQ(tracker.initialise(dirs().tracked.c_str()), 0);
  tracker.faceTracker->shape = cv::Mat_<float>(132, 1, 1.f);
  for (auto& p : tracker.faceTracker->outputPoints) p = cv::Point2f(-500.f, -500.f);
  tracker.faceTracker->outputPoints[0] = cv::Point2f(10.9f, 20.2f);
  state = 1;
  ZEQ_UnityShowResults(buffer.data, width, height, 30.f);
  const int row = height - 1 - 20;
  EXPECT_EQ(buffer.at<cv::Vec4b>(row, 10 + 4), cv::Vec4b(200, 0, 0, 0));
  EXPECT_EQ(buffer.at<cv::Vec4b>(row, 10 - 4), cv::Vec4b(200, 0, 0, 0));
  EXPECT_EQ(buffer.at<cv::Vec4b>(row, 10), cv::Vec4b(0, 0, 0, 255));
  EXPECT_GE(ZEQ_UnityWorkTime(1), 0.0);
  // Text lands in the picture's upper part, i.e. the buffer's last rows, in the text colour.
  const cv::Mat textBand = buffer.rowRange(height - 60, height - 20).colRange(20, 150);
  std::vector<cv::Mat> channels;
  cv::split(textBand, channels);
  EXPECT_EQ(cv::countNonZero(channels[0]), 0);
  EXPECT_GT(cv::countNonZero(channels[2]), 50);
  state = -1;
}

TEST_F(Bridge, FlipRoundTrips) {
  cv::Mat buffer(7, 5, CV_8UC4);
  cv::randu(buffer, 0, 255);
  const cv::Mat original = buffer.clone();
  for (int code : {0, 1, -1, 5}) {
    ZEQ_UnityFlipImage(buffer.data, 5, 7, code);
    EXPECT_NE(cv::norm(buffer, original, cv::NORM_INF), 0.0) << code;
    ZEQ_UnityFlipImage(buffer.data, 5, 7, code);
    EXPECT_EQ(cv::norm(buffer, original, cv::NORM_INF), 0.0) << code;
  }
  ZEQ_UnityFlipImage(buffer.data, 5, 7, 0);
  EXPECT_EQ(buffer.at<cv::Vec4b>(6, 2), original.at<cv::Vec4b>(0, 2));
}

TEST_F(Bridge, BadInputsGiveDocumentedResults) {
  // Initialisation.
  EXPECT_EQ(ZEQ_UnityTrackerInit(nullptr, nullptr, nullptr), -3);
  EXPECT_FALSE(isTrackerInit);
  EXPECT_EQ(ZEQ_UnityTrackerInit("/nonexistent-zeq-dir", nullptr, nullptr), -2);
  EXPECT_FALSE(isTrackerInit);
  EXPECT_FALSE(isTrackerEnable);

  // Model missing: tracking is enabled but a face can never be placed.
  EXPECT_EQ(ZEQ_UnityTrackerInit(dirs().noModel.c_str(), nullptr, nullptr), -1);
  EXPECT_TRUE(isTrackerInit);
  EXPECT_TRUE(isTrackerEnable);
  EXPECT_EQ(push(faceFrame()), -51);
  EXPECT_EQ(ZEQ_UnityGetTrackerPointNum(), 0);

  // Frames.
  ASSERT_EQ(ZEQ_UnityTrackerInit(dirs().tracked.c_str(), nullptr, nullptr), 0);
  cv::Mat small = blankFrame();
  struct Frame {
    unsigned char* data;
    int width, height, status;
  };
  for (const Frame& f : {Frame{nullptr, 320, 240, -1}, Frame{small.data, 0, 240, -53}, Frame{small.data, 320, 0, -53},
                         Frame{small.data, -320, 240, -53}, Frame{small.data, 320, -1, -53},
                         Frame{small.data, 20000, 1, -53}, Frame{small.data, 1, 1 << 30, -53},
                         Frame{small.data, 1, 1, -50}, Frame{small.data, 320, 240, -50}}) {
    EXPECT_EQ(ZEQ_UnityTrackerUpdate(f.data, f.width, f.height), f.status) << f.width << "x" << f.height;
    EXPECT_EQ(state, f.status);
  }

  // A detector that a failed re-initialisation left empty.
  EXPECT_EQ(ZEQ_UnityTrackerInit(dirs().noDetector.c_str(), nullptr, nullptr), -2);
  EXPECT_TRUE(isTrackerInit);
  EXPECT_EQ(push(faceFrame()), -54);

  // Internal entry points that are not exported.
  EXPECT_EQ(ZEQ_UnityLoad(nullptr), -1);
  cv::Mat grey(240, 320, CV_8UC1, cv::Scalar(0));
  EXPECT_EQ(UpdateTracker(cv::Mat(4, 4, CV_8UC3)), -53);
  EXPECT_EQ(UpdateTracker(grey), -4);  // the engine has no shape
  EXPECT_EQ(state, 0);
  ZEQ_UnityTrackerRelease();
  EXPECT_EQ(UpdateTracker(grey), -41);

  // Work times.
  EXPECT_EQ(ZEQ_UnityWorkTime(-1), -1.0);
  EXPECT_EQ(ZEQ_UnityWorkTime(10), -1.0);
  for (int slot = 2; slot < 10; ++slot) EXPECT_EQ(ZEQ_UnityWorkTime(slot), 0.0);

  // Getters after release; null outputs are ignored.
  float x = 5, y = 5, z = 5;
  ZEQ_UnityGetScale3D(&x, &y, &z);
  EXPECT_EQ(cv::Vec3f(x, y, z), cv::Vec3f(1, 1, 1));
  ZEQ_UnityGetScale3D(nullptr, &y, nullptr);
  EXPECT_EQ(ZEQ_UnityGetPoints(nullptr), 0);

  // Calibration with unusable input leaves the outputs alone.
  float fovX = -9, fovY = -9;
  float zeroFocal[9] = {0, 0, 320, 0, 1000, 240, 0, 0, 1};
  float nanCentre[9] = {1000, 0, NAN, 0, 1000, 240, 0, 0, 1};
  float good[9] = {1000, 0, 320, 0, 1000, 240, 0, 0, 1};
  ZEQ_UnityCalibration(nullptr, 640, 480, &fovX, &fovY);
  ZEQ_UnityCalibration(zeroFocal, 640, 480, &fovX, &fovY);
  ZEQ_UnityCalibration(nanCentre, 640, 480, &fovX, &fovY);
  ZEQ_UnityCalibration(good, 0.5f, 480, &fovX, &fovY);
  ZEQ_UnityCalibration(good, 640, NAN, &fovX, &fovY);
  ZEQ_UnityCalibration(good, 1e30f, 480, &fovX, &fovY);
  ZEQ_UnityCalibration(good, 640, 480, nullptr, &fovY);
  EXPECT_EQ(fovX, -9.f);
  EXPECT_EQ(fovY, -9.f);

  // Images.
  ZEQ_UnityFlipImage(nullptr, 10, 10, 0);
  ZEQ_UnityFlipImage(small.data, -1, 10, 0);
  state = 1;  // even a tracked status never draws into an invalid buffer
  ZEQ_UnityShowResults(nullptr, 10, 10, 30.f);
  ZEQ_UnityShowResults(small.data, 0, 10, 30.f);
  state = -1;

  // Camera: no device here; a file that does not exist; nothing open.
  int announced = 0;
  static int* counter = nullptr;
  counter = &announced;
  ZEQ_UnityRegisterCallbacks(nullptr, [](uint64_t, uint64_t, unsigned char*, int32_t) { ++*counter; });
  EXPECT_EQ(ZEQ_UnityCreateVideoCapture(99, 640, 480, 30, 0), -1);
  EXPECT_EQ(g_rotateCode, 0);
  EXPECT_EQ(ZEQ_UnityCreateVideoCaptureFromFile(nullptr, 1), -1);
  EXPECT_EQ(g_rotateCode, 1);
  EXPECT_EQ(ZEQ_UnityCreateVideoCaptureFromFile("/nonexistent-zeq-clip.avi", 2), -1);
  ZEQ_UnityUpdateVideoCapture();
  ZEQ_UnityCloseVideoCapture();
  EXPECT_EQ(announced, 0);
  ZEQ_UnityRegisterCallbacks(nullptr, nullptr);
  EXPECT_NE(NativeRendererCallback(), nullptr);
  NativeRendererCallback()(1);
}

}  // namespace
