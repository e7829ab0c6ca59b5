#pragma once
// Synthetic occluders over parts of a face: flat patches, textures cut from
// other photos, hand-sized blobs and covered lower or side halves. They teach
// the classifiers what a covered landmark looks like and let the evaluator
// measure it. Header-only: the trainer and the evaluator draw them the same way.
#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "Landmarks.h"

namespace zeq {
namespace train {

struct Occluder {
  enum Kind : unsigned char { kNone, kFlat, kTexture, kBlob, kLowerHalf, kSideHalf };
  Kind kind = kNone;
  cv::RotatedRect region;  // rectangle (flat, texture) or ellipse (blob), image pixels
  float cut = 0.f;         // kLowerHalf: y from which the face is covered; kSideHalf: x
  bool coverLeft = false;  // kSideHalf: the image-left side is covered
  int grey = 128;          // flat value, or the blob's brightness shift
  int source = -1;         // photo the texture is cut from
  cv::Point2f sourceAt;    // centre of the cut in the source, as fractions of its size
  bool ellipse = false;    // flat and texture patches may be round
};

// A random occluder over the face whose landmarks are `truth`. `photos` is the
// number of photos a texture may be cut from (0: no texture occluders).
inline Occluder randomOccluder(const cv::Mat_<float>& truth, int photos, std::mt19937& rng) {
  auto uni = [&rng](double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); };
  const cv::Rect2f box = landmarkBox(truth);
  const double side = std::max(box.width, box.height);
  Occluder o;
  const double which = uni(0, 1);
  if (which < 0.3) o.kind = Occluder::kFlat;
  else if (which < 0.55) o.kind = photos > 0 ? Occluder::kTexture : Occluder::kFlat;
  else if (which < 0.8) o.kind = Occluder::kBlob;
  else if (which < 0.92) o.kind = Occluder::kLowerHalf;
  else o.kind = Occluder::kSideHalf;
  // Centred on a random landmark, so that it always covers part of the face.
  const int anchor = std::uniform_int_distribution<int>(0, truth.rows / 2 - 1)(rng);
  const cv::Point2f at(truth(2 * anchor) + static_cast<float>(uni(-0.1, 0.1) * side),
                       truth(2 * anchor + 1) + static_cast<float>(uni(-0.1, 0.1) * side));
  o.grey = std::uniform_int_distribution<int>(0, 255)(rng);
  o.ellipse = uni(0, 1) < 0.3;
  switch (o.kind) {
    case Occluder::kFlat:
    case Occluder::kTexture:
      // About a tenth to a half of the face's box.
      o.region = cv::RotatedRect(at, cv::Size2f(static_cast<float>(side * uni(0.25, 0.7)), static_cast<float>(side * uni(0.25, 0.7))),
                                 static_cast<float>(uni(-45, 45)));
      break;
    case Occluder::kBlob:
      // A hand or an arm: longer than wide, any direction.
      o.region = cv::RotatedRect(at, cv::Size2f(static_cast<float>(side * uni(0.3, 0.5)), static_cast<float>(side * uni(0.6, 1.1))),
                                 static_cast<float>(uni(0, 180)));
      o.grey = std::uniform_int_distribution<int>(-60, 60)(rng);
      break;
    case Occluder::kLowerHalf:
      // From between the eyes and the mouth down: a scarf, a mask, a desk.
      o.cut = static_cast<float>(box.y + box.height * uni(0.45, 0.75));
      break;
    case Occluder::kSideHalf:
      o.coverLeft = uni(0, 1) < 0.5;
      o.cut = static_cast<float>(box.x + box.width * uni(o.coverLeft ? 0.2 : 0.45, o.coverLeft ? 0.55 : 0.8));
      break;
    case Occluder::kNone:
      break;
  }
  if (photos > 0) o.source = std::uniform_int_distribution<int>(0, photos - 1)(rng);
  o.sourceAt = cv::Point2f(static_cast<float>(uni(0.2, 0.8)), static_cast<float>(uni(0.2, 0.8)));
  return o;
}

// The region an occluder covers, as an 8-bit mask of the image's size (255 covered).
inline cv::Mat occluderMask(const Occluder& o, const cv::Size& size) {
  cv::Mat mask = cv::Mat::zeros(size, CV_8U);
  switch (o.kind) {
    case Occluder::kFlat:
    case Occluder::kTexture:
    case Occluder::kBlob:
      if (o.kind == Occluder::kBlob || o.ellipse) {
        cv::ellipse(mask, o.region, cv::Scalar(255), cv::FILLED, cv::LINE_8);
      } else {
        cv::Point2f c[4];
        o.region.points(c);
        const cv::Point corners[4] = {c[0], c[1], c[2], c[3]};
        cv::fillConvexPoly(mask, corners, 4, cv::Scalar(255), cv::LINE_8);
      }
      break;
    case Occluder::kLowerHalf: {
      const int y = std::clamp(static_cast<int>(std::ceil(o.cut)), 0, size.height);
      mask.rowRange(y, size.height).setTo(255);
      break;
    }
    case Occluder::kSideHalf: {
      const int x = std::clamp(static_cast<int>(std::ceil(o.cut)), 0, size.width);
      if (o.coverLeft) mask.colRange(0, x).setTo(255);
      else mask.colRange(x, size.width).setTo(255);
      break;
    }
    case Occluder::kNone:
      break;
  }
  return mask;
}

// The grey photo with the occluder painted over it (a new image). `source` is
// the photo a texture or blob is cut from (may be empty: then a flat fill).
inline cv::Mat paintOccluder(const cv::Mat& grey, const Occluder& o, const cv::Mat& source) {
  cv::Mat out = grey.clone();
  if (o.kind == Occluder::kNone) return out;
  const cv::Mat mask = occluderMask(o, grey.size());
  cv::Mat fill(grey.size(), CV_8U, cv::Scalar(o.grey));
  const bool cut = !source.empty() && (o.kind == Occluder::kTexture || o.kind == Occluder::kBlob ||
                                       ((o.kind == Occluder::kLowerHalf || o.kind == Occluder::kSideHalf) && o.grey % 2));
  if (cut) {
    // The source photo shifted so that the chosen spot lands on the occluder,
    // repeated at its borders.
    const cv::Point2f at = o.kind == Occluder::kTexture || o.kind == Occluder::kBlob
                               ? o.region.center
                               : cv::Point2f(grey.cols * 0.5f, grey.rows * 0.5f);
    const double dx = at.x - o.sourceAt.x * source.cols, dy = at.y - o.sourceAt.y * source.rows;
    const cv::Matx23d shift(1, 0, dx, 0, 1, dy);
    cv::warpAffine(source, fill, shift, grey.size(), cv::INTER_LINEAR, cv::BORDER_REFLECT_101);
    if (o.kind == Occluder::kBlob) {
      // Skin-like: smooth, with the brightness moved a little.
      cv::GaussianBlur(fill, fill, cv::Size(0, 0), std::max(2.0, 0.04 * o.region.size.width));
      fill.convertTo(fill, CV_8U, 1.0, o.grey);
    }
  }
  fill.copyTo(out, mask);
  return out;
}

// Whether each landmark of `shape` lies under the occluder.
inline std::vector<unsigned char> coveredLandmarks(const Occluder& o, const cv::Mat& mask, const cv::Mat_<float>& shape) {
  std::vector<unsigned char> covered(shape.rows / 2, 0);
  if (o.kind == Occluder::kNone) return covered;
  for (int i = 0; i < shape.rows / 2; ++i) {
    const int x = static_cast<int>(std::lround(shape(2 * i))), y = static_cast<int>(std::lround(shape(2 * i + 1)));
    covered[i] = x >= 0 && y >= 0 && x < mask.cols && y < mask.rows && mask.at<unsigned char>(y, x) != 0;
  }
  return covered;
}

// Area under the ROC curve of a score that should be higher for `positives`
// than for `negatives`: the chance that a random positive outscores a random
// negative, ties counting half. NaN when either side is empty.
inline double rocAuc(const std::vector<double>& positives, const std::vector<double>& negatives) {
  if (positives.empty() || negatives.empty()) return NAN;
  std::vector<std::pair<double, bool>> all;
  all.reserve(positives.size() + negatives.size());
  for (double v : positives) all.emplace_back(v, true);
  for (double v : negatives) all.emplace_back(v, false);
  std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  // Mann-Whitney: the rank sum of the positives, tied runs sharing their mean rank.
  double rankSum = 0;
  for (std::size_t i = 0; i < all.size();) {
    std::size_t j = i;
    while (j < all.size() && all[j].first == all[i].first) ++j;
    const double rank = 0.5 * (i + 1 + j);
    for (std::size_t k = i; k < j; ++k)
      if (all[k].second) rankSum += rank;
    i = j;
  }
  const double np = static_cast<double>(positives.size()), nn = static_cast<double>(negatives.size());
  return (rankSum - np * (np + 1) / 2) / (np * nn);
}

}  // namespace train
}  // namespace zeq
