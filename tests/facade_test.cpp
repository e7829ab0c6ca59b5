#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include "engine/FacePosePredictor.h"
#include "support/SyntheticModel.h"
#include "support/TestSupport.h"
#include "tracker/Tracker.h"

namespace {

using zeq::Tracker;

std::string modelDir(const zeq::testing::SyntheticModelOptions& options) {
  const std::string dir = zeq::testing::makeTempDir();
  EXPECT_EQ(zeq::testing::writeSyntheticModelDir(dir, options, false), 0);
  return dir;
}

std::string trackedModelDir() {
  static const std::string dir = modelDir({});
  return dir;
}


cv::Point2f eyeCentre(const cv::Mat_<float>& shape, int first) {
  cv::Point2f c(0, 0);
  for (int k = first; k < first + 6; ++k) c += cv::Point2f(shape(2 * k), shape(2 * k + 1));
  return c * (1.f / 6.f);
}

TEST(Facade, WithoutEngineEverythingIsSafe) {
  Tracker t;
  t.reuse_last_frame = true;
  t.releaseData();
  t.releaseData();
  EXPECT_FALSE(t.reuse_last_frame);
  EXPECT_EQ(t.nPoints(), 30);
  testing::internal::CaptureStderr();
  EXPECT_EQ(t.update(nullptr, 10, 10), -1);
  EXPECT_FALSE(t.reset(0, 0, 100, 100));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Tracker has not been initialised!\nTracker has not been initialised!\n");
  EXPECT_EQ(t.getPoints(), nullptr);
  EXPECT_EQ(t.getConfidence(), nullptr);
  float x = 5, y = 5, z = 5;
  t.getScale3D(x, y, z);
  EXPECT_EQ(cv::Vec3f(x, y, z), cv::Vec3f(1, 1, 1));
  t.getTranslation(x, y, z, 1000, 320, 240);
  EXPECT_EQ(cv::Vec3f(x, y, z), cv::Vec3f(-1, -1, -1));
  float m[16] = {7};
  t.getTransform(m, m, nullptr);
  EXPECT_EQ(m[0], 7.f);

  destroyzeqTracker(nullptr);
  Tracker* other = createzeqTracker();
  ASSERT_NE(other, nullptr);
  ASSERT_EQ(other->initialise(trackedModelDir().c_str()), 0);
  other->reuse_last_frame = true;
  t.reuse_last_frame = true;
  destroyzeqTracker(other);
  EXPECT_TRUE(t.reuse_last_frame);
}

TEST(Facade, InitialiseMeasuresTheReferenceFace) {
  Tracker t;
  ASSERT_EQ(t.initialise(trackedModelDir().c_str()), 0);
  const cv::Mat_<float> ref = zeq::testing::interleavedReference3D();
  const auto dist = [&](int a, int b) {
    return static_cast<float>(cv::norm(ref.rowRange(3 * a, 3 * a + 3) - ref.rowRange(3 * b, 3 * b + 3)));
  };
  const float* d = t.faceTracker->referenceDistances;
  EXPECT_NEAR(d[0], dist(0, 16), 1e-4);
  EXPECT_NEAR(d[1], dist(0, 27), 1e-4);
  EXPECT_NEAR(d[2], dist(27, 16), 1e-4);
  EXPECT_NEAR(d[3], dist(27, 33), 1e-4);

  // No 3D section and no "/3d.pts": loading fails, the distances are zero and
  // the engine refuses to be placed.
  zeq::testing::SyntheticModelOptions no3D;
  no3D.with3D = false;
  EXPECT_EQ(t.initialise(modelDir(no3D).c_str()), -1);
  ASSERT_NE(t.faceTracker, nullptr);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(t.faceTracker->referenceDistances[i], 0.f);
  EXPECT_FALSE(t.reset(50, 60, 100, 100));
  EXPECT_EQ(t.initialise(nullptr), -1);
  EXPECT_EQ(t.initialise("/nonexistent-zeq-dir"), -1);
  EXPECT_FALSE(t.reset(50, 60, 100, 100));
}

TEST(Facade, ResetPlacesTheReferenceEyesInTheBox) {
  Tracker t;
  ASSERT_EQ(t.initialise(trackedModelDir().c_str()), 0);
  const cv::Mat_<float> ref = t.faceTracker->initialShape;
  ASSERT_NEAR(cv::norm(eyeCentre(ref, 42) - eyeCentre(ref, 36)), 40.0, 1e-3);
  t.faceTracker->pitch = 0.3f;
  t.reuse_last_frame = true;
  ASSERT_TRUE(t.reset(50, 60, 100, 100));
  EXPECT_FALSE(t.reuse_last_frame);
  EXPECT_EQ(t.faceTracker->pitch, 0.f);
  EXPECT_TRUE(t.faceTracker->confidence.empty());
  const cv::Mat_<float> placed = t.faceTracker->shape;
  ASSERT_EQ(placed.rows, 132);
  const cv::Point2f a = eyeCentre(placed, 36), b = eyeCentre(placed, 42);
  EXPECT_NEAR(cv::norm(b - a), 40.0, 1e-3);
  EXPECT_NEAR((a.x + b.x) / 2, 100.f, 1e-3);
  EXPECT_NEAR((a.y + b.y) / 2, 80.f, 1e-3);
}

TEST(Facade, ResetRejectsBadBoxesAndShortReferences) {
  Tracker t;
  ASSERT_EQ(t.initialise(trackedModelDir().c_str()), 0);
  struct Box {
    int x, y, w, h;
  };
  for (const Box& b : {Box{-1, 0, 100, 100}, Box{0, 0, 0, 100}, Box{0, 0, -5, 100}}) {
    ASSERT_TRUE(t.reset(10, 10, 100, 100));
    t.faceTracker->yaw = 0.4f;
    EXPECT_FALSE(t.reset(b.x, b.y, b.w, b.h)) << b.x << "," << b.w;
    EXPECT_TRUE(t.faceTracker->shape.empty());
    EXPECT_EQ(t.faceTracker->yaw, 0.f);
  }
  // A reference shape of fewer than 66 landmarks is never read past its end.
  t.faceTracker->initialShape = t.faceTracker->initialShape.rowRange(0, 90).clone();
  EXPECT_FALSE(t.reset(10, 10, 100, 100));
  t.faceTracker->initialShape.release();
  EXPECT_FALSE(t.reset(10, 10, 100, 100));
}

TEST(Facade, UpdateRepublishesTheThirtySelectedLandmarks) {
  Tracker t;
  ASSERT_EQ(t.initialise(trackedModelDir().c_str()), 0);
  // Distinct confidences per landmark make the copied slots identifiable.
  for (auto* c : {&t.faceTracker->frontalClassifier, &t.faceTracker->positiveYawClassifier,
                  &t.faceTracker->negativeYawClassifier}) {
    for (int i = 0; i < c->offset.rows; ++i) c->offset(i) = 0.5f + 0.005f * i;
  }
  cv::Mat_<unsigned char> image(240, 320);
  cv::randu(image, 0, 255);
  ASSERT_TRUE(t.reset(100, 60, 120, 120));
  ASSERT_EQ(t.update(image.ptr(), image.cols, image.rows), 1);
  const cv::Mat_<float> shape = t.faceTracker->shape.clone();
  const float* p = t.getPoints();
  const float* c = t.getConfidence();
  ASSERT_NE(p, nullptr);
  ASSERT_NE(c, nullptr);
  for (int i = 0; i < 30; ++i) {
    EXPECT_EQ(p[2 * i], shape(2 * Tracker::selected[i]));
    EXPECT_EQ(p[2 * i + 1], shape(2 * Tracker::selected[i] + 1));
  }
  EXPECT_EQ(p[0], shape(4));
  EXPECT_EQ(p[59], shape(129));
  EXPECT_NEAR(c[12], 0.5f + 0.005f * 33, 1e-5);
  EXPECT_EQ(c[12], t.faceTracker->confidence(33));

  // A lost frame empties the engine's shape: no array is offered, but the
  // arrays keep the last tracked values.
  t.faceTracker->threshold = 2.f;
  EXPECT_EQ(t.update(image.ptr(), image.cols, image.rows), 0);
  EXPECT_EQ(t.getPoints(), nullptr);
  EXPECT_EQ(t.getConfidence(), nullptr);
  const float* kept = reinterpret_cast<const float*>(t.faceTracker->outputPoints);
  EXPECT_EQ(kept[0], shape(4));
  EXPECT_EQ(t.update(image.ptr(), image.cols, image.rows), 0);
}

TEST(Facade, SetThresholdClamps) {
  Tracker t;
  ASSERT_EQ(t.initialise(trackedModelDir().c_str()), 0);
  const std::vector<std::pair<float, float>> cases = {{1.5f, 1.f}, {-0.2f, 0.f}, {0.45f, 0.45f}, {NAN, 0.45f}};
  for (const auto& c : cases) {
    t.setThreshold(c.first);
    EXPECT_EQ(t.faceTracker->threshold, c.second) << c.first;
  }
}

cv::Matx33d pinhole() { return {1000, 0, 320, 0, 1000, 240, 0, 0, 1}; }

// Gives the engine landmarks that are the pinhole projection of the reference
// face under (rvec, tvec), plus uniform noise of +-noise px when noise > 0.
void placeProjectedFace(Tracker& t, const cv::Vec3d& rvec, const cv::Vec3d& tvec, float noise = 0.f,
                        unsigned seed = 1) {
  zeq::FaceTracker& e = *t.faceTracker;
  e.shape3D = zeq::testing::interleavedReference3D();
  const int n = e.shape3D.rows / 3;
  std::vector<cv::Point3f> object(n);
  for (int i = 0; i < n; ++i) object[i] = {e.shape3D(3 * i), e.shape3D(3 * i + 1), e.shape3D(3 * i + 2)};
  std::vector<cv::Point2f> image;
  cv::projectPoints(object, rvec, tvec, pinhole(), cv::noArray(), image);
  cv::RNG rng(seed);
  e.shape.create(2 * n, 1);
  for (int i = 0; i < n; ++i) {
    e.shape(2 * i) = image[i].x + (noise > 0.f ? rng.uniform(-noise, noise) : 0.f);
    e.shape(2 * i + 1) = image[i].y + (noise > 0.f ? rng.uniform(-noise, noise) : 0.f);
  }
  e.pose = (cv::Mat_<float>(6, 1) << 0.1f, 0.2f, 0.3f, 160.f, 120.f, 2.5f);
}

// An engine state whose landmarks are an exact pinhole projection of its 3D shape.
class FacadePose : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(t.initialise(trackedModelDir().c_str()), 0);
    placeProjectedFace(t, rvec, tvec);
    t.reuse_last_frame = false;
  }
  static cv::Matx33d K() { return pinhole(); }
  std::vector<float> camera() const { return {1000, 0, 320, 0, 1000, 240, 0, 0, 1}; }

  Tracker t;
  cv::Vec3d rvec{0.1, -0.25, 0.05};
  cv::Vec3d tvec{12, -7, 400};
};

