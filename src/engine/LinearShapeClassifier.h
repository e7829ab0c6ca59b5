#pragma once
#include <cstdio>

#include <Eigen/Core>
#include <opencv2/core.hpp>

#include "engine/Feature.h"
#include "engine/Reader.h"

namespace zeq {

// Linear per-landmark score: local score from each landmark's own descriptor
// block, mixed across landmarks, plus an offset. Raw values, not squashed.
class LinearShapeClassifier {
 public:
  cv::Mat_<float> referenceShape;  // L x 1, stored with the record only
  cv::Mat_<float> mixMatrix;       // n x n
  cv::Mat_<float> featureMatrix;   // n x (>= f)
  cv::Mat_<float> offset;          // n x 1
  cv::Mat_<float> descriptor;      // scratch

  cv::Mat_<float> predict(Feature& feature, const cv::Mat_<float>& shape);
  // n x 1 scores (n = shape rows / 2). A classifier that cannot score these sizes
  // returns zeros, so the caller sees no confidence rather than a crash.
  cv::Mat_<float> predict(const cv::Mat_<float>& descriptor, const cv::Mat_<float>& shape) const;
  // predict(feature, shape) written into out (its buffer reused when it has the size).
  void predictInto(Feature& feature, const cv::Mat_<float>& shape, cv::Mat_<float>& out);

  // Whether predict can score n landmarks from a descriptor of D values.
  bool isValidFor(int n, int D) const;

  int write(FILE* f) const;
  int read(FILE* f);
  int read(io::Reader& in);
  int save(const char* path) const;
  int load(const char* path);

 private:
  // n x 1 scores into result; local receives the per-landmark local scores.
  void score(const cv::Mat_<float>& descriptor, const cv::Mat_<float>& shape, Eigen::VectorXf& local,
             cv::Mat_<float>& result) const;
  // Per-landmark local scores of predictInto, kept between calls.
  Eigen::VectorXf local_;
};

}  // namespace zeq
