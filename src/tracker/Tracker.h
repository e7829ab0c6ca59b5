#pragma once

#include <array>

#include "engine/FaceTracker.h"
#include "engine/LandmarkLayout.h"

// The two plain-name factory functions are part of the plug-in's public surface.
#if defined(_WIN32)
#define ZEQ_EXPORT __declspec(dllexport)
#else
#define ZEQ_EXPORT __attribute__((visibility("default")))
#endif

namespace zeq {

// True while the stored head-transform pose may seed the next solve. Shared by
// every Tracker; cleared whenever an engine is destroyed or re-placed.
extern bool reuse_last_frame;

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
  // New engine from one combined model file; the engine's load result.
  int load(const char* path);

  // > 0 tracked, 0 lost or nothing to track, -1 without an engine.
  int update(const unsigned char* grey, int width, int height);
  // Places the engine's reference shape into the face box; false when there is
  // no engine, no loaded model, no 66-landmark reference shape or the box is invalid.
  bool reset(int x, int y, int width, int height);

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
  // unusable camera values, a solve that yields non-finite numbers).
  void getTranslation(float& x, float& y, float& z, float focal, float cx, float cy) const;
  void getTranslationInImage(float& x, float& y) const;
  float getScaleInImage() const;
  void getScale3D(float& x, float& y, float& z) const;
  static void calibrationMatrixValues(const float* K, float width, float height, double apertureWidth,
                                      double apertureHeight, double& fovX, double& fovY, double& focalLength,
                                      double& aspectRatio);

  // 4 x 4 head transform (column by column) from the fitted 3D shape and the
  // landmarks; distortion may be null (else 5 coefficients).
  void getTransform(float* matrix, const float* camera, const float* distortion) const;
  void getTransformEX(float* matrix, const float* camera, const float* distortion, const int* indices,
                      int count) const;

  // Fewest point pairs the pose solver accepts.
  static constexpr int kMinSolverPoints = 4;
  // Largest image side accepted by calibrationMatrixValues.
  static constexpr int kMaxImageSide = 16384;

  FaceTracker* faceTracker = nullptr;

 private:
  void replaceEngine();
  void computeReferenceDistances();

  // The last initialise/load filled the engine completely; placement refuses otherwise.
  bool modelReady_ = false;
};

}  // namespace zeq

extern "C" {
ZEQ_EXPORT zeq::Tracker* createzeqTracker();
ZEQ_EXPORT void destroyzeqTracker(zeq::Tracker* t);
}
