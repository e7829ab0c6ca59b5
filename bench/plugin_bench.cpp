// Cost of one ZEQ_UnityTrackerUpdate with the shipped model on real frames,
// through the exported C interface of the plug-in library, the way a host
// calls it: a tracked frame of the bundled sample (450 x 450), and a searching
// frame at 640 x 480 on a face-free background cut from the sample and on noise;
// the sample's face tracked in a 1280 x 720 frame; and the frame that finds the
// face after a start.
//
// The library is bound at run time, so the same program measures any build:
//   build/bench/plugin_bench [--plugin=LIB] [--models=DIR] [--sample=CLIP] [--iterations=N]
//                            [--baseline=LIB] [benchmark flags]
// With --baseline, tracked and searching frames also go through a second
// library in turn with this one (BM_TrackedSampleFrameAgainstBaseline,
// BM_SearchingAgainstBaseline), for a comparison that both halves see under
// the same load.
// Single-threaded (OpenCV's threads off); each frame's processor time of this
// thread is recorded, and the median and 95th percentile are reported as
// counters (milliseconds) beside Google Benchmark's mean CPU time.
#include <dlfcn.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

namespace {

struct Settings {
  std::string plugin = ZEQ_PLUGIN_FILE;
  std::string models = ZEQ_MODEL_DIR;
  std::string sample = ZEQ_SAMPLE_CLIP;
  long iterations = 0;  // 0: as many as the minimum time needs
  std::string baseline;  // a second library, measured frame by frame beside the first
};
Settings g_settings;

constexpr int kNoFace = -50;

struct Plugin {
  void* handle = nullptr;
  int (*init)(const char*, const void*, const void*) = nullptr;
  int (*update)(unsigned char*, int, int) = nullptr;
  void (*release)() = nullptr;

  bool open(const std::string& path) {
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) return false;
    auto bind = [&](auto& fn, const char* name) {
      fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(handle, name));
      return fn != nullptr;
    };
    return bind(init, "ZEQ_UnityTrackerInit") && bind(update, "ZEQ_UnityTrackerUpdate") &&
           bind(release, "ZEQ_UnityTrackerRelease");
  }
};

// One instance per library file for the whole run: its globals are the
// plug-in's state. Two different files give two independent plug-ins.
Plugin* openPlugin(const std::string& path) {
  static std::vector<std::pair<std::string, Plugin*>> opened;
  for (const auto& entry : opened) {
    if (entry.first == path) return entry.second;
  }
  Plugin* p = new Plugin;
  if (!p->open(path)) {
    delete p;
    p = nullptr;
  }
  opened.emplace_back(path, p);
  return p;
}

double threadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return 1e3 * static_cast<double>(t.tv_sec) + 1e-6 * static_cast<double>(t.tv_nsec);
}

void reportPercentiles(benchmark::State& state, std::vector<double> ms) {
  if (ms.empty()) return;
  std::sort(ms.begin(), ms.end());
  state.counters["median_ms"] = ms[ms.size() / 2];
  state.counters["p95_ms"] = ms[std::min(ms.size() - 1, ms.size() * 95 / 100)];
}

std::vector<cv::Mat> readFrames(const std::string& path) {
  std::vector<cv::Mat> frames;
  cv::VideoCapture video(path);
  cv::Mat bgr;
  while (video.read(bgr)) {
    cv::Mat rgba;
    cv::cvtColor(bgr, rgba, cv::COLOR_BGR2RGBA);
    frames.push_back(rgba);
  }
  return frames;
}

const std::vector<cv::Mat>& sampleFrames() {
  static const std::vector<cv::Mat> frames = readFrames(g_settings.sample);
  return frames;
}

