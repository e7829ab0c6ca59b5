#include "engine/Feature.h"
#include "engine/VectorKernels.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <climits>
#include <cstring>

// The descriptor's sums are specified term by term; a compiler that fuses
// multiplications and additions would round them differently. (GCC does not
// fuse in ISO mode, which the build uses.)
#if defined(__clang__)
#pragma clang fp contract(off)
#endif

#if defined(__GNUC__) || defined(__clang__)
#define ZEQ_VECTOR_KERNELS 1
#define ZEQ_KERNEL inline __attribute__((always_inline))
#else
#define ZEQ_VECTOR_KERNELS 0
#define ZEQ_KERNEL inline
#endif

namespace zeq {

namespace {

using detail::haveAvx2;

// uchar -> float, optionally square-rooted: one table lookup per pixel instead
// of a conversion and a square root.
struct IntensityTables {
  float plain[256];
  float root[256];
  IntensityTables() {
    for (int v = 0; v < 256; ++v) {
      plain[v] = static_cast<float>(v);
      root[v] = std::sqrt(static_cast<float>(v));
    }
  }
};

const IntensityTables& intensityTables() {
  static const IntensityTables tables;
  return tables;
}

// Box-filter side: the cell size made odd so that the window has a centre pixel.
int boxSide(int cellSize) { return (cellSize % 2 == 1) ? cellSize : cellSize - 1; }

void fillZero(float* p, int count) { std::fill(p, p + count, 0.0f); }

// Horizontal window sums of one histogram row S (B values per pixel) into D
// (cols x B). Column u of the border-extended row is S + offset[u]. The first
// window is summed value by value, then each step adds the entering and
// subtracts the leaving column.
ZEQ_KERNEL void windowSums(const float* __restrict S, const std::size_t* offset, double* __restrict D, int cols,
                           int k, int B) {
  for (int b = 0; b < B; ++b) D[b] = 0.0;
  for (int t = 0; t < k; ++t) {
    const float* col = S + offset[t];
    for (int b = 0; b < B; ++b) D[b] += static_cast<double>(col[b]);
  }
  for (int x = 0; x + 1 < cols; ++x) {
    const float* enter = S + offset[x + k];
    const float* leave = S + offset[x];
    const double* prev = D + static_cast<std::size_t>(x) * B;
    double* cur = D + static_cast<std::size_t>(x + 1) * B;
    for (int b = 0; b < B; ++b) cur[b] = prev[b] + (static_cast<double>(enter[b]) - static_cast<double>(leave[b]));
  }
}

#if ZEQ_VECTOR_KERNELS
// The same for 16 bins with the running sums held in four 4-lane registers; the
// lanes perform exactly the scalar operations above.
typedef double Double4 __attribute__((vector_size(32)));
typedef float Float4 __attribute__((vector_size(16)));

// s += double(p[0..3]) - double(q[0..3]), or s += double(p[0..3]) without q.
ZEQ_KERNEL void addWidened(Double4& s, const float* p, const float* q = nullptr) {
  Float4 v;
  std::memcpy(&v, p, sizeof(v));
  if (q) {
    Float4 w;
    std::memcpy(&w, q, sizeof(w));
    s += __builtin_convertvector(v, Double4) - __builtin_convertvector(w, Double4);
  } else {
    s += __builtin_convertvector(v, Double4);
  }
}

ZEQ_KERNEL void windowSums16(const float* __restrict S, const std::size_t* offset, double* __restrict D, int cols,
                             int k) {
  Double4 s0 = {0.0, 0.0, 0.0, 0.0};
  Double4 s1 = s0, s2 = s0, s3 = s0;
  for (int t = 0; t < k; ++t) {
    const float* col = S + offset[t];
    addWidened(s0, col);
    addWidened(s1, col + 4);
    addWidened(s2, col + 8);
    addWidened(s3, col + 12);
  }
  std::memcpy(D, &s0, sizeof(s0));
  std::memcpy(D + 4, &s1, sizeof(s1));
  std::memcpy(D + 8, &s2, sizeof(s2));
  std::memcpy(D + 12, &s3, sizeof(s3));
  for (int x = 0; x + 1 < cols; ++x) {
    const float* enter = S + offset[x + k];
    const float* leave = S + offset[x];
    double* cur = D + static_cast<std::size_t>(x + 1) * 16;
    addWidened(s0, enter, leave);
    addWidened(s1, enter + 4, leave + 4);
    addWidened(s2, enter + 8, leave + 8);
    addWidened(s3, enter + 12, leave + 12);
    std::memcpy(cur, &s0, sizeof(s0));
    std::memcpy(cur + 4, &s1, sizeof(s1));
    std::memcpy(cur + 8, &s2, sizeof(s2));
    std::memcpy(cur + 12, &s3, sizeof(s3));
  }
}
#endif

// One output row of the vertical pass: out = (sums + enter) / k^2, then the
// leaving row is subtracted from the running sums.
ZEQ_KERNEL void columnStep(const double* __restrict enter, const double* __restrict leave,
                           double* __restrict sums, float* __restrict out, std::size_t count, double scale) {
  for (std::size_t i = 0; i < count; ++i) {
    const double s = sums[i] + enter[i];
    out[i] = static_cast<float>(s * scale);
    sums[i] = s - leave[i];
  }
}

// Divides the block by its L2 norm plus a small constant. The squares are summed
// in eight interleaved partial sums, so the loop vectorises; the order is fixed,
// so the result does not depend on the build.
ZEQ_KERNEL void normaliseBlock(float* v, int count) {
  float acc[8] = {0.f, 0.f, 0.f, 0.f, 0.f, 0.f, 0.f, 0.f};
  int k = 0;
  for (; k + 8 <= count; k += 8) {
    for (int l = 0; l < 8; ++l) acc[l] += v[k + l] * v[k + l];
  }
  for (int l = 0; k < count; ++k, ++l) acc[l] += v[k] * v[k];
  const float sumSq = ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
  const float denom = std::sqrt(sumSq) + 1e-6f;
  for (k = 0; k < count; ++k) v[k] /= denom;
}

// Where extract() samples: the cell histogram image and the grid around a landmark.
struct SampleGrid {
  const float* G = nullptr;  // cellHist, B values per pixel; null when not ready
  std::size_t rowStride = 0;  // floats per row of G
  float xLimit = 0.f;         // W - 1
  float yLimit = 0.f;         // H - 1
  float offset = 0.f;         // cell-grid offset o
  int B = 0;                  // bins
  int C = 0;                  // cell size
  int c = 0;                  // cells per side
};

// Bilinear sample of B bins: d = w00 g00 + w01 g01 + w10 g10 + w11 g11, summed
// in that order. FixedB > 0 lets the compiler unroll for that bin count.
template <int FixedB>
ZEQ_KERNEL void sampleBins(float* __restrict d, const float* __restrict g00, const float* __restrict g01,
                           const float* __restrict g10, const float* __restrict g11, float w00, float w01,
                           float w10, float w11, int B) {
  const int bins = FixedB > 0 ? FixedB : B;
  for (int b = 0; b < bins; ++b) d[b] = w00 * g00[b] + w01 * g01[b] + w10 * g10[b] + w11 * g11[b];
}

// Descriptor blocks of n landmarks (x, y interleaved in xy) into out, one
// block after the other; include (may be null) skips landmarks whose value is 0.
template <int FixedB>
ZEQ_KERNEL void describeLandmarks(const SampleGrid& g, const float* xy, const unsigned char* include, int n,
                                  float* out) {
  const int B = FixedB > 0 ? FixedB : g.B;
  const int c = g.c;
  const int cellRow = c * B;
  const int block = c * cellRow;
  for (int p = 0; p < n; ++p) {
    if (include && include[p] == 0) continue;
    float* blk = out;
    out += block;
    const float x = xy[2 * p];
    const float y = xy[2 * p + 1];
    // Written as a positive test so that NaN coordinates land outside too.
    if (g.G == nullptr || !(x >= 0.f && y >= 0.f && x < g.xLimit && y < g.yLimit)) {
      fillZero(blk, block);
      continue;
    }
    const float xp = x - g.offset;
    const float yp = y - g.offset;
    const float fx = xp - std::trunc(xp);
    const float fy = yp - std::trunc(yp);
    const float w00 = (1.f - fx) * (1.f - fy);
    const float w01 = fx * (1.f - fy);
    const float w10 = (1.f - fx) * fy;
    const float w11 = fx * fy;

    float* dst = blk;
    for (int i = 0; i < c; ++i) {
      const float yy = static_cast<float>(g.C * i) + yp;
      if (yy < 0.f || yy >= g.yLimit) {
        fillZero(dst, cellRow);
        dst += cellRow;
        continue;
      }
      const float* row0 = g.G + static_cast<std::size_t>(yy) * g.rowStride;
      const float* row1 = row0 + g.rowStride;
      for (int j = 0; j < c; ++j, dst += B) {
        const float xx = static_cast<float>(g.C * j) + xp;
        if (xx < 0.f || xx >= g.xLimit) {
          fillZero(dst, B);
          continue;
        }
        const std::size_t q = static_cast<std::size_t>(xx) * B;
        sampleBins<FixedB>(dst, row0 + q, row0 + q + B, row1 + q, row1 + q + B, w00, w01, w10, w11, B);
      }
    }
    normaliseBlock(blk, block);
  }
}

// Bin position of each orientation of a row, in double precision and rounded
// to float. The divisions make this the costly part of a histogram row.
ZEQ_KERNEL void binPositionsOf(const float* __restrict theta, float* __restrict pos, int cols, double numBins,
                               bool signedOrientation) {
  if (signedOrientation) {
    for (int x = 0; x < cols; ++x) pos[x] = static_cast<float>(double(theta[x]) * 0.5 / CV_PI * numBins);
  } else {
    for (int x = 0; x < cols; ++x) {
      const double t = theta[x];
      const float folded = static_cast<float>(t > CV_PI ? t - CV_PI : t);
      pos[x] = static_cast<float>(double(folded) / CV_PI * numBins);
    }
  }
}

// The two kernels above dominate setup. On x86-64 they are also built for AVX2
// and chosen at run time; the operations (conversions, additions, subtractions
// and one multiplication, no fused multiply-add) round identically in both
// builds, so the choice does not change any value.
#if ZEQ_AVX2_KERNELS
// Written with intrinsics: the generic vector code converts each group of four
// floats in two halves, which doubles the work of the hottest loop.
__attribute__((target("avx2"))) inline __m256d widen4(const float* p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }

__attribute__((target("avx2"))) void windowSums16Avx2(const float* S, const std::size_t* offset, double* D,
                                                      int cols, int k) {
  __m256d s0 = _mm256_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
  for (int t = 0; t < k; ++t) {
    const float* col = S + offset[t];
    s0 = _mm256_add_pd(s0, widen4(col));
    s1 = _mm256_add_pd(s1, widen4(col + 4));
    s2 = _mm256_add_pd(s2, widen4(col + 8));
    s3 = _mm256_add_pd(s3, widen4(col + 12));
  }
  _mm256_storeu_pd(D, s0);
  _mm256_storeu_pd(D + 4, s1);
  _mm256_storeu_pd(D + 8, s2);
  _mm256_storeu_pd(D + 12, s3);
  for (int x = 0; x + 1 < cols; ++x) {
    const float* enter = S + offset[x + k];
    const float* leave = S + offset[x];
    double* cur = D + static_cast<std::size_t>(x + 1) * 16;
    s0 = _mm256_add_pd(s0, _mm256_sub_pd(widen4(enter), widen4(leave)));
    s1 = _mm256_add_pd(s1, _mm256_sub_pd(widen4(enter + 4), widen4(leave + 4)));
    s2 = _mm256_add_pd(s2, _mm256_sub_pd(widen4(enter + 8), widen4(leave + 8)));
    s3 = _mm256_add_pd(s3, _mm256_sub_pd(widen4(enter + 12), widen4(leave + 12)));
    _mm256_storeu_pd(cur, s0);
    _mm256_storeu_pd(cur + 4, s1);
    _mm256_storeu_pd(cur + 8, s2);
    _mm256_storeu_pd(cur + 12, s3);
  }
}
__attribute__((target("avx2"))) void windowSumsAvx2(const float* S, const std::size_t* offset, double* D, int cols,
                                                    int k, int B) {
  windowSums(S, offset, D, cols, k, B);
}
__attribute__((target("avx2"))) void columnStepAvx2(const double* enter, const double* leave, double* sums,
                                                    float* out, std::size_t count, double scale) {
  const __m256d f = _mm256_set1_pd(scale);
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    const __m256d s = _mm256_add_pd(_mm256_loadu_pd(sums + i), _mm256_loadu_pd(enter + i));
    _mm_storeu_ps(out + i, _mm256_cvtpd_ps(_mm256_mul_pd(s, f)));
    _mm256_storeu_pd(sums + i, _mm256_sub_pd(s, _mm256_loadu_pd(leave + i)));
  }
  columnStep(enter + i, leave + i, sums + i, out + i, count - i, scale);
}
__attribute__((target("avx2"))) void describeLandmarks16Avx2(const SampleGrid& g, const float* xy,
                                                              const unsigned char* include, int n, float* out) {
  describeLandmarks<16>(g, xy, include, n, out);
}
__attribute__((target("avx2"))) void describeLandmarksAvx2(const SampleGrid& g, const float* xy,
                                                            const unsigned char* include, int n, float* out) {
  describeLandmarks<0>(g, xy, include, n, out);
}
__attribute__((target("avx2"))) void binPositionsAvx2(const float* theta, float* pos, int cols, double numBins,
                                                      bool signedOrientation) {
  binPositionsOf(theta, pos, cols, numBins, signedOrientation);
}
#endif

void rowWindowSums(bool avx2, const float* S, const std::size_t* offset, double* D, int cols, int k, int B) {
#if ZEQ_AVX2_KERNELS
  if (avx2) {
    if (B == 16) {
      windowSums16Avx2(S, offset, D, cols, k);
    } else {
      windowSumsAvx2(S, offset, D, cols, k, B);
    }
    return;
  }
#endif
  (void)avx2;
#if ZEQ_VECTOR_KERNELS
  if (B == 16) {
    windowSums16(S, offset, D, cols, k);
    return;
  }
#endif
  windowSums(S, offset, D, cols, k, B);
}

void binPositions(bool avx2, const float* theta, float* pos, int cols, int B, bool signedOrientation) {
#if ZEQ_AVX2_KERNELS
  if (avx2) {
    binPositionsAvx2(theta, pos, cols, B, signedOrientation);
    return;
  }
#endif
  (void)avx2;
  binPositionsOf(theta, pos, cols, B, signedOrientation);
}

// Same operations in every build (no fused multiply-add), so the choice of
// kernel does not change any value.
void describe(const SampleGrid& g, const float* xy, const unsigned char* include, int n, float* out) {
#if ZEQ_AVX2_KERNELS
  if (haveAvx2()) {
    if (g.B == 16) {
      describeLandmarks16Avx2(g, xy, include, n, out);
    } else {
      describeLandmarksAvx2(g, xy, include, n, out);
    }
    return;
  }
#endif
  if (g.B == 16) {
    describeLandmarks<16>(g, xy, include, n, out);
  } else {
    describeLandmarks<0>(g, xy, include, n, out);
  }
}

void columnOutput(bool avx2, const double* enter, const double* leave, double* sums, float* out, std::size_t count,
                  double scale) {
#if ZEQ_AVX2_KERNELS
  if (avx2) {
    columnStepAvx2(enter, leave, sums, out, count, scale);
    return;
  }
#endif
  (void)avx2;
  columnStep(enter, leave, sums, out, count, scale);
}

}  // namespace

