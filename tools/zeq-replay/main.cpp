// zeq-replay: records what a plug-in library reports for every frame of some
// clips, and compares two such records frame by frame. Used to show that a
// faster build still gives the same results as an older one:
//
//   zeq-replay --plugin old/libzeqtracker.so --models models --out old.rec clip1.mp4 clip2.mp4 ...
//   zeq-replay --plugin build/plugin/libzeqtracker.so --models models --out new.rec clip1.mp4 ...
//   zeq-replay --compare old.rec new.rec
//
// The library is bound at run time, the way a host binds it, so two builds can
// be recorded by the same program.
#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

namespace {

// What the host can read back after one update.
struct FrameRecord {
  std::int32_t clip = 0;
  std::int32_t frame = 0;
  std::int32_t status = 0;
  float points[60] = {};
  float confidence[30] = {};
  float angles[3] = {};
  float position[2] = {};
  float scale = 0.f;
  float cpuSeconds = 0.f;
};

struct Plugin {
  void* handle = nullptr;
  int (*init)(const char*, const void*, const void*) = nullptr;
  int (*update)(unsigned char*, int, int) = nullptr;
  void (*release)() = nullptr;
  int (*points)(float*) = nullptr;
  int (*confidence)(float*) = nullptr;
  float (*pitch)() = nullptr;
  float (*yaw)() = nullptr;
  float (*roll)() = nullptr;
  void (*position)(float*, float*) = nullptr;
  float (*scale)() = nullptr;
  double (*workTime)(int) = nullptr;

  bool open(const std::string& path) {
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), dlerror());
      return false;
    }
    bool ok = true;
    auto bind = [&](auto& fn, const char* name) {
      fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(handle, name));
      if (!fn) {
        std::fprintf(stderr, "%s lacks %s\n", path.c_str(), name);
        ok = false;
      }
    };
    bind(init, "ZEQ_UnityTrackerInit");
    bind(update, "ZEQ_UnityTrackerUpdate");
    bind(release, "ZEQ_UnityTrackerRelease");
    bind(points, "ZEQ_UnityGetPoints");
    bind(confidence, "ZEQ_UnityGetConfidence");
    bind(pitch, "ZEQ_UnityGetPitchRadians");
    bind(yaw, "ZEQ_UnityGetYawRadians");
    bind(roll, "ZEQ_UnityGetRollRadians");
    bind(position, "ZEQ_UnityGetTranslationInImage");
    bind(scale, "ZEQ_UnityGetScaleInImage");
    bind(workTime, "ZEQ_UnityWorkTime");
    return ok;
  }
  ~Plugin() {
    if (handle) dlclose(handle);
  }
};

int record(const std::string& library, const std::string& models, const std::string& out,
           const std::vector<std::string>& clips) {
  Plugin plugin;
  if (!plugin.open(library)) return 1;
  FILE* f = std::fopen(out.c_str(), "wb");
  if (!f) {
    std::fprintf(stderr, "cannot write %s\n", out.c_str());
    return 1;
  }
  int failures = 0;
  for (std::size_t c = 0; c < clips.size(); ++c) {
    // A fresh init per clip: every clip starts from searching.
    plugin.release();
    if (plugin.init(models.c_str(), nullptr, nullptr) != 0) {
      std::fprintf(stderr, "init with %s failed\n", models.c_str());
      failures = 1;
      break;
    }
    cv::VideoCapture video(clips[c]);
    if (!video.isOpened()) {
      std::fprintf(stderr, "cannot open %s\n", clips[c].c_str());
      failures = 1;
      continue;
    }
    cv::Mat frame, rgba;
    int frames = 0, tracked = 0;
    while (video.read(frame)) {
      cv::cvtColor(frame, rgba, cv::COLOR_BGR2RGBA);
      FrameRecord r;
      r.clip = static_cast<std::int32_t>(c);
      r.frame = frames;
      r.status = plugin.update(rgba.data, rgba.cols, rgba.rows);
      r.cpuSeconds = static_cast<float>(plugin.workTime(0));
      if (r.status > 0) {
        ++tracked;
        plugin.points(r.points);
        plugin.confidence(r.confidence);
        r.angles[0] = plugin.pitch();
        r.angles[1] = plugin.yaw();
        r.angles[2] = plugin.roll();
        plugin.position(&r.position[0], &r.position[1]);
        r.scale = plugin.scale();
      }
      if (std::fwrite(&r, sizeof r, 1, f) != 1) failures = 1;
      ++frames;
    }
    std::printf("%s: %d frames, %d tracked\n", clips[c].c_str(), frames, tracked);
  }
  plugin.release();
  if (std::fclose(f) != 0) failures = 1;
  return failures;
}

