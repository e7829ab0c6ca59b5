// The bridge linked statically, so its state can be inspected between calls.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "plugin/CascadeValidation.h"
#include "plugin/FrameConversion.h"
#include "plugin/PluginInternal.h"
#include "plugin/UnityPluginInterface.h"
#include "support/SyntheticModel.h"
#include "support/TestSupport.h"

namespace {

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

std::string lastError() {
  const int n = ZEQ_UnityGetLastError(nullptr, 0);
  std::string text(static_cast<std::size_t>(n) + 1, '\0');
  ZEQ_UnityGetLastError(&text[0], n + 1);
  text.resize(static_cast<std::size_t>(n));
  return text;
}

std::string cascadeText() {
  const std::vector<unsigned char> bytes = zeq::testing::readFileBytes(dirs().tracked + "/face.xml");
  return std::string(bytes.begin(), bytes.end());
}

std::string replaceFirst(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// The RGBA frame in another pixel format and layout: bytes per pixel, the
// channel order, padding after each row, and optionally the rows bottom-up.
std::vector<unsigned char> repack(const cv::Mat& rgba, int format, int rowBytes, bool bottomUp) {
  static const std::vector<std::vector<int>> order = {{0, 1, 2, 3}, {2, 1, 0, 3}, {3, 0, 1, 2},
                                                      {0, 1, 2}, {2, 1, 0}, {-1}};
  const std::vector<int>& channels = order[static_cast<std::size_t>(format)];
  cv::Mat grey;
  cv::cvtColor(rgba, grey, cv::COLOR_RGBA2GRAY);
  std::vector<unsigned char> out(static_cast<std::size_t>(rowBytes) * rgba.rows, 0xAB);
  for (int y = 0; y < rgba.rows; ++y) {
    unsigned char* row = &out[static_cast<std::size_t>(bottomUp ? rgba.rows - 1 - y : y) * rowBytes];
    for (int x = 0; x < rgba.cols; ++x)
      for (std::size_t c = 0; c < channels.size(); ++c)
        row[x * channels.size() + c] = channels[c] < 0 ? grey.at<unsigned char>(y, x)
                                                       : rgba.at<cv::Vec4b>(y, x)[channels[c]];
  }
  return out;
}

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

  // Re-initialising searches on the next frame instead of reporting a loss from
  // the new engine's empty shape.
  ASSERT_EQ(ZEQ_UnityTrackerInit(dirs().lost.c_str(), nullptr, nullptr), 0);
  EXPECT_TRUE(needs_reset);
  EXPECT_EQ(push(blankFrame()), -50);
  EXPECT_EQ(push(faceFrame()), 0);  // placed, then lost by its confidence
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
  EXPECT_EQ(zeq::FaceDetector::trackerBox(cv::Rect(100, 40, 200, 200)), cv::Rect(110, 80, 180, 180));
  EXPECT_EQ(zeq::FaceDetector::trackerBox(cv::Rect(0, 0, 99, 99)), cv::Rect(4, 19, 89, 89));
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

  // A re-initialisation without a detector changes nothing: the loaded one keeps searching.
  EXPECT_EQ(ZEQ_UnityTrackerInit(dirs().noDetector.c_str(), nullptr, nullptr), -2);
  EXPECT_TRUE(isTrackerInit);
  EXPECT_EQ(push(faceFrame()), 1);

  // Internal entry points that are not exported.
  EXPECT_EQ(ZEQ_UnityLoad(nullptr), -1);
  cv::Mat grey(240, 320, CV_8UC1, cv::Scalar(0));
  ASSERT_EQ(ZEQ_UnityTrackerInit(dirs().lost.c_str(), nullptr, nullptr), 0);
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

TEST_F(Bridge, EveryPixelLayoutGivesTheSameGreyAndPoints) {
  const cv::Mat rgba = faceFrame();
  cv::Mat expected;
  cv::cvtColor(rgba, expected, cv::COLOR_RGBA2GRAY);
  ZEQ_UnityTrackerEnable(true);
  ASSERT_EQ(ZEQ_UnityTrackerInit(dirs().tracked.c_str(), nullptr, nullptr), 0);
  ASSERT_EQ(push(rgba), 1);
  ASSERT_EQ(push(rgba), 1);
  std::vector<float> reference(60);
  ASSERT_EQ(ZEQ_UnityGetPoints(reference.data()), 30);

  const int bpp[] = {4, 4, 4, 3, 3, 1};
  for (int format = 0; format < 6; ++format) {
    for (int padding : {0, 13}) {
      for (bool bottomUp : {false, true}) {
        const int rowBytes = rgba.cols * bpp[format] + padding;
        const std::vector<unsigned char> pixels = repack(rgba, format, rowBytes, bottomUp);
        const std::string label = "format " + std::to_string(format) + " padding " + std::to_string(padding) +
                                  (bottomUp ? " bottom-up" : " top-down");
        FrameView view;
        view.pixels = pixels.data();
        view.width = rgba.cols;
        view.height = rgba.rows;
        view.rowBytes = static_cast<std::size_t>(rowBytes);
        view.format = format;
        view.bottomUp = bottomUp;
        cv::Mat grey, scratch;
        convertToGrey(view, cv::Rect(0, 0, rgba.cols, rgba.rows), grey, scratch);
        EXPECT_EQ(cv::norm(grey, expected, cv::NORM_INF), 0.0) << label;
        // A region converts only its own pixels.
        cv::Mat part(rgba.rows, rgba.cols, CV_8UC1, cv::Scalar(7));
        const cv::Rect region(10, 20, 50, 40);
        convertToGrey(view, region, part, scratch);
        EXPECT_EQ(cv::norm(part(region), expected(region), cv::NORM_INF), 0.0) << label;
        EXPECT_EQ(part.at<unsigned char>(0, 0), 7) << label;

        // The same two frames from a fresh start give the same points.
        ASSERT_EQ(ZEQ_UnityTrackerInit(dirs().tracked.c_str(), nullptr, nullptr), 0);
        const int flags = bottomUp ? ZEQ_IMAGE_BOTTOM_UP : 0;
        EXPECT_EQ(ZEQ_UnityTrackerUpdateImage(pixels.data(), rgba.cols, rgba.rows, rowBytes, format, flags), 1);
        EXPECT_EQ(ZEQ_UnityTrackerUpdateImage(pixels.data(), rgba.cols, rgba.rows, rowBytes, format, flags), 1);
        std::vector<float> points(60);
        ASSERT_EQ(ZEQ_UnityGetPoints(points.data()), 30) << label;
        for (int i = 0; i < 60; ++i) EXPECT_NEAR(points[i], reference[i], 1e-3) << label << " value " << i;
      }
    }
  }
}

TEST_F(Bridge, BadLayoutsChangeNothing) {
  std::vector<unsigned char> pixels(64 * 48 * 4, 90);
  ZEQ_UnityTrackerEnable(true);
  EXPECT_EQ(ZEQ_UnityTrackerUpdateImage(pixels.data(), 64, 48, 256, 0, 0), -41);
  ASSERT_EQ(ZEQ_UnityTrackerInit(dirs().tracked.c_str(), nullptr, nullptr), 0);
  ASSERT_EQ(push(faceFrame()), 1);
  struct Case {
    const unsigned char* pixels;
    int width, height, rowBytes, format, status;
  };
  const unsigned char* p = pixels.data();
  for (const Case& c : {Case{p, 64, 48, 256, -1, -56}, Case{p, 64, 48, 256, 6, -56}, Case{p, 64, 48, 255, 0, -56},
                        Case{p, 64, 48, 191, 3, -56}, Case{p, 64, 48, 63, 5, -56}, Case{p, 64, 48, 0, 0, -56},
                        Case{p, 64, 48, -256, 0, -56}, Case{p, 64, 48, 256, 1 << 30, -56}}) {
    EXPECT_EQ(ZEQ_UnityTrackerUpdateImage(c.pixels, c.width, c.height, c.rowBytes, c.format, 0), c.status)
        << c.rowBytes << " " << c.format;
    EXPECT_EQ(state, 1);  // still tracking: nothing changed
    EXPECT_NE(lastError().find("pixel format"), std::string::npos);
  }
  EXPECT_EQ(ZEQ_UnityTrackerUpdateImage(nullptr, 64, 48, 256, 0, 0), -1);
  EXPECT_EQ(ZEQ_UnityTrackerUpdateImage(p, 0, 48, 256, 0, 0), -53);
  EXPECT_EQ(ZEQ_UnityTrackerUpdateImage(p, 64, 20000, 256, 0, 0), -53);
  EXPECT_EQ(ZEQ_UnityTrackerUpdateImage(p, 64, 48, 64, 5, ZEQ_IMAGE_BOTTOM_UP | 6), 1);  // unknown flag bits ignored
}

TEST_F(Bridge, CorruptCascadesAreRefusedWithTheirReason) {
  const std::string good = cascadeText();
  ASSERT_FALSE(good.empty());
  zeq::FaceDetector detector;
  std::string reason;
  EXPECT_TRUE(loadCascade(good, detector, reason)) << reason;
  EXPECT_FALSE(detector.empty());
  std::vector<unsigned char> lbp = zeq::testing::readFileBytes("/usr/share/opencv4/lbpcascades/lbpcascade_frontalface_improved.xml");
  if (!lbp.empty()) {
    zeq::FaceDetector lbpDetector;
    EXPECT_TRUE(loadCascade(std::string(lbp.begin(), lbp.end()), lbpDetector, reason)) << reason;
  }

  // OpenCV's older Haar format is rewritten in the current one: the same detections.
  const std::string oldPath = "/usr/share/opencv4/haarcascades/haarcascade_licence_plate_rus_16stages.xml";
  const std::vector<unsigned char> oldBytes = zeq::testing::readFileBytes(oldPath);
  if (!oldBytes.empty()) {
    const std::string oldText(oldBytes.begin(), oldBytes.end());
    zeq::FaceDetector converted;
    cv::CascadeClassifier opencv;
    ASSERT_TRUE(loadCascade(oldText, converted, reason)) << reason;
    ASSERT_TRUE(opencv.load(oldPath));
    const cv::Mat picture = cv::imread(zeq::testing::sourceDir() + "/tests/data/einstein.jpg", cv::IMREAD_GRAYSCALE);
    std::vector<cv::Rect> ours, theirs;
    converted.detect(picture, ours, 1.05, 0, cv::Size());
    opencv.detectMultiScale(picture, theirs, 1.05, 0, 0, cv::Size(), cv::Size());
    const auto byPlace = [](const cv::Rect& a, const cv::Rect& b) {
      return std::make_tuple(a.x, a.y, a.width, a.height) < std::make_tuple(b.x, b.y, b.width, b.height);
    };
    std::sort(ours.begin(), ours.end(), byPlace);
    std::sort(theirs.begin(), theirs.end(), byPlace);
    EXPECT_FALSE(ours.empty());
    EXPECT_EQ(ours, theirs);
    for (const auto& m : {std::pair<std::string, std::string>{"32 2 8 6 -1.", "32 2 80 6 -1."},
                          {"<left_val>-9.5547717809677124e-001", "<left_node>0"},
                          {"64 16</size>", "64 -16</size>"}}) {
      zeq::FaceDetector d;
      EXPECT_FALSE(loadCascade(replaceFirst(oldText, m.first, m.second), d, reason)) << m.second;
      EXPECT_NE(reason.find("Invalid face detector cascade"), std::string::npos) << reason;
    }
  }

  struct Mutation {
    std::string from, to;
  };
  // The first feature is "6 4 12 9 -1." / "6 7 12 3 3."; the first tree "0 -1 0 -3.15e-02".
  const std::vector<Mutation> mutations = {
      {"6 4 12 9 -1.", "6 4 -100000 9 -1."},     // the rectangle that crashed OpenCV
      {"6 4 12 9 -1.", "6 4 12 90000 -1."},      // past the window
      {"6 4 12 9 -1.", "6 4 12 9 nan"},          // weight
      {"6 4 12 9 -1.", "6 4 12 9 1e300"},        // weight not a float
      {"6 4 12 9 -1.</_>", "6 4 12 9 -1.</_><_>1 1 1 1 1.</_><_>1 1 1 1 1.</_>"},  // four rectangles
      {"0 -1 0 -3.1511999666690826e-02", "0 -1 99999 -3.1511999666690826e-02"},   // feature index
      {"0 -1 0 -3.1511999666690826e-02", "0 0 0 -3.1511999666690826e-02 0 -1 0 1"},  // node count vs leaves
      {"0 -1 0 -3.1511999666690826e-02", "0 -5 0 -3.1511999666690826e-02"},        // leaf index
      {"0 -1 0 -3.1511999666690826e-02", "0 -1 0 nan"},                            // threshold
      {"<stageThreshold>-5.0425500869750977e+00", "<stageThreshold>inf"},
      {"<width>24</width>", "<width>-24</width>"},
      {"<featureType>HAAR", "<featureType>HOG"},
      {"<maxCatCount>0<", "<maxCatCount>3<"},
      {"<stages>", "<stagez>"},
      {"<opencv_storage>", "<opencv_storage"},  // not parseable
      {"<?xml version=\"1.0\"?>", "<?xml version=  \xa0\"?>"},  // crashed OpenCV's parser
      {"<stageType>", "<stageType a=\"b\">"},
      {"<height>24</height>", "<height>24</heigth>"},
  };
  for (const Mutation& m : mutations) {
    zeq::FaceDetector d;
    reason.clear();
    EXPECT_FALSE(loadCascade(replaceFirst(good, m.from, m.to), d, reason)) << m.to;
    EXPECT_NE(reason.find("Invalid face detector cascade"), std::string::npos) << m.to << ": " << reason;
    EXPECT_TRUE(d.empty()) << m.to;
  }
  // A tree whose child points back to itself would never end.
  std::string looping = replaceFirst(good, "0 -1 0 -3.1511999666690826e-02", "1 -1 0 0.5 1 -2 0 0.5");
  looping = replaceFirst(looping, "2.0875380039215088e+00 -2.2172100543975830e+00", "1 2 3");
  EXPECT_FALSE(loadCascade(looping, detector, reason));
  EXPECT_NE(reason.find("child index"), std::string::npos) << reason;
}

TEST_F(Bridge, AFailedInitKeepsTheWorkingTrackerAndSaysWhy) {
  const std::string bad = replaceFirst(cascadeText(), "6 4 12 9 -1.", "6 4 -100000 9 -1.");
  const std::string badDir = zeq::testing::makeTempDir();
  ASSERT_EQ(zeq::testing::writeSyntheticModelDir(badDir, {}, false), 0);
  zeq::testing::writeFileBytes(badDir + "/face.xml", std::vector<unsigned char>(bad.begin(), bad.end()));

  ZEQ_UnityTrackerEnable(true);
  EXPECT_EQ(ZEQ_UnityTrackerInit(badDir.c_str(), nullptr, nullptr), -2);
  EXPECT_FALSE(isTrackerInit);
  EXPECT_NE(lastError().find("a rectangle has a negative size"), std::string::npos) << lastError();

  ASSERT_EQ(ZEQ_UnityTrackerInit(dirs().tracked.c_str(), nullptr, nullptr), 0);
  EXPECT_EQ(lastError(), "");
  ASSERT_EQ(push(faceFrame()), 1);
  std::vector<float> before(60), after(60);
  ASSERT_EQ(ZEQ_UnityGetPoints(before.data()), 30);

  struct Case {
    std::string dir;
    int result;
    std::string message;
  };
  for (const Case& c : {Case{"/no/such/dir", -2, "/no/such/dir/face.xml"}, Case{badDir, -2, "Invalid face detector"},
                        Case{dirs().noModel, -1, "stays in use"}}) {
    EXPECT_EQ(ZEQ_UnityTrackerInit(c.dir.c_str(), nullptr, nullptr), c.result) << c.dir;
    EXPECT_NE(lastError().find(c.message), std::string::npos) << lastError();
    EXPECT_EQ(state, 1);
    EXPECT_FALSE(needs_reset);
    EXPECT_EQ(ZEQ_UnityGetPoints(after.data()), 30);
    EXPECT_EQ(after, before);
  }
  EXPECT_EQ(push(faceFrame()), 1);  // the working tracker goes on

  // The message is truncated to the caller's buffer and its full length returned.
  ZEQ_UnityTrackerInit(nullptr, nullptr, nullptr);
  const std::string full = lastError();
  char small[6] = {'x', 'x', 'x', 'x', 'x', 'x'};
  EXPECT_EQ(ZEQ_UnityGetLastError(small, 5), static_cast<int>(full.size()));
  EXPECT_EQ(std::string(small), full.substr(0, 4));
  EXPECT_EQ(small[5], 'x');
  EXPECT_EQ(ZEQ_UnityGetLastError(small, 0), static_cast<int>(full.size()));
}

TEST_F(Bridge, InitFromMemoryEqualsInitFromADirectory) {
  const std::vector<unsigned char> model = zeq::testing::readFileBytes(dirs().tracked + "/zeqTracker.model");
  const std::string cascade = cascadeText();
  ASSERT_FALSE(model.empty());
  const int modelBytes = static_cast<int>(model.size()), cascadeBytes = static_cast<int>(cascade.size());
  ZEQ_UnityTrackerEnable(true);
  ASSERT_EQ(ZEQ_UnityTrackerInit(dirs().tracked.c_str(), nullptr, nullptr), 0);
  ASSERT_EQ(push(faceFrame()), 1);
  ASSERT_EQ(push(faceFrame()), 1);
  std::vector<float> fromDir(60), fromMemory(60);
  ASSERT_EQ(ZEQ_UnityGetPoints(fromDir.data()), 30);

  ZEQ_UnityTrackerRelease();
  ZEQ_UnityTrackerEnable(true);
  ASSERT_EQ(ZEQ_UnityTrackerInitFromMemory(model.data(), modelBytes, cascade.data(), cascadeBytes), 0);
  EXPECT_TRUE(isTrackerInit);
  ASSERT_EQ(push(faceFrame()), 1);
  ASSERT_EQ(push(faceFrame()), 1);
  ASSERT_EQ(ZEQ_UnityGetPoints(fromMemory.data()), 30);
  EXPECT_EQ(fromMemory, fromDir);

  const std::string bad = replaceFirst(cascade, "<width>24</width>", "<width>0</width>");
  struct Case {
    const unsigned char* model;
    int modelBytes;
    const char* cascade;
    int cascadeBytes, result;
  };
  for (const Case& c : {Case{nullptr, modelBytes, cascade.data(), cascadeBytes, -3},
                        Case{model.data(), 0, cascade.data(), cascadeBytes, -3},
                        Case{model.data(), modelBytes, nullptr, cascadeBytes, -3},
                        Case{model.data(), modelBytes, cascade.data(), -1, -3},
                        Case{model.data(), modelBytes, bad.data(), static_cast<int>(bad.size()), -2},
                        Case{model.data(), modelBytes, cascade.data(), cascadeBytes / 2, -2},  // cut short
                        Case{model.data(), modelBytes / 2, cascade.data(), cascadeBytes, -1}}) {
    EXPECT_EQ(ZEQ_UnityTrackerInitFromMemory(c.model, c.modelBytes, c.cascade, c.cascadeBytes), c.result);
    EXPECT_FALSE(lastError().empty());
    EXPECT_EQ(state, 1);  // nothing that worked was replaced
  }
}

}  // namespace
