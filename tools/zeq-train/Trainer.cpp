#include "Trainer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

#include "Accumulators.h"
#include "Reference3D.h"
#include "engine/BackProjection.h"
#include "engine/FaceDetector.h"
#include "engine/LandmarkLayout.h"
#include "engine/geometry.h"

namespace zeq {
namespace train {

namespace {

constexpr int kN = kPoints;       // landmarks
constexpr int kRows = 2 * kN;     // shape rows

double uniform(std::mt19937& rng, double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); }
double gauss(std::mt19937& rng, double sigma) { return std::normal_distribution<double>(0.0, sigma)(rng); }

// Rotation by `angle`, scaling by `scale` about `centre`, then a shift.
cv::Mat_<float> moveShape(const cv::Mat_<float>& s, const cv::Point2d& centre, double angle, double scale,
                          const cv::Point2d& shift) {
  Similarity m;
  m.a = scale * std::cos(angle);
  m.b = scale * std::sin(angle);
  m.tx = centre.x - (m.a * centre.x - m.b * centre.y) + shift.x;
  m.ty = centre.y - (m.b * centre.x + m.a * centre.y) + shift.y;
  return applySimilarity(m, s);
}

cv::Mat_<float> deepClone(const cv::Mat_<float>& m) { return m.empty() ? cv::Mat_<float>() : m.clone(); }

LinearShapeRegressor cloneStage(const LinearShapeRegressor& s) {
  LinearShapeRegressor c;
  c.referenceShape = deepClone(s.referenceShape);
  c.mixMatrix = deepClone(s.mixMatrix);
  c.featureMatrix = deepClone(s.featureMatrix);
  c.offset = deepClone(s.offset);
  c.refreshCopies();
  return c;
}

LinearShapeClassifier cloneClassifier(const LinearShapeClassifier& s) {
  LinearShapeClassifier c;
  c.referenceShape = deepClone(s.referenceShape);
  c.mixMatrix = deepClone(s.mixMatrix);
  c.featureMatrix = deepClone(s.featureMatrix);
  c.offset = deepClone(s.offset);
  return c;
}

Sample makeSample(int photo, const cv::Mat_<float>& start, SampleKind kind) {
  Sample s;
  s.photo = photo;
  s.start = start;
  s.kind = kind;
  return s;
}

double meanDiagonal(const Eigen::MatrixXd& m) { return std::max(m.trace() / m.rows(), 1e-12); }

// Classifier target for a mean normalised error.
float targetFor(double error, double good, double bad) {
  if (!std::isfinite(error)) return 0.f;
  return static_cast<float>(std::clamp((bad - error) / (bad - good), 0.0, 1.0));
}

}  // namespace

// Per-thread engine state: predict() and Feature keep scratch buffers, so each
// thread works on its own copies of the stages and its own FaceTracker.
struct Trainer::Worker {
  std::unique_ptr<FaceTracker> engine = std::make_unique<FaceTracker>();
  std::vector<LinearShapeRegressor> anchor[kViews];  // reference-only stage for setupFeature
  std::vector<LinearShapeRegressor> stages[kViews];
  LinearShapeClassifier classifier[kViews];
  cv::Mat_<float> descriptor;

  // Normalises the frame for `warp` exactly as the engine's update does.
  bool prepare(const cv::Mat& image, const cv::Mat_<float>& start, const LinearModel& model, int warp,
               cv::Mat_<float>& s0, cv::Mat_<float>& transform) {
    s0 = engine->setupFeature(image, start, model, anchor[warp], transform);
    return !s0.empty() && !transform.empty();
  }

  void run(int view, int count, cv::Mat_<float>& s) {
    for (int j = 0; j < count && j < static_cast<int>(stages[view].size()); ++j)
      s = stages[view][j].predict(engine->feature, s, true);
  }
};

Trainer::Trainer(std::vector<Photo>& photos, const TrainOptions& options)
    : photos_(photos), opt_(options), begin_(std::chrono::steady_clock::now()) {}

Trainer::~Trainer() = default;

double Trainer::elapsed() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin_).count();
}

const LinearModel& Trainer::modelForYaw(float yaw) const {
  if (yaw > opt_.frontalYaw - 5) return shapeModel_[kPositive];
  if (yaw < -(opt_.frontalYaw - 5)) return shapeModel_[kNegative];
  return shapeModel_[kFrontal];
}

