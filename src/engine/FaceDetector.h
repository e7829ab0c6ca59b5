#pragma once
// The face detector the tracker searches with: OpenCV's cascade classifier, and
// for Haar-stump cascades (the frontal-face ones) the eight-window evaluator
// that finds the same faces several times faster.

#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/objdetect.hpp>

#include "engine/HaarCascade.h"

namespace zeq {

class FaceDetector {
 public:
  // Loads a cascade node OpenCV can read; false (and unchanged) otherwise.
  bool read(const cv::FileNode& root);
  bool empty() const { return opencv_.empty(); }
  // True when searches run on the eight-window evaluator.
  bool vectorised() const { return !fast_.empty(); }

  // cv::CascadeClassifier::detectMultiScale with these settings (flags have no
  // effect on current-format cascades). grey: 8-bit, one channel.
  void detect(const cv::Mat& grey, std::vector<cv::Rect>& faces, double scaleFactor, int minNeighbours,
              cv::Size minSize, cv::Size maxSize = cv::Size());

 private:
  cv::CascadeClassifier opencv_;
  HaarCascade fast_;
};

}  // namespace zeq
