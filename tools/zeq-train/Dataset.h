#pragma once
// Training photos: loading, views by yaw, mirrored copies, and the error of the
// detector-based placement that starts tracking on a first frame.
#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#include "Landmarks.h"

namespace zeq {
namespace train {

enum View { kFrontal = 0, kPositive = 1, kNegative = 2, kViews = 3 };
inline const char* viewName(int v) { return v == kFrontal ? "frontal" : v == kPositive ? "positive-yaw" : "negative-yaw"; }

struct Photo {
  std::string name;
  cv::Mat grey;            // 8-bit, one channel
  cv::Mat_<float> truth;   // 132 x 1, image pixels
  float yaw = 0.f;         // degrees, from the pose predictor on the truth
  bool strong = true;      // annotated by people (false: reference-model labels)
  bool tune = false;       // held out from fitting; chooses hyper-parameters
  bool mirrored = false;
  bool altered = false;    // a turned, rescaled or degraded copy of another photo
};

// Image files of a folder that have a .pts file beside them, sorted by name.
std::vector<std::string> listAnnotatedImages(const std::string& dir);

// Loads the listed photos (grey, as the plug-in converts them, and the 66-point
// truth) with `threads` threads. Unreadable ones are skipped with a message.
std::vector<Photo> loadPhotos(const std::string& dir, const std::vector<std::string>& files, bool strong,
                              bool tune, int threads);

// Yaw of a shape in degrees, as the engine's view choice computes it, against
// the rigid 3D face `reference` (interleaved; empty: the built-in face).
float yawOf(const cv::Mat_<float>& shape, const cv::Mat_<float>& reference = cv::Mat_<float>());

// Horizontally flipped copy with the landmarks renumbered.
Photo mirrorPhoto(const Photo& p);

// Placement error of the detector start relative to the truth, in units of the
// truth's RMS size (translation) and as a log scale ratio.
struct PlacementError {
  double dx = 0, dy = 0, logScale = 0;
  float yaw = 0.f;
  double placedError = 0;  // normalised error of the placed shape
};

// Runs the detector with the plug-in's parameters on each photo, keeps the
// detection that matches the annotated face, places `reference` by the eye rule
// into the shrunk box and records the error. `found` counts matched photos.
std::vector<PlacementError> measurePlacement(const std::vector<Photo>& photos, const std::string& cascadePath,
                                             const cv::Mat_<float>& reference, int threads, int& found);

// Runs fn(thread, index) for index in [0, count) on `threads` threads; thread t
// takes a fixed contiguous range so that results do not depend on timing.
template <typename F>
void parallelRange(int count, int threads, F&& fn) {
  threads = std::max(1, std::min(threads, count));
  if (threads == 1) {
    for (int i = 0; i < count; ++i) fn(0, i);
    return;
  }
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) {
    const int begin = static_cast<int>(static_cast<long long>(count) * t / threads);
    const int end = static_cast<int>(static_cast<long long>(count) * (t + 1) / threads);
    pool.emplace_back([&fn, t, begin, end] {
      for (int i = begin; i < end; ++i) fn(t, i);
    });
  }
  for (auto& th : pool) th.join();
}
}  // namespace train
}  // namespace zeq