void Trainer::buildShapeModels() {
  std::vector<cv::Mat_<float>> sets[kViews];
  for (const auto& p : photos_) {
    if (p.tune) continue;
    if (std::abs(p.yaw) <= opt_.frontalYaw) sets[kFrontal].push_back(p.truth);
    if (p.yaw >= opt_.sideYaw) sets[kPositive].push_back(p.truth);
    if (p.yaw <= -opt_.sideYaw) sets[kNegative].push_back(p.truth);
  }
  for (int v = 0; v < kViews; ++v) {
    if (sets[v].size() < 50) {
      std::printf("too few shapes (%zu) for the %s view\n", sets[v].size(), viewName(v));
      std::exit(1);
    }
    ShapeModelReport report;
    shapeModel_[v] = buildShapeModel(sets[v], opt_.shape, &report);
    nonRigidModes_[v] = report.nonRigidModes;
    std::printf("  %s shape model: %zu shapes, %d modes (+%d turned), %.1f %% of the non-rigid variance\n",
                viewName(v), sets[v].size(), report.nonRigidModes, report.rotatedModes,
                100.0 * report.varianceExplained);
  }

  // Normalised frame: the frontal mean centred in the warp with its landmark box
  // referenceBox pixels on its longer side. The side references are their means
  // aligned onto it, so that a face has the same scale in every view's frame
  // (the side cascades also run on the frontal frame between 5 and 15 degrees).
  const FeatParameters params;
  const cv::Rect2f box = landmarkBox(shapeModel_[kFrontal].mean);
  const double k = opt_.referenceBox / std::max(box.width, box.height);
  Similarity m;
  m.a = k;
  m.b = 0;
  m.tx = params.warpSize.width * 0.5 - k * (box.x + box.width * 0.5);
  m.ty = params.warpSize.height * 0.5 - k * (box.y + box.height * 0.5);
  reference_[kFrontal] = applySimilarity(m, shapeModel_[kFrontal].mean);
  for (int v : {kPositive, kNegative}) {
    Similarity onto = alignSimilarity(shapeModel_[v].mean, reference_[kFrontal]);
    // Same scale as the frontal frame, but centred: a turned face's landmarks
    // sit off-centre after the alignment, and the stages only care about scale
    // (they align the shape to their reference before every increment).
    const cv::Rect2f b = landmarkBox(applySimilarity(onto, shapeModel_[v].mean));
    onto.tx += params.warpSize.width * 0.5 - (b.x + b.width * 0.5);
    onto.ty += params.warpSize.height * 0.5 - (b.y + b.height * 0.5);
    reference_[v] = applySimilarity(onto, shapeModel_[v].mean);
  }
  for (int v = 0; v < kViews; ++v) {
    const cv::Rect2f b = landmarkBox(reference_[v]);
    std::printf("  %s reference: landmarks in x %.1f..%.1f, y %.1f..%.1f of the %dx%d frame\n", viewName(v), b.x,
                b.x + b.width, b.y, b.y + b.height, params.warpSize.width, params.warpSize.height);
  }
  const cv::Point2d c = centroid(reference_[kFrontal]);
  const double r = rmsSize(reference_[kFrontal]);
  unitReference_ = moveShape(reference_[kFrontal], c, 0.0, 1.0 / r, -c);

  // What the engine's regularisation (project, clamp at 2, reconstruct) does
  // to real faces of the sizes a camera shows, upright and rolled by 20
  // degrees: the error it introduces, in the usual normalised units.
  for (int v = 0; v < kViews; ++v) {
    std::printf("  %s regularisation error on the tuning truths (face width: mean / max):", viewName(v));
    for (double width : {80.0, 200.0, 400.0, 600.0}) {
      double sum = 0, worst = 0;
      long n = 0;
      for (const auto& p : photos_) {
        if (!p.tune) continue;
        const bool inView = v == kFrontal ? std::abs(p.yaw) <= opt_.frontalYaw
                                          : (v == kPositive ? p.yaw >= opt_.sideYaw : p.yaw <= -opt_.sideYaw);
        if (!inView) continue;
        const double k = width / landmarkBox(p.truth).width;
        for (double roll : {0.0, 20.0}) {
          const cv::Mat_<float> s = moveShape(p.truth, centroid(p.truth), roll * CV_PI / 180, k, cv::Point2d(300, 300));
          cv::Mat_<float> params = shapeModel_[v].project(s);
          shapeModel_[v].clamp(params, 2.0f);
          const double e = normalisedError(shapeModel_[v].reconstruct(params), s);
          sum += e;
          worst = std::max(worst, e);
          ++n;
        }
      }
      std::printf(" %.0f px %.4f / %.4f;", width, sum / std::max(1L, n), worst);
    }
    std::printf("\n");
  }
}

void Trainer::setPlacementErrors(std::vector<PlacementError> errors) {
  // Mirrored photos see the mirrored error.
  const std::size_t n = errors.size();
  for (std::size_t i = 0; i < n; ++i) {
    PlacementError m = errors[i];
    m.dx = -m.dx;
    m.yaw = -m.yaw;
    errors.push_back(m);
  }
  std::sort(errors.begin(), errors.end(), [](const PlacementError& a, const PlacementError& b) { return a.yaw < b.yaw; });
  placement_ = std::move(errors);
}

std::vector<Route> Trainer::routesFor(const cv::Mat_<float>& start) const {
  const FaceTracker::ViewChoice v = FaceTracker::chooseView(yawOf(start, reference3D_.mean));
  const int side = v.side < 0 ? kNegative : kPositive;
  if (!v.frontal) return {{static_cast<signed char>(side), static_cast<signed char>(side)}};
  if (v.side != 0) return {{kFrontal, kFrontal}, {kFrontal, static_cast<signed char>(side)}};
  return {{kFrontal, kFrontal}};
}

cv::Mat_<float> Trainer::detectionStart(const Photo& p, std::mt19937& rng) const {
  // Error of a photo with a similar yaw: the detector box sits differently on turned faces.
  PlacementError e;
  if (!placement_.empty()) {
    const auto it = std::lower_bound(placement_.begin(), placement_.end(), p.yaw,
                                     [](const PlacementError& a, float y) { return a.yaw < y; });
    const long centre = it - placement_.begin();
    const long window = 30;
    const long lo = std::max<long>(0, centre - window);
    const long hi = std::min<long>(static_cast<long>(placement_.size()) - 1, centre + window);
    e = placement_[static_cast<std::size_t>(std::uniform_int_distribution<long>(lo, hi)(rng))];
  }
  const double dx = e.dx + gauss(rng, 0.02), dy = e.dy + gauss(rng, 0.02);
  const double logScale = e.logScale + gauss(rng, 0.02);
  const cv::Point2d c = centroid(p.truth);
  const double s = rmsSize(p.truth);
  // The placement never turns the reference: roll shows up as rotation error.
  return moveShape(unitReference_, cv::Point2d(0, 0), 0.0, s * std::exp(logScale),
                   cv::Point2d(c.x + s * dx, c.y + s * dy));
}

cv::Mat_<float> Trainer::trackingStart(const Photo& p, std::mt19937& rng, double widen) const {
  const LinearModel& model = modelForYaw(p.yaw);
  const int view = &model == &shapeModel_[kFrontal] ? kFrontal : &model == &shapeModel_[kPositive] ? kPositive : kNegative;
  // Non-rigid change since the previous frame, drawn in the model's modes and
  // brought to the face's size and roll.
  cv::Mat_<float> noise = cv::Mat_<float>::zeros(kRows, 1);
  for (int k = 0; k < nonRigidModes_[view]; ++k) {
    const double sd = model.modeScale(4 + k) / opt_.shape.scaleFactor;
    noise += model.basis.col(4 + k) * static_cast<float>(gauss(rng, opt_.trackNonRigid * widen * sd));
  }
  const Similarity toFace = alignSimilarity(model.mean, p.truth);
  cv::Mat_<float> s = p.truth.clone();
  for (int i = 0; i < kN; ++i) {
    const double x = noise(2 * i), y = noise(2 * i + 1);
    s(2 * i) += static_cast<float>(toFace.a * x - toFace.b * y);
    s(2 * i + 1) += static_cast<float>(toFace.b * x + toFace.a * y);
  }
  const double iod = interocular(p.truth);
  const cv::Point2d shift(gauss(rng, opt_.trackTranslation * widen * iod), gauss(rng, opt_.trackTranslation * widen * iod));
  const double angle = gauss(rng, opt_.trackRotationDeg * widen * CV_PI / 180.0);
  const double scale = std::exp(gauss(rng, opt_.trackLogScale * widen));
  return moveShape(s, centroid(p.truth), angle, scale, shift);
}

