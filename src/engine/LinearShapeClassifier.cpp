#include "engine/LinearShapeClassifier.h"

#include <cstdint>

#include <Eigen/Core>

#include "engine/MatrixRecord.h"

namespace zeq {

namespace {
using RowMajor = Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
using ConstMatrixView = Eigen::Map<const RowMajor, Eigen::Unaligned, Eigen::OuterStride<>>;
using ConstVectorView = Eigen::Map<const Eigen::VectorXf>;
using VectorView = Eigen::Map<Eigen::VectorXf>;

ConstMatrixView matrixView(const cv::Mat_<float>& m) {
  return ConstMatrixView(m.ptr<float>(0), m.rows, m.cols, Eigen::OuterStride<>(static_cast<Eigen::Index>(m.step1())));
}

// Number of values of a descriptor the classifier can read, 0 for anything
// that is not a contiguous column.
int descriptorLength(const cv::Mat_<float>& d) { return (d.cols == 1 && d.isContinuous()) ? d.rows : 0; }

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

bool LinearShapeClassifier::isValidFor(int n, int D) const {
  if (n <= 0 || D <= 0 || D % n != 0) return false;
  if (featureMatrix.cols == D) return false;  // a global classifier
  const int f = D / n;
  return mixMatrix.rows == n && mixMatrix.cols == n && featureMatrix.rows >= n && featureMatrix.cols >= f &&
         offset.rows == n && offset.cols == 1 && offset.isContinuous();
}

cv::Mat_<float> LinearShapeClassifier::predict(Feature& feature, const cv::Mat_<float>& shape) {
  feature.extract(descriptor, shape);
  return predict(descriptor, shape);
}

cv::Mat_<float> LinearShapeClassifier::predict(const cv::Mat_<float>& d, const cv::Mat_<float>& shape) const {
  const int n = shape.rows / 2;
  cv::Mat_<float> result = cv::Mat_<float>::zeros(n, 1);
  const int D = descriptorLength(d);
  if (D > 0 && featureMatrix.cols == D) {
    // Zero confidence makes the engine drop the face instead of the host dying.
    std::fprintf(stderr, "global not supported yet! - Aborting\n");
    return result;
  }
  if (!isValidFor(n, D)) return result;

  const Eigen::Index f = D / n;
  const ConstMatrixView F = matrixView(featureMatrix);
  const ConstVectorView descriptorView(d.ptr<float>(0), D);
  Eigen::VectorXf local(n);
  for (Eigen::Index j = 0; j < n; ++j)
    local[j] = F.row(j).head(f).dot(descriptorView.segment(j * f, f).transpose());
  VectorView out(result.ptr<float>(0), n);
  out.noalias() = matrixView(mixMatrix) * local;
  out += ConstVectorView(offset.ptr<float>(0), n);
  return result;
}

int LinearShapeClassifier::write(FILE* f) const {
  if (!f) return -1;
  if (!referenceShape.empty() && (referenceShape.cols != 1 || !referenceShape.isContinuous())) return -1;
  const std::int32_t L = referenceShape.rows;
  if (std::fwrite(&L, sizeof(L), 1, f) != 1) return -1;
  if (L > 0 && std::fwrite(referenceShape.ptr<float>(0), sizeof(float), static_cast<std::size_t>(L), f) !=
                   static_cast<std::size_t>(L))
    return -1;
  if (io::writeMat(mixMatrix, f) != 0) return -1;
  if (io::writeMat(featureMatrix, f) != 0) return -1;
  return io::writeMat(offset, f) != 0 ? -1 : 0;
}

int LinearShapeClassifier::read(FILE* f) {
  if (!f) return -1;
  std::int32_t L = 0;
  if (std::fread(&L, sizeof(L), 1, f) != 1) return -1;
  if (!io::plausibleCount(f, L, sizeof(float))) return -1;
  if (!readFloats(referenceShape, L, f)) return -1;
  if (io::readMat(mixMatrix, f) != 0) return -1;
  if (io::readMat(featureMatrix, f) != 0) return -1;
  return io::readMat(offset, f) != 0 ? -1 : 0;
}

int LinearShapeClassifier::save(const char* path) const {
  FILE* f = path ? std::fopen(path, "wb") : nullptr;
  if (!f) return -1;
  write(f);
  std::fclose(f);
  return 0;
}

int LinearShapeClassifier::load(const char* path) {
  FILE* f = path ? std::fopen(path, "rb") : nullptr;
  if (!f) return -1;
  const int result = read(f);
  std::fclose(f);
  return result;
}

}  // namespace zeq
