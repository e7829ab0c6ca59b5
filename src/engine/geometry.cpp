#include "engine/geometry.h"

#include <algorithm>
#include <cstdio>

namespace zeq {
namespace geo {

namespace {
// The hosts of this library are games: a malformed transform must not end the
// process, so the precondition is reported and the points are left alone.
bool isTransform2x3(const cv::Mat_<float>& M) {
  if (M.size() == cv::Size(3, 2)) return true;
  std::fprintf(stderr, "transform2d: precondition M.size() == cv::Size(3, 2) failed\n");
  return false;
}

void applyInPlace(float* p, std::size_t n, const cv::Matx23f& M) {
  const float a = M(0, 0), b = M(0, 1), tx = M(0, 2);
  const float c = M(1, 0), d = M(1, 1), ty = M(1, 2);
  for (std::size_t i = 0; i < n; ++i) {
    const float x = p[2 * i];
    const float y = p[2 * i + 1];
    p[2 * i] = (x * a + y * b) + tx;
    p[2 * i + 1] = (x * c + y * d) + ty;
  }
}

cv::Matx23f fixedTransform(const cv::Mat_<float>& M) {
  return cv::Matx23f(M(0, 0), M(0, 1), M(0, 2), M(1, 0), M(1, 1), M(1, 2));
}

cv::Mat_<float> transformMat(const cv::Matx23f& M) {
  return (cv::Mat_<float>(2, 3) << M(0, 0), M(0, 1), M(0, 2), M(1, 0), M(1, 1), M(1, 2));
}
}  // namespace

cv::Rect calcBoundingBox(const cv::Mat_<float>& shape) {
  const int n = static_cast<int>(shape.total() / 2);
  if (n == 0) return cv::Rect(0, 0, 0, 0);
  cv::Mat_<float> points = shape.isContinuous() ? shape : shape.clone();
  points = points.reshape(1, n);
  double minX, maxX, minY, maxY;
  cv::minMaxLoc(points.col(0), &minX, &maxX);
  cv::minMaxLoc(points.col(1), &minY, &maxY);
  return cv::Rect(static_cast<int>(minX), static_cast<int>(minY), static_cast<int>(maxX - minX),
                  static_cast<int>(maxY - minY));
}

bool alignPoints2dTo(const cv::Mat_<float>& src, const cv::Mat_<float>& dst, cv::Matx23f& M) {
  if (src.rows != dst.rows || src.cols != dst.cols) {
    std::fprintf(stderr, "Incompatible point sets to align\n");
    return false;
  }
  const int n = static_cast<int>(src.total() / 2);
  const cv::Mat_<float> s = src.isContinuous() ? src : src.clone();
  const cv::Mat_<float> t = dst.isContinuous() ? dst : dst.clone();
  const float* ps = s.empty() ? nullptr : s.ptr<float>(0);
  const float* pt = t.empty() ? nullptr : t.ptr<float>(0);
  // Normal equations of A [a b tx ty]^T = dst with rows (x, -y, 1, 0) and (y, x, 0, 1),
  // accumulated in single precision like the product A^T A would be.
  cv::Matx44f AtA = cv::Matx44f::zeros();
  cv::Matx41f Atb = cv::Matx41f::zeros();
  for (int i = 0; i < n; ++i) {
    const float x = ps[2 * i], y = ps[2 * i + 1];
    const float u = pt[2 * i], v = pt[2 * i + 1];
    const float r0[4] = {x, -y, 1.f, 0.f};
    const float r1[4] = {y, x, 0.f, 1.f};
    for (int j = 0; j < 4; ++j) {
      for (int k = 0; k < 4; ++k) AtA(j, k) += r0[j] * r0[k] + r1[j] * r1[k];
      Atb(j) += r0[j] * u + r1[j] * v;
    }
  }
  // A failed decomposition leaves zeros in the solution.
  cv::Matx41f sol = cv::Matx41f::zeros();
  cv::solve(AtA, Atb, sol, cv::DECOMP_CHOLESKY);
  const float a = sol(0), b = sol(1), tx = sol(2), ty = sol(3);
  M = cv::Matx23f(a, -b, tx, b, a, ty);
  return true;
}

cv::Mat_<float> alignPoints2d(const cv::Mat_<float>& src, const cv::Mat_<float>& dst) {
  cv::Matx23f M;
  if (!alignPoints2dTo(src, dst, M)) return cv::Mat_<float>();
  return transformMat(M);
}

cv::Matx23f invertTransform2x3(const cv::Matx23f& M) {
  float a = M(0, 0), b = M(0, 1), c = M(1, 0), d = M(1, 1);
  float det = a * d - b * c;
  if (det < 1e-8f) {
    a += 1e-8f;
    d += 1e-8f;
    det = a * d - b * c;
  }
  const float i00 = d / det, i01 = -b / det, i10 = -c / det, i11 = a / det;
  const float tx = M(0, 2), ty = M(1, 2);
  return cv::Matx23f(i00, i01, -(i00 * tx + i01 * ty), i10, i11, -(i10 * tx + i11 * ty));
}

cv::Mat_<float> invertTransform2d(const cv::Mat_<float>& M) {
  if (M.rows != 2 || M.cols != 3) return cv::Mat_<float>();
  return transformMat(invertTransform2x3(fixedTransform(M)));
}

cv::Mat_<float> transform2d(const cv::Mat_<float>& S, const cv::Mat_<float>& M) {
  if (S.empty()) return cv::Mat_<float>();
  cv::Mat_<float> out = S.clone();
  out = out.reshape(1, static_cast<int>(out.total()));
  if (!isTransform2x3(M)) return out;
  applyInPlace(out.empty() ? nullptr : out.ptr<float>(0), out.total() / 2, fixedTransform(M));
  return out;
}

void transform2d_inplace(cv::Mat_<float>& S, const cv::Mat_<float>& M) {
  if (!isTransform2x3(M) || S.empty()) return;
  transform2dInPlace(S, fixedTransform(M));
}

void transform2dInto(const cv::Mat_<float>& S, const cv::Matx23f& M, cv::Mat_<float>& out) {
  if (S.empty()) {
    out.release();
    return;
  }
  const int total = static_cast<int>(S.total());
  const bool columnInPlace = out.data == S.data && out.rows == total && out.cols == 1 && out.isContinuous();
  if (!columnInPlace) {
    // The points are read from a contiguous copy when S is a view or when out
    // shares S's buffer in another layout.
    cv::Mat_<float> source = S;
    if (!source.isContinuous() || out.data == S.data) source = S.clone();
    out.create(total, 1);
    std::copy(source.ptr<float>(0), source.ptr<float>(0) + total, out.ptr<float>(0));
  }
  applyInPlace(out.ptr<float>(0), static_cast<std::size_t>(total) / 2, M);
}

void transform2dInPlace(cv::Mat_<float>& S, const cv::Matx23f& M) {
  if (S.empty()) return;
  if (!S.isContinuous()) {
    cv::Mat_<float> moved;
    transform2dInto(S, M, moved);
    moved.reshape(1, S.rows).copyTo(S);
    return;
  }
  applyInPlace(S.ptr<float>(0), S.total() / 2, M);
}

}  // namespace geo
}  // namespace zeq
