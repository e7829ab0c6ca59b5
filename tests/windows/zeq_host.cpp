// A host that uses the packaged plug-in the way the Unity engine does: load the
// library at run time, bind every entry point by its plain name, initialise from
// the model and cascade held in memory, push recorded frames and read the
// points back. Built natively (Linux) and with mingw-w64 (run under Wine), so
// the two builds of the plug-in can be compared on the same frames.
//
//   zeq_host <library> <model file> <cascade file> <frames> <points out> [<reference points>]
//
// <frames>: int32 width, int32 height, int32 count, then count RGBA frames,
// rows top to bottom. <points out>: one line per frame, the status then 30 x, y
// pairs. With a reference (the same file written by another build), the
// statuses must match and every point must agree within kTolerance pixels.
// Exit status 0 only when every check passed.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "../support/ExportNames.h"

namespace {

constexpr int kPoints = 30;
constexpr double kTolerance = 0.5;  // pixels

class Library {
 public:
  explicit Library(const std::string& path) {
#if defined(_WIN32)
    handle_ = LoadLibraryA(path.c_str());
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  ~Library() {
    if (!handle_) return;
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
  }
  bool loaded() const { return handle_ != nullptr; }
  void* symbol(const char* name) const {
#if defined(_WIN32)
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
#else
    return dlsym(handle_, name);
#endif
  }

 private:
  void* handle_ = nullptr;
};

struct Api {
  int (*initFromMemory)(const unsigned char*, int, const char*, int) = nullptr;
  int (*update)(unsigned char*, int, int) = nullptr;
  void (*release)() = nullptr;
  int (*pointNum)() = nullptr;
  int (*getPoints)(float*) = nullptr;
  int (*getLastError)(char*, int) = nullptr;
};

template <typename F>
void bind(const Library& lib, F& fn, const char* name) {
  fn = reinterpret_cast<F>(lib.symbol(name));
}

bool readFile(const std::string& path, std::vector<unsigned char>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !bytes.empty();
}

struct Frames {
  int width = 0, height = 0, count = 0;
  std::vector<unsigned char> pixels;
  unsigned char* frame(int i) { return pixels.data() + static_cast<size_t>(i) * width * height * 4; }
};

bool readFrames(const std::string& path, Frames& f) {
  std::ifstream in(path, std::ios::binary);
  int32_t header[3];
  if (!in.read(reinterpret_cast<char*>(header), sizeof header)) return false;
  f.width = header[0];
  f.height = header[1];
  f.count = header[2];
  if (f.width < 1 || f.width > 4096 || f.height < 1 || f.height > 4096 || f.count < 1 || f.count > 10000) return false;
  f.pixels.resize(static_cast<size_t>(f.width) * f.height * 4 * f.count);
  return static_cast<bool>(in.read(reinterpret_cast<char*>(f.pixels.data()), static_cast<std::streamsize>(f.pixels.size())));
}

struct Result {
  int status = 0;
  std::vector<float> points;  // 2 x kPoints when tracked
};

bool readResults(const std::string& path, std::vector<Result>& results) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    Result r;
    if (!(fields >> r.status)) return false;
    float v;
    while (fields >> v) r.points.push_back(v);
    results.push_back(r);
  }
  return !results.empty();
}

void writeResults(const std::string& path, const std::vector<Result>& results) {
  FILE* out = std::fopen(path.c_str(), "w");
  if (!out) return;
  for (const Result& r : results) {
    std::fprintf(out, "%d", r.status);
    for (float v : r.points) std::fprintf(out, " %.4f", v);
    std::fprintf(out, "\n");
  }
  std::fclose(out);
}

std::string lastError(const Api& api) {
  if (!api.getLastError) return std::string();
  std::vector<char> text(static_cast<size_t>(api.getLastError(nullptr, 0)) + 1, '\0');
  api.getLastError(text.data(), static_cast<int>(text.size()));
  return text.data();
}

