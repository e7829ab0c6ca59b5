#include "FrameFeeder.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio/registry.hpp>

#include "Options.h"
#include "plugin/UnityPluginInterface.h"

namespace zeqtrack {

namespace fs = std::filesystem;

namespace {

// The plug-in calls back synchronously inside ZEQ_UnityCreateVideoCapture and
// ZEQ_UnityUpdateVideoCapture, on the calling thread, so plain statics suffice.
struct CameraHandOff {
  int announcedWidth = 0;
  int announcedHeight = 0;
  bool delivered = false;
  cv::Mat frame;  // copy of the plug-in's RGBA buffer, which it reuses
};
CameraHandOff g_handOff;

// Sizes beyond this are treated as a corrupt announcement.
constexpr std::uint64_t kMaxSide = 16384;

void onCameraFrame(std::uint64_t width, std::uint64_t height, unsigned char* pixels, std::int32_t /*zero*/) {
  if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide) return;
  const int w = static_cast<int>(width);
  const int h = static_cast<int>(height);
  if (!pixels) {  // the announcement of the frame size
    g_handOff.announcedWidth = w;
    g_handOff.announcedHeight = h;
    return;
  }
  cv::Mat(h, w, CV_8UC4, pixels).copyTo(g_handOff.frame);
  g_handOff.delivered = true;
}

bool hasImageExtension(const fs::path& path) {
  std::string ext = path.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  static const char* const kExtensions[] = {".jpg", ".jpeg", ".png", ".bmp", ".tif", ".tiff",
                                            ".webp", ".pgm", ".ppm", ".pnm"};
  for (const char* e : kExtensions)
    if (ext == e) return true;
  return false;
}

double elapsedMs(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

FrameFeeder::~FrameFeeder() { close(); }

int FrameFeeder::openFile(const std::string& path, std::string& error) {
  close();
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (ec || !fs::exists(st)) {
    error = "input not found: " + path;
    return kExitInput;
  }

  if (fs::is_directory(st) || hasImageExtension(path)) {
    if (fs::is_directory(st)) {
      for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file(ec) && hasImageExtension(it->path())) images_.push_back(it->path().string());
      }
      if (ec) {
        error = "cannot list folder " + path + ": " + ec.message();
        return kExitInput;
      }
      if (images_.empty()) {
        error = "no images in folder " + path + " (looked for .jpg, .jpeg, .png, .bmp, .tif, .tiff, .webp, .pnm)";
        return kExitInput;
      }
      std::sort(images_.begin(), images_.end());
    } else {
      images_.push_back(path);
    }
    // The first readable image fixes the size of the output video.
    for (const std::string& image : images_) {
      const cv::Mat probe = cv::imread(image, cv::IMREAD_COLOR);
      if (!probe.empty()) {
        width_ = probe.cols;
        height_ = probe.rows;
        break;
      }
    }
    if (width_ == 0) {
      error = "cannot read any image of " + path;
      images_.clear();
      return kExitInput;
    }
    kind_ = Kind::Images;
    frameCount_ = static_cast<long>(images_.size());
    fps_ = 30.0;
    return kExitOk;
  }

  // FFmpeg decodes every common container. Letting OpenCV try all its back ends
  // would also probe camera and USB back ends with a file name.
  const int api = cv::videoio_registry::hasBackend(cv::CAP_FFMPEG) ? cv::CAP_FFMPEG : cv::CAP_ANY;
  if (!video_.open(path, api)) {
    error = "cannot open video " + path + " (not a video OpenCV can decode)";
    return kExitInput;
  }
  if (!video_.read(pendingFrame_) || pendingFrame_.empty()) {
    video_.release();
    error = "cannot read video " + path + " (no decodable frame)";
    return kExitInput;
  }
  kind_ = Kind::Video;
  width_ = pendingFrame_.cols;
  height_ = pendingFrame_.rows;
  const double fps = video_.get(cv::CAP_PROP_FPS);
  fps_ = (std::isfinite(fps) && fps >= 1.0 && fps <= 1000.0) ? fps : 30.0;
  const double count = video_.get(cv::CAP_PROP_FRAME_COUNT);
  frameCount_ = (std::isfinite(count) && count >= 1.0 && count < 1e9) ? static_cast<long>(count) : -1;
  return kExitOk;
}

int FrameFeeder::openCamera(int index, std::string& error) {
  close();
  g_handOff = CameraHandOff();
  ZEQ_UnityRegisterCallbacks(nullptr, &onCameraFrame);
  // 640 x 480 at 30 frames per second, no rotation: the camera may grant another
  // size, which the announcement carries.
  if (ZEQ_UnityCreateVideoCapture(index, 640, 480, 30, -1) != 0) {
    ZEQ_UnityRegisterCallbacks(nullptr, nullptr);
    error = "no camera at index " + std::to_string(index) + " (it cannot be opened)";
    return kExitCamera;
  }
  kind_ = Kind::Camera;
  takeAnnouncedSize();
  fps_ = 30.0;
  frameCount_ = -1;
  return kExitOk;
}

