#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/FaceTracker.h"
#include "engine/geometry.h"
#include "support/SyntheticModel.h"

namespace {

using zeq::FaceTracker;
using zeq::testing::SyntheticModelOptions;

constexpr int kWidth = 320;
constexpr int kHeight = 240;

std::unique_ptr<FaceTracker> makeTracker(const SyntheticModelOptions& options = {}) {
  auto tracker = std::make_unique<FaceTracker>();
  zeq::testing::fillSyntheticModel(*tracker, options);
  return tracker;
}

cv::Point2f landmark(const cv::Mat_<float>& s, int i) { return {s(2 * i), s(2 * i + 1)}; }

cv::Point2f contourMean(const cv::Mat_<float>& s, int first, int count) {
  cv::Point2f m(0.f, 0.f);
  for (int i = first; i < first + count; ++i) m += landmark(s, i);
  return m * (1.f / count);
}

cv::Point2f centroid(const cv::Mat_<float>& s) { return contourMean(s, 0, s.rows / 2); }

// Blurred noise with a face drawn over it at the landmarks of `s` (image pixels).
cv::Mat_<unsigned char> faceImage(cv::Size size, const cv::Mat_<float>& s, unsigned seed = 7) {
  cv::Mat_<unsigned char> noise(size);
  cv::RNG rng(seed);
  rng.fill(noise, cv::RNG::UNIFORM, 0, 256);
  cv::Mat_<unsigned char> img;
  cv::GaussianBlur(noise, img, cv::Size(0, 0), 1.5);
  cv::Mat_<unsigned char> face(size, 0);
  std::vector<cv::Point> contour;
  for (int i = 0; i <= 16; ++i) contour.emplace_back(landmark(s, i));
  for (int i = 26; i >= 17; --i) contour.emplace_back(landmark(s, i) + cv::Point2f(0.f, -8.f));
  cv::fillConvexPoly(face, contour, cv::Scalar(110));
  const auto line = [&](int from, int to, bool closed, int value) {
    std::vector<cv::Point> pts;
    for (int i = from; i <= to; ++i) pts.emplace_back(landmark(s, i));
    cv::polylines(face, pts, closed, cv::Scalar(value), 3);
  };
  line(17, 21, false, 10);
  line(22, 26, false, 10);
  line(27, 30, false, 60);
  line(31, 35, false, 40);
  line(48, 59, true, 20);
  cv::circle(face, contourMean(s, 36, 6), 5, cv::Scalar(5), -1);
  cv::circle(face, contourMean(s, 42, 6), 5, cv::Scalar(5), -1);
  cv::Mat_<unsigned char> out;
  cv::addWeighted(img, 0.5, face, 1.0, 0.0, out);
  return out;
}

// 2D projection of the built-in reference face rotated by the rotation vector rv.
cv::Mat_<float> rotatedReference(cv::Vec3f rv, float scale, cv::Point2f centre) {
  const cv::Mat_<float> planar = zeq::FacePosePredictor().referenceShape;
  const int n = planar.rows / 3;
  cv::Matx33f R;
  cv::Rodrigues(rv, R);
  cv::Mat_<float> s(2 * n, 1);
  for (int i = 0; i < n; ++i) {
    const cv::Vec3f p = R * cv::Vec3f(planar(i), planar(n + i), planar(2 * n + i));
    s(2 * i) = scale * p[0] + centre.x;
    s(2 * i + 1) = scale * p[1] + centre.y;
  }
  return s;
}

// A tracker placed on a face box and the matching face image.
struct Scene {
  std::unique_ptr<FaceTracker> tracker;
  cv::Mat_<unsigned char> image;
};

Scene placedScene(const SyntheticModelOptions& options = {}) {
  Scene scene{makeTracker(options), {}};
  EXPECT_TRUE(scene.tracker->reset(110, 70, 100, 100));
  scene.image = faceImage(cv::Size(kWidth, kHeight), scene.tracker->shape);
  return scene;
}

int run(FaceTracker& t, const cv::Mat_<unsigned char>& img) { return t.update(img.ptr(0), img.cols, img.rows); }

bool sameMat(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && (a.empty() || cv::norm(a, b, cv::NORM_INF) == 0);
}

// ---------------------------------------------------------------- re-initialisation

TEST(TrackerReset, PlacesEyeCentresOnTheBoxTargets) {
  auto t = makeTracker();
  ::testing::internal::CaptureStdout();
  ASSERT_TRUE(t->reset(0, 0, 100, 100));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "enter 1\nenter 2\n");

