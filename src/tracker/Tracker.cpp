#include "tracker/Tracker.h"

#include <cmath>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

namespace zeq {

bool reuse_last_frame = false;

namespace {

static_assert(sizeof(cv::Point_<float>) == 2 * sizeof(float), "output points must be packed x, y pairs");

constexpr int kPlacedLandmarks = layout::kLandmarks;
constexpr int kReferencePoints = 34;  // the reference distances use 3D points up to 33
constexpr int kHighestSelected = layout::highestPublished();

void reportMissingEngine() { std::fputs("Tracker has not been initialised!\n", stderr); }

// A continuous float view of m (no copy when it already is one).
cv::Mat_<float> continuousFloats(const cv::Mat_<float>& m) { return m.isContinuous() ? m : m.clone(); }

float distance3(const float* a, const float* b) {
  const float dx = a[0] - b[0];
  const float dy = a[1] - b[1];
  const float dz = a[2] - b[2];
  const double sq = static_cast<double>(dx) * dx + static_cast<double>(dy) * dy + static_cast<double>(dz) * dz;
  return static_cast<float>(std::sqrt(sq));
}

bool allFinite(const cv::Mat& m) { return cv::checkRange(m); }

// The 2D landmarks and the first n points of the 3D shape as point lists (no
// copy when the engine's matrices are continuous); false when the 3D shape does
// not cover every landmark or there are too few points for the solver.
struct PointViews {
  int n = 0;
  cv::Mat_<float> shape;
  cv::Mat_<float> shape3D;
  cv::Mat image;   // n x 1, two channels, over shape
  cv::Mat object;  // n x 1, three channels, over shape3D
};

bool makePointViews(const FaceTracker& engine, PointViews& views) {
  views.shape = continuousFloats(engine.shape);
  views.shape3D = continuousFloats(engine.shape3D);
  const int n = static_cast<int>(views.shape.total() / 2);
  if (n < Tracker::kMinSolverPoints || views.shape3D.total() < 3 * static_cast<size_t>(n)) return false;
  views.n = n;
  views.image = cv::Mat(n, 1, CV_32FC2, views.shape.ptr<float>());
  views.object = cv::Mat(n, 1, CV_32FC3, views.shape3D.ptr<float>());
  return true;
}

cv::Mat_<float> cameraMatrixFrom(const float* camera) {
  cv::Mat_<float> K(3, 3);
  for (int i = 0; i < 9; ++i) K(i / 3, i % 3) = camera[i];
  return K;
}

cv::Mat distortionFrom(const float* distortion) {
  if (!distortion) return cv::Mat();
  cv::Mat_<float> d(5, 1);
  for (int i = 0; i < 5; ++i) d(i) = distortion[i];
  return std::move(d);
}

// Solves the head pose into (rvec, tvec), seeded by them when the shared flag and
// this pair allow it, and writes the 4 x 4 transform. A failed or non-finite
// solve writes nothing and forces the next call to start from scratch.
void solveTransform(const cv::Mat& object, const cv::Mat& image, const float* camera, const float* distortion,
                    cv::Mat& rvec, cv::Mat& tvec, bool& solved, float* matrix) {
  const cv::Mat_<float> K = cameraMatrixFrom(camera);
  const cv::Mat dist = distortionFrom(distortion);
  if (rvec.empty()) {
    rvec = cv::Mat::zeros(3, 1, CV_64F);
    tvec = cv::Mat::zeros(3, 1, CV_64F);
  }
  const bool guess = reuse_last_frame && solved;
  bool ok = false;
  try {
    ok = cv::solvePnP(object, image, K, dist, rvec, tvec, guess, guess ? cv::SOLVEPNP_ITERATIVE : cv::SOLVEPNP_EPNP);
  } catch (const cv::Exception&) {
    ok = false;
  }
  cv::Mat R;
  if (ok && allFinite(rvec) && allFinite(tvec)) {
    cv::Rodrigues(rvec, R);
    ok = allFinite(R);
  } else {
    ok = false;
  }
  if (!ok) {
    solved = false;
    reuse_last_frame = false;
    return;
  }
  solved = true;
  reuse_last_frame = true;
  const cv::Mat_<double> Rd = R;
  const cv::Mat_<double> t = tvec;
  for (int c = 0; c < 3; ++c) {
    for (int r = 0; r < 3; ++r) matrix[4 * c + r] = static_cast<float>(Rd(r, c));
    matrix[4 * c + 3] = 0.f;
  }
  for (int r = 0; r < 3; ++r) matrix[12 + r] = static_cast<float>(t(r));
  matrix[15] = 1.f;
}

}  // namespace

Tracker::~Tracker() {
  if (faceTracker) {
    delete faceTracker;
    faceTracker = nullptr;
    reuse_last_frame = false;
  }
}

void Tracker::releaseData() {
  delete faceTracker;
  faceTracker = nullptr;
  modelReady_ = false;
  reuse_last_frame = false;
}

void Tracker::replaceEngine() {
  if (faceTracker) {
    delete faceTracker;
    faceTracker = nullptr;
    reuse_last_frame = false;
  }
  modelReady_ = false;
  faceTracker = new FaceTracker();
}

void Tracker::computeReferenceDistances() {
  float* out = faceTracker->referenceDistances;
  const cv::Mat_<float> mean = continuousFloats(faceTracker->referenceModel3D.mean);
  if (mean.total() < 3 * static_cast<size_t>(kReferencePoints)) {
    // No usable 3D reference: zero distances make the 3D scale unavailable.
    for (int i = 0; i < 4; ++i) out[i] = 0.f;
    return;
  }
  const float* p = mean.ptr<float>();
  const float* p0 = p + 3 * 0;
  const float* p16 = p + 3 * 16;
  const float* p27 = p + 3 * 27;
  const float* p33 = p + 3 * 33;
  out[0] = distance3(p0, p16);
  out[1] = distance3(p0, p27);
  out[2] = distance3(p27, p16);
  out[3] = distance3(p27, p33);
}

int Tracker::initialise(const char* modelDir) {
  replaceEngine();
  const int result = modelDir ? faceTracker->initialiseWithCombinedModel(std::string(modelDir)) : -1;
  computeReferenceDistances();
  modelReady_ = result == 0;
  return result;
}

int Tracker::load(const char* path) {
  replaceEngine();
  // This path never measures the 3D reference; zero distances keep getScale3D from using them.
  for (float& d : faceTracker->referenceDistances) d = 0.f;
  const int result = path ? faceTracker->load(path) : -1;
  modelReady_ = result == 0;
  return result;
}

int Tracker::update(const unsigned char* grey, int width, int height) {
  if (!faceTracker) {
    reportMissingEngine();
    return -1;
  }
  const int result = faceTracker->update(grey, width, height);
  const FaceTracker& e = *faceTracker;
  if (!e.shape.empty()) {
    const cv::Mat_<float> shape = continuousFloats(e.shape);
    if (shape.total() >= 2 * static_cast<size_t>(kHighestSelected + 1)) {
      const float* s = shape.ptr<float>();
      for (int i = 0; i < kOutputPoints; ++i) {
        faceTracker->outputPoints[i] = cv::Point_<float>(s[2 * selected[i]], s[2 * selected[i] + 1]);
      }
    }
    const cv::Mat_<float> conf = continuousFloats(e.confidence);
    if (conf.total() >= static_cast<size_t>(kHighestSelected + 1)) {
      const float* c = conf.ptr<float>();
      for (int i = 0; i < kOutputPoints; ++i) faceTracker->outputConfidence[i] = c[selected[i]];
    }
  }
  return result;
}

bool Tracker::reset(int x, int y, int width, int height) {
  reuse_last_frame = false;
  if (!faceTracker) {
    reportMissingEngine();
    return false;
  }
  FaceTracker& e = *faceTracker;
  e.shape = cv::Mat_<float>();
  e.confidence = cv::Mat_<float>();
  e.pose = cv::Mat_<float>();
  e.eyePoints.clear();
  e.translationTrackerReady = false;
  e.pitch = 0.f;
  e.yaw = 0.f;
  e.roll = 0.f;
  e.flowTracker.reset();

  if (x < 0 || width <= 0) return false;
  const cv::Mat_<float> ref = continuousFloats(e.initialShape);
  if (!modelReady_ || ref.total() < 2 * static_cast<size_t>(kPlacedLandmarks)) return false;

  const float* r = ref.ptr<float>();
  const auto eyeCentre = [r](int first) {
    float sx = 0.f, sy = 0.f;
    for (int k = first; k < first + 6; ++k) {
      sx += r[2 * k];
      sy += r[2 * k + 1];
    }
    return cv::Point_<float>(static_cast<float>(sx * (1.0 / 6.0)), static_cast<float>(sy * (1.0 / 6.0)));
  };
  const cv::Point_<float> eyeA = eyeCentre(layout::kFirstEye.first);
  const cv::Point_<float> eyeB = eyeCentre(layout::kSecondEye.first);

  const float leftX = x + 0.3f * width;
  const float rightX = x + 0.7f * width;
  const float eyeY = y + 0.2f * height;

  const double targetDx = static_cast<double>(rightX) - leftX;
  const double targetDist = std::sqrt(targetDx * targetDx);
  const double refDx = static_cast<double>(eyeB.x) - eyeA.x;
  const double refDy = static_cast<double>(eyeB.y) - eyeA.y;
  const double refDist = std::sqrt(refDx * refDx + refDy * refDy);
  const float s = static_cast<float>(targetDist / refDist);
  if (!(refDist > 0.0) || !std::isfinite(s)) return false;  // degenerate reference eyes

  cv::Mat_<float> placed(ref.rows, ref.cols);
  const size_t total = ref.total();
  float* out = placed.ptr<float>();
  for (size_t i = 0; i < total; ++i) out[i] = r[i] * s;

  const float tx = (leftX + rightX) * 0.5f - (eyeA.x * s + eyeB.x * s) * 0.5f;
  const float ty = (eyeY + eyeY) * 0.5f - (eyeA.y * s + eyeB.y * s) * 0.5f;
  for (int k = 0; k < kPlacedLandmarks; ++k) {
    out[2 * k] += tx;
    out[2 * k + 1] += ty;
  }
  e.shape = placed;
  return true;
}

const float* Tracker::getPoints() const {
  if (!faceTracker || faceTracker->shape.empty()) return nullptr;
  return reinterpret_cast<const float*>(faceTracker->outputPoints);
}

const float* Tracker::getConfidence() const {
  if (!faceTracker || faceTracker->confidence.empty()) return nullptr;
  return faceTracker->outputConfidence;
}

float Tracker::getPitchRadians() const { return faceTracker ? faceTracker->pitch : 0.f; }
float Tracker::getYawRadians() const { return faceTracker ? faceTracker->yaw : 0.f; }
float Tracker::getRollRadians() const { return faceTracker ? faceTracker->roll : 0.f; }
bool Tracker::getSmoothing() const { return faceTracker ? faceTracker->smoothing : false; }

void Tracker::setSmoothing(bool smoothing) {
  if (faceTracker) faceTracker->smoothing = smoothing;
}

void Tracker::setThreshold(float t) {
  if (!faceTracker || std::isnan(t)) return;
  faceTracker->threshold = t < 0.f ? 0.f : (t > 1.f ? 1.f : t);
}

void Tracker::getTranslation(float& x, float& y, float& z, float focal, float cx, float cy) const {
  if (!faceTracker || faceTracker->shape.empty()) {
    x = y = z = -1.f;
    return;
  }
  if (!std::isfinite(focal) || !(focal > 0.f) || !std::isfinite(cx) || !std::isfinite(cy)) return;
  PointViews views;
  if (!makePointViews(*faceTracker, views)) return;
  const cv::Matx33d K(focal, 0.0, cx, 0.0, focal, cy, 0.0, 0.0, 1.0);
  cv::Mat rvec, tvec;
  try {
    if (!cv::solvePnP(views.object, views.image, K, cv::Mat(), rvec, tvec, false, cv::SOLVEPNP_EPNP)) return;
  } catch (const cv::Exception&) {
    return;
  }
  if (tvec.total() != 3 || !allFinite(tvec)) return;
  const cv::Mat_<double> t = tvec;
  x = static_cast<float>(t(0));
  y = static_cast<float>(t(1));
  z = static_cast<float>(t(2));
}

void Tracker::getTranslationInImage(float& x, float& y) const {
  if (!faceTracker || faceTracker->shape.empty() || faceTracker->pose.total() < 6) return;
  const cv::Mat_<float> pose = continuousFloats(faceTracker->pose);
  x = pose(3);
  y = pose(4);
}

float Tracker::getScaleInImage() const {
  if (!faceTracker || faceTracker->shape.empty() || faceTracker->pose.total() < 6) return 0.f;
  const cv::Mat_<float> pose = continuousFloats(faceTracker->pose);
  return pose(5);
}

void Tracker::getScale3D(float& x, float& y, float& z) const {
  if (!faceTracker || faceTracker->shape.empty()) {
    x = y = z = 1.f;
    return;
  }
  const FaceTracker& e = *faceTracker;
  const cv::Mat_<float> shape3D = continuousFloats(e.shape3D);
  const size_t n = e.shape.total() / 2;
  if (shape3D.total() < 3 * n || shape3D.total() < 3 * static_cast<size_t>(kReferencePoints)) return;
  const float ref0 = e.referenceDistances[0];
  const float ref3 = e.referenceDistances[3];
  if (!(ref0 > 0.f) || !(ref3 > 0.f) || !std::isfinite(ref0) || !std::isfinite(ref3)) return;
  const float* p = shape3D.ptr<float>();
  x = distance3(p + 3 * 0, p + 3 * 16) / ref0;
  y = distance3(p + 3 * 27, p + 3 * 33) / ref3;
  z = 1.f;
}

void Tracker::calibrationMatrixValues(const float* K, float width, float height, double apertureWidth,
                                      double apertureHeight, double& fovX, double& fovY, double& focalLength,
                                      double& aspectRatio) {
  if (!K) return;
  for (int i = 0; i < 9; ++i) {
    if (!std::isfinite(K[i])) return;
  }
  if (!(K[0] > 0.f) || !(K[4] > 0.f)) return;
  if (!(width >= 1.f) || !(height >= 1.f) || !(width < kMaxImageSide + 1.f) || !(height < kMaxImageSide + 1.f)) return;
  if (!std::isfinite(apertureWidth) || !std::isfinite(apertureHeight)) return;
  const cv::Mat_<float> camera = cameraMatrixFrom(K);
  const cv::Size size(static_cast<int>(width), static_cast<int>(height));
  double fx = 0.0, fy = 0.0, focal = 0.0, aspect = 0.0;
  cv::Point2d principal;
  try {
    cv::calibrationMatrixValues(camera, size, apertureWidth, apertureHeight, fx, fy, focal, principal, aspect);
  } catch (const cv::Exception&) {
    return;
  }
  fovX = fx;
  fovY = fy;
  focalLength = focal;
  aspectRatio = aspect;
}

void Tracker::getTransform(float* matrix, const float* camera, const float* distortion) const {
  static cv::Mat s_rvec;
  static cv::Mat s_tvec;
  static bool s_solved = false;
  if (!matrix || !camera) return;
  if (!faceTracker || faceTracker->shape.empty() || faceTracker->shape3D.empty()) {
    reuse_last_frame = false;
    return;
  }
  PointViews views;
  if (!makePointViews(*faceTracker, views)) return;
  solveTransform(views.object, views.image, camera, distortion, s_rvec, s_tvec, s_solved, matrix);
}

void Tracker::getTransformEX(float* matrix, const float* camera, const float* distortion, const int* indices,
                             int count) const {
  static cv::Mat s_rvec;
  static cv::Mat s_tvec;
  static bool s_solved = false;
  if (!matrix || !camera) return;
  if (!faceTracker || faceTracker->shape.empty() || faceTracker->shape3D.empty()) {
    reuse_last_frame = false;
    return;
  }
  if (!indices || count < kMinSolverPoints) return;
  PointViews views;
  if (!makePointViews(*faceTracker, views)) return;
  for (int i = 0; i < count; ++i) {
    if (indices[i] < 0 || indices[i] >= views.n) return;
  }
  cv::Mat image(count, 1, CV_32FC2);
  cv::Mat object(count, 1, CV_32FC3);
  for (int i = 0; i < count; ++i) {
    image.at<cv::Vec2f>(i) = views.image.at<cv::Vec2f>(indices[i]);
    object.at<cv::Vec3f>(i) = views.object.at<cv::Vec3f>(indices[i]);
  }
  solveTransform(object, image, camera, distortion, s_rvec, s_tvec, s_solved, matrix);
}

}  // namespace zeq

extern "C" {

zeq::Tracker* createzeqTracker() { return new (std::nothrow) zeq::Tracker(); }

void destroyzeqTracker(zeq::Tracker* t) {
  delete t;  // the destructor frees the engine and clears the shared flag
}
}
