#include "engine/TranslationTrackerNCC.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include <opencv2/imgproc.hpp>

#include "engine/EngineHelpers.h"

namespace zeq {

namespace {

using detail::truncToInt;

const cv::Rect_<int> kNoTemplate(-1, -1, 0, 0);

// Sums and squared sums of every window of `window` size in image, as exact
// integers: the normalisation below needs the same values a double-precision
// integral image gives, and integers reach them without building one.
void windowSums(const cv::Mat_<unsigned char>& image, cv::Size window, TranslationTrackerNCC::MatchScratch& scratch) {
  const int rows = image.rows - window.height + 1;
  const int cols = image.cols - window.width + 1;
  scratch.sums.create(rows, cols);
  scratch.sqSums.create(rows, cols);
  scratch.columns.assign(2 * static_cast<std::size_t>(image.cols), 0);
  std::int64_t* colSum = scratch.columns.data();
  std::int64_t* colSq = colSum + image.cols;
  for (int y = 0; y < window.height; ++y) {
    const unsigned char* row = image.ptr<unsigned char>(y);
    for (int x = 0; x < image.cols; ++x) {
      colSum[x] += row[x];
      colSq[x] += row[x] * row[x];
    }
  }
  for (int i = 0;; ++i) {
    std::int64_t s = 0, q = 0;
    for (int x = 0; x < window.width; ++x) {
      s += colSum[x];
      q += colSq[x];
    }
    double* sumRow = scratch.sums.ptr<double>(i);
    double* sqRow = scratch.sqSums.ptr<double>(i);
    for (int j = 0;; ++j) {
      sumRow[j] = static_cast<double>(s);
      sqRow[j] = static_cast<double>(q);
      if (j + 1 == cols) break;
      s += colSum[j + window.width] - colSum[j];
      q += colSq[j + window.width] - colSq[j];
    }
    if (i + 1 == rows) break;
    const unsigned char* leaving = image.ptr<unsigned char>(i);
    const unsigned char* entering = image.ptr<unsigned char>(i + window.height);
    for (int x = 0; x < image.cols; ++x) {
      colSum[x] += entering[x] - leaving[x];
      colSq[x] += entering[x] * entering[x] - leaving[x] * leaving[x];
    }
  }
}

// Turns one row of raw correlations into correlation coefficients. Written
// without branches so that it runs two pixels at a time; sqrt and division are
// correctly rounded in vector lanes too, so the values stay exact.
void normaliseRow(float* rrow, const double* sumRow, const double* sqRow, int n, double invArea, double mean,
                  double templNorm) {
  for (int j = 0; j < n; ++j) {
    double num = rrow[j];
    const double t = sumRow[j];
    double wndMean2 = t * t;
    wndMean2 *= invArea;
    num -= t * mean;
    const double wndSum2 = sqRow[j];
    const double diff2 = std::max(wndSum2 - wndMean2, 0.);
    // A flat window: what is left of its variance is rounding noise.
    const bool flat = diff2 <= std::min(0.5, 10 * FLT_EPSILON * wndSum2);
    const double norm = flat ? 0. : std::sqrt(diff2) * templNorm;
    const double size = std::fabs(num);
    const double sign = num > 0 ? 1. : -1.;
    // Only taken where norm > 0; the guard keeps flat windows from dividing by 0.
    const double quotient = num / (norm > 0. ? norm : 1.);
    rrow[j] = static_cast<float>(size < norm ? quotient : size < norm * 1.125 ? sign : 0.);
  }
}

}  // namespace

bool TranslationTrackerNCC::matchNormed(const cv::Mat_<unsigned char>& image, const cv::Mat_<unsigned char>& templ,
                                        cv::Mat_<float>& response, MatchScratch& scratch) {
  // The same arithmetic, operation for operation, as OpenCV's normalised
  // correlation coefficient, so the match (and every tracked point after it)
  // is bit for bit what cv::matchTemplate gives; exact integer window sums and
  // a vectorised loop cost half of its double-precision integral images and
  // scalar loop.
  cv::matchTemplate(image, templ, response, cv::TM_CCORR);
  const double invArea = 1. / (static_cast<double>(templ.rows) * templ.cols);
  cv::Scalar templMean, templSdv;
  cv::meanStdDev(templ, templMean, templSdv);
  double templNorm = templSdv[0] * templSdv[0];
  if (templNorm < DBL_EPSILON) return false;
  templNorm = std::sqrt(templNorm);
  templNorm /= std::sqrt(invArea);
  const double mean = templMean[0];

  windowSums(image, templ.size(), scratch);
  for (int i = 0; i < response.rows; ++i)
    normaliseRow(response.ptr<float>(i), scratch.sums.ptr<double>(i), scratch.sqSums.ptr<double>(i), response.cols,
                 invArea, mean, templNorm);
  return true;
}

TranslationTrackerNCC::TranslationTrackerNCC(float searchScale_, cv::Size_<int> templateSize_)
    : searchScale(searchScale_), templateSize(templateSize_), rect(kNoTemplate) {}

cv::Rect_<int> TranslationTrackerNCC::boundingSquare(const cv::Mat_<float>& shape) {
  const bool flat = shape.isContinuous();
  if (!flat && shape.cols != 1) return cv::Rect_<int>(0, 0, 0, 0);
  const int n = static_cast<int>(shape.total() / 2);
  if (n == 0) return cv::Rect_<int>(0, 0, 0, 0);
  const float* data = flat ? shape.ptr<float>(0) : nullptr;
  auto value = [&](int k) { return flat ? data[k] : shape(k, 0); };

  float minX = value(0), maxX = minX;
  float minY = value(1), maxY = minY;
  for (int i = 1; i < n; ++i) {
    const float x = value(2 * i);
    const float y = value(2 * i + 1);
    if (x < minX) minX = x;
    if (x > maxX) maxX = x;
    if (y < minY) minY = y;
    if (y > maxY) maxY = y;
  }
  const int side = std::min(truncToInt(maxX - minX), truncToInt(maxY - minY));
  return cv::Rect_<int>(truncToInt(minX), truncToInt(minY), side, side);
}

cv::Rect TranslationTrackerNCC::templateRect(const cv::Mat_<float>& shape, cv::Size imageSize) {
  const cv::Rect_<int> q = boundingSquare(shape);
  // Shifted inside at the left and top, cut before the last column and row.
  const std::int64_t x = std::max(q.x, 0);
  const std::int64_t y = std::max(q.y, 0);
  const std::int64_t w = std::min<std::int64_t>(x + q.width, imageSize.width - 1) - x;
  const std::int64_t h = std::min<std::int64_t>(y + q.height, imageSize.height - 1) - y;
  if (w <= 0 || h <= 0) return cv::Rect();
  return cv::Rect(static_cast<int>(x), static_cast<int>(y), static_cast<int>(w), static_cast<int>(h));
}

void TranslationTrackerNCC::init(const cv::Mat_<unsigned char>& image, const cv::Mat_<float>& shape) {
  const cv::Rect square = templateRect(shape, image.size());
  const std::int64_t x = square.x, y = square.y, w = square.width, h = square.height;
  bool ok = w > 0 && h > 0;
  if (ok) {
    const float k = std::min(static_cast<float>(templateSize.width) / static_cast<float>(w),
                             static_cast<float>(templateSize.height) / static_cast<float>(h));
    const cv::Size size(truncToInt(static_cast<float>(w) * k), truncToInt(static_cast<float>(h) * k));
    // A very flat rectangle would shrink to a template without pixels.
    ok = size.width > 0 && size.height > 0;
    if (ok) {
      try {
        // The template is renewed every frame: its buffer is reused unless
        // someone still holds the previous template.
        detail::releaseIfShared(templ);
        cv::resize(image(cv::Rect(static_cast<int>(x), static_cast<int>(y), static_cast<int>(w),
                                  static_cast<int>(h))),
                   templ, size, 0.0, 0.0, cv::INTER_LINEAR);
      } catch (const cv::Exception&) {
        ok = false;
      }
    }
  }
  if (!ok) {
    std::fprintf(stderr, "Failed intialising translation tracker\n");
    rect = kNoTemplate;
    return;
  }
  rect = cv::Rect_<int>(static_cast<int>(x), static_cast<int>(y), static_cast<int>(w), static_cast<int>(h));
  scaleX = static_cast<float>(templ.cols) / static_cast<float>(w);
  scaleY = static_cast<float>(templ.rows) / static_cast<float>(h);
}

cv::Rect TranslationTrackerNCC::searchWindow(cv::Size imageSize) const {
  if (!hasTemplate() || imageSize.width <= 0 || imageSize.height <= 0) return cv::Rect();
  // Centred on rect, clipped like rect itself.
  const int sw0 = truncToInt(static_cast<float>(rect.width) * searchScale);
  const int sh0 = truncToInt(static_cast<float>(rect.height) * searchScale);
  const std::int64_t sx = std::max<std::int64_t>(std::int64_t{rect.x} + rect.width / 2 - sw0 / 2, 0);
  const std::int64_t sy = std::max<std::int64_t>(std::int64_t{rect.y} + rect.height / 2 - sh0 / 2, 0);
  const std::int64_t sw = std::min<std::int64_t>(sx + sw0, imageSize.width - 1) - sx;
  const std::int64_t sh = std::min<std::int64_t>(sy + sh0, imageSize.height - 1) - sy;
  if (sw <= 0 || sh <= 0) return cv::Rect();
  return cv::Rect(static_cast<int>(sx), static_cast<int>(sy), static_cast<int>(sw), static_cast<int>(sh));
}

bool TranslationTrackerNCC::largestCorner(cv::Size imageSize, int& x, int& y) const {
  const cv::Rect window = searchWindow(imageSize);
  if (window.empty()) return false;
  const int rw = truncToInt(scaleX * static_cast<float>(window.width));
  const int rh = truncToInt(scaleY * static_cast<float>(window.height));
  if (rw <= 0 || rh <= 0 || templ.cols >= rw || templ.rows >= rh) return false;
  // The corner grows with the match position, which is at most the last
  // position where the template fits.
  x = truncToInt(static_cast<float>(window.x) +
                 static_cast<float>(window.width) * static_cast<float>(rw - templ.cols) / static_cast<float>(rw));
  y = truncToInt(static_cast<float>(window.y) +
                 static_cast<float>(window.height) * static_cast<float>(rh - templ.rows) / static_cast<float>(rh));
  return true;
}

void TranslationTrackerNCC::track(const cv::Mat_<unsigned char>& image) {
  if (!hasTemplate() || image.empty()) return;
  const cv::Rect window = searchWindow(image.size());
  if (window.empty()) return;
  const std::int64_t sx = window.x, sy = window.y, sw = window.width, sh = window.height;
  const cv::Size size(truncToInt(scaleX * static_cast<float>(sw)), truncToInt(scaleY * static_cast<float>(sh)));
  if (size.width <= 0 || size.height <= 0) return;

  cv::Point best;
  try {
    cv::resize(image(cv::Rect(static_cast<int>(sx), static_cast<int>(sy), static_cast<int>(sw),
                              static_cast<int>(sh))),
               searchImage, size, 0.0, 0.0, cv::INTER_LINEAR);
    if (templ.cols >= searchImage.cols || templ.rows >= searchImage.rows) return;
    if (!matchNormed(searchImage, templ, response, matchScratch)) return;
    double lowest = 0.0, highest = 0.0;
    cv::minMaxLoc(response, &lowest, &highest, nullptr, &best);
    // A featureless template (matchNormed says so) or window matches everywhere
    // alike: there is no displacement to report, and the first position would
    // be an arbitrary jump.
    if (!(highest > lowest)) return;
  } catch (const cv::Exception&) {
    return;
  }

  const float rw = static_cast<float>(searchImage.cols);
  const float rh = static_cast<float>(searchImage.rows);
  rect.x = truncToInt(static_cast<float>(sx) + static_cast<float>(sw) * static_cast<float>(best.x) / rw);
  rect.y = truncToInt(static_cast<float>(sy) + static_cast<float>(sh) * static_cast<float>(best.y) / rh);
}

void TranslationTrackerNCC::updateModel(const cv::Mat_<unsigned char>& image, const cv::Mat_<float>& shape) {
  init(image, shape);
}

}  // namespace zeq
