#pragma once
#include <cstdio>

#include <Eigen/Core>
#include <opencv2/core.hpp>

#include "engine/Feature.h"
#include "engine/Reader.h"

namespace zeq {

// One stage of cascaded linear regression: descriptor at the shape -> shape increment.
class LinearShapeRegressor {
 public:
  enum class Mode { None, Global, Local, LocalWithShape };

  cv::Mat_<float> referenceShape;  // 2n x 1
  cv::Mat_<float> mixMatrix;
  cv::Mat_<float> featureMatrix;
  cv::Mat_<float> offset;
  cv::Mat_<float> descriptor;      // scratch, filled by predict
  Eigen::MatrixXf referenceShapeCopy;
  Eigen::MatrixXf offsetCopy;

  // Updated copy of shape. With align the increment is computed in the frame of
  // referenceShape and mapped back.
  cv::Mat_<float> predict(Feature& feature, const cv::Mat_<float>& shape, bool align);
  // The same update written over shape itself (the per-frame path keeps its
  // shapes in reused buffers). shape must not share its buffer with a matrix
  // that still needs the old values.
  void predictInPlace(Feature& feature, cv::Mat_<float>& shape, bool align);

  // Adds the increment for the current descriptor to shape (2n x 1) in place.
  // A stage whose matrices fit no supported configuration leaves shape unchanged.
  void computeUpdate(cv::Mat_<float>& shape);

  // The mode this stage runs in for n landmarks and a descriptor of D values, or
  // None when its matrices are not fully consistent with those sizes.
  Mode mode(int n, int D) const;
  bool isValidFor(int n, int D) const { return mode(n, D) != Mode::None; }

  // Rebuilds referenceShapeCopy and offsetCopy from referenceShape and offset.
  // read() does this; code that sets those members by hand calls it afterwards.
  void refreshCopies();

  int write(FILE* f) const;
  int read(FILE* f);
  int read(io::Reader& in);
  int save(const char* path) const;
  int load(const char* path);

 private:
  // Scratch of computeUpdate, kept so that a stage allocates only once.
  Eigen::VectorXf work_;
  Eigen::VectorXf increment_;
};

}  // namespace zeq
