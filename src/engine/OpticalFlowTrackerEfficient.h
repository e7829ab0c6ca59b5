#pragma once
#include <vector>

#include <opencv2/core.hpp>

#include "engine/SparseFlowLK.h"

namespace cv {
class SparsePyrLKOpticalFlow;
}

namespace zeq {

// Stabilises points between frames: pyramidal Lucas-Kanade flow on a crop around
// the points, blended with each point's newly fitted position.
class OpticalFlowTrackerEfficient {
 public:
  OpticalFlowTrackerEfficient();

  // points: 2n x 1 (x, y interleaved, image pixels), updated in place. Returns the
  // number of blended points, 0 on a (re)start (also when the number of points
  // changed), -1 on failure (points unchanged; the next call starts afresh).
  int calcFlow(const cv::Mat_<unsigned char>& image, cv::Mat_<float>& points);
  int setupCurrentImage(const cv::Mat_<unsigned char>& image, const cv::Mat_<float>& points);
  cv::Size_<int> calcSize(const cv::Mat_<float>& points, int* windowOut = nullptr,
                          float* distanceOut = nullptr) const;
  void reset();
  void getCurrentPyramid(std::vector<cv::Mat>& out) const;
  void getPreviousPyramid(std::vector<cv::Mat>& out) const;
  void getPyramids(std::vector<cv::Mat>& previous, std::vector<cv::Mat>& current) const;
  int switchCurrForPrev();
  // Size of the current crop (level 0 of the current pyramid); empty before a start.
  cv::Size cropSize() const;
  // Bounding box of the image pixels the last calcFlow read (empty if none).
  const cv::Rect& readRegion() const { return readRegion_; }

  int maxIterations = 5;
  float epsilon = 0.01f;
  float maxError = 10.0f;
  float marginFactor = 2.0f;
  float windowFactor = 0.075f;
  float distanceFactor = 0.05f;
  int windowSize = 5;
  float distanceScale = 0.f;
  int levels = 2;
  cv::Point_<int> cropOffset{0, 0};
  std::vector<cv::Point_<float>> previousPoints;
  std::vector<cv::Point_<float>> currentPoints;
  std::vector<cv::Mat> pyramidA;
  std::vector<cv::Mat> pyramidB;
  bool useSecondPyramid = false;
  // Per-point outputs of the last flow computation, kept to avoid reallocating
  // them every frame.
  std::vector<unsigned char> flowStatus;
  std::vector<float> flowError;

 private:
  // The flow solver, made once instead of by every flow computation; it keeps
  // nothing between frames but its settings, which calcFlow sets every time.
  // A copied tracker makes its own, so that copies never share one.
  struct Solver {
    cv::Ptr<cv::SparsePyrLKOpticalFlow> ptr;
    Solver() = default;
    Solver(const Solver&) {}
    Solver& operator=(const Solver&) { return *this; }
  };
  Solver solver_;
  // Our exact, faster flow (it keeps only its window buffers between frames).
  SparseFlowLK flow_;
  cv::Rect readRegion_;
};

}  // namespace zeq
