#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>

#include "engine/FacePosePredictor.h"

namespace {

using zeq::FacePosePredictor;

constexpr int kPoints = 66;

// The built-in reference as one (x, y, z) per row, read from a fresh predictor.
cv::Mat_<float> builtInPoints() {
  const FacePosePredictor fresh;
  cv::Mat_<float> points(kPoints, 3);
  for (int i = 0; i < kPoints; ++i) {
    for (int c = 0; c < 3; ++c) points(i, c) = fresh.referenceShape(c * kPoints + i);
  }
  return points;
}

// x_i = s (R X_i)_xy + t, interleaved.
cv::Mat_<float> project(const cv::Mat_<float>& X, const cv::Vec3d& rvec, double s, cv::Point2d t) {
  cv::Matx33d R;
  cv::Rodrigues(rvec, R);
  cv::Mat_<float> shape(2 * X.rows, 1);
  for (int i = 0; i < X.rows; ++i) {
    const cv::Vec3d p = R * cv::Vec3d(X(i, 0), X(i, 1), X(i, 2));
    shape(2 * i) = static_cast<float>(s * p[0] + t.x);
    shape(2 * i + 1) = static_cast<float>(s * p[1] + t.y);
  }
  return shape;
}

cv::Mat_<float> interleaved(const cv::Mat_<float>& X) { return X.clone().reshape(1, X.rows * 3); }

void expectPoseNear(const cv::Mat_<float>& pose, const cv::Vec3d& r, cv::Point2d t, double s, double tol) {
  ASSERT_EQ(pose.rows, 6);
  ASSERT_EQ(pose.cols, 1);
  EXPECT_NEAR(pose(0), r[0], tol);
  EXPECT_NEAR(pose(1), r[1], tol);
  EXPECT_NEAR(pose(2), r[2], tol);
  EXPECT_NEAR(pose(3), t.x, tol * (1.0 + std::abs(t.x)));
  EXPECT_NEAR(pose(4), t.y, tol * (1.0 + std::abs(t.y)));
  EXPECT_NEAR(pose(5), s, tol * s);
}

TEST(FacePosePredictor, BuiltInReferenceIsPlanarUntilFirstPose) {
  FacePosePredictor predictor;
  ASSERT_EQ(predictor.referenceShape.rows, 198);
  ASSERT_EQ(predictor.referenceShape.cols, 1);
  EXPECT_EQ(predictor.referenceShape(0), -20.6547f);
  EXPECT_EQ(predictor.referenceShape(1), -20.0519f);
  EXPECT_EQ(predictor.referenceShape(2), -19.1146f);
  EXPECT_EQ(predictor.referenceShape(66), -5.64822f);
  EXPECT_EQ(predictor.referenceShape(197), -4.5521f);  // z of point 65
  EXPECT_FALSE(predictor.initialised);
  EXPECT_TRUE(predictor.projector.empty());

  const cv::Mat_<float> X = builtInPoints();
  ASSERT_FALSE(predictor.calcPose(project(X, {0, 0, 0}, 1.0, {0, 0})).empty());
  EXPECT_TRUE(predictor.initialised);
  ASSERT_EQ(predictor.referenceShape.size(), cv::Size(3, 66));
  ASSERT_EQ(predictor.referenceMean.size(), cv::Size(3, 1));
  ASSERT_EQ(predictor.projector.size(), cv::Size(66, 3));
  cv::Mat_<float> colMeans;
  cv::reduce(predictor.referenceShape, colMeans, 0, cv::REDUCE_AVG);
  for (int c = 0; c < 3; ++c) {
    EXPECT_NEAR(colMeans(c), 0.f, 1e-5);
    EXPECT_NEAR(predictor.referenceMean(c), cv::mean(X.col(c))[0], 1e-5);
  }
}

TEST(FacePosePredictor, ReferenceOwnProjectionIsIdentityPose) {
  FacePosePredictor predictor;
  const cv::Mat_<float> pose = predictor.calcPose(project(builtInPoints(), {0, 0, 0}, 1.0, {0, 0}));
  expectPoseNear(pose, {0, 0, 0}, {0, 0}, 1.0, 1e-5);
}

struct KnownPose {
  cv::Vec3d r;
  double s;
  cv::Point2d t;
};

TEST(FacePosePredictor, RecoversKnownRotationScaleAndTranslation) {
  const KnownPose cases[] = {
      {{0.1, -0.3, 0.2}, 3.5, {320, 240}},
      {{0.0, 0.7, 0.0}, 1.2, {-15, 40}},
      {{-0.4, 0.1, -0.8}, 7.0, {100, 50}},
      {{0.0, 0.0, 1.5}, 0.25, {12.5, -3}},
  };
  const cv::Mat_<float> X = builtInPoints();
  FacePosePredictor predictor;
  for (const KnownPose& c : cases) {
    SCOPED_TRACE(cv::format("r=(%g,%g,%g) s=%g", c.r[0], c.r[1], c.r[2], c.s));
    expectPoseNear(predictor.calcPose(project(X, c.r, c.s, c.t)), c.r, c.t, c.s, 1e-4);
  }
}

TEST(FacePosePredictor, ScalingAndShiftingThePoints) {
  const cv::Mat_<float> X = builtInPoints();
  // Slightly noisy landmarks, so that the fit is not exact.
  cv::Mat_<float> shape = project(X, {0.2, -0.25, 0.05}, 4.0, {300, 200});
  cv::RNG rng(7);
  for (int i = 0; i < shape.rows; ++i) shape(i) += static_cast<float>(rng.uniform(-1.0, 1.0));

  FacePosePredictor predictor;
  const cv::Mat_<float> base = predictor.calcPose(shape);
  ASSERT_FALSE(base.empty());

  const float k = 2.5f;
  const cv::Mat_<float> scaled = predictor.calcPose(cv::Mat_<float>(shape * k));
  expectPoseNear(scaled, {base(0), base(1), base(2)}, {base(3) * k, base(4) * k}, base(5) * k, 1e-4);

  cv::Mat_<float> shifted = shape.clone();
  for (int i = 0; i < kPoints; ++i) {
    shifted(2 * i) += 17.f;
    shifted(2 * i + 1) -= 9.f;
  }
  expectPoseNear(predictor.calcPose(shifted), {base(0), base(1), base(2)}, {base(3) + 17.0, base(4) - 9.0},
                 base(5), 1e-4);
}

TEST(FacePosePredictor, MirroredShapeStillGivesAProperRotation) {
  // The mirror image of the frontal face: rows (-1, 0, 0) and (0, 1, 0); the
  // third row as their cross product makes R a half turn about the y axis.
  cv::Mat_<float> shape = project(builtInPoints(), {0, 0, 0}, 2.0, {50, 60});
  for (int i = 0; i < kPoints; ++i) shape(2 * i) = 100.f - shape(2 * i);
  FacePosePredictor predictor;
  const cv::Mat_<float> pose = predictor.calcPose(shape);
  ASSERT_FALSE(pose.empty());
  EXPECT_NEAR(std::abs(pose(1)), CV_PI, 1e-3);
  EXPECT_NEAR(pose(0), 0.f, 1e-3);
  EXPECT_NEAR(pose(2), 0.f, 1e-3);
  EXPECT_NEAR(pose(5), 2.f, 1e-4);
}

TEST(FacePosePredictor, SetShapeRejectsNonColumnsAndTooFewPoints) {
  const cv::Mat_<float> X = builtInPoints();
  const cv::Mat_<float> shape = project(X, {0.1, 0.2, 0.3}, 2.0, {10, 20});
  FacePosePredictor predictor;
  const cv::Mat_<float> before = predictor.calcPose(shape);
  const cv::Mat_<float> reference = predictor.referenceShape.clone();

  const cv::Mat_<float> rejected[] = {cv::Mat_<float>(), cv::Mat_<float>::ones(9, 2),
                                      cv::Mat_<float>::ones(8, 1)};  // two points and a bit
  for (const cv::Mat_<float>& bad : rejected) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(predictor.setShape(bad), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Unsupported shape vector in setShape\n");
  }
  EXPECT_TRUE(predictor.initialised);
  EXPECT_EQ(cv::norm(predictor.referenceShape, reference, cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::norm(predictor.calcPose(shape), before, cv::NORM_INF), 0.0);
}

TEST(FacePosePredictor, SetShapeUsesWholePointsOnly) {
  const cv::Mat_<float> points = interleaved(builtInPoints());
  for (int extra : {0, 1, 2}) {
    cv::Mat_<float> shape(points.rows + extra, 1, 1000.f);
    points.copyTo(shape.rowRange(0, points.rows));
    FacePosePredictor predictor;
    ASSERT_EQ(predictor.setShape(shape), 0);
    EXPECT_EQ(cv::norm(predictor.referenceShape, FacePosePredictor().referenceShape, cv::NORM_INF), 0.0)
        << extra << " trailing values";
  }
}

TEST(FacePosePredictor, NewReferenceIsUsedByTheNextPose) {
  const cv::Mat_<float> X = builtInPoints();
  const cv::Mat_<float> shape = project(X, {0.3, -0.1, 0.2}, 3.0, {200, 100});
  FacePosePredictor predictor;
  expectPoseNear(predictor.calcPose(shape), {0.3, -0.1, 0.2}, {200, 100}, 3.0, 1e-4);

  // The same face, twice as large and moved: half the scale, same rotation and,
  // with the reference's own centroid moved along, a different translation.
  const cv::Vec3f move(4, -6, 10);
  cv::Mat_<float> larger(X.size());
  for (int i = 0; i < X.rows; ++i) {
    for (int c = 0; c < 3; ++c) larger(i, c) = 2.f * X(i, c) + move[c];
  }
  ASSERT_EQ(predictor.setShape(interleaved(larger)), 0);
  EXPECT_FALSE(predictor.initialised);
  const cv::Mat_<float> pose = predictor.calcPose(shape);
  ASSERT_FALSE(pose.empty());
  EXPECT_TRUE(predictor.initialised);
  EXPECT_NEAR(predictor.referenceMean(0), cv::mean(X.col(0))[0] * 2 + 4, 1e-4);
  EXPECT_NEAR(pose(5), 1.5, 1e-4);
  cv::Matx33d R;
  cv::Rodrigues(cv::Vec3d(0.3, -0.1, 0.2), R);
  const cv::Vec3d shift = R * cv::Vec3d(move) * 1.5;
  EXPECT_NEAR(pose(3), 200.0 - shift[0], 1e-2);
  EXPECT_NEAR(pose(4), 100.0 - shift[1], 1e-2);
}

TEST(FacePosePredictor, TwoArgumentFormMatchesAndChangesNothing) {
  const cv::Mat_<float> shape = project(builtInPoints(), {-0.2, 0.4, 0.1}, 5.0, {320, 180});
  const FacePosePredictor fresh;
  const cv::Mat_<float> planar = fresh.referenceShape.clone();

  FacePosePredictor predictor;
  const cv::Mat_<float> twoArgs = predictor.calcPose(shape, planar);
  EXPECT_FALSE(predictor.initialised);
  EXPECT_TRUE(predictor.projector.empty());
  const cv::Mat_<float> oneArg = predictor.calcPose(shape);
  ASSERT_FALSE(twoArgs.empty());
  ASSERT_FALSE(oneArg.empty());
  EXPECT_LT(cv::norm(twoArgs, oneArg, cv::NORM_INF), 1e-4);
}

TEST(FacePosePredictor, MalformedOrDegenerateShapesGiveNoPose) {
  const cv::Mat_<float> good = project(builtInPoints(), {0.1, 0.1, 0.1}, 2.0, {100, 100});
  cv::Mat_<float> wide(132, 2, 0.f);
  good.copyTo(wide.col(0));
  cv::Mat_<float> collinear(132, 1), onePoint(132, 1, 42.f), withNaN = good.clone();
  for (int i = 0; i < kPoints; ++i) {
    collinear(2 * i) = 10.f + 3.f * i;
    collinear(2 * i + 1) = 5.f + 1.5f * i;
  }
  withNaN(17) = std::numeric_limits<float>::quiet_NaN();

  struct Case {
    const char* name;
    cv::Mat_<float> shape;
    bool message;
  };
  const Case cases[] = {
      {"too short", good.rowRange(0, 130).clone(), true},
      {"as a row", good.t(), true},
      {"not continuous", wide.col(0), true},
      {"empty", cv::Mat_<float>(), true},
      {"collinear", collinear, false},
      {"one position", onePoint, false},
      {"NaN", withNaN, false},
  };
  FacePosePredictor predictor;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(predictor.calcPose(c.shape).empty());
    EXPECT_TRUE(predictor.calcPose(c.shape, FacePosePredictor().referenceShape).empty());
    EXPECT_EQ(!::testing::internal::GetCapturedStderr().empty(), c.message);
  }
  // A 3D shape that does not match the 2D one.
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(predictor.calcPose(good, FacePosePredictor().referenceShape.rowRange(0, 195).clone()).empty());
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Unsupported shape vector in calcPose\n");
  EXPECT_FALSE(predictor.calcPose(good).empty());
}

TEST(FacePosePredictor, FlatReferenceGivesNoPoseInsteadOfFailing) {
  cv::Mat_<float> flat = interleaved(builtInPoints());
  for (int i = 0; i < kPoints; ++i) flat(3 * i + 2) = 0.f;
  const cv::Mat_<float> shape = project(builtInPoints(), {0, 0, 0}, 1.0, {0, 0});

  FacePosePredictor predictor;
  ASSERT_EQ(predictor.setShape(flat), 0);
  EXPECT_NO_THROW(predictor.init());
  EXPECT_TRUE(predictor.calcPose(shape).empty());
  cv::Mat_<float> flatPlanar(198, 1);
  for (int i = 0; i < 198; ++i) flatPlanar(i) = i < 132 ? FacePosePredictor().referenceShape(i) : 0.f;
  EXPECT_TRUE(predictor.calcPose(shape, flatPlanar).empty());

  // A usable reference brings the poses back.
  ASSERT_EQ(predictor.setShape(interleaved(builtInPoints())), 0);
  EXPECT_FALSE(predictor.calcPose(shape).empty());
}

}  // namespace
