// Cascade text from outside: whatever the validator accepts must also be safe
// to evaluate (by OpenCV, or by the eight-window evaluator for stump cascades),
// so every accepted input runs the detector once.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/objdetect.hpp>

#include "plugin/CascadeValidation.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  cv::setNumThreads(0);  // evaluation on the fuzzer's own thread, where its sanitizers look
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 20) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);
  zeq::FaceDetector detector;
  std::string reason;
  if (!zeq::plugin::loadCascade(text, detector, reason)) return 0;
  static const cv::Mat picture = [] {
    cv::Mat m(72, 96, CV_8UC1);
    cv::randu(m, 0, 256);
    return m;
  }();
  std::vector<cv::Rect> faces;
  detector.detect(picture, faces, 1.3, 1, cv::Size(8, 8));
  return 0;
}
