#include "engine/SparseFlowLK.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

#include <opencv2/video/tracking.hpp>

#include "engine/VectorKernels.h"

// Every float operation below repeats one of OpenCV's, in its order; a fused
// multiply-add would round differently (the build also passes
// -ffp-contract=off for this file).
#if defined(__clang__)
#pragma clang fp contract(off)
#endif

namespace zeq {

namespace {

#if ZEQ_AVX2_KERNELS
constexpr int kWBits = 14;
constexpr float kFltScale = 1.f / (1 << 20);

inline int descale(int x, int n) { return (x + (1 << (n - 1))) >> n; }

struct Weights {
  int w00, w01, w10, w11;
};

Weights weightsOf(float a, float b) {
  Weights w;
  w.w00 = cvRound((1.f - a) * (1.f - b) * (1 << kWBits));
  w.w01 = cvRound(a * (1.f - b) * (1 << kWBits));
  w.w10 = cvRound((1.f - a) * b * (1 << kWBits));
  w.w11 = (1 << kWBits) - w.w00 - w.w01 - w.w10;
  return w;
}

// Does the ROI m have at least `pad` pixels of its parent on every side?
bool padded(const cv::Mat& m, cv::Size pad) {
  if (m.empty() || m.dims != 2) return false;
  cv::Size whole;
  cv::Point ofs;
  m.locateROI(whole, ofs);
  return ofs.x >= pad.width && ofs.y >= pad.height && ofs.x + m.cols + pad.width <= whole.width &&
         ofs.y + m.rows + pad.height <= whole.height;
}

// Levels of a pyramid and the step between level images (2 with derivatives).
void pyramidLevels(const std::vector<cv::Mat>& pyr, int& levels, int& step) {
  levels = static_cast<int>(pyr.size()) - 1;
  step = 1;
  if (levels >= 1 && levels % 2 == 1 && pyr[0].channels() * 2 == pyr[1].channels() && pyr[1].depth() == CV_16S) {
    step = 2;
    levels /= 2;
  }
}

// One pyramid level of the flow for all points; the per-point work of
// OpenCV's LKTrackerInvoker.
struct LevelJob {
  const cv::Mat* I;
  const cv::Mat* derivI;  // null: derivatives made around each point from I
  const cv::Mat* J;
  const cv::Point2f* prevPts;
  cv::Point2f* nextPts;
  unsigned char* status;
  float* err;
  int npoints;
  cv::Size winSize;
  int maxCount;
  double epsilon;
  int level;
  int maxLevel;
  bool useInitialFlow;
  float minEigThreshold;
  short* IWin;      // winSize.area() values
  short* derivWin;  // 2 * winSize.area() values
  short* block;     // derivativeBlockValues(winSize) values when derivI is null
};

// Row stride (in shorts) of the derivative block around one point: the
// window's (width + 1) pairs, made 16 pixels at a time, with room after them
// for the wide loads of the window's last pixels.
int derivativeBlockStride(cv::Size win) { return 2 * ((win.width + 1 + 15) / 16) * 16 + 32; }
std::size_t derivativeBlockValues(cv::Size win) {
  return static_cast<std::size_t>(derivativeBlockStride(win)) * (static_cast<std::size_t>(win.height) + 2);
}

// OpenCV's Scharr derivative pair (dI/dx, dI/dy) of pixel (x, y) of an 8-bit
// image, with its reflected neighbours at the image's edges (and the
// derivative 0 outside the image, as the pyramid's constant border has it).
void scharrAt(const cv::Mat& I, int x, int y, short* out) {
  const int rows = I.rows, cols = I.cols;
  if (x < 0 || y < 0 || x >= cols || y >= rows) {
    out[0] = out[1] = 0;
    return;
  }
  const unsigned char* r0 = I.ptr<unsigned char>(y > 0 ? y - 1 : rows > 1 ? 1 : 0);
  const unsigned char* r1 = I.ptr<unsigned char>(y);
  const unsigned char* r2 = I.ptr<unsigned char>(y < rows - 1 ? y + 1 : rows > 1 ? rows - 2 : 0);
  const int xm = x > 0 ? x - 1 : cols > 1 ? 1 : 0;
  const int xp = x < cols - 1 ? x + 1 : cols > 1 ? cols - 2 : 0;
  auto smooth = [&](int c) { return static_cast<short>((r0[c] + r2[c]) * 3 + r1[c] * 10); };
  auto diff = [&](int c) { return static_cast<short>(r2[c] - r0[c]); };
  out[0] = static_cast<short>(smooth(xp) - smooth(xm));
  out[1] = static_cast<short>((diff(xp) + diff(xm)) * 3 + diff(x) * 10);
}

// Stores and loads of stack buffers are unaligned ones: a 64-bit Windows stack
// is only 16-byte aligned.
#define ZEQ_AVX2 __attribute__((target("avx2"))) inline __attribute__((always_inline))

// Sum of the four lanes as OpenCV's v_reduce_sum adds them.
ZEQ_AVX2 float reduceSum(__m128 v) {
  v = _mm_add_ps(v, _mm_castsi128_ps(_mm_srli_si128(_mm_castps_si128(v), 8)));
  v = _mm_add_ps(v, _mm_castsi128_ps(_mm_srli_si128(_mm_castps_si128(v), 4)));
  return _mm_cvtss_f32(v);
}

// OpenCV's v_interleave_pairs of 16-bit and then of 32-bit lanes (per 128 bits):
// Ix0 Iy0 Ix1 Iy1 ... becomes Ix0 Ix1 Ix2 Ix3 Iy0 Iy1 Iy2 Iy3.
ZEQ_AVX2 __m256i interleavePairs(__m256i v) {
  const __m256i mask = _mm256_setr_epi8(0, 1, 4, 5, 2, 3, 6, 7, 8, 9, 12, 13, 10, 11, 14, 15, 0, 1, 4, 5, 2, 3, 6, 7, 8,
                                        9, 12, 13, 10, 11, 14, 15);
  v = _mm256_shuffle_epi8(v, mask);
  return _mm256_shuffle_epi32(v, _MM_SHUFFLE(3, 1, 2, 0));
}
ZEQ_AVX2 __m128i interleavePairs(__m128i v) {
  const __m128i mask = _mm_setr_epi8(0, 1, 4, 5, 2, 3, 6, 7, 8, 9, 12, 13, 10, 11, 14, 15);
  v = _mm_shuffle_epi8(v, mask);
  return _mm_shuffle_epi32(v, _MM_SHUFFLE(3, 1, 2, 0));
}

// 16 bytes widened to 16-bit lanes.
ZEQ_AVX2 __m256i widenBytes(const unsigned char* p) {
  return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// OpenCV's bilinear step in 16-bit lanes, per 128-bit half: the weighted sums
// of the four neighbours (v_dotprod of interleaved pairs), rounded by Shift
// bits and packed (v_pack).
template <int Shift>
ZEQ_AVX2 __m256i interpolateRows16(__m256i v00, __m256i v01, __m256i v10, __m256i v11, __m256i qw0, __m256i qw1,
                                   __m256i delta) {
  __m256i t0 = _mm256_add_epi32(_mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(v00, v01), qw0), delta),
                                _mm256_madd_epi16(_mm256_unpacklo_epi16(v10, v11), qw1));
  __m256i t1 = _mm256_add_epi32(_mm256_add_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(v00, v01), qw0), delta),
                                _mm256_madd_epi16(_mm256_unpackhi_epi16(v10, v11), qw1));
  return _mm256_packs_epi32(_mm256_srai_epi32(t0, Shift), _mm256_srai_epi32(t1, Shift));
}
// 16 8-bit pixels (two of OpenCV's 8-pixel steps, one per 128-bit half).
template <int Shift>
ZEQ_AVX2 __m256i interpolate16(const unsigned char* src, std::ptrdiff_t step, __m256i qw0, __m256i qw1,
                               __m256i delta) {
  return interpolateRows16<Shift>(widenBytes(src), widenBytes(src + 1), widenBytes(src + step),
                                  widenBytes(src + step + 1), qw0, qw1, delta);
}
// The same for one 8-pixel step (the low half does exactly the work of one).
template <int Shift>
ZEQ_AVX2 __m128i interpolateRows8(__m128i v00, __m128i v01, __m128i v10, __m128i v11, __m128i qw0, __m128i qw1,
                                  __m128i delta) {
  return _mm256_castsi256_si128(interpolateRows16<Shift>(
      _mm256_castsi128_si256(v00), _mm256_castsi128_si256(v01), _mm256_castsi128_si256(v10),
      _mm256_castsi128_si256(v11), _mm256_castsi128_si256(qw0), _mm256_castsi128_si256(qw1),
      _mm256_castsi128_si256(delta)));
}
template <int Shift>
ZEQ_AVX2 __m128i interpolate8(const unsigned char* src, std::ptrdiff_t step, __m128i qw0, __m128i qw1,
                              __m128i delta) {
  return interpolateRows8<Shift>(_mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(src))),
                                 _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + 1))),
                                 _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + step))),
                                 _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + step + 1))),
                                 qw0, qw1, delta);
}
// The last t (< 8) pixels of a window row, reading only the t + 1 bytes of
// each of its two rows (the lanes from t on are meaningless).
template <int Shift>
ZEQ_AVX2 __m128i interpolateTail(const unsigned char* src, std::ptrdiff_t step, int t, __m128i qw0, __m128i qw1,
                                 __m128i delta, const unsigned char* limit) {
  // Inside the image's allocation the 8-pixel loads may run past the window
  // (the lanes past t are not used); only at its very end is that unsafe.
  if (src + step + 9 <= limit) return interpolate8<Shift>(src, step, qw0, qw1, delta);
  alignas(16) unsigned char top[16] = {}, bottom[16] = {};
  std::memcpy(top, src, static_cast<std::size_t>(t) + 1);
  std::memcpy(bottom, src + step, static_cast<std::size_t>(t) + 1);
  const __m128i a = _mm_load_si128(reinterpret_cast<const __m128i*>(top));
  const __m128i b = _mm_load_si128(reinterpret_cast<const __m128i*>(bottom));
  return interpolateRows8<Shift>(_mm_cvtepu8_epi16(a), _mm_cvtepu8_epi16(_mm_srli_si128(a, 1)),
                                 _mm_cvtepu8_epi16(b), _mm_cvtepu8_epi16(_mm_srli_si128(b, 1)), qw0, qw1, delta);
}