// The window and garden beside the speaker's head (the left and right fifths
// of the first frame, above his shoulders), the pair repeated mirrored to
// three times its width and scaled to the given size.
cv::Mat texturedBackground(cv::Size size) {
  const std::vector<cv::Mat>& frames = sampleFrames();
  if (frames.empty()) return cv::Mat();
  const cv::Mat& f = frames.front();
  const int side = f.cols / 5;
  const int height = f.rows * 11 / 15;
  cv::Mat strips, mirrored, tiled, out;
  cv::hconcat(f(cv::Rect(0, 0, side, height)), f(cv::Rect(f.cols - side, 0, side, height)), strips);
  cv::flip(strips, mirrored, 1);
  cv::hconcat(std::vector<cv::Mat>{strips, mirrored, strips}, tiled);
  cv::resize(tiled, out, size, 0, 0, cv::INTER_LINEAR);
  return out;
}

// The first 120 frames of the sample in the middle of the textured background
// scaled to 1280 x 720: a face of the sample's size seen by an HD camera.
const std::vector<cv::Mat>& hdFrames() {
  static const std::vector<cv::Mat> frames = [] {
    std::vector<cv::Mat> out;
    const std::vector<cv::Mat>& sample = sampleFrames();
    const cv::Mat background = texturedBackground(cv::Size(1280, 720));
    for (std::size_t i = 0; i < sample.size() && i < 120; ++i) {
      cv::Mat canvas = background.clone();
      const cv::Mat& f = sample[i];
      f.copyTo(canvas(cv::Rect((canvas.cols - f.cols) / 2, (canvas.rows - f.rows) / 2, f.cols, f.rows)));
      out.push_back(canvas);
    }
    return out;
  }();
  return frames;
}

cv::Mat noiseFrame() {
  cv::Mat rgba(480, 640, CV_8UC4);
  cv::RNG rng(7);
  rng.fill(rgba, cv::RNG::UNIFORM, 0, 256);
  return rgba;
}

// Medians of the frames measured through this library and the baseline, and their ratio.
void reportSideBySide(benchmark::State& state, std::vector<double> mine, std::vector<double> theirs) {
  if (mine.empty() || theirs.empty()) return;
  std::sort(mine.begin(), mine.end());
  std::sort(theirs.begin(), theirs.end());
  const double m = mine[mine.size() / 2], t = theirs[theirs.size() / 2];
  state.counters["median_ms"] = m;
  state.counters["baseline_median_ms"] = t;
  state.counters["ratio"] = m / t;
}

bool initialise(benchmark::State& state, Plugin*& p, const std::string& path) {
  cv::setNumThreads(1);
  p = openPlugin(path);
  if (!p) {
    state.SkipWithError(("cannot load " + path).c_str());
    return false;
  }
  p->release();
  if (p->init(g_settings.models.c_str(), nullptr, nullptr) != 0) {
    state.SkipWithError(("cannot initialise with " + g_settings.models).c_str());
    return false;
  }
  return true;
}

bool initialise(benchmark::State& state, Plugin*& p) { return initialise(state, p, g_settings.plugin); }

// Tracked frames of the sample, played forwards and backwards so that every
// frame follows a neighbour. A frame that loses the face is not measured: the
// following frames search untimed until the face is found again.
void trackedFrames(benchmark::State& state, const std::vector<cv::Mat>& frames) {
  Plugin* p = nullptr;
  if (!initialise(state, p)) return;
  if (frames.size() < 2) {
    state.SkipWithError(("cannot read " + g_settings.sample).c_str());
    return;
  }
  const int n = static_cast<int>(frames.size());
  int i = 0, step = 1;
  auto next = [&]() -> cv::Mat& {
    if (i + step < 0 || i + step >= n) step = -step;
    i += step;
    return const_cast<cv::Mat&>(frames[i]);
  };
  auto find = [&](cv::Mat& frame) {
    int tries = 0;
    while (p->update(frame.data, frame.cols, frame.rows) <= 0 && ++tries < 2 * n) frame = next();
    return tries < 2 * n;
  };
  cv::Mat first = frames[0];
  if (!find(first)) {
    state.SkipWithError("no face found in the sample");
    return;
  }
  std::vector<double> ms;
  long losses = 0;
  for (auto _ : state) {
    cv::Mat& frame = next();
    const double t0 = threadCpuMs();
    const int status = p->update(frame.data, frame.cols, frame.rows);
    const double t1 = threadCpuMs();
    if (status > 0) {
      ms.push_back(t1 - t0);
      continue;
    }
    state.PauseTiming();
    ++losses;
    cv::Mat again = next();
    if (!find(again)) {
      state.SkipWithError("face not found again");
      break;
    }
    state.ResumeTiming();
  }
  state.counters["losses"] = static_cast<double>(losses);
  reportPercentiles(state, ms);
}