TEST_F(FacadePose, TranslationScaleAndImagePosition) {
  float x = 0, y = 0, z = 0;
  t.getTranslation(x, y, z, 1000, 320, 240);
  EXPECT_NEAR(x, tvec[0], 0.05);
  EXPECT_NEAR(y, tvec[1], 0.05);
  EXPECT_NEAR(z, tvec[2], 0.5);
  t.getTranslationInImage(x, y);
  EXPECT_EQ(cv::Vec2f(x, y), cv::Vec2f(160, 120));
  EXPECT_EQ(t.getScaleInImage(), 2.5f);
  t.getScale3D(x, y, z);
  EXPECT_NEAR(x, 1.f, 1e-6);
  EXPECT_NEAR(y, 1.f, 1e-6);
  EXPECT_EQ(z, 1.f);

  // Not enough 3D points for the landmarks: outputs untouched.
  t.faceTracker->shape3D = t.faceTracker->shape3D.rowRange(0, 90).clone();
  x = y = z = 9;
  t.getTranslation(x, y, z, 1000, 320, 240);
  t.getScale3D(x, y, z);
  EXPECT_EQ(cv::Vec3f(x, y, z), cv::Vec3f(9, 9, 9));
  t.faceTracker->shape.release();
  t.getTranslation(x, y, z, 1000, 320, 240);
  EXPECT_EQ(cv::Vec3f(x, y, z), cv::Vec3f(-1, -1, -1));
  t.getScale3D(x, y, z);
  EXPECT_EQ(cv::Vec3f(x, y, z), cv::Vec3f(1, 1, 1));
  EXPECT_EQ(t.getScaleInImage(), 0.f);
}

