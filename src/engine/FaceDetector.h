#pragma once
// The face detector the tracker searches with: OpenCV's cascade classifier, and
// for Haar-stump cascades (the frontal-face ones) the eight-window evaluator
// that finds the same faces several times faster.

#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/objdetect.hpp>

#include "engine/HaarCascade.h"

namespace zeq {

// How the tracker searches for a face: a scale step of 1.3, at least 4
// overlapping detections, faces of at least 80 pixels. The plug-in, the trainer
// (which learns the placement error of these boxes) and the evaluator share it.
struct SearchSettings {
  double scaleStep = 1.3;
  int neighbours = 4;
  int minSide = 80;
};

class FaceDetector {
 public:
  // Loads a cascade node OpenCV can read; false (and unchanged) otherwise.
  bool read(const cv::FileNode& root);
  // The same from a cascade file. For the tools' own files: the plug-in checks
  // a cascade from outside before OpenCV's parser sees it.
  bool load(const std::string& path);
  bool empty() const { return opencv_.empty(); }
  // True when searches run on the eight-window evaluator.
  bool vectorised() const { return !fast_.empty(); }

  // cv::CascadeClassifier::detectMultiScale with these settings (flags have no
  // effect on current-format cascades). grey: 8-bit, one channel.
  void detect(const cv::Mat& grey, std::vector<cv::Rect>& faces, double scaleFactor, int minNeighbours,
              cv::Size minSize, cv::Size maxSize = cv::Size());

  // The detector's box moved and shrunk towards the face centre, where the
  // tracker's reference shape expects it: the box a found face places the tracker in.
  static cv::Rect trackerBox(const cv::Rect& detection);

  // The tracker's search: the grey frame histogram-equalised, then detect()
  // with the settings. The first face is the one the tracker starts on.
  void search(const cv::Mat& grey, std::vector<cv::Rect>& faces, const SearchSettings& settings = SearchSettings());

 private:
  cv::CascadeClassifier opencv_;
  HaarCascade fast_;
  cv::Mat equalised_;
};

}  // namespace zeq
