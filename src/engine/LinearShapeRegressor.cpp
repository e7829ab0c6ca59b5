#include "engine/LinearShapeRegressor.h"

#include <cstdint>

#include "engine/MatrixRecord.h"
#include "engine/geometry.h"

namespace zeq {

namespace {
using RowMajor = Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
using ConstMatrixView = Eigen::Map<const RowMajor, Eigen::Unaligned, Eigen::OuterStride<>>;
using ConstVectorView = Eigen::Map<const Eigen::VectorXf>;
using VectorView = Eigen::Map<Eigen::VectorXf>;
using Mode = LinearShapeRegressor::Mode;

// Row-major view of an OpenCV matrix without copying; rows may be padded
// (a column range of a wider matrix), so the row stride comes from the step.
ConstMatrixView matrixView(const cv::Mat_<float>& m) {
  return ConstMatrixView(m.ptr<float>(0), m.rows, m.cols, Eigen::OuterStride<>(static_cast<Eigen::Index>(m.step1())));
}

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

bool readFloats(cv::Mat_<float>& m, std::int32_t count, FILE* f) {
  if (count == 0) {
    m.release();
    return true;
  }
  // A view into a larger matrix cannot take the record's contiguous floats.
  if (!m.isContinuous()) m.release();
  m.create(count, 1);
  return std::fread(m.ptr<float>(0), sizeof(float), static_cast<std::size_t>(count), f) ==
         static_cast<std::size_t>(count);
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
  const cv::Mat_<float> M = geo::alignPoints2d(shape, referenceShape);
  cv::Mat_<float> s = geo::transform2d(shape, M);
  const cv::Mat_<float> Minv = geo::invertTransform2d(M);
  computeUpdate(s);
  geo::transform2d_inplace(s, Minv);
  return s;
}

void LinearShapeRegressor::refreshCopies() {
  referenceShapeCopy = referenceShape.empty() ? Eigen::MatrixXf() : Eigen::MatrixXf(matrixView(referenceShape));
  offsetCopy = offset.empty() ? Eigen::MatrixXf() : Eigen::MatrixXf(matrixView(offset));
}

int LinearShapeRegressor::write(FILE* f) const {
  if (!f) return -1;
  if (!referenceShape.empty() && (referenceShape.cols != 1 || !referenceShape.isContinuous())) return -1;
  const std::int32_t L = referenceShape.rows;
  if (std::fwrite(&L, sizeof(L), 1, f) != 1) return -1;
  if (L > 0 && std::fwrite(referenceShape.ptr<float>(0), sizeof(float), static_cast<std::size_t>(L), f) !=
                   static_cast<std::size_t>(L))
    return -1;
  if (io::writeMat(mixMatrix, f) != 0) return -1;
  if (io::writeMat(featureMatrix, f) != 0) return -1;
  if (io::writeMat(offset, f) != 0) return -1;
  const std::int32_t trailing = 0;
  return std::fwrite(&trailing, sizeof(trailing), 1, f) == 1 ? 0 : -1;
}

int LinearShapeRegressor::read(FILE* f) {
  if (!f) return -1;
  std::int32_t L = 0;
  if (std::fread(&L, sizeof(L), 1, f) != 1) return -1;
  if (!io::plausibleCount(f, L, sizeof(float))) return -1;
  if (!readFloats(referenceShape, L, f)) return -1;
  if (io::readMat(mixMatrix, f) != 0) return -1;
  if (io::readMat(featureMatrix, f) != 0) return -1;
  if (io::readMat(offset, f) != 0) return -1;
  refreshCopies();
  // The stream may end before the trailing word; a word that is there must be 0.
  std::int32_t trailing = 0;
  if (std::fread(&trailing, sizeof(trailing), 1, f) == 1 && trailing != 0) return -1;
  return 0;
}

int LinearShapeRegressor::save(const char* path) const {
  FILE* f = path ? std::fopen(path, "wb") : nullptr;
  if (!f) return -1;
  write(f);
  std::fclose(f);
  return 0;
}

int LinearShapeRegressor::load(const char* path) {
  FILE* f = path ? std::fopen(path, "rb") : nullptr;
  if (!f) return -1;
  const int result = read(f);
  std::fclose(f);
  return result;
}

}  // namespace zeq
