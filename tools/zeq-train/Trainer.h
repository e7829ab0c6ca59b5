#pragma once
// Training of the combined tracker model: shape models, regression cascades,
// classifiers and the 3D section, all through the engine's own code paths.
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "Dataset.h"
#include "Occluder.h"
#include "ShapeModelBuilder.h"
#include "engine/FaceTracker.h"

namespace zeq {
namespace train {

struct TrainOptions {
  int threads = 2;
  unsigned seed = 1;
  int minStages = 3;
  int maxStages = 6;
  // Training stops adding stages once the last one improved the tuning error
  // by less than this fraction.
  double stageGainStop = 0.02;
  // Starts per photo copy (each photo is used as is and mirrored).
  int strongDetectionStarts = 4;
  int strongTrackingStarts = 6;
  int weakDetectionStarts = 1;
  int weakTrackingStarts = 2;
  // Expected negatives per photo copy for the classifiers.
  double strongFarStarts = 1.5;
  double strongBackgroundStarts = 1.5;
  double weakFarStarts = 0.3;
  double weakBackgroundStarts = 0.3;
  // Expected starts per photo copy on the photo with an occluder painted over
  // part of the face (classifier training only unless occludedInCascades).
  double strongOccludedStarts = 3.0;
  double weakOccludedStarts = 0.5;
  bool occludedInCascades = false;
  // Frame-to-frame start perturbation (standard deviations): translation in
  // units of the interocular distance, log scale, rotation in degrees, and the
  // non-rigid noise in standard deviations of each shape mode.
  double trackTranslation = 0.05;
  double trackLogScale = 0.04;
  double trackRotationDeg = 4.0;
  double trackNonRigid = 0.3;
  double trackBigFraction = 0.3;   // of tracking starts drawn 2.5 times wider
  // Frontal shape model from |yaw| <= frontalYaw, side models from |yaw| >= sideYaw.
  double frontalYaw = 25.0;
  double sideYaw = 10.0;
  // Side of the landmarks' bounding box of the frontal reference in the normalised frame.
  double referenceBox = 100.0;
  // Classifier targets: 1 at a mean error up to goodError, 0 from badError on.
  double goodError = 0.05;
  double badError = 0.15;
  // A landmark's own target: 1 up to this distance from its truth (in
  // interocular units), 0 from the second on; a covered landmark gets coveredTarget.
  double goodLandmarkError = 0.1;
  double badLandmarkError = 0.3;
  float coveredTarget = 0.f;
  // The rigid 3D reference is levelled on the photos whose |yaw| is at most this.
  double levelYaw = 10.0;
  ShapeModelOptions shape;
  double timeBudgetSeconds = 55 * 60;
};

enum SampleKind : unsigned char { kDetectionStart, kTrackingStart, kFarStart, kBackground };

struct Route {
  signed char warp = 0;     // view whose shape model and reference normalise the frame
  signed char cascade = 0;  // view whose cascade and classifier run on it
};

struct Sample {
  int photo = 0;
  cv::Mat_<float> start;  // image pixels
  SampleKind kind = kDetectionStart;
  Occluder occluder;      // painted over the photo for this start (kind kNone: none)
  signed char routes = 0;
  Route route[2];
};

class Trainer {
 public:
  Trainer(std::vector<Photo>& photos, const TrainOptions& options);
  ~Trainer();

  // Symmetric, levelled rigid 3D face; re-measures every photo's yaw against it.
  void buildReference3D();
  void buildShapeModels();
  const cv::Mat_<float>& reference(int view) const { return reference_[view]; }
  void setPlacementErrors(std::vector<PlacementError> errors);
  void makeSamples();
  void trainCascades();
  // Cascades of an earlier model with the same references; false when it does
  // not load or its stages do not fit.
  bool takeCascades(const std::string& modelPath);
  void trainClassifiers();
  void build3D();
  // The complete engine with every trained model, ready to save.
  std::unique_ptr<FaceTracker> assemble() const;

  double elapsed() const;

 private:
  struct Worker;
  // One start after `stages` stages of one view's cascade, with the descriptor
  // at its shape in the worker.
  struct Run {
    const Photo& photo;
    const Sample& sample;
    int view;
    cv::Mat_<float> shape;  // normalised frame
    cv::Mat_<float> truth;  // normalised frame
    std::vector<unsigned char> covered;
  };

  // Runs every kept start as the engine would (occluder painted, frame
  // normalised, cascade run) and hands each run to body(thread, worker, run).
  template <typename Keep, typename Body>
  void forEachRun(int stages, Keep&& keep, Body&& body);
  const cv::Mat& occluderSource(const Sample& s) const;
  std::vector<float> landmarkTargets(const Run& r) const;

  std::vector<Route> routesFor(const cv::Mat_<float>& start) const;
  cv::Mat_<float> detectionStart(const Photo& p, std::mt19937& rng) const;
  cv::Mat_<float> trackingStart(const Photo& p, std::mt19937& rng, double widen) const;
  cv::Mat_<float> farStart(const Photo& p, std::mt19937& rng) const;
  bool backgroundStart(const Photo& p, std::mt19937& rng, cv::Mat_<float>& start) const;
  const LinearModel& modelForYaw(float yaw) const;
  void syncWorkers();
  void trainStage(int k, double& tuneBefore, double& tuneAfter);

  std::vector<Photo>& photos_;
  TrainOptions opt_;
  std::chrono::steady_clock::time_point begin_;

  LinearModel shapeModel_[kViews];
  int nonRigidModes_[kViews] = {0, 0, 0};
  cv::Mat_<float> reference_[kViews];
  cv::Mat_<float> unitReference_;  // frontal reference, centred, RMS size 1
  std::vector<PlacementError> placement_;  // sorted by yaw
  std::vector<Sample> samples_;
  std::vector<LinearShapeRegressor> cascade_[kViews];
  LinearShapeClassifier classifier_[kViews];
  LinearModel reference3D_, deformation3D_;
  std::vector<std::unique_ptr<Worker>> workers_;
};

}  // namespace train
}  // namespace zeq