  const cv::Point2f e1 = contourMean(t->shape, 36, 6), e2 = contourMean(t->shape, 42, 6);
  const cv::Point2f mid = (e1 + e2) * 0.5f;
  EXPECT_NEAR(mid.x, 50.f, 1e-4);
  EXPECT_NEAR(mid.y, 20.f, 1e-4);
  EXPECT_NEAR(cv::norm(e2 - e1), 40.0, 1e-4);  // the model's eyes are 40 apart: s = 1
  // Scale 1 and no rotation: a pure shift of initialShape.
  const cv::Mat_<float> shift = t->shape - t->initialShape;
  for (int i = 1; i < t->shape.rows / 2; ++i) {
    EXPECT_NEAR(shift(2 * i), shift(0), 1e-4);
    EXPECT_NEAR(shift(2 * i + 1), shift(1), 1e-4);
  }
  const cv::Mat_<float> first = t->shape.clone();
  ASSERT_TRUE(t->reset(0, 0, 100, 100));
  EXPECT_TRUE(sameMat(first, t->shape));
  // A negative y or a zero height is accepted as computed.
  EXPECT_TRUE(t->reset(10, -5, 100, 0));
  EXPECT_NEAR((contourMean(t->shape, 36, 6).y + contourMean(t->shape, 42, 6).y) / 2, -5.f, 1e-4);
}

TEST(TrackerReset, RejectsBadBoxesAndUnplaceableModels) {
  struct Case {
    const char* name;
    int x, y, w, h;
    std::vector<int> first, second;  // eye index tables (empty: none)
    bool dropInitialShape;
    bool truncateShape;
  };
  const std::vector<Case> cases = {
      {"negative x", -1, 10, 100, 100, {}, {}, false, false},
      {"zero width", 10, 10, 0, 100, {}, {}, false, false},
      {"index past the shape", 0, 0, 100, 100, {36, 66}, {42}, false, false},
      {"negative index", 0, 0, 100, 100, {36}, {-1}, false, false},
      {"coincident eyes", 0, 0, 100, 100, {5}, {5}, false, false},
      {"empty initial shape", 0, 0, 100, 100, {36}, {42}, true, false},
      {"no tables and not 66 points", 0, 0, 100, 100, {}, {}, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto t = makeTracker();
    if (!c.first.empty()) t->firstEyeIndices = cv::Mat_<int>(c.first, true);
    if (!c.second.empty()) t->secondEyeIndices = cv::Mat_<int>(c.second, true);
    if (c.dropInitialShape) t->initialShape.release();
    if (c.truncateShape) t->initialShape = t->initialShape.rowRange(0, 100).clone();
    t->shape = cv::Mat_<float>(4, 1, 1.f);
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(t->reset(c.x, c.y, c.w, c.h));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "enter 1\nenter 2\n");
    EXPECT_TRUE(t->shape.empty());
  }
}

TEST(TrackerReset, HonoursEyeIndexTables) {
  auto t = makeTracker();
  ASSERT_TRUE(t->reset(20, 10, 100, 80));
  const cv::Mat_<float> fallback = t->shape.clone();
  // Tables listing the eye contours place exactly like the 66-landmark rule.
  auto withTables = makeTracker({.withEyeIndices = true});
  ASSERT_TRUE(withTables->reset(20, 10, 100, 80));
  EXPECT_LT(cv::norm(withTables->shape, fallback, cv::NORM_INF), 1e-4);
  // Single-landmark tables: the two contour ends go to the target distance and midpoint.
  t->firstEyeIndices = (cv::Mat_<int>(1, 1) << 0);
  t->secondEyeIndices = (cv::Mat_<int>(1, 1) << 16);
  ASSERT_TRUE(t->reset(20, 10, 100, 80));
  const cv::Point2f a = landmark(t->shape, 0), b = landmark(t->shape, 16);
  EXPECT_NEAR(cv::norm(b - a), 40.0, 1e-3);
  EXPECT_NEAR((a.x + b.x) / 2, 70.f, 1e-3);
  EXPECT_NEAR((a.y + b.y) / 2, 26.f, 1e-3);
}

