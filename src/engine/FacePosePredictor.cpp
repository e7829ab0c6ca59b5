#include "engine/FacePosePredictor.h"

#include <cmath>
#include <cstdio>

#include <Eigen/Core>
#include <Eigen/Eigenvalues>
#include <opencv2/calib3d.hpp>

namespace zeq {

namespace {

// Built-in rigid reference face, one (x, y, z) per landmark in the model frame
// (x right, y down, z away from the camera; about 40 units wide).
const float kReferenceFace[66][3] = {
    {-20.6547f, -5.64822f, 21.3079f},  // 0
    {-20.0519f, -0.423649f, 20.8425f},  // 1
    {-19.1146f, 4.7667f, 20.4846f},  // 2
    {-17.7568f, 9.73356f, 18.3869f},  // 3
    {-15.6469f, 14.1974f, 13.4633f},  // 4
    {-12.4006f, 17.9009f, 7.99404f},  // 5
    {-8.27017f, 20.7526f, 3.29433f},  // 6
    {-3.55056f, 22.6779f, -0.880153f},  // 7
    {1.65875f, 22.9008f, -4.53572f},  // 8
    {6.75338f, 21.9412f, -0.807894f},  // 9
    {11.0958f, 19.3665f, 3.41769f},  // 10
    {14.7165f, 15.9593f, 8.15704f},  // 11
    {17.3322f, 11.8354f, 13.6544f},  // 12
    {18.7221f, 7.12069f, 18.5937f},  // 13
    {19.3316f, 2.01325f, 20.7063f},  // 14
    {19.5157f, -3.2566f, 21.0748f},  // 15
    {19.3623f, -8.51341f, 21.5385f},  // 16
    {-16.9434f, -14.0024f, 0.166523f},  // 17
    {-14.6923f, -16.1532f, -1.56921f},  // 18
    {-11.7473f, -17.1684f, -2.95979f},  // 19
    {-8.64008f, -17.2567f, -4.29633f},  // 20
    {-5.61118f, -16.6863f, -5.52226f},  // 21
    {3.24342f, -17.3161f, -5.43542f},  // 22
    {6.14406f, -18.3113f, -4.17859f},  // 23
    {9.21432f, -18.6656f, -2.80935f},  // 24
    {12.2557f, -18.0793f, -1.38764f},  // 25
    {14.7675f, -16.2699f, 0.371491f},  // 26
    {-0.800008f, -11.6067f, -4.9545f},  // 27
    {-0.571382f, -8.59445f, -7.76035f},  // 28
    {-0.341526f, -5.60559f, -10.6633f},  // 29
    {-0.111056f, -2.62069f, -13.4075f},  // 30
    {-3.34691f, 0.90089f, -6.47077f},  // 31
    {-1.6415f, 1.2941f, -7.26957f},  // 32
    {0.142254f, 1.35258f, -8.01839f},  // 33
    {1.89493f, 1.04463f, -7.21848f},  // 34
    {3.5165f, 0.412997f, -6.40175f},  // 35
    {-12.5316f, -9.74495f, -0.905324f},  // 36
    {-10.6698f, -11.0691f, -1.10649f},  // 37
    {-8.3451f, -11.2534f, -1.2279f},  // 38
    {-6.35058f, -10.2247f, -0.977391f},  // 39
    {-8.3556f, -9.50683f, -1.10156f},  // 40
    {-10.5048f, -9.27615f, -1.09011f},  // 41
    {4.83678f, -11.0227f, -0.887733f},  // 42
    {6.66716f, -12.3254f, -1.11779f},  // 43
    {8.99246f, -12.4738f, -0.968074f},  // 44
    {11.0209f, -11.4279f, -0.742362f},  // 45
    {9.08377f, -10.6753f, -0.948989f},  // 46
    {6.92444f, -10.5977f, -0.987214f},  // 47
    {-6.63855f, 8.84013f, -2.74685f},  // 48
    {-4.73902f, 6.8457f, -4.89305f},  // 49
    {-2.32888f, 5.4219f, -6.54708f},  // 50
    {0.427259f, 5.35547f, -8.22771f},  // 51
    {3.15408f, 5.03248f, -6.48681f},  // 52
    {5.72158f, 6.09946f, -4.80547f},  // 53
    {7.86034f, 7.80446f, -2.63884f},  // 54
    {6.14905f, 9.90529f, -3.93286f},  // 55
    {3.75933f, 11.3254f, -5.28293f},  // 56
    {0.883179f, 11.8243f, -6.67982f},  // 57
    {-2.0422f, 11.738f, -5.34336f},  // 58
    {-4.62825f, 10.6744f, -4.02161f},  // 59
    {-2.38864f, 7.57584f, -5.20395f},  // 60
    {0.55887f, 7.21472f, -7.41824f},  // 61
    {3.50364f, 7.15671f, -5.14457f},  // 62
    {3.65722f, 8.62822f, -4.49552f},  // 63
    {0.689237f, 9.10764f, -6.42523f},  // 64
    {-2.33557f, 9.05505f, -4.5521f},  // 65
};

// The pose is meaningless (and G^-1/2 blows up) once the 2D shape collapses onto a
// line or a point; single-precision rounding alone leaves G's smaller singular
// value around 1e-7 of the larger one in that case.
constexpr float kMinSingularRatio = 1e-5f;
// The reference must span three dimensions for (P^T P)^-1 to mean anything.
constexpr double kMinReferenceEigenRatio = 1e-6;

bool isFloatColumn(const cv::Mat_<float>& m, int rows) {
  return rows > 0 && m.cols == 1 && m.rows == rows && m.isContinuous();
}

// Centres a planar 3D shape (all x, all y, all z) into one point per row
// (w.points, centroid w.mean) and computes its least-squares projector
// (P^T P)^-1 P^T (w.projector). False when the shape does not span three
// dimensions; the projector is then unusable.
bool buildReference(const cv::Mat_<float>& planar, FacePosePredictor::Workspace& w) {
  if (planar.empty() || planar.cols != 1 || planar.rows % 3 != 0 || planar.rows < 9) return false;
  const cv::Mat_<float> source = planar.isContinuous() ? planar : planar.clone();
  cv::transpose(source.reshape(1, 3), w.points);
  cv::Mat_<float>& P = w.points;
  cv::reduce(P, w.mean, 0, cv::REDUCE_AVG, -1);
  for (int i = 0; i < P.rows; ++i) {
    float* row = P.ptr<float>(i);
    for (int c = 0; c < 3; ++c) row[c] -= w.mean(0, c);
  }
  cv::gemm(P, P, 1.0, cv::noArray(), 0.0, w.normal, cv::GEMM_1_T);
  // Eigenvalues of the widened P^T P, largest first, by the same solver and in
  // the same storage order as cv::eigen uses, without its heap matrices.
  using Small = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::ColMajor, 3, 3>;
  Small wide(3, 3);
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) wide(i, j) = w.normal(i, j);
  }
  Eigen::SelfAdjointEigenSolver<Small> solver;
  solver.compute(wide, Eigen::EigenvaluesOnly);
  if (solver.info() != Eigen::Success) return false;
  const double largest = solver.eigenvalues()(2);
  const double smallest = solver.eigenvalues()(0);
  if (!std::isfinite(largest) || !std::isfinite(smallest) || !std::isfinite(solver.eigenvalues()(1)) ||
      !(smallest > largest * kMinReferenceEigenRatio)) {
    return false;
  }
  if (cv::invert(w.normal, w.inverse, cv::DECOMP_CHOLESKY) == 0) return false;
  cv::gemm(w.inverse, P, 1.0, cv::noArray(), 0.0, w.projector, cv::GEMM_2_T);
  return cv::checkRange(w.projector);
}

