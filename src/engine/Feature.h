#pragma once
#include <vector>

#include <opencv2/core.hpp>

#include "engine/FeatParameters.h"

namespace zeq {

// Gradient-orientation descriptor. setup() prepares a per-pixel cell histogram
// image once per frame; extract() then samples it around any set of landmarks.
class Feature {
 public:
  FeatParameters params;
  cv::Mat_<float> intensity;
  cv::Mat cellHist;  // float, numBins channels: the orientation histogram box-filtered
  cv::Mat_<float> gradX;
  cv::Mat_<float> gradY;
  cv::Mat_<float> magnitude;
  cv::Mat_<float> angle;

  // image: 8-bit, one channel. Any other image is refused with a message on
  // stderr and false, leaving the previous setup in place. An empty image, one
  // of another depth, parameters that featParametersUsable() rejects and a
  // histogram image above kMaxHistogramElements values are refused the same way
  // (false, state untouched), without a message.
  bool setup(const cv::Mat& image);

  // Descriptor of the landmarks of `shape` (x0, y0, ... in the image of the last
  // setup): per landmark c x c cells of numBins values, L2-normalised. The mask
  // is empty (all landmarks) or one value per landmark; a nonzero value includes
  // the landmark. A mask with another element count, parameters that are not
  // usable or a descriptor beyond INT_MAX values give an empty descriptor.
  // Without a usable setup (none yet, or numBins changed since) every block is
  // zero. A landmark with a non-finite coordinate is outside: a zero block.
  void extract(cv::Mat_<float>& descriptor, const cv::Mat_<float>& shape,
               cv::Mat_<unsigned char> mask = cv::Mat_<unsigned char>()) const;

  // Values per landmark: (patchSize / cellSize)^2 * numBins; 0 when the
  // parameters are not usable.
  int blockLength() const;

  // The per-pixel orientation histogram of the last setup (float, numBins
  // channels), from which cellHist was filtered. Setup only ever holds one row
  // of it at a time, so this recomputes it; empty before a setup.
  cv::Mat orientationHistogram() const;

  // Largest rows x cols x numBins a setup accepts (1 GiB of floats per buffer).
  static constexpr long long kMaxHistogramElements = 1LL << 28;

 private:
  // Box-filters the orientation histogram, made row by row as the filter asks
  // for it (fillHistogramRow), into cellHist with a k x k window.
  void filterCells(int k);
  // Row r of the orientation histogram into h (cols x numBins); pos: cols floats of scratch.
  void fillHistogramRow(int r, float* h, float* pos) const;

  // Scratch of setup, kept between calls so that a frame of the same size
  // allocates nothing.
  std::vector<float> binPos_;              // bin position per pixel of one row
  std::vector<float> histogramRow_;        // one row of the orientation histogram
  std::vector<std::size_t> paddedOffset_;  // row offset of each border-extended column
  std::vector<double> rowSums_;            // ring of horizontal window sums
  std::vector<double> columnSums_;         // running vertical sums
  mutable std::vector<float> landmarkScratch_;  // extract(): landmarks of a strided shape
};

}  // namespace zeq