ZEQ_AVX2 __m256i loadPairs(const short* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
// Bilinear interpolation of 8 derivative pairs (Ix, Iy of 8 pixels: two of
// OpenCV's 4-pixel halves, one per 128-bit half).
ZEQ_AVX2 __m256i interpolateDeriv8(const short* d, std::ptrdiff_t dstep, __m256i qw0, __m256i qw1, __m256i delta) {
  return interpolateRows16<kWBits>(loadPairs(d), loadPairs(d + 2), loadPairs(d + dstep), loadPairs(d + dstep + 2),
                                   qw0, qw1, delta);
}
// The derivative pairs of the last t (< 8) pixels of a window row, reading
// only the t + 1 pairs of each of its two rows.
ZEQ_AVX2 __m256i interpolateDerivTail(const short* d, std::ptrdiff_t dstep, int t, __m256i qw0, __m256i qw1,
                                      __m256i delta, const short* limit) {
  if (d + dstep + 18 <= limit) return interpolateDeriv8(d, dstep, qw0, qw1, delta);
  short top[24] = {}, bottom[24] = {};
  const std::size_t bytes = 2 * (static_cast<std::size_t>(t) + 1) * sizeof(short);
  std::memcpy(top, d, bytes);
  std::memcpy(bottom, d + dstep, bytes);
  return interpolateRows16<kWBits>(loadPairs(top), loadPairs(top + 2), loadPairs(bottom), loadPairs(bottom + 2), qw0,
                                   qw1, delta);
}
// The x (low) and y (high) halves of eight (x, y) 16-bit pairs, widened.
ZEQ_AVX2 __m256i pairX(__m256i d) { return _mm256_srai_epi32(_mm256_slli_epi32(d, 16), 16); }
ZEQ_AVX2 __m256i pairY(__m256i d) { return _mm256_srai_epi32(d, 16); }


// The 4-lane sums of the gradient matrix terms, as OpenCV keeps them.
struct GradientSums {
  __m128 a11, a12, a22;
};

// 8 interpolated derivative pairs (two of OpenCV's 4-pixel half steps) into
// the sums: the products of both halves at once, then each half added as its
// v_muladd without FMA adds it (multiply, then add).
ZEQ_AVX2 void accumulate8(GradientSums& q, __m256i d) {
  const __m256i v = interleavePairs(d);
  // OpenCV's v_expand: the low four (x) and the high four (y) of each half.
  const __m256 fx = _mm256_cvtepi32_ps(_mm256_srai_epi32(_mm256_unpacklo_epi16(v, v), 16));
  const __m256 fy = _mm256_cvtepi32_ps(_mm256_srai_epi32(_mm256_unpackhi_epi16(v, v), 16));
  const __m256 p22 = _mm256_mul_ps(fy, fy);
  const __m256 p12 = _mm256_mul_ps(fx, fy);
  const __m256 p11 = _mm256_mul_ps(fx, fx);
  q.a22 = _mm_add_ps(_mm256_castps256_ps128(p22), q.a22);
  q.a12 = _mm_add_ps(_mm256_castps256_ps128(p12), q.a12);
  q.a11 = _mm_add_ps(_mm256_castps256_ps128(p11), q.a11);
  q.a22 = _mm_add_ps(_mm256_extractf128_ps(p22, 1), q.a22);
  q.a12 = _mm_add_ps(_mm256_extractf128_ps(p12, 1), q.a12);
  q.a11 = _mm_add_ps(_mm256_extractf128_ps(p11, 1), q.a11);
}

ZEQ_AVX2 __m256i pairWeights256(int w0, int w1) {
  return _mm256_set1_epi32(static_cast<int>((static_cast<std::uint32_t>(static_cast<std::uint16_t>(w1)) << 16) |
                                            static_cast<std::uint16_t>(w0)));
}

// One row of the patch setup: the interpolated intensities (IWin row) and
// derivatives (derivWin row) of the previous image, and the gradient sums.
ZEQ_AVX2 void setupRow(const unsigned char* src, std::ptrdiff_t stepI, const unsigned char* srcLimit, const short* dsrc,
                       std::ptrdiff_t dstep, const short* dLimit, short* Iptr, short* dIptr, int width, int chunks,
                       const Weights& w, GradientSums& q, float& iA11, float& iA12, float& iA22) {
  const __m256i qw0 = pairWeights256(w.w00, w.w01);
  const __m256i qw1 = pairWeights256(w.w10, w.w11);
  const __m256i qdelta = _mm256_set1_epi32(1 << (kWBits - 5 - 1));
  const __m256i qdeltaD = _mm256_set1_epi32(1 << (kWBits - 1));
  int c = 0;
  for (; c + 2 <= chunks; c += 2) {
    const int x = 8 * c;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(Iptr + x),
                        interpolate16<kWBits - 5>(src + x, stepI, qw0, qw1, qdelta));
    for (int k = 0; k < 2; ++k) {
      const int xk = x + 8 * k;
      const __m256i d = interpolateDeriv8(dsrc + 2 * xk, dstep, qw0, qw1, qdeltaD);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(dIptr + 2 * xk), d);
      accumulate8(q, d);
    }
  }
  // The window buffers have room after their last row, so the stores below
  // may run past a row's end (the next row overwrites what they leave).
  const int x0 = 8 * chunks;
  const int t = width - x0;
  const __m128i qw0s = _mm256_castsi256_si128(qw0), qw1s = _mm256_castsi256_si128(qw1);
  const __m128i qdeltas = _mm256_castsi256_si128(qdelta);
  // A last single 8-pixel step and the pixels after it in one 16-pixel
  // interpolation, where the image's allocation allows the wider reads.
  const bool merged = c < chunks && t > 0 && src + 8 * c + stepI + 17 <= srcLimit;
  if (c < chunks) {
    const int x = 8 * c;
    if (merged) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(Iptr + x),
                          interpolate16<kWBits - 5>(src + x, stepI, qw0, qw1, qdelta));
    } else {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(Iptr + x),
                       interpolate8<kWBits - 5>(src + x, stepI, qw0s, qw1s, qdeltas));
    }
    const __m256i d = interpolateDeriv8(dsrc + 2 * x, dstep, qw0, qw1, qdeltaD);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dIptr + 2 * x), d);
    accumulate8(q, d);
  }
  // The last pixels: OpenCV's scalar loop, whose integer work is done here in
  // vector lanes and whose float sums are then made pixel after pixel.
  if (t > 0) {
    if (!merged) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(Iptr + x0),
                       interpolateTail<kWBits - 5>(src + x0, stepI, t, qw0s, qw1s, qdeltas, srcLimit));
    }
    const __m256i d = interpolateDerivTail(dsrc + 2 * x0, dstep, t, qw0, qw1, qdeltaD, dLimit);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dIptr + 2 * x0), d);
    const __m256i ix = pairX(d), iy = pairY(d);
    float f11[8], f12[8], f22[8];
    _mm256_storeu_ps(f11, _mm256_cvtepi32_ps(_mm256_mullo_epi32(ix, ix)));
    _mm256_storeu_ps(f12, _mm256_cvtepi32_ps(_mm256_mullo_epi32(ix, iy)));
    _mm256_storeu_ps(f22, _mm256_cvtepi32_ps(_mm256_mullo_epi32(iy, iy)));
    for (int k = 0; k < t; ++k) {
      iA11 += f11[k];
      iA12 += f12[k];
      iA22 += f22[k];
    }
  }
}