TEST(TrackerReset, ClearsTrackingStateButKeepsGazeAndShape3D) {
  Scene s = placedScene();
  ASSERT_EQ(run(*s.tracker, s.image), 1);
  ASSERT_EQ(run(*s.tracker, s.image), 1);
  FaceTracker& t = *s.tracker;
  ASSERT_EQ(t.gazeVectors.size(), 2u);
  ASSERT_FALSE(t.shape3D.empty());
  const cv::Mat_<float> shape3D = t.shape3D.clone();
  t.pitch = t.yaw = t.roll = 0.5f;

  ASSERT_TRUE(t.reset(50, 40, 90, 90));
  EXPECT_TRUE(t.confidence.empty());
  EXPECT_TRUE(t.pose.empty());
  EXPECT_TRUE(t.eyePoints.empty());
  EXPECT_FALSE(t.translationTrackerReady);
  EXPECT_EQ(t.pitch, 0.f);
  EXPECT_EQ(t.yaw, 0.f);
  EXPECT_EQ(t.roll, 0.f);
  EXPECT_TRUE(t.flowTracker.currentPoints.empty());
  EXPECT_EQ(t.gazeVectors.size(), 2u);
  EXPECT_TRUE(sameMat(shape3D, t.shape3D));
}

// ---------------------------------------------------------------- guards

TEST(TrackerUpdate, WithoutAFaceReturnsZeroAndChangesNothing) {
  auto t = makeTracker();
  const cv::Mat_<unsigned char> img = faceImage(cv::Size(kWidth, kHeight), t->initialShape);
  const cv::Mat warped = t->warpedImage.clone();
  EXPECT_EQ(run(*t, img), 0);
  EXPECT_TRUE(t->shape.empty());
  EXPECT_TRUE(t->pose.empty());
  EXPECT_TRUE(t->confidence.empty());
  EXPECT_FALSE(t->translationTrackerReady);
  EXPECT_EQ(t->translationTracker.rect, cv::Rect(-1, -1, 0, 0));
  EXPECT_TRUE(t->flowTracker.currentPoints.empty());
  EXPECT_TRUE(sameMat(warped, t->warpedImage));
}

TEST(TrackerUpdate, BadInputsAndIncompleteModelsLeaveStateUntouched) {
  Scene s = placedScene();
  FaceTracker& t = *s.tracker;
  const cv::Mat_<float> placed = t.shape.clone();
  const cv::Mat warped = t.warpedImage.clone();
  const unsigned char* px = s.image.ptr(0);
  struct Case {
    const char* name;
    const unsigned char* image;
    int w, h;
  };
  const std::vector<Case> cases = {
      {"null image", nullptr, kWidth, kHeight}, {"zero width", px, 0, kHeight}, {"zero height", px, kWidth, 0},
      {"negative width", px, -4, kHeight},      {"too wide", px, 16385, 1},    {"too tall", px, 1, 16385},
  };
  const auto expectUntouched = [&]() {
    EXPECT_TRUE(sameMat(placed, t.shape));
    EXPECT_TRUE(t.pose.empty());
    EXPECT_TRUE(t.confidence.empty());
    EXPECT_FALSE(t.translationTrackerReady);
    EXPECT_TRUE(sameMat(warped, t.warpedImage));
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(t.update(c.image, c.w, c.h), 0);
    expectUntouched();
  }
  {
    SCOPED_TRACE("model without a positive-yaw cascade");
    auto cascade = std::move(t.positiveYawRegressors);
    t.positiveYawRegressors.clear();
    EXPECT_EQ(run(t, s.image), 0);
    expectUntouched();
    t.positiveYawRegressors = std::move(cascade);
  }
  {
    SCOPED_TRACE("model without a frontal shape model");
    const zeq::LinearModel model = t.frontalShapeModel;
    t.frontalShapeModel = zeq::LinearModel();
    EXPECT_EQ(run(t, s.image), 0);
    expectUntouched();
    t.frontalShapeModel = model;
  }
  EXPECT_EQ(run(t, s.image), 1);
}

