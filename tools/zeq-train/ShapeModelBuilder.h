#pragma once
// Construction of the 2D shape models and the small linear-algebra pieces of
// training (similarity alignment, ridge solves). Header-only: pure functions
// shared by the trainer and its tests.
#include <algorithm>
#include <cmath>
#include <vector>

#include <Eigen/Dense>
#include <opencv2/core.hpp>

#include "engine/LinearModel.h"

namespace zeq {
namespace train {

// Least-squares similarity (a, b, tx, ty) mapping src onto dst:
// x' = a x - b y + tx, y' = b x + a y + ty. Double precision.
struct Similarity {
  double a = 1, b = 0, tx = 0, ty = 0;
  double scale() const { return std::hypot(a, b); }
  double angle() const { return std::atan2(b, a); }
};

inline Similarity alignSimilarity(const cv::Mat_<float>& src, const cv::Mat_<float>& dst) {
  const int n = src.rows / 2;
  double sx = 0, sy = 0, dx = 0, dy = 0;
  for (int i = 0; i < n; ++i) {
    sx += src(2 * i);
    sy += src(2 * i + 1);
    dx += dst(2 * i);
    dy += dst(2 * i + 1);
  }
  sx /= n;
  sy /= n;
  dx /= n;
  dy /= n;
  double num_a = 0, num_b = 0, den = 0;
  for (int i = 0; i < n; ++i) {
    const double x = src(2 * i) - sx, y = src(2 * i + 1) - sy;
    const double u = dst(2 * i) - dx, v = dst(2 * i + 1) - dy;
    num_a += x * u + y * v;
    num_b += x * v - y * u;
    den += x * x + y * y;
  }
  Similarity s;
  if (den <= 0) return s;
  s.a = num_a / den;
  s.b = num_b / den;
  s.tx = dx - (s.a * sx - s.b * sy);
  s.ty = dy - (s.b * sx + s.a * sy);
  return s;
}

inline cv::Mat_<float> applySimilarity(const Similarity& s, const cv::Mat_<float>& shape) {
  cv::Mat_<float> out(shape.rows, 1);
  for (int i = 0; i < shape.rows / 2; ++i) {
    const double x = shape(2 * i), y = shape(2 * i + 1);
    out(2 * i) = static_cast<float>(s.a * x - s.b * y + s.tx);
    out(2 * i + 1) = static_cast<float>(s.b * x + s.a * y + s.ty);
  }
  return out;
}

inline Similarity compose(const Similarity& outer, const Similarity& inner) {
  Similarity r;
  r.a = outer.a * inner.a - outer.b * inner.b;
  r.b = outer.a * inner.b + outer.b * inner.a;
  r.tx = outer.a * inner.tx - outer.b * inner.ty + outer.tx;
  r.ty = outer.b * inner.tx + outer.a * inner.ty + outer.ty;
  return r;
}

inline cv::Point2d centroid(const cv::Mat_<float>& shape) {
  cv::Point2d c(0, 0);
  const int n = shape.rows / 2;
  for (int i = 0; i < n; ++i) c += cv::Point2d(shape(2 * i), shape(2 * i + 1));
  return c * (1.0 / n);
}

// Root-mean-square distance of the points from their centroid.
inline double rmsSize(const cv::Mat_<float>& shape) {
  const cv::Point2d c = centroid(shape);
  double s = 0;
  const int n = shape.rows / 2;
  for (int i = 0; i < n; ++i) s += std::pow(shape(2 * i) - c.x, 2) + std::pow(shape(2 * i + 1) - c.y, 2);
  return std::sqrt(s / n);
}

// Same shape, centred on the origin and scaled to the given width (x extent).
inline cv::Mat_<float> normaliseToWidth(const cv::Mat_<float>& shape, double width) {
  double x0 = shape(0), x1 = shape(0);
  for (int i = 1; i < shape.rows / 2; ++i) {
    x0 = std::min<double>(x0, shape(2 * i));
    x1 = std::max<double>(x1, shape(2 * i));
  }
  const cv::Point2d c = centroid(shape);
  const double k = x1 > x0 ? width / (x1 - x0) : 1.0;
  cv::Mat_<float> out(shape.rows, 1);
  for (int i = 0; i < shape.rows / 2; ++i) {
    out(2 * i) = static_cast<float>((shape(2 * i) - c.x) * k);
    out(2 * i + 1) = static_cast<float>((shape(2 * i + 1) - c.y) * k);
  }
  return out;
}

// The 66-point shape turned about its centroid so that the line from the first
// eye centre (36..41) to the second (42..47) points along +x.
inline cv::Mat_<float> makeUpright(const cv::Mat_<float>& shape) {
  if (shape.rows != 132) return shape.clone();
  cv::Point2d a(0, 0), b(0, 0);
  for (int i = 36; i < 42; ++i) a += cv::Point2d(shape(2 * i), shape(2 * i + 1));
  for (int i = 42; i < 48; ++i) b += cv::Point2d(shape(2 * i), shape(2 * i + 1));
  const double angle = -std::atan2(b.y - a.y, b.x - a.x);
  const cv::Point2d c = centroid(shape);
  Similarity r;
  r.a = std::cos(angle);
  r.b = std::sin(angle);
  r.tx = c.x - (r.a * c.x - r.b * c.y);
  r.ty = c.y - (r.b * c.x + r.a * c.y);
  return applySimilarity(r, shape);
}

// Generalised Procrustes mean: align every shape to the current mean by a
// similarity, average, renormalise; the result is centred with the given width
// and, for 66-point shapes, upright (eye line horizontal).
inline cv::Mat_<float> procrustesMean(const std::vector<cv::Mat_<float>>& shapes, double width,
                                      int iterations = 6) {
  cv::Mat_<float> mean = normaliseToWidth(makeUpright(shapes.front()), width);
  for (int it = 0; it < iterations; ++it) {
    cv::Mat_<double> sum = cv::Mat_<double>::zeros(mean.rows, 1);
    for (const auto& s : shapes) {
      cv::Mat_<double> a;
      applySimilarity(alignSimilarity(s, mean), s).convertTo(a, CV_64F);
      sum += a;
    }
    cv::Mat_<float> next;
    sum.convertTo(next, CV_32F, 1.0 / shapes.size());
    mean = normaliseToWidth(makeUpright(next), width);
  }
  return mean;
}

// The shape rotated by 90 degrees about the origin, point by point: (x, y) -> (-y, x).
inline Eigen::VectorXd rotate90(const Eigen::VectorXd& v) {
  Eigen::VectorXd r(v.size());
  for (int i = 0; i < v.size() / 2; ++i) {
    r(2 * i) = -v(2 * i + 1);
    r(2 * i + 1) = v(2 * i);
  }
  return r;
}

// Orthonormal basis of the similarity transforms of a centred mean: scale,
// rotation, translation x, translation y.
inline Eigen::MatrixXd similarityBasis(const Eigen::VectorXd& mean) {
  const int d = static_cast<int>(mean.size());
  Eigen::MatrixXd q(d, 4);
  q.col(0) = mean;
  q.col(1) = rotate90(mean);
  q.col(2).setZero();
  q.col(3).setZero();
  for (int i = 0; i < d / 2; ++i) {
    q(2 * i, 2) = 1;
    q(2 * i + 1, 3) = 1;
  }
  // Gram-Schmidt (twice, for accuracy); the four are orthogonal already for a centred mean.
  for (int pass = 0; pass < 2; ++pass)
    for (int j = 0; j < 4; ++j) {
      for (int k = 0; k < j; ++k) q.col(j) -= q.col(k).dot(q.col(j)) * q.col(k);
      q.col(j).normalize();
    }
  return q;
}

struct ShapeModelOptions {
  double meanWidth = 400.0;       // x extent of the mean, in pixels
  double varianceKept = 0.995;    // of the non-rigid variance of the aligned shapes
  int maxModes = 40;
  int rotatedModes = 10;          // leading modes that also get a copy turned by 90 degrees
  double scaleFactor = 1.5;       // modeScale = scaleFactor x standard deviation
  double rigidScale = 1e7;        // modeScale of the similarity modes: never clamped
};

struct ShapeModelReport {
  int nonRigidModes = 0;
  int rotatedModes = 0;
  double varianceExplained = 0;
};

// Shape model on image-pixel shapes: mean (centred, meanWidth wide), four
// orthonormal similarity modes with a huge modeScale, the leading PCA modes of
// the similarity-aligned shapes (orthogonal to the similarity span), and, for
// the leading modes, their copies turned by 90 degrees so that a rolled face's
// deformation stays inside the model. modeScale of a non-rigid mode is
// scaleFactor standard deviations at the mean's size; a turned copy keeps the
// scale of its parent.
inline LinearModel buildShapeModel(const std::vector<cv::Mat_<float>>& shapes, const ShapeModelOptions& opt,
                                   ShapeModelReport* report = nullptr) {
  const cv::Mat_<float> meanShape = procrustesMean(shapes, opt.meanWidth);
  const int d = meanShape.rows;
  Eigen::VectorXd mean(d);
  for (int i = 0; i < d; ++i) mean(i) = meanShape(i);
  const Eigen::MatrixXd q = similarityBasis(mean);

  Eigen::MatrixXd cov = Eigen::MatrixXd::Zero(d, d);
  for (const auto& s : shapes) {
    const cv::Mat_<float> a = applySimilarity(alignSimilarity(s, meanShape), s);
    Eigen::VectorXd r(d);
    for (int i = 0; i < d; ++i) r(i) = double(a(i)) - mean(i);
    r -= q * (q.transpose() * r);
    cov.selfadjointView<Eigen::Lower>().rankUpdate(r);
  }
  cov = cov.selfadjointView<Eigen::Lower>();
  cov /= static_cast<double>(shapes.size());
  Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eig(cov);
  const Eigen::VectorXd values = eig.eigenvalues().reverse();
  const Eigen::MatrixXd vectors = eig.eigenvectors().rowwise().reverse();
  const double total = std::max(values.sum(), 1e-12);
  int k = 0;
  double kept = 0;
  while (k < opt.maxModes && k < d - 4 && kept / total < opt.varianceKept) kept += std::max(values(k++), 0.0);

  std::vector<Eigen::VectorXd> cols;
  std::vector<double> scales;
  for (int j = 0; j < 4; ++j) {
    cols.push_back(q.col(j));
    scales.push_back(opt.rigidScale);
  }
  for (int j = 0; j < k; ++j) {
    cols.push_back(vectors.col(j));
    scales.push_back(opt.scaleFactor * std::sqrt(std::max(values(j), 0.0)));
  }
  int turned = 0;
  for (int j = 0; j < std::min(k, opt.rotatedModes); ++j) {
    Eigen::VectorXd v = rotate90(vectors.col(j));
    for (int pass = 0; pass < 2; ++pass)
      for (const auto& c : cols) v -= c.dot(v) * c;
    const double norm = v.norm();
    if (norm < 0.3) continue;  // mostly inside the model already
    cols.push_back(v / norm);
    scales.push_back(opt.scaleFactor * std::sqrt(std::max(values(j), 0.0)));
    ++turned;
  }

  LinearModel model;
  model.mean = meanShape.clone();
  model.basis.create(d, static_cast<int>(cols.size()));
  model.modeScale.create(static_cast<int>(cols.size()), 1);
  for (int j = 0; j < static_cast<int>(cols.size()); ++j) {
    for (int i = 0; i < d; ++i) model.basis(i, j) = static_cast<float>(cols[j](i));
    model.modeScale(j) = static_cast<float>(scales[j]);
  }
  if (report) {
    report->nonRigidModes = k;
    report->rotatedModes = turned;
    report->varianceExplained = kept / total;
  }
  return model;
}

// Ridge regression from accumulated moments: minimises |Y - X W|^2 +
// lambda |P (W - W0)|^2 where P penalises all rows of W but the last
// `freeRows` (bias terms). xx = X^T X, xy = X^T Y. W0 may be empty (zero).
inline Eigen::MatrixXd ridgeSolve(const Eigen::MatrixXd& xx, const Eigen::MatrixXd& xy, double lambda,
                                  int freeRows = 0, const Eigen::MatrixXd& w0 = Eigen::MatrixXd()) {
  const int p = static_cast<int>(xx.rows());
  Eigen::MatrixXd a = xx;
  Eigen::MatrixXd b = xy;
  for (int i = 0; i < p - freeRows; ++i) a(i, i) += lambda;
  if (w0.size()) {
    Eigen::MatrixXd pw0 = w0;
    pw0.bottomRows(freeRows).setZero();
    b += lambda * pw0;
  }
  // Tiny jitter keeps the free rows solvable when a bias column is constant.
  for (int i = p - freeRows; i < p; ++i) a(i, i) += 1e-9 * std::max(1.0, a(i, i));
  return a.ldlt().solve(b);
}

// Sum of squared residuals of W on data summarised by its moments (yy = sum of |y|^2).
inline double ridgeLoss(const Eigen::MatrixXd& xx, const Eigen::MatrixXd& xy, double yy, const Eigen::MatrixXd& w) {
  return (w.transpose() * xx * w).trace() - 2.0 * (w.transpose() * xy).trace() + yy;
}

}  // namespace train
}  // namespace zeq
