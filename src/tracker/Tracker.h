#pragma once

#include <array>
#include <cstddef>
#include <string>

#include <opencv2/core.hpp>

#include "engine/FaceTracker.h"
#include "engine/LandmarkLayout.h"

// The two plain-name factory functions are part of the plug-in's public surface.
#if defined(_WIN32)
#define ZEQ_EXPORT __declspec(dllexport)
#else
#define ZEQ_EXPORT __attribute__((visibility("default")))
#endif

namespace zeq {

// Owns one tracking engine, places it on detected faces, runs its update and
// republishes a fixed subset of 30 landmarks plus camera-space results.
class Tracker {
 public:
  static constexpr int kOutputPoints = layout::kPublishedCount;
  // The engine landmark behind each output slot.
  static constexpr const std::array<int, kOutputPoints>& selected = layout::kPublished;

  Tracker() = default;
  ~Tracker();
  Tracker(const Tracker&) = delete;
  Tracker& operator=(const Tracker&) = delete;

  void releaseData();
  // New engine from "<modelDir>/zeqTracker.model" (and "/3d.pts"); 0 or -1.
  // A null directory creates the engine but loads nothing and returns -1.
  int initialise(const char* modelDir);
  // New engine from the bytes of a combined model file; the same result and
  // engine as initialise() on a directory holding just that file. 0 or -1.
  int initialiseFromMemory(const unsigned char* data, std::size_t size);
  // New engine from one combined model file; the engine's load result.
  int load(const char* path);

  // Reason of the last failed initialise/initialiseFromMemory/load, or the
  // warning of a model loaded without its 3D fit; empty after a clean load.
  const std::string& lastError() const { return lastError_; }

  // Exchanges everything both trackers own (engine, model state, reference
  // distances, head-transform state, last error), so a model can be loaded
  // into a spare tracker and put in place only once it loaded.
  void swap(Tracker& other) noexcept;

  // > 0 tracked, 0 lost or nothing to track, -1 without an engine.
  int update(const unsigned char* grey, int width, int height);
  // Places the engine's reference shape into the face box; false when there is
  // no engine, no loaded model, no 66-landmark reference shape or the box is invalid.
  bool reset(int x, int y, int width, int height);

  // The part of the next width x height frame that update() reads while a face
  // is tracked (pixels outside it may hold anything); false when it needs the
  // whole frame (no engine or face, the frame after a placement, a face nearly
  // as large as the frame).
  bool frameRegion(int width, int height, cv::Rect& roi) const;

  int nPoints() const { return kOutputPoints; }
  // 60 floats (x, y per point) / 30 floats; null when the engine tracks nothing.
  const float* getPoints() const;
  const float* getConfidence() const;

  float getPitchRadians() const;
  float getYawRadians() const;
  float getRollRadians() const;
  bool getSmoothing() const;
  void setSmoothing(bool smoothing);
  void setThreshold(float t);

  // Camera-space results. Outputs are left untouched when the engine's state
  // cannot support them (3D shape shorter than the 2D shape, too few points,
  // camera values outside the ranges of cameraUsable, a solve that is not
  // finite as float, puts the head beyond kMaxTranslation or does not explain
  // the landmarks).
  void getTranslation(float& x, float& y, float& z, float focal, float cx, float cy) const;
  void getTranslationInImage(float& x, float& y) const;
  float getScaleInImage() const;
  void getScale3D(float& x, float& y, float& z) const;
  static void calibrationMatrixValues(const float* K, float width, float height, double apertureWidth,
                                      double apertureHeight, double& fovX, double& fovY, double& focalLength,
                                      double& aspectRatio);

  // 4 x 4 head transform (column by column) from the fitted 3D shape and the
  // landmarks; distortion may be null (else 5 coefficients). Each method keeps
  // its last solved pose to refine the next one. The matrix is left untouched
  // for camera values out of range (see cameraUsable) and for a solve that is
  // not finite or puts the head absurdly far away; such a solve is not kept.
  void getTransform(float* matrix, const float* camera, const float* distortion);
  void getTransformEX(float* matrix, const float* camera, const float* distortion, const int* indices,
                      int count);

  // Camera matrix (9 values, row-major) and optional 5 distortion coefficients
  // the solver can work with: finite, focal lengths within kMinFocal..kMaxFocal,
  // principal point and skew within kMaxPrincipal, distortion within kMaxDistortion.
  static bool cameraUsable(const float* camera, const float* distortion);
  static constexpr float kMinFocal = 1.f;
  static constexpr float kMaxFocal = 1e6f;
  static constexpr float kMaxPrincipal = 1e6f;
  static constexpr float kMaxDistortion = 100.f;
  // Largest translation component (in 3D model units) taken as a real head.
  static constexpr double kMaxTranslation = 1e7;

  // Fewest point pairs the pose solver accepts.
  static constexpr int kMinSolverPoints = 4;
  // Largest image side accepted by calibrationMatrixValues.
  static constexpr int kMaxImageSide = 16384;

  FaceTracker* faceTracker = nullptr;
  // The stored head-transform poses may seed the next solve; cleared whenever
  // the engine is destroyed or re-placed and whenever there is no face.
  bool reuse_last_frame = false;

 private:
  // Last solved head pose of one transform method.
  struct SolverSeed {
    cv::Mat rvec;
    cv::Mat tvec;
    bool solved = false;
  };

  void replaceEngine();
  void forgetPoses();
  void computeReferenceDistances();
  void solveTransform(const cv::Mat& object, const cv::Mat& image, const float* camera, const float* distortion,
                      SolverSeed& seed, float* matrix);

  // The last initialise/load filled the engine completely; placement refuses otherwise.
  bool modelReady_ = false;
  std::string lastError_;
  SolverSeed transformSeed_;
  SolverSeed transformEXSeed_;
};

}  // namespace zeq

extern "C" {
ZEQ_EXPORT zeq::Tracker* createzeqTracker();
ZEQ_EXPORT void destroyzeqTracker(zeq::Tracker* t);
}