int Feature::blockLength() const {
  if (!featParametersUsable(params)) return 0;
  const int c = params.patchSize / params.cellSize;
  return c * c * params.numBins;
}

bool Feature::setup(const cv::Mat& image) {
  if (image.channels() > 1) {
    std::fputs("only grayscale currently supported! Aborting\n", stderr);
    return false;
  }
  if (image.empty() || image.dims != 2 || image.depth() != CV_8U) return false;
  if (!featParametersUsable(params)) return false;
  const int rows = image.rows;
  const int cols = image.cols;
  const int B = params.numBins;
  if (static_cast<long long>(rows) * cols * B > kMaxHistogramElements) return false;

  // Intensities.
  intensity.create(rows, cols);
  const float* lut = params.sqrtIntensity ? intensityTables().root : intensityTables().plain;
  for (int r = 0; r < rows; ++r) {
    const unsigned char* src = image.ptr<unsigned char>(r);
    float* dst = intensity[r];
    for (int x = 0; x < cols; ++x) dst[x] = lut[src[x]];
  }

  // Centred differences inside, one-sided differences on the border rows and
  // columns; a dimension of one pixel has no neighbour and gives zero.
  gradX.create(rows, cols);
  gradY.create(rows, cols);
  for (int r = 0; r < rows; ++r) {
    const float* I = intensity[r];
    float* gx = gradX[r];
    if (cols == 1) {
      gx[0] = 0.f;
    } else {
      gx[0] = I[1] - I[0];
      for (int x = 1; x < cols - 1; ++x) gx[x] = I[x + 1] - I[x - 1];
      gx[cols - 1] = I[cols - 1] - I[cols - 2];
    }
    const float* up = intensity[std::max(r - 1, 0)];
    const float* down = intensity[std::min(r + 1, rows - 1)];
    float* gy = gradY[r];
    for (int x = 0; x < cols; ++x) gy[x] = down[x] - up[x];
  }

  cv::cartToPolar(gradX, gradY, magnitude, angle, false);

  // The orientation histogram is made one row at a time inside the box filter
  // below, which reads each row once, right after it is made: a whole image of
  // it would only move a megabyte through the caches every frame.
  binPos_.resize(cols);
  histogramRow_.resize(static_cast<std::size_t>(cols) * B);
  filterCells(boxSide(params.cellSize));
  return true;
}

