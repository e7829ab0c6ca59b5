#include "engine/MatrixRecord.h"

namespace zeq {
namespace io {

std::int64_t bytesRemaining(FILE* f) { return f ? Reader(f).remaining() : -1; }

bool plausibleCount(const Reader& in, std::int64_t count, std::size_t elementSize) {
  if (count < 0 || count > kMaxRecordElements) return false;
  const std::int64_t left = in.remaining();
  return left < 0 || count * static_cast<std::int64_t>(elementSize) <= left;
}

bool plausibleCount(FILE* f, std::int64_t count, std::size_t elementSize) {
  return plausibleCount(Reader(f), count, elementSize);
}

template <typename T>
int writeMat(const cv::Mat_<T>& m, FILE* f) {
  const std::int32_t rows = m.rows;
  const std::int32_t cols = m.cols;
  if (std::fwrite(&rows, sizeof(rows), 1, f) != 1) return -1;
  if (std::fwrite(&cols, sizeof(cols), 1, f) != 1) return -1;
  const std::size_t count = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
  if (count == 0) return 0;
  if (!m.isContinuous()) return -1;
  return std::fwrite(m.ptr(0), sizeof(T), count, f) == count ? 0 : -1;
}

template <typename T>
int readMat(cv::Mat_<T>& m, Reader& in) {
  std::int32_t rows = 0;
  std::int32_t cols = 0;
  if (!in.readInt(rows) || !in.readInt(cols)) return -1;
  if (rows < 0 || cols < 0) return -1;
  const std::int64_t count = static_cast<std::int64_t>(rows) * cols;
  if (!plausibleCount(in, count, sizeof(T))) return -1;
  if (count == 0) {
    // OpenCV cannot hold a 0 x k matrix with k > 0 in every layout; an empty
    // record is an empty matrix.
    m.release();
    return 0;
  }
  m.create(rows, cols);
  const std::size_t n = static_cast<std::size_t>(count);
  return in.read(m.ptr(0), sizeof(T), n) == n ? 0 : -1;
}

template <typename T>
int readMat(cv::Mat_<T>& m, FILE* f) {
  if (!f) return -1;
  Reader in(f);
  return readMat(m, in);
}

template int writeMat<unsigned char>(const cv::Mat_<unsigned char>&, FILE*);
template int writeMat<int>(const cv::Mat_<int>&, FILE*);
template int writeMat<float>(const cv::Mat_<float>&, FILE*);
template int writeMat<double>(const cv::Mat_<double>&, FILE*);
template int readMat<unsigned char>(cv::Mat_<unsigned char>&, FILE*);
template int readMat<int>(cv::Mat_<int>&, FILE*);
template int readMat<float>(cv::Mat_<float>&, FILE*);
template int readMat<double>(cv::Mat_<double>&, FILE*);
template int readMat<unsigned char>(cv::Mat_<unsigned char>&, Reader&);
template int readMat<int>(cv::Mat_<int>&, Reader&);
template int readMat<float>(cv::Mat_<float>&, Reader&);
template int readMat<double>(cv::Mat_<double>&, Reader&);

}  // namespace io
}  // namespace zeq
