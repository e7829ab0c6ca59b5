#pragma once
#include <cfloat>
#include <cmath>

#include <opencv2/core.hpp>

namespace zeq {

// Rotation matrix of a rotation vector (unit axis times angle, radians): the
// values cv::Rodrigues gives for a single-precision vector, formed the same way
// in double precision (cos(theta) I + (1 - cos(theta)) r r^T + sin(theta) [r]x,
// summed in that order and rounded per element), without the heap matrices
// cv::Rodrigues creates on the way. Used once per pose on the per-frame path.
inline cv::Matx33f rotationFromVector(float vx, float vy, float vz) {
  double x = vx, y = vy, z = vz;
  const double theta = std::sqrt(x * x + y * y + z * z);
  if (theta < DBL_EPSILON) return cv::Matx33f::eye();
  const double c = std::cos(theta);
  const double s = std::sin(theta);
  const double c1 = 1. - c;
  const double itheta = 1. / theta;
  x *= itheta;
  y *= itheta;
  z *= itheta;
  const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  const double rrt[9] = {x * x, x * y, x * z, x * y, y * y, y * z, x * z, y * z, z * z};
  const double cross[9] = {0, -z, y, z, 0, -x, -y, x, 0};
  cv::Matx33f R;
  for (int i = 0; i < 9; ++i) R.val[i] = static_cast<float>((c * identity[i] + c1 * rrt[i]) + s * cross[i]);
  return R;
}

}  // namespace zeq