cv::Mat_<float> Trainer::farStart(const Photo& p, std::mt19937& rng) const {
  const cv::Rect2f box = landmarkBox(p.truth);
  const double width = std::max(box.width, box.height);
  const double angle = uniform(rng, -35, 35) * CV_PI / 180.0;
  const double scale = std::exp(uniform(rng, -0.5, 0.5));
  const double radius = uniform(rng, 0.3, 0.9) * width;
  const double dir = uniform(rng, 0, 2 * CV_PI);
  const cv::Point2d c = centroid(p.truth);
  const cv::Point2d shift(radius * std::cos(dir), radius * std::sin(dir));
  if (std::uniform_int_distribution<int>(0, 1)(rng) == 0) return moveShape(p.truth, c, angle, scale, shift);
  const cv::Mat_<float> placed = moveShape(unitReference_, cv::Point2d(0, 0), 0.0, rmsSize(p.truth), c);
  return moveShape(placed, c, angle, scale, shift);
}

bool Trainer::backgroundStart(const Photo& p, std::mt19937& rng, cv::Mat_<float>& start) const {
  const cv::Rect2f face = landmarkBox(p.truth);
  const double faceSide = 1.1 * std::max(face.width, face.height);
  const cv::Rect2f faceBox(face.x + face.width * 0.5f - float(faceSide * 0.5), face.y - float(faceSide * 0.2),
                           float(faceSide), float(faceSide));
  for (int attempt = 0; attempt < 30; ++attempt) {
    const double side = faceSide * uniform(rng, 0.6, 1.5);
    if (side < 40) continue;
    const double x = uniform(rng, -0.3 * side, p.grey.cols - 0.7 * side);
    const double y = uniform(rng, -0.3 * side, p.grey.rows - 0.7 * side);
    const cv::Rect2f b(static_cast<float>(x), static_cast<float>(y), static_cast<float>(side), static_cast<float>(side));
    const float inter = (b & faceBox).area();
    if (inter / (b.area() + faceBox.area() - inter) > 0.1f) continue;
    const double which = uniform(rng, 0, 1);
    const int view = which < 0.6 ? kFrontal : which < 0.8 ? kPositive : kNegative;
    start = placeInBox(reference_[view], FaceDetector::trackerBox(cv::Rect(b)));
    if (!start.empty()) return true;
  }
  return false;
}

void Trainer::makeSamples() {
  std::mt19937 rng(opt_.seed);
  samples_.clear();
  auto fractional = [&rng](double expected) {
    int n = static_cast<int>(expected);
    if (uniform(rng, 0, 1) < expected - n) ++n;
    return n;
  };
  for (int i = 0; i < static_cast<int>(photos_.size()); ++i) {
    const Photo& p = photos_[i];
    const bool strong = p.strong || p.tune;
    const int det = strong ? opt_.strongDetectionStarts : opt_.weakDetectionStarts;
    const int track = strong ? opt_.strongTrackingStarts : opt_.weakTrackingStarts;
    for (int j = 0; j < det; ++j) samples_.push_back(makeSample(i, detectionStart(p, rng), kDetectionStart));
    for (int j = 0; j < track; ++j) {
      const double widen = uniform(rng, 0, 1) < opt_.trackBigFraction ? 2.5 : 1.0;
      samples_.push_back(makeSample(i, trackingStart(p, rng, widen), kTrackingStart));
    }
    const int far = fractional(strong ? opt_.strongFarStarts : opt_.weakFarStarts);
    for (int j = 0; j < far; ++j) samples_.push_back(makeSample(i, farStart(p, rng), kFarStart));
    const int background = fractional(strong ? opt_.strongBackgroundStarts : opt_.weakBackgroundStarts);
    for (int j = 0; j < background; ++j) {
      cv::Mat_<float> s;
      if (backgroundStart(p, rng, s)) samples_.push_back(makeSample(i, s, kBackground));
    }
    // Covered faces, for the classifiers: a placement or a tracking start on the
    // photo with an occluder painted over part of the face.
    const int occluded = fractional(strong ? opt_.strongOccludedStarts : opt_.weakOccludedStarts);
    for (int j = 0; j < occluded; ++j) {
      const bool detection = uniform(rng, 0, 1) < 0.5;
      Sample smp = detection ? makeSample(i, detectionStart(p, rng), kDetectionStart)
                             : makeSample(i, trackingStart(p, rng, 1.0), kTrackingStart);
      smp.occluder = randomOccluder(p.truth, static_cast<int>(photos_.size()), rng);
      samples_.push_back(smp);
    }
  }
  // The view (or pair of views) the engine would run on each start.
  parallelRange(static_cast<int>(samples_.size()), opt_.threads, [&](int, int i) {
    const std::vector<Route> r = routesFor(samples_[i].start);
    samples_[i].routes = static_cast<signed char>(r.size());
    for (std::size_t j = 0; j < r.size(); ++j) samples_[i].route[j] = r[j];
  });
  long counts[4] = {0, 0, 0, 0}, perView[kViews] = {0, 0, 0}, occludedCount = 0;
  double startError[4] = {0, 0, 0, 0};
  for (const auto& s : samples_) {
    ++counts[s.kind];
    occludedCount += s.occluder.kind != Occluder::kNone;
    startError[s.kind] += normalisedError(s.start, photos_[s.photo].truth);
    for (int r = 0; r < s.routes; ++r) ++perView[s.route[r].cascade];
  }
  std::printf("  %zu starts: %ld detection, %ld tracking, %ld far, %ld background (%ld detection or tracking starts "
              "on occluded photos); runs per cascade: frontal %ld, positive %ld, negative %ld\n",
              samples_.size(), counts[0], counts[1], counts[2], counts[3], occludedCount, perView[0], perView[1],
              perView[2]);
  std::printf("  mean start error: detection %.4f, tracking %.4f, far %.4f\n", startError[0] / std::max(1L, counts[0]),
              startError[1] / std::max(1L, counts[1]), startError[2] / std::max(1L, counts[2]));
}

