#include "engine/FaceTracker.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>

#include <opencv2/imgproc.hpp>

#include "engine/EngineHelpers.h"
#include "engine/LandmarkLayout.h"
#include "engine/Rotation.h"
#include "engine/geometry.h"

namespace zeq {

namespace {

// Largest accepted image side: far beyond any camera, small enough that
// width * height cannot overflow an int.
constexpr int kMaxImageSide = 16384;
// Shape models keep the incoming shape within this many standard deviations.
constexpr float kShapeClampFactor = 2.0f;
// Landmark count the built-in fallbacks (eye contours) are written for.
constexpr int kRows66 = layout::kShapeRows;

using detail::allFinite;
using detail::validIndexList;

bool finiteTransform(const cv::Matx23f& m) {
  for (float v : m.val) {
    if (!std::isfinite(v)) return false;
  }
  return true;
}

// Sums of x and y over the listed landmarks of an interleaved 2D shape.
void sumListed(const cv::Mat_<float>& s, const cv::Mat_<int>& indices, float& sx, float& sy) {
  sx = 0.f;
  sy = 0.f;
  for (int r = 0; r < indices.rows; ++r) {
    const int i = indices(r, 0);
    sx += s(2 * i);
    sy += s(2 * i + 1);
  }
}

// Sums of x and y over landmarks first..first+5 (one eye contour of a 66-point shape).
void sumContour(const cv::Mat_<float>& s, int first, float& sx, float& sy) {
  sx = 0.f;
  sy = 0.f;
  for (int i = first; i < first + 6; ++i) {
    sx += s(2 * i);
    sy += s(2 * i + 1);
  }
}

// Eye centre of the initial shape used for placement: the mean of the listed
// landmarks, or of the contour first..first+5 of a 66-point shape without a
// list. False when the list names a landmark outside the shape, or when there
// is neither a list nor a 66-point shape.
bool placementEyeCentre(const cv::Mat_<float>& s0, const cv::Mat_<int>& indices, int contour,
                        cv::Point_<float>& centre) {
  if (!indices.empty()) {
    if (!validIndexList(indices, s0.rows / 2)) return false;
    const float k = 1.f / static_cast<float>(indices.rows);
    sumListed(s0, indices, centre.x, centre.y);
    centre *= k;
    return true;
  }
  if (s0.rows != kRows66) return false;
  sumContour(s0, contour, centre.x, centre.y);
  centre *= static_cast<float>(1.0 / 6.0);
  return true;
}

}  // namespace

bool FaceTracker::hasViews() const {
  return !frontalRegressors.empty() && !positiveYawRegressors.empty() && !negativeYawRegressors.empty() &&
         !frontalShapeModel.empty() && !positiveYawShapeModel.empty() && !negativeYawShapeModel.empty() &&
         featParametersUsable(featureParameters);
}

void FaceTracker::loseFace() {
  shape = cv::Mat_<float>();
  confidence = cv::Mat_<float>();
  pose = cv::Mat_<float>();
  eyePoints.clear();
  translationTrackerReady = false;
  pitch = 0.f;
  yaw = 0.f;
  roll = 0.f;
}

int FaceTracker::update(const unsigned char* image, int width, int height) {
  if (shape.empty()) return 0;
  if (image == nullptr || width <= 0 || height <= 0 || width > kMaxImageSide || height > kMaxImageSide) return 0;
  if (!hasViews()) return 0;
  // The caller's buffer is only read; the header lets OpenCV see it without a copy.
  const cv::Mat_<unsigned char> frame(height, width, const_cast<unsigned char*>(image));
  readRegion_ = cv::Rect();
  try {
    return trackFrame(frame);
  } catch (const std::exception&) {
    // A game must survive a bad frame: drop the face and search again.
    loseFace();
    return 0;
  }
}

int FaceTracker::trackFrame(const cv::Mat_<unsigned char>& image) {
  predictMotion(image);

  // A pose that nobody else holds is overwritten in place.
  detail::releaseIfShared(pose);
  if (!posePredictor.calcPoseInto(shape, pose) || pose.total() != 6 || !allFinite(pose)) {
    loseFace();
    return 0;
  }
  const float yawDeg = viewYawDegrees(pose);

  cv::Matx23f transform;
  cv::Mat_<float>& frameConfidence = frameConfidence_;
  if (!fitShape(image, yawDeg, transform, frameConfidence)) {
    loseFace();
    return 0;
  }
  cv::max(frameConfidence, 0.0, frameConfidence);
  cv::min(frameConfidence, 1.0, frameConfidence);

  const cv::Matx23f inverse = geo::invertTransform2x3(transform);
  if (!finiteTransform(inverse)) {
    loseFace();
    return 0;
  }
  estimateEyeCentres(inverse);
  geo::transform2dInPlace(shape, inverse);

  if (smoothing) {
    smoothPoints(image);
    readRegion_ |= flowTracker.readRegion();
  }
  if (!allFinite(shape)) {
    loseFace();
    return 0;
  }

  readRegion_ |= TranslationTrackerNCC::templateRect(shape, image.size());
  translationTracker.updateModel(image, shape);
  calcShape3D(shape, shape3D, pose);

  storeCopy(confidence, frameConfidence);

  if (eyePoints.size() == 2) {
    cv::Point3_<float> g1(0.f, 0.f, 0.f);
    cv::Point3_<float> g2(0.f, 0.f, 0.f);
    calcGaze(shape3D, pose, eyePoints[0], eyePoints[1], g1, g2);
    gazeVectors.clear();
    gazeVectors.push_back(g1);
    gazeVectors.push_back(g2);
  } else {
    gazeVectors.clear();
  }

  const double mean = cv::sum(confidence)[0] / static_cast<double>(confidence.total());
  if (static_cast<double>(threshold) > mean || pose.total() != 6 || !allFinite(pose)) {
    loseFace();
    return 0;
  }
  computeHeadAngles();
  return 1;
}

float FaceTracker::viewYawDegrees(const cv::Mat_<float>& poseVector) {
  return static_cast<float>(static_cast<double>(poseVector(1) * 180.f) / CV_PI);
}

FaceTracker::ViewChoice FaceTracker::chooseView(float yawDeg) {
  ViewChoice v;
  if (yawDeg < -15.f) {
    v.side = -1;
    v.frontal = false;
    v.sideWeight = 1.f;
  } else if (yawDeg > 15.f) {
    v.side = 1;
    v.frontal = false;
    v.sideWeight = 1.f;
  } else if (yawDeg < -5.f) {
    v.side = -1;
    v.sideWeight = (-5.f - yawDeg) / 10.f;
  } else if (yawDeg > 5.f) {
    v.side = 1;
    v.sideWeight = (yawDeg - 5.f) / 10.f;
  }
  return v;
}

bool FaceTracker::fitShape(const cv::Mat_<unsigned char>& image, float yawDeg, cv::Matx23f& transform,
                           cv::Mat_<float>& frameConfidence) {
  const ViewChoice view = chooseView(yawDeg);
  std::vector<LinearShapeRegressor>& sideCascade = view.side < 0 ? negativeYawRegressors : positiveYawRegressors;
  LinearShapeClassifier& sideClassifier = view.side < 0 ? negativeYawClassifier : positiveYawClassifier;
  // The shapes of this frame live in buffers of their own, reused from frame to
  // frame; shape receives a copy of the result.
  bool transformSet = false;  // not needed here: the transform only counts on success
  if (!view.frontal) {
    const LinearModel& sideModel = view.side < 0 ? negativeYawShapeModel : positiveYawShapeModel;
    if (!setupFeatureInto(image, shape, sideModel, sideCascade, transform, transformSet, startShape_)) return false;
    runCascade(sideCascade, startShape_);
    sideClassifier.predictInto(feature, startShape_, frameConfidence);
    storeCopy(shape, startShape_);
  } else {
    if (!setupFeatureInto(image, shape, frontalShapeModel, frontalRegressors, transform, transformSet, startShape_)) {
      return false;
    }
    startShape_.copyTo(frontalShape_);
    runCascade(frontalRegressors, frontalShape_);
    if (view.side != 0) {
      frontalClassifier.predictInto(feature, frontalShape_, frontalScore_);
      // The side cascade starts from the frontal normalisation: one warp per frame.
      startShape_.copyTo(sideShape_);
      runCascade(sideCascade, sideShape_);
      sideClassifier.predictInto(feature, sideShape_, sideScore_);
      if (sideScore_.size() != frontalScore_.size() || sideShape_.size() != frontalShape_.size()) return false;
      const double wSide = view.sideWeight;
      const double wFront = 1.f - view.sideWeight;
      frameConfidence = sideScore_ * wSide + frontalScore_ * wFront;
      shape = sideShape_ * wSide + frontalShape_ * wFront;
    } else {
      frontalClassifier.predictInto(feature, frontalShape_, frameConfidence);
      storeCopy(shape, frontalShape_);
    }
  }
  return !frameConfidence.empty() && !shape.empty() && allFinite(frameConfidence) && allFinite(shape);
}

void FaceTracker::runCascade(std::vector<LinearShapeRegressor>& cascade, cv::Mat_<float>& s) {
  for (auto& stage : cascade) stage.predictInPlace(feature, s, true);
}

cv::Mat_<float> FaceTracker::setupFeature(const cv::Mat& image, const cv::Mat_<float>& shapeIn,
                                          const LinearModel& shapeModel,
                                          const std::vector<LinearShapeRegressor>& cascade,
                                          cv::Mat_<float>& transform) {
  transform = cv::Mat_<float>();
  cv::Matx23f T;
  bool transformSet = false;
  cv::Mat_<float> out;
  const bool ok = setupFeatureInto(image, shapeIn, shapeModel, cascade, T, transformSet, out);
  if (transformSet) transform = cv::Mat_<float>(T);
  return ok ? out : cv::Mat_<float>();
}

bool FaceTracker::alignToView(const cv::Mat_<float>& s, const LinearModel& shapeModel,
                              const std::vector<LinearShapeRegressor>& cascade, cv::Mat_<float>& parameters,
                              cv::Mat_<float>& regularised, cv::Matx23f& T) {
  if (cascade.empty()) return false;
  if (!shapeModel.projectInto(s, parameters)) {
    if (shapeModel.modes() > 0) return false;
    parameters = cv::Mat_<float>();
  }
  shapeModel.clamp(parameters, kShapeClampFactor);
  if (!shapeModel.reconstructInto(parameters, regularised)) return false;
  return geo::alignPoints2dTo(regularised, cascade[0].referenceShape, T) && finiteTransform(T);
}

bool FaceTracker::setupFeatureInto(const cv::Mat& image, const cv::Mat_<float>& shapeIn,
                                   const LinearModel& shapeModel, const std::vector<LinearShapeRegressor>& cascade,
                                   cv::Matx23f& transform, bool& transformSet, cv::Mat_<float>& out) {
  transformSet = false;
  if (image.empty() || shapeIn.empty()) return false;
  if (!alignToView(shapeIn, shapeModel, cascade, shapeParameters_, regularised_, transform)) return false;
  transformSet = true;

  readRegion_ |= warpSource(transform, featureParameters.warpSize) & cv::Rect(0, 0, image.cols, image.rows);
  cv::warpAffine(image, warpedImage, transform, featureParameters.warpSize, cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                 cv::Scalar(0));
  if (!feature.setup(warpedImage)) return false;
  geo::transform2dInto(regularised_, transform, out);
  return true;
}

void FaceTracker::predictMotion(const cv::Mat_<unsigned char>& image) {
  if (!translationTrackerReady) {
    readRegion_ |= TranslationTrackerNCC::templateRect(shape, image.size());
    translationTracker.init(image, shape);
    translationTrackerReady = true;
    return;
  }
  const int oldX = translationTracker.rect.x;
  const int oldY = translationTracker.rect.y;
  readRegion_ |= translationTracker.searchWindow(image.size());
  translationTracker.track(image);
  const int dx = translationTracker.rect.x - oldX;
  const int dy = translationTracker.rect.y - oldY;
  if (dx == 0 && dy == 0) return;
  const int n = shape.rows / 2;
  for (int i = 0; i < n; ++i) {
    shape(2 * i) += static_cast<float>(dx);
    shape(2 * i + 1) += static_cast<float>(dy);
  }
}

void FaceTracker::estimateEyeCentres(const cv::Matx23f& inverse) {
  eyePoints.clear();
  if (!(std::abs(static_cast<double>(pose(1) * 180.f) / CV_PI) < 20.0)) return;

  const int n = shape.rows / 2;
  eyeVector_.create(4, 1);
  // Index tables that do not fit the shape are treated as absent.
  if (validIndexList(firstEyeIndices, n) && validIndexList(secondEyeIndices, n)) {
    float sx, sy;
    sumListed(shape, firstEyeIndices, sx, sy);
    eyeVector_(0) = sx / static_cast<float>(firstEyeIndices.rows);
    eyeVector_(1) = sy / static_cast<float>(firstEyeIndices.rows);
    sumListed(shape, secondEyeIndices, sx, sy);
    eyeVector_(2) = sx / static_cast<float>(secondEyeIndices.rows);
    eyeVector_(3) = sy / static_cast<float>(secondEyeIndices.rows);
  } else if (shape.rows == kRows66) {
    const float sixth = static_cast<float>(1.0 / 6.0);
    sumContour(shape, layout::kFirstEye.first, eyeVector_(0), eyeVector_(1));
    sumContour(shape, layout::kSecondEye.first, eyeVector_(2), eyeVector_(3));
    for (int r = 0; r < 4; ++r) eyeVector_(r) *= sixth;
  } else {
    return;
  }

  for (auto& stage : eyeRegressors) stage.predictInPlace(feature, eyeVector_, false);
  const cv::Mat_<float>& e = eyeVector_;
  if (e.total() != 4) return;
  geo::transform2dInPlace(eyeVector_, inverse);
  if (!allFinite(e)) return;
  eyePoints.emplace_back(e(0), e(1));
  eyePoints.emplace_back(e(2), e(3));
}

void FaceTracker::smoothPoints(const cv::Mat_<unsigned char>& image) {
  const int n = shape.rows / 2;
  if (n == 0) return;
  const int rows = 2 * n;
  flowPoints_.create(rows + 4, 1);
  for (int r = 0; r < rows; ++r) flowPoints_(r) = shape(r);
  float* extra = flowPoints_.ptr<float>(rows);

  if (eyePoints.size() == 2) {
    extra[0] = eyePoints[0].x;
    extra[1] = eyePoints[0].y;
    extra[2] = eyePoints[1].x;
    extra[3] = eyePoints[1].y;
  } else if (validIndexList(firstEyeIndices, n) && validIndexList(secondEyeIndices, n)) {
    float sx, sy;
    sumListed(shape, firstEyeIndices, sx, sy);
    extra[0] = sx / static_cast<float>(firstEyeIndices.rows);
    extra[1] = sy / static_cast<float>(firstEyeIndices.rows);
    sumListed(shape, secondEyeIndices, sx, sy);
    extra[2] = sx / static_cast<float>(secondEyeIndices.rows);
    extra[3] = sy / static_cast<float>(secondEyeIndices.rows);
  } else if (shape.rows == kRows66) {
    const float sixth = static_cast<float>(1.0 / 6.0);
    sumContour(shape, layout::kFirstEye.first, extra[0], extra[1]);
    sumContour(shape, layout::kSecondEye.first, extra[2], extra[3]);
    for (int r = 0; r < 4; ++r) extra[r] *= sixth;
  } else {
    // The flow tracker always follows n + 2 points; repeat the first landmarks.
    for (int r = 0; r < 4; ++r) extra[r] = r < rows ? shape(r) : shape(r % rows);
  }

  flowTracker.calcFlow(image, flowPoints_);
  if (flowPoints_.total() != static_cast<std::size_t>(rows + 4)) return;

  for (int r = 0; r < rows; ++r) shape(r) = flowPoints_(r);
  if (eyePoints.size() == 2) {
    eyePoints[0] = cv::Point_<float>(flowPoints_(rows), flowPoints_(rows + 1));
    eyePoints[1] = cv::Point_<float>(flowPoints_(rows + 2), flowPoints_(rows + 3));
  }
}

void FaceTracker::storeCopy(cv::Mat_<float>& dst, const cv::Mat_<float>& src) {
  if (dst.data != nullptr && dst.u != nullptr && dst.u->refcount == 1 && dst.size() == src.size() &&
      dst.data != src.data) {
    src.copyTo(dst);
  } else {
    dst = src.clone();
  }
}

void FaceTracker::computeHeadAngles() { headAngles(pose, pitch, yaw, roll); }

void FaceTracker::headAngles(const cv::Mat_<float>& poseVector, float& pitchOut, float& yawOut, float& rollOut) {
  pitchOut = yawOut = rollOut = 0.f;
  if (poseVector.total() < 3 || (poseVector.rows != 1 && poseVector.cols != 1)) return;
  const cv::Matx33f R = rotationFromVector(poseVector(0), poseVector(1), poseVector(2));
  const float w = 0.5f * std::sqrt(((R(0, 0) + 1.f) + R(1, 1)) + R(2, 2));
  double p, y, r;
  if (w > 1e-3f) {
    const double x4 = static_cast<double>(R(2, 1) - R(1, 2)) / (4.0 * w);
    const double y4 = static_cast<double>(R(0, 2) - R(2, 0)) / (4.0 * w);
    const double z4 = static_cast<double>(R(1, 0) - R(0, 1)) / (4.0 * w);
    const double wd = w;
    p = std::atan2(2.0 * (x4 * wd - y4 * z4), wd * wd - x4 * x4 - y4 * y4 + z4 * z4);
    y = std::asin(std::max(-1.0, std::min(1.0, 2.0 * (x4 * z4 + y4 * wd))));
    r = std::atan2(2.0 * (z4 * wd - x4 * y4), x4 * x4 + wd * wd - y4 * y4 - z4 * z4);
  } else {
    // Near a half turn w vanishes (or the square root's argument rounds below 0)
    // and the quaternion loses its precision; for a unit quaternion the three
    // expressions above equal these entries of R, which stay exact.
    p = std::atan2(-static_cast<double>(R(1, 2)), static_cast<double>(R(2, 2)));
    y = std::asin(std::max(-1.0, std::min(1.0, static_cast<double>(R(0, 2)))));
    r = std::atan2(-static_cast<double>(R(0, 1)), static_cast<double>(R(0, 0)));
  }
  if (!std::isfinite(p) || !std::isfinite(y) || !std::isfinite(r)) return;
  pitchOut = static_cast<float>(p);
  yawOut = static_cast<float>(y);
  rollOut = static_cast<float>(r);
}

bool FaceTracker::reset(int x, int y, int w, int h) {
  std::printf("enter 1\n");
  loseFace();
  flowTracker.reset();
  std::printf("enter 2\n");
  if (x < 0 || w < 1) return false;

  try {
    if (initialShape.empty() || initialShape.cols != 1 || initialShape.rows < 2) return false;
    const cv::Mat_<float>& s0 = initialShape;
    cv::Point_<float> e1, e2;
    if (!placementEyeCentre(s0, firstEyeIndices, layout::kFirstEye.first, e1) ||
        !placementEyeCentre(s0, secondEyeIndices, layout::kSecondEye.first, e2)) {
      return false;
    }

    const float fx = static_cast<float>(x), fy = static_cast<float>(y);
    const float fw = static_cast<float>(w), fh = static_cast<float>(h);
    const cv::Point_<float> t1(fx + 0.3f * fw, fy + 0.2f * fh);
    const cv::Point_<float> t2(fx + 0.7f * fw, fy + 0.2f * fh);
    const double eyeDistance = cv::norm(e2 - e1);
    if (!(eyeDistance > 0.0) || !std::isfinite(eyeDistance)) return false;
    const float s = static_cast<float>(cv::norm(t2 - t1) / eyeDistance);
    if (!std::isfinite(s)) return false;

    cv::Mat_<float> placed = initialShape * static_cast<double>(s);
    if (placed.rows >= 2) {
      const float tx = (t1.x + t2.x) / 2.f - (s * e1.x + s * e2.x) / 2.f;
      const float ty = (t1.y + t2.y) / 2.f - (s * e1.y + s * e2.y) / 2.f;
      for (int i = 0; i < placed.rows / 2; ++i) {
        placed(2 * i) += tx;
        placed(2 * i + 1) += ty;
      }
    }
    if (!allFinite(placed)) return false;
    shape = placed;
    return true;
  } catch (const std::exception&) {
    shape = cv::Mat_<float>();
    return false;
  }
}

}  // namespace zeq