TEST(TrackerUpdate, UnusableShapesCountAsLost) {
  struct Case {
    const char* name;
    cv::Mat_<float> shape;
  };
  Scene s = placedScene();
  cv::Mat_<float> withNaN = s.tracker->shape.clone();
  withNaN(7) = std::numeric_limits<float>::quiet_NaN();
  cv::Mat_<float> collapsed(s.tracker->shape.size(), 100.f);  // one point: degenerate pose
  const std::vector<Case> cases = {
      {"NaN landmark", withNaN},
      {"10 landmarks for a 66-point model", s.tracker->shape.rowRange(0, 20).clone()},
      {"all landmarks at one point", collapsed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scene fresh = placedScene();
    FaceTracker& t = *fresh.tracker;
    t.shape = c.shape;
    t.pitch = 0.3f;
    EXPECT_EQ(run(t, fresh.image), 0);
    EXPECT_TRUE(t.shape.empty());
    EXPECT_TRUE(t.pose.empty());
    EXPECT_TRUE(t.confidence.empty());
    EXPECT_FALSE(t.translationTrackerReady);
    EXPECT_EQ(t.pitch, 0.f);
  }
}

// ---------------------------------------------------------------- normalisation

TEST(TrackerSetupFeature, ClampsAlignsAndWarps) {
  auto t = makeTracker();
  const zeq::LinearModel& model = t->frontalShapeModel;
  const cv::Mat_<float> mean = model.mean;
  // The mean moved left by 20 px (partly outside the image) and down by 30 px,
  // with 10 units of the first non-rigid mode (its limit is 2 * 2.0 = 4).
  const int nonRigid = 4;
  cv::Mat_<float> s = mean + 10.f * model.basis.col(nonRigid);
  for (int i = 0; i < s.rows / 2; ++i) s(2 * i) -= 20.f, s(2 * i + 1) += 30.f;
  const cv::Mat_<unsigned char> img = faceImage(cv::Size(kWidth, kHeight), s);

  cv::Mat_<float> T;
  const cv::Mat_<float> normalised = t->setupFeature(img, s, model, t->frontalRegressors, T);
  ASSERT_EQ(normalised.rows, mean.rows);
  ASSERT_EQ(T.size(), cv::Size(3, 2));
  const cv::Mat_<float> p = model.project(normalised);
  EXPECT_NEAR(p(nonRigid), 4.f, 0.05);
  // Image -> normalised frame: close to a shift by (+20, -30).
  EXPECT_NEAR(T(0, 0), 1.f, 0.02);
  EXPECT_NEAR(T(1, 0), 0.f, 0.02);
  EXPECT_NEAR(T(0, 2), 20.f, 1.5);
  EXPECT_NEAR(T(1, 2), -30.f, 1.5);

  ASSERT_EQ(t->warpedImage.size(), cv::Size(128, 128));
  ASSERT_EQ(t->warpedImage.type(), CV_8UC1);
  cv::Mat_<unsigned char> expected;
  cv::warpAffine(img, expected, T, cv::Size(128, 128), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(0));
  EXPECT_EQ(cv::norm(expected, t->warpedImage, cv::NORM_INF), 0.0);
  // Pixels left of the image are black.
  EXPECT_EQ(cv::countNonZero(t->warpedImage.colRange(0, 15)), 0);
  EXPECT_GT(cv::countNonZero(t->warpedImage.colRange(30, 128)), 90 * 128);
}

// ---------------------------------------------------------------- view choice

TEST(TrackerViews, ChoiceAndWeightAtTheThresholds) {
  struct Case {
    float yawDeg;
    int side;
    bool frontal;
    float weight;
  };
  const std::vector<Case> cases = {
      {-40.f, -1, false, 1.f},  {std::nextafter(-15.f, -16.f), -1, false, 1.f},
      {-15.f, -1, true, 1.f},   {-10.f, -1, true, 0.5f},
      {std::nextafter(-5.f, -6.f), -1, true, 0.f},
      {-5.f, 0, true, 0.f},     {0.f, 0, true, 0.f},
      {5.f, 0, true, 0.f},      {7.5f, 1, true, 0.25f},
      {15.f, 1, true, 1.f},     {std::nextafter(15.f, 16.f), 1, false, 1.f},
      {90.f, 1, false, 1.f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.yawDeg);
    const FaceTracker::ViewChoice v = FaceTracker::chooseView(c.yawDeg);
    EXPECT_EQ(v.side, c.side);
    EXPECT_EQ(v.frontal, c.frontal);
    EXPECT_NEAR(v.sideWeight, c.weight, 1e-6);
  }
}

// Adds a constant x increment (in the stage's reference frame) to every stage.
void addConstantStep(std::vector<zeq::LinearShapeRegressor>& cascade, float dx) {
  for (auto& stage : cascade) {
    const int n = stage.referenceShape.rows / 2;
    for (int i = 0; i < n; ++i) stage.mixMatrix(2 * i, 4 * n) = dx;
  }
}

// Frontal, positive and negative classifiers answer 0, 1 and 0.5 and the
// positive and negative cascades step by +2 and -2 in x: confidence and shape
// tell which views ran and with which weight.
TEST(TrackerViews, UpdateBlendsTheViewsByYaw) {
  struct Case {
    float yawDeg;
    int expectedSide;
    bool expectedFrontal;
  };
  const std::vector<Case> cases = {
      {0.f, 0, true}, {10.f, 1, true}, {-10.f, -1, true}, {25.f, 1, false}, {-25.f, -1, false}};
  const float step = 2.f;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.yawDeg);
    const cv::Mat_<float> start = rotatedReference(cv::Vec3f(0.f, c.yawDeg * static_cast<float>(CV_PI / 180), 0.f),
                                                   2.5f, cv::Point2f(160.f, 120.f));
    const cv::Mat_<unsigned char> img = faceImage(cv::Size(kWidth, kHeight), start);
    const auto track = [&](bool stepping) {
      auto t = makeTracker({.with3D = false});
      t->frontalClassifier.offset.setTo(0.f);
      t->positiveYawClassifier.offset.setTo(1.f);
      t->negativeYawClassifier.offset.setTo(0.5f);
      if (stepping) {
        addConstantStep(t->positiveYawRegressors, step);
        addConstantStep(t->negativeYawRegressors, -step);
      }
      t->threshold = 0.f;
      t->shape = start.clone();
      EXPECT_EQ(run(*t, img), 1);
      return t;
    };
    const auto t = track(true);
    const auto still = track(false);
    ASSERT_EQ(t->pose.total(), 6u);
    const float yawDeg = static_cast<float>(static_cast<double>(t->pose(1) * 180.f) / CV_PI);
    EXPECT_NEAR(yawDeg, c.yawDeg, 0.5);
    const FaceTracker::ViewChoice v = FaceTracker::chooseView(yawDeg);
    ASSERT_EQ(v.side, c.expectedSide);
    ASSERT_EQ(v.frontal, c.expectedFrontal);
    const float expected = v.side > 0 ? v.sideWeight : v.side < 0 ? 0.5f * v.sideWeight : 0.f;
    for (int i = 0; i < t->confidence.rows; ++i) ASSERT_NEAR(t->confidence(i), expected, 1e-6) << i;

    // The step, scaled from the normalised frame into the image, weighted by w.
    const cv::Mat_<float> M = zeq::geo::alignPoints2d(t->frontalRegressors[0].referenceShape, still->shape);
    const double scale = std::hypot(M(0, 0), M(1, 0));
    const cv::Point2f moved = centroid(t->shape) - centroid(still->shape);
    EXPECT_NEAR(moved.x, v.side * step * v.sideWeight * scale, 0.05 * step * scale);
    EXPECT_NEAR(moved.y, 0.f, 0.05 * step * scale);

    // Eye centres exist only below 20 degrees of yaw; gaze follows them.
    EXPECT_EQ(t->eyePoints.size(), std::abs(yawDeg) < 20.f ? 2u : 0u);
    EXPECT_EQ(t->gazeVectors.size(), t->eyePoints.size());
  }
}

