#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>

#include "engine/FaceTracker.h"
#include "support/SyntheticModel.h"

namespace {

using zeq::FaceTracker;

std::unique_ptr<FaceTracker> makeTracker(int modes3D = 4) {
  auto t = std::make_unique<FaceTracker>();
  zeq::testing::fillSyntheticModel(*t, {.modes3D = modes3D});
  return t;
}

cv::Mat_<float> poseVector(cv::Vec3f rv, float tx, float ty, float s) {
  return (cv::Mat_<float>(6, 1) << rv[0], rv[1], rv[2], tx, ty, s);
}

cv::Point3f point3(const cv::Mat_<float>& s3, int i) { return {s3(3 * i), s3(3 * i + 1), s3(3 * i + 2)}; }

// Image position of a model point under a pose vector.
cv::Point2f project(const cv::Mat_<float>& pose, cv::Point3f X) {
  cv::Matx33f R;
  cv::Rodrigues(cv::Vec3f(pose(0), pose(1), pose(2)), R);
  const cv::Vec3f r = R * cv::Vec3f(X.x, X.y, X.z);
  return {pose(5) * r[0] + pose(3), pose(5) * r[1] + pose(4)};
}

// 2D shape of `count` points of an interleaved 3D shape under a pose, plus noise.
cv::Mat_<float> projectShape(const cv::Mat_<float>& s3, int count, const cv::Mat_<float>& pose, float noise) {
  cv::Mat_<float> s(2 * count, 1);
  cv::RNG rng(3);
  for (int i = 0; i < count; ++i) {
    const cv::Point2f p = project(pose, point3(s3, i));
    s(2 * i) = p.x + static_cast<float>(rng.uniform(-noise, noise));
    s(2 * i + 1) = p.y + static_cast<float>(rng.uniform(-noise, noise));
  }
  return s;
}

void expectProjectsOnto(const cv::Mat_<float>& s3, const cv::Mat_<float>& pose, const cv::Mat_<float>& s2, int first,
                        int last, double tol) {
  for (int i = first; i <= last; ++i) {
    const cv::Point2f p = project(pose, point3(s3, i));
    ASSERT_NEAR(p.x, s2(2 * i), tol) << "landmark " << i;
    ASSERT_NEAR(p.y, s2(2 * i + 1), tol) << "landmark " << i;
  }
}

// ---------------------------------------------------------------- calcShape3D

TEST(Shape3D, EveryPointProjectsOntoItsLandmark) {
  auto t = makeTracker();
  const cv::Mat_<float> truth = poseVector({0.2f, -0.3f, 0.1f}, 200.f, 150.f, 3.f);
  const cv::Mat_<float> s2 = projectShape(t->referenceModel3D.mean, 66, truth, 1.5f);
  for (int rows : {132, 133}) {
    SCOPED_TRACE(rows);
    cv::Mat_<float> input(rows, 1, 0.f);
    s2.copyTo(input.rowRange(0, 132));
    cv::Mat_<float> pose = t->posePredictor.calcPose(s2);
    const cv::Mat_<float> startPose = pose.clone();
    cv::Mat_<float> s3;
    t->calcShape3D(input, s3, pose);
    ASSERT_EQ(s3.rows, 198);
    ASSERT_EQ(pose.total(), 6u);
    EXPECT_GT(cv::norm(pose, startPose, cv::NORM_INF), 0.0);  // the pose was refined
    EXPECT_GE(t->lastShape3DIterations(), 1);
    EXPECT_LE(t->lastShape3DIterations(), 5);
    expectProjectsOnto(s3, pose, s2, 0, 65, 2e-3);
  }
}

TEST(Shape3D, ExactProjectionOfTheMeanStopsAtTheSecondIteration) {
  auto t = makeTracker();
  const cv::Mat_<float> truth = poseVector({0.1f, 0.25f, -0.05f}, 160.f, 120.f, 2.5f);
  // The deformable mean is the reference face's points 17..65, so the whole
  // reference projects to an exact picture of the mean.
  const cv::Mat_<float> s2 = projectShape(t->referenceModel3D.mean, 66, truth, 0.f);
  cv::Mat_<float> pose = truth.clone();
  cv::Mat_<float> s3;
  t->calcShape3D(s2, s3, pose);
  EXPECT_EQ(t->lastShape3DIterations(), 2);

  // The pose of the first iteration: the subset against the planar mean.
  const cv::Mat_<float>& mean = t->deformationModel3D.mean;
  const int m = mean.rows / 3;
  cv::Mat_<float> planar(3 * m, 1);
  for (int j = 0; j < m; ++j) {
    planar(j) = mean(3 * j);
    planar(m + j) = mean(3 * j + 1);
    planar(2 * m + j) = mean(3 * j + 2);
  }
  const cv::Mat_<float> firstPose = t->posePredictor.calcPose(s2.rowRange(34, 132).clone(), planar);
  EXPECT_LT(cv::norm(pose, firstPose, cv::NORM_INF), 1e-4);
  EXPECT_LT(cv::norm(pose, truth, cv::NORM_INF), 1e-3);
  EXPECT_LT(cv::norm(s3, t->referenceModel3D.mean, cv::NORM_INF), 1e-3);
}

TEST(Shape3D, IndexTableFitsOnlyTheListedLandmarks) {
  auto t = makeTracker();
  const cv::Mat_<float>& reference = t->referenceModel3D.mean;
  // Fit landmarks 17..49 of a 50-landmark shape.
  const int first = 17, last = 49, m = last - first + 1;
  t->shape3DIndices.create(m, 1);
  for (int j = 0; j < m; ++j) t->shape3DIndices(j) = first + j;
  t->deformationModel3D.mean = reference.rowRange(3 * first, 3 * (last + 1)).clone();
  t->deformationModel3D.basis = cv::Mat_<float>::eye(3 * m, 3);
  t->deformationModel3D.modeScale = cv::Mat_<float>(3, 1, 1.f);

  const cv::Mat_<float> truth = poseVector({-0.15f, 0.2f, 0.05f}, 180.f, 140.f, 2.f);
  const cv::Mat_<float> s2 = projectShape(reference, 50, truth, 1.f);
  cv::Mat_<float> pose = t->posePredictor.calcPose(projectShape(reference, 66, truth, 0.f));
  cv::Mat_<float> s3;
  t->calcShape3D(s2, s3, pose);
  ASSERT_EQ(s3.rows, 198);
  expectProjectsOnto(s3, pose, s2, 0, 49, 2e-3);
  // Points beyond the 2D shape keep the reference face.
  EXPECT_EQ(cv::norm(s3.rowRange(150, 198), reference.rowRange(150, 198), cv::NORM_INF), 0.0);
}

TEST(Shape3D, MismatchedInputsLeaveShapeAndPoseUnchanged) {
  struct Case {
    const char* name;
    std::function<void(FaceTracker&, cv::Mat_<float>& shape2D, cv::Mat_<float>& pose)> spoil;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<Case> cases = {
      {"no 3D model", [](FaceTracker& t, auto&, auto&) { t.hasModel3D = false; }},
      {"deformable mean too short",
       [](FaceTracker& t, auto&, auto&) {
         t.deformationModel3D.mean = t.deformationModel3D.mean.rowRange(0, 144).clone();
         t.deformationModel3D.basis = t.deformationModel3D.basis.rowRange(0, 144).clone();
       }},
      {"basis rows differ from the mean",
       [](FaceTracker& t, auto&, auto&) {
         t.deformationModel3D.basis = t.deformationModel3D.basis.rowRange(0, 144).clone();
       }},
      {"reference face too short",
       [](FaceTracker& t, auto&, auto&) {
         t.referenceModel3D.mean = t.referenceModel3D.mean.rowRange(0, 150).clone();
       }},
      {"index past the 2D shape",
       [](FaceTracker& t, auto&, auto&) {
         t.shape3DIndices = (cv::Mat_<int>(2, 1) << 17, 66);
       }},
      {"negative index", [](FaceTracker& t, auto&, auto&) { t.shape3DIndices = (cv::Mat_<int>(1, 1) << -1); }},
      {"2D shape of 50 landmarks without a table",
       [](FaceTracker&, cv::Mat_<float>& s, auto&) { s = s.rowRange(0, 100).clone(); }},
      {"zero scale", [](FaceTracker&, auto&, cv::Mat_<float>& p) { p(5) = 0.f; }},
      {"NaN in the pose", [nan](FaceTracker&, auto&, cv::Mat_<float>& p) { p(1) = nan; }},
      {"empty pose", [](FaceTracker&, auto&, cv::Mat_<float>& p) { p.release(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto t = makeTracker();
    cv::Mat_<float> s2 = projectShape(t->referenceModel3D.mean, 66, poseVector({0.f, 0.1f, 0.f}, 100, 100, 2), 1.f);
    cv::Mat_<float> pose = t->posePredictor.calcPose(s2);
    c.spoil(*t, s2, pose);
    const cv::Mat_<float> poseBefore = pose.clone();
    cv::Mat_<float> s3(5, 1, 7.f);
    t->calcShape3D(s2, s3, pose);
    EXPECT_EQ(s3.rows, 5);
    EXPECT_EQ(s3(0), 7.f);
    EXPECT_EQ(pose.total(), poseBefore.total());
    if (!pose.empty() && !poseBefore.empty()) {
      EXPECT_EQ(std::memcmp(pose.ptr(0), poseBefore.ptr(0), 6 * sizeof(float)), 0);
    }
  }
}

// ---------------------------------------------------------------- calcGaze

struct Sphere {
  cv::Point3f c;
  float r;
};

Sphere cornerSphere(const cv::Mat_<float>& s3, int a, int b) {
  const cv::Point3f p = point3(s3, a), q = point3(s3, b);
  const float r = static_cast<float>(0.5 * cv::norm(p - q));
  return {cv::Point3f((p.x + q.x) * 0.5f, (p.y + q.y) * 0.5f, (p.z + q.z) * 0.5f + r), r};
}

void expectVec(const cv::Point3f& g, cv::Vec3f expected, double tol = 1e-5) {
  EXPECT_NEAR(g.x, expected[0], tol);
  EXPECT_NEAR(g.y, expected[1], tol);
  EXPECT_NEAR(g.z, expected[2], tol);
}

TEST(Gaze, WorkedExamplesWithCornerSpheres) {
  auto t = makeTracker();
  const cv::Mat_<float> s3 = t->referenceModel3D.mean.clone();
  const cv::Mat_<float> identity = poseVector({0.f, 0.f, 0.f}, 0.f, 0.f, 1.f);
  const Sphere e1 = cornerSphere(s3, 36, 39), e2 = cornerSphere(s3, 42, 45);

  cv::Point3f g1(0, 0, 0), g2(0, 0, 0);
  t->calcGaze(s3, identity, {e1.c.x, e1.c.y}, {e2.c.x, e2.c.y}, g1, g2);
  expectVec(g1, {0.f, 0.f, -1.f});
  expectVec(g2, {0.f, 0.f, -1.f});

  t->calcGaze(s3, identity, {e1.c.x + e1.r, e1.c.y}, {e2.c.x - e2.r, e2.c.y}, g1, g2);
  const float h = static_cast<float>(std::sqrt(0.5));
  expectVec(g1, {h, 0.f, -h});
  expectVec(g2, {-h, 0.f, -h});

  // Under any pose, a pupil seen where the front point projects looks along R (0, 0, -1).
  const cv::Mat_<float> pose = poseVector({0.1f, 0.3f, -0.2f}, 150.f, 90.f, 2.5f);
  const cv::Point3f f1(e1.c.x, e1.c.y, e1.c.z - e1.r), f2(e2.c.x, e2.c.y, e2.c.z - e2.r);
  t->calcGaze(s3, pose, project(pose, f1), project(pose, f2), g1, g2);
  cv::Matx33f R;
  cv::Rodrigues(cv::Vec3f(0.1f, 0.3f, -0.2f), R);
  const cv::Vec3f forward = R * cv::Vec3f(0.f, 0.f, -1.f);
  expectVec(g1, forward);
  expectVec(g2, forward);
}

TEST(Gaze, IndexListSphereCentresOnThePlainMean) {
  auto t = makeTracker();
  const cv::Mat_<float> s3 = t->referenceModel3D.mean.clone();
  t->firstEyeIndices = (cv::Mat_<int>(6, 1) << 36, 37, 38, 39, 40, 41);
  t->secondEyeIndices = (cv::Mat_<int>(6, 1) << 42, 43, 44, 45, 46, 47);
  const auto listSphere = [&](int first) {
    cv::Point3f sum(0, 0, 0);
    float lo = s3(3 * first), hi = lo;
    for (int i = first; i < first + 6; ++i) {
      sum += point3(s3, i);
      lo = std::min(lo, s3(3 * i));
      hi = std::max(hi, s3(3 * i));
    }
    return Sphere{sum * (1.f / 6.f), 0.5f * (hi - lo)};
  };
  const Sphere e1 = listSphere(36), e2 = listSphere(42);
  // A turned head makes the front point's depth visible in the image.
  const cv::Mat_<float> pose = poseVector({0.f, 0.4f, 0.f}, 50.f, 60.f, 2.f);
  cv::Point3f g1(0, 0, 0), g2(0, 0, 0);
  t->calcGaze(s3, pose, project(pose, {e1.c.x, e1.c.y, e1.c.z - e1.r}), project(pose, {e2.c.x, e2.c.y, e2.c.z - e2.r}),
              g1, g2);
  cv::Matx33f R;
  cv::Rodrigues(cv::Vec3f(0.f, 0.4f, 0.f), R);
  const cv::Vec3f forward = R * cv::Vec3f(0.f, 0.f, -1.f);
  expectVec(g1, forward);
  expectVec(g2, forward);
}

TEST(Gaze, UnusableInputsLeaveTheOutputs) {
  struct Case {
    const char* name;
    int shapeValues;       // size of the 3D shape
    std::vector<int> list;  // first eye's list (empty: none)
    cv::Mat_<float> pose;
    bool written;
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const cv::Mat_<float> good = poseVector({0.f, 0.f, 0.f}, 0.f, 0.f, 1.f);
  const std::vector<Case> cases = {
      {"zero scale", 198, {}, poseVector({0.f, 0.f, 0.f}, 0.f, 0.f, 0.f), false},
      {"NaN scale", 198, {}, poseVector({0.f, 0.f, 0.f}, 0.f, 0.f, nan), false},
      {"NaN rotation", 198, {}, poseVector({nan, 0.f, 0.f}, 0.f, 0.f, 1.f), false},
      {"short pose", 198, {}, cv::Mat_<float>(3, 1, 0.f), false},
      {"not 66 points, no lists", 150, {}, good, false},
      {"list past a 50-point shape", 150, {36, 55}, good, false},
      {"list past a 66-point shape uses the corners", 198, {36, 70}, good, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto t = makeTracker();
    const cv::Mat_<float> s3 = t->referenceModel3D.mean.rowRange(0, c.shapeValues).clone();
    if (!c.list.empty()) t->firstEyeIndices = cv::Mat_<int>(c.list, true);
    const cv::Point3f sentinel(9.f, 9.f, 9.f);
    cv::Point3f g1 = sentinel, g2 = sentinel;
    const Sphere e1 = cornerSphere(t->referenceModel3D.mean, 36, 39);
    t->calcGaze(s3, c.pose, {e1.c.x, e1.c.y}, {0.f, 0.f}, g1, g2);
    if (c.written) {
      expectVec(g1, {0.f, 0.f, -1.f});
      EXPECT_NEAR(cv::norm(g2), 1.0, 1e-5);
    } else {
      EXPECT_EQ(g1, sentinel);
      EXPECT_EQ(g2, sentinel);
    }
  }
}

}  // namespace