void Trainer::syncWorkers() {
  if (workers_.empty())
    for (int t = 0; t < opt_.threads; ++t) workers_.push_back(std::make_unique<Worker>());
  for (auto& w : workers_) {
    w->engine->posePredictor.setShape(reference3D_.mean);
    for (int v = 0; v < kViews; ++v) {
      LinearShapeRegressor anchor;
      anchor.referenceShape = reference_[v].clone();
      w->anchor[v] = {anchor};
      w->stages[v].clear();
      for (const auto& s : cascade_[v]) w->stages[v].push_back(cloneStage(s));
      w->classifier[v] = cloneClassifier(classifier_[v]);
    }
  }
}

namespace {

// Moments per thread, per view, for the fitting [0] and the tuning [1] photos.
template <typename M>
using Moments = std::vector<std::vector<std::array<M, 2>>>;

template <typename M>
Moments<M> makeMoments(int threads, const M& prototype) {
  return Moments<M>(threads, std::vector<std::array<M, 2>>(kViews, {prototype, prototype}));
}

// Folds every thread's moments into thread 0's.
template <typename M>
void mergeMoments(Moments<M>& m) {
  for (std::size_t t = 1; t < m.size(); ++t)
    for (int v = 0; v < kViews; ++v)
      for (int s = 0; s < 2; ++s) m[0][v][s].merge(m[t][v][s]);
  for (int v = 0; v < kViews; ++v)
    for (int s = 0; s < 2; ++s) m[0][v][s].flush();
}

// Per-landmark ridge solutions ((f + 1) x outputs each), with the one strength
// of `alphas` that does best on the tuning moments (`fallback` without any).
std::vector<Eigen::MatrixXd> solveLocal(const LocalMoments& fit, const LocalMoments& tune,
                                        const std::vector<double>& alphas, double fallback, double& chosen) {
  const int n = fit.landmarks();
  std::vector<Eigen::MatrixXd> xx(n);
  for (int i = 0; i < n; ++i) xx[i] = fit.xx(i);
  chosen = fallback;
  if (tune.count() > 0) {
    double best = INFINITY;
    for (double a : alphas) {
      double loss = 0;
      for (int i = 0; i < n; ++i)
        loss += ridgeLoss(tune.xx(i), tune.xy(i), tune.yy(i), ridgeSolve(xx[i], fit.xy(i), a * meanDiagonal(xx[i]), 1));
      if (loss < best) {
        best = loss;
        chosen = a;
      }
    }
  }
  std::vector<Eigen::MatrixXd> w(n);
  for (int i = 0; i < n; ++i) w[i] = ridgeSolve(xx[i], fit.xy(i), chosen * meanDiagonal(xx[i]), 1);
  return w;
}

// The joint ridge solution pulled towards `prior`, strength chosen as above.
Eigen::MatrixXd solveJoint(const JointMoments& fit, const JointMoments& tune, const std::vector<double>& betas,
                           const Eigen::MatrixXd& prior, double fallback, double& chosen) {
  const double scale = meanDiagonal(fit.xx());
  chosen = fallback;
  if (tune.count() > 0) {
    double best = INFINITY;
    for (double b : betas) {
      const double loss = ridgeLoss(tune.xx(), tune.xy(), tune.yy(), ridgeSolve(fit.xx(), fit.xy(), b * scale, 1, prior));
      if (loss < best) {
        best = loss;
        chosen = b;
      }
    }
  }
  return ridgeSolve(fit.xx(), fit.xy(), chosen * scale, 1, prior);
}

// Outputs of the per-landmark regressors on one descriptor: out[i * k + c] for
// landmark i and output c of its (f + 1) x k solution (last row: the constant).
void localOutputs(const std::vector<Eigen::MatrixXd>& w, const float* descriptor, int f, float* out) {
  for (std::size_t i = 0; i < w.size(); ++i) {
    Eigen::Map<const Eigen::VectorXf> block(descriptor + i * f, f);
    const int k = static_cast<int>(w[i].cols());
    for (int c = 0; c < k; ++c)
      out[i * k + c] = static_cast<float>(w[i].col(c).head(f).cast<float>().dot(block) + w[i](f, c));
  }
}

}  // namespace

template <typename Keep, typename Body>
void Trainer::forEachRun(int stages, Keep&& keep, Body&& body) {
  parallelRange(static_cast<int>(samples_.size()), opt_.threads, [&](int t, int i) {
    const Sample& smp = samples_[i];
    if (!keep(smp)) return;
    const Photo& p = photos_[smp.photo];
    Worker& w = *workers_[t];
    const bool occluded = smp.occluder.kind != Occluder::kNone;
    const cv::Mat image = occluded ? paintOccluder(p.grey, smp.occluder, occluderSource(smp)) : p.grey;
    cv::Mat_<float> s0, transform;
    const int warp = smp.route[0].warp;
    if (!w.prepare(image, smp.start, shapeModel_[warp], warp, s0, transform)) return;
    Run run{p, smp, 0, cv::Mat_<float>(), geo::transform2d(p.truth, transform), {}};
    run.covered = occluded ? coveredLandmarks(smp.occluder, occluderMask(smp.occluder, image.size()), p.truth)
                           : std::vector<unsigned char>(kN, 0);
    for (int r = 0; r < smp.routes; ++r) {
      run.view = smp.route[r].cascade;
      run.shape = s0.clone();
      w.run(run.view, stages, run.shape);
      w.engine->feature.extract(w.descriptor, run.shape);
      if (w.descriptor.rows != kN * w.engine->feature.blockLength()) continue;
      body(t, w, run);
    }
  });
}

const cv::Mat& Trainer::occluderSource(const Sample& s) const {
  static const cv::Mat none;
  const int k = s.occluder.source;
  return k >= 0 && k < static_cast<int>(photos_.size()) && k != s.photo ? photos_[k].grey : none;
}