void BM_TrackedSampleFrame(benchmark::State& state) { trackedFrames(state, sampleFrames()); }
void BM_TrackedSampleFrameIn1280x720(benchmark::State& state) { trackedFrames(state, hdFrames()); }

// The same tracked frames through this library and the baseline library in
// turn, so that both see the same load; reports both medians and their ratio.
// Frames that either loses are not counted.
void BM_TrackedSampleFrameAgainstBaseline(benchmark::State& state) {
  Plugin* p = nullptr;
  Plugin* q = nullptr;
  if (!initialise(state, p) || !initialise(state, q, g_settings.baseline)) return;
  const std::vector<cv::Mat>& frames = sampleFrames();
  if (frames.size() < 2) {
    state.SkipWithError(("cannot read " + g_settings.sample).c_str());
    return;
  }
  const int n = static_cast<int>(frames.size());
  int i = 0, step = 1;
  std::vector<double> mine, theirs;
  long skipped = 0;
  for (auto _ : state) {
    if (i + step < 0 || i + step >= n) step = -step;
    i += step;
    cv::Mat frame = frames[i];
    const double t0 = threadCpuMs();
    const int a = p->update(frame.data, frame.cols, frame.rows);
    const double t1 = threadCpuMs();
    const int b = q->update(frame.data, frame.cols, frame.rows);
    const double t2 = threadCpuMs();
    if (a > 0 && b > 0) {
      mine.push_back(t1 - t0);
      theirs.push_back(t2 - t1);
    } else {
      ++skipped;
    }
  }
  state.counters["not_both_tracked"] = static_cast<double>(skipped);
  reportSideBySide(state, mine, theirs);
}

// Searching: every frame runs the detector and finds nothing.
void searchingFrame(benchmark::State& state, cv::Mat frame) {
  Plugin* p = nullptr;
  if (!initialise(state, p)) return;
  if (frame.empty()) {
    state.SkipWithError(("cannot read " + g_settings.sample).c_str());
    return;
  }
  const int first = p->update(frame.data, frame.cols, frame.rows);
  if (first != kNoFace) {
    state.SkipWithError(("the face-free frame gave status " + std::to_string(first)).c_str());
    return;
  }
  std::vector<double> ms;
  for (auto _ : state) {
    const double t0 = threadCpuMs();
    const int status = p->update(frame.data, frame.cols, frame.rows);
    ms.push_back(threadCpuMs() - t0);
    if (status != kNoFace) {
      state.SkipWithError("a face was found");
      break;
    }
  }
  reportPercentiles(state, ms);
}

void BM_SearchingTextured640x480(benchmark::State& state) { searchingFrame(state, texturedBackground(cv::Size(640, 480))); }


void BM_SearchingNoise640x480(benchmark::State& state) { searchingFrame(state, noiseFrame()); }

// The frame that finds the face after a start: the sample's first frame in the
// middle of the textured background at 640 x 480. The start (init) is untimed.
void BM_FindingTheFace640x480(benchmark::State& state) {
  Plugin* p = nullptr;
  if (!initialise(state, p)) return;
  const std::vector<cv::Mat>& sample = sampleFrames();
  cv::Mat frame = texturedBackground(cv::Size(640, 480));
  if (sample.empty() || frame.empty()) {
    state.SkipWithError(("cannot read " + g_settings.sample).c_str());
    return;
  }
  const cv::Mat& f = sample.front();
  const cv::Rect middle((frame.cols - f.cols) / 2, (frame.rows - f.rows) / 2, f.cols, f.rows);
  f.copyTo(frame(middle));
  std::vector<double> ms;
  for (auto _ : state) {
    state.PauseTiming();
    p->release();
    const int started = p->init(g_settings.models.c_str(), nullptr, nullptr);
    state.ResumeTiming();
    const double t0 = threadCpuMs();
    const int status = p->update(frame.data, frame.cols, frame.rows);
    ms.push_back(threadCpuMs() - t0);
    if (started != 0 || status <= 0) {
      state.SkipWithError("the face was not found");
      break;
    }
  }
  reportPercentiles(state, ms);
}

