#pragma once
#include <Eigen/Core>
#include <opencv2/core.hpp>

// Eigen views of OpenCV float buffers, for the products of the regression
// stages and classifiers (no copies).
namespace zeq {
namespace detail {

using RowMajorMatrix = Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
using ConstMatrixView = Eigen::Map<const RowMajorMatrix, Eigen::Unaligned, Eigen::OuterStride<>>;
using ConstVectorView = Eigen::Map<const Eigen::VectorXf>;
using VectorView = Eigen::Map<Eigen::VectorXf>;

// Row-major view of an OpenCV matrix without copying; rows may be padded
// (a column range of a wider matrix), so the row stride comes from the step.
inline ConstMatrixView matrixView(const cv::Mat_<float>& m) {
  return ConstMatrixView(m.ptr<float>(0), m.rows, m.cols, Eigen::OuterStride<>(static_cast<Eigen::Index>(m.step1())));
}

}  // namespace detail
}  // namespace zeq