// One regression stage for all three views: per-landmark ridge regressors from
// the landmark's descriptor block to its displacement in the stage frame, then
// the mixing matrix by ridge on [local predictions; shape - reference; 1].
void Trainer::trainStage(int k, double& tuneBefore, double& tuneAfter) {
  syncWorkers();
  const int T = opt_.threads;
  const int f = workers_[0]->engine->feature.blockLength();
  const bool occludedToo = opt_.occludedInCascades;
  auto regressionStart = [occludedToo](const Sample& s) {
    return (s.kind == kDetectionStart || s.kind == kTrackingStart) &&
           (occludedToo || s.occluder.kind == Occluder::kNone);
  };
  // The displacement to the truth in the stage's own frame (the stage aligns
  // the shape to its reference before every increment).
  auto stageFrame = [this](const Run& r, cv::Mat_<float>& aligned, cv::Mat_<float>& delta) {
    const cv::Mat_<float> m = geo::alignPoints2d(r.shape, reference_[r.view]);
    aligned = geo::transform2d(r.shape, m);
    delta = geo::transform2d(r.truth, m) - aligned;
  };

  // Pass A: moments of the local regressors.
  Moments<LocalMoments> local = makeMoments(T, LocalMoments(kN, f, 2));
  std::vector<std::vector<double>> errSum(T, std::vector<double>(2 * kViews, 0.0));
  std::vector<std::vector<long>> errCount(T, std::vector<long>(2 * kViews, 0));
  const double t0 = elapsed();
  forEachRun(k, regressionStart, [&](int t, Worker& w, const Run& r) {
    cv::Mat_<float> aligned, delta;
    stageFrame(r, aligned, delta);
    local[t][r.view][r.photo.tune].add(w.descriptor.ptr<float>(0), delta.ptr<float>(0));
    const double e = normalisedError(r.shape, r.truth);
    if (std::isfinite(e)) {
      errSum[t][2 * r.view + r.photo.tune] += e;
      ++errCount[t][2 * r.view + r.photo.tune];
    }
  });
  mergeMoments(local);
  for (int t = 1; t < T; ++t)
    for (int j = 0; j < 2 * kViews; ++j) {
      errSum[0][j] += errSum[t][j];
      errCount[0][j] += errCount[t][j];
    }
  std::printf("  stage %d pass 1 (%.0f s): error before the stage, fit/tune:", k, elapsed() - t0);
  for (int v = 0; v < kViews; ++v)
    std::printf(" %s %.4f/%.4f", viewName(v), errSum[0][2 * v] / std::max(1L, errCount[0][2 * v]),
                errSum[0][2 * v + 1] / std::max(1L, errCount[0][2 * v + 1]));
  std::printf("\n");

  std::vector<Eigen::MatrixXd> W[kViews];
  for (int v = 0; v < kViews; ++v) {
    double alpha = 0;
    W[v] = solveLocal(local[0][v][0], local[0][v][1], {3e-3, 1e-2, 3e-2, 0.1, 0.3, 1.0, 3.0}, 0.03, alpha);
    std::printf("    %s: %ld runs, local ridge %.0e\n", viewName(v), local[0][v][0].count(), alpha);
  }
  local.clear();

  // Pass B: moments of the mixing matrix.
  const int z = 2 * kRows + 1;
  Moments<JointMoments> joint = makeMoments(T, JointMoments(z, kRows));
  struct TuneRecord {
    int view;
    SampleKind kind;
    std::vector<float> x, y, shape;
  };
  std::vector<std::vector<TuneRecord>> records(T);
  const double t1 = elapsed();
  forEachRun(k, regressionStart, [&](int t, Worker& w, const Run& r) {
    cv::Mat_<float> sr, delta;
    stageFrame(r, sr, delta);
    std::vector<float> x(z);
    localOutputs(W[r.view], w.descriptor.ptr<float>(0), f, x.data());
    for (int j = 0; j < kRows; ++j) x[kRows + j] = sr(j) - reference_[r.view](j);
    x[z - 1] = 1.f;
    joint[t][r.view][r.photo.tune].add(x.data(), delta.ptr<float>(0));
    if (r.photo.tune)
      records[t].push_back({r.view, r.sample.kind, x, std::vector<float>(delta.begin(), delta.end()),
                            std::vector<float>(sr.begin(), sr.end())});
  });
  mergeMoments(joint);
  std::printf("  stage %d pass 2 (%.0f s)\n", k, elapsed() - t1);

  Eigen::MatrixXd prior = Eigen::MatrixXd::Zero(z, kRows);
  prior.topRows(kRows).setIdentity();
  double gainBefore = 0, gainAfter = 0;
  long gainCount = 0;
  for (int v = 0; v < kViews; ++v) {
    double bestBeta = 0;
    const Eigen::MatrixXd wm = solveJoint(joint[0][v][0], joint[0][v][1], {1e-4, 1e-3, 1e-2, 0.1, 1.0}, prior, 1e-2, bestBeta);
    const Eigen::MatrixXf mix = wm.transpose().cast<float>();  // 2n x (4n + 1)

    LinearShapeRegressor stage;
    stage.referenceShape = reference_[v].clone();
    stage.mixMatrix.create(kRows, z);
    for (int r = 0; r < kRows; ++r)
      for (int c = 0; c < z; ++c) stage.mixMatrix(r, c) = mix(r, c);
    stage.featureMatrix.create(kRows, f);
    stage.offset.create(kRows, 1);
    for (int i = 0; i < kN; ++i)
      for (int c = 0; c < 2; ++c) {
        for (int j = 0; j < f; ++j) stage.featureMatrix(2 * i + c, j) = static_cast<float>(W[v][i](j, c));
        stage.offset(2 * i + c) = static_cast<float>(W[v][i](f, c));
      }
    stage.refreshCopies();
    cascade_[v].push_back(stage);

    // Gain of this stage on the tuning photos, in the stage frame (the error
    // ratio does not depend on the frame).
    double before = 0, after = 0, kindBefore[2] = {0, 0}, kindAfter[2] = {0, 0};
    long n = 0, kindCount[2] = {0, 0};
    for (const auto& list : records)
      for (const auto& rec : list) {
        if (rec.view != v) continue;
        Eigen::Map<const Eigen::VectorXf> x(rec.x.data(), z);
        const Eigen::VectorXf step = mix * x;
        cv::Mat_<float> sr(kRows, 1), truth(kRows, 1), moved(kRows, 1);
        for (int j = 0; j < kRows; ++j) {
          sr(j) = rec.shape[j];
          truth(j) = rec.shape[j] + rec.y[j];
          moved(j) = rec.shape[j] + step(j);
        }
        const double eb = normalisedError(sr, truth), ea = normalisedError(moved, truth);
        if (!std::isfinite(eb) || !std::isfinite(ea)) continue;
        before += eb;
        after += ea;
        ++n;
        const int kd = rec.kind == kDetectionStart ? 0 : 1;
        kindBefore[kd] += eb;
        kindAfter[kd] += ea;
        ++kindCount[kd];
      }
    gainBefore += before;
    gainAfter += after;
    gainCount += n;
    std::printf("    %s: mix ridge %.0e, tuning error %.4f -> %.4f (%ld runs; detection starts %.4f -> %.4f, "
                "tracking starts %.4f -> %.4f)\n",
                viewName(v), bestBeta, before / std::max(1L, n), after / std::max(1L, n), n,
                kindBefore[0] / std::max(1L, kindCount[0]), kindAfter[0] / std::max(1L, kindCount[0]),
                kindBefore[1] / std::max(1L, kindCount[1]), kindAfter[1] / std::max(1L, kindCount[1]));
  }
  tuneBefore = gainBefore / std::max(1L, gainCount);
  tuneAfter = gainAfter / std::max(1L, gainCount);
}