// One row of an iteration: the mismatch vector sums.
ZEQ_AVX2 void mismatchRow(const unsigned char* Jptr, std::ptrdiff_t stepJ, const unsigned char* jLimit,
                          const short* Iptr, const short* dIptr, int width, int chunks, const Weights& w, __m128& qb0,
                          __m128& qb1, float& ib1, float& ib2) {
  const __m256i qw0 = pairWeights256(w.w00, w.w01);
  const __m256i qw1 = pairWeights256(w.w10, w.w11);
  const __m256i qdelta = _mm256_set1_epi32(1 << (kWBits - 5 - 1));
  int c = 0;
  for (; c + 2 <= chunks; c += 2) {
    const int x = 8 * c;
    const __m256i diff =
        _mm256_sub_epi16(interpolate16<kWBits - 5>(Jptr + x, stepJ, qw0, qw1, qdelta),
                         _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Iptr + x)));
    const __m256i diff2 = _mm256_unpacklo_epi16(diff, diff);
    const __m256i diff1 = _mm256_unpackhi_epi16(diff, diff);
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(dIptr + 2 * x));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(dIptr + 2 * x + 16));
    const __m256i v00 = _mm256_permute2x128_si256(a, b, 0x20);
    const __m256i v01 = _mm256_permute2x128_si256(a, b, 0x31);
    const __m256i v10 = _mm256_unpacklo_epi16(v00, v01);
    const __m256i v11 = _mm256_unpackhi_epi16(v00, v01);
    const __m256 m0 = _mm256_cvtepi32_ps(_mm256_madd_epi16(_mm256_unpacklo_epi16(diff2, diff1), v10));
    const __m256 m1 = _mm256_cvtepi32_ps(_mm256_madd_epi16(_mm256_unpackhi_epi16(diff2, diff1), v11));
    qb0 = _mm_add_ps(qb0, _mm256_castps256_ps128(m0));
    qb1 = _mm_add_ps(qb1, _mm256_castps256_ps128(m1));
    qb0 = _mm_add_ps(qb0, _mm256_extractf128_ps(m0, 1));
    qb1 = _mm_add_ps(qb1, _mm256_extractf128_ps(m1, 1));
  }
  const int x0 = 8 * chunks;
  const int t = width - x0;
  const __m128i qw0s = _mm256_castsi256_si128(qw0), qw1s = _mm256_castsi256_si128(qw1);
  const __m128i qdeltas = _mm256_castsi256_si128(qdelta);
  // As in setupRow; the window buffers have room for loads past a row's end.
  const bool merged = c < chunks && t > 0 && Jptr + 8 * c + stepJ + 17 <= jLimit;
  __m128i tailDiff = _mm_setzero_si128();
  if (c < chunks) {
    const int x = 8 * c;
    __m128i diff;
    if (merged) {
      const __m256i both = _mm256_sub_epi16(interpolate16<kWBits - 5>(Jptr + x, stepJ, qw0, qw1, qdelta),
                                            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Iptr + x)));
      diff = _mm256_castsi256_si128(both);
      tailDiff = _mm256_extracti128_si256(both, 1);
    } else {
      diff = _mm_sub_epi16(interpolate8<kWBits - 5>(Jptr + x, stepJ, qw0s, qw1s, qdeltas),
                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(Iptr + x)));
    }
    const __m128i diff2 = _mm_unpacklo_epi16(diff, diff);
    const __m128i diff1 = _mm_unpackhi_epi16(diff, diff);
    const __m128i v00 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dIptr + 2 * x));
    const __m128i v01 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dIptr + 2 * x + 8));
    const __m128i v10 = _mm_unpacklo_epi16(v00, v01);
    const __m128i v11 = _mm_unpackhi_epi16(v00, v01);
    qb0 = _mm_add_ps(qb0, _mm_cvtepi32_ps(_mm_madd_epi16(_mm_unpacklo_epi16(diff2, diff1), v10)));
    qb1 = _mm_add_ps(qb1, _mm_cvtepi32_ps(_mm_madd_epi16(_mm_unpackhi_epi16(diff2, diff1), v11)));
  }
  if (t > 0) {
    if (!merged) {
      tailDiff = _mm_sub_epi16(interpolateTail<kWBits - 5>(Jptr + x0, stepJ, t, qw0s, qw1s, qdeltas, jLimit),
                               _mm_loadu_si128(reinterpret_cast<const __m128i*>(Iptr + x0)));
    }
    const __m256i diff = _mm256_cvtepi16_epi32(tailDiff);
    const __m256i d = loadPairs(dIptr + 2 * x0);
    float f1[8], f2[8];
    _mm256_storeu_ps(f1, _mm256_cvtepi32_ps(_mm256_mullo_epi32(diff, pairX(d))));
    _mm256_storeu_ps(f2, _mm256_cvtepi32_ps(_mm256_mullo_epi32(diff, pairY(d))));
    for (int k = 0; k < t; ++k) {
      ib1 += f1[k];
      ib2 += f2[k];
    }
  }
}

