#include "tracker/Tracker.h"

#include <cmath>
#include <cstdio>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include "engine/Placement.h"

namespace zeq {


namespace {

static_assert(sizeof(cv::Point_<float>) == 2 * sizeof(float), "output points must be packed x, y pairs");

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

bool within(float v, float lo, float hi) { return std::isfinite(v) && v >= lo && v <= hi; }

// The 3 x 1 double vector as floats; false when a value is not finite after the
// narrowing cast (a double beyond the float range becomes infinity) or exceeds limit.
bool narrowed(const cv::Mat& v, double limit, float (&out)[3]) {
  if (v.total() != 3 || v.depth() != CV_64F) return false;
  const cv::Mat_<double> d = v;
  for (int i = 0; i < 3; ++i) {
    out[i] = static_cast<float>(d(i));
    if (!std::isfinite(out[i]) || std::fabs(d(i)) > limit) return false;
  }
  return true;
}

// A pose explains the landmarks when its reprojection error stays below their
// own spread about their centroid (RMS, pixels); a solver that diverged or
// stalled on a degenerate start fails this by orders of magnitude.
bool explainsLandmarks(const cv::Mat& object, const cv::Mat& image, const cv::Mat& K, const cv::Mat& dist,
                       const cv::Mat& rvec, const cv::Mat& tvec) {
  cv::Mat projected;
  try {
    cv::projectPoints(object, rvec, tvec, K, dist, projected);
    projected.convertTo(projected, CV_64F);
  } catch (const cv::Exception&) {
    return false;
  }
  const int n = image.rows;
  if (n == 0 || projected.total() != static_cast<std::size_t>(n) || projected.channels() != 2) return false;
  projected = projected.reshape(2, n);
  cv::Point2d centre(0, 0);
  for (int i = 0; i < n; ++i) centre += cv::Point2d(image.at<cv::Vec2f>(i)[0], image.at<cv::Vec2f>(i)[1]);
  centre *= 1.0 / n;
  double error = 0.0, spread = 0.0;
  for (int i = 0; i < n; ++i) {
    const cv::Point2d p(image.at<cv::Vec2f>(i)[0], image.at<cv::Vec2f>(i)[1]);
    const cv::Vec2d q = projected.at<cv::Vec2d>(i);
    const cv::Point2d d = cv::Point2d(q[0], q[1]) - p;
    const cv::Point2d c = p - centre;
    error += d.dot(d);
    spread += c.dot(c);
  }
  return std::isfinite(error) && error <= spread;
}

}  // namespace

Tracker::~Tracker() {
  delete faceTracker;
  faceTracker = nullptr;
}

void Tracker::forgetPoses() {
  reuse_last_frame = false;
  transformSeed_ = SolverSeed();
  transformEXSeed_ = SolverSeed();
}

void Tracker::releaseData() {
  delete faceTracker;
  faceTracker = nullptr;
  modelReady_ = false;
  forgetPoses();
}

void Tracker::replaceEngine() {
  delete faceTracker;
  faceTracker = nullptr;
  forgetPoses();
  modelReady_ = false;
  lastError_.clear();
  faceTracker = new FaceTracker();
}

void Tracker::swap(Tracker& other) noexcept {
  std::swap(faceTracker, other.faceTracker);
  std::swap(reuse_last_frame, other.reuse_last_frame);
  std::swap(modelReady_, other.modelReady_);
  lastError_.swap(other.lastError_);
  const auto swapSeeds = [](SolverSeed& a, SolverSeed& b) {
    cv::swap(a.rvec, b.rvec);
    cv::swap(a.tvec, b.tvec);
    std::swap(a.solved, b.solved);
  };
  swapSeeds(transformSeed_, other.transformSeed_);
  swapSeeds(transformEXSeed_, other.transformEXSeed_);
}

void Tracker::computeReferenceDistances() {
  float* out = faceTracker->referenceDistances;
  const cv::Mat_<float> mean = continuousFloats(faceTracker->referenceModel3D.mean);
  if (!faceTracker->hasModel3D || mean.total() < 3 * static_cast<size_t>(kReferencePoints)) {
    // No usable 3D reference (none, too short, or switched off by the model
    // checks): zero distances make the 3D scale unavailable.
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
  lastError_ = modelDir ? faceTracker->lastError() : "No model directory given";
  return result;
}

int Tracker::initialiseFromMemory(const unsigned char* data, std::size_t size) {
  replaceEngine();
  const int result = faceTracker->initialiseWithCombinedModel(data, size);
  computeReferenceDistances();
  modelReady_ = result == 0;
  lastError_ = faceTracker->lastError();
  return result;
}

int Tracker::load(const char* path) {
  replaceEngine();
  // This path never measures the 3D reference; zero distances keep getScale3D from using them.
  for (float& d : faceTracker->referenceDistances) d = 0.f;
  const int result = path ? faceTracker->load(path) : -1;
  modelReady_ = result == 0;
  lastError_ = path ? faceTracker->lastError() : "No model file given";
  return result;
}

bool Tracker::frameRegion(int width, int height, cv::Rect& roi) const {
  return faceTracker != nullptr && faceTracker->frameRegion(width, height, roi);
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

  if (x < 0 || width <= 0 || !modelReady_) return false;
  cv::Mat_<float> placed;
  if (!placeByEyes(e.initialShape, x, y, width, height, placed)) return false;
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
  if (!within(focal, kMinFocal, kMaxFocal) || !within(cx, -kMaxPrincipal, kMaxPrincipal) ||
      !within(cy, -kMaxPrincipal, kMaxPrincipal))
    return;
  PointViews views;
  if (!makePointViews(*faceTracker, views)) return;
  const cv::Matx33d K(focal, 0.0, cx, 0.0, focal, cy, 0.0, 0.0, 1.0);
  cv::Mat rvec, tvec;
  try {
    if (!cv::solvePnP(views.object, views.image, K, cv::Mat(), rvec, tvec, false, cv::SOLVEPNP_EPNP)) return;
  } catch (const cv::Exception&) {
    return;
  }
  float t[3];
  if (!narrowed(tvec, kMaxTranslation, t) || !explainsLandmarks(views.object, views.image, cv::Mat(K), cv::Mat(), rvec, tvec))
    return;
  x = t[0];
  y = t[1];
  z = t[2];
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

bool Tracker::cameraUsable(const float* camera, const float* distortion) {
  if (!camera) return false;
  for (int i = 0; i < 9; ++i) {
    if (!std::isfinite(camera[i])) return false;
  }
  if (!within(camera[0], kMinFocal, kMaxFocal) || !within(camera[4], kMinFocal, kMaxFocal)) return false;
  for (int i : {1, 2, 5}) {
    if (!within(camera[i], -kMaxPrincipal, kMaxPrincipal)) return false;
  }
  if (distortion) {
    for (int i = 0; i < 5; ++i) {
      if (!within(distortion[i], -kMaxDistortion, kMaxDistortion)) return false;
    }
  }
  return true;
}

// Solves the head pose, seeded by the stored one when allowed, and writes the
// 4 x 4 transform. A failed, non-finite or absurd solve writes nothing and is
// not kept: the next call starts from scratch.
void Tracker::solveTransform(const cv::Mat& object, const cv::Mat& image, const float* camera,
                             const float* distortion, SolverSeed& seed, float* matrix) {
  const cv::Mat_<float> K = cameraMatrixFrom(camera);
  const cv::Mat dist = distortionFrom(distortion);
  const bool guess = reuse_last_frame && seed.solved;
  cv::Mat rvec = guess ? seed.rvec.clone() : cv::Mat::zeros(3, 1, CV_64F);
  cv::Mat tvec = guess ? seed.tvec.clone() : cv::Mat::zeros(3, 1, CV_64F);
  bool ok = false;
  try {
    ok = cv::solvePnP(object, image, K, dist, rvec, tvec, guess, guess ? cv::SOLVEPNP_ITERATIVE : cv::SOLVEPNP_EPNP);
  } catch (const cv::Exception&) {
    ok = false;
  }
  float r[3], t[3];
  // A rotation vector is an angle times an axis; anything beyond a few turns is noise.
  ok = ok && narrowed(rvec, 100.0, r) && narrowed(tvec, kMaxTranslation, t) &&
       explainsLandmarks(object, image, K, dist, rvec, tvec);
  cv::Mat R;
  if (ok) {
    cv::Rodrigues(rvec, R);
    ok = allFinite(R);
  }
  if (!ok) {
    seed = SolverSeed();
    reuse_last_frame = false;
    return;
  }
  seed.rvec = rvec;
  seed.tvec = tvec;
  seed.solved = true;
  reuse_last_frame = true;
  const cv::Mat_<double> Rd = R;
  for (int c = 0; c < 3; ++c) {
    for (int row = 0; row < 3; ++row) matrix[4 * c + row] = static_cast<float>(Rd(row, c));
    matrix[4 * c + 3] = 0.f;
  }
  for (int row = 0; row < 3; ++row) matrix[12 + row] = t[row];
  matrix[15] = 1.f;
}

void Tracker::getTransform(float* matrix, const float* camera, const float* distortion) {
  if (!matrix || !camera) return;
  if (!faceTracker || faceTracker->shape.empty() || faceTracker->shape3D.empty()) {
    reuse_last_frame = false;
    return;
  }
  if (!cameraUsable(camera, distortion)) return;
  PointViews views;
  if (!makePointViews(*faceTracker, views)) return;
  solveTransform(views.object, views.image, camera, distortion, transformSeed_, matrix);
}

void Tracker::getTransformEX(float* matrix, const float* camera, const float* distortion, const int* indices,
                             int count) {
  if (!matrix || !camera) return;
  if (!faceTracker || faceTracker->shape.empty() || faceTracker->shape3D.empty()) {
    reuse_last_frame = false;
    return;
  }
  if (!indices || count < kMinSolverPoints || !cameraUsable(camera, distortion)) return;
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
  solveTransform(object, image, camera, distortion, transformEXSeed_, matrix);
}

}  // namespace zeq

extern "C" {

zeq::Tracker* createzeqTracker() { return new (std::nothrow) zeq::Tracker(); }

void destroyzeqTracker(zeq::Tracker* t) {
  delete t;  // the destructor frees the engine
}
}
