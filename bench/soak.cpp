// Soak run through the plug-in's exported interface, loaded at run time like a
// host does: thousands of frames of the sample video mixed with noise, blank
// frames, frame-size changes and forced losses, a camera-path segment and
// re-initialisations, reporting resident memory at the start, middle and end.
//
//   soak [frames] [model directory] [video]
// Defaults: 6000 frames, the repository's models/ and samples/address.mp4.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

namespace {

// The gphoto2 camera back end probes USB on every open; a soak never needs it.
[[maybe_unused]] const bool kGphotoDisabled = setenv("OPENCV_VIDEOIO_PRIORITY_GPHOTO2", "0", 0) == 0;

struct Api {
  int (*TrackerInit)(const char*, const void*, const void*);
  int (*TrackerUpdate)(unsigned char*, int, int);
  void (*TrackerRelease)();
  void (*TrackerEnable)(bool);
  int (*GetPoints)(float*);
  int (*GetConfidence)(float*);
  float (*GetPitchRadians)();
  void (*GetTranslation)(float*, float*, float*, float, float, float);
  void (*GetScale3D)(float*, float*, float*);
  void (*GetTransform)(float*, float*, float*);
  void (*GetTransformEX)(float*, float*, float*, int*, int);
  void (*ShowResults)(unsigned char*, int, int, float);
  void (*FlipImage)(unsigned char*, int, int, int);
  int (*CreateVideoCaptureFromFile)(const char*, int);
  void (*UpdateVideoCapture)();
  void (*CloseVideoCapture)();
};

template <typename F>
bool bind(void* lib, const char* name, F& out) {
  out = reinterpret_cast<F>(dlsym(lib, name));
  if (!out) std::fprintf(stderr, "missing export %s\n", name);
  return out != nullptr;
}

bool bindAll(void* lib, Api& a) {
  return bind(lib, "ZEQ_UnityTrackerInit", a.TrackerInit) & bind(lib, "ZEQ_UnityTrackerUpdate", a.TrackerUpdate) &
         bind(lib, "ZEQ_UnityTrackerRelease", a.TrackerRelease) &
         bind(lib, "ZEQ_UnityTrackerEnable", a.TrackerEnable) & bind(lib, "ZEQ_UnityGetPoints", a.GetPoints) &
         bind(lib, "ZEQ_UnityGetConfidence", a.GetConfidence) &
         bind(lib, "ZEQ_UnityGetPitchRadians", a.GetPitchRadians) &
         bind(lib, "ZEQ_UnityGetTranslation", a.GetTranslation) & bind(lib, "ZEQ_UnityGetScale3D", a.GetScale3D) &
         bind(lib, "ZEQ_UnityGetTransform", a.GetTransform) &
         bind(lib, "ZEQ_UnityGetTransformEX", a.GetTransformEX) &
         bind(lib, "ZEQ_UnityShowResults", a.ShowResults) & bind(lib, "ZEQ_UnityFlipImage", a.FlipImage) &
         bind(lib, "ZEQ_UnityCreateVideoCaptureFromFile", a.CreateVideoCaptureFromFile) &
         bind(lib, "ZEQ_UnityUpdateVideoCapture", a.UpdateVideoCapture) &
         bind(lib, "ZEQ_UnityCloseVideoCapture", a.CloseVideoCapture);
}

long residentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

double cpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

// What the host reads after every frame.
void readResults(const Api& api, int width, int height) {
  float points[60], confidence[30], x = 0, y = 0, z = 0, matrix[16];
  float camera[9] = {1000, 0, width * 0.5f, 0, 1000, height * 0.5f, 0, 0, 1};
  int subset[8] = {0, 4, 8, 14, 18, 22, 25, 29};
  api.GetPoints(points);
  api.GetConfidence(confidence);
  api.GetPitchRadians();
  api.GetTranslation(&x, &y, &z, 1000.f, width * 0.5f, height * 0.5f);
  api.GetScale3D(&x, &y, &z);
  api.GetTransform(matrix, camera, nullptr);
  api.GetTransformEX(matrix, camera, nullptr, subset, 8);
}

// Frame i of the schedule: mostly video, with stretches of noise and blank
// frames (the face is lost and searched for again) and of other frame sizes.
enum class Kind { Video, Noise, Blank, Resized };

Kind kindOf(int i) {
  const int phase = i % 400;
  if (phase >= 300 && phase < 320) return Kind::Noise;
  if (phase >= 320 && phase < 330) return Kind::Blank;
  if (phase >= 200 && phase < 260) return Kind::Resized;
  return Kind::Video;
}

const cv::Size kSizes[] = {{320, 240}, {1280, 720}, {333, 247}, {480, 640}};

}  // namespace

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::atoi(argv[1]) : 6000;
  const std::string modelDir = argc > 2 ? argv[2] : ZEQ_SOURCE_DIR "/models";
  const std::string videoPath = argc > 3 ? argv[3] : ZEQ_SOURCE_DIR "/samples/address.mp4";
  if (frames < 4) {
    std::fprintf(stderr, "usage: soak [frames >= 4] [model directory] [video]\n");
    return 2;
  }
  cv::setNumThreads(1);
  void* lib = dlopen(ZEQ_PLUGIN_FILE, RTLD_NOW | RTLD_LOCAL);
  Api api{};
  if (!lib || !bindAll(lib, api)) {
    std::fprintf(stderr, "cannot load %s: %s\n", ZEQ_PLUGIN_FILE, lib ? "exports missing" : dlerror());
    return 1;
  }
  // The sample is decoded as it goes (and reopened at its end), so that the
  // figures show the plug-in's memory rather than a buffered clip.
  cv::VideoCapture video(videoPath);
  cv::Mat bgr, source;
  const auto nextVideoFrame = [&]() {
    if (!video.read(bgr)) {
      video.open(videoPath);
      if (!video.read(bgr)) return false;
    }
    cv::cvtColor(bgr, source, cv::COLOR_BGR2RGBA);
    return true;
  };
  if (!nextVideoFrame()) {
    std::fprintf(stderr, "cannot read frames from %s\n", videoPath.c_str());
    return 1;
  }
  if (api.TrackerInit(modelDir.c_str(), nullptr, nullptr) != 0) {
    std::fprintf(stderr, "cannot initialise from %s\n", modelDir.c_str());
    return 1;
  }

  const long startKiB = residentKiB();
  std::printf("soak: %d frames, sample frames of %dx%d\n", frames, source.cols, source.rows);
  std::printf("VmRSS after init:      %7ld kB\n", startKiB);
  std::map<int, int> statuses;
  cv::RNG rng(11);
  cv::Mat frame;
  long middleKiB = 0;
  const double cpuStart = cpuSeconds();
  for (int i = 0; i < frames; ++i) {
    if (i > 0 && !nextVideoFrame()) {
      std::fprintf(stderr, "the sample stopped decoding at frame %d\n", i);
      return 1;
    }
    switch (kindOf(i)) {
      case Kind::Video:
        source.copyTo(frame);
        break;
      case Kind::Noise:
        frame.create(source.size(), CV_8UC4);
        rng.fill(frame, cv::RNG::UNIFORM, 0, 256);
        break;
      case Kind::Blank:
        frame = cv::Mat(source.size(), CV_8UC4, cv::Scalar(0, 0, 0, 255));
        break;
      case Kind::Resized:
        cv::resize(source, frame, kSizes[(i / 400) % 4]);
        break;
    }
    const int status = api.TrackerUpdate(frame.data, frame.cols, frame.rows);
    ++statuses[status];
    readResults(api, frame.cols, frame.rows);
    if (i % 50 == 0) api.ShowResults(frame.data, frame.cols, frame.rows, 30.f);
    if (i % 97 == 0) api.FlipImage(frame.data, frame.cols, frame.rows, 0);
    // Now and then the host re-initialises, or switches tracking off and on.
    if (i % 1000 == 999) api.TrackerInit(modelDir.c_str(), nullptr, nullptr);
    if (i % 700 == 350) {
      api.TrackerEnable(false);
      api.TrackerUpdate(frame.data, frame.cols, frame.rows);
      api.TrackerEnable(true);
    }
    // A short stretch through the plug-in's own capture path.
    if (i % 1500 == 1200 && api.CreateVideoCaptureFromFile(videoPath.c_str(), 0) == 0) {
      for (int k = 0; k < 30; ++k) api.UpdateVideoCapture();
      api.CloseVideoCapture();
    }
    if (i == frames / 2) middleKiB = residentKiB();
    if ((i + 1) % 1000 == 0 || i == frames / 2) {
      std::printf("VmRSS after frame %5d: %7ld kB\n", i + 1, residentKiB());
      std::fflush(stdout);
    }
  }
  const double cpu = cpuSeconds() - cpuStart;
  const long endKiB = residentKiB();
  std::printf("VmRSS at the end:      %7ld kB\n", endKiB);
  std::printf("growth middle -> end:  %7ld kB\n", endKiB - middleKiB);
  std::printf("CPU time: %.2f s (%.3f ms per frame)\nstatuses:", cpu, 1e3 * cpu / frames);
  for (const auto& s : statuses) std::printf(" %d x%d", s.first, s.second);
  std::printf("\n");
  api.TrackerRelease();
  return 0;
}
