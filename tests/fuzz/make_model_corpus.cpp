// Writes the seed corpus of model_fuzz: tiny three-landmark models (a few kB
// each) that load, plus variants that are cut, refused or lose their 3D fit.
#include <cstdio>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "engine/FaceTracker.h"
#include "engine/FeatParameters.h"

namespace {

constexpr int kLandmarks = 3;

cv::Mat_<float> referenceShape() { return (cv::Mat_<float>(2 * kLandmarks, 1) << 44, 56, 84, 56, 64, 92); }

zeq::LinearShapeRegressor stage(float weight) {
  const int rows = 2 * kLandmarks;
  zeq::LinearShapeRegressor s;
  s.referenceShape = referenceShape();
  s.mixMatrix = cv::Mat_<float>(rows, 4 * kLandmarks + 1, weight);
  s.featureMatrix = cv::Mat_<float>(rows, zeq::Feature().blockLength(), weight);
  s.offset = cv::Mat_<float>(rows, 1, 0.f);
  s.refreshCopies();
  return s;
}

zeq::LinearShapeClassifier classifier() {
  zeq::LinearShapeClassifier c;
  c.referenceShape = referenceShape();
  c.mixMatrix = cv::Mat_<float>::eye(kLandmarks, kLandmarks);
  c.featureMatrix = cv::Mat_<float>(kLandmarks, zeq::Feature().blockLength(), 1e-3f);
  c.offset = cv::Mat_<float>(kLandmarks, 1, 1.f);
  return c;
}

zeq::LinearModel model(const cv::Mat_<float>& mean, int modes) {
  zeq::LinearModel m;
  m.mean = mean.clone();
  if (modes > 0) {
    m.basis = cv::Mat_<float>::eye(mean.rows, modes);
    m.modeScale = cv::Mat_<float>(modes, 1, 2.f);
  }
  return m;
}

void fill(zeq::FaceTracker& t) {
  t.frontalRegressors = {stage(1e-4f)};
  t.positiveYawRegressors = {stage(2e-4f)};
  t.negativeYawRegressors = {stage(-2e-4f)};
  t.frontalClassifier = t.positiveYawClassifier = t.negativeYawClassifier = classifier();
  t.frontalShapeModel = t.positiveYawShapeModel = t.negativeYawShapeModel = model(referenceShape(), 2);
  t.hasFeatureParameters = true;
  const cv::Mat_<float> face = (cv::Mat_<float>(3 * kLandmarks, 1) << -20, -10, 5, 20, -10, 5, 0, 25, 0);
  t.referenceModel3D = model(face, 0);
  t.deformationModel3D = model(face, 2);
  t.hasModel3D = true;
  t.shape3DIndices = (cv::Mat_<int>(3, 1) << 0, 1, 2);
  t.firstEyeIndices = (cv::Mat_<int>(1, 1) << 0);
  t.secondEyeIndices = (cv::Mat_<int>(1, 1) << 1);
}

bool save(const zeq::FaceTracker& t, const std::string& path) {
  if (t.save(path.c_str()) == 0) return true;
  std::fprintf(stderr, "cannot write %s\n", path.c_str());
  return false;
}

bool cut(const std::string& from, const std::string& to, long keep) {
  FILE* in = std::fopen(from.c_str(), "rb");
  if (!in) return false;
  std::vector<char> bytes(static_cast<std::size_t>(keep));
  const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), in);
  std::fclose(in);
  FILE* out = std::fopen(to.c_str(), "wb");
  if (!out) return false;
  const bool ok = std::fwrite(bytes.data(), 1, got, out) == got;
  return std::fclose(out) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  bool ok = true;

  auto t = std::make_unique<zeq::FaceTracker>();
  fill(*t);
  ok = ok && save(*t, dir + "/valid.model");

  auto bad3D = std::make_unique<zeq::FaceTracker>();
  fill(*bad3D);
  bad3D->shape3DIndices = (cv::Mat_<int>(3, 1) << 0, 1, 7);
  ok = ok && save(*bad3D, dir + "/bad-3d-index.model");

  auto bigWarp = std::make_unique<zeq::FaceTracker>();
  fill(*bigWarp);
  bigWarp->featureParameters.warpSize = cv::Size(2048, 2048);
  ok = ok && save(*bigWarp, dir + "/warp-2048.model");

  auto bare = std::make_unique<zeq::FaceTracker>();
  fill(*bare);
  bare->hasFeatureParameters = false;
  bare->hasModel3D = false;
  bare->shape3DIndices.release();
  bare->firstEyeIndices.release();
  bare->secondEyeIndices.release();
  ok = ok && save(*bare, dir + "/no-optional-sections.model");

  ok = ok && cut(dir + "/valid.model", dir + "/cut-in-a-stage.model", 1000);

  zeq::FeatParameters p;
  FILE* f = std::fopen((dir + "/feature-parameters.bin").c_str(), "wb");
  ok = ok && f && zeq::writeFeatParameters(f, p) == 0;
  if (f) std::fclose(f);
  f = std::fopen((dir + "/linear-model.bin").c_str(), "wb");
  ok = ok && f && model(referenceShape(), 2).write(f) == 0;
  if (f) std::fclose(f);
  return ok ? 0 : 1;
}