void Trainer::trainCascades() {
  for (int k = 0; k < opt_.maxStages; ++k) {
    const double t0 = elapsed();
    double before = 0, after = 0;
    trainStage(k, before, after);
    const double gain = (before - after) / std::max(before, 1e-9);
    std::printf("stage %d done in %.0f s: tuning error %.4f -> %.4f (gain %.1f %%), %.1f min elapsed\n", k,
                elapsed() - t0, before, after, 100 * gain, elapsed() / 60);
    std::fflush(stdout);
    const double perStage = elapsed() - t0;
    if (k + 1 > opt_.minStages && gain < opt_.stageGainStop) {
      // Not worth its time per frame: drop it and stop.
      for (auto& c : cascade_) c.pop_back();
      std::printf("dropping stage %d (gain below %.1f %%)\n", k, 100 * opt_.stageGainStop);
      break;
    }
    if (k + 1 >= opt_.minStages && gain < opt_.stageGainStop) break;
    if (k + 1 >= opt_.minStages && elapsed() + 2.5 * perStage > opt_.timeBudgetSeconds) {
      std::printf("stopping for the time budget\n");
      break;
    }
  }
}

bool Trainer::takeCascades(const std::string& modelPath) {
  FaceTracker earlier;
  if (earlier.load(modelPath.c_str()) != 0) return false;
  const std::vector<LinearShapeRegressor>* from[kViews] = {&earlier.frontalRegressors, &earlier.positiveYawRegressors,
                                                           &earlier.negativeYawRegressors};
  for (int v = 0; v < kViews; ++v) {
    if (from[v]->empty()) return false;
    for (const auto& s : *from[v])
      if (s.referenceShape.rows != kRows || cv::norm(s.referenceShape, reference_[v], cv::NORM_INF) > 1e-3) return false;
  }
  for (int v = 0; v < kViews; ++v) {
    cascade_[v].clear();
    for (const auto& s : *from[v]) cascade_[v].push_back(cloneStage(s));
  }
  std::printf("  took %zu stages per view from %s\n", cascade_[kFrontal].size(), modelPath.c_str());
  return true;
}

// Target of each landmark of one run: high where the face is fitted and the
// landmark is visible and near its truth, low where the whole fit is wrong,
// the landmark is covered or far from its truth.
std::vector<float> Trainer::landmarkTargets(const Run& r) const {
  std::vector<float> y(kN, 0.f);
  if (r.sample.kind == kBackground) return y;
  const float face = targetFor(normalisedError(r.shape, r.truth), opt_.goodError, opt_.badError);
  const std::vector<double> own = landmarkErrors(r.shape, r.truth);
  for (int i = 0; i < kN; ++i) {
    const float mine = r.covered[i] ? opt_.coveredTarget : targetFor(own[i], opt_.goodLandmarkError, opt_.badLandmarkError);
    y[i] = std::min(face, mine);
  }
  return y;
}

