#pragma once
#include <opencv2/core.hpp>

namespace zeq {

// Head pose under scaled orthographic projection against a rigid 3D reference:
// x_i = s (R X_i)_xy + t. Pose vector: (rx, ry, rz, tx, ty, s), 6 x 1 float.
class FacePosePredictor {
 public:
  // Holds the built-in 66-point reference face, planar (all x, all y, all z).
  FacePosePredictor();

  // Replaces the reference with an interleaved 3D shape (x, y, z per point).
  // -1 (and a message) when the shape is not a single column of at least 3 points.
  int setShape(const cv::Mat_<float>& shape);
  void init();

  // Pose of an interleaved 2D shape against the reference. Empty when the shape
  // is not a continuous column with one point per reference point, when it is
  // degenerate (points on a line or at one position), when the reference does
  // not span three dimensions, or when the pose is not finite.
  cv::Mat_<float> calcPose(const cv::Mat_<float>& shape2D);
  // Pose against a given planar 3D shape; reads and changes no member.
  cv::Mat_<float> calcPose(const cv::Mat_<float>& shape2D, const cv::Mat_<float>& shape3D) const;

  // Scratch of the two-argument pose, for callers that run it every frame.
  struct Workspace {
    cv::Mat_<float> points;     // N x 3, centred
    cv::Mat_<float> mean;       // 1 x 3
    cv::Mat_<float> normal;     // P^T P
    cv::Mat_<float> inverse;    // (P^T P)^-1
    cv::Mat_<float> projector;  // 3 x N
  };
  // The two forms above with the pose written into `pose`, whose buffer is
  // reused when it has the size (and so is overwritten). Where they return an
  // empty matrix, `pose` is released and the result is false.
  bool calcPoseInto(const cv::Mat_<float>& shape2D, cv::Mat_<float>& pose);
  bool calcPoseInto(const cv::Mat_<float>& shape2D, const cv::Mat_<float>& shape3D, Workspace& workspace,
                    cv::Mat_<float>& pose) const;

  // Number of reference points.
  int numPoints() const;

  cv::Mat_<float> referenceShape;
  cv::Mat_<float> referenceMean;
  cv::Mat_<float> projector;
  bool initialised = false;
};

}  // namespace zeq