// Adds |J - I| of the first n (at most 16) of the 16 pixels from Jptr and Iptr
// on to errval, pixel after pixel.
ZEQ_AVX2 void addAbsDiff16(const unsigned char* Jptr, std::ptrdiff_t stepJ, const short* Iptr, __m256i qw0,
                           __m256i qw1, __m256i qdelta, int n, float& errval) {
  const __m256i diff =
      _mm256_abs_epi16(_mm256_sub_epi16(interpolate16<kWBits - 5>(Jptr, stepJ, qw0, qw1, qdelta),
                                        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(Iptr))));
  float f[16];
  _mm256_storeu_ps(f, _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm256_castsi256_si128(diff))));
  _mm256_storeu_ps(f + 8, _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm256_extracti128_si256(diff, 1))));
  for (int k = 0; k < n; ++k) errval += f[k];
}

// One row of the final error: OpenCV's scalar sum of |J - I| over the row,
// with the differences made in vector lanes and added pixel after pixel.
ZEQ_AVX2 void errorRow(const unsigned char* Jptr, std::ptrdiff_t stepJ, const unsigned char* jLimit,
                       const short* Iptr, int width, int chunks, const Weights& w, float& errval) {
  const __m256i qw0 = pairWeights256(w.w00, w.w01);
  const __m256i qw1 = pairWeights256(w.w10, w.w11);
  const __m256i qdelta = _mm256_set1_epi32(1 << (kWBits - 5 - 1));
  float f[8];
  int c = 0;
  for (; c + 2 <= chunks; c += 2) addAbsDiff16(Jptr + 8 * c, stepJ, Iptr + 8 * c, qw0, qw1, qdelta, 16, errval);
  const __m128i qw0s = _mm256_castsi256_si128(qw0), qw1s = _mm256_castsi256_si128(qw1);
  const __m128i qdeltas = _mm256_castsi256_si128(qdelta);
  const int x0 = 8 * chunks;
  const int t = width - x0;
  const bool merged = c < chunks && t > 0 && Jptr + 8 * c + stepJ + 17 <= jLimit;
  if (merged) {
    addAbsDiff16(Jptr + 8 * c, stepJ, Iptr + 8 * c, qw0, qw1, qdelta, 8 + t, errval);
    return;
  }
  if (c < chunks) {
    const int x = 8 * c;
    const __m128i diff = _mm_abs_epi16(_mm_sub_epi16(interpolate8<kWBits - 5>(Jptr + x, stepJ, qw0s, qw1s, qdeltas),
                                                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(Iptr + x))));
    _mm256_storeu_ps(f, _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(diff)));
    for (int k = 0; k < 8; ++k) errval += f[k];
  }
  if (t > 0) {
    const __m128i diff =
        _mm_abs_epi16(_mm_sub_epi16(interpolateTail<kWBits - 5>(Jptr + x0, stepJ, t, qw0s, qw1s, qdeltas, jLimit),
                                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(Iptr + x0))));
    _mm256_storeu_ps(f, _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(diff)));
    for (int k = 0; k < t; ++k) errval += f[k];
  }
}