// Row r of the orientation histogram from magnitude and angle.
void Feature::fillHistogramRow(int r, float* h, float* pos) const {
  const int cols = angle.cols;
  const int B = params.numBins;
  std::memset(h, 0, static_cast<std::size_t>(cols) * B * sizeof(float));

  // Bin positions in a loop of their own, so that it vectorises.
  binPositions(haveAvx2(), angle[r], pos, cols, B, params.signedOrientation);

  // Each pixel's magnitude goes to its two neighbouring bins; the second write
  // wins when both are the same bin (one bin only).
  const float* m = magnitude[r];
  for (int x = 0; x < cols; ++x, h += B) {
    const float ps = pos[x];
    int i = static_cast<int>(ps);
    if (i > B - 1) i = B - 1;
    const int next = (i + 1 == B) ? 0 : i + 1;
    h[i] = (static_cast<float>(i + 1) - ps) * m[x];
    h[next] = (ps - static_cast<float>(i)) * m[x];
  }
}

// Makes the orientation histogram row by row and box-filters it into cellHist.
//
// Normalised box filter with reflect-101 borders, as a separable pair of running
// sums in double precision: each horizontal window sum starts as the sum of the
// first window and then adds the entering and subtracts the leaving value; the
// vertical sums run down each column the same way and are scaled by 1 / k^2 on
// output. This is the order of OpenCV's separable box filter for float images,
// so cellHist equals cv::boxFilter's result, but all channels of a pixel are
// processed together and the horizontal sums live in a ring of k rows.
void Feature::filterCells(int k) {
  const int rows = angle.rows;
  const int cols = angle.cols;
  const int B = params.numBins;
  const int a = k / 2;
  const std::size_t rowLen = static_cast<std::size_t>(cols) * B;
  cellHist.create(rows, cols, CV_MAKETYPE(CV_32F, B));

  // Offset of each column of the border-extended row (cols + k - 1 columns).
  const int paddedCols = cols + k - 1;
  paddedOffset_.resize(paddedCols);
  for (int u = 0; u < paddedCols; ++u)
    paddedOffset_[u] = static_cast<std::size_t>(cv::borderInterpolate(u - a, cols, cv::BORDER_REFLECT_101)) * B;
  const int ringRows = std::min(rows, k);
  rowSums_.resize(static_cast<std::size_t>(ringRows) * rowLen);
  columnSums_.assign(rowLen, 0.0);

  // Horizontal sums of source row j, computed on first use, in increasing order.
  // The vertical pass never looks further back than k rows, so a ring suffices.
  const bool avx2 = haveAvx2();
  int computed = 0;
  auto rowSum = [&](int j) -> const double* {
    for (; computed <= j; ++computed) {
      float* S = histogramRow_.data();
      fillHistogramRow(computed, S, binPos_.data());
      double* D = rowSums_.data() + static_cast<std::size_t>(computed % ringRows) * rowLen;
      rowWindowSums(avx2, S, paddedOffset_.data(), D, cols, k, B);
    }
    return rowSums_.data() + static_cast<std::size_t>(j % ringRows) * rowLen;
  };

  double* __restrict sums = columnSums_.data();
  for (int t = -a; t < k - 1 - a; ++t) {
    const double* R = rowSum(cv::borderInterpolate(t, rows, cv::BORDER_REFLECT_101));
    for (std::size_t i = 0; i < rowLen; ++i) sums[i] += R[i];
  }
  const double scale = 1.0 / (k * k);
  for (int y = 0; y < rows; ++y) {
    const double* enter = rowSum(cv::borderInterpolate(y + a, rows, cv::BORDER_REFLECT_101));
    const double* leave = rowSum(cv::borderInterpolate(y - a, rows, cv::BORDER_REFLECT_101));
    columnOutput(avx2, enter, leave, sums, cellHist.ptr<float>(y), rowLen, scale);
  }
  // Images smaller than the window may not have asked for every row.
  if (computed < rows) rowSum(rows - 1);
}

