#include "engine/HaarCascade.h"
#include "engine/VectorKernels.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

// Every sum below is specified operation by operation; a compiler that fused a
// multiplication into an addition would round differently from OpenCV.
#if defined(__clang__)
#pragma clang fp contract(off)
#endif

namespace zeq {

namespace {

using detail::haveAvx2;
using Compiled = HaarCascade::Compiled;
using Stage = HaarCascade::Stage;
using Stump = HaarCascade::Stump;

constexpr int kLanes = 8;
constexpr int kMaxWindow = 512;
constexpr int kMaxFeatures = 1000000;
constexpr int kMaxStumps = 1000000;
// OpenCV lowers every stage threshold by this before comparing.
constexpr float kStageThresholdEps = 1e-5f;
// Windows whose grey values hardly vary are not faces: OpenCV rejects a window
// when area / sqrt(area * sum of squares - sum^2) reaches this.
constexpr double kFlatWindow = 1e-1;

// The four corner offsets of rect in an integral image of the given stride:
// top-left, top-right, bottom-left, bottom-right.
void cornerOffsets(const cv::Rect& r, int stride, int ofs[4]) {
  ofs[0] = r.x + stride * r.y;
  ofs[1] = r.x + r.width + stride * r.y;
  ofs[2] = r.x + stride * (r.y + r.height);
  ofs[3] = r.x + r.width + stride * (r.y + r.height);
}

// A rectangle's sum from its corners, wrapping like 32-bit integers: the
// integral images of large frames overflow, their differences do not.
inline int boxSum(const int* p, const int ofs[4]) {
  const std::uint32_t s = static_cast<std::uint32_t>(p[ofs[0]]) - static_cast<std::uint32_t>(p[ofs[1]]) -
                          static_cast<std::uint32_t>(p[ofs[2]]) + static_cast<std::uint32_t>(p[ofs[3]]);
  return static_cast<int>(s);
}

struct Kernel {
  const Compiled* features;
  const Stump* stumps;
  const Stage* stages;
  int stageCount;
  const int* normOfs;
  double area;
};

// One window: -1 when it is too flat to test, -k when stage k rejects it, 1 when
// every stage accepts it.
int evaluateWindow(const Kernel& k, const int* sum, const int* square) {
  const int valsum = boxSum(sum, k.normOfs);
  const unsigned valsqsum = static_cast<unsigned>(boxSum(square, k.normOfs));
  double nf = k.area * valsqsum - static_cast<double>(valsum) * valsum;
  if (!(nf > 0.)) return -1;
  nf = std::sqrt(nf);
  const float norm = static_cast<float>(1. / nf);
  if (!(k.area * norm < kFlatWindow)) return -1;

  const Stump* stump = k.stumps;
  for (int s = 0; s < k.stageCount; ++s) {
    const Stage& stage = k.stages[s];
    double total = 0;
    for (int i = 0; i < stage.count; ++i, ++stump) {
      const Compiled& f = k.features[stump->feature];
      float ret = f.weight[0] * static_cast<float>(boxSum(sum, f.ofs[0])) +
                  f.weight[1] * static_cast<float>(boxSum(sum, f.ofs[1]));
      if (f.third) ret += f.weight[2] * static_cast<float>(boxSum(sum, f.ofs[2]));
      const float value = ret * norm;
      total += value < stump->threshold ? stump->left : stump->right;
    }
    if (total < stage.threshold) return -s;
  }
  return 1;
}

// The scan of one row: a window rejected by the first stage lets the scan jump
// over the next one.
void scanRowScalar(const Kernel& k, const int* sum, const int* square, int width, int step, std::vector<int>& hits) {
  for (int x = 0; x < width; x += step) {
    const int result = evaluateWindow(k, sum + x, square + x);
    if (result > 0) hits.push_back(x);
    if (result == 0) x += step;
  }
}

#if ZEQ_AVX2_KERNELS
// The same row, eight neighbouring windows per step: window x + l is lane l,
// and each corner of a rectangle is one unaligned load for all eight. Every lane
// performs exactly the scalar operations above. The first stage runs for all
// eight; the scalar scan's jumps then decide which lanes it would have visited,
// and only those go on to the later stages.
__attribute__((target("avx2"))) inline __m256i boxSum8(const int* p, const int ofs[4]) {
  const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + ofs[0]));
  const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + ofs[1]));
  const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + ofs[2]));
  const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + ofs[3]));
  return _mm256_add_epi32(_mm256_sub_epi32(_mm256_sub_epi32(a, b), c), d);
}