// (r0 + r2) * 3 + r1 * 10, and r2 - r0, of 16 columns.
ZEQ_AVX2 __m256i scharrSmooth(const unsigned char* r0, const unsigned char* r1, const unsigned char* r2) {
  return _mm256_add_epi16(_mm256_mullo_epi16(_mm256_add_epi16(widenBytes(r0), widenBytes(r2)), _mm256_set1_epi16(3)),
                          _mm256_mullo_epi16(widenBytes(r1), _mm256_set1_epi16(10)));
}
ZEQ_AVX2 __m256i scharrDiff(const unsigned char* r0, const unsigned char* r2) {
  return _mm256_sub_epi16(widenBytes(r2), widenBytes(r0));
}
// The derivative pairs of I at rows y0 .. y0 + rows - 1 and columns x0 ..
// x0 + cols - 1 into block (stride in shorts). Away from the image's edges 16
// pixels at a time, with the same 16-bit sums as OpenCV's Scharr pass;
// elsewhere pixel by pixel.
__attribute__((target("avx2"))) void derivativeBlock(const cv::Mat& I, int x0, int y0, int rows, int cols,
                                                     short* block, int stride) {
  const int groups = (cols + 15) / 16;
  // Every used pixel has its neighbours inside the image, and the 16-pixel
  // loads (which run past the used columns) stay inside its allocation.
  const bool inside = x0 >= 1 && y0 >= 1 && x0 + cols <= I.cols - 1 && y0 + rows <= I.rows - 1 &&
                      I.ptr<unsigned char>(y0 + rows) + x0 + 16 * groups + 1 <= I.datalimit;
  if (!inside) {
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < cols; ++c) scharrAt(I, x0 + c, y0 + r, block + r * stride + 2 * c);
    return;
  }
  for (int r = 0; r < rows; ++r) {
    const unsigned char* r0 = I.ptr<unsigned char>(y0 + r - 1);
    const unsigned char* r1 = I.ptr<unsigned char>(y0 + r);
    const unsigned char* r2 = I.ptr<unsigned char>(y0 + r + 1);
    short* out = block + r * stride;
    for (int g = 0; g < groups; ++g) {
      const int x = x0 + 16 * g;
      const __m256i ix = _mm256_sub_epi16(scharrSmooth(r0 + x + 1, r1 + x + 1, r2 + x + 1),
                                          scharrSmooth(r0 + x - 1, r1 + x - 1, r2 + x - 1));
      const __m256i iy =
          _mm256_add_epi16(_mm256_mullo_epi16(_mm256_add_epi16(scharrDiff(r0 + x + 1, r2 + x + 1),
                                                               scharrDiff(r0 + x - 1, r2 + x - 1)),
                                              _mm256_set1_epi16(3)),
                           _mm256_mullo_epi16(scharrDiff(r0 + x, r2 + x), _mm256_set1_epi16(10)));
      const __m256i lo = _mm256_unpacklo_epi16(ix, iy);
      const __m256i hi = _mm256_unpackhi_epi16(ix, iy);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * g), _mm256_permute2x128_si256(lo, hi, 0x20));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * g + 16), _mm256_permute2x128_si256(lo, hi, 0x31));
    }
  }
}

