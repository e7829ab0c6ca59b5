#pragma once
// Landmark files and landmark bookkeeping shared by the trainer, the evaluator
// and their tests: .pts reading, the 68 -> 66 point mapping, mirroring and the
// normalised error. Header-only so that tests and both tools use one copy.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "engine/LandmarkLayout.h"
#include "engine/Placement.h"

namespace zeq {
namespace train {

constexpr int kPoints = layout::kLandmarks;

// Reads a 300-W style .pts file ("version: 1", "n_points: N", "{", N lines
// "x y", "}"). Coordinates are zero-based pixels. False on any malformed line.
inline bool readPts(const std::string& path, std::vector<cv::Point2f>& points) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  int count = -1;
  bool inside = false;
  points.clear();
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (!inside) {
      if (line.rfind("n_points:", 0) == 0) {
        std::istringstream ss(line.substr(9));
        if (!(ss >> count) || count <= 0 || count > 1000) return false;
      } else if (line[0] == '{') {
        inside = true;
      }
      continue;
    }
    if (line[0] == '}') break;
    std::istringstream ss(line);
    float x = 0.f, y = 0.f;
    if (!(ss >> x >> y) || !std::isfinite(x) || !std::isfinite(y)) return false;
    points.emplace_back(x, y);
  }
  return inside && count > 0 && static_cast<int>(points.size()) == count;
}

inline bool writePts(const std::string& path, const cv::Mat_<float>& shape) {
  std::ofstream out(path);
  if (!out) return false;
  const int n = shape.rows / 2;
  out << "version: 1\nn_points:  " << n << "\n{\n";
  for (int i = 0; i < n; ++i) out << shape(2 * i) << ' ' << shape(2 * i + 1) << '\n';
  out << "}\n";
  return static_cast<bool>(out);
}

// The 66-point scheme is the 68-point one without the inner mouth corners (60, 64).
// Returns the interleaved 132 x 1 shape, or an empty matrix for other counts.
inline cv::Mat_<float> toShape66(const std::vector<cv::Point2f>& points) {
  if (points.size() != 68 && points.size() != 66) return cv::Mat_<float>();
  cv::Mat_<float> shape(2 * kPoints, 1);
  int k = 0;
  for (int i = 0; i < static_cast<int>(points.size()); ++i) {
    if (points.size() == 68 && (i == 60 || i == 64)) continue;
    shape(2 * k) = points[i].x;
    shape(2 * k + 1) = points[i].y;
    ++k;
  }
  return shape;
}

// Landmark that takes the place of landmark i when the face is mirrored left-right.
inline const std::array<int, kPoints>& mirrorPermutation() { return layout::kMirror; }

// The shape of the horizontally flipped image (cv::flip code 1): x -> width - 1 - x,
// with landmarks renumbered so that each keeps its anatomical meaning.
inline cv::Mat_<float> mirrorShape(const cv::Mat_<float>& shape, int imageWidth) {
  const auto& perm = mirrorPermutation();
  cv::Mat_<float> out(shape.rows, 1);
  for (int i = 0; i < kPoints; ++i) {
    const int j = perm[i];
    out(2 * i) = static_cast<float>(imageWidth - 1) - shape(2 * j);
    out(2 * i + 1) = shape(2 * j + 1);
  }
  return out;
}

// The horizontally flipped image with its mirrored shape. The outputs are new
// buffers: flipping into a header that shares the input's pixels (a shallow
// copy) would flip the input as well.
inline void mirrorImageAndShape(const cv::Mat& image, const cv::Mat_<float>& shape, cv::Mat& imageOut,
                                cv::Mat_<float>& shapeOut) {
  cv::Mat flipped;
  cv::flip(image, flipped, 1);
  imageOut = flipped;
  shapeOut = mirrorShape(shape, image.cols);
}

