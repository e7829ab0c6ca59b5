#include "engine/OpticalFlowTrackerEfficient.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include <opencv2/video/tracking.hpp>

#include "engine/EngineHelpers.h"
#include "engine/SparseFlowLK.h"

namespace zeq {

namespace {

using detail::truncToInt;

int pointCount(const cv::Mat_<float>& points) { return points.cols == 1 ? points.rows / 2 : 0; }

struct Bounds {
  float minX, maxX, minY, maxY;
};

Bounds boundsOf(const cv::Mat_<float>& points, int n) {
  Bounds b{0.f, 0.f, 0.f, 0.f};
  if (n == 0) return b;
  b.minX = b.maxX = points(0, 0);
  b.minY = b.maxY = points(1, 0);
  for (int i = 1; i < n; ++i) {
    const float x = points(2 * i, 0);
    const float y = points(2 * i + 1, 0);
    b.minX = std::min(b.minX, x);
    b.maxX = std::max(b.maxX, x);
    b.minY = std::min(b.minY, y);
    b.maxY = std::max(b.maxY, y);
  }
  return b;
}

}  // namespace

OpticalFlowTrackerEfficient::OpticalFlowTrackerEfficient() { reset(); }

cv::Size_<int> OpticalFlowTrackerEfficient::calcSize(const cv::Mat_<float>& points, int* windowOut,
                                                     float* distanceOut) const {
  const Bounds b = boundsOf(points, pointCount(points));
  const int W = truncToInt(b.maxX - b.minX);
  const int H = truncToInt(b.maxY - b.minY);
  const int s = std::max(W, H);

  int window = truncToInt(windowFactor * static_cast<float>(s));
  if (window % 2 == 0) window += 1;
  window = std::max(std::min(window, 21), 5);
  const float distance = static_cast<float>(s) * distanceFactor;
  if (windowOut) *windowOut = window;
  if (distanceOut) *distanceOut = distance;

  const float margin = static_cast<float>(window) * (2.f * marginFactor);
  const int width = truncToInt(static_cast<float>(W) + margin);
  const int height = truncToInt(static_cast<float>(H) + margin);
  return cv::Size_<int>(width - width % 2, height - height % 2);
}

int OpticalFlowTrackerEfficient::setupCurrentImage(const cv::Mat_<unsigned char>& image,
                                                   const cv::Mat_<float>& points) {
  const int n = pointCount(points);
  if (n == 0 || image.empty()) return -1;

  const std::vector<cv::Mat>& previous = useSecondPyramid ? pyramidA : pyramidB;
  cv::Size size;
  if (static_cast<std::size_t>(n) == previousPoints.size() && !previous.empty()) {
    size = previous[0].size();  // the crop keeps its size while tracking goes on
  } else {
    size = calcSize(points, &windowSize, &distanceScale);
    if (size.width >= image.cols || size.height >= image.rows) size = image.size();
  }

  cv::Point_<int> offset(0, 0);
  if (size != image.size()) {
    const Bounds b = boundsOf(points, n);
    std::int64_t x = truncToInt(b.minX - (static_cast<float>(size.width) - (b.maxX - b.minX)) * 0.5f);
    std::int64_t y = truncToInt(b.minY - (static_cast<float>(size.height) - (b.maxY - b.minY)) * 0.5f);
    if (x < 0) x = 0;
    if (y < 0) y = 0;
    if (x + size.width >= image.cols) x = std::int64_t{image.cols} - size.width - 1;
    if (y + size.height >= image.rows) y = std::int64_t{image.rows} - size.height - 1;
    if (x < 0 || y < 0 || x + size.width >= image.cols || y + size.height >= image.rows) return -1;
    offset = cv::Point_<int>(static_cast<int>(x), static_cast<int>(y));
  }

  std::vector<cv::Mat>& current = useSecondPyramid ? pyramidB : pyramidA;
  readRegion_ |= cv::Rect(offset, size);
  try {
    // Without derivatives: the flow makes them only around the points, which
    // are a small part of the crop (OpenCV's solver makes its own).
    current.resize(static_cast<std::size_t>(std::max(levels, 1)));
    cv::buildOpticalFlowPyramid(image(cv::Rect(offset, size)), current, cv::Size(windowSize, windowSize),
                                levels - 1, false, cv::BORDER_REFLECT_101, cv::BORDER_CONSTANT, false);
  } catch (const cv::Exception&) {
    current.clear();
    return -1;
  }

  cropOffset = offset;
  currentPoints.resize(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    currentPoints[i] = cv::Point_<float>(points(2 * i, 0) - static_cast<float>(offset.x),
                                         points(2 * i + 1, 0) - static_cast<float>(offset.y));
  }
  return 0;
}

int OpticalFlowTrackerEfficient::calcFlow(const cv::Mat_<unsigned char>& image, cv::Mat_<float>& points) {
  readRegion_ = cv::Rect();
  const int n = pointCount(points);
  if (n == 0) return -1;

  const std::vector<cv::Mat>& startCurrent = useSecondPyramid ? pyramidB : pyramidA;
  // Start frame, or a different number of points than last time: the previous
  // pyramid and points no longer describe these points, so start afresh.
  if (currentPoints.empty() || startCurrent.size() != static_cast<std::size_t>(levels) ||
      currentPoints.size() != static_cast<std::size_t>(n)) {
    reset();
    return setupCurrentImage(image, points);
  }

  useSecondPyramid = !useSecondPyramid;
  previousPoints = currentPoints;
  if (setupCurrentImage(image, points) != 0) {
    // The kept crop no longer fits (the image changed size): the next frame
    // starts afresh instead of failing for good.
    reset();
    return -1;
  }

  const std::vector<cv::Mat>& previous = useSecondPyramid ? pyramidA : pyramidB;
  const std::vector<cv::Mat>& current = useSecondPyramid ? pyramidB : pyramidA;
  try {
    SparseFlowLK::Settings settings;
    settings.winSize = cv::Size(windowSize, windowSize);
    settings.maxLevel = levels - 1;
    settings.criteria = cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, maxIterations, epsilon);
    settings.flags = cv::OPTFLOW_USE_INITIAL_FLOW;
    settings.minEigThreshold = 1e-4;
    // The same flow, to the bit, at less cost; OpenCV's solver where it cannot
    // run (no AVX2, or a pyramid it does not take).
    if (!flow_.calc(previous, current, previousPoints, currentPoints, flowStatus, flowError, settings)) {
      cv::Ptr<cv::SparsePyrLKOpticalFlow>& solver = solver_.ptr;
      if (solver.empty()) {
        solver = cv::SparsePyrLKOpticalFlow::create(settings.winSize, settings.maxLevel, settings.criteria,
                                                    settings.flags, settings.minEigThreshold);
      } else {
        solver->setWinSize(settings.winSize);
        solver->setMaxLevel(settings.maxLevel);
        solver->setTermCriteria(settings.criteria);
        solver->setFlags(settings.flags);
        solver->setMinEigThreshold(settings.minEigThreshold);
      }
      solver->calc(previous, current, previousPoints, currentPoints, flowStatus, flowError);
    }
  } catch (const cv::Exception&) {
    reset();
    return -1;
  }
  if (currentPoints.size() != static_cast<std::size_t>(n) || flowStatus.size() != currentPoints.size() ||
      flowError.size() != currentPoints.size()) {
    reset();
    return -1;
  }