cv::Mat Feature::orientationHistogram() const {
  if (cellHist.empty() || angle.empty() || magnitude.size() != angle.size()) return cv::Mat();
  cv::Mat hist(angle.rows, angle.cols, CV_MAKETYPE(CV_32F, params.numBins));
  std::vector<float> pos(static_cast<std::size_t>(angle.cols));
  for (int r = 0; r < angle.rows; ++r) fillHistogramRow(r, hist.ptr<float>(r), pos.data());
  return hist;
}

void Feature::extract(cv::Mat_<float>& descriptor, const cv::Mat_<float>& shape,
                      cv::Mat_<unsigned char> mask) const {
  const int n = (shape.empty() || shape.dims != 2) ? 0 : shape.rows / 2;
  const int block = blockLength();
  if (block == 0 || (!mask.empty() && mask.total() != static_cast<std::size_t>(n))) {
    descriptor.release();
    return;
  }
  if (!mask.empty() && !mask.isContinuous()) mask = mask.clone();
  const unsigned char* include = mask.empty() ? nullptr : mask.ptr<unsigned char>();
  const int m = include ? cv::countNonZero(mask) : n;
  if (static_cast<long long>(m) * block > INT_MAX) {
    descriptor.release();
    return;
  }
  descriptor.create(m * block, 1);
  if (n == 0 || m == 0) return;

  // Without a histogram of the current bin count every landmark is outside.
  const int B = params.numBins;
  const bool ready = !cellHist.empty() && cellHist.dims == 2 && cellHist.type() == CV_MAKETYPE(CV_32F, B);
  SampleGrid g;
  g.G = ready ? cellHist.ptr<float>() : nullptr;
  g.rowStride = ready ? cellHist.step1() : 0;
  g.xLimit = static_cast<float>((ready ? cellHist.cols : 0) - 1);
  g.yLimit = static_cast<float>((ready ? cellHist.rows : 0) - 1);
  g.offset = 0.5f * static_cast<float>(params.patchSize) - 0.5f * static_cast<float>(params.cellSize);
  g.B = B;
  g.C = params.cellSize;
  g.c = params.patchSize / params.cellSize;
  // Landmarks as one contiguous x, y list (a shape that is a view of a wider
  // matrix is gathered first).
  const float* xy = shape.ptr<float>(0);
  if (!shape.isContinuous() || shape.cols != 1) {
    landmarkScratch_.resize(2 * static_cast<std::size_t>(n));
    for (int k = 0; k < 2 * n; ++k) landmarkScratch_[k] = shape(k, 0);
    xy = landmarkScratch_.data();
  }
  describe(g, xy, include, n, descriptor.ptr<float>());
}

}  // namespace zeq
