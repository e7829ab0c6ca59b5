#include "engine/FaceDetector.h"

#include <opencv2/imgproc.hpp>

namespace zeq {

bool FaceDetector::read(const cv::FileNode& root) {
  cv::CascadeClassifier loaded;
  try {
    if (!loaded.read(root) || loaded.empty()) return false;
  } catch (const cv::Exception&) {
    return false;
  }
  HaarCascade fast;
  if (!fast.read(root)) fast = HaarCascade();
  opencv_ = loaded;
  fast_ = std::move(fast);
  return true;
}

bool FaceDetector::load(const std::string& path) {
  try {
    cv::FileStorage fs(path, cv::FileStorage::READ);
    return fs.isOpened() && read(fs.getFirstTopLevelNode());
  } catch (const cv::Exception&) {
    return false;
  }
}

void FaceDetector::detect(const cv::Mat& grey, std::vector<cv::Rect>& faces, double scaleFactor, int minNeighbours,
                          cv::Size minSize, cv::Size maxSize) {
  faces.clear();
  if (empty() || grey.empty() || grey.type() != CV_8UC1 || !(scaleFactor > 1.0)) return;
  if (!fast_.empty()) {
    fast_.detect(grey, faces, scaleFactor, minNeighbours, minSize, maxSize);
    return;
  }
  opencv_.detectMultiScale(grey, faces, scaleFactor, minNeighbours, 0, minSize, maxSize);
}

cv::Rect FaceDetector::trackerBox(const cv::Rect& d) {
  return cv::Rect(d.x + static_cast<int>(0.05f * d.width), d.y + static_cast<int>(0.2f * d.height),
                  static_cast<int>(0.9f * d.width), static_cast<int>(0.9f * d.height));
}

void FaceDetector::search(const cv::Mat& grey, std::vector<cv::Rect>& faces, const SearchSettings& settings) {
  faces.clear();
  if (empty() || grey.empty() || grey.type() != CV_8UC1) return;
  cv::equalizeHist(grey, equalised_);
  detect(equalised_, faces, settings.scaleStep, settings.neighbours, cv::Size(settings.minSide, settings.minSide));
}

}  // namespace zeq
