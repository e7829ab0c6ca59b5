#include "Dataset.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <mutex>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "ShapeModelBuilder.h"
#include "engine/FaceDetector.h"
#include "engine/FacePosePredictor.h"
#include "engine/FaceTracker.h"

namespace zeq {
namespace train {

namespace fs = std::filesystem;

std::vector<std::string> listAnnotatedImages(const std::string& dir) {
  std::vector<std::string> files;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    if (!entry.is_regular_file()) continue;
    const fs::path p = entry.path();
    std::string ext = p.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    if (ext != ".jpg" && ext != ".jpeg" && ext != ".png") continue;
    fs::path pts = p;
    pts.replace_extension(".pts");
    if (fs::exists(pts)) files.push_back(p.filename().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

float yawOf(const cv::Mat_<float>& shape, const cv::Mat_<float>& reference) {
  thread_local FacePosePredictor predictor;
  thread_local cv::Mat_<float> current;
  if (reference.data != current.data) {
    predictor = FacePosePredictor();
    if (!reference.empty()) predictor.setShape(reference);
    current = reference;
  }
  const cv::Mat_<float> pose = predictor.calcPose(shape);
  if (pose.total() != 6) return 0.f;
  return FaceTracker::viewYawDegrees(pose);
}

std::vector<Photo> loadPhotos(const std::string& dir, const std::vector<std::string>& files, bool strong,
                              bool tune, int threads) {
  std::vector<Photo> photos(files.size());
  std::vector<char> ok(files.size(), 0);
  std::mutex printLock;
  parallelRange(static_cast<int>(files.size()), threads, [&](int, int i) {
    const fs::path image = fs::path(dir) / files[i];
    fs::path pts = image;
    pts.replace_extension(".pts");
    std::vector<cv::Point2f> points;
    cv::Mat colour = cv::imread(image.string(), cv::IMREAD_COLOR);
    cv::Mat_<float> truth;
    if (readPts(pts.string(), points)) truth = toShape66(points);
    if (colour.empty() || truth.empty()) {
      std::lock_guard<std::mutex> lock(printLock);
      std::printf("  skipped %s (unreadable image or landmarks)\n", files[i].c_str());
      return;
    }
    Photo& p = photos[i];
    p.name = files[i];
    cv::cvtColor(colour, p.grey, cv::COLOR_BGR2GRAY);
    p.truth = truth;
    p.yaw = yawOf(truth);
    p.strong = strong;
    p.tune = tune;
    ok[i] = 1;
  });
  std::vector<Photo> out;
  out.reserve(photos.size());
  for (std::size_t i = 0; i < photos.size(); ++i)
    if (ok[i]) out.push_back(std::move(photos[i]));
  return out;
}

Photo mirrorPhoto(const Photo& p) {
  Photo m = p;
  mirrorImageAndShape(p.grey, p.truth, m.grey, m.truth);
  m.yaw = yawOf(m.truth);
  m.mirrored = true;
  return m;
}

std::vector<PlacementError> measurePlacement(const std::vector<Photo>& photos, const std::string& cascadePath,
                                             const cv::Mat_<float>& reference, int threads, int& found) {
  std::vector<PlacementError> errors(photos.size());
  std::vector<char> ok(photos.size(), 0);
  std::vector<FaceDetector> detectors(std::max(1, threads));
  for (auto& d : detectors)
    if (!d.load(cascadePath)) return {};
  parallelRange(static_cast<int>(photos.size()), threads, [&](int t, int i) {
    const Photo& p = photos[i];
    std::vector<cv::Rect> boxes;
    detectors[t].search(p.grey, boxes);
    double best = -1;
    cv::Rect box;
    for (const auto& b : boxes) {
      const double score = matchDetection(b, p.truth);
      if (score > best) {
        best = score;
        box = b;
      }
    }
    if (best < 0) return;
    const cv::Mat_<float> placed = placeInBox(reference, FaceDetector::trackerBox(box));
    if (placed.empty()) return;
    const cv::Point2d ct = centroid(p.truth), cp = centroid(placed);
    const double st = rmsSize(p.truth), sp = rmsSize(placed);
    PlacementError& e = errors[i];
    e.dx = (cp.x - ct.x) / st;
    e.dy = (cp.y - ct.y) / st;
    e.logScale = std::log(sp / st);
    e.yaw = p.yaw;
    e.placedError = normalisedError(placed, p.truth);
    ok[i] = 1;
  });
  std::vector<PlacementError> out;
  for (std::size_t i = 0; i < errors.size(); ++i)
    if (ok[i]) out.push_back(errors[i]);
  found = static_cast<int>(out.size());
  return out;
}

}  // namespace train
}  // namespace zeq
