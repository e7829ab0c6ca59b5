#pragma once
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

namespace zeqtrack {

// Feeds frames to the plug-in the way a host does and hands back each frame as
// top-down RGBA together with the status of the plug-in's update.
//
// Files (a video, one image or a folder of images) are decoded here and pushed
// with ZEQ_UnityTrackerUpdate. A camera is opened and polled by the plug-in
// itself; its frames arrive through the frame callback, already tracked. A
// replay is a video file opened by the plug-in in place of a camera.
class FrameFeeder {
 public:
  enum class Kind { None, Video, Images, Camera, Replay };

  FrameFeeder() = default;
  ~FrameFeeder();
  FrameFeeder(const FrameFeeder&) = delete;
  FrameFeeder& operator=(const FrameFeeder&) = delete;

  // Video file, single image or folder of images. An exit code (kExitOk on
  // success) and, on failure, a message.
  int openFile(const std::string& path, std::string& error);
  // Camera through the plug-in; call once the plug-in is initialised.
  int openCamera(int index, std::string& error);
  // Video file through the plug-in's camera loop; call once it is initialised.
  int openReplay(const std::string& path, std::string& error);

  // Next frame, tracked. False at the end of the input; then error() tells
  // whether the input failed (non-empty) or simply ended.
  bool next(cv::Mat& rgba, int& status, double& milliseconds);
  void close();

  Kind kind() const { return kind_; }
  int width() const { return width_; }
  int height() const { return height_; }
  double fps() const { return fps_; }
  long frameCount() const { return frameCount_; }  // -1 when unknown
  const std::string& error() const { return error_; }
  // Frames that could not be read and were skipped (images only).
  long skipped() const { return skipped_; }

 private:
  bool readFileFrame(cv::Mat& bgr);
  bool pollCamera(cv::Mat& rgba, int& status, double& milliseconds);
  void takeAnnouncedSize();

  Kind kind_ = Kind::None;
  cv::VideoCapture video_;
  cv::Mat pendingFrame_;  // first video frame, read at open to prove the file decodes
  std::vector<std::string> images_;
  size_t nextImage_ = 0;
  int width_ = 0;
  int height_ = 0;
  double fps_ = 30.0;
  long frameCount_ = -1;
  long skipped_ = 0;
  std::string error_;
};

}  // namespace zeqtrack
