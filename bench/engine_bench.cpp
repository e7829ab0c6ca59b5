// Per-frame engine costs on the normalised 128 x 128 face image with 66
// landmarks and the default descriptor parameters, single-threaded.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/FacePosePredictor.h"
#include "engine/Feature.h"
#include "engine/LinearShapeClassifier.h"
#include "engine/LinearShapeRegressor.h"

namespace {

using zeq::FacePosePredictor;
using zeq::Feature;
using zeq::LinearShapeClassifier;
using zeq::LinearShapeRegressor;

constexpr int kLandmarks = 66;
constexpr int kSide = 128;

// Smooth face-like image: a bright ellipse on a dark background with darker eyes
// and mouth, plus mild noise so that every pixel has a gradient.
cv::Mat faceImage() {
  cv::Mat_<float> img(kSide, kSide, 60.f);
  cv::ellipse(img, cv::Point(64, 64), cv::Size(40, 52), 0, 0, 360, cv::Scalar(170), -1);
  cv::circle(img, cv::Point(48, 54), 6, cv::Scalar(70), -1);
  cv::circle(img, cv::Point(80, 54), 6, cv::Scalar(70), -1);
  cv::ellipse(img, cv::Point(64, 92), cv::Size(14, 5), 0, 0, 360, cv::Scalar(90), -1);
  cv::Mat_<float> noise(kSide, kSide);
  cv::RNG rng(7);
  rng.fill(noise, cv::RNG::NORMAL, 0.0, 6.0);
  img += noise;
  cv::GaussianBlur(img, img, cv::Size(5, 5), 1.5);
  cv::Mat out;
  img.convertTo(out, CV_8U);
  return out;
}

cv::Mat_<float> randomShape(cv::RNG& rng, float lo, float hi) {
  cv::Mat_<float> s(2 * kLandmarks, 1);
  rng.fill(s, cv::RNG::UNIFORM, lo, hi);
  return s;
}

cv::Mat_<float> randomMatrix(cv::RNG& rng, int rows, int cols, float scale) {
  cv::Mat_<float> m(rows, cols);
  rng.fill(m, cv::RNG::UNIFORM, -scale, scale);
  return m;
}

struct Fixture {
  cv::Mat image = faceImage();
  cv::Mat_<float> shape;
  Feature feature;

  Fixture() {
    cv::RNG rng(11);
    shape = randomShape(rng, 24.f, 104.f);
    feature.setup(image);
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void BM_FeatureSetup(benchmark::State& state) {
  Fixture& f = fixture();
  for (auto _ : state) {
    f.feature.setup(f.image);
    benchmark::DoNotOptimize(f.feature.cellHist.data);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_FeatureSetup)->Unit(benchmark::kMicrosecond);

void BM_FeatureExtract(benchmark::State& state) {
  Fixture& f = fixture();
  cv::Mat_<float> descriptor;
  for (auto _ : state) {
    f.feature.extract(descriptor, f.shape);
    benchmark::DoNotOptimize(descriptor.data);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_FeatureExtract)->Unit(benchmark::kMicrosecond);

void BM_RegressorPredictLocalWithShapeAligned(benchmark::State& state) {
  Fixture& f = fixture();
  const int n2 = 2 * kLandmarks;
  const int D = kLandmarks * f.feature.blockLength();
  cv::RNG rng(13);
  LinearShapeRegressor written;
  written.referenceShape = randomShape(rng, 30.f, 98.f);
  written.mixMatrix = randomMatrix(rng, n2, 4 * kLandmarks + 1, 0.01f);
  written.featureMatrix = randomMatrix(rng, n2, f.feature.blockLength(), 0.01f);
  written.offset = randomMatrix(rng, n2, 1, 0.01f);

  // Through the record, so that the stage carries the copies that reading makes.
  LinearShapeRegressor stage;
  FILE* tmp = std::tmpfile();
  const bool ok = tmp && written.write(tmp) == 0 && std::fseek(tmp, 0, SEEK_SET) == 0 && stage.read(tmp) == 0;
  if (tmp) std::fclose(tmp);
  if (!ok || stage.mode(kLandmarks, D) != LinearShapeRegressor::Mode::LocalWithShape) {
    state.SkipWithError("could not build a local-with-shape stage");
    return;
  }
  for (auto _ : state) {
    cv::Mat_<float> updated = stage.predict(f.feature, f.shape, true);
    benchmark::DoNotOptimize(updated.data);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_RegressorPredictLocalWithShapeAligned)->Unit(benchmark::kMicrosecond);

void BM_ClassifierPredict(benchmark::State& state) {
  Fixture& f = fixture();
  cv::RNG rng(17);
  LinearShapeClassifier classifier;
  classifier.referenceShape = randomShape(rng, 30.f, 98.f);
  classifier.mixMatrix = randomMatrix(rng, kLandmarks, kLandmarks, 0.1f);
  classifier.featureMatrix = randomMatrix(rng, kLandmarks, f.feature.blockLength(), 0.1f);
  classifier.offset = randomMatrix(rng, kLandmarks, 1, 0.1f);
  if (!classifier.isValidFor(kLandmarks, kLandmarks * f.feature.blockLength())) {
    state.SkipWithError("classifier does not accept these sizes");
    return;
  }
  for (auto _ : state) {
    cv::Mat_<float> scores = classifier.predict(f.feature, f.shape);
    benchmark::DoNotOptimize(scores.data);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_ClassifierPredict)->Unit(benchmark::kMicrosecond);

void BM_CalcPose(benchmark::State& state) {
  FacePosePredictor pose;
  const int n = pose.numPoints();
  const cv::Mat_<float> ref = pose.referenceShape;
  if (n != kLandmarks || ref.total() < static_cast<std::size_t>(3 * n) || !ref.isContinuous()) {
    state.SkipWithError("unexpected reference face");
    return;
  }
  // The reference face seen from the front, scaled into the normalised image,
  // with a little noise. The reference is stored planar: all x, all y, all z.
  const float* r = ref.ptr<float>();
  const auto xs = std::minmax_element(r, r + n);
  const auto ys = std::minmax_element(r + n, r + 2 * n);
  const float extent = std::max(*xs.second - *xs.first, *ys.second - *ys.first);
  const float scale = extent > 0.f ? 80.f / extent : 1.f;
  cv::RNG rng(19);
  cv::Mat_<float> shape(2 * n, 1);
  for (int i = 0; i < n; ++i) {
    shape(2 * i) = 64.f + scale * (r[i] - 0.5f * (*xs.first + *xs.second)) + rng.uniform(-0.5f, 0.5f);
    shape(2 * i + 1) = 64.f + scale * (r[n + i] - 0.5f * (*ys.first + *ys.second)) + rng.uniform(-0.5f, 0.5f);
  }
  if (pose.calcPose(shape).empty()) {
    state.SkipWithError("no pose for the test shape");
    return;
  }
  for (auto _ : state) {
    cv::Mat_<float> p = pose.calcPose(shape);
    benchmark::DoNotOptimize(p.data);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_CalcPose)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  // Single-threaded figures: OpenCV's worker threads would otherwise split some
  // of the calls and hide their real cost.
  cv::setNumThreads(1);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
