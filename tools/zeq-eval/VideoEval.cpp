#include <dlfcn.h>

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
#include <opencv2/videoio.hpp>

#include "Eval.h"

namespace zeq {
namespace eval {

namespace {

// The plug-in's C interface, bound at run time the way a host binds it.
struct Plugin {
  void* handle = nullptr;
  int (*init)(const char*, const void*, const void*) = nullptr;
  int (*update)(unsigned char*, int, int) = nullptr;
  void (*release)() = nullptr;
  int (*points)(float*) = nullptr;
  int (*confidence)(float*) = nullptr;
  double (*workTime)(int) = nullptr;

  bool open(const std::string& path) {
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      std::printf("cannot load %s: %s\n", path.c_str(), dlerror());
      return false;
    }
    bool ok = true;
    auto bind = [&](auto& fn, const char* name) {
      fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(handle, name));
      if (!fn) {
        std::printf("%s lacks %s\n", path.c_str(), name);
        ok = false;
      }
    };
    bind(init, "ZEQ_UnityTrackerInit");
    bind(update, "ZEQ_UnityTrackerUpdate");
    bind(release, "ZEQ_UnityTrackerRelease");
    bind(points, "ZEQ_UnityGetPoints");
    bind(confidence, "ZEQ_UnityGetConfidence");
    bind(workTime, "ZEQ_UnityWorkTime");
    return ok;
  }
  ~Plugin() {
    if (handle) dlclose(handle);
  }
};

double meanOf(const std::vector<double>& v) {
  return v.empty() ? NAN : std::accumulate(v.begin(), v.end(), 0.0) / v.size();
}
double medianOf(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int evaluateVideo(const VideoOptions& opt, VideoStats* stats) {
  Plugin plugin;
  if (!plugin.open(opt.plugin)) return 1;
  const int initResult = plugin.init(opt.modelDir.c_str(), nullptr, nullptr);
  if (initResult != 0) {
    std::printf("ZEQ_UnityTrackerInit(%s) returned %d\n", opt.modelDir.c_str(), initResult);
    return 1;
  }
  cv::VideoCapture video(opt.video);
  if (!video.isOpened()) {
    std::printf("cannot open %s\n", opt.video.c_str());
    return 1;
  }
  if (!opt.drawDir.empty()) std::filesystem::create_directories(opt.drawDir);
  std::ofstream csv;
  if (!opt.csv.empty()) {
    csv.open(opt.csv);
    csv << "frame,status,ms,mean_confidence,jitter\n";
  }
  cv::Mat frame, rgba;
  cv::Size size;
  int frames = 0, firstTracked = -1, trackedAfter = 0, losses = 0, redetections = 0;
  int previousStatus = -1;
  std::vector<double> wallMs, trackedMs, cpuMs, jitter, conf;
  std::vector<float> pts(60), prev(60), confidence(30);
  bool havePrev = false;
  while (video.read(frame)) {
    if (opt.maxFrames >= 0 && frames >= opt.maxFrames) break;
    size = frame.size();
    cv::cvtColor(frame, rgba, cv::COLOR_BGR2RGBA);
    const auto t0 = std::chrono::steady_clock::now();
    const int status = plugin.update(rgba.data, rgba.cols, rgba.rows);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    wallMs.push_back(ms);
    double meanConf = NAN, jit = NAN;
    if (status > 0) {
      trackedMs.push_back(ms);
      cpuMs.push_back(1000.0 * plugin.workTime(0));
      if (firstTracked < 0) firstTracked = frames;
      else if (previousStatus <= 0) ++redetections;
      plugin.points(pts.data());
      plugin.confidence(confidence.data());
      meanConf = std::accumulate(confidence.begin(), confidence.end(), 0.0) / 30.0;
      conf.push_back(meanConf);
      // Slots 14 and 20 are the outer eye corners.
      const double iod = std::hypot(pts[28] - pts[40], pts[29] - pts[41]);
      if (havePrev && iod > 0) {
        double sum = 0;
        for (int i = 0; i < 30; ++i) sum += std::hypot(pts[2 * i] - prev[2 * i], pts[2 * i + 1] - prev[2 * i + 1]);
        jit = sum / 30.0 / iod;
        jitter.push_back(jit);
      }
      prev = pts;
      havePrev = true;
    } else {
      if (previousStatus > 0) ++losses;
      havePrev = false;
    }
    if (firstTracked >= 0) trackedAfter += status > 0;
    if (!opt.drawDir.empty() && frames % std::max(1, opt.drawEvery) == 0) {
      cv::Mat img = frame.clone();
      if (status > 0)
        for (int i = 0; i < 30; ++i)
          cv::circle(img, cv::Point2f(pts[2 * i], pts[2 * i + 1]), std::max(2, img.cols / 250), cv::Scalar(0, 0, 255),
                     cv::FILLED, cv::LINE_AA);
      char label[64];
      std::snprintf(label, sizeof label, "frame %d status %d", frames, status);
      cv::putText(img, label, cv::Point(5, 20), cv::FONT_HERSHEY_SIMPLEX, 0.6, cv::Scalar(0, 255, 255), 2);
      char name[64];
      std::snprintf(name, sizeof name, "_%05d.png", frames);
      cv::imwrite((std::filesystem::path(opt.drawDir) / (std::filesystem::path(opt.video).stem().string() + name)).string(),
                  img);
    }
    if (csv) csv << frames << ',' << status << ',' << ms << ',' << meanConf << ',' << jit << '\n';
    previousStatus = status;
    ++frames;
  }
  plugin.release();
  const int after = firstTracked < 0 ? 0 : frames - firstTracked;
  std::printf("%s: %d frames %dx%d; first tracked frame %d; tracked %d of %d frames after it (%.1f %%); losses %d, "
              "re-detections %d; time per frame mean %.2f ms (tracked frames %.2f ms wall, %.2f ms processor); "
              "mean confidence %.3f; jitter (mean point motion between tracked frames / eye-corner distance) mean "
              "%.4f median %.4f\n",
              opt.video.c_str(), frames, size.width, size.height, firstTracked, trackedAfter, after,
              after ? 100.0 * trackedAfter / after : 0.0, losses, redetections, meanOf(wallMs), meanOf(trackedMs),
              meanOf(cpuMs), meanOf(conf), meanOf(jitter), medianOf(jitter));
  if (stats) {
    stats->frames += frames;
    stats->afterFirst += after;
    stats->trackedAfter += trackedAfter;
    stats->losses += losses;
    stats->redetections += redetections;
    stats->msSum += std::accumulate(wallMs.begin(), wallMs.end(), 0.0);
    stats->jitterSum += std::accumulate(jitter.begin(), jitter.end(), 0.0);
    stats->jitterCount += static_cast<int>(jitter.size());
  }
  return 0;
}

}  // namespace eval
}  // namespace zeq
