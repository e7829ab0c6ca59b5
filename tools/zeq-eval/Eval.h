#pragma once
#include <string>

namespace zeq {
namespace eval {

struct ImageOptions {
  std::string modelDir;
  std::string imageDir;
  std::string cascade;   // empty: <modelDir>/face.xml
  std::string split;     // "", "validation", "tune", "fit"
  std::string csv;
  std::string drawDir;
  int limit = -1;
  int updates = 3;
  bool smoothing = true;
  bool extras = true;    // occlusion, lower-half, mirror and roll figures
};

struct VideoOptions {
  std::string modelDir;
  std::string video;
  std::string plugin;    // path of libzeqtracker.so
  std::string csv;
  std::string drawDir;   // every drawEvery-th frame with the 30 points
  int drawEvery = 30;
  int maxFrames = -1;
};

// Scores the model on annotated photos; prints the summary, returns 0 on success.
int evaluateImages(const ImageOptions& options);
struct VideoStats {
  int frames = 0;
  int afterFirst = 0;     // frames from the first tracked one on
  int trackedAfter = 0;
  int losses = 0;
  int redetections = 0;
  double msSum = 0;       // wall time of all updates
  double jitterSum = 0;
  int jitterCount = 0;
};

// Runs a clip through the plug-in's C interface; prints the summary and adds
// the clip's figures to `stats` when given.
int evaluateVideo(const VideoOptions& options, VideoStats* stats = nullptr);

}  // namespace eval
}  // namespace zeq
