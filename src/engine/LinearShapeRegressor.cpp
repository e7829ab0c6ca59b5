#include "engine/LinearShapeRegressor.h"

#include <cstdint>

#include "engine/EigenViews.h"
#include "engine/MatrixRecord.h"
#include "engine/RecordFile.h"
#include "engine/geometry.h"

namespace zeq {

namespace {
// Views of the OpenCV buffers: ConstMatrixView, ConstVectorView, VectorView, matrixView.
using namespace detail;
using Mode = LinearShapeRegressor::Mode;

bool isColumn(const cv::Mat_<float>& m, std::int64_t length) {
  return length > 0 && m.rows == length && m.cols == 1 && m.isContinuous();
}

bool hasSize(const cv::Mat_<float>& m, std::int64_t rows, std::int64_t cols) {
  return rows > 0 && cols > 0 && m.rows == rows && m.cols == cols;
}

// The mode the matrix shapes ask for, before checking that all sizes agree.
// The tests run in a fixed order: a feature matrix spanning the whole
// descriptor always means the global mode.
Mode requestedMode(const LinearShapeRegressor& r, std::int64_t n, std::int64_t D) {
  if (n <= 0 || D <= 0) return Mode::None;
  if (r.featureMatrix.cols == D) return Mode::Global;
  if (r.mixMatrix.cols == 2 * n) return Mode::Local;
  if (r.mixMatrix.cols == 4 * n + 1) return Mode::LocalWithShape;
  return Mode::None;
}

// u[2i], u[2i + 1]: landmark i's two weight rows (first f columns) applied to
// its own descriptor block.
void localPredictions(const ConstMatrixView& F, const ConstVectorView& d, Eigen::Index n, Eigen::Index f,
                      float* u) {
  if (f == 0) {
    for (Eigen::Index j = 0; j < 2 * n; ++j) u[j] = 0.f;
    return;
  }
  for (Eigen::Index i = 0; i < n; ++i) {
    const auto block = d.segment(i * f, f);
    u[2 * i] = F.row(2 * i).head(f).dot(block.transpose());
    u[2 * i + 1] = F.row(2 * i + 1).head(f).dot(block.transpose());
  }
}

}  // namespace

LinearShapeRegressor::Mode LinearShapeRegressor::mode(int n, int D) const {
  const std::int64_t n2 = 2 * static_cast<std::int64_t>(n);
  const Mode requested = requestedMode(*this, n, D);
  switch (requested) {
    case Mode::Global: {
      const int k = featureMatrix.rows;
      const bool ok = hasSize(featureMatrix, k, D) && isColumn(offset, k) && hasSize(mixMatrix, n2, k);
      return ok ? requested : Mode::None;
    }
    case Mode::Local: {
      const int f = D / n;
      const bool ok = hasSize(mixMatrix, n2, n2) && featureMatrix.rows >= n2 && featureMatrix.cols >= f &&
                      isColumn(offset, n2);
      return ok ? requested : Mode::None;
    }
    case Mode::LocalWithShape: {
      const int f = D / n;
      const bool ok = hasSize(mixMatrix, n2, 2 * n2 + 1) && featureMatrix.rows == n2 && featureMatrix.cols >= f &&
                      isColumn(offset, n2) && referenceShapeCopy.size() == n2 && offsetCopy.size() == n2;
      return ok ? requested : Mode::None;
    }
    case Mode::None:
      break;
  }
  return Mode::None;
}

void LinearShapeRegressor::computeUpdate(cv::Mat_<float>& shape) {
  // Only a contiguous column of whole points can be updated in place.
  if (shape.cols != 1 || shape.rows % 2 != 0 || !shape.isContinuous()) return;
  const int n = shape.rows / 2;
  const int D = (descriptor.cols == 1 && descriptor.isContinuous()) ? descriptor.rows : 0;

  if (requestedMode(*this, n, D) == Mode::LocalWithShape && featureMatrix.rows != 2 * n) {
    // A broken model must not take the host down; the stage is skipped instead.
    std::printf("Unsupported regression matrix\n");
    return;
  }
  const Mode m = mode(n, D);
  if (m == Mode::None) return;

  const Eigen::Index n2 = 2 * static_cast<Eigen::Index>(n);
  VectorView s(shape.ptr<float>(0), n2);
  const ConstVectorView d(descriptor.ptr<float>(0), D);
  const ConstMatrixView F = matrixView(featureMatrix);
  const ConstMatrixView mix = matrixView(mixMatrix);
  increment_.resize(n2);

  switch (m) {
    case Mode::Global: {
      work_.resize(featureMatrix.rows);
      work_.noalias() = F * d;
      work_ += ConstVectorView(offset.ptr<float>(0), offset.rows);
      increment_.noalias() = mix * work_;
      s += increment_;
      break;
    }
    case Mode::Local: {
      const Eigen::Index f = D / n;
      work_.resize(n2);
      localPredictions(F, d, n, f, work_.data());
      increment_.noalias() = mix * work_;
      s = increment_ + ConstVectorView(offset.ptr<float>(0), n2) + s;
      break;
    }
    case Mode::LocalWithShape: {
      const Eigen::Index f = D / n;
      work_.resize(2 * n2 + 1);
      localPredictions(F, d, n, f, work_.data());
      work_.head(n2) += ConstVectorView(offsetCopy.data(), n2);
      work_.segment(n2, n2) = s - ConstVectorView(referenceShapeCopy.data(), n2);
      work_[2 * n2] = 1.f;
      increment_.noalias() = mix * work_;
      s += increment_;
      break;
    }
    case Mode::None:
      break;
  }
}

cv::Mat_<float> LinearShapeRegressor::predict(Feature& feature, const cv::Mat_<float>& shape, bool align) {
  feature.extract(descriptor, shape);
  if (!align) {
    cv::Mat_<float> s = shape.clone();
    computeUpdate(s);
    return s;
  }
  // Aligning points of another count cannot succeed; the shape passes through.
  if (shape.empty() || shape.rows != referenceShape.rows || shape.cols != referenceShape.cols) return shape.clone();
  cv::Matx23f M;
  geo::alignPoints2dTo(shape, referenceShape, M);
  cv::Mat_<float> s;
  geo::transform2dInto(shape, M, s);
  computeUpdate(s);
  geo::transform2dInPlace(s, geo::invertTransform2x3(M));
  return s;
}

void LinearShapeRegressor::predictInPlace(Feature& feature, cv::Mat_<float>& shape, bool align) {
  // Only a contiguous matrix behaves like the copy predict would update.
  if (!shape.isContinuous() || (align && (shape.rows != referenceShape.rows || shape.cols != referenceShape.cols))) {
    shape = predict(feature, shape, align);
    return;
  }
  feature.extract(descriptor, shape);
  if (!align) {
    computeUpdate(shape);
    return;
  }
  if (shape.empty()) return;
  cv::Matx23f M;
  geo::alignPoints2dTo(shape, referenceShape, M);
  geo::transform2dInto(shape, M, shape);
  computeUpdate(shape);
  geo::transform2dInPlace(shape, geo::invertTransform2x3(M));
}

void LinearShapeRegressor::refreshCopies() {
  referenceShapeCopy = referenceShape.empty() ? Eigen::MatrixXf() : Eigen::MatrixXf(matrixView(referenceShape));
  offsetCopy = offset.empty() ? Eigen::MatrixXf() : Eigen::MatrixXf(matrixView(offset));
}

int LinearShapeRegressor::write(FILE* f) const {
  if (!f) return -1;
  if (io::writeFloatColumn(referenceShape, f) != 0) return -1;
  if (io::writeMat(mixMatrix, f) != 0) return -1;
  if (io::writeMat(featureMatrix, f) != 0) return -1;
  if (io::writeMat(offset, f) != 0) return -1;
  const std::int32_t trailing = 0;
  return std::fwrite(&trailing, sizeof(trailing), 1, f) == 1 ? 0 : -1;
}

int LinearShapeRegressor::read(FILE* f) { return io::readRecord(f, *this); }

int LinearShapeRegressor::read(io::Reader& in) {
  if (!in.valid()) return -1;
  if (io::readFloatColumn(referenceShape, in) != 0) return -1;
  if (io::readMat(mixMatrix, in) != 0) return -1;
  if (io::readMat(featureMatrix, in) != 0) return -1;
  if (io::readMat(offset, in) != 0) return -1;
  refreshCopies();
  // The stream may end before the trailing word; a word that is there must be 0.
  std::int32_t trailing = 0;
  if (in.readInt(trailing) && trailing != 0) return -1;
  return 0;
}

int LinearShapeRegressor::save(const char* path) const { return io::saveRecord(path, *this); }

int LinearShapeRegressor::load(const char* path) { return io::loadRecord(path, *this); }

}  // namespace zeq