__attribute__((target("avx2"))) void trackLevelAvx2(const LevelJob& job) {
  const cv::Size winSize = job.winSize;
  const cv::Point2f halfWin((winSize.width - 1) * 0.5f, (winSize.height - 1) * 0.5f);
  const cv::Mat& I = *job.I;
  const cv::Mat& J = *job.J;
  const std::ptrdiff_t stepI = static_cast<std::ptrdiff_t>(I.step / I.elemSize1());
  const std::ptrdiff_t stepJ = static_cast<std::ptrdiff_t>(J.step / J.elemSize1());
  const bool ownDerivs = job.derivI == nullptr;
  const int blockStride = derivativeBlockStride(winSize);
  const std::ptrdiff_t dstep =
      ownDerivs ? blockStride : static_cast<std::ptrdiff_t>(job.derivI->step / job.derivI->elemSize1());
  const int width = winSize.width;
  const int chunks = width >= 8 ? (width - 8) / 8 + 1 : 0;
  const int level = job.level;
  const short* dLimit = ownDerivs ? job.block + derivativeBlockValues(winSize)
                                  : reinterpret_cast<const short*>(job.derivI->datalimit);

  for (int ptidx = 0; ptidx < job.npoints; ++ptidx) {
    cv::Point2f prevPt = job.prevPts[ptidx] * (float)(1. / (1 << level));
    cv::Point2f nextPt;
    if (level == job.maxLevel) {
      if (job.useInitialFlow)
        nextPt = job.nextPts[ptidx] * (float)(1. / (1 << level));
      else
        nextPt = prevPt;
    } else {
      nextPt = job.nextPts[ptidx] * 2.f;
    }
    job.nextPts[ptidx] = nextPt;

    cv::Point2i iprevPt, inextPt;
    prevPt -= halfWin;
    iprevPt.x = cvFloor(prevPt.x);
    iprevPt.y = cvFloor(prevPt.y);
    if (iprevPt.x < -winSize.width || iprevPt.x >= I.cols || iprevPt.y < -winSize.height ||
        iprevPt.y >= I.rows) {
      if (level == 0) {
        job.status[ptidx] = false;
        job.err[ptidx] = 0;
      }
      continue;
    }

    float a = prevPt.x - iprevPt.x;
    float b = prevPt.y - iprevPt.y;
    Weights w = weightsOf(a, b);

    GradientSums q{_mm_setzero_ps(), _mm_setzero_ps(), _mm_setzero_ps()};
    float iA11 = 0, iA12 = 0, iA22 = 0;
    // The window and its right and lower neighbours.
    if (ownDerivs) derivativeBlock(I, iprevPt.x, iprevPt.y, winSize.height + 1, width + 1, job.block, blockStride);
    for (int y = 0; y < winSize.height; ++y) {
      const unsigned char* src = I.ptr() + (y + iprevPt.y) * stepI + iprevPt.x;
      const short* dsrc = ownDerivs ? job.block + y * dstep
                                    : job.derivI->ptr<short>() + (y + iprevPt.y) * dstep + iprevPt.x * 2;
      setupRow(src, stepI, I.datalimit, dsrc, dstep, dLimit, job.IWin + y * width, job.derivWin + y * 2 * width,
               width, chunks, w, q, iA11, iA12, iA22);
    }
    iA11 += reduceSum(q.a11);
    iA12 += reduceSum(q.a12);
    iA22 += reduceSum(q.a22);

    const float A11 = iA11 * kFltScale;
    const float A12 = iA12 * kFltScale;
    const float A22 = iA22 * kFltScale;
    float D = A11 * A22 - A12 * A12;
    const float minEig = (A22 + A11 - std::sqrt((A11 - A22) * (A11 - A22) + 4.f * A12 * A12)) /
                         (2 * winSize.width * winSize.height);
    if (minEig < job.minEigThreshold || D < FLT_EPSILON) {
      if (level == 0) job.status[ptidx] = false;
      continue;
    }
    D = 1.f / D;

    nextPt -= halfWin;
    cv::Point2f prevDelta;
    for (int j = 0; j < job.maxCount; ++j) {
      inextPt.x = cvFloor(nextPt.x);
      inextPt.y = cvFloor(nextPt.y);
      if (inextPt.x < -winSize.width || inextPt.x >= J.cols || inextPt.y < -winSize.height ||
          inextPt.y >= J.rows) {
        if (level == 0) job.status[ptidx] = false;
        break;
      }
      a = nextPt.x - inextPt.x;
      b = nextPt.y - inextPt.y;
      w = weightsOf(a, b);
      float ib1 = 0, ib2 = 0;
      __m128 qb0 = _mm_setzero_ps(), qb1 = _mm_setzero_ps();
      for (int y = 0; y < winSize.height; ++y) {
        const unsigned char* Jptr = J.ptr() + (y + inextPt.y) * stepJ + inextPt.x;
        mismatchRow(Jptr, stepJ, J.datalimit, job.IWin + y * width, job.derivWin + y * 2 * width, width, chunks, w,
                    qb0, qb1, ib1, ib2);
      }
      // OpenCV's v_recombine(v_interleave_pairs(qb0 + qb1), 0): even lanes to b1, odd to b2.
      const __m128i s = _mm_shuffle_epi32(_mm_castps_si128(_mm_add_ps(qb0, qb1)), _MM_SHUFFLE(3, 1, 2, 0));
      const __m128i zero = _mm_setzero_si128();
      ib1 += reduceSum(_mm_castsi128_ps(_mm_unpacklo_epi64(s, zero)));
      ib2 += reduceSum(_mm_castsi128_ps(_mm_unpackhi_epi64(s, zero)));

      const float b1 = ib1 * kFltScale;
      const float b2 = ib2 * kFltScale;
      const cv::Point2f delta((float)((A12 * b2 - A22 * b1) * D), (float)((A12 * b1 - A11 * b2) * D));
      nextPt += delta;
      job.nextPts[ptidx] = nextPt + halfWin;
      if (delta.ddot(delta) <= job.epsilon) break;
      if (j > 0 && std::abs(delta.x + prevDelta.x) < 0.01 && std::abs(delta.y + prevDelta.y) < 0.01) {
        job.nextPts[ptidx] -= delta * 0.5f;
        break;
      }
      prevDelta = delta;
    }

    if (job.status[ptidx] && level == 0) {
      const cv::Point2f nextPoint = job.nextPts[ptidx] - halfWin;
      cv::Point inextPoint;
      inextPoint.x = cvFloor(nextPoint.x);
      inextPoint.y = cvFloor(nextPoint.y);
      if (inextPoint.x < -winSize.width || inextPoint.x >= J.cols || inextPoint.y < -winSize.height ||
          inextPoint.y >= J.rows) {
        job.status[ptidx] = false;
        continue;
      }
      const float aa = nextPoint.x - inextPoint.x;
      const float bb = nextPoint.y - inextPoint.y;
      w = weightsOf(aa, bb);
      float errval = 0.f;
      for (int y = 0; y < winSize.height; ++y) {
        const unsigned char* Jptr = J.ptr() + (y + inextPoint.y) * stepJ + inextPoint.x;
        errorRow(Jptr, stepJ, J.datalimit, job.IWin + y * width, width, chunks, w, errval);
      }
      job.err[ptidx] = errval * 1.f / (32 * width * winSize.height);
    }
  }
}
#undef ZEQ_AVX2
#endif

}  // namespace