// Per-landmark confidence: ridge regressors from each landmark's descriptor
// block to its own target, then a ridge mixing of the local scores pulled
// towards keeping each landmark's own score.
void Trainer::trainClassifiers() {
  syncWorkers();
  const int T = opt_.threads;
  const int f = workers_[0]->engine->feature.blockLength();
  const int stages = static_cast<int>(cascade_[kFrontal].size());
  auto all = [](const Sample&) { return true; };

  Moments<LocalMoments> local = makeMoments(T, LocalMoments(kN, f, 1));
  const double t0 = elapsed();
  forEachRun(stages, all, [&](int t, Worker& w, const Run& r) {
    const std::vector<float> y = landmarkTargets(r);
    local[t][r.view][r.photo.tune].add(w.descriptor.ptr<float>(0), y.data());
  });
  mergeMoments(local);
  std::printf("  classifier pass 1 (%.0f s)\n", elapsed() - t0);

  std::vector<Eigen::MatrixXd> W[kViews];
  for (int v = 0; v < kViews; ++v) {
    double alpha = 0;
    W[v] = solveLocal(local[0][v][0], local[0][v][1], {1e-3, 1e-2, 0.1, 1.0}, 0.01, alpha);
    std::printf("    %s classifier: %ld runs, local ridge %.0e\n", viewName(v), local[0][v][0].count(), alpha);
  }
  local.clear();

  // Pass 2: mixing of the local scores.
  const int z = kN + 1;
  Moments<JointMoments> joint = makeMoments(T, JointMoments(z, kN));
  struct TuneRecord {
    int view;
    SampleKind kind;
    bool occluded;
    double error;
    std::vector<float> x;
    std::vector<unsigned char> covered;
  };
  std::vector<std::vector<TuneRecord>> records(T);
  const double t1 = elapsed();
  forEachRun(stages, all, [&](int t, Worker& w, const Run& r) {
    std::vector<float> x(z);
    localOutputs(W[r.view], w.descriptor.ptr<float>(0), f, x.data());
    x[kN] = 1.f;
    const std::vector<float> y = landmarkTargets(r);
    joint[t][r.view][r.photo.tune].add(x.data(), y.data());
    if (r.photo.tune) {
      const double e = r.sample.kind == kBackground ? INFINITY : normalisedError(r.shape, r.truth);
      records[t].push_back({r.view, r.sample.kind, r.sample.occluder.kind != Occluder::kNone, e, x, r.covered});
    }
  });
  mergeMoments(joint);
  std::printf("  classifier pass 2 (%.0f s)\n", elapsed() - t1);

  Eigen::MatrixXd prior = Eigen::MatrixXd::Zero(z, kN);
  prior.topRows(kN).setIdentity();
  for (int v = 0; v < kViews; ++v) {
    double bestBeta = 0;
    const Eigen::MatrixXd wm =
        solveJoint(joint[0][v][0], joint[0][v][1], {1e-6, 1e-5, 1e-4, 1e-3, 1e-2, 0.1, 1.0}, prior, 1e-2, bestBeta);
    // scores = A (local + b) + c with local = F d: the engine's mix is A and its offset A b + c.
    const Eigen::MatrixXd a = wm.topRows(kN).transpose();
    LinearShapeClassifier& c = classifier_[v];
    c.referenceShape = reference_[v].clone();
    c.mixMatrix.create(kN, kN);
    c.featureMatrix.create(kN, f);
    c.offset.create(kN, 1);
    Eigen::VectorXd localBias(kN);
    for (int i = 0; i < kN; ++i) localBias(i) = W[v][i](f, 0);
    const Eigen::VectorXd offset = a * localBias + wm.row(kN).transpose();
    for (int i = 0; i < kN; ++i) {
      for (int j = 0; j < kN; ++j) c.mixMatrix(i, j) = static_cast<float>(a(i, j));
      for (int j = 0; j < f; ++j) c.featureMatrix(i, j) = static_cast<float>(W[v][i](j, 0));
      c.offset(i) = static_cast<float>(offset(i));
    }

    // Tuning check of the loss decision (mean clamped confidence against 0.3)
    // and of how well a landmark's confidence tells covered from visible.
    enum { kGood, kBad, kBackgroundRun, kBetween, kOccludedGood, kGroups };
    long count[kGroups] = {0}, crossing[kGroups] = {0};
    double sum[kGroups] = {0};
    std::vector<double> coveredScores, visibleScores;
    for (const auto& list : records)
      for (const auto& rec : list) {
        if (rec.view != v) continue;
        Eigen::Map<const Eigen::VectorXf> x(rec.x.data(), z);
        const Eigen::VectorXd scores = wm.transpose() * x.cast<double>();
        double mean = 0;
        for (int i = 0; i < kN; ++i) mean += std::clamp(scores(i), 0.0, 1.0);
        mean /= kN;
        const bool good = rec.kind != kBackground && rec.error < 0.08;
        int g = rec.kind == kBackground ? kBackgroundRun : !(rec.error < opt_.badError) ? kBad : good ? kGood : kBetween;
        if (good && rec.occluded) g = kOccludedGood;
        ++count[g];
        sum[g] += mean;
        crossing[g] += (g == kGood || g == kOccludedGood) ? mean < 0.3 : mean >= 0.3;
        if (good && rec.occluded)
          for (int i = 0; i < kN; ++i)
            (rec.covered[i] ? coveredScores : visibleScores).push_back(1.0 - std::clamp(scores(i), 0.0, 1.0));
      }
    auto share = [&](int g) { return 100.0 * crossing[g] / std::max(1L, count[g]); };
    auto mean = [&](int g) { return sum[g] / std::max(1L, count[g]); };
    std::printf("    %s classifier: mix ridge %.0e; tuning mean confidence: good fits (error < 0.08) %ld, %.3f "
                "(%.1f %% below 0.3); occluded good fits %ld, %.3f (%.1f %% below 0.3); error >= %.2f %ld, %.3f "
                "(%.1f %% at or above 0.3); background %ld, %.3f (%.1f %% at or above 0.3); in between %ld, %.3f; "
                "covered-landmark AUC %.3f\n",
                viewName(v), bestBeta, count[kGood], mean(kGood), share(kGood), count[kOccludedGood],
                mean(kOccludedGood), share(kOccludedGood), opt_.badError, count[kBad], mean(kBad), share(kBad),
                count[kBackgroundRun], mean(kBackgroundRun), share(kBackgroundRun), count[kBetween], mean(kBetween),
                rocAuc(coveredScores, visibleScores));
  }
}

// The rigid reference face: the pose predictor's built-in face made symmetric,
// then turned about its x axis until the near-frontal training faces read a
// mean pitch of zero (their mean yaw and roll are zero already, since every
// photo is also used mirrored). Every yaw the trainer uses from here on is
// measured against it, as the engine will measure it.
void Trainer::buildReference3D() {
  const FacePosePredictor builtIn;
  const cv::Mat_<float>& planar = builtIn.referenceShape;  // x..., y..., z...
  const int n = planar.rows / 3;
  cv::Mat_<float> face(3 * n, 1);
  for (int i = 0; i < n; ++i) {
    face(3 * i) = planar(i);
    face(3 * i + 1) = planar(n + i);
    face(3 * i + 2) = planar(2 * n + i);
  }
  auto meanAngles = [this](const cv::Mat_<float>& reference, double& pitch, double& yaw, double& roll) {
    FacePosePredictor predictor;
    if (!reference.empty()) predictor.setShape(reference);
    pitch = yaw = roll = 0;
    long count = 0;
    for (const auto& p : photos_) {
      if (p.tune) continue;
      const cv::Mat_<float> pose = predictor.calcPose(p.truth);
      if (pose.total() != 6) continue;
      float a = 0, b = 0, c = 0;
      FaceTracker::headAngles(pose, a, b, c);
      if (std::abs(b) > opt_.levelYaw * CV_PI / 180) continue;
      pitch += a;
      yaw += b;
      roll += c;
      ++count;
    }
    const double k = 180.0 / CV_PI / std::max(1L, count);
    pitch *= k;
    yaw *= k;
    roll *= k;
    return count;
  };
  double pitch = 0, yaw = 0, roll = 0;
  meanAngles(cv::Mat_<float>(), pitch, yaw, roll);
  std::printf("  built-in reference face: near-frontal photos read mean pitch %.2f, yaw %.2f, roll %.2f degrees\n",
              pitch, yaw, roll);
  cv::Mat_<float> reference = symmetricReference(face);
  long count = 0;
  for (int round = 0; round < 4; ++round) {
    count = meanAngles(reference, pitch, yaw, roll);
    if (std::abs(pitch) < 0.01) break;
    reference = turnedAboutX(reference, pitch * CV_PI / 180);
  }
  count = meanAngles(reference, pitch, yaw, roll);
  std::printf("  symmetric levelled reference face: %ld near-frontal photos read mean pitch %.2f, yaw %.2f, roll %.2f "
              "degrees\n",
              count, pitch, yaw, roll);
  reference3D_.mean = reference;
  parallelRange(static_cast<int>(photos_.size()), opt_.threads,
                [&](int, int i) { photos_[i].yaw = yawOf(photos_[i].truth, reference); });
}