  const cv::Point_<float> offset(static_cast<float>(cropOffset.x), static_cast<float>(cropOffset.y));
  // Without a blending distance the fit always wins.
  const bool blend = distanceScale > 0.f;
  int blended = 0;
  for (int i = 0; i < n; ++i) {
    const cv::Point_<float> d(points(2 * i, 0) - offset.x, points(2 * i + 1, 0) - offset.y);
    const cv::Point_<float> f = currentPoints[i];
    float weight = 0.f;
    if (blend && flowStatus[i] && flowError[i] < maxError) {
      weight = static_cast<float>(1.0 - cv::norm(d - f) / distanceScale);
    }
    if (weight > 0.f) {
      const cv::Point_<float> p = d * (1.f - weight) + f * weight;
      currentPoints[i] = p;
      points(2 * i, 0) = p.x + offset.x;
      points(2 * i + 1, 0) = p.y + offset.y;
      ++blended;
    } else {
      currentPoints[i] = d;
    }
  }

  // The face grew or shrank by more than a tenth: restart with a crop, window and
  // blending distance that fit it again.
  const cv::Size_<int> wanted = calcSize(points);
  const cv::Size level0 = current[0].size();
  auto changed = [](int want, int have) {
    return want <= 0 || static_cast<float>(std::abs(want - have)) / static_cast<float>(want) > 0.1f;
  };
  if (changed(wanted.width, level0.width) || changed(wanted.height, level0.height)) {
    reset();
    if (setupCurrentImage(image, points) != 0) return -1;
  }
  return blended;
}

cv::Size OpticalFlowTrackerEfficient::cropSize() const {
  const std::vector<cv::Mat>& current = useSecondPyramid ? pyramidB : pyramidA;
  return current.empty() ? cv::Size() : current[0].size();
}

void OpticalFlowTrackerEfficient::reset() {
  previousPoints.clear();
  currentPoints.clear();
  pyramidA.clear();
  pyramidB.clear();
  cropOffset = cv::Point_<int>(0, 0);
  useSecondPyramid = false;
}

void OpticalFlowTrackerEfficient::getCurrentPyramid(std::vector<cv::Mat>& out) const {
  out = useSecondPyramid ? pyramidB : pyramidA;
}

void OpticalFlowTrackerEfficient::getPreviousPyramid(std::vector<cv::Mat>& out) const {
  out = useSecondPyramid ? pyramidA : pyramidB;
}

void OpticalFlowTrackerEfficient::getPyramids(std::vector<cv::Mat>& previous, std::vector<cv::Mat>& current) const {
  getPreviousPyramid(previous);
  getCurrentPyramid(current);
}

int OpticalFlowTrackerEfficient::switchCurrForPrev() {
  const std::vector<cv::Mat>& current = useSecondPyramid ? pyramidB : pyramidA;
  if (currentPoints.empty() || current.size() != static_cast<std::size_t>(levels)) return -1;
  useSecondPyramid = !useSecondPyramid;
  previousPoints = currentPoints;
  return 0;
}

}  // namespace zeq
