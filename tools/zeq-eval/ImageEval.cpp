#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "../zeq-train/Landmarks.h"
#include "../zeq-train/Occluder.h"
#include "Eval.h"
#include "engine/FaceDetector.h"
#include "engine/FacePosePredictor.h"
#include "tracker/Tracker.h"

namespace zeq {
namespace eval {

namespace fs = std::filesystem;
using namespace zeq::train;

namespace {

struct Result {
  std::string name;
  float yaw = 0;
  bool detected = false;
  int boxes = 0;
  cv::Rect box;
  bool firstMatches = false;   // the detector's first box (the one the plug-in takes) is the face
  double error0 = NAN, error1 = NAN, error3 = NAN;
  double confidence1 = NAN, confidence3 = NAN;
  double ms1 = 0, msLater = 0;
  // Head angles in degrees after the last update; the in-image angle of the
  // truth's outer-eye-corner line (y down, so clockwise on screen is positive).
  double pitch = NAN, yawDeg = NAN, roll = NAN, eyeLine = NAN;
  bool mirrorTracked = false;
  double mirrorPitch = NAN, mirrorYaw = NAN, mirrorRoll = NAN;
  // Per-landmark confidences of the covered and the visible landmarks, for the
  // flat third-of-the-face patch and for the trainer's mix of occluders.
  std::vector<double> patchCovered, patchVisible, mixCovered, mixVisible;
  // Lower half covered: mean confidence and error of the upper-half landmarks.
  double lowerHalfConfidence = NAN, lowerHalfUpperError = NAN;
};

// A flat grey rectangle over a random third of the face's landmark box.
Occluder thirdOfTheFace(const cv::Mat_<float>& truth, std::mt19937& rng) {
  auto uni = [&rng](double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); };
  const cv::Rect2f box = landmarkBox(truth);
  const double aspect = uni(0.6, 1.6);
  const double w = std::min<double>(box.width, box.width * std::sqrt(aspect / 3.0));
  const double h = box.width * box.height / 3.0 / w;
  Occluder o;
  o.kind = Occluder::kFlat;
  o.grey = std::uniform_int_distribution<int>(0, 255)(rng);
  o.region = cv::RotatedRect(cv::Point2f(static_cast<float>(box.x + uni(w / 2, box.width - w / 2)),
                                         static_cast<float>(box.y + uni(std::min<double>(h, box.height) / 2,
                                                                        std::max<double>(box.height - h / 2, h / 2)))),
                             cv::Size2f(static_cast<float>(w), static_cast<float>(h)), 0.f);
  return o;
}

double degrees(float radians) { return radians * 180.0 / CV_PI; }

double meanOf(const std::vector<double>& v) {
  return v.empty() ? NAN : std::accumulate(v.begin(), v.end(), 0.0) / v.size();
}
double medianOf(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : 0.5 * (v[v.size() / 2 - 1] + v[v.size() / 2]);
}
double percentile(std::vector<double> v, double q) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(q * v.size()))];
}

double meanConfidence(const FaceTracker& e) {
  if (e.confidence.empty()) return 0.0;
  return cv::sum(e.confidence)[0] / e.confidence.rows;
}

void drawShape(cv::Mat& img, const cv::Mat_<float>& s, const cv::Scalar& colour) {
  for (int i = 0; i < s.rows / 2; ++i)
    cv::circle(img, cv::Point2f(s(2 * i), s(2 * i + 1)), 2, colour, cv::FILLED, cv::LINE_AA);
}