TEST_F(FacadePose, TransformHoldsRotationAndTranslationColumnByColumn) {
  const std::vector<float> cam = camera();
  float m[16];
  t.getTransform(m, cam.data(), nullptr);
  EXPECT_TRUE(t.reuse_last_frame);
  cv::Matx33d R;
  cv::Rodrigues(rvec, R);
  for (int c = 0; c < 3; ++c) {
    for (int r = 0; r < 3; ++r) EXPECT_NEAR(m[4 * c + r], R(r, c), 1e-3) << r << "," << c;
  }
  EXPECT_EQ(m[3], 0.f);
  EXPECT_EQ(m[7], 0.f);
  EXPECT_EQ(m[11], 0.f);
  EXPECT_EQ(m[15], 1.f);
  for (int r = 0; r < 3; ++r) EXPECT_NEAR(m[12 + r], tvec[r], 0.5);

  // The refinement from the stored pose stays on the same answer.
  float again[16];
  t.getTransform(again, cam.data(), nullptr);
  for (int i = 0; i < 16; ++i) EXPECT_NEAR(again[i], m[i], 1e-3);

  // Fresh solves: zero distortion equals none, and every index in order equals all landmarks.
  const std::vector<float> zeros(5, 0.f);
  float withZeros[16], ex[16];
  ASSERT_TRUE(t.reset(10, 10, 100, 100));
  EXPECT_FALSE(t.reuse_last_frame);
  SetUp();
  t.getTransform(withZeros, cam.data(), zeros.data());
  std::vector<int> all(66);
  for (int i = 0; i < 66; ++i) all[i] = i;
  t.reuse_last_frame = false;
  t.getTransformEX(ex, cam.data(), nullptr, all.data(), 66);
  for (int i = 0; i < 16; ++i) {
    EXPECT_FLOAT_EQ(withZeros[i], m[i]);
    EXPECT_FLOAT_EQ(ex[i], m[i]);
  }
}