// Unsigned 32-bit lanes as doubles (exact).
__attribute__((target("avx2"))) inline __m256d unsignedToDouble(__m128i v) {
  const __m256d d = _mm256_cvtepi32_pd(v);
  const __m256d wrap = _mm256_and_pd(_mm256_cmp_pd(d, _mm256_setzero_pd(), _CMP_LT_OQ), _mm256_set1_pd(4294967296.0));
  return _mm256_add_pd(d, wrap);
}

// Normalisation factor of four windows and whether each may be tested.
__attribute__((target("avx2"))) inline __m128 norm4(__m128i sum, __m128i square, double area, __m256d& testable) {
  const __m256d s = _mm256_cvtepi32_pd(sum);
  const __m256d q = unsignedToDouble(square);
  const __m256d a = _mm256_set1_pd(area);
  const __m256d nf = _mm256_sub_pd(_mm256_mul_pd(a, q), _mm256_mul_pd(s, s));
  const __m256d positive = _mm256_cmp_pd(nf, _mm256_setzero_pd(), _CMP_GT_OQ);
  const __m256d root = _mm256_sqrt_pd(_mm256_blendv_pd(_mm256_set1_pd(1.0), nf, positive));
  const __m128 norm = _mm256_cvtpd_ps(_mm256_div_pd(_mm256_set1_pd(1.0), root));
  const __m256d notFlat = _mm256_cmp_pd(_mm256_mul_pd(a, _mm256_cvtps_pd(norm)), _mm256_set1_pd(kFlatWindow), _CMP_LT_OQ);
  testable = _mm256_and_pd(positive, notFlat);
  return norm;
}

// Lanes (bit l) that pass `stage`; the caller masks out lanes it does not test.
__attribute__((target("avx2"))) inline unsigned stagePasses8(const Kernel& k, const Stage& stage, const Stump* stump,
                                                               const int* sum, __m256 norm) {
  __m256d low = _mm256_setzero_pd();
  __m256d high = _mm256_setzero_pd();
  for (int i = 0; i < stage.count; ++i, ++stump) {
    const Compiled& f = k.features[stump->feature];
    __m256 ret = _mm256_add_ps(_mm256_mul_ps(_mm256_set1_ps(f.weight[0]), _mm256_cvtepi32_ps(boxSum8(sum, f.ofs[0]))),
                               _mm256_mul_ps(_mm256_set1_ps(f.weight[1]), _mm256_cvtepi32_ps(boxSum8(sum, f.ofs[1]))));
    if (f.third)
      ret = _mm256_add_ps(ret, _mm256_mul_ps(_mm256_set1_ps(f.weight[2]), _mm256_cvtepi32_ps(boxSum8(sum, f.ofs[2]))));
    const __m256 value = _mm256_mul_ps(ret, norm);
    const __m256 below = _mm256_cmp_ps(value, _mm256_set1_ps(stump->threshold), _CMP_LT_OQ);
    const __m256 leaf = _mm256_blendv_ps(_mm256_set1_ps(stump->right), _mm256_set1_ps(stump->left), below);
    low = _mm256_add_pd(low, _mm256_cvtps_pd(_mm256_castps256_ps128(leaf)));
    high = _mm256_add_pd(high, _mm256_cvtps_pd(_mm256_extractf128_ps(leaf, 1)));
  }
  const __m256d threshold = _mm256_set1_pd(static_cast<double>(stage.threshold));
  const unsigned lowPass = static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(low, threshold, _CMP_NLT_UQ)));
  const unsigned highPass = static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(high, threshold, _CMP_NLT_UQ)));
  return lowPass | (highPass << 4);
}