// Occlusion, mirror and roll figures.
void summariseExtras(const std::vector<Result>& results) {
  std::vector<double> pc, pv, mc, mv, lowerConf, lowerErr, dRoll, dYaw, dPitch;
  double sxx = 0, sx = 0, sy = 0, sxy = 0, sd = 0;
  int n = 0, lowerKept = 0;
  for (const auto& r : results) {
    for (double c : r.patchCovered) pc.push_back(1.0 - c);
    for (double c : r.patchVisible) pv.push_back(1.0 - c);
    for (double c : r.mixCovered) mc.push_back(1.0 - c);
    for (double c : r.mixVisible) mv.push_back(1.0 - c);
    if (std::isfinite(r.lowerHalfConfidence)) {
      lowerConf.push_back(r.lowerHalfConfidence);
      lowerKept += r.lowerHalfConfidence >= 0.3;
      if (std::isfinite(r.lowerHalfUpperError)) lowerErr.push_back(r.lowerHalfUpperError);
    }
    if (r.mirrorTracked && std::isfinite(r.roll)) {
      dRoll.push_back(std::abs(r.roll + r.mirrorRoll));
      dYaw.push_back(std::abs(r.yawDeg + r.mirrorYaw));
      dPitch.push_back(std::abs(r.pitch - r.mirrorPitch));
    }
    if (std::isfinite(r.roll) && std::isfinite(r.eyeLine)) {
      sx += r.eyeLine;
      sy += r.roll;
      sxx += r.eyeLine * r.eyeLine;
      sxy += r.eyeLine * r.roll;
      sd += r.roll - r.eyeLine;
      ++n;
    }
  }
  auto mean = [](const std::vector<double>& v) { return meanOf(v); };
  std::printf("occlusion, AUC of (1 - confidence) for covered against visible landmarks: flat third of the face %.3f "
              "(confidence covered %.3f, visible %.3f; %zu / %zu landmarks); mixed occluders %.3f (covered %.3f, "
              "visible %.3f; %zu / %zu)\n",
              rocAuc(pc, pv), 1 - mean(pc), 1 - mean(pv), pc.size(), pv.size(), rocAuc(mc, mv), 1 - mean(mc),
              1 - mean(mv), mc.size(), mv.size());
  std::printf("lower half covered: %zu photos, mean confidence %.3f (min %.3f), tracking kept (>= 0.3) %.1f %%, "
              "error of the visible upper landmarks %.4f\n",
              lowerConf.size(), mean(lowerConf), lowerConf.empty() ? NAN : *std::min_element(lowerConf.begin(), lowerConf.end()),
              100.0 * lowerKept / std::max<std::size_t>(1, lowerConf.size()), mean(lowerErr));
  std::printf("mirror test: %zu pairs, mean |roll + roll'| %.2f, |yaw + yaw'| %.2f, |pitch - pitch'| %.2f degrees\n",
              dRoll.size(), mean(dRoll), mean(dYaw), mean(dPitch));
  if (n > 1) {
    const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
    const double offset = (sy - slope * sx) / n;
    std::printf("roll against the eye line: roll = %.3f x eye-line angle %+.2f degrees (%d photos; mean roll - "
                "eye-line angle %+.2f); mean pitch %.2f, yaw %.2f\n",
                slope, offset, n, sd / n, [&] {
                  double p = 0;
                  for (const auto& r : results) p += std::isfinite(r.pitch) ? r.pitch : 0;
                  return p / n;
                }(),
                [&] {
                  double y = 0;
                  for (const auto& r : results) y += std::isfinite(r.yawDeg) ? r.yawDeg : 0;
                  return y / n;
                }());
  }
}

}  // namespace

