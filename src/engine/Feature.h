#pragma once
#include <opencv2/core.hpp>

#include "engine/FeatParameters.h"

namespace zeq {

// Gradient-orientation descriptor. setup() prepares a per-pixel cell histogram
// image once per frame; extract() then samples it around any set of landmarks.
class Feature {
 public:
  FeatParameters params;
  cv::Mat_<float> intensity;
  cv::Mat orientationHist;  // float, numBins channels
  cv::Mat cellHist;         // float, numBins channels: orientationHist box-filtered
  cv::Mat_<float> gradX;
  cv::Mat_<float> gradY;
  cv::Mat_<float> magnitude;
  cv::Mat_<float> angle;

  // image: 8-bit, one channel. Any other image is refused with a message on
  // stderr and false, leaving the previous setup in place.
  bool setup(const cv::Mat& image);

  // Descriptor of the landmarks of `shape` (x0, y0, ... in the image of the last
  // setup): per landmark c x c cells of numBins values, L2-normalised. The mask
  // is empty (all landmarks) or one 0/1 value per landmark.
  void extract(cv::Mat_<float>& descriptor, const cv::Mat_<float>& shape,
               cv::Mat_<unsigned char> mask = cv::Mat_<unsigned char>()) const;

  // Values per landmark: (patchSize / cellSize)^2 * numBins.
  int blockLength() const;
};

}  // namespace zeq
