// The trainer's symmetric, levelled rigid face and what the pose predictor
// reads against it.
#include <cmath>

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>

#include "../tools/zeq-train/Landmarks.h"
#include "../tools/zeq-train/Reference3D.h"
#include "engine/FacePosePredictor.h"
#include "engine/FaceTracker.h"

namespace {

using namespace zeq;
using namespace zeq::train;

cv::Mat_<float> builtInInterleaved() {
  const FacePosePredictor p;
  const int n = p.referenceShape.rows / 3;
  cv::Mat_<float> s(3 * n, 1);
  for (int i = 0; i < n; ++i)
    for (int c = 0; c < 3; ++c) s(3 * i + c) = p.referenceShape(c * n + i);
  return s;
}

cv::Mat_<float> rotated(const cv::Mat_<float>& face, float rx, float ry, float rz) {
  cv::Mat_<float> r;
  cv::Rodrigues(cv::Vec3f(rx, ry, rz), r);
  cv::Mat_<float> out(face.rows, 1);
  for (int i = 0; i < face.rows / 3; ++i)
    for (int k = 0; k < 3; ++k)
      out(3 * i + k) = r(k, 0) * face(3 * i) + r(k, 1) * face(3 * i + 1) + r(k, 2) * face(3 * i + 2);
  return out;
}

// Image of a 3D face under scaled orthographic projection, scale 5, shifted.
cv::Mat_<float> projected(const cv::Mat_<float>& face) {
  cv::Mat_<float> s(2 * (face.rows / 3), 1);
  for (int i = 0; i < face.rows / 3; ++i) {
    s(2 * i) = 5.f * face(3 * i) + 200.f;
    s(2 * i + 1) = 5.f * face(3 * i + 1) + 150.f;
  }
  return s;
}

// Pitch, yaw, roll in degrees of a 2D shape against a rigid face.
cv::Vec3d anglesOf(const cv::Mat_<float>& shape, const cv::Mat_<float>& reference) {
  FacePosePredictor predictor;
  predictor.setShape(reference);
  float p = 0, y = 0, r = 0;
  FaceTracker::headAngles(predictor.calcPose(shape), p, y, r);
  return cv::Vec3d(p, y, r) * (180.0 / CV_PI);
}

TEST(Reference3D, BuiltInFaceBecomesMirrorSymmetricAndKeepsItsSize) {
  const cv::Mat_<float> face = builtInInterleaved();
  const cv::Mat_<float> s = symmetricReference(face);
  ASSERT_EQ(s.rows, face.rows);
  const auto& perm = layout::kMirror;
  for (int i = 0; i < layout::kLandmarks; ++i) {
    EXPECT_NEAR(s(3 * i), -s(3 * perm[i]), 1e-4) << i;
    EXPECT_NEAR(s(3 * i + 1), s(3 * perm[i] + 1), 1e-4) << i;
    EXPECT_NEAR(s(3 * i + 2), s(3 * perm[i] + 2), 1e-4) << i;
  }
  auto rms = [](const cv::Mat_<float>& m) {
    const Eigen::MatrixX3d p = pointsOf(m);
    return std::sqrt((p.rowwise() - p.colwise().mean()).squaredNorm() / p.rows());
  };
  EXPECT_NEAR(rms(s), rms(face), 1e-3 * rms(face));
}

TEST(Reference3D, TurnedSymmetricFaceComesBackWithoutYawOrRoll) {
  const cv::Mat_<float> upright = symmetricReference(builtInInterleaved());
  const cv::Mat_<float> fixed = symmetricReference(rotated(upright, 0.05f, -0.09f, 0.11f));
  // Only a turn about x may remain, so the upright face reads no yaw and no roll.
  const cv::Vec3d a = anglesOf(projected(upright), fixed);
  EXPECT_NEAR(a[1], 0.0, 0.05);
  EXPECT_NEAR(a[2], 0.0, 0.05);
}

TEST(Reference3D, MirroredShapeReadsOppositeYawAndRollAndTheSamePitch) {
  const cv::Mat_<float> reference = symmetricReference(builtInInterleaved());
  cv::Mat_<float> shape = projected(rotated(reference, 0.12f, 0.3f, -0.2f));
  for (int i = 0; i < shape.rows; ++i) shape(i) += static_cast<float>(std::sin(7.0 * i));  // not a rigid face
  const cv::Vec3d a = anglesOf(shape, reference);
  const cv::Vec3d m = anglesOf(mirrorShape(shape, 640), reference);
  EXPECT_GT(std::abs(a[1]), 5.0);
  EXPECT_NEAR(m[0], a[0], 1e-2);
  EXPECT_NEAR(m[1], -a[1], 1e-2);
  EXPECT_NEAR(m[2], -a[2], 1e-2);
}

TEST(Reference3D, TurningAboutXLowersThePitchReadByThatAngle) {
  const cv::Mat_<float> reference = symmetricReference(builtInInterleaved());
  const cv::Mat_<float> shape = projected(rotated(reference, 0.1f, 0.f, 0.f));
  const double before = anglesOf(shape, reference)[0];
  const double after = anglesOf(shape, turnedAboutX(reference, 0.1))[0];
  EXPECT_NEAR(before, 0.1 * 180 / CV_PI, 0.01);
  EXPECT_NEAR(after, 0.0, 0.01);
}

}  // namespace
