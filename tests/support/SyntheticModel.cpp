#include "support/SyntheticModel.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include <Eigen/Core>

namespace zeq {
namespace testing {

namespace {

constexpr int kLandmarks = 66;
constexpr int kFrameSize = 128;
constexpr float kEyeDistance = 40.f;
constexpr int kFirstDeformablePoint = 17;  // landmarks 17..65 form the deformable 3D subset

int blockLength() {
  const FeatParameters p;
  const int cells = p.patchSize / p.cellSize;
  return cells * cells * p.numBins;
}


cv::Mat_<float> uniformMat(int rows, int cols, float scale, cv::RNG& rng) {
  cv::Mat_<float> m(rows, cols);
  rng.fill(m, cv::RNG::UNIFORM, -scale, scale);
  return m;
}

// Gram-Schmidt (twice, for numerical safety) over the given columns followed by
// `extra` random ones; columns that collapse are replaced by new random ones.
cv::Mat_<float> orthonormalBasis(const std::vector<cv::Mat_<double>>& given, int rows, int extra, cv::RNG& rng) {
  std::vector<cv::Mat_<double>> done;
  const auto addColumn = [&](cv::Mat_<double> v) {
    for (int pass = 0; pass < 2; ++pass) {
      for (const auto& q : done) v -= q.dot(v) * q;
    }
    const double norm = cv::norm(v);
    if (norm < 1e-9) return false;
    done.push_back(v / norm);
    return true;
  };
  for (const auto& g : given) addColumn(g.clone());
  for (int k = 0; k < extra;) {
    cv::Mat_<double> r(rows, 1);
    rng.fill(r, cv::RNG::NORMAL, 0.0, 1.0);
    if (addColumn(r)) ++k;
  }
  cv::Mat_<float> basis;
  if (done.empty()) return basis;
  basis.create(rows, static_cast<int>(done.size()));
  for (int c = 0; c < basis.cols; ++c) {
    for (int r = 0; r < rows; ++r) basis(r, c) = static_cast<float>(done[c](r));
  }
  return basis;
}

LinearModel makeModel(const cv::Mat_<float>& mean, const cv::Mat_<float>& basis, const std::vector<float>& scales) {
  LinearModel m;
  m.mean = mean.clone();
  m.basis = basis.clone();
  if (!scales.empty()) {
    m.modeScale.create(static_cast<int>(scales.size()), 1);
    for (int k = 0; k < m.modeScale.rows; ++k) m.modeScale(k) = scales[k];
  }
  return m;
}

// 2D shape model: 4 similarity modes of the mean (never clamped) plus random non-rigid modes.
LinearModel makeShapeModel(const cv::Mat_<float>& mean, int shapeModes, cv::RNG& rng) {
  const int n = mean.rows / 2;
  double cx = 0, cy = 0;
  for (int i = 0; i < n; ++i) {
    cx += mean(2 * i);
    cy += mean(2 * i + 1);
  }
  cx /= n;
  cy /= n;
  std::vector<cv::Mat_<double>> similarity(4, cv::Mat_<double>());
  for (auto& column : similarity) column = cv::Mat_<double>::zeros(2 * n, 1);
  for (int i = 0; i < n; ++i) {
    const double dx = mean(2 * i) - cx;
    const double dy = mean(2 * i + 1) - cy;
    similarity[0](2 * i) = 1.0;
    similarity[1](2 * i + 1) = 1.0;
    similarity[2](2 * i) = dx;
    similarity[2](2 * i + 1) = dy;
    similarity[3](2 * i) = -dy;
    similarity[3](2 * i + 1) = dx;
  }
  const int extra = std::max(0, shapeModes);
  const cv::Mat_<float> basis = orthonormalBasis(similarity, 2 * n, extra, rng);
  std::vector<float> scales(4, 1e6f);
  scales.resize(static_cast<std::size_t>(basis.cols), 2.0f);
  return makeModel(mean, basis, scales);
}

void setEigenCopies(LinearShapeRegressor& stage) {
  stage.referenceShapeCopy =
      Eigen::Map<const Eigen::MatrixXf>(stage.referenceShape.ptr<float>(0), stage.referenceShape.rows, 1);
  stage.offsetCopy = Eigen::Map<const Eigen::MatrixXf>(stage.offset.ptr<float>(0), stage.offset.rows, 1);
}

LinearShapeRegressor makeStage(const cv::Mat_<float>& mean, bool realistic, cv::RNG& rng) {
  const int rows = mean.rows;  // 2n
  const int n = rows / 2;
  LinearShapeRegressor stage;
  stage.referenceShape = mean.clone();
  if (realistic) {
    stage.mixMatrix = uniformMat(rows, 4 * n + 1, 1e-4f, rng);
    stage.featureMatrix = uniformMat(rows, blockLength(), 1e-4f, rng);
    stage.offset = uniformMat(rows, 1, 1e-4f, rng);
  } else {
    stage.mixMatrix = cv::Mat_<float>::zeros(rows, 4 * n + 1);
    stage.featureMatrix = cv::Mat_<float>::zeros(rows, blockLength());
    stage.offset = cv::Mat_<float>::zeros(rows, 1);
  }
  setEigenCopies(stage);
  return stage;
}

LinearShapeClassifier makeClassifier(const cv::Mat_<float>& mean, float offset, bool realistic, cv::RNG& rng) {
  const int n = mean.rows / 2;
  LinearShapeClassifier c;
  c.referenceShape = mean.clone();
  c.mixMatrix = cv::Mat_<float>::eye(n, n);
  c.featureMatrix = realistic ? uniformMat(n, blockLength(), 1e-4f, rng) : cv::Mat_<float>::zeros(n, blockLength());
  c.offset = cv::Mat_<float>(n, 1, offset);
  return c;
}

cv::Mat_<int> indexRange(int first, int last) {
  cv::Mat_<int> m(last - first + 1, 1);
  for (int i = first; i <= last; ++i) m(i - first) = i;
  return m;
}

}  // namespace

// The pose predictor's built-in reference face as an interleaved column (x, y, z per point).
cv::Mat_<float> interleavedReference3D() {
  const cv::Mat_<float> planar = FacePosePredictor().referenceShape;
  const int n = planar.rows / 3;
  cv::Mat_<float> out(3 * n, 1);
  for (int i = 0; i < n; ++i) {
    out(3 * i) = planar(i);
    out(3 * i + 1) = planar(n + i);
    out(3 * i + 2) = planar(2 * n + i);
  }
  return out;
}

cv::Mat_<float> syntheticMeanShape() {
  const cv::Mat_<float> planar = FacePosePredictor().referenceShape;
  const int n = planar.rows / 3;
  cv::Mat_<float> shape(2 * n, 1);
  if (n < 48) {
    // Without the reference face there is nothing sensible to build from.
    return cv::Mat_<float>();
  }
  double e1x = 0, e1y = 0, e2x = 0, e2y = 0;
  for (int i = 36; i < 42; ++i) {
    e1x += planar(i) / 6.0;
    e1y += planar(n + i) / 6.0;
    e2x += planar(i + 6) / 6.0;
    e2y += planar(n + i + 6) / 6.0;
  }
  const double scale = kEyeDistance / std::hypot(e2x - e1x, e2y - e1y);
  double minX = 1e30, maxX = -1e30, minY = 1e30, maxY = -1e30;
  for (int i = 0; i < n; ++i) {
    minX = std::min<double>(minX, planar(i));
    maxX = std::max<double>(maxX, planar(i));
    minY = std::min<double>(minY, planar(n + i));
    maxY = std::max<double>(maxY, planar(n + i));
  }
  const double cx = 0.5 * (minX + maxX);
  const double cy = 0.5 * (minY + maxY);
  for (int i = 0; i < n; ++i) {
    shape(2 * i) = static_cast<float>(kFrameSize / 2.0 + scale * (planar(i) - cx));
    shape(2 * i + 1) = static_cast<float>(kFrameSize / 2.0 + scale * (planar(n + i) - cy));
  }
  return shape;
}

void fillSyntheticModel(zeq::FaceTracker& tracker, const SyntheticModelOptions& options) {
  cv::RNG rng(options.seed);
  const cv::Mat_<float> mean = syntheticMeanShape();
  const int stages = std::max(0, options.stages);

  std::vector<LinearShapeRegressor>* cascades[3] = {&tracker.frontalRegressors, &tracker.positiveYawRegressors,
                                                    &tracker.negativeYawRegressors};
  for (auto* cascade : cascades) {
    cascade->clear();
    for (int s = 0; s < stages; ++s) cascade->push_back(makeStage(mean, options.realisticSize, rng));
  }
  tracker.eyeRegressors.clear();

  tracker.frontalClassifier = makeClassifier(mean, options.classifierOffset, options.realisticSize, rng);
  tracker.positiveYawClassifier = makeClassifier(mean, options.classifierOffset, options.realisticSize, rng);
  tracker.negativeYawClassifier = makeClassifier(mean, options.classifierOffset, options.realisticSize, rng);

  tracker.frontalShapeModel = makeShapeModel(mean, options.shapeModes, rng);
  tracker.positiveYawShapeModel = makeShapeModel(mean, options.shapeModes, rng);
  tracker.negativeYawShapeModel = makeShapeModel(mean, options.shapeModes, rng);

  tracker.featureParameters = FeatParameters();
  tracker.hasFeatureParameters = options.withFeatureParameters;

  tracker.referenceModel3D = LinearModel();
  tracker.deformationModel3D = LinearModel();
  tracker.shape3DIndices.release();
  tracker.hasModel3D = options.with3D;
  if (options.with3D) {
    const cv::Mat_<float> reference = interleavedReference3D();
    tracker.referenceModel3D = makeModel(reference, cv::Mat_<float>(), {});
    const int m = kLandmarks - kFirstDeformablePoint;
    const cv::Mat_<float> subset = reference.rowRange(3 * kFirstDeformablePoint, 3 * kLandmarks).clone();
    const cv::Mat_<float> basis = orthonormalBasis({}, 3 * m, std::max(0, options.modes3D), rng);
    tracker.deformationModel3D = makeModel(subset, basis, std::vector<float>(basis.cols, 1.0f));
    // A loaded model hands its reference to the pose predictor; keep the filled tracker equivalent.
    tracker.posePredictor.setShape(reference);
  }

  if (options.withEyeIndices) {
    tracker.firstEyeIndices = indexRange(36, 41);
    tracker.secondEyeIndices = indexRange(42, 47);
  } else {
    tracker.firstEyeIndices.release();
    tracker.secondEyeIndices.release();
  }
  tracker.initialShape = mean.clone();
}

int writeSyntheticModelDir(const std::string& dir, const SyntheticModelOptions& options, bool withFaceDetector) {
  auto tracker = std::make_unique<FaceTracker>();
  fillSyntheticModel(*tracker, options);
  if (tracker->save((dir + "/zeqTracker.model").c_str()) != 0) return -1;
  if (withFaceDetector) {
    std::error_code ec;
    std::filesystem::copy_file("/usr/share/opencv4/haarcascades/haarcascade_frontalface_default.xml",
                               dir + "/face.xml", std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) return -1;
  }
  return 0;
}

}  // namespace testing
}  // namespace zeq