// Weak-perspective fit of an interleaved 2D shape of n points against a centred
// reference given by its 3 x n projector and its centroid. Matrix products are
// accumulated in double and rounded to single precision per result element, as a
// single-precision matrix product is. False for a degenerate shape (pose then
// holds nothing usable).
bool poseAgainst(const float* q, int n, const cv::Mat_<float>& projector, const float* mean, cv::Mat_<float>& pose) {
  // Landmark centroid: single-precision sums in point order, scaled by 1/n.
  float sumX = 0.f, sumY = 0.f;
  for (int i = 0; i < n; ++i) {
    sumX += q[2 * i];
    sumY += q[2 * i + 1];
  }
  const float invN = static_cast<float>(1.0 / n);
  const float cx = sumX * invN;
  const float cy = sumY * invN;
  if (!std::isfinite(cx) || !std::isfinite(cy)) return false;

  // M = projector * (Q - c): columns estimate s r1 and s r2.
  float M[3][2];
  for (int k = 0; k < 3; ++k) {
    const float* p = projector.ptr<float>(k);
    double m0 = 0.0, m1 = 0.0;
    for (int i = 0; i < n; ++i) {
      const float dx = q[2 * i] - cx;
      const float dy = q[2 * i + 1] - cy;
      m0 += static_cast<double>(p[i]) * dx;
      m1 += static_cast<double>(p[i]) * dy;
    }
    M[k][0] = static_cast<float>(m0);
    M[k][1] = static_cast<float>(m1);
  }

  // G = M^T M and its inverse square root through the singular value decomposition.
  cv::Matx22f G;
  for (int i = 0; i < 2; ++i) {
    for (int j = 0; j < 2; ++j) {
      double g = 0.0;
      for (int k = 0; k < 3; ++k) g += static_cast<double>(M[k][i]) * M[k][j];
      G(i, j) = static_cast<float>(g);
    }
  }
  if (!std::isfinite(G(0, 0)) || !std::isfinite(G(0, 1)) || !std::isfinite(G(1, 1))) return false;
  cv::Matx21f w;
  cv::Matx22f u, vt;
  cv::SVD::compute(G, w, u, vt, cv::SVD::MODIFY_A);
  if (!(w(0) > 0.f) || !(w(1) > w(0) * kMinSingularRatio)) return false;
  w(0) = 1.f / std::sqrt(w(0));
  w(1) = 1.f / std::sqrt(w(1));

  // A = u diag(w) vt M^T, evaluated left to right; its rows are orthonormal.
  float UW[2][2], B[2][2];
  for (int i = 0; i < 2; ++i) {
    for (int k = 0; k < 2; ++k) UW[i][k] = u(i, k) * w(k);
  }
  for (int i = 0; i < 2; ++i) {
    for (int j = 0; j < 2; ++j) {
      B[i][j] = static_cast<float>(static_cast<double>(UW[i][0]) * vt(0, j) + static_cast<double>(UW[i][1]) * vt(1, j));
    }
  }
  cv::Matx33f R;
  double dot = 0.0;  // sum of A .* M^T, in double precision
  for (int i = 0; i < 2; ++i) {
    for (int k = 0; k < 3; ++k) {
      R(i, k) = static_cast<float>(static_cast<double>(B[i][0]) * M[k][0] + static_cast<double>(B[i][1]) * M[k][1]);
      dot += static_cast<double>(R(i, k) * M[k][i]);
    }
  }
  const float s = static_cast<float>(0.5 * dot);

  // The third row as the cross product keeps R a proper rotation even for a
  // mirrored shape.
  R(2, 0) = R(0, 1) * R(1, 2) - R(0, 2) * R(1, 1);
  R(2, 1) = R(0, 2) * R(1, 0) - R(0, 0) * R(1, 2);
  R(2, 2) = R(0, 0) * R(1, 1) - R(0, 1) * R(1, 0);

  cv::Matx31f r;
  cv::Rodrigues(R, r);

  const cv::Matx33f Rs = R * s;
  const float tx = cx - (Rs(0, 0) * mean[0] + Rs(0, 1) * mean[1] + Rs(0, 2) * mean[2]);
  const float ty = cy - (Rs(1, 0) * mean[0] + Rs(1, 1) * mean[1] + Rs(1, 2) * mean[2]);

  pose.create(6, 1);
  pose(0) = r(0);
  pose(1) = r(1);
  pose(2) = r(2);
  pose(3) = tx;
  pose(4) = ty;
  pose(5) = s;
  return cv::checkRange(pose);
}

}  // namespace

