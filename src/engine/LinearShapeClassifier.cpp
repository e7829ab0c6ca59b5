#include "engine/LinearShapeClassifier.h"

#include <cstdint>

#include "engine/EigenViews.h"
#include "engine/MatrixRecord.h"
#include "engine/RecordFile.h"

namespace zeq {

namespace {
// Views of the OpenCV buffers: ConstMatrixView, ConstVectorView, VectorView, matrixView.
using namespace detail;

// Number of values of a descriptor the classifier can read, 0 for anything
// that is not a contiguous column.
int descriptorLength(const cv::Mat_<float>& d) { return (d.cols == 1 && d.isContinuous()) ? d.rows : 0; }

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
  cv::Mat_<float> result;
  Eigen::VectorXf local;
  score(d, shape, local, result);
  return result;
}

void LinearShapeClassifier::predictInto(Feature& feature, const cv::Mat_<float>& shape, cv::Mat_<float>& out) {
  feature.extract(descriptor, shape);
  score(descriptor, shape, local_, out);
}

void LinearShapeClassifier::score(const cv::Mat_<float>& d, const cv::Mat_<float>& shape, Eigen::VectorXf& local,
                                  cv::Mat_<float>& result) const {
  const int n = shape.rows / 2;
  result.create(n, 1);
  result.setTo(0.f);
  const int D = descriptorLength(d);
  if (D > 0 && featureMatrix.cols == D) {
    // Zero confidence makes the engine drop the face instead of the host dying.
    std::fprintf(stderr, "global not supported yet! - Aborting\n");
    return;
  }
  if (!isValidFor(n, D)) return;

  const Eigen::Index f = D / n;
  const ConstMatrixView F = matrixView(featureMatrix);
  const ConstVectorView descriptorView(d.ptr<float>(0), D);
  local.resize(n);
  for (Eigen::Index j = 0; j < n; ++j)
    local[j] = F.row(j).head(f).dot(descriptorView.segment(j * f, f).transpose());
  VectorView out(result.ptr<float>(0), n);
  out.noalias() = matrixView(mixMatrix) * local;
  out += ConstVectorView(offset.ptr<float>(0), n);
}

int LinearShapeClassifier::write(FILE* f) const {
  if (!f) return -1;
  if (io::writeFloatColumn(referenceShape, f) != 0) return -1;
  if (io::writeMat(mixMatrix, f) != 0) return -1;
  if (io::writeMat(featureMatrix, f) != 0) return -1;
  return io::writeMat(offset, f) != 0 ? -1 : 0;
}

int LinearShapeClassifier::read(FILE* f) { return io::readRecord(f, *this); }

int LinearShapeClassifier::read(io::Reader& in) {
  if (!in.valid()) return -1;
  if (io::readFloatColumn(referenceShape, in) != 0) return -1;
  if (io::readMat(mixMatrix, in) != 0) return -1;
  if (io::readMat(featureMatrix, in) != 0) return -1;
  return io::readMat(offset, in) != 0 ? -1 : 0;
}

int LinearShapeClassifier::save(const char* path) const { return io::saveRecord(path, *this); }

int LinearShapeClassifier::load(const char* path) { return io::loadRecord(path, *this); }

}  // namespace zeq