__attribute__((target("avx2"))) void scanRowAvx2(const Kernel& k, const int* sum, const int* square, int width,
                                                 int step, std::vector<int>& hits) {
  int next = 0;  // the next window the scalar scan visits
  for (int x0 = 0; x0 < width; x0 += kLanes) {
    if (next >= x0 + kLanes) continue;
    const int* p = sum + x0;
    const __m256i s = boxSum8(p, k.normOfs);
    const __m256i q = boxSum8(square + x0, k.normOfs);
    __m256d testLow, testHigh;
    const __m128 normLow = norm4(_mm256_castsi256_si128(s), _mm256_castsi256_si128(q), k.area, testLow);
    const __m128 normHigh = norm4(_mm256_extracti128_si256(s, 1), _mm256_extracti128_si256(q, 1), k.area, testHigh);
    const unsigned testable = static_cast<unsigned>(_mm256_movemask_pd(testLow)) |
                              (static_cast<unsigned>(_mm256_movemask_pd(testHigh)) << 4);
    const __m256 norm = _mm256_set_m128(normHigh, normLow);
    unsigned alive = testable ? stagePasses8(k, k.stages[0], k.stumps, p, norm) & testable : 0u;

    unsigned visited = 0;
    const int lanes = std::min(kLanes, width - x0);
    for (int l = 0; l < lanes; ++l) {
      if (x0 + l != next) continue;
      visited |= 1u << l;
      next += step;
      const bool rejectedFirst = ((testable >> l) & 1u) && !((alive >> l) & 1u);
      if (rejectedFirst) next += step;
    }
    alive &= visited;

    const Stump* stump = k.stumps + k.stages[0].count;
    for (int st = 1; st < k.stageCount && alive; ++st) {
      alive &= stagePasses8(k, k.stages[st], stump, p, norm);
      stump += k.stages[st].count;
    }
    for (int l = 0; alive; ++l, alive >>= 1)
      if (alive & 1u) hits.push_back(x0 + l);
  }
}
#endif

// The row scan with the eight-lane kernel where asked for (and built), else one window at a time.
void scanRow(const Kernel& k, bool eightLanes, const int* sum, const int* square, int width, int step,
             std::vector<int>& hits) {
#if ZEQ_AVX2_KERNELS
  if (eightLanes) {
    scanRowAvx2(k, sum, square, width, step, hits);
    return;
  }
#endif
  (void)eightLanes;
  scanRowScalar(k, sum, square, width, step, hits);
}

}  // namespace

bool HaarCascade::read(const cv::FileNode& root) {
  const bool vector = vectorKernels_;
  *this = HaarCascade();
  vectorKernels_ = vector;
  try {
    if (!root.isMap()) return false;
    if (static_cast<std::string>(root["stageType"]) != "BOOST") return false;
    if (static_cast<std::string>(root["featureType"]) != "HAAR") return false;
    const cv::Size win(static_cast<int>(root["width"]), static_cast<int>(root["height"]));
    if (win.width < 3 || win.height < 3 || win.width > kMaxWindow || win.height > kMaxWindow) return false;
    const cv::FileNode params = root["featureParams"];
    if (!params.isMap() || static_cast<int>(params["maxCatCount"]) != 0) return false;

    const cv::FileNode featureNodes = root["features"];
    if (!featureNodes.isSeq() || featureNodes.size() < 1 || featureNodes.size() > kMaxFeatures) return false;
    std::vector<Feature> features;
    features.reserve(featureNodes.size());
    for (cv::FileNodeIterator it = featureNodes.begin(); it != featureNodes.end(); ++it) {
      const cv::FileNode rects = (*it)["rects"];
      if (static_cast<int>((*it)["tilted"]) != 0 || !rects.isSeq() || rects.size() < 1 || rects.size() > 3)
        return false;
      Feature f;
      int r = 0;
      for (cv::FileNodeIterator ri = rects.begin(); ri != rects.end(); ++ri, ++r) {
        if (!(*ri).isSeq() || (*ri).size() != 5) return false;
        cv::FileNodeIterator v = (*ri).begin();
        v >> f.rect[r].x >> f.rect[r].y >> f.rect[r].width >> f.rect[r].height >> f.weight[r];
        const cv::Rect& q = f.rect[r];
        if (q.x < 0 || q.y < 0 || q.width < 0 || q.height < 0 || q.x + q.width > win.width ||
            q.y + q.height > win.height)
          return false;
      }
      features.push_back(f);
    }

    const cv::FileNode stageNodes = root["stages"];
    if (!stageNodes.isSeq() || stageNodes.size() < 1) return false;
    std::vector<Stage> stages;
    std::vector<Stump> stumps;
    for (cv::FileNodeIterator it = stageNodes.begin(); it != stageNodes.end(); ++it) {
      Stage stage;
      stage.threshold = static_cast<float>((*it)["stageThreshold"]) - kStageThresholdEps;
      const cv::FileNode weak = (*it)["weakClassifiers"];
      if (!weak.isSeq() || weak.size() < 1) return false;
      stage.first = static_cast<int>(stumps.size());
      stage.count = static_cast<int>(weak.size());
      if (stumps.size() + weak.size() > static_cast<std::size_t>(kMaxStumps)) return false;
      for (cv::FileNodeIterator w = weak.begin(); w != weak.end(); ++w) {
        const cv::FileNode nodes = (*w)["internalNodes"];
        const cv::FileNode leaves = (*w)["leafValues"];
        // "left right feature threshold" and two leaves: a single split.
        if (!nodes.isSeq() || nodes.size() != 4 || !leaves.isSeq() || leaves.size() != 2) return false;
        Stump s;
        s.feature = static_cast<int>(nodes[2]);
        s.threshold = static_cast<float>(nodes[3]);
        s.left = static_cast<float>(leaves[0]);
        s.right = static_cast<float>(leaves[1]);
        if (s.feature < 0 || s.feature >= static_cast<int>(features.size())) return false;
        stumps.push_back(s);
      }
      stages.push_back(stage);
    }
    window_ = win;
    features_ = std::move(features);
    stumps_ = std::move(stumps);
    stages_ = std::move(stages);
    return true;
  } catch (const cv::Exception&) {
    *this = HaarCascade();
    vectorKernels_ = vector;
    return false;
  }
}