// Searching frames through this library and the baseline library in turn.
void BM_SearchingAgainstBaseline(benchmark::State& state) {
  Plugin* p = nullptr;
  Plugin* q = nullptr;
  if (!initialise(state, p) || !initialise(state, q, g_settings.baseline)) return;
  cv::Mat frame = texturedBackground(cv::Size(640, 480));
  if (frame.empty()) {
    state.SkipWithError(("cannot read " + g_settings.sample).c_str());
    return;
  }
  std::vector<double> mine, theirs;
  for (auto _ : state) {
    const double t0 = threadCpuMs();
    const int a = p->update(frame.data, frame.cols, frame.rows);
    const double t1 = threadCpuMs();
    const int b = q->update(frame.data, frame.cols, frame.rows);
    const double t2 = threadCpuMs();
    if (a != kNoFace || b != kNoFace) {
      state.SkipWithError("a face was found");
      break;
    }
    mine.push_back(t1 - t0);
    theirs.push_back(t2 - t1);
  }
  reportSideBySide(state, mine, theirs);
}


void registerAll() {
  const auto add = [](const char* name, void (*fn)(benchmark::State&), double minTime) {
    benchmark::internal::Benchmark* b = benchmark::RegisterBenchmark(name, fn)->Unit(benchmark::kMillisecond);
    if (g_settings.iterations > 0) {
      b->Iterations(g_settings.iterations);
    } else {
      b->MinTime(minTime);
    }
  };
  add("BM_TrackedSampleFrame", BM_TrackedSampleFrame, 3.0);
  add("BM_TrackedSampleFrameIn1280x720", BM_TrackedSampleFrameIn1280x720, 2.0);
  add("BM_SearchingTextured640x480", BM_SearchingTextured640x480, 2.0);
  add("BM_SearchingNoise640x480", BM_SearchingNoise640x480, 2.0);
  // Every iteration starts the plug-in afresh (untimed): a fixed count.
  benchmark::RegisterBenchmark("BM_FindingTheFace640x480", BM_FindingTheFace640x480)
      ->Unit(benchmark::kMillisecond)
      ->Iterations(g_settings.iterations > 0 ? g_settings.iterations : 30);
  if (!g_settings.baseline.empty()) {
    add("BM_TrackedSampleFrameAgainstBaseline", BM_TrackedSampleFrameAgainstBaseline, 6.0);
    add("BM_SearchingAgainstBaseline", BM_SearchingAgainstBaseline, 4.0);
  }
}

// Removes --plugin=, --models=, --sample=, --baseline= and --iterations= from the arguments before Google
// Benchmark reads the rest.
void takeSettings(int& argc, char** argv) {
  int out = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char* prefix, std::string& dst) {
      const std::size_t len = std::strlen(prefix);
      if (a.compare(0, len, prefix) != 0) return false;
      dst = a.substr(len);
      return true;
    };
    std::string iterations;
    if (value("--plugin=", g_settings.plugin) || value("--models=", g_settings.models) ||
        value("--sample=", g_settings.sample) || value("--baseline=", g_settings.baseline)) {
      continue;
    }
    if (value("--iterations=", iterations)) {
      g_settings.iterations = std::atol(iterations.c_str());
      continue;
    }
    argv[out++] = argv[i];
  }
  argc = out;
}

}  // namespace

int main(int argc, char** argv) {
  takeSettings(argc, argv);
  registerAll();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  std::printf("plug-in %s, models %s, sample %s\n", g_settings.plugin.c_str(), g_settings.models.c_str(),
              g_settings.sample.c_str());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