FacePosePredictor::FacePosePredictor() {
  constexpr int n = 66;
  referenceShape.create(3 * n, 1);
  for (int i = 0; i < n; ++i) {
    referenceShape(i) = kReferenceFace[i][0];
    referenceShape(n + i) = kReferenceFace[i][1];
    referenceShape(2 * n + i) = kReferenceFace[i][2];
  }
}

int FacePosePredictor::setShape(const cv::Mat_<float>& shape) {
  // Fewer than three points cannot define a rigid 3D reference.
  if (shape.empty() || shape.cols != 1 || shape.rows < 9) {
    std::fprintf(stderr, "Unsupported shape vector in setShape\n");
    return -1;
  }
  const int n = shape.rows / 3;
  // The source may share storage with the reference that is about to be rewritten.
  const cv::Mat_<float> source = (shape.datastart == referenceShape.datastart) ? shape.clone() : shape;
  referenceShape.create(3 * n, 1);
  for (int i = 0; i < n; ++i) {
    referenceShape(i) = source(3 * i, 0);
    referenceShape(n + i) = source(3 * i + 1, 0);
    referenceShape(2 * n + i) = source(3 * i + 2, 0);
  }
  initialised = false;
  return 0;
}

void FacePosePredictor::init() {
  // A second call would read the centred N x 3 reference as if it were planar.
  if (initialised) return;
  Workspace w;
  const bool usable = buildReference(referenceShape, w);
  if (!w.points.empty()) {
    referenceShape = w.points;
    referenceMean = w.mean;
  }
  // Without a projector every pose is empty until a usable reference is set.
  projector = usable ? w.projector : cv::Mat_<float>();
  initialised = true;
}

