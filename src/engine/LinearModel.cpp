#include "engine/LinearModel.h"

#include <cmath>
#include <cstdint>
#include <vector>

#include <Eigen/Core>

#include "engine/MatrixRecord.h"
#include "engine/RecordFile.h"

namespace zeq {

namespace {
using ConstColumn = Eigen::Map<const Eigen::VectorXf>;
using Column = Eigen::Map<Eigen::VectorXf>;
using ConstRowMajor = Eigen::Map<const Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>;

bool holds(const cv::Mat_<float>& m, int count) {
  return m.isContinuous() && static_cast<int>(m.total()) == count && (count == 0 || m.data);
}

bool writeFloats(const cv::Mat_<float>& m, std::size_t count, FILE* f) {
  return count == 0 || std::fwrite(m.ptr(0), sizeof(float), count, f) == count;
}

bool readFloats(cv::Mat_<float>& m, std::size_t count, io::Reader& in) {
  return count == 0 || in.read(m.ptr(0), sizeof(float), count) == count;
}
}  // namespace

bool LinearModel::consistent() const {
  const auto contiguous = [](const cv::Mat_<float>& m) { return m.empty() || m.isContinuous(); };
  return mean.cols <= 1 && (basis.cols == 0 || basis.rows == mean.rows) && modeScale.rows == basis.cols &&
         modeScale.cols <= 1 && contiguous(mean) && contiguous(basis) && contiguous(modeScale);
}

bool LinearModel::projectInto(const cv::Mat_<float>& v, cv::Mat_<float>& out) const {
  const int d = dimension();
  const int k = modes();
  if (!holds(v, d) || basis.rows != d || d == 0) return false;
  if (out.data != nullptr && out.data == v.data) {
    out = project(v);
    return true;
  }
  out.create(k, 1);
  ConstRowMajor b(basis.ptr<float>(0), d, k);
  // v - mean is formed first, then multiplied; shapes of the usual sizes keep
  // the difference on the stack.
  constexpr int kStackValues = 512;
  alignas(64) float stackDiff[kStackValues];
  std::vector<float> heapDiff;
  float* diff = stackDiff;
  if (d > kStackValues) {
    heapDiff.resize(static_cast<std::size_t>(d));
    diff = heapDiff.data();
  }
  Column(diff, d) = ConstColumn(v.ptr<float>(0), d) - ConstColumn(mean.ptr<float>(0), d);
  Column(out.ptr<float>(0), k).noalias() = b.transpose() * ConstColumn(diff, d);
  return true;
}

cv::Mat_<float> LinearModel::project(const cv::Mat_<float>& v) const {
  cv::Mat_<float> p;
  if (!projectInto(v, p)) return cv::Mat_<float>();
  return p;
}

bool LinearModel::reconstructInto(const cv::Mat_<float>& p, cv::Mat_<float>& out) const {
  const int d = dimension();
  const int k = modes();
  if (!holds(p, k) || basis.rows != d || d == 0) return false;
  if (out.data != nullptr && out.data == p.data) {
    out = reconstruct(p);
    return true;
  }
  out.create(d, 1);
  ConstRowMajor b(basis.ptr<float>(0), d, k);
  // basis p first, then the mean added element by element.
  Column t(out.ptr<float>(0), d);
  t.noalias() = b * ConstColumn(k ? p.ptr<float>(0) : nullptr, k);
  const float* m = mean.ptr<float>(0);
  for (int i = 0; i < d; ++i) t[i] = m[i] + t[i];
  return true;
}

cv::Mat_<float> LinearModel::reconstruct(const cv::Mat_<float>& p) const {
  cv::Mat_<float> v;
  if (!reconstructInto(p, v)) return cv::Mat_<float>();
  return v;
}

int LinearModel::clamp(cv::Mat_<float>& p, float factor) const {
  const int k = modes();
  if (static_cast<int>(p.total()) != k || modeScale.total() != static_cast<size_t>(k)) return -1;
  for (int i = 0; i < k; ++i) {
    float& value = p(i);
    const float bound = factor * modeScale(i);
    if (std::abs(value) > bound) value = value > 0 ? bound : -bound;
  }
  return 0;
}

int LinearModel::write(FILE* f) const {
  const auto contiguous = [](const cv::Mat_<float>& m) { return m.empty() || m.isContinuous(); };
  if (!f || !contiguous(mean) || !contiguous(basis) || !contiguous(modeScale)) return -1;
  const std::int32_t d = mean.rows;
  const std::int32_t k = basis.cols;
  if (std::fwrite(&d, sizeof(d), 1, f) != 1) return -1;
  if (std::fwrite(&k, sizeof(k), 1, f) != 1) return -1;
  if (!writeFloats(mean, static_cast<std::size_t>(d), f)) return -1;
  if (!writeFloats(basis, static_cast<std::size_t>(d) * static_cast<std::size_t>(k), f)) return -1;
  if (!writeFloats(modeScale, static_cast<std::size_t>(k), f)) return -1;
  return 0;
}

int LinearModel::read(FILE* f) { return io::readRecord(f, *this); }

int LinearModel::read(io::Reader& in) {
  if (!in.valid()) return -1;
  std::int32_t d = 0;
  std::int32_t k = 0;
  if (!in.readInt(d) || !in.readInt(k)) return -1;
  if (d < 0 || k < 0) return -1;
  const std::int64_t total = std::int64_t(d) + std::int64_t(d) * k + k;
  if (std::int64_t(d) * k > io::kMaxRecordElements || !io::plausibleCount(in, total, sizeof(float))) return -1;
  const auto sized = [](cv::Mat_<float>& m, int rows, int cols) {
    if (rows == 0 || cols == 0) m.release(); else m.create(rows, cols);
  };
  sized(mean, d, 1);
  sized(basis, d, k);
  sized(modeScale, k, 1);
  if (!readFloats(mean, static_cast<std::size_t>(d), in)) return -1;
  if (!readFloats(basis, static_cast<std::size_t>(d) * static_cast<std::size_t>(k), in)) return -1;
  if (!readFloats(modeScale, static_cast<std::size_t>(k), in)) return -1;
  return 0;
}

int LinearModel::save(const char* path) const { return io::saveRecord(path, *this); }

int LinearModel::load(const char* path) { return io::loadRecord(path, *this); }

}  // namespace zeq