// ---------------------------------------------------------------- loss decision

TEST(TrackerLoss, LowConfidenceClearsTheFaceButKeepsGazeAndShape3D) {
  Scene s = placedScene({.classifierOffset = 0.f});
  FaceTracker& t = *s.tracker;
  t.pitch = t.yaw = t.roll = 0.25f;
  EXPECT_EQ(run(t, s.image), 0);
  EXPECT_TRUE(t.shape.empty());
  EXPECT_TRUE(t.confidence.empty());
  EXPECT_TRUE(t.pose.empty());
  EXPECT_TRUE(t.eyePoints.empty());
  EXPECT_FALSE(t.translationTrackerReady);
  EXPECT_EQ(t.pitch, 0.f);
  EXPECT_EQ(t.yaw, 0.f);
  EXPECT_EQ(t.roll, 0.f);
  // Computed in the lost frame and kept.
  EXPECT_EQ(t.gazeVectors.size(), 2u);
  EXPECT_EQ(t.shape3D.rows, 198);
  EXPECT_EQ(run(t, s.image), 0);
}

TEST(TrackerLoss, MeanConfidenceAgainstThreshold) {
  struct Case {
    float offset, threshold;
    int tracked;
    float stored;  // clamped confidence stored per landmark when tracked
  };
  const std::vector<Case> cases = {
      {0.f, 0.f, 1, 0.f},     {-3.f, 0.f, 1, 0.f},  {1.f, 1.f, 1, 1.f},   {2.f, 1.f, 1, 1.f},
      {0.999f, 1.f, 0, 0.f},  {0.5f, 0.5f, 1, 0.5f}, {0.25f, 0.5f, 0, 0.f}, {0.3f, 0.3f, 1, 0.3f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "offset " << c.offset << " threshold " << c.threshold);
    Scene s = placedScene({.classifierOffset = c.offset});
    s.tracker->threshold = c.threshold;
    ASSERT_EQ(run(*s.tracker, s.image), c.tracked);
    if (c.tracked) {
      ASSERT_EQ(s.tracker->confidence.rows, 66);
      for (int i = 0; i < 66; ++i) ASSERT_EQ(s.tracker->confidence(i), c.stored);
    }
  }
}

