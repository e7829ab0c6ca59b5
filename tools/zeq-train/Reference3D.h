#pragma once
// The rigid 3D reference face written into the model: made left-right
// symmetric about the model's x = 0 plane and levelled, so that a face and its
// mirror image read opposite yaw and roll and an upright frontal face reads
// angles near zero. Header-only: pure functions shared with the tests.
#include <array>
#include <cmath>
#include <vector>

#include <Eigen/Dense>
#include <opencv2/core.hpp>

#include "engine/LandmarkLayout.h"

namespace zeq {
namespace train {

// Interleaved 3N x 1 column <-> N x 3 rows.
inline Eigen::MatrixX3d pointsOf(const cv::Mat_<float>& interleaved) {
  const int n = interleaved.rows / 3;
  Eigen::MatrixX3d p(n, 3);
  for (int i = 0; i < n; ++i)
    for (int c = 0; c < 3; ++c) p(i, c) = interleaved(3 * i + c);
  return p;
}

inline cv::Mat_<float> interleavedOf(const Eigen::MatrixX3d& p) {
  cv::Mat_<float> out(static_cast<int>(p.rows()) * 3, 1);
  for (int i = 0; i < p.rows(); ++i)
    for (int c = 0; c < 3; ++c) out(3 * i + c) = static_cast<float>(p(i, c));
  return out;
}

// The mirror image through the x = 0 plane, renumbered so that each point keeps
// its anatomical meaning.
inline Eigen::MatrixX3d mirrored3D(const Eigen::MatrixX3d& p, const std::array<int, layout::kLandmarks>& perm) {
  Eigen::MatrixX3d m(p.rows(), 3);
  for (int i = 0; i < p.rows(); ++i) {
    m.row(i) = p.row(perm[i]);
    m(i, 0) = -m(i, 0);
  }
  return m;
}

// Symmetric version of a 66-point face: centred, turned so that its own plane
// of symmetry (found by aligning the face with its mirror image) becomes x = 0,
// then averaged with its mirror image and scaled back to its RMS size.
inline cv::Mat_<float> symmetricReference(const cv::Mat_<float>& interleaved) {
  const auto& perm = layout::kMirror;
  Eigen::MatrixX3d p = pointsOf(interleaved);
  if (p.rows() != layout::kLandmarks) return cv::Mat_<float>();
  p.rowwise() -= p.colwise().mean();
  const double size = std::sqrt(p.squaredNorm() / p.rows());
  // Rotation Q that best maps the mirror image onto the face (Kabsch); the face
  // is then its own image under the reflection Q F, whose normal is the
  // eigenvector of eigenvalue -1.
  const Eigen::MatrixX3d m = mirrored3D(p, perm);
  const Eigen::Matrix3d h = m.transpose() * p;
  Eigen::JacobiSVD<Eigen::Matrix3d> svd(h, Eigen::ComputeFullU | Eigen::ComputeFullV);
  Eigen::Matrix3d d = Eigen::Matrix3d::Identity();
  d(2, 2) = (svd.matrixV() * svd.matrixU().transpose()).determinant() < 0 ? -1.0 : 1.0;
  const Eigen::Matrix3d q = svd.matrixV() * d * svd.matrixU().transpose();
  const Eigen::Matrix3d f = Eigen::Vector3d(-1, 1, 1).asDiagonal();
  const Eigen::Matrix3d reflection = q * f;
  Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> eig(0.5 * (reflection + reflection.transpose()));
  Eigen::Vector3d normal = eig.eigenvectors().col(0);  // smallest eigenvalue first
  if (normal.x() < 0) normal = -normal;
  const Eigen::Matrix3d turn = Eigen::Quaterniond::FromTwoVectors(normal, Eigen::Vector3d::UnitX()).toRotationMatrix();
  const Eigen::MatrixX3d upright = p * turn.transpose();
  Eigen::MatrixX3d s = 0.5 * (upright + mirrored3D(upright, perm));
  s.rowwise() -= s.colwise().mean();
  s *= size / std::sqrt(s.squaredNorm() / s.rows());
  return interleavedOf(s);
}

// The face turned about the model's x axis by `angle` radians (y towards z).
// Such a turn keeps a face that is symmetric about x = 0 symmetric; a pose fitted
// against the turned face reads a pitch smaller by `angle`.
inline cv::Mat_<float> turnedAboutX(const cv::Mat_<float>& interleaved, double angle) {
  const double c = std::cos(angle), s = std::sin(angle);
  cv::Mat_<float> out = interleaved.clone();
  for (int i = 0; i < interleaved.rows / 3; ++i) {
    const double y = interleaved(3 * i + 1), z = interleaved(3 * i + 2);
    out(3 * i + 1) = static_cast<float>(c * y - s * z);
    out(3 * i + 2) = static_cast<float>(s * y + c * z);
  }
  return out;
}

}  // namespace train
}  // namespace zeq