// 3D section. The deformable model of the fitted landmarks is learned from
// near-frontal 2D truths: each is brought into the model frame by its pose
// (back-projection with the reference's depth), its x/y difference from the
// reference is a deformation sample (z left unchanged), and the leading
// principal components become modes with their standard deviations as modeScale.
void Trainer::build3D() {
  FacePosePredictor predictor;
  const cv::Mat_<float> reference = reference3D_.mean;
  predictor.setShape(reference);
  const int n = reference.rows / 3;
  const int first = layout::kFitted3D.first, m = layout::kFitted3D.count, d = 3 * m;
  std::vector<Eigen::VectorXd> deformations;
  for (const auto& p : photos_) {
    if (p.tune || std::abs(p.yaw) > 20) continue;
    const cv::Mat_<float> pose = predictor.calcPose(p.truth);
    if (pose.total() != 6 || !(pose(5) > 0)) continue;
    PoseTerms terms;
    if (!readPose(pose, terms)) continue;
    Eigen::VectorXd def(d);
    for (int j = 0; j < m; ++j) {
      const int i = first + j;
      const float* X = reference.ptr<float>(3 * i);
      float lifted[3];
      backProject(terms, p.truth(2 * i), p.truth(2 * i + 1), X, lifted);
      def(3 * j) = lifted[0] - X[0];
      def(3 * j + 1) = lifted[1] - X[1];
      def(3 * j + 2) = 0.0;
    }
    deformations.push_back(def);
  }
  Eigen::VectorXd mean = Eigen::VectorXd::Zero(d);
  for (const auto& x : deformations) mean += x;
  mean /= std::max<std::size_t>(1, deformations.size());
  Eigen::MatrixXd cov = Eigen::MatrixXd::Zero(d, d);
  for (const auto& x : deformations) cov.selfadjointView<Eigen::Lower>().rankUpdate(x - mean);
  cov = Eigen::MatrixXd(cov.selfadjointView<Eigen::Lower>()) / std::max<std::size_t>(1, deformations.size());
  Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> eig(cov);
  const int modes = 10;
  const Eigen::VectorXd values = eig.eigenvalues().reverse();
  const Eigen::MatrixXd vectors = eig.eigenvectors().rowwise().reverse();

  deformation3D_.mean.create(d, 1);
  deformation3D_.basis.create(d, modes);
  deformation3D_.modeScale.create(modes, 1);
  reference3D_.basis = cv::Mat_<float>::zeros(3 * n, modes);
  reference3D_.modeScale.create(modes, 1);
  for (int r = 0; r < d; ++r) {
    deformation3D_.mean(r) = static_cast<float>(reference(3 * first + r) + mean(r));
    for (int c = 0; c < modes; ++c) {
      deformation3D_.basis(r, c) = static_cast<float>(vectors(r, c));
      reference3D_.basis(3 * first + r, c) = static_cast<float>(vectors(r, c));
    }
  }
  for (int c = 0; c < modes; ++c) {
    deformation3D_.modeScale(c) = static_cast<float>(std::sqrt(std::max(values(c), 0.0)));
    reference3D_.modeScale(c) = deformation3D_.modeScale(c);
  }
  std::printf("  3D: %zu near-frontal shapes, %d modes, standard deviations %.3f .. %.3f model units, "
              "mean deformation %.3f units RMS\n",
              deformations.size(), modes, deformation3D_.modeScale(0), deformation3D_.modeScale(modes - 1),
              std::sqrt(mean.squaredNorm() / m));
}

std::unique_ptr<FaceTracker> Trainer::assemble() const {
  auto ft = std::make_unique<FaceTracker>();
  for (const auto& s : cascade_[kFrontal]) ft->frontalRegressors.push_back(cloneStage(s));
  for (const auto& s : cascade_[kPositive]) ft->positiveYawRegressors.push_back(cloneStage(s));
  for (const auto& s : cascade_[kNegative]) ft->negativeYawRegressors.push_back(cloneStage(s));
  ft->frontalClassifier = cloneClassifier(classifier_[kFrontal]);
  ft->positiveYawClassifier = cloneClassifier(classifier_[kPositive]);
  ft->negativeYawClassifier = cloneClassifier(classifier_[kNegative]);
  ft->frontalShapeModel = shapeModel_[kFrontal];
  ft->positiveYawShapeModel = shapeModel_[kPositive];
  ft->negativeYawShapeModel = shapeModel_[kNegative];
  ft->featureParameters = FeatParameters();
  ft->hasFeatureParameters = true;
  if (!deformation3D_.empty()) {
    ft->referenceModel3D = reference3D_;
    ft->deformationModel3D = deformation3D_;
    ft->hasModel3D = true;
    ft->shape3DIndices.create(layout::kFitted3D.count, 1);
    for (int j = 0; j < layout::kFitted3D.count; ++j) ft->shape3DIndices(j) = layout::kFitted3D.first + j;
  }
  ft->firstEyeIndices.create(layout::kFirstEye.count, 1);
  ft->secondEyeIndices.create(layout::kSecondEye.count, 1);
  for (int i = 0; i < layout::kFirstEye.count; ++i) ft->firstEyeIndices(i) = layout::kFirstEye.first + i;
  for (int i = 0; i < layout::kSecondEye.count; ++i) ft->secondEyeIndices(i) = layout::kSecondEye.first + i;
  if (!ft->frontalRegressors.empty()) ft->initialShape = ft->frontalRegressors[0].referenceShape.clone();
  return ft;
}

}  // namespace train
}  // namespace zeq
