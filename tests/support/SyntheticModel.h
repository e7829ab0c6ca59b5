#pragma once
#include <string>

#include <opencv2/core.hpp>

#include "engine/FaceTracker.h"

namespace zeq {
namespace testing {

// Knobs of the hand-built tracker model used by tests and benchmarks.
struct SyntheticModelOptions {
  int stages = 1;                 // stages per view cascade (local-with-shape mode)
  int shapeModes = 4;             // non-rigid modes on top of the 4 similarity modes
  float classifierOffset = 1.0f;  // raw confidence of every landmark (1 -> tracked, 0 -> lost)
  bool with3D = true;             // 3D section: reference face + deformable model of landmarks 17..65
  int modes3D = 4;                // modes of the deformable 3D model
  bool withFeatureParameters = true;
  bool withEyeIndices = false;    // firstEyeIndices 36..41, secondEyeIndices 42..47
  bool realisticSize = false;     // small random non-zero regression/classifier weights of the real sizes (benchmarks)
  unsigned seed = 1;
};

// 66-point mean face (132 x 1, x/y interleaved) in the 128 x 128 normalised
// frame: the frontal view of the pose predictor's reference face, scaled so the
// eye centres are 40 px apart and centred in the frame.
// The pose predictor's built-in reference face as an interleaved column (x, y, z per point).
cv::Mat_<float> interleavedReference3D();
cv::Mat_<float> syntheticMeanShape();

// Fills every model member of tracker (three views, classifiers, shape models,
// optional 3D models, feature parameters and eye index tables) and initialShape.
void fillSyntheticModel(zeq::FaceTracker& tracker, const SyntheticModelOptions& options = {});

// Writes "<dir>/zeqTracker.model"; with withFaceDetector also copies OpenCV's
// frontal-face Haar cascade to "<dir>/face.xml". 0 on success, -1 on failure.
int writeSyntheticModelDir(const std::string& dir, const SyntheticModelOptions& options = {},
                           bool withFaceDetector = true);

}  // namespace testing
}  // namespace zeq