TEST_F(FacadePose, TransformLeavesTheOutputAloneWhenItCannotSolve) {
  const std::vector<float> cam = camera();
  const std::vector<int> three = {0, 1, 2}, outOfRange = {0, 1, 2, 66}, negative = {0, 1, -1, 3};
  struct Case {
    const char* name;
    const std::vector<int>* indices;
    int count;
  };
  for (const Case& c : {Case{"three points", &three, 3}, Case{"index 66", &outOfRange, 4},
                        Case{"negative index", &negative, 4}, Case{"null indices", nullptr, 4},
                        Case{"negative count", &three, -1}}) {
    float m[16];
    for (float& v : m) v = 42.f;
    t.getTransformEX(m, cam.data(), nullptr, c.indices ? c.indices->data() : nullptr, c.count);
    for (float v : m) EXPECT_EQ(v, 42.f) << c.name;
  }
  float m[16];
  for (float& v : m) v = 42.f;
  t.getTransform(m, nullptr, nullptr);
  t.faceTracker->shape3D = t.faceTracker->shape3D.rowRange(0, 150).clone();
  t.getTransform(m, cam.data(), nullptr);
  for (float v : m) EXPECT_EQ(v, 42.f);

  // No face: untouched, and the next solve starts afresh.
  t.reuse_last_frame = true;
  t.faceTracker->shape.release();
  t.getTransform(m, cam.data(), nullptr);
  for (float v : m) EXPECT_EQ(v, 42.f);
  EXPECT_FALSE(t.reuse_last_frame);
}