void HaarCascade::compile(int stride) {
  if (stride == compiledStride_) return;
  cornerOffsets(cv::Rect(1, 1, window_.width - 2, window_.height - 2), stride, normOfs_);
  compiled_.resize(features_.size());
  for (std::size_t i = 0; i < features_.size(); ++i) {
    const Feature& f = features_[i];
    Compiled& c = compiled_[i];
    for (int r = 0; r < 3; ++r) {
      cornerOffsets(f.rect[r], stride, c.ofs[r]);
      c.weight[r] = f.weight[r];
    }
    c.third = f.weight[2] != 0.0f;
  }
  compiledStride_ = stride;
}

// The scales, resized images and integral images OpenCV's detector makes for
// this image and these settings, with the same expressions and types.
bool HaarCascade::prepare(const cv::Mat& grey, double scaleFactor, cv::Size minSize, cv::Size maxSize) {
  scales_.clear();
  if (empty() || grey.empty() || grey.type() != CV_8UC1 || grey.dims != 2 || !(scaleFactor > 1.0)) return false;
  const cv::Size imgsz = grey.size();
  const cv::Size orig = window_;
  if (maxSize.height == 0 || maxSize.width == 0) maxSize = imgsz;
  if (imgsz.height < orig.height || imgsz.width < orig.width) return false;

  std::vector<float> all;
  for (double factor = 1;; factor *= scaleFactor) {
    const cv::Size w(cvRound(orig.width * factor), cvRound(orig.height * factor));
    if (w.width > imgsz.width || w.height > imgsz.height) break;
    all.push_back(static_cast<float>(factor));
  }
  std::vector<float> chosen;
  for (float f : all) {
    const cv::Size w(cvRound(orig.width * f), cvRound(orig.height * f));
    if (w.width > maxSize.width || w.height > maxSize.height) break;
    if (w.width < minSize.width || w.height < minSize.height) continue;
    chosen.push_back(f);
  }
  // No scale between the bounds: the one closest to the minimum size.
  if (chosen.empty() && !all.empty()) {
    std::size_t best = 0;
    double bestDistance = 0;
    for (std::size_t v = 0; v < all.size(); ++v) {
      const cv::Size w(cvRound(orig.width * all[v]), cvRound(orig.height * all[v]));
      const double d = (minSize.width - w.width) * (minSize.width - w.width) +
                       (minSize.height - w.height) * (minSize.height - w.height);
      if (v == 0 || bestDistance > d) {
        best = v;
        bestDistance = d;
      }
    }
    chosen.push_back(all[best]);
  }
  if (chosen.empty()) return false;

  int totalRows = 0;
  for (float sc : chosen) {
    Scale s;
    s.factor = sc;
    s.integral = cv::Size(cvRound(imgsz.width / sc) + 1, cvRound(imgsz.height / sc) + 1);
    s.step = sc >= 2 ? 1 : 2;
    s.firstRow = totalRows;
    totalRows += s.integral.height;
    scales_.push_back(s);
  }
  // OpenCV splits the rows of every scale into as many stripes as the first
  // scale has 32-column blocks; the stripes' rounding decides the last row.
  const int stripes = cvCeil(std::max(scales_[0].integral.width - orig.width, 0) / 32.);
  for (Scale& s : scales_) {
    const int rows = std::max(s.integral.height - orig.height, 0);
    const int stripeSize = std::max((rows / s.step + stripes - 1) / std::max(stripes, 1), 1) * s.step;
    s.rows = std::min(stripes * stripeSize, rows);
  }

  // One stride for all scales, with room for the last lanes of a row.
  const int stride = static_cast<int>(cv::alignSize(scales_[0].integral.width + kLanes, kLanes));
  if (sums_.rows != totalRows || sums_.cols != stride) {
    sums_.create(totalRows, stride, CV_32S);
    squares_.create(totalRows, stride, CV_32S);
    sums_.setTo(0);
    squares_.setTo(0);
  }
  const cv::Size largest(scales_[0].integral.width - 1, scales_[0].integral.height - 1);
  if (resized_.cols < largest.width || resized_.rows < largest.height) resized_.create(largest, CV_8U);
  for (const Scale& s : scales_) {
    cv::Mat dst(s.integral.height - 1, s.integral.width - 1, CV_8U, resized_.ptr(), resized_.step);
    cv::resize(grey, dst, dst.size(), 1. / s.factor, 1. / s.factor, cv::INTER_LINEAR_EXACT);
    cv::Mat sum = sums_(cv::Rect(0, s.firstRow, s.integral.width, s.integral.height));
    cv::Mat square = squares_(cv::Rect(0, s.firstRow, s.integral.width, s.integral.height));
    cv::integral(dst, sum, square, CV_32S, CV_32S);
  }
  compile(stride);
  return true;
}

