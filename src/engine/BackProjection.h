#pragma once
#include <cmath>

#include <opencv2/core.hpp>

#include "engine/Rotation.h"

namespace zeq {

// Weak-perspective pose (rotation, translation, scale) ready for back-projection.
struct PoseTerms {
  cv::Matx33f R;
  float tx = 0.f;
  float ty = 0.f;
  float s = 1.f;
};

// A pose vector usable for back-projection: 6 finite values with a nonzero scale.
inline bool usablePose(const cv::Mat_<float>& pose) {
  if (pose.total() != 6 || (pose.rows != 1 && pose.cols != 1)) return false;
  for (int i = 0; i < 6; ++i) {
    if (!std::isfinite(pose(i))) return false;
  }
  return pose(5) != 0.f;
}

// Reads a pose vector (rx, ry, rz, tx, ty, s); false when it is not usable.
inline bool readPose(const cv::Mat_<float>& pose, PoseTerms& out) {
  if (!usablePose(pose)) return false;
  out.R = rotationFromVector(pose(0), pose(1), pose(2));
  out.tx = pose(3);
  out.ty = pose(4);
  out.s = pose(5);
  for (float v : out.R.val) {
    if (!std::isfinite(v)) return false;
  }
  return true;
}

// The model point that projects exactly onto image point (x, y) under the pose
// and keeps the depth of model point `depth` along the viewing direction. out
// may be depth itself.
inline void backProject(const PoseTerms& p, float x, float y, const float* depth, float* out) {
  const cv::Matx33f& R = p.R;
  const float u = (x - p.tx) / p.s;
  const float v = (y - p.ty) / p.s;
  const float d = R(2, 0) * depth[0] + R(2, 1) * depth[1] + R(2, 2) * depth[2];
  out[0] = R(0, 0) * u + R(1, 0) * v + R(2, 0) * d;
  out[1] = R(0, 1) * u + R(1, 1) * v + R(2, 1) * d;
  out[2] = R(0, 2) * u + R(1, 2) * v + R(2, 2) * d;
}

}  // namespace zeq