// Camera values the solver cannot work with never reach the host as a matrix
// or translation, and never leave a pose behind that poisons later solves.
TEST_F(FacadePose, UnusableCamerasLeaveOutputsAndLaterSolvesAlone) {
  const std::vector<float> cam = camera();
  float fresh[16];
  t.getTransform(fresh, cam.data(), nullptr);
  struct Case {
    const char* name;
    std::vector<float> camera;
    std::vector<float> distortion;
  };
  const float inf = INFINITY;
  const Case cases[] = {
      {"tiny focal length", {1e-30f, 0, 320, 0, 1e-30f, 240, 0, 0, 1}, {}},
      {"huge focal length", {1e30f, 0, 320, 0, 1e30f, 240, 0, 0, 1}, {}},
      {"zero focal length", {0, 0, 320, 0, 1000, 240, 0, 0, 1}, {}},
      {"huge distortion", cam, {3e38f, 3e38f, 0, 0, 3e38f}},
      {"infinite distortion", cam, {0, 0, inf, 0, 0}},
      {"principal point far away", {1000, 0, 1e20f, 0, 1000, 240, 0, 0, 1}, {}},
      {"NaN in the matrix", {1000, 0, 320, 0, 1000, NAN, 0, 0, 1}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    float m[16];
    for (float& v : m) v = 42.f;
    const float* dist = c.distortion.empty() ? nullptr : c.distortion.data();
    t.getTransform(m, c.camera.data(), dist);
    std::vector<int> all(66);
    for (int i = 0; i < 66; ++i) all[i] = i;
    t.getTransformEX(m, c.camera.data(), dist, all.data(), 66);
    for (float v : m) EXPECT_EQ(v, 42.f);
    float x = 7, y = 7, z = 7;
    t.getTranslation(x, y, z, c.camera[0], c.camera[2], c.camera[5]);
    if (c.distortion.empty()) {
      EXPECT_EQ(cv::Vec3f(x, y, z), cv::Vec3f(7, 7, 7));
    }
    // A normal camera afterwards gets the normal answer.
    float after[16];
    t.getTransform(after, cam.data(), nullptr);
    for (int i = 0; i < 16; ++i) EXPECT_NEAR(after[i], fresh[i], 1e-3) << i;
  }
}

// A solve that only overflows when narrowed to float, or lands absurdly far
// away, is neither handed out nor kept as the next start.
TEST_F(FacadePose, SolvesBeyondTheFloatRangeAreNotKept) {
  const std::vector<float> cam = camera();
  float fresh[16];
  t.getTransform(fresh, cam.data(), nullptr);
  const cv::Mat_<float> face = t.faceTracker->shape3D.clone();
  for (float scale : {1e36f, 1e8f}) {
    SCOPED_TRACE(scale);
    t.faceTracker->shape3D = face * scale;  // same image, head `scale` times larger and farther
    float m[16];
    for (float& v : m) v = 42.f;
    t.getTransform(m, cam.data(), nullptr);
    for (float v : m) EXPECT_EQ(v, 42.f);
    EXPECT_FALSE(t.reuse_last_frame);
    float x = 7, y = 7, z = 7;
    t.getTranslation(x, y, z, 1000, 320, 240);
    EXPECT_EQ(cv::Vec3f(x, y, z), cv::Vec3f(7, 7, 7));
    t.faceTracker->shape3D = face.clone();
    float after[16];
    t.getTransform(after, cam.data(), nullptr);
    for (int i = 0; i < 16; ++i) EXPECT_NEAR(after[i], fresh[i], 1e-3) << i;
  }
}

// Each tracker keeps its own head-transform state: what one tracker does (or
// its destruction) does not change another one's next solve.
TEST(FacadeTransformState, TrackersDoNotShareTheirPoses) {
  const std::vector<float> cam = {1000, 0, 320, 0, 1000, 240, 0, 0, 1};
  // Noisy landmarks make a refined solve differ from a fresh one.
  const auto sequence = [&cam](Tracker& a, bool disturb) {
    placeProjectedFace(a, {0.1, -0.25, 0.05}, {12, -7, 400}, 1.5f);
    std::vector<float> out(32);
    a.getTransform(out.data(), cam.data(), nullptr);
    if (disturb) {
      Tracker* other = createzeqTracker();
      EXPECT_EQ(other->initialise(trackedModelDir().c_str()), 0);
      placeProjectedFace(*other, {-0.3, 0.4, 0.1}, {-30, 20, 900}, 0.f);
      float m[16];
      other->getTransform(m, cam.data(), nullptr);
      EXPECT_TRUE(other->reset(10, 10, 100, 100));
      destroyzeqTracker(other);
    }
    a.getTransform(out.data() + 16, cam.data(), nullptr);
    return out;
  };
  Tracker quiet, disturbed;
  ASSERT_EQ(quiet.initialise(trackedModelDir().c_str()), 0);
  ASSERT_EQ(disturbed.initialise(trackedModelDir().c_str()), 0);
  const std::vector<float> expected = sequence(quiet, false);
  const std::vector<float> got = sequence(disturbed, true);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(got[i], expected[i]) << i;
}

TEST(FacadeTransformState, TrackersOnTwoThreadsGetTheirOwnTransforms) {
  const std::vector<float> cam = {1000, 0, 320, 0, 1000, 240, 0, 0, 1};
  Tracker a, b;
  ASSERT_EQ(a.initialise(trackedModelDir().c_str()), 0);
  ASSERT_EQ(b.initialise(trackedModelDir().c_str()), 0);
  placeProjectedFace(a, {0.1, -0.25, 0.05}, {12, -7, 400});
  placeProjectedFace(b, {-0.3, 0.4, 0.1}, {-30, 20, 900});
  const auto run = [&cam](Tracker* t, float expectedZ, int* wrong) {
    for (int i = 0; i < 300; ++i) {
      float m[16] = {0};
      t->getTransform(m, cam.data(), nullptr);
      if (std::fabs(m[14] - expectedZ) > 1.f) ++*wrong;
    }
  };
  int wrongA = 0, wrongB = 0;
  std::thread ta(run, &a, 400.f, &wrongA), tb(run, &b, 900.f, &wrongB);
  ta.join();
  tb.join();
  EXPECT_EQ(wrongA, 0);
  EXPECT_EQ(wrongB, 0);
}

TEST(FacadeSwap, SwapExchangesEngineModelAndPoseState) {
  const std::vector<float> cam = {1000, 0, 320, 0, 1000, 240, 0, 0, 1};
  Tracker working, spare;
  ASSERT_EQ(working.initialise(trackedModelDir().c_str()), 0);
  placeProjectedFace(working, {0.1, -0.25, 0.05}, {12, -7, 400}, 1.5f);
  float before[16], refined[16];
  working.getTransform(before, cam.data(), nullptr);
  ASSERT_TRUE(working.reuse_last_frame);
  const zeq::FaceTracker* engine = working.faceTracker;
  EXPECT_EQ(spare.initialise("/nonexistent-zeq-dir"), -1);
  const std::string spareError = spare.lastError();
  ASSERT_FALSE(spareError.empty());

  working.swap(spare);
  EXPECT_EQ(spare.faceTracker, engine);
  EXPECT_NE(working.faceTracker, engine);
  EXPECT_EQ(working.lastError(), spareError);
  EXPECT_TRUE(spare.lastError().empty());
  EXPECT_FALSE(working.reuse_last_frame);
  EXPECT_FALSE(working.reset(10, 10, 100, 100));  // the failed model came along

  // The pose state moved with the engine: the next solve refines the stored pose,
  // exactly as it would have without the swap.
  Tracker control;
  ASSERT_EQ(control.initialise(trackedModelDir().c_str()), 0);
  placeProjectedFace(control, {0.1, -0.25, 0.05}, {12, -7, 400}, 1.5f);
  float c1[16], c2[16];
  control.getTransform(c1, cam.data(), nullptr);
  control.getTransform(c2, cam.data(), nullptr);
  spare.getTransform(refined, cam.data(), nullptr);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(refined[i], c2[i]) << i;
  EXPECT_TRUE(spare.reset(10, 10, 100, 100));
}

std::vector<unsigned char> engineBytes(const zeq::FaceTracker& e) {
  const std::string path = zeq::testing::makeTempDir() + "/written.model";
  EXPECT_EQ(e.save(path.c_str()), 0);
  return zeq::testing::readFileBytes(path);
}

TEST(FacadeMemory, MemoryLoadGivesTheEngineOfTheDirectoryLoad) {
  const std::string dir = trackedModelDir();
  const std::vector<unsigned char> bytes = zeq::testing::readFileBytes(dir + "/zeqTracker.model");
  ASSERT_FALSE(bytes.empty());
  Tracker fromDir, fromMemory;
  ASSERT_EQ(fromDir.initialise(dir.c_str()), 0);
  ASSERT_EQ(fromMemory.initialiseFromMemory(bytes.data(), bytes.size()), 0);
  EXPECT_TRUE(fromMemory.lastError().empty());
  const zeq::FaceTracker& a = *fromDir.faceTracker;
  const zeq::FaceTracker& b = *fromMemory.faceTracker;
  EXPECT_EQ(engineBytes(a), engineBytes(b));
  EXPECT_EQ(cv::norm(a.initialShape, b.initialShape, cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::norm(a.posePredictor.referenceShape, b.posePredictor.referenceShape, cv::NORM_INF), 0.0);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(a.referenceDistances[i], b.referenceDistances[i]);

  // And they track alike.
  cv::Mat_<unsigned char> image(240, 320);
  cv::randu(image, 0, 255);
  ASSERT_TRUE(fromDir.reset(100, 60, 120, 120));
  ASSERT_TRUE(fromMemory.reset(100, 60, 120, 120));
  ASSERT_EQ(fromDir.update(image.ptr(), image.cols, image.rows), 1);
  ASSERT_EQ(fromMemory.update(image.ptr(), image.cols, image.rows), 1);
  EXPECT_EQ(cv::norm(a.shape, b.shape, cv::NORM_INF), 0.0);
}

TEST(FacadeMemory, TruncatedCorruptAndMissingBuffersAreRefusedWithAReason) {
  const std::vector<unsigned char> bytes = zeq::testing::readFileBytes(trackedModelDir() + "/zeqTracker.model");
  ASSERT_GT(bytes.size(), 1000u);
  struct Case {
    const char* name;
    std::vector<unsigned char> data;
  };
  std::vector<unsigned char> hugeCount = bytes;
  const std::int32_t huge = 0x7fffffff;
  std::memcpy(hugeCount.data() + 4, &huge, sizeof(huge));  // rows of the first reference shape
  std::vector<unsigned char> no3D = bytes;
  const Case cases[] = {
      {"four bytes", std::vector<unsigned char>(bytes.begin(), bytes.begin() + 4)},
      {"cut in the first stage", std::vector<unsigned char>(bytes.begin(), bytes.begin() + 700)},
      {"cut in the middle", std::vector<unsigned char>(bytes.begin(), bytes.begin() + bytes.size() / 2)},
      {"huge element count", hugeCount},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Tracker t;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(t.initialiseFromMemory(c.data.data(), c.data.size()), -1);
    ::testing::internal::GetCapturedStdout();
    EXPECT_FALSE(t.lastError().empty());
    EXPECT_FALSE(t.reset(10, 10, 100, 100));
  }
  Tracker t;
  EXPECT_EQ(t.initialiseFromMemory(nullptr, 100), -1);
  EXPECT_FALSE(t.lastError().empty());
  EXPECT_EQ(t.initialiseFromMemory(bytes.data(), 0), -1);
  EXPECT_FALSE(t.lastError().empty());

  // A model that relies on a separate 3D file cannot be completed from memory.
  zeq::testing::SyntheticModelOptions without3D;
  without3D.with3D = false;
  const std::vector<unsigned char> bare = zeq::testing::readFileBytes(modelDir(without3D) + "/zeqTracker.model");
  EXPECT_EQ(t.initialiseFromMemory(bare.data(), bare.size()), -1);
  EXPECT_NE(t.lastError().find("3D"), std::string::npos);

  // A clean load clears the previous reason.
  ASSERT_EQ(t.initialiseFromMemory(bytes.data(), bytes.size()), 0);
  EXPECT_EQ(t.lastError(), "");
}

// The host reads why a load failed: the loader's printed message, or a reason
// for failures the loader does not print.
TEST(FacadeErrors, LastErrorNamesTheReasonOfTheLastLoad) {
  Tracker t;
  ASSERT_EQ(t.initialise(trackedModelDir().c_str()), 0);
  EXPECT_EQ(t.lastError(), "");
  EXPECT_EQ(t.initialise("/nonexistent-zeq-dir"), -1);
  EXPECT_EQ(t.lastError(), "Failed loading tracker model from: /nonexistent-zeq-dir/zeqTracker.model");
  zeq::testing::SyntheticModelOptions no3D;
  no3D.with3D = false;
  const std::string dir = modelDir(no3D);
  EXPECT_EQ(t.initialise(dir.c_str()), -1);
  EXPECT_EQ(t.lastError(), "Failed loading 3D shape model from: " + dir + "/3d.pts");
  EXPECT_EQ(t.load(nullptr), -1);
  EXPECT_FALSE(t.lastError().empty());

  // An inconsistent model: the printed line, without its newline.
  zeq::FaceTracker source;
  zeq::testing::fillSyntheticModel(source);
  source.negativeYawClassifier.offset = cv::Mat_<float>(65, 1, 1.f);
  const std::string bad = zeq::testing::makeTempDir();
  ASSERT_EQ(source.save((bad + "/zeqTracker.model").c_str()), 0);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(t.initialise(bad.c_str()), -1);
  const std::string printed = ::testing::internal::GetCapturedStdout();
  ASSERT_FALSE(printed.empty());
  EXPECT_EQ(t.lastError() + "\n", printed);
  EXPECT_EQ(t.lastError().rfind("Inconsistent tracker model: ", 0), 0u);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(t.load((bad + "/zeqTracker.model").c_str()), -1);
  EXPECT_EQ(t.lastError() + "\n", ::testing::internal::GetCapturedStdout());
}

}  // namespace
