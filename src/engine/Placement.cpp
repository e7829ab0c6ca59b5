#include "engine/Placement.h"

#include <cmath>
#include <cstddef>

#include "engine/LandmarkLayout.h"

namespace zeq {

namespace {

constexpr int kPlacedLandmarks = layout::kLandmarks;

// Mean of six consecutive landmarks: a single-precision sum scaled by one
// sixth in double precision.
cv::Point_<float> contourCentre(const float* r, int first) {
  float sx = 0.f, sy = 0.f;
  for (int k = first; k < first + 6; ++k) {
    sx += r[2 * k];
    sy += r[2 * k + 1];
  }
  return cv::Point_<float>(static_cast<float>(sx * (1.0 / 6.0)), static_cast<float>(sy * (1.0 / 6.0)));
}

}  // namespace

bool placeByEyes(const cv::Mat_<float>& reference, int x, int y, int width, int height, cv::Mat_<float>& placed) {
  const cv::Mat_<float> ref = reference.isContinuous() ? reference : reference.clone();
  if (ref.total() < 2 * static_cast<std::size_t>(kPlacedLandmarks)) return false;
  const float* r = ref.ptr<float>();
  const cv::Point_<float> eyeA = contourCentre(r, layout::kFirstEye.first);
  const cv::Point_<float> eyeB = contourCentre(r, layout::kSecondEye.first);

  const float leftX = x + 0.3f * width;
  const float rightX = x + 0.7f * width;
  const float eyeY = y + 0.2f * height;

  const double targetDx = static_cast<double>(rightX) - leftX;
  const double targetDist = std::sqrt(targetDx * targetDx);
  const double refDx = static_cast<double>(eyeB.x) - eyeA.x;
  const double refDy = static_cast<double>(eyeB.y) - eyeA.y;
  const double refDist = std::sqrt(refDx * refDx + refDy * refDy);
  const float s = static_cast<float>(targetDist / refDist);
  if (!(refDist > 0.0) || !std::isfinite(s)) return false;

  cv::Mat_<float> out(ref.rows, ref.cols);
  const std::size_t total = ref.total();
  float* o = out.ptr<float>();
  for (std::size_t i = 0; i < total; ++i) o[i] = r[i] * s;

  const float tx = (leftX + rightX) * 0.5f - (eyeA.x * s + eyeB.x * s) * 0.5f;
  const float ty = (eyeY + eyeY) * 0.5f - (eyeA.y * s + eyeB.y * s) * 0.5f;
  for (int k = 0; k < kPlacedLandmarks; ++k) {
    o[2 * k] += tx;
    o[2 * k + 1] += ty;
  }
  placed = out;
  return true;
}

}  // namespace zeq
