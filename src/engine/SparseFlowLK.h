#pragma once
#include <vector>

#include <opencv2/core.hpp>

namespace zeq {

// Sparse pyramidal Lucas-Kanade flow that gives, bit for bit, what OpenCV 4.6's
// cv::SparsePyrLKOpticalFlow::calc gives for 8-bit one-channel pyramids from
// cv::buildOpticalFlowPyramid, with its 4-lane accumulation order kept, but
// with the integer work in AVX2 registers. Without derivatives in the previous
// pyramid it makes them only in each point's window, where OpenCV makes them
// over the whole image of every level.
class SparseFlowLK {
 public:
  // The solver's settings, as cv::SparsePyrLKOpticalFlow::create takes them.
  struct Settings {
    cv::Size winSize{21, 21};
    int maxLevel = 3;
    cv::TermCriteria criteria{cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 30, 0.01};
    int flags = 0;  // 0 or cv::OPTFLOW_USE_INITIAL_FLOW
    double minEigThreshold = 1e-4;
  };

  // True when calc() can take this case on this processor (AVX2, 8-bit
  // one-channel pyramids of one image size, padded as buildOpticalFlowPyramid
  // pads them, derivatives in the previous one or not). Otherwise the caller
  // uses OpenCV.
  static bool handles(const std::vector<cv::Mat>& prevPyr, const std::vector<cv::Mat>& nextPyr,
                      const Settings& settings);

  // As cv::SparsePyrLKOpticalFlow::calc with these settings. Returns false
  // (outputs untouched) when handles() is false. As there, err is meaningful
  // only for points whose status is 1.
  bool calc(const std::vector<cv::Mat>& prevPyr, const std::vector<cv::Mat>& nextPyr,
            const std::vector<cv::Point2f>& prevPts, std::vector<cv::Point2f>& nextPts,
            std::vector<unsigned char>& status, std::vector<float>& err, const Settings& settings);

 private:
  // Where the levels are in the two pyramids.
  struct Layout {
    int maxLevel = 0;  // the deepest level both pyramids and the settings allow
    int prevStep = 1;  // between level images of the previous pyramid (2 with derivatives)
    int nextStep = 1;
  };
  static bool layout(const std::vector<cv::Mat>& prevPyr, const std::vector<cv::Mat>& nextPyr,
                     const Settings& settings, Layout& out);

  // The window buffers of the points, kept between frames so that a frame
  // allocates nothing.
  std::vector<short> scratch_;
};

}  // namespace zeq
