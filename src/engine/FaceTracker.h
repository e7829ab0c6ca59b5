#pragma once
#include <cstdio>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "engine/FacePosePredictor.h"
#include "engine/FeatParameters.h"
#include "engine/Feature.h"
#include "engine/LinearModel.h"
#include "engine/LinearShapeClassifier.h"
#include "engine/LinearShapeRegressor.h"
#include "engine/OpticalFlowTrackerEfficient.h"
#include "engine/TranslationTrackerNCC.h"

namespace zeq {

// The landmark tracking engine: all trained models, the two motion trackers and
// the results of the last frame. Large; always held on the heap.
class FaceTracker {
 public:
  FaceTracker();

  // Combined model file.
  int save(const char* path) const;
  int write(FILE* f) const;
  int load(const char* path);
  int read(FILE* f);

  // Component files; the last two paths may be null.
  int initialiseWithComponents(const char* frontalBase, const char* positiveYawBase,
                               const char* negativeYawBase, const char* eyeBase,
                               const char* featureParametersPath, const char* model3DPath);
  // "<directory>/zeqTracker.model", and "<directory>/3d.pts" when the model has no 3D section.
  int initialiseWithCombinedModel(const std::string& directory);

  // Regularises shape with the view's shape model, aligns it to the cascade's
  // first reference shape, warps the image into warpedImage and sets up feature.
  // Returns the shape in the normalised frame; transform receives image -> normalised.
  cv::Mat_<float> setupFeature(const cv::Mat& image, const cv::Mat_<float>& shape,
                               const LinearModel& shapeModel,
                               const std::vector<LinearShapeRegressor>& cascade,
                               cv::Mat_<float>& transform);

  // One frame: image is width x height 8-bit grey pixels, rows packed (the buffer
  // must hold width * height bytes). 1 when the face is tracked, 0 otherwise.
  // A null image or a size outside 1..16384 per side returns 0 and changes nothing.
  int update(const unsigned char* image, int width, int height);

  // Places initialShape into a face box by the eye centres; clears tracking state.
  bool reset(int x, int y, int w, int h);

  void calcShape3D(const cv::Mat_<float>& shape2D, cv::Mat_<float>& shape3DOut, cv::Mat_<float>& poseInOut);
  void calcGaze(const cv::Mat_<float>& shape3DIn, const cv::Mat_<float>& poseIn, cv::Point_<float> firstEye,
                cv::Point_<float> secondEye, cv::Point3_<float>& firstGaze, cv::Point3_<float>& secondGaze) const;

  // Number of landmarks of the loaded model (rows of the frontal reference / 2), 0 without a model.
  int numLandmarks() const;

  Feature feature;
  std::vector<LinearShapeRegressor> frontalRegressors;
  std::vector<LinearShapeRegressor> positiveYawRegressors;
  std::vector<LinearShapeRegressor> negativeYawRegressors;
  std::vector<LinearShapeRegressor> eyeRegressors;
  LinearShapeClassifier frontalClassifier;
  LinearShapeClassifier positiveYawClassifier;
  LinearShapeClassifier negativeYawClassifier;
  FacePosePredictor posePredictor;
  TranslationTrackerNCC translationTracker;
  bool translationTrackerReady = false;
  LinearModel frontalShapeModel;
  LinearModel positiveYawShapeModel;
  LinearModel negativeYawShapeModel;
  LinearModel referenceModel3D;
  LinearModel deformationModel3D;
  cv::Mat_<int> shape3DIndices;
  cv::Mat_<int> firstEyeIndices;
  cv::Mat_<int> secondEyeIndices;
  cv::Mat_<float> initialShape;
  float threshold = 0.3f;
  cv::Mat_<float> shape;
  cv::Mat_<float> pose;
  cv::Mat_<float> confidence;
  cv::Mat_<float> shape3D;
  std::vector<cv::Point_<float>> eyePoints;
  std::vector<cv::Point3_<float>> gazeVectors;
  float pitch = 0.f;
  float yaw = 0.f;
  float roll = 0.f;
  OpticalFlowTrackerEfficient flowTracker;
  bool smoothing = true;
  FeatParameters featureParameters;
  cv::Mat warpedImage;
  bool hasFeatureParameters = false;
  bool hasModel3D = false;
  cv::Point_<float> outputPoints[30];
  float outputConfidence[30];
  float referenceDistances[4];
};

}  // namespace zeq