int evaluateImages(const ImageOptions& opt) {
  const std::string cascadePath = opt.cascade.empty() ? opt.modelDir + "/face.xml" : opt.cascade;
  FaceDetector detector;
  if (!detector.load(cascadePath)) {
    std::printf("cannot load the face detector %s\n", cascadePath.c_str());
    return 1;
  }
  Tracker tracker;
  if (tracker.initialise(opt.modelDir.c_str()) != 0) {
    std::printf("cannot load the tracker model from %s\n", opt.modelDir.c_str());
    return 1;
  }
  // Keep fitting even when the confidence drops, so that every detected face
  // gets an error; whether the plug-in would have kept it is judged separately.
  tracker.setThreshold(0.f);
  tracker.setSmoothing(opt.smoothing);
  const float threshold = 0.3f;

  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(opt.imageDir)) {
    std::string ext = entry.path().extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    if (ext != ".jpg" && ext != ".jpeg" && ext != ".png") continue;
    fs::path pts = entry.path();
    pts.replace_extension(".pts");
    if (!fs::exists(pts)) continue;
    const std::string name = entry.path().filename().string();
    if (opt.split == "validation" && splitOf(name) != Split::Validation) continue;
    if (opt.split == "tune" && splitOf(name) != Split::Tune) continue;
    if (opt.split == "fit" && splitOf(name) != Split::Fit) continue;
    files.push_back(name);
  }
  std::sort(files.begin(), files.end());
  if (opt.limit >= 0 && static_cast<int>(files.size()) > opt.limit) files.resize(opt.limit);
  if (!opt.drawDir.empty()) fs::create_directories(opt.drawDir);

  FacePosePredictor pose;
  std::vector<Result> results;
  cv::Mat previousGrey;  // textures for the occluders come from the photo before
  std::vector<double> detectMs;
  for (const auto& name : files) {
    const fs::path path = fs::path(opt.imageDir) / name;
    fs::path ptsPath = path;
    ptsPath.replace_extension(".pts");
    std::vector<cv::Point2f> points;
    cv::Mat colour = cv::imread(path.string(), cv::IMREAD_COLOR);
    if (colour.empty() || !readPts(ptsPath.string(), points)) continue;
    const cv::Mat_<float> truth = toShape66(points);
    if (truth.empty()) continue;
    Result r;
    r.name = name;
    const cv::Mat_<float> p = pose.calcPose(truth);
    r.yaw = p.total() == 6 ? static_cast<float>(p(1) * 180.0 / CV_PI) : 0.f;

    // The plug-in's search.
    cv::Mat grey;
    cv::cvtColor(colour, grey, cv::COLOR_BGR2GRAY);
    std::vector<cv::Rect> boxes;
    const auto d0 = std::chrono::steady_clock::now();
    detector.search(grey, boxes);
    detectMs.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - d0).count());
    double best = -1;
    cv::Rect box;
    for (std::size_t i = 0; i < boxes.size(); ++i) {
      const double score = matchDetection(boxes[i], truth);
      if (i == 0) r.firstMatches = score >= 0;
      if (score > best) {
        best = score;
        box = boxes[i];
      }
    }
    r.detected = best >= 0;
    r.boxes = static_cast<int>(boxes.size());
    if (!r.detected && !boxes.empty()) box = boxes[0];
    r.box = box;
    cv::Mat_<float> fitted1, fitted3;
    if (r.detected) {
      const cv::Rect placed = FaceDetector::trackerBox(box);
      // Runs the placement and the updates on another version of the photo.
      auto trackOn = [&](const cv::Mat& image, const cv::Rect& at) {
        if (!tracker.reset(at.x, at.y, at.width, at.height)) return false;
        for (int u = 0; u < opt.updates; ++u) tracker.update(image.data, image.cols, image.rows);
        return !tracker.faceTracker->shape.empty();
      };
      std::mt19937 rng(static_cast<unsigned>(std::hash<std::string>()(name)));
      auto collect = [&](const Occluder& o, const cv::Mat& source, std::vector<double>& covered,
                         std::vector<double>& visible) {
        const cv::Mat image = paintOccluder(grey, o, source);
        if (!trackOn(image, placed)) return;
        const std::vector<unsigned char> under = coveredLandmarks(o, occluderMask(o, grey.size()), truth);
        const cv::Mat_<float>& c = tracker.faceTracker->confidence;
        for (int i = 0; i < kPoints && i < c.rows; ++i) (under[i] ? covered : visible).push_back(c(i));
      };
      if (opt.extras) {
        collect(thirdOfTheFace(truth, rng), cv::Mat(), r.patchCovered, r.patchVisible);
        const cv::Mat& source = previousGrey.empty() ? grey : previousGrey;
        collect(randomOccluder(truth, 1, rng), source, r.mixCovered, r.mixVisible);
        // The lower half of the face (from half-way between the eyes and the chin
        // down) covered by a flat patch.
        Occluder lower;
        lower.kind = Occluder::kLowerHalf;
        const double eyesY = 0.5 * (truth(2 * layout::kFirstOuterEyeCorner + 1) + truth(2 * layout::kSecondOuterEyeCorner + 1));
        lower.cut = static_cast<float>(0.5 * (eyesY + truth(2 * layout::kChin + 1)));
        lower.grey = 100;
        if (trackOn(paintOccluder(grey, lower, cv::Mat()), placed)) {
          const FaceTracker& e = *tracker.faceTracker;
          r.lowerHalfConfidence = meanConfidence(e);
          const std::vector<double> err = landmarkErrors(e.shape, truth);
          double sum = 0;
          int n = 0;
          for (int i = 0; i < kPoints; ++i)
            if (truth(2 * i + 1) < lower.cut) {
              sum += err[i];
              ++n;
            }
          r.lowerHalfUpperError = n ? sum / n : NAN;
        }
        // The mirror image, found by the detector on its own.
        cv::Mat mirrored;
        cv::flip(grey, mirrored, 1);
        std::vector<cv::Rect> mboxes;
        detector.search(mirrored, mboxes);
        const cv::Mat_<float> mirroredTruth = mirrorShape(truth, grey.cols);
        double mbest = -1;
        cv::Rect mbox;
        for (const auto& b : mboxes) {
          const double score = matchDetection(b, mirroredTruth);
          if (score > mbest) {
            mbest = score;
            mbox = b;
          }
        }
        if (mbest >= 0 && trackOn(mirrored, FaceDetector::trackerBox(mbox))) {
          r.mirrorTracked = true;
          r.mirrorPitch = degrees(tracker.getPitchRadians());
          r.mirrorYaw = degrees(tracker.getYawRadians());
          r.mirrorRoll = degrees(tracker.getRollRadians());
        }
      }
      if (tracker.reset(placed.x, placed.y, placed.width, placed.height)) {
        r.error0 = normalisedError(tracker.faceTracker->shape, truth);
        for (int u = 0; u < opt.updates; ++u) {
          const auto t0 = std::chrono::steady_clock::now();
          tracker.update(grey.data, grey.cols, grey.rows);
          const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
          const FaceTracker& e = *tracker.faceTracker;
          const double err = e.shape.empty() ? INFINITY : normalisedError(e.shape, truth);
          if (u == 0) {
            r.ms1 = ms;
            r.error1 = err;
            r.confidence1 = meanConfidence(e);
            if (!e.shape.empty()) fitted1 = e.shape.clone();
          } else {
            r.msLater += ms / (opt.updates - 1);
          }
          if (u == opt.updates - 1) {
            r.pitch = degrees(tracker.getPitchRadians());
            r.yawDeg = degrees(tracker.getYawRadians());
            r.roll = degrees(tracker.getRollRadians());
            r.eyeLine = std::atan2(double(truth(2 * layout::kSecondOuterEyeCorner + 1)) - truth(2 * layout::kFirstOuterEyeCorner + 1),
                                   double(truth(2 * layout::kSecondOuterEyeCorner)) - truth(2 * layout::kFirstOuterEyeCorner)) *
                        180.0 / CV_PI;
            r.error3 = err;
            r.confidence3 = meanConfidence(e);
            if (!e.shape.empty()) fitted3 = e.shape.clone();
          }
        }
      }
      if (!opt.drawDir.empty()) {
        cv::Mat img = colour.clone();
        cv::rectangle(img, box, cv::Scalar(255, 128, 0), 1);
        drawShape(img, truth, cv::Scalar(0, 200, 0));
        if (!fitted3.empty()) drawShape(img, fitted3, cv::Scalar(0, 0, 255));
        char label[64];
        std::snprintf(label, sizeof label, "err %.3f conf %.2f", r.error3, r.confidence3);
        cv::putText(img, label, cv::Point(5, 20), cv::FONT_HERSHEY_SIMPLEX, 0.6, cv::Scalar(0, 0, 255), 2);
        cv::imwrite((fs::path(opt.drawDir) / (path.stem().string() + ".png")).string(), img);
      }
    }
    results.push_back(r);
    previousGrey = grey;
  }

  if (!opt.csv.empty()) {
    std::ofstream csv(opt.csv);
    csv << "image,yaw_deg,boxes,detected,box_x,box_y,box_w,box_h,first_box_is_face,error_placed,error_1,error_" << opt.updates << ",confidence_1,confidence_"
        << opt.updates << ",ms_first_update,ms_later_update\n";
    for (const auto& r : results)
      csv << r.name << ',' << r.yaw << ',' << r.boxes << ',' << r.detected << ',' << r.box.x << ',' << r.box.y << ',' << r.box.width
          << ',' << r.box.height << ',' << r.firstMatches << ',' << r.error0 << ',' << r.error1 << ','
          << r.error3 << ',' << r.confidence1 << ',' << r.confidence3 << ',' << r.ms1 << ',' << r.msLater << '\n';
  }

  auto summarise = [&](const char* label, auto&& keep) {
    int total = 0, detected = 0, first = 0;
    std::vector<double> e0, e1, e3, goodConf, badConf;
    int fail1 = 0, fail3 = 0, lost1 = 0, lost3 = 0, goodLost = 0;
    for (const auto& r : results) {
      if (!keep(r)) continue;
      ++total;
      first += r.firstMatches;
      if (!r.detected || !std::isfinite(r.error3)) continue;
      ++detected;
      e0.push_back(r.error0);
      e1.push_back(r.error1);
      e3.push_back(r.error3);
      fail1 += r.error1 > 0.08;
      fail3 += r.error3 > 0.08;
      lost1 += r.confidence1 < threshold;
      lost3 += r.confidence3 < threshold;
      if (r.error3 > 0.08) {
        badConf.push_back(r.confidence3);
      } else {
        goodConf.push_back(r.confidence3);
        goodLost += r.confidence3 < threshold;
      }
    }
    if (total == 0) return;
    std::printf("%-14s %5d photos, detected %5.1f %% (first box %5.1f %%) | placed %.4f | 1 update: mean %.4f median %.4f fail %5.1f %%, "
                "below 0.3 %5.1f %% | %d updates: mean %.4f median %.4f fail %5.1f %%, below 0.3 %5.1f %% | confidence "
                "good %.3f (%d below 0.3), failed %.3f\n",
                label, total, 100.0 * detected / total, 100.0 * first / total, meanOf(e0), meanOf(e1), medianOf(e1),
                100.0 * fail1 / std::max(1, detected), 100.0 * lost1 / std::max(1, detected), opt.updates, meanOf(e3),
                medianOf(e3), 100.0 * fail3 / std::max(1, detected), 100.0 * lost3 / std::max(1, detected),
                meanOf(goodConf), goodLost, meanOf(badConf));
  };
  std::printf("model %s, photos %s%s%s, %d updates, smoothing %s; error = mean landmark distance / distance(36, 45), "
              "failure = error > 0.08\n",
              opt.modelDir.c_str(), opt.imageDir.c_str(), opt.split.empty() ? "" : ", split ", opt.split.c_str(),
              opt.updates, opt.smoothing ? "on" : "off");
  summarise("all", [](const Result&) { return true; });
  const float edges[] = {0, 10, 20, 30, 1000};
  for (int b = 0; b < 4; ++b) {
    char label[32];
    if (b < 3) std::snprintf(label, sizeof label, "|yaw| %2.0f-%2.0f", edges[b], edges[b + 1]);
    else std::snprintf(label, sizeof label, "|yaw| >= %2.0f", edges[b]);
    summarise(label, [&](const Result& r) { return std::abs(r.yaw) >= edges[b] && std::abs(r.yaw) < edges[b + 1]; });
  }
  if (opt.extras) summariseExtras(results);
  std::vector<double> first, later;
  for (const auto& r : results)
    if (r.detected && std::isfinite(r.error3)) {
      first.push_back(r.ms1);
      later.push_back(r.msLater);
    }
  std::printf("time per update: first after placement mean %.3f ms (median %.3f, 95 %% %.3f); later mean %.3f ms "
              "(median %.3f, 95 %% %.3f); detector mean %.2f ms\n",
              meanOf(first), medianOf(first), percentile(first, 0.95), meanOf(later), medianOf(later),
              percentile(later, 0.95), meanOf(detectMs));
  return 0;
}

}  // namespace eval
}  // namespace zeq