bool SparseFlowLK::layout(const std::vector<cv::Mat>& prevPyr, const std::vector<cv::Mat>& nextPyr,
                          const Settings& settings, Layout& out) {
#if ZEQ_AVX2_KERNELS
  if (!detail::haveAvx2()) return false;
  const cv::Size win = settings.winSize;
  if (win.width <= 2 || win.height <= 2 || win.width > 1024 || win.height > 1024) return false;
  if (settings.maxLevel < 0 || (settings.flags & ~cv::OPTFLOW_USE_INITIAL_FLOW) != 0) return false;
  int levels1, levels2;
  pyramidLevels(prevPyr, levels1, out.prevStep);
  pyramidLevels(nextPyr, levels2, out.nextStep);
  if (levels1 < 0 || levels2 < 0) return false;
  out.maxLevel = std::min(settings.maxLevel, std::min(levels1, levels2));
  for (int level = 0; level <= out.maxLevel; ++level) {
    const cv::Mat& I = prevPyr[level * out.prevStep];
    const cv::Mat& J = nextPyr[level * out.nextStep];
    if (I.type() != CV_8UC1 || J.type() != CV_8UC1 || I.size() != J.size()) return false;
    // The patch and its bilinear neighbours reach a window beyond the image.
    if (!padded(I, win) || !padded(J, win)) return false;
    if (out.prevStep == 2) {
      const cv::Mat& dI = prevPyr[level * out.prevStep + 1];
      if (dI.type() != CV_16SC2 || dI.size() != I.size() || !padded(dI, win)) return false;
    }
  }
  return true;
#else
  (void)prevPyr;
  (void)nextPyr;
  (void)settings;
  (void)out;
  return false;
#endif
}