// Distance between the outer eye corners: the normaliser of the error.
inline double interocular(const cv::Mat_<float>& shape) {
  constexpr int a = layout::kFirstOuterEyeCorner, b = layout::kSecondOuterEyeCorner;
  return std::hypot(double(shape(2 * a)) - shape(2 * b), double(shape(2 * a + 1)) - shape(2 * b + 1));
}

// Mean point-to-point distance over all landmarks divided by the interocular
// distance of the ground truth.
inline double normalisedError(const cv::Mat_<float>& shape, const cv::Mat_<float>& truth) {
  if (shape.total() != truth.total() || truth.total() != 2u * kPoints) return NAN;
  double sum = 0.0;
  for (int i = 0; i < kPoints; ++i)
    sum += std::hypot(double(shape(2 * i)) - truth(2 * i), double(shape(2 * i + 1)) - truth(2 * i + 1));
  const double d = interocular(truth);
  return d > 0 ? sum / kPoints / d : NAN;
}

// Per-landmark distance divided by the interocular distance of the ground truth.
inline std::vector<double> landmarkErrors(const cv::Mat_<float>& shape, const cv::Mat_<float>& truth) {
  std::vector<double> e(kPoints, NAN);
  const double d = interocular(truth);
  if (!(d > 0) || shape.total() != truth.total()) return e;
  for (int i = 0; i < kPoints; ++i)
    e[i] = std::hypot(double(shape(2 * i)) - truth(2 * i), double(shape(2 * i + 1)) - truth(2 * i + 1)) / d;
  return e;
}

// Axis-aligned bounding box of the landmarks (float precision).
inline cv::Rect2f landmarkBox(const cv::Mat_<float>& shape) {
  float x0 = shape(0), x1 = shape(0), y0 = shape(1), y1 = shape(1);
  for (int i = 1; i < static_cast<int>(shape.rows) / 2; ++i) {
    x0 = std::min(x0, shape(2 * i));
    x1 = std::max(x1, shape(2 * i));
    y0 = std::min(y0, shape(2 * i + 1));
    y1 = std::max(y1, shape(2 * i + 1));
  }
  return cv::Rect2f(x0, y0, x1 - x0, y1 - y0);
}

// Whether a detector box belongs to the annotated face: it covers most of the
// landmarks' box and is not much larger or smaller than a face of that size.
// Returns a score (higher is better), or a negative value when it does not match.
inline double matchDetection(const cv::Rect& box, const cv::Mat_<float>& truth) {
  const cv::Rect2f face = landmarkBox(truth);
  const cv::Rect2f b(box);
  const float inter = (face & b).area();
  if (face.area() <= 0 || b.area() <= 0) return -1;
  const double covered = inter / face.area();
  const double ratio = b.area() / face.area();
  if (covered < 0.5 || ratio < 0.4 || ratio > 4.0) return -1;
  return inter / (face.area() + b.area() - inter);
}

// Role of a human-annotated photo, fixed by a hash of its file name so that the
// trainer and the evaluator agree without sharing a list: 20 % validation
// (never trained on), 12 % tuning (chooses hyper-parameters, never fitted),
// the rest fitting.
enum class Split { Fit, Tune, Validation };

inline Split splitOf(const std::string& fileName) {
  std::uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (unsigned char c : fileName) {
    h ^= c;
    h *= 1099511628211ull;
  }
  const int bucket = static_cast<int>(h % 100u);
  if (bucket < 20) return Split::Validation;
  if (bucket < 32) return Split::Tune;
  return Split::Fit;
}

// The engine's placement of a reference shape into a (shrunk) face box;
// empty when the reference cannot be placed.
inline cv::Mat_<float> placeInBox(const cv::Mat_<float>& reference, const cv::Rect& box) {
  cv::Mat_<float> placed;
  return placeByEyes(reference, box.x, box.y, box.width, box.height, placed) ? placed : cv::Mat_<float>();
}

}  // namespace train
}  // namespace zeq