// Compares with the other build's results; prints the largest difference.
int compare(const std::vector<Result>& mine, const std::vector<Result>& theirs) {
  int failures = 0;
  if (mine.size() != theirs.size()) {
    std::fprintf(stderr, "FAILED: %zu frames here, %zu in the reference\n", mine.size(), theirs.size());
    return 1;
  }
  double largest = 0.0;
  for (size_t i = 0; i < mine.size(); ++i) {
    if (mine[i].status != theirs[i].status || mine[i].points.size() != theirs[i].points.size()) {
      std::fprintf(stderr, "FAILED: frame %zu: status %d here, %d in the reference\n", i, mine[i].status,
                   theirs[i].status);
      ++failures;
      continue;
    }
    for (size_t k = 0; k < mine[i].points.size(); ++k)
      largest = std::max(largest, std::fabs(static_cast<double>(mine[i].points[k]) - theirs[i].points[k]));
  }
  std::printf("largest point difference from the reference: %.4f px\n", largest);
  if (largest > kTolerance) {
    std::fprintf(stderr, "FAILED: points differ by %.4f px (more than %.1f)\n", largest, kTolerance);
    ++failures;
  }
  return failures;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: %s <library> <model file> <cascade file> <frames> <points out> [<reference>]\n",
                 argv[0]);
    return 2;
  }
  Library lib(argv[1]);
  if (!lib.loaded()) {
    std::fprintf(stderr, "FAILED: cannot load %s\n", argv[1]);
    return 1;
  }
  int failures = 0;
  for (const char* name : zeq::testing::kExportNames) {
    if (!lib.symbol(name)) {
      std::fprintf(stderr, "FAILED: %s is not exported\n", name);
      ++failures;
    }
  }
  Api api;
  bind(lib, api.initFromMemory, "ZEQ_UnityTrackerInitFromMemory");
  bind(lib, api.update, "ZEQ_UnityTrackerUpdate");
  bind(lib, api.release, "ZEQ_UnityTrackerRelease");
  bind(lib, api.pointNum, "ZEQ_UnityGetTrackerPointNum");
  bind(lib, api.getPoints, "ZEQ_UnityGetPoints");
  bind(lib, api.getLastError, "ZEQ_UnityGetLastError");
  if (failures) return 1;

  std::vector<unsigned char> model, cascade;
  Frames frames;
  if (!readFile(argv[2], model) || !readFile(argv[3], cascade) || !readFrames(argv[4], frames)) {
    std::fprintf(stderr, "FAILED: cannot read the model, the cascade or the frames\n");
    return 1;
  }
  const int init = api.initFromMemory(model.data(), static_cast<int>(model.size()),
                                      reinterpret_cast<const char*>(cascade.data()), static_cast<int>(cascade.size()));
  if (init != 0) {
    std::fprintf(stderr, "FAILED: init from memory returned %d (%s)\n", init, lastError(api).c_str());
    return 1;
  }

  std::vector<Result> results;
  int firstTracked = -1, tracked = 0;
  for (int i = 0; i < frames.count; ++i) {
    Result r;
    r.status = api.update(frames.frame(i), frames.width, frames.height);
    if (r.status == 1) {
      r.points.assign(2 * kPoints, -1.f);
      if (api.pointNum() != kPoints || api.getPoints(r.points.data()) != kPoints) {
        std::fprintf(stderr, "FAILED: frame %d is tracked but gives no %d points\n", i, kPoints);
        ++failures;
      }
      ++tracked;
      if (firstTracked < 0) firstTracked = i;
    } else if (firstTracked >= 0) {
      std::fprintf(stderr, "FAILED: frame %d lost the face (status %d) after frame %d found it\n", i, r.status,
                   firstTracked);
      ++failures;
    }
    results.push_back(r);
  }
  api.release();
  std::printf("%d of %d frames tracked, the first at frame %d\n", tracked, frames.count, firstTracked);
  if (firstTracked < 0) {
    std::fprintf(stderr, "FAILED: no face found in %d frames\n", frames.count);
    ++failures;
  }
  writeResults(argv[5], results);

  if (argc > 6) {
    std::vector<Result> reference;
    if (!readResults(argv[6], reference)) {
      std::fprintf(stderr, "FAILED: cannot read the reference %s\n", argv[6]);
      return 1;
    }
    failures += compare(results, reference);
  }
  return failures == 0 ? 0 : 1;
}