int FacePosePredictor::numPoints() const {
  // Planar column before init, one centred point per row after it.
  return referenceShape.cols == 3 ? referenceShape.rows : referenceShape.rows / 3;
}

cv::Mat_<float> FacePosePredictor::calcPose(const cv::Mat_<float>& shape2D) {
  cv::Mat_<float> pose;
  calcPoseInto(shape2D, pose);
  return pose;
}

cv::Mat_<float> FacePosePredictor::calcPose(const cv::Mat_<float>& shape2D, const cv::Mat_<float>& shape3D) const {
  Workspace w;
  cv::Mat_<float> pose;
  calcPoseInto(shape2D, shape3D, w, pose);
  return pose;
}

bool FacePosePredictor::calcPoseInto(const cv::Mat_<float>& shape2D, cv::Mat_<float>& pose) {
  if (!initialised) init();
  const int n = numPoints();
  if (!isFloatColumn(shape2D, 2 * n)) {
    std::fprintf(stderr, "Unsupported shape vector in calcPose\n");
    pose.release();
    return false;
  }
  if (projector.empty() || projector.cols != n || referenceMean.total() != 3 ||
      !poseAgainst(shape2D.ptr<float>(0), n, projector, referenceMean.ptr<float>(0), pose)) {
    pose.release();
    return false;
  }
  return true;
}

bool FacePosePredictor::calcPoseInto(const cv::Mat_<float>& shape2D, const cv::Mat_<float>& shape3D,
                                     Workspace& workspace, cv::Mat_<float>& pose) const {
  const int n = shape3D.rows / 3;
  if (n < 3 || !isFloatColumn(shape3D, 3 * n) || !isFloatColumn(shape2D, 2 * n)) {
    std::fprintf(stderr, "Unsupported shape vector in calcPose\n");
    pose.release();
    return false;
  }
  if (!buildReference(shape3D, workspace) ||
      !poseAgainst(shape2D.ptr<float>(0), n, workspace.projector, workspace.mean.ptr<float>(0), pose)) {
    pose.release();
    return false;
  }
  return true;
}

}  // namespace zeq