// ---------------------------------------------------------------- head angles

cv::Matx33d rotX(double a) { return {1, 0, 0, 0, std::cos(a), -std::sin(a), 0, std::sin(a), std::cos(a)}; }
cv::Matx33d rotY(double a) { return {std::cos(a), 0, std::sin(a), 0, 1, 0, -std::sin(a), 0, std::cos(a)}; }
cv::Matx33d rotZ(double a) { return {std::cos(a), -std::sin(a), 0, std::sin(a), std::cos(a), 0, 0, 0, 1}; }

TEST(TrackerAngles, KnownRotationsAndHalfTurns) {
  const float pi = static_cast<float>(CV_PI);
  const auto angles = [](cv::Vec3f rv) {
    cv::Mat_<float> pose = (cv::Mat_<float>(6, 1) << rv[0], rv[1], rv[2], 0.f, 0.f, 1.f);
    cv::Vec3f a;
    FaceTracker::headAngles(pose, a[0], a[1], a[2]);
    return a;
  };
  EXPECT_EQ(angles({0.f, 0.f, 0.f}), cv::Vec3f(0.f, 0.f, 0.f));
  for (float a : {0.5f, -1.2f, 3.0f}) {
    const cv::Vec3f r = angles({a, 0.f, 0.f});
    EXPECT_NEAR(r[0], a, 1e-5);
    EXPECT_NEAR(r[1], 0.f, 1e-5);
    EXPECT_NEAR(r[2], 0.f, 1e-5);
  }
  // Any rotation, half turns included: finite angles that rebuild it as Rx Ry Rz.
  const std::vector<cv::Vec3f> rotations = {
      {0.3f, -0.2f, 0.1f}, {pi, 0.f, 0.f},      {0.f, pi, 0.f},          {0.f, 0.f, pi},
      {-pi, 0.f, 0.f},     {pi - 1e-4f, 0.f, 0.f}, {pi / std::sqrt(2.f), pi / std::sqrt(2.f), 0.f},
      {0.f, 1.5707f, 0.f}, {1.f, 1.f, 1.f}};
  for (const cv::Vec3f& rv : rotations) {
    SCOPED_TRACE(::testing::Message() << rv);
    const cv::Vec3f a = angles(rv);
    ASSERT_TRUE(std::isfinite(a[0]) && std::isfinite(a[1]) && std::isfinite(a[2]));
    cv::Matx33f R;
    cv::Rodrigues(rv, R);
    const cv::Matx33d rebuilt = rotX(a[0]) * rotY(a[1]) * rotZ(a[2]);
    for (int i = 0; i < 9; ++i) EXPECT_NEAR(rebuilt.val[i], R.val[i], 1e-3) << i;
  }
}

TEST(TrackerAngles, UpdateSetsAnglesOfTheFramePose) {
  struct Case {
    cv::Vec3f rotation;
    float pitch, yaw, roll;
  };
  const std::vector<Case> cases = {{{0.f, 0.f, 0.f}, 0.f, 0.f, 0.f},
                                   {{0.35f, 0.f, 0.f}, 0.35f, 0.f, 0.f},
                                   {{0.f, 0.f, static_cast<float>(CV_PI)}, 0.f, 0.f, static_cast<float>(CV_PI)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.rotation);
    auto t = makeTracker({.with3D = false});  // keeps the pose of the view choice
    t->shape = rotatedReference(c.rotation, 2.5f, cv::Point2f(160.f, 120.f));
    ASSERT_EQ(run(*t, faceImage(cv::Size(kWidth, kHeight), t->shape)), 1);
    EXPECT_NEAR(t->pitch, c.pitch, 1e-3);
    EXPECT_NEAR(t->yaw, c.yaw, 1e-3);
    EXPECT_NEAR(std::abs(t->roll), c.roll, 1e-3);  // a half turn is +-pi
  }
}