bool readAll(const std::string& path, std::vector<FrameRecord>& out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  FrameRecord r;
  while (std::fread(&r, sizeof r, 1, f) == 1) out.push_back(r);
  std::fclose(f);
  return true;
}

double largestDifference(const float* a, const float* b, int count) {
  double worst = 0.0;
  for (int i = 0; i < count; ++i) worst = std::max(worst, std::abs(static_cast<double>(a[i]) - b[i]));
  return worst;
}

int compare(const std::string& pathA, const std::string& pathB, double tolerance) {
  std::vector<FrameRecord> a, b;
  if (!readAll(pathA, a) || !readAll(pathB, b)) {
    std::fprintf(stderr, "cannot read the records\n");
    return 1;
  }
  if (a.size() != b.size()) std::printf("frame counts differ: %zu and %zu\n", a.size(), b.size());
  const std::size_t n = std::min(a.size(), b.size());
  double worstPoint = 0.0, worstConfidence = 0.0, worstAngle = 0.0, worstPosition = 0.0;
  std::size_t statusDiffers = 0, trackedBoth = 0, worstAt = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const FrameRecord& x = a[i];
    const FrameRecord& y = b[i];
    if (x.status != y.status) {
      if (statusDiffers++ < 5) {
        std::printf("clip %d frame %d: status %d against %d\n", x.clip, x.frame, x.status, y.status);
      }
      continue;
    }
    if (x.status <= 0) continue;
    ++trackedBoth;
    const double p = largestDifference(x.points, y.points, 60);
    if (p > worstPoint) {
      worstPoint = p;
      worstAt = i;
    }
    worstConfidence = std::max(worstConfidence, largestDifference(x.confidence, y.confidence, 30));
    worstAngle = std::max(worstAngle, largestDifference(x.angles, y.angles, 3));
    worstPosition = std::max(worstPosition, largestDifference(x.position, y.position, 2));
  }
  std::printf("%zu frames, %zu tracked in both, %zu with another status\n", n, trackedBoth, statusDiffers);
  std::printf("largest difference: points %.3g px (clip %d frame %d), confidence %.3g, angles %.3g rad, "
              "position %.3g px\n",
              worstPoint, n ? a[worstAt].clip : -1, n ? a[worstAt].frame : -1, worstConfidence, worstAngle,
              worstPosition);
  const bool same = a.size() == b.size() && statusDiffers == 0 && worstPoint <= tolerance;
  std::printf("%s (tolerance %.3g px)\n", same ? "SAME" : "DIFFERENT", tolerance);
  return same ? 0 : 3;
}

void usage() {
  std::printf(
      "usage: zeq-replay --plugin LIB --models DIR --out FILE CLIP...\n"
      "       zeq-replay --compare FILE_A FILE_B [--tolerance PX]\n"
      "  The first form records status, points, confidences, angles, image position and\n"
      "  scale of every frame of the clips (each clip after a fresh init). The second\n"
      "  compares two records frame by frame; exit 0 when every status agrees and no\n"
      "  point moved by more than the tolerance (default 1e-4 px), 3 otherwise.\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string library, models, out, compareA, compareB;
  double tolerance = 1e-4;
  std::vector<std::string> clips;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        usage();
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--plugin") library = next();
    else if (a == "--models") models = next();
    else if (a == "--out") out = next();
    else if (a == "--tolerance") tolerance = std::atof(next().c_str());
    else if (a == "--compare") {
      compareA = next();
      compareB = next();
    } else if (a == "--help" || a == "-h") {
      usage();
      return 0;
    } else {
      clips.push_back(a);
    }
  }
  if (!compareA.empty()) return compare(compareA, compareB, tolerance);
  if (library.empty() || models.empty() || out.empty() || clips.empty()) {
    usage();
    return 2;
  }
  std::sort(clips.begin(), clips.end());
  return record(library, models, out, clips);
}