int FrameFeeder::openReplay(const std::string& path, std::string& error) {
  close();
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) {
    error = "input not found: " + path;
    return kExitInput;
  }
  // Rate and length for the output video and the progress bar; the plug-in
  // announces only the size.
  {
    cv::VideoCapture probe;
    if (probe.open(path, cv::CAP_FFMPEG)) {
      const double fps = probe.get(cv::CAP_PROP_FPS);
      if (std::isfinite(fps) && fps >= 1.0 && fps <= 1000.0) fps_ = fps;
      const double count = probe.get(cv::CAP_PROP_FRAME_COUNT);
      if (std::isfinite(count) && count >= 1.0 && count < 1e9) frameCount_ = static_cast<long>(count);
    }
  }
  g_handOff = CameraHandOff();
  ZEQ_UnityRegisterCallbacks(nullptr, &onCameraFrame);
  if (ZEQ_UnityCreateVideoCaptureFromFile(path.c_str(), -1) != 0 || g_handOff.announcedWidth <= 0 ||
      g_handOff.announcedHeight <= 0) {
    ZEQ_UnityCloseVideoCapture();
    ZEQ_UnityRegisterCallbacks(nullptr, nullptr);
    error = "cannot open video " + path + " through the plug-in's capture";
    return kExitInput;
  }
  kind_ = Kind::Replay;
  takeAnnouncedSize();
  return kExitOk;
}

void FrameFeeder::takeAnnouncedSize() {
  width_ = g_handOff.announcedWidth > 0 ? g_handOff.announcedWidth : 640;
  height_ = g_handOff.announcedHeight > 0 ? g_handOff.announcedHeight : 480;
}

bool FrameFeeder::readFileFrame(cv::Mat& bgr) {
  if (kind_ == Kind::Video) {
    if (!pendingFrame_.empty()) {
      bgr = pendingFrame_;
      pendingFrame_ = cv::Mat();
      return true;
    }
    return video_.read(bgr) && !bgr.empty();
  }
  while (nextImage_ < images_.size()) {
    bgr = cv::imread(images_[nextImage_++], cv::IMREAD_COLOR);
    if (!bgr.empty()) return true;
    ++skipped_;
  }
  return false;
}

bool FrameFeeder::pollCamera(cv::Mat& rgba, int& status, double& milliseconds) {
  // A camera that delivers nothing for this many polls in a row has gone away.
  constexpr int kMaxEmptyPolls = 100;
  for (int attempt = 0; attempt < kMaxEmptyPolls; ++attempt) {
    g_handOff.delivered = false;
    const auto start = std::chrono::steady_clock::now();
    ZEQ_UnityUpdateVideoCapture();
    milliseconds = elapsedMs(start);
    if (!g_handOff.delivered) {
      if (kind_ == Kind::Replay) return false;  // end of the file
      continue;
    }
    rgba = g_handOff.frame.clone();
    // The poll tracks inside the plug-in and does not return the status; the
    // gated getters only tell whether this frame was tracked.
    status = ZEQ_UnityGetTrackerPointNum() > 0 ? 1 : 0;
    return true;
  }
  error_ = "the camera stopped delivering frames";
  return false;
}

bool FrameFeeder::next(cv::Mat& rgba, int& status, double& milliseconds) {
  if (kind_ == Kind::None) return false;
  if (kind_ == Kind::Camera || kind_ == Kind::Replay) return pollCamera(rgba, status, milliseconds);

  cv::Mat bgr;
  if (!readFileFrame(bgr)) return false;
  cv::cvtColor(bgr, rgba, cv::COLOR_BGR2RGBA);
  if (!rgba.isContinuous()) rgba = rgba.clone();
  const auto start = std::chrono::steady_clock::now();
  status = ZEQ_UnityTrackerUpdate(rgba.data, rgba.cols, rgba.rows);
  milliseconds = elapsedMs(start);
  return true;
}

void FrameFeeder::close() {
  if (kind_ == Kind::Camera || kind_ == Kind::Replay) {
    ZEQ_UnityCloseVideoCapture();
    ZEQ_UnityRegisterCallbacks(nullptr, nullptr);
  }
  video_.release();
  pendingFrame_ = cv::Mat();
  images_.clear();
  nextImage_ = 0;
  kind_ = Kind::None;
}

}  // namespace zeqtrack
