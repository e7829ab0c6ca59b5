// zeq-eval: scores a tracker model on annotated photos, or runs a clip through
// the plug-in's C interface.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>
#include <algorithm>

#include <opencv2/core.hpp>

#include "Eval.h"

namespace {

void usage() {
  std::printf(
      "usage: zeq-eval --model DIR --images DIR [--split validation|tune|fit] [--csv FILE] [--draw DIR]\n"
      "                [--updates N] [--no-smoothing] [--no-extras] [--limit N] [--cascade FILE]\n"
      "       zeq-eval --model DIR --video FILE|DIR [--plugin FILE] [--csv FILE] [--max-frames N]\n"
      "                [--draw DIR] [--draw-every N]\n"
      "  Photos: the plug-in's detector (DIR/face.xml unless --cascade) at its fixed parameters,\n"
      "  the detection that matches the annotated face, the facade's placement, then N engine\n"
      "  updates (default 3) on the same photo. --split picks the trainer's split of a human-\n"
      "  annotated folder. --draw writes each photo with the truth (green) and the fit (red).\n"
      "  Unless --no-extras, each detected photo is also tracked with synthetic occluders (the\n"
      "  confidence's AUC for covered landmarks), with its lower half covered, and mirrored\n"
      "  (mirror test of the head angles); the roll is compared with the eye line.\n"
      "  Video: every frame of the clip (or of every clip in a folder) through\n"
      "  ZEQ_UnityTrackerUpdate of the plug-in library\n"
      "  (default: ../plugin/libzeqtracker.so beside this program).\n");
}

}  // namespace

int main(int argc, char** argv) {
  zeq::eval::ImageOptions image;
  zeq::eval::VideoOptions video;
  std::string model;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::printf("missing value for %s\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--model") model = next();
    else if (a == "--images") image.imageDir = next();
    else if (a == "--split") image.split = next();
    else if (a == "--csv") image.csv = video.csv = next();
    else if (a == "--draw") image.drawDir = video.drawDir = next();
    else if (a == "--draw-every") video.drawEvery = std::atoi(next().c_str());
    else if (a == "--updates") image.updates = std::max(1, std::atoi(next().c_str()));
    else if (a == "--no-smoothing") image.smoothing = false;
    else if (a == "--no-extras") image.extras = false;
    else if (a == "--limit") image.limit = std::atoi(next().c_str());
    else if (a == "--cascade") image.cascade = next();
    else if (a == "--video") video.video = next();
    else if (a == "--plugin") video.plugin = next();
    else if (a == "--max-frames") video.maxFrames = std::atoi(next().c_str());
    else {
      usage();
      return a == "--help" ? 0 : 2;
    }
  }
  if (model.empty() || (image.imageDir.empty() == video.video.empty())) {
    usage();
    return 2;
  }
  cv::setNumThreads(1);
  if (!video.video.empty()) {
    video.modelDir = model;
    if (video.plugin.empty()) {
      std::error_code ec;
      const auto self = std::filesystem::canonical("/proc/self/exe", ec);
      video.plugin = (self.parent_path().parent_path() / "plugin" / "libzeqtracker.so").string();
    }
    if (!std::filesystem::is_directory(video.video)) return zeq::eval::evaluateVideo(video);
    // A folder: every clip in it, then the totals.
    std::vector<std::string> clips;
    for (const auto& entry : std::filesystem::directory_iterator(video.video)) {
      const std::string ext = entry.path().extension().string();
      if (ext == ".mp4" || ext == ".avi" || ext == ".mov" || ext == ".mkv") clips.push_back(entry.path().string());
    }
    std::sort(clips.begin(), clips.end());
    zeq::eval::VideoStats total;
    const std::string csv = video.csv;
    for (const auto& clip : clips) {
      zeq::eval::VideoOptions one = video;
      one.video = clip;
      one.csv = csv.empty() ? "" : csv + "." + std::filesystem::path(clip).stem().string() + ".csv";
      if (zeq::eval::evaluateVideo(one, &total) != 0) return 1;
    }
    std::printf("all %zu clips: %d frames; tracked %d of %d frames after the first detection (%.2f %%); losses %d, "
                "re-detections %d; mean time per frame %.2f ms; mean jitter %.4f\n",
                clips.size(), total.frames, total.trackedAfter, total.afterFirst,
                total.afterFirst ? 100.0 * total.trackedAfter / total.afterFirst : 0.0, total.losses, total.redetections,
                total.frames ? total.msSum / total.frames : 0.0,
                total.jitterCount ? total.jitterSum / total.jitterCount : 0.0);
    return 0;
  }
  image.modelDir = model;
  return zeq::eval::evaluateImages(image);
}
