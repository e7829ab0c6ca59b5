#pragma once
#include <cstdio>

#include <opencv2/core.hpp>

#include "engine/Reader.h"

namespace zeq {

// Linear model of a D-vector: mean plus K modes (columns of basis). Used to keep
// 2D shapes plausible and as the deformable 3D face.
class LinearModel {
 public:
  cv::Mat_<float> mean;       // D x 1
  cv::Mat_<float> basis;      // D x K
  cv::Mat_<float> modeScale;  // K x 1, the clamp limit per mode in parameter units

  int dimension() const { return mean.rows; }
  int modes() const { return basis.cols; }
  bool empty() const { return mean.empty(); }
  // Members agree with each other (basis D x K, modeScale K x 1).
  bool consistent() const;

  // basis^T (v - mean), K x 1. Empty when v does not hold D values.
  cv::Mat_<float> project(const cv::Mat_<float>& v) const;
  // mean + basis p, D x 1. Empty when p does not hold K values.
  cv::Mat_<float> reconstruct(const cv::Mat_<float>& p) const;
  // The same results written into out, whose buffer is reused when it already
  // has the size (and so is overwritten); false, out untouched, where the forms
  // above return an empty matrix.
  bool projectInto(const cv::Mat_<float>& v, cv::Mat_<float>& out) const;
  bool reconstructInto(const cv::Mat_<float>& p, cv::Mat_<float>& out) const;
  // Limits each p[k] to +-factor * modeScale[k]; -1 (p untouched) when p is not K long.
  int clamp(cv::Mat_<float>& p, float factor) const;

  // Record: int32 D, int32 K, D floats of mean, D x K floats of basis (row-major),
  // K floats of modeScale.
  int write(FILE* f) const;
  int read(FILE* f);
  int read(io::Reader& in);
  int save(const char* path) const;
  int load(const char* path);
};

}  // namespace zeq