// ---------------------------------------------------------------- motion

TEST(TrackerMotion, TemplateTrackerCarriesTheShapeWithTheImage) {
  const int dx = 6, dy = 3;
  const auto t = makeTracker();
  t->smoothing = false;
  // The face is drawn on a larger canvas; frames are windows into it.
  ASSERT_TRUE(t->reset(110, 70, 100, 100));
  cv::Mat_<float> onCanvas = t->shape.clone();
  for (int i = 0; i < 66; ++i) onCanvas(2 * i) += 40.f, onCanvas(2 * i + 1) += 40.f;
  const cv::Mat_<unsigned char> canvas = faceImage(cv::Size(kWidth + 80, kHeight + 80), onCanvas);
  const cv::Mat_<unsigned char> frame0 = canvas(cv::Rect(40, 40, kWidth, kHeight)).clone();
  const cv::Mat_<unsigned char> frame1 = canvas(cv::Rect(40 - dx, 40 - dy, kWidth, kHeight)).clone();

  ASSERT_EQ(run(*t, frame0), 1);
  EXPECT_TRUE(t->translationTrackerReady);
  const cv::Point2f before = centroid(t->shape);
  ASSERT_EQ(run(*t, frame0), 1);  // static image: no displacement
  EXPECT_LT(cv::norm(centroid(t->shape) - before), 0.01);
  ASSERT_EQ(run(*t, frame1), 1);
  const cv::Point2f moved = centroid(t->shape) - before;
  // Up to one template pixel of truncation.
  const double quantum = t->translationTracker.rect.width / 48.0;
  EXPECT_NEAR(moved.x, dx, quantum);
  EXPECT_NEAR(moved.y, dy, quantum);
}

TEST(TrackerEndToEnd, FollowsAMovingFaceWithSmoothing) {
  const auto t = makeTracker();
  ASSERT_TRUE(t->smoothing);
  ASSERT_TRUE(t->reset(110, 70, 100, 100));
  const int margin = 80;
  cv::Mat_<float> onCanvas = t->shape.clone();
  for (int i = 0; i < 66; ++i) onCanvas(2 * i) += margin, onCanvas(2 * i + 1) += margin;
  const cv::Mat_<unsigned char> canvas = faceImage(cv::Size(kWidth + 2 * margin, kHeight + 2 * margin), onCanvas);
  const cv::Point2f start = centroid(t->shape);
  const int frames = 30;
  for (int f = 0; f < frames; ++f) {
    const int ox = 2 * f, oy = f;  // the face moves right and down
    const cv::Mat_<unsigned char> frame = canvas(cv::Rect(margin - ox, margin - oy, kWidth, kHeight)).clone();
    ASSERT_EQ(run(*t, frame), 1) << "frame " << f;
    // The template tracker reports whole pixels at the template's scale, and
    // nothing in a zero-regression model pulls the shape back, so it may fall
    // slightly behind; without motion prediction it would be left far behind.
    const cv::Point2f offset = centroid(t->shape) - start;
    ASSERT_GE(offset.x, 0.85f * ox - 0.5f) << "frame " << f;
    ASSERT_LE(offset.x, ox + 0.5f) << "frame " << f;
    ASSERT_NEAR(offset.y, oy, 0.15 * oy + 0.5) << "frame " << f;
    ASSERT_EQ(t->eyePoints.size(), 2u);
    const cv::Point2f eye = contourMean(onCanvas, 36, 6) - cv::Point2f(margin - ox, margin - oy);
    ASSERT_LT(cv::norm(t->eyePoints[0] - eye), 0.15 * std::hypot(ox, oy) + 0.5) << "frame " << f;
    ASSERT_EQ(t->gazeVectors.size(), 2u);
    for (const auto& g : t->gazeVectors) ASSERT_NEAR(cv::norm(g), 1.0, 1e-4);
    ASSERT_TRUE(std::isfinite(t->pitch) && std::isfinite(t->yaw) && std::isfinite(t->roll));
  }
}

}  // namespace