void HaarCascade::candidates(const cv::Mat& grey, std::vector<cv::Rect>& windows, double scaleFactor,
                             cv::Size minSize, cv::Size maxSize) {
  windows.clear();
  try {
    if (!prepare(grey, scaleFactor, minSize, maxSize)) return;
  } catch (const cv::Exception&) {
    scales_.clear();
    return;
  }
  const Kernel k{compiled_.data(), stumps_.data(), stages_.data(), static_cast<int>(stages_.size()), normOfs_,
                 static_cast<double>((window_.width - 2) * (window_.height - 2))};
  const bool eightLanes = vectorKernels_ && haveAvx2();
  for (const Scale& s : scales_) {
    const float f = s.factor;
    const cv::Size win(cvRound(window_.width * f), cvRound(window_.height * f));
    const int width = std::max(s.integral.width - window_.width, 0);
    for (int y = 0; y < s.rows; y += s.step) {
      hits_.clear();
      scanRow(k, eightLanes, sums_.ptr<int>(s.firstRow + y), squares_.ptr<int>(s.firstRow + y), width, s.step, hits_);
      for (int x : hits_) windows.emplace_back(cvRound(x * f), cvRound(y * f), win.width, win.height);
    }
  }
}

void HaarCascade::detect(const cv::Mat& grey, std::vector<cv::Rect>& faces, double scaleFactor, int minNeighbours,
                         cv::Size minSize, cv::Size maxSize) {
  candidates(grey, faces, scaleFactor, minSize, maxSize);
  cv::groupRectangles(faces, minNeighbours, 0.2);
  // Kept inside the image, as OpenCV's detector does.
  const cv::Rect image(0, 0, grey.cols, grey.rows);
  std::size_t kept = 0;
  for (const cv::Rect& r : faces) {
    const cv::Rect inside = image & r;
    if (!inside.empty()) faces[kept++] = inside;
  }
  faces.resize(kept);
}

}  // namespace zeq