bool SparseFlowLK::handles(const std::vector<cv::Mat>& prevPyr, const std::vector<cv::Mat>& nextPyr,
                           const Settings& settings) {
  Layout unused;
  return layout(prevPyr, nextPyr, settings, unused);
}

bool SparseFlowLK::calc(const std::vector<cv::Mat>& prevPyr, const std::vector<cv::Mat>& nextPyr,
                        const std::vector<cv::Point2f>& prevPts, std::vector<cv::Point2f>& nextPts,
                        std::vector<unsigned char>& status, std::vector<float>& err, const Settings& settings) {
#if ZEQ_AVX2_KERNELS
  Layout pyr;
  if (!layout(prevPyr, nextPyr, settings, pyr)) return false;
  const bool useInitialFlow = (settings.flags & cv::OPTFLOW_USE_INITIAL_FLOW) != 0;
  const int npoints = static_cast<int>(prevPts.size());
  if (useInitialFlow && nextPts.size() != prevPts.size()) return false;
  if (npoints == 0) {
    nextPts.clear();
    status.clear();
    err.clear();
    return true;
  }
  if (!useInitialFlow) nextPts.resize(prevPts.size());
  status.assign(prevPts.size(), 1);
  err.resize(prevPts.size());

  cv::TermCriteria criteria = settings.criteria;
  if ((criteria.type & cv::TermCriteria::COUNT) == 0)
    criteria.maxCount = 30;
  else
    criteria.maxCount = std::min(std::max(criteria.maxCount, 0), 100);
  if ((criteria.type & cv::TermCriteria::EPS) == 0)
    criteria.epsilon = 0.01;
  else
    criteria.epsilon = std::min(std::max(criteria.epsilon, 0.), 10.);
  criteria.epsilon *= criteria.epsilon;

  // Room after each window buffer for the 16-byte loads of a last row's end.
  const std::size_t area = static_cast<std::size_t>(settings.winSize.area());
  constexpr std::size_t kSlack = 32;
  scratch_.resize(3 * area + 2 * kSlack + (pyr.prevStep == 1 ? derivativeBlockValues(settings.winSize) : 0));
  LevelJob job;
  job.prevPts = prevPts.data();
  job.nextPts = nextPts.data();
  job.status = status.data();
  job.err = err.data();
  job.npoints = npoints;
  job.winSize = settings.winSize;
  job.maxCount = criteria.maxCount;
  job.epsilon = criteria.epsilon;
  job.maxLevel = pyr.maxLevel;
  job.useInitialFlow = useInitialFlow;
  job.minEigThreshold = static_cast<float>(settings.minEigThreshold);
  job.IWin = scratch_.data();
  job.derivWin = scratch_.data() + area + kSlack;
  job.block = scratch_.data() + 3 * area + 2 * kSlack;
  for (int level = pyr.maxLevel; level >= 0; --level) {
    job.I = &prevPyr[level * pyr.prevStep];
    job.derivI = pyr.prevStep == 2 ? &prevPyr[level * pyr.prevStep + 1] : nullptr;
    job.J = &nextPyr[level * pyr.nextStep];
    job.level = level;
    trackLevelAvx2(job);
  }
  return true;
#else
  (void)prevPyr;
  (void)nextPyr;
  (void)prevPts;
  (void)nextPts;
  (void)status;
  (void)err;
  (void)settings;
  return false;
#endif
}

}  // namespace zeq
