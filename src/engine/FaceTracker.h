#pragma once
#include <cstddef>
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
#include "engine/Reader.h"
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
  int read(io::Reader& in);

  // Component files; the last two paths may be null.
  int initialiseWithComponents(const char* frontalBase, const char* positiveYawBase,
                               const char* negativeYawBase, const char* eyeBase,
                               const char* featureParametersPath, const char* model3DPath);
  // "<directory>/zeqTracker.model", and "<directory>/3d.pts" when the model has no 3D section.
  int initialiseWithCombinedModel(const std::string& directory);
  // The same from the bytes of a "zeqTracker.model" file held in memory (no 3D
  // file can complement it, so it must carry its 3D section). 0 or -1.
  int initialiseWithCombinedModel(const unsigned char* data, std::size_t size);

  // Reason of the last failed load, or its warning (a model loaded without the
  // 3D fit); empty after a clean load. Printed loader messages appear here
  // without their trailing newline.
  const std::string& lastError() const { return lastError_; }

  // Regularises shape with the view's shape model, aligns it to the cascade's
  // first reference shape, warps the image into warpedImage and sets up feature.
  // Returns the shape in the normalised frame; transform receives image -> normalised.
  cv::Mat_<float> setupFeature(const cv::Mat& image, const cv::Mat_<float>& shape,
                               const LinearModel& shapeModel,
                               const std::vector<LinearShapeRegressor>& cascade,
                               cv::Mat_<float>& transform);

  // One frame: image is width x height 8-bit grey pixels, rows packed. The buffer
  // must hold width * height bytes and stay valid during the call (it is wrapped,
  // not copied, and cannot be checked here). 1 when the face is tracked, 0 otherwise.
  // Returns 0 and changes nothing when no face is tracked, when the image pointer
  // is null or a side is outside 1..16384, or when the model has no complete views.
  // A frame whose pose, shape or confidence is not finite, or in which OpenCV
  // raises an error, is treated as a lost face.
  int update(const unsigned char* image, int width, int height);

  // The part of a width x height frame that the next update reads (the
  // template search window, the warp into the normalised frame, the flow crop
  // and the new template), with a margin for the shape's motion in this frame;
  // pixels outside it may hold anything. False when the whole frame is needed:
  // no face, the first frame after a placement, a face nearly as large as the
  // frame.
  bool frameRegion(int width, int height, cv::Rect& roi) const;
  // Bounding box of the pixels the last update read (empty when it read none).
  const cv::Rect& lastReadRegion() const { return readRegion_; }
  // Image pixels a warp of warpSize through T (image -> normalised) samples.
  static cv::Rect warpSource(const cv::Matx23f& T, cv::Size warpSize);
  // Regularises shape s with a view's shape model (into parameters and
  // regularised) and aligns it to the view cascade's first reference shape:
  // the image -> normalised-frame similarity T. False when any step fails or T
  // is not finite.
  static bool alignToView(const cv::Mat_<float>& s, const LinearModel& shapeModel,
                          const std::vector<LinearShapeRegressor>& cascade, cv::Mat_<float>& parameters,
                          cv::Mat_<float>& regularised, cv::Matx23f& T);

  // Places initialShape into a face box by the eye centres; clears tracking state.
  // Prints "enter 1" and "enter 2". False (state cleared, no shape) for a box with
  // x < 0 or w < 1, a model without usable eye definitions (eye index tables that
  // point outside initialShape, or neither tables nor 66 landmarks), an empty
  // initialShape, and coincident eye centres.
  bool reset(int x, int y, int w, int h);

  // Fits the deformable 3D model to shape2D and refines the pose. Leaves both
  // outputs unchanged without 3D models, when the sizes of the models, the index
  // table and the shape do not agree, or when the pose is unusable (not 6 finite
  // values, zero scale) or becomes unusable during the fit.
  void calcShape3D(const cv::Mat_<float>& shape2D, cv::Mat_<float>& shape3DOut, cv::Mat_<float>& poseInOut);
  // Gaze of both eyes. Outputs are left as given when the pose is unusable (not
  // 6 finite values, zero scale) or no eye sphere can be built. An eye index list
  // with an entry outside shape3DIn is treated as absent (corner landmarks of a
  // 66-point shape are used instead). Results that are not finite are not written.
  void calcGaze(const cv::Mat_<float>& shape3DIn, const cv::Mat_<float>& poseIn, cv::Point_<float> firstEye,
                cv::Point_<float> secondEye, cv::Point3_<float>& firstGaze, cv::Point3_<float>& secondGaze) const;

  // View of a frame with head yaw yawDeg (degrees): beyond +-15 the side view
  // alone (own shape model and warp); otherwise the frontal view, blended with
  // the side cascade of the yaw's sign at weight sideWeight (0 at +-5 and
  // inside, 1 at +-15). side is -1 (negative yaw), 0 (none) or +1 (positive yaw).
  struct ViewChoice {
    int side = 0;
    bool frontal = true;
    float sideWeight = 0.f;
  };
  static ViewChoice chooseView(float yawDeg);
  // The yaw that chooses the view, in degrees: the pose vector's second
  // element (the rotation vector's y component) times 180 in single precision,
  // divided by pi in double precision, rounded to single precision.
  static float viewYawDegrees(const cv::Mat_<float>& poseVector);

  // Pitch, yaw and roll (radians) of the rotation in a pose vector's first three
  // elements. Finite for every finite rotation, half turns included.
  static void headAngles(const cv::Mat_<float>& poseVector, float& pitchOut, float& yawOut, float& rollOut);

  // Iterations run by the last calcShape3D that fitted (1..5; 0 before any fit).
  int lastShape3DIterations() const { return shape3DIterations_; }

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

 private:
  // read(in), then initialShape from the first frontal stage (as load does).
  int readAndPlace(io::Reader& in);
  bool hasViews() const;
  void loseFace();
  int trackFrame(const cv::Mat_<unsigned char>& image);
  void predictMotion(const cv::Mat_<unsigned char>& image);
  bool fitShape(const cv::Mat_<unsigned char>& image, float yawDeg, cv::Matx23f& transform,
                cv::Mat_<float>& frameConfidence);
  // setupFeature with the shape written into out and the transform into
  // transform; transformSet tells whether the transform was reached. False
  // where setupFeature returns an empty shape.
  bool setupFeatureInto(const cv::Mat& image, const cv::Mat_<float>& shape, const LinearModel& shapeModel,
                        const std::vector<LinearShapeRegressor>& cascade, cv::Matx23f& transform,
                        bool& transformSet, cv::Mat_<float>& out);
  // Runs the stages over s in place.
  void runCascade(std::vector<LinearShapeRegressor>& cascade, cv::Mat_<float>& s);
  void estimateEyeCentres(const cv::Matx23f& inverse);
  void smoothPoints(const cv::Mat_<unsigned char>& image);
  void computeHeadAngles();
  // Deep copy of src into dst, reusing dst's buffer when dst alone owns one of
  // the right size (other holders of a previous result keep their values).
  static void storeCopy(cv::Mat_<float>& dst, const cv::Mat_<float>& src);

  // Per-frame scratch, kept so that steady tracking does not allocate it anew.
  cv::Mat_<float> eyeVector_;
  cv::Mat_<float> flowPoints_;
  cv::Mat_<float> subset2D_;
  cv::Mat_<float> subset3D_;
  cv::Mat_<float> planar3D_;
  cv::Mat_<float> params3D_;
  cv::Mat_<float> previousParams3D_;
  cv::Mat_<float> fit3D_;
  cv::Mat_<float> shapeParameters_;
  cv::Mat_<float> regularised_;
  cv::Mat_<float> startShape_;
  cv::Mat_<float> frontalShape_;
  cv::Mat_<float> sideShape_;
  cv::Mat_<float> frontalScore_;
  cv::Mat_<float> sideScore_;
  cv::Mat_<float> frameConfidence_;
  cv::Mat_<float> fitPose_[2];
  FacePosePredictor::Workspace poseWorkspace_;
  std::vector<unsigned char> fittedLandmark_;
  int shape3DIterations_ = 0;
  std::string lastError_;
  // The last read met a 3D section (even one switched off by the checks).
  bool carried3DSection_ = false;
  cv::Rect readRegion_;
  // Scratch of frameRegion (a query that changes nothing else).
  mutable cv::Mat_<float> regionParameters_;
  mutable cv::Mat_<float> regionShape_;
};

}  // namespace zeq
