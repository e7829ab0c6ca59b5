// zeq-track: tracks a face in a video, a folder of images or a camera through
// the zeqtracker plug-in, using nothing but its exported C interface, exactly as
// a host application would. Writes an annotated video and per-frame results.

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <string>
#include <system_error>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "FrameFeeder.h"
#include "FrameRecord.h"
#include "Options.h"
#include "Progress.h"
#include "ResultsWriter.h"
#include "RunStats.h"
#include "plugin/UnityPluginInterface.h"

namespace fs = std::filesystem;
using namespace zeqtrack;

namespace {

volatile std::sig_atomic_t g_stop = 0;
void onInterrupt(int) { g_stop = 1; }

int fail(int code, const std::string& message) {
  std::fprintf(stderr, "zeq-track: %s\n", message.c_str());
  return code;
}

std::string withoutTrailingSeparators(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

// Reads back everything the plug-in publishes for the frame it just tracked.
// Outputs the plug-in may leave untouched start as NaN and end up as null.
void readResults(FrameRecord& r, int width, int height, float focal) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const int n = ZEQ_UnityGetTrackerPointNum();
  r.tracked = r.status > 0 && n > 0;
  if (!r.tracked) return;

  // The plug-in writes n points; keep room for all of them, report the first 30.
  std::vector<float> points(2 * static_cast<size_t>(std::max(n, FrameRecord::kPoints)), nan);
  std::vector<float> confidence(static_cast<size_t>(std::max(n, FrameRecord::kPoints)), nan);
  ZEQ_UnityGetPoints(points.data());
  ZEQ_UnityGetConfidence(confidence.data());
  std::copy_n(points.begin(), r.points.size(), r.points.begin());
  std::copy_n(confidence.begin(), r.confidence.size(), r.confidence.begin());

  r.pitch = ZEQ_UnityGetPitchRadians();
  r.yaw = ZEQ_UnityGetYawRadians();
  r.roll = ZEQ_UnityGetRollRadians();

  const float cx = static_cast<float>(width) / 2.0f;
  const float cy = static_cast<float>(height) / 2.0f;
  r.translation.fill(nan);
  ZEQ_UnityGetTranslation(&r.translation[0], &r.translation[1], &r.translation[2], focal, cx, cy);
  r.position.fill(nan);
  ZEQ_UnityGetTranslationInImage(&r.position[0], &r.position[1]);
  r.scale = ZEQ_UnityGetScaleInImage();
  r.scale3D.fill(nan);
  ZEQ_UnityGetScale3D(&r.scale3D[0], &r.scale3D[1], &r.scale3D[2]);

  float camera[9] = {focal, 0.0f, cx, 0.0f, focal, cy, 0.0f, 0.0f, 1.0f};
  r.transform.fill(nan);
  ZEQ_UnityGetTransform(r.transform.data(), camera, nullptr);
  r.hasTransform = true;
  for (float v : r.transform) r.hasTransform = r.hasTransform && std::isfinite(v);
}

std::string statusText(int status, bool fromCamera) {
  if (status > 0) return "tracked";
  if (fromCamera) return "not tracked";
  switch (status) {
    case 0: return "lost";
    case -50: return "searching: no face";
    case -51: return "searching: face not placed";
    default: return "status " + std::to_string(status);
  }
}

// The plug-in's overlay expects the picture bottom-up (as a texture read back
// from the GPU): flip our top-down frame around it so the drawing lands on the face.
void drawOverlay(cv::Mat& rgba, const FrameRecord& r, float fps, bool fromCamera) {
  ZEQ_UnityFlipImage(rgba.data, rgba.cols, rgba.rows, 0);
  ZEQ_UnityShowResults(rgba.data, rgba.cols, rgba.rows, fps);
  ZEQ_UnityFlipImage(rgba.data, rgba.cols, rgba.rows, 0);

  // Frame index and status along the bottom edge, also on frames the plug-in
  // leaves blank (searching).
  const std::string text = "frame " + std::to_string(r.index) + "  " + statusText(r.status, fromCamera);
  const cv::Point origin(8, rgba.rows - 8);
  cv::putText(rgba, text, origin, cv::FONT_HERSHEY_SIMPLEX, 0.5, cv::Scalar(0, 0, 0, 255), 3, cv::LINE_AA);
  cv::putText(rgba, text, origin, cv::FONT_HERSHEY_SIMPLEX, 0.5, cv::Scalar(255, 255, 0, 255), 1, cv::LINE_AA);
}

int fourccFor(const std::string& path) {
  const std::string ext = fs::path(path).extension().string();
  if (ext == ".avi") return cv::VideoWriter::fourcc('M', 'J', 'P', 'G');
  return cv::VideoWriter::fourcc('m', 'p', '4', 'v');
}

std::string describeInput(const Options& o, const FrameFeeder& f) {
  char buf[256];
  const std::string name = o.camera >= 0       ? "camera " + std::to_string(o.camera)
                           : !o.replay.empty() ? o.replay + " (replayed by the plug-in)"
                                               : o.input;
  if (f.frameCount() > 0)
    std::snprintf(buf, sizeof buf, "%d x %d, %ld frames at %.4g fps", f.width(), f.height(), f.frameCount(), f.fps());
  else
    std::snprintf(buf, sizeof buf, "%d x %d at %.4g fps", f.width(), f.height(), f.fps());
  return name + " (" + buf + ")";
}

int run(const Options& options) {
  // The input first: a wrong path is the likeliest mistake.
  FrameFeeder feeder;
  std::string error;
  if (!options.input.empty()) {
    const int code = feeder.openFile(options.input, error);
    if (code != kExitOk) return fail(code, error);
  }

  const std::string models = withoutTrailingSeparators(options.models);
  std::error_code ec;
  if (!fs::is_directory(models, ec)) {
    return fail(kExitModels, "model directory not found: " + models +
                                 " (give the directory holding zeqTracker.model and face.xml with --models)");
  }
  for (const char* file : {"zeqTracker.model", "face.xml"}) {
    if (!fs::is_regular_file(models + "/" + file, ec))
      return fail(kExitModels, "model directory " + models + " has no " + file +
                                   " (give a model directory with --models)");
  }

  const int init = ZEQ_UnityTrackerInit(models.c_str(), nullptr, nullptr);
  if (init != 0) {
    ZEQ_UnityTrackerRelease();
    if (init == -1) return fail(kExitModels, "cannot load the tracker model " + models + "/zeqTracker.model");
    if (init == -2) return fail(kExitModels, "cannot load the face detector " + models + "/face.xml");
    return fail(kExitModels, "the plug-in refused the model directory " + models + " (code " +
                                 std::to_string(init) + ")");
  }

  if (options.camera >= 0 || !options.replay.empty()) {
    const int code = options.camera >= 0 ? feeder.openCamera(options.camera, error)
                                         : feeder.openReplay(options.replay, error);
    if (code != kExitOk) {
      ZEQ_UnityTrackerRelease();
      return fail(code, error);
    }
  }

  cv::VideoWriter video;
  if (!options.output.empty()) {
    const fs::path out(options.output);
    if (out.has_parent_path()) fs::create_directories(out.parent_path(), ec);
    if (!video.open(options.output, fourccFor(options.output), feeder.fps(), cv::Size(feeder.width(), feeder.height())) ||
        !video.isOpened()) {
      ZEQ_UnityTrackerRelease();
      return fail(kExitOutput, "cannot write video " + options.output +
                                   " (use .mp4 or .avi in a writable folder)");
    }
  }
  ResultsWriter results;
  if (!options.results.empty() && !results.open(options.results, error)) {
    ZEQ_UnityTrackerRelease();
    return fail(kExitOutput, error);
  }

  if (!options.quiet) {
    std::printf("zeq-track: %s\n  models %s\n", describeInput(options, feeder).c_str(), models.c_str());
    std::fflush(stdout);
  }

  std::signal(SIGINT, onInterrupt);
  std::signal(SIGTERM, onInterrupt);

  long expected = feeder.frameCount();
  if (options.maxFrames > 0 && (expected < 0 || expected > options.maxFrames)) expected = options.maxFrames;
  Progress progress(expected, !options.quiet);
  RunStats stats;
  // Frames of the plug-in's capture loop are tracked inside its poll.
  const bool fromCamera = feeder.kind() == FrameFeeder::Kind::Camera || feeder.kind() == FrameFeeder::Kind::Replay;
  const auto start = std::chrono::steady_clock::now();
  auto previous = start;
  double overlayFps = 0.0;
  bool writeFailed = false;

  cv::Mat rgba;
  cv::Mat bgr;
  FrameRecord record;
  long index = 0;
  while (!g_stop && (options.maxFrames < 0 || index < options.maxFrames)) {
    int status = 0;
    double ms = 0.0;
    if (!feeder.next(rgba, status, ms)) break;

    record = FrameRecord();
    record.index = index;
    record.status = status;
    record.milliseconds = ms;
    readResults(record, rgba.cols, rgba.rows, options.focal);

    if (video.isOpened()) {
      drawOverlay(rgba, record, static_cast<float>(overlayFps), fromCamera);
      cv::cvtColor(rgba, bgr, cv::COLOR_RGBA2BGR);
      // Images of a folder (or camera frames) may differ in size; the video keeps the first size.
      if (bgr.cols != feeder.width() || bgr.rows != feeder.height())
        cv::resize(bgr, bgr, cv::Size(feeder.width(), feeder.height()));
      video.write(bgr);
    }
    if (results.isOpen() && !results.write(record)) {
      writeFailed = true;
      break;
    }

    stats.add(record);
    ++index;
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - previous).count();
    previous = now;
    if (seconds > 0.0) overlayFps = overlayFps > 0.0 ? 0.9 * overlayFps + 0.1 / seconds : 1.0 / seconds;
    progress.update(stats.frames(), stats.tracked());
  }
  progress.finish(stats.frames(), stats.tracked());
  const double wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  const std::string feederError = feeder.error();
  feeder.close();
  video.release();
  if (!results.close()) writeFailed = true;
  ZEQ_UnityTrackerRelease();

