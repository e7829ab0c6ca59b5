// Cost of one FaceTracker::update on a 640 x 480 grey frame with a model of the
// deployed size (66 landmarks, three views of 5 local-with-shape stages, 3D fit),
// and the number of heap allocations it makes per frame once tracking is steady.
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/FaceTracker.h"
#include "support/SyntheticModel.h"

// Allocation counter: every C allocation entry point of this program is routed
// through glibc's own allocator with a count. OpenCV allocates with the C
// functions (posix_memalign through cv::fastMalloc) and operator new ends in
// malloc, so this sees every heap allocation of the engine and of OpenCV.
// Sanitizer builds keep their own allocator: there the counter reports -1.
#if defined(__SANITIZE_ADDRESS__)
#define ZEQ_SANITIZED_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZEQ_SANITIZED_ALLOCATOR 1
#endif
#endif
#if defined(__GLIBC__) && !defined(ZEQ_SANITIZED_ALLOCATOR)
#define ZEQ_COUNT_ALLOCATIONS 1
namespace {
std::atomic<long> g_allocations{0};
inline void countAllocation() { g_allocations.fetch_add(1, std::memory_order_relaxed); }
}  // namespace

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* ptr, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void* __libc_valloc(std::size_t size);
void* __libc_pvalloc(std::size_t size);
void __libc_free(void* ptr);

void* malloc(std::size_t size) noexcept {
  countAllocation();
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept {
  countAllocation();
  return __libc_calloc(count, size);
}
void* realloc(void* ptr, std::size_t size) noexcept {
  countAllocation();
  return __libc_realloc(ptr, size);
}
void free(void* ptr) noexcept { __libc_free(ptr); }
void* memalign(std::size_t alignment, std::size_t size) noexcept {
  countAllocation();
  return __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
  countAllocation();
  return __libc_memalign(alignment, size);
}
void* valloc(std::size_t size) noexcept {
  countAllocation();
  return __libc_valloc(size);
}
void* pvalloc(std::size_t size) noexcept {
  countAllocation();
  return __libc_pvalloc(size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) noexcept {
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
  countAllocation();
  void* p = __libc_memalign(alignment, size);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}
}  // extern "C"
#endif

namespace {

long allocationCount() {
#ifdef ZEQ_COUNT_ALLOCATIONS
  return g_allocations.load(std::memory_order_relaxed);
#else
  return 0;
#endif
}

cv::Point landmark(const cv::Mat_<float>& s, int i) { return cv::Point(cvRound(s(2 * i)), cvRound(s(2 * i + 1))); }

// Blurred noise with a face drawn at the landmarks of s.
cv::Mat_<unsigned char> faceImage(cv::Size size, const cv::Mat_<float>& s) {
  cv::Mat_<unsigned char> noise(size);
  cv::RNG rng(11);
  rng.fill(noise, cv::RNG::UNIFORM, 0, 256);
  cv::Mat_<unsigned char> texture;
  cv::GaussianBlur(noise, texture, cv::Size(0, 0), 1.5);
  cv::Mat_<unsigned char> face(size, 0);
  std::vector<cv::Point> contour;
  for (int i = 0; i <= 16; ++i) contour.push_back(landmark(s, i));
  for (int i = 26; i >= 17; --i) contour.push_back(landmark(s, i) - cv::Point(0, 16));
  cv::fillConvexPoly(face, contour, cv::Scalar(110));
  const auto line = [&](int from, int to, bool closed) {
    std::vector<cv::Point> pts;
    for (int i = from; i <= to; ++i) pts.push_back(landmark(s, i));
    cv::polylines(face, pts, closed, cv::Scalar(15), 4);
  };
  line(17, 21, false);
  line(22, 26, false);
  line(27, 30, false);
  line(31, 35, false);
  line(36, 41, true);
  line(42, 47, true);
  line(48, 59, true);
  cv::Mat_<unsigned char> out;
  cv::addWeighted(texture, 0.5, face, 1.0, 0.0, out);
  return out;
}

void BM_TrackerUpdate(benchmark::State& state) {
  cv::setNumThreads(1);
  auto tracker = std::make_unique<zeq::FaceTracker>();
  zeq::testing::fillSyntheticModel(*tracker,
                                   {.stages = 5, .shapeModes = 16, .modes3D = 10, .realisticSize = true});
  tracker->smoothing = true;
  const cv::Rect box(220, 140, 200, 200);
  if (!tracker->reset(box.x, box.y, box.width, box.height)) {
    state.SkipWithError("reset failed");
    return;
  }
  const cv::Mat_<float> placed = tracker->shape.clone();
  const cv::Mat_<unsigned char> frame = faceImage(cv::Size(640, 480), placed);
  // The first frames take the template, start the flow tracker and size the buffers.
  for (int i = 0; i < 3; ++i) tracker->update(frame.ptr(0), frame.cols, frame.rows);

  long lost = 0;
  long allocations = 0;
  long frames = 0;
  for (auto _ : state) {
    const long before = allocationCount();
    const int tracked = tracker->update(frame.ptr(0), frame.cols, frame.rows);
    allocations += allocationCount() - before;
    ++frames;
    if (tracked != 1) {
      // Keep measuring tracking frames, not searches.
      state.PauseTiming();
      ++lost;
      tracker->reset(box.x, box.y, box.width, box.height);
      tracker->update(frame.ptr(0), frame.cols, frame.rows);
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(tracker->shape.data);
  }
  state.counters["lost"] = static_cast<double>(lost);
#ifdef ZEQ_COUNT_ALLOCATIONS
  state.counters["allocs_per_frame"] =
      frames > 0 ? static_cast<double>(allocations) / static_cast<double>(frames) : 0.0;
#else
  state.counters["allocs_per_frame"] = -1.0;
#endif
  const cv::Scalar drift = cv::mean(cv::abs(tracker->shape - placed));
  state.counters["drift_px"] = drift[0];
}
BENCHMARK(BM_TrackerUpdate)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
