#include <algorithm>
#include <cmath>
#include <vector>

#include "engine/FaceTracker.h"
#include "engine/BackProjection.h"
#include "engine/EngineHelpers.h"
#include "engine/LandmarkLayout.h"

namespace zeq {

namespace {

constexpr int kMaxFitIterations = 5;
constexpr float kParameterClampFactor = 3.0f;
constexpr double kConvergence = 0.001;
// Without an index table a 66-point shape fits landmarks 17..65; the contour
// 0..16 is lifted onto the reference face.
constexpr int kFirstFittedLandmark = layout::kFitted3D.first;
constexpr int kLandmarks66 = layout::kLandmarks;

using detail::allFinite;
using detail::validIndexList;

// Small dense products of the deformable model, accumulated in double and
// stored in single precision (a general matrix library call costs more than the
// arithmetic at these sizes).
// p = B^T (S - mu)
void projectParameters(const LinearModel& model, const cv::Mat_<float>& S, cv::Mat_<float>& p) {
  const int d = model.basis.rows, k = model.basis.cols;
  const float* s = S.ptr<float>(0);
  const float* mu = model.mean.ptr<float>(0);
  double acc[64];
  double* sums = k <= 64 ? acc : nullptr;
  std::vector<double> wide;
  if (sums == nullptr) {
    wide.assign(static_cast<std::size_t>(k), 0.0);
    sums = wide.data();
  } else {
    std::fill(sums, sums + k, 0.0);
  }
  for (int r = 0; r < d; ++r) {
    const float diff = s[r] - mu[r];
    const float* b = model.basis.ptr<float>(r);
    for (int c = 0; c < k; ++c) sums[c] += static_cast<double>(b[c]) * diff;
  }
  float* out = p.ptr<float>(0);
  for (int c = 0; c < k; ++c) out[c] = static_cast<float>(sums[c]);
}

// S = mu + B p
void reconstructShape(const LinearModel& model, const cv::Mat_<float>& p, cv::Mat_<float>& S) {
  const int d = model.basis.rows, k = model.basis.cols;
  const float* mu = model.mean.ptr<float>(0);
  const float* q = p.ptr<float>(0);
  float* s = S.ptr<float>(0);
  for (int r = 0; r < d; ++r) {
    const float* b = model.basis.ptr<float>(r);
    double sum = 0.0;
    for (int c = 0; c < k; ++c) sum += static_cast<double>(b[c]) * q[c];
    s[r] = static_cast<float>(sum + mu[r]);
  }
}

struct EyeSphere {
  cv::Point3_<float> centre;
  float radius = 0.f;
};

// Sphere of one eye from its landmark list, or from its two corner landmarks of
// a 66-point shape. A list naming a point outside the shape counts as absent.
bool eyeSphere(const cv::Mat_<float>& s3, const cv::Mat_<int>& indices, int cornerA, int cornerB, EyeSphere& out) {
  const int points = s3.rows / 3;
  const float* p = points > 0 ? s3.ptr<float>(0) : nullptr;
  if (validIndexList(indices, points)) {
    const int m = indices.rows;
    float minX = p[3 * indices(0, 0)];
    float maxX = minX;
    float sx = 0.f, sy = 0.f, sz = 0.f;
    for (int r = 0; r < m; ++r) {
      const float* q = p + 3 * indices(r, 0);
      minX = std::min(minX, q[0]);
      maxX = std::max(maxX, q[0]);
      sx += q[0];
      sy += q[1];
      sz += q[2];
    }
    const float k = 1.f / static_cast<float>(m);
    out.radius = 0.5f * (maxX - minX);
    out.centre = cv::Point3_<float>(sx * k, sy * k, sz * k);
    return true;
  }
  if (points != kLandmarks66) return false;
  const float* a = p + 3 * cornerA;
  const float* b = p + 3 * cornerB;
  const cv::Point3_<float> diff(a[0] - b[0], a[1] - b[1], a[2] - b[2]);
  out.radius = static_cast<float>(0.5 * cv::norm(diff));
  out.centre = cv::Point3_<float>((a[0] + b[0]) * 0.5f, (a[1] + b[1]) * 0.5f, (a[2] + b[2]) * 0.5f + out.radius);
  return true;
}

// Gaze of one eye: direction from the sphere's centre through the pupil, whose
// displacement across the eye's front follows from the image residual.
bool eyeGaze(const EyeSphere& eye, const PoseTerms& pose, cv::Point_<float> seen, cv::Point3_<float>& out) {
  const cv::Matx33f& R = pose.R;
  const cv::Point3_<float> f(eye.centre.x, eye.centre.y, eye.centre.z - eye.radius);
  const float px = pose.s * (R(0, 0) * f.x + R(0, 1) * f.y + R(0, 2) * f.z) + pose.tx;
  const float py = pose.s * (R(1, 0) * f.x + R(1, 1) * f.y + R(1, 2) * f.z) + pose.ty;
  const double invS = 1.0 / static_cast<double>(pose.s);
  const cv::Matx21f residual(static_cast<float>((seen.x - px) * invS), static_cast<float>((seen.y - py) * invS));

  const cv::Matx22f A(R(0, 0), R(0, 1), R(1, 0), R(1, 1));
  const cv::Matx22f normal = A.t() * A;
  const cv::Matx22f inverse = normal.inv(cv::DECOMP_SVD);
  const cv::Matx21f d = inverse * (A.t() * residual);

  cv::Matx31f g(d(0), d(1), -eye.radius);
  cv::Mat gView(3, 1, CV_32F, g.val);
  cv::normalize(gView, gView, 1.0, 0.0, cv::NORM_L2);
  const cv::Matx31f rotated = R * g;
  if (!std::isfinite(rotated(0)) || !std::isfinite(rotated(1)) || !std::isfinite(rotated(2))) return false;
  out = cv::Point3_<float>(rotated(0), rotated(1), rotated(2));
  return true;
}

}  // namespace

void FaceTracker::calcShape3D(const cv::Mat_<float>& shape2D, cv::Mat_<float>& shape3DOut,
                              cv::Mat_<float>& poseInOut) {
  if (!hasModel3D) return;
  PoseTerms terms;
  if (!readPose(poseInOut, terms)) return;
  if (shape2D.empty() || shape2D.cols != 1) return;

  const LinearModel& model = deformationModel3D;
  const cv::Mat_<float>& reference = referenceModel3D.mean;
  const int landmarks = shape2D.rows / 2;
  const bool withIndices = !shape3DIndices.empty();
  int m = 0;
  if (withIndices) {
    if (!validIndexList(shape3DIndices, landmarks)) return;
    m = shape3DIndices.rows;
  } else if (shape2D.rows == 2 * kLandmarks66 || shape2D.rows == 2 * kLandmarks66 + 1) {
    m = kLandmarks66 - kFirstFittedLandmark;
  } else {
    return;
  }
  if (model.empty() || !model.consistent() || model.mean.rows != 3 * m) return;
  if (reference.cols != 1 || !reference.isContinuous() || reference.rows < 3 * landmarks) return;
  const int k = model.modes();

  // 2D subset, interleaved.
  subset2D_.create(2 * m, 1);
  for (int j = 0; j < m; ++j) {
    const int i = withIndices ? shape3DIndices(j, 0) : kFirstFittedLandmark + j;
    subset2D_(2 * j) = shape2D(2 * i);
    subset2D_(2 * j + 1) = shape2D(2 * i + 1);
  }

  const auto backProjectSubset = [&](const PoseTerms& p) {
    float* s = subset3D_.ptr<float>(0);
    for (int j = 0; j < m; ++j) backProject(p, subset2D_(2 * j), subset2D_(2 * j + 1), s + 3 * j, s + 3 * j);
  };

  model.mean.copyTo(subset3D_);
  if (k > 0) {
    params3D_.create(k, 1);
    params3D_.setTo(0.f);
  }
  // The poses of the iterations alternate between two kept buffers.
  cv::Mat_<float> fittedPose = poseInOut;
  int nextSlot = 0;
  int iterations = 0;
  for (int it = 0; it < kMaxFitIterations; ++it) {
    iterations = it + 1;
    if (!readPose(fittedPose, terms)) return;
    backProjectSubset(terms);

    if (k > 0) {
      projectParameters(model, subset3D_, params3D_);
      model.clamp(params3D_, kParameterClampFactor);
    }
    if (it >= 1) {
      const double change = k > 0 ? cv::norm(params3D_, previousParams3D_, cv::NORM_L2) : 0.0;
      if (change < kConvergence) break;
    }
    if (k > 0) {
      reconstructShape(model, params3D_, subset3D_);
      params3D_.copyTo(previousParams3D_);
    } else {
      model.mean.copyTo(subset3D_);
    }

    planar3D_.create(3 * m, 1);
    for (int j = 0; j < m; ++j) {
      planar3D_(j) = subset3D_(3 * j);
      planar3D_(m + j) = subset3D_(3 * j + 1);
      planar3D_(2 * m + j) = subset3D_(3 * j + 2);
    }
    cv::Mat_<float>& next = fitPose_[nextSlot];
    if (next.data != nullptr && next.data == fittedPose.data) next.release();
    // A degenerate fit must not replace a usable pose.
    if (!posePredictor.calcPoseInto(subset2D_, planar3D_, poseWorkspace_, next) || !usablePose(next)) return;
    fittedPose = next;
    nextSlot = 1 - nextSlot;
  }

  if (!readPose(fittedPose, terms)) return;
  backProjectSubset(terms);

  reference.copyTo(fit3D_);
  float* out = fit3D_.ptr<float>(0);
  const float* s = subset3D_.ptr<float>(0);
  if (withIndices) {
    fittedLandmark_.assign(static_cast<std::size_t>(landmarks), 0);
    for (int j = 0; j < m; ++j) {
      const int i = shape3DIndices(j, 0);
      std::copy(s + 3 * j, s + 3 * j + 3, out + 3 * i);
      fittedLandmark_[static_cast<std::size_t>(i)] = 1;
    }
    for (int i = 0; i < landmarks; ++i) {
      if (fittedLandmark_[static_cast<std::size_t>(i)]) continue;
      backProject(terms, shape2D(2 * i), shape2D(2 * i + 1), out + 3 * i, out + 3 * i);
    }
  } else {
    for (int i = kFirstFittedLandmark; i < kLandmarks66; ++i) {
      std::copy(s + 3 * (i - kFirstFittedLandmark), s + 3 * (i - kFirstFittedLandmark) + 3, out + 3 * i);
    }
    for (int i = 0; i < kFirstFittedLandmark; ++i) {
      backProject(terms, shape2D(2 * i), shape2D(2 * i + 1), out + 3 * i, out + 3 * i);
    }
  }
  if (!allFinite(fit3D_)) return;

  storeCopy(shape3DOut, fit3D_);
  storeCopy(poseInOut, fittedPose);
  shape3DIterations_ = iterations;
}

void FaceTracker::calcGaze(const cv::Mat_<float>& shape3DIn, const cv::Mat_<float>& poseIn,
                           cv::Point_<float> firstEye, cv::Point_<float> secondEye,
                           cv::Point3_<float>& firstGaze, cv::Point3_<float>& secondGaze) const {
  PoseTerms pose;
  if (!readPose(poseIn, pose)) return;
  if (shape3DIn.empty() || shape3DIn.cols != 1 || !shape3DIn.isContinuous()) return;

  EyeSphere first, second;
  if (!eyeSphere(shape3DIn, firstEyeIndices, layout::kFirstOuterEyeCorner, layout::kFirstInnerEyeCorner, first)) return;
  if (!eyeSphere(shape3DIn, secondEyeIndices, layout::kSecondInnerEyeCorner, layout::kSecondOuterEyeCorner, second))
    return;

  eyeGaze(first, pose, firstEye, firstGaze);
  eyeGaze(second, pose, secondEye, secondGaze);
}

}  // namespace zeq