  if (!options.quiet) {
    const char* timeLabel = fromCamera ? "plug-in poll: grab, tracking and conversion" : "tracker update";
    std::printf("%s", stats.summary(wallSeconds, timeLabel).c_str());
    if (feeder.skipped() > 0) std::printf("  skipped           %ld unreadable image(s)\n", feeder.skipped());
    if (!options.output.empty()) std::printf("  video             %s\n", options.output.c_str());
    if (!options.results.empty()) std::printf("  results           %s\n", options.results.c_str());
    std::fflush(stdout);
  }
  if (writeFailed) return fail(kExitOutput, "cannot write results file " + options.results);
  if (!feederError.empty()) return fail(fromCamera ? kExitCamera : kExitInput, feederError);
  if (stats.frames() == 0) return fail(kExitInput, "no frame could be read");
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  // OpenCV's own warnings (back ends that decline a file, a missing camera)
  // would bury the tool's messages.
  cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);

  Options options;
  std::string error;
  if (!parseOptions(argc, argv, options, error)) return fail(kExitUsage, error);
  if (options.help) {
    std::fputs(usageText().c_str(), stdout);
    return kExitOk;
  }
  try {
    return run(options);
  } catch (const std::exception& e) {
    ZEQ_UnityTrackerRelease();
    return fail(kExitFailure, std::string("unexpected failure: ") + e.what());
  }
}
