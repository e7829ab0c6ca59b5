// Which pixels of a frame the next update reads: lets a caller convert only
// that part of a camera frame to grey while a face is tracked.
#include <algorithm>
#include <cmath>

#include "engine/FaceTracker.h"
#include "engine/geometry.h"

namespace zeq {

namespace {

// Below this yaw (degrees) in the last frame, the next frame uses the frontal
// warp: the side views replace it only beyond 15 degrees.
constexpr float kSideViewsFrom = 10.f;

// Bounding box of the shape's points; false for an empty or non-finite shape.
bool pointBounds(const cv::Mat_<float>& s, float& minX, float& maxX, float& minY, float& maxY) {
  const int n = s.rows / 2;
  if (n == 0 || s.cols != 1) return false;
  minX = maxX = s(0);
  minY = maxY = s(1);
  for (int i = 1; i < n; ++i) {
    minX = std::min(minX, s(2 * i));
    maxX = std::max(maxX, s(2 * i));
    minY = std::min(minY, s(2 * i + 1));
    maxY = std::max(maxY, s(2 * i + 1));
  }
  return std::isfinite(minX) && std::isfinite(maxX) && std::isfinite(minY) && std::isfinite(maxY);
}

}  // namespace

cv::Rect FaceTracker::warpSource(const cv::Matx23f& T, cv::Size warpSize) {
  const cv::Matx23f inv = geo::invertTransform2x3(T);
  const float w = static_cast<float>(warpSize.width - 1);
  const float h = static_cast<float>(warpSize.height - 1);
  float minX = 0.f, maxX = 0.f, minY = 0.f, maxY = 0.f;
  bool first = true;
  for (const cv::Point2f& c : {cv::Point2f(0.f, 0.f), cv::Point2f(w, 0.f), cv::Point2f(0.f, h), cv::Point2f(w, h)}) {
    const float x = inv(0, 0) * c.x + inv(0, 1) * c.y + inv(0, 2);
    const float y = inv(1, 0) * c.x + inv(1, 1) * c.y + inv(1, 2);
    if (!std::isfinite(x) || !std::isfinite(y)) return cv::Rect();
    minX = first ? x : std::min(minX, x);
    maxX = first ? x : std::max(maxX, x);
    minY = first ? y : std::min(minY, y);
    maxY = first ? y : std::max(maxY, y);
    first = false;
  }
  // Bilinear sampling reads the pixel after each position; the warp's fixed
  // point coordinates may round a little either way.
  constexpr float kLimit = 1e8f;
  const auto clampToInt = [&](float v) { return static_cast<int>(std::max(-kLimit, std::min(kLimit, v))); };
  const int x0 = clampToInt(std::floor(minX)) - 2;
  const int y0 = clampToInt(std::floor(minY)) - 2;
  const int x1 = clampToInt(std::floor(maxX)) + 3;
  const int y1 = clampToInt(std::floor(maxY)) + 3;
  return cv::Rect(x0, y0, x1 - x0, y1 - y0);
}

bool FaceTracker::frameRegion(int width, int height, cv::Rect& roi) const {
  const cv::Rect image(0, 0, width, height);
  if (width <= 0 || height <= 0 || shape.empty() || !hasViews()) return false;
  // The first frame after a placement takes the template around the placed
  // shape; it is also the frame on which the detector ran, which reads it all.
  if (!translationTrackerReady || !translationTracker.hasTemplate()) return false;
  const cv::Rect window = translationTracker.searchWindow(image.size());
  if (window.empty()) return false;
  float minX, maxX, minY, maxY;
  if (!pointBounds(shape, minX, maxX, minY, maxY)) return false;
  const float faceSize = std::max(maxX - minX, maxY - minY);

  // Motion prediction moves the shape by the change of the template's corner,
  // which lands where a template-sized block fits inside the search window.
  const cv::Rect_<int>& r = translationTracker.rect;
  int dxMax = 0, dyMax = 0;
  if (!translationTracker.largestCorner(image.size(), dxMax, dyMax)) return false;
  // A search that finds nothing leaves the shape where it is.
  const int dxMin = std::min(window.x - r.x, 0), dyMin = std::min(window.y - r.y, 0);
  dxMax = std::max(dxMax - r.x, 0);
  dyMax = std::max(dyMax - r.y, 0);

  // The warp of the view the pose will pick, from the shape as it stands; the
  // fitted shape, the flow crop and the new template lie inside it, up to the
  // margin below. The side views take over beyond 15 degrees of yaw; the last
  // pose tells which side to add once the head is anywhere near that.
  const float lastYaw = pose.total() == 6 ? static_cast<float>(pose(1) * 180.0 / CV_PI) : 0.f;
  const bool frontalOnly = std::abs(lastYaw) < kSideViewsFrom;
  cv::Rect footprint;
  const LinearModel* models[3] = {&frontalShapeModel, &positiveYawShapeModel, &negativeYawShapeModel};
  const std::vector<LinearShapeRegressor>* cascades[3] = {&frontalRegressors, &positiveYawRegressors,
                                                          &negativeYawRegressors};
  for (int v = 0; v < 3; ++v) {
    if (v > 0 && frontalOnly) break;
    cv::Matx23f T;
    if (!alignToView(shape, *models[v], *cascades[v], regionParameters_, regionShape_, T)) return false;
    const cv::Rect source = warpSource(T, featureParameters.warpSize);
    if (source.empty()) return false;
    footprint |= source;
  }

  // The flow crop extends the fitted points' box by two windows a side and may
  // be up to a tenth wider than needed before it restarts; a crop as large as
  // the frame reads all of it.
  // The restart after a change of face size picks a window of its own.
  const float flowWindow = std::max(static_cast<float>(flowTracker.windowSize),
                                flowTracker.windowFactor * 1.2f * faceSize + 2.f);
  const float window2 = 2.2f * std::min(flowWindow, 21.f);
  const cv::Size crop = flowTracker.cropSize();
  if (crop.width >= width || crop.height >= height) return false;
  if (1.1f * faceSize + 2.f * window2 >= static_cast<float>(std::min(width, height))) return false;
  // Room for rounding and for the shape to change between frames.
  const int margin = static_cast<int>(0.05f * faceSize) + 4;

  const cv::Rect grown(footprint.x + dxMin - margin, footprint.y + dyMin - margin,
                       footprint.width + (dxMax - dxMin) + 2 * margin, footprint.height + (dyMax - dyMin) + 2 * margin);
  roi = (grown | window) & image;
  // At a border the flow crop is pushed inside the frame rather than cut, so
  // it may reach further in than the margin: keep a whole crop from there.
  const int cropWidth = std::max(crop.width, static_cast<int>(1.1f * faceSize + 2.f * window2) + 2);
  const int cropHeight = std::max(crop.height, static_cast<int>(1.1f * faceSize + 2.f * window2) + 2);
  int x0 = roi.x, x1 = roi.x + roi.width, y0 = roi.y, y1 = roi.y + roi.height;
  if (x0 == 0) x1 = std::max(x1, cropWidth + 2);
  if (x1 == width) x0 = std::min(x0, width - cropWidth - 2);
  if (y0 == 0) y1 = std::max(y1, cropHeight + 2);
  if (y1 == height) y0 = std::min(y0, height - cropHeight - 2);
  roi = cv::Rect(x0, y0, x1 - x0, y1 - y0);
  roi &= image;
  return !roi.empty();
}

}  // namespace zeq
