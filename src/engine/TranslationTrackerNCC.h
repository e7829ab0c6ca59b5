#pragma once
#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

namespace zeq {

// Follows the square around the last landmarks by normalised cross-correlation
// of a small template in a window around its last position.
class TranslationTrackerNCC {
 public:
  TranslationTrackerNCC(float searchScale = 2.0f, cv::Size_<int> templateSize = cv::Size_<int>(48, 48));

  // Square anchored at the top-left of the shape's bounding box, side = the
  // smaller extent.
  static cv::Rect_<int> boundingSquare(const cv::Mat_<float>& shape);

  void init(const cv::Mat_<unsigned char>& image, const cv::Mat_<float>& shape);
  // Moves rect to the best match; leaves it unchanged without a template.
  void track(const cv::Mat_<unsigned char>& image);
  void updateModel(const cv::Mat_<unsigned char>& image, const cv::Mat_<float>& shape);
  bool hasTemplate() const { return !templ.empty() && rect.width > 0 && rect.height > 0; }
  // The part of an image of this size that the next track() reads: the search
  // window centred on rect, clipped like rect. Empty without a template.
  cv::Rect searchWindow(cv::Size imageSize) const;
  // The square init() would take around shape in an image of this size (empty
  // when it has no pixels).
  // The right-most and lowest corner the next track() can move rect to in an
  // image of this size; false when it would leave rect where it is.
  bool largestCorner(cv::Size imageSize, int& x, int& y) const;
  static cv::Rect templateRect(const cv::Mat_<float>& shape, cv::Size imageSize);
  // Buffers of matchNormed, kept between frames so that a match allocates nothing.
  struct MatchScratch {
    cv::Mat_<double> sums;                // window sums
    cv::Mat_<double> sqSums;              // window sums of squares
    std::vector<std::int64_t> columns;    // running column sums and sums of squares
  };
  // cv::matchTemplate's TM_CCOEFF_NORMED response, bit for bit, for a template
  // smaller than image in both directions; false (response undefined) for a
  // featureless template, where every position would match alike.
  static bool matchNormed(const cv::Mat_<unsigned char>& image, const cv::Mat_<unsigned char>& templ,
                          cv::Mat_<float>& response, MatchScratch& scratch);

  float searchScale;
  cv::Size_<int> templateSize;
  cv::Rect_<int> rect;
  cv::Mat_<unsigned char> templ;
  cv::Mat_<unsigned char> searchImage;
  cv::Mat_<float> response;
  MatchScratch matchScratch;
  float scaleX = 0.f;
  float scaleY = 0.f;
};

}  // namespace zeq
