#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/FaceTracker.h"
#include "engine/MatrixRecord.h"
#include "engine/Reader.h"
#include "support/SyntheticModel.h"
#include "support/TestSupport.h"

namespace {

using zeq::FaceTracker;
using zeq::LinearModel;
using zeq::LinearShapeRegressor;
using zeq::testing::SyntheticModelOptions;

std::unique_ptr<FaceTracker> synthetic(const SyntheticModelOptions& options = {}) {
  auto t = std::make_unique<FaceTracker>();
  zeq::testing::fillSyntheticModel(*t, options);
  return t;
}

std::vector<unsigned char> bytesOf(const FaceTracker& t, int* result = nullptr) {
  FILE* f = std::tmpfile();
  const int r = t.write(f);
  if (result) *result = r;
  std::vector<unsigned char> bytes(static_cast<std::size_t>(std::ftell(f)));
  std::rewind(f);
  if (!bytes.empty()) {
    EXPECT_EQ(std::fread(bytes.data(), 1, bytes.size(), f), bytes.size());
  }
  std::fclose(f);
  return bytes;
}

int readBytes(FaceTracker& t, const std::vector<unsigned char>& bytes) {
  FILE* f = std::tmpfile();
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
  const int r = t.read(f);
  std::fclose(f);
  return r;
}

template <typename T>
void expectSame(const cv::Mat_<T>& a, const cv::Mat_<T>& b, const char* what) {
  ASSERT_EQ(a.rows, b.rows) << what;
  ASSERT_EQ(a.cols, b.cols) << what;
  if (!a.empty()) {
    EXPECT_EQ(cv::norm(a, b, cv::NORM_INF), 0.0) << what;
  }
}

void expectSameStage(const LinearShapeRegressor& a, const LinearShapeRegressor& b) {
  expectSame(a.referenceShape, b.referenceShape, "referenceShape");
  expectSame(a.mixMatrix, b.mixMatrix, "mixMatrix");
  expectSame(a.featureMatrix, b.featureMatrix, "featureMatrix");
  expectSame(a.offset, b.offset, "offset");
  EXPECT_TRUE(a.referenceShapeCopy == b.referenceShapeCopy);
  EXPECT_TRUE(a.offsetCopy == b.offsetCopy);
}

void expectSameModel(const LinearModel& a, const LinearModel& b) {
  expectSame(a.mean, b.mean, "mean");
  expectSame(a.basis, b.basis, "basis");
  expectSame(a.modeScale, b.modeScale, "modeScale");
}

// A valid local-with-shape stage for the two eye centres (n = 2, 256 values per landmark).
LinearShapeRegressor eyeStage(float value) {
  LinearShapeRegressor s;
  s.referenceShape = (cv::Mat_<float>(4, 1) << 50, 60, 90, 60);
  s.mixMatrix = cv::Mat_<float>(4, 9, value);
  s.featureMatrix = cv::Mat_<float>(4, 256, value * 2);
  s.offset = cv::Mat_<float>(4, 1, value * 3);
  s.referenceShapeCopy = Eigen::Map<Eigen::MatrixXf>(s.referenceShape.ptr<float>(0), 4, 1);
  s.offsetCopy = Eigen::Map<Eigen::MatrixXf>(s.offset.ptr<float>(0), 4, 1);
  return s;
}

cv::Mat_<int> indices(int first, int last) {
  cv::Mat_<int> m(last - first + 1, 1);
  for (int i = first; i <= last; ++i) m(i - first) = i;
  return m;
}

// The richest model the format can hold: every optional section, distinct random values.
std::unique_ptr<FaceTracker> fullModel(bool randomWeights = true) {
  SyntheticModelOptions o;
  o.stages = 2;
  o.withEyeIndices = true;
  o.realisticSize = randomWeights;
  auto t = synthetic(o);
  t->eyeRegressors = {eyeStage(0.25f), eyeStage(0.5f)};
  t->shape3DIndices = indices(17, 65);
  t->featureParameters.numBins = 8;
  t->featureParameters.sqrtIntensity = false;
  t->referenceModel3D.mean *= 2.f;  // differs from the pose predictor's built-in face
  return t;
}

TEST(TrackerModel, ConstructedEngineHasDefaultsAndNoModel) {
  auto t = std::make_unique<FaceTracker>();
  EXPECT_EQ(t->numLandmarks(), 0);
  EXPECT_FLOAT_EQ(t->threshold, 0.3f);
  EXPECT_TRUE(t->smoothing);
  EXPECT_FALSE(t->hasModel3D || t->hasFeatureParameters || t->translationTrackerReady);
  EXPECT_EQ(t->warpedImage.size(), cv::Size(128, 128));
  EXPECT_EQ(t->warpedImage.type(), CV_8UC1);
  EXPECT_FLOAT_EQ(t->translationTracker.searchScale, 2.f);
  EXPECT_EQ(t->translationTracker.templateSize, cv::Size_<int>(48, 48));
  EXPECT_EQ(t->featureParameters.warpSize, cv::Size_<int>(128, 128));
  EXPECT_EQ(t->outputPoints[29], cv::Point_<float>(0.f, 0.f));
  EXPECT_EQ(t->outputConfidence[29], 0.f);
  EXPECT_EQ(t->referenceDistances[3], 0.f);
}

TEST(TrackerModel, SyntheticShapeModelSpansSimilarityTransformsOfTheMean) {
  const cv::Mat_<float> mean = zeq::testing::syntheticMeanShape();
  ASSERT_EQ(mean.rows, 132);
  const float eyeDistance = std::hypot(mean(2 * 42) - mean(2 * 39), mean(2 * 42 + 1) - mean(2 * 39 + 1));
  EXPECT_GT(eyeDistance, 20.f);
  EXPECT_LT(eyeDistance, 40.f);  // inner corners lie inside the 40 px between the eye centres
  auto t = synthetic();
  const LinearModel& m = t->frontalShapeModel;
  ASSERT_EQ(m.modes(), 8);
  // A rotated, scaled and shifted mean lies in the model space.
  cv::Mat_<float> moved(132, 1);
  const float a = 1.1f * std::cos(0.3f), b = 1.1f * std::sin(0.3f);
  for (int i = 0; i < 66; ++i) {
    const float x = mean(2 * i) - 64.f, y = mean(2 * i + 1) - 64.f;
    moved(2 * i) = a * x - b * y + 70.f;
    moved(2 * i + 1) = b * x + a * y + 58.f;
  }
  const cv::Mat_<float> p = m.project(moved);
  EXPECT_LT(cv::norm(m.reconstruct(p), moved, cv::NORM_INF), 1e-3);
  EXPECT_LT(cv::norm(p.rowRange(4, 8), cv::NORM_INF), 1e-3);
  cv::Mat_<float> gram = m.basis.t() * m.basis;
  EXPECT_LT(cv::norm(gram, cv::Mat_<float>::eye(8, 8), cv::NORM_INF), 1e-5);
}

TEST(TrackerModel, WriteThenReadReproducesEveryModelMember) {
  auto a = fullModel();
  const std::string dir = zeq::testing::makeTempDir();
  const std::string path = dir + "/model.bin";
  ASSERT_EQ(a->save(path.c_str()), 0);

  auto b = std::make_unique<FaceTracker>();
  ASSERT_EQ(b->load(path.c_str()), 0);
  EXPECT_EQ(b->numLandmarks(), 66);
  ASSERT_EQ(b->frontalRegressors.size(), 2u);
  ASSERT_EQ(b->positiveYawRegressors.size(), 2u);
  ASSERT_EQ(b->negativeYawRegressors.size(), 2u);
  ASSERT_EQ(b->eyeRegressors.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    expectSameStage(a->frontalRegressors[i], b->frontalRegressors[i]);
    expectSameStage(a->positiveYawRegressors[i], b->positiveYawRegressors[i]);
    expectSameStage(a->negativeYawRegressors[i], b->negativeYawRegressors[i]);
    expectSameStage(a->eyeRegressors[i], b->eyeRegressors[i]);
  }
  const zeq::LinearShapeClassifier* ca[3] = {&a->frontalClassifier, &a->positiveYawClassifier,
                                             &a->negativeYawClassifier};
  const zeq::LinearShapeClassifier* cb[3] = {&b->frontalClassifier, &b->positiveYawClassifier,
                                             &b->negativeYawClassifier};
  for (int v = 0; v < 3; ++v) {
    expectSame(ca[v]->referenceShape, cb[v]->referenceShape, "classifier referenceShape");
    expectSame(ca[v]->mixMatrix, cb[v]->mixMatrix, "classifier mixMatrix");
    expectSame(ca[v]->featureMatrix, cb[v]->featureMatrix, "classifier featureMatrix");
    expectSame(ca[v]->offset, cb[v]->offset, "classifier offset");
  }
  expectSameModel(a->frontalShapeModel, b->frontalShapeModel);
  expectSameModel(a->positiveYawShapeModel, b->positiveYawShapeModel);
  expectSameModel(a->negativeYawShapeModel, b->negativeYawShapeModel);
  expectSameModel(a->referenceModel3D, b->referenceModel3D);
  expectSameModel(a->deformationModel3D, b->deformationModel3D);
  EXPECT_TRUE(b->hasFeatureParameters);
  EXPECT_TRUE(b->hasModel3D);
  EXPECT_EQ(b->featureParameters.numBins, 8);
  EXPECT_FALSE(b->featureParameters.sqrtIntensity);
  expectSame(a->shape3DIndices, b->shape3DIndices, "shape3DIndices");
  expectSame(a->firstEyeIndices, b->firstEyeIndices, "firstEyeIndices");
  expectSame(a->secondEyeIndices, b->secondEyeIndices, "secondEyeIndices");

  // The initial shape is a deep copy of the frontal reference.
  expectSame(b->initialShape, b->frontalRegressors[0].referenceShape, "initialShape");
  EXPECT_NE(b->initialShape.data, b->frontalRegressors[0].referenceShape.data);
  // The stored 3D reference replaces the pose predictor's built-in face (planar there).
  ASSERT_EQ(b->posePredictor.referenceShape.rows, 198);
  EXPECT_FLOAT_EQ(b->posePredictor.referenceShape(66 + 5), a->referenceModel3D.mean(3 * 5 + 1));

  EXPECT_EQ(bytesOf(*b), zeq::testing::readFileBytes(path));
}

TEST(TrackerModel, OptionalSectionsMayBeCutOffAtAnyFlag) {
  SyntheticModelOptions o;
  o.with3D = false;
  o.withFeatureParameters = false;
  const std::vector<unsigned char> bytes = bytesOf(*synthetic(o));
  // Five absent optional sections end the file with five zero flags.
  for (std::size_t cut = 0; cut <= 20; cut += 4) {
    std::vector<unsigned char> shortened(bytes.begin(), bytes.end() - static_cast<long>(cut));
    auto t = std::make_unique<FaceTracker>();
    EXPECT_EQ(readBytes(*t, shortened), 0) << cut;
    EXPECT_FALSE(t->hasFeatureParameters);
    EXPECT_FALSE(t->hasModel3D);
    EXPECT_TRUE(t->shape3DIndices.empty() && t->firstEyeIndices.empty() && t->secondEyeIndices.empty());
  }
}

TEST(TrackerModel, InitialShapeFollowsTheFrontalCascadeOnlyWhenThereIsOne) {
  const std::string dir = zeq::testing::makeTempDir();
  const cv::Mat_<float> sentinel(132, 1, 7.f);

  // No stages: the model is refused and the initial shape stays.
  SyntheticModelOptions empty;
  empty.stages = 0;
  ASSERT_EQ(synthetic(empty)->save((dir + "/empty.bin").c_str()), 0);
  auto t = std::make_unique<FaceTracker>();
  t->initialShape = sentinel.clone();
  EXPECT_EQ(t->load((dir + "/empty.bin").c_str()), -1);
  EXPECT_TRUE(t->frontalRegressors.empty());
  expectSame(t->initialShape, sentinel, "initialShape");

  // A model refused after its frontal cascade was read still provides the shape.
  auto bad = synthetic();
  bad->frontalClassifier.mixMatrix = cv::Mat_<float>::eye(3, 3);
  ASSERT_EQ(bad->save((dir + "/bad.bin").c_str()), 0);
  EXPECT_EQ(t->load((dir + "/bad.bin").c_str()), -1);
  expectSame(t->initialShape, zeq::testing::syntheticMeanShape(), "initialShape");

  EXPECT_EQ(t->load((dir + "/missing.bin").c_str()), -1);
}

TEST(TrackerModel, WriteRefusesCascadesOfDifferentLengths) {
  auto t = synthetic();
  t->negativeYawRegressors.push_back(t->negativeYawRegressors[0]);
  int result = 0;
  EXPECT_TRUE(bytesOf(*t, &result).empty());
  EXPECT_EQ(result, -1);
}

// A model whose parts are stored in separate component files under dir.
struct ComponentFiles {
  std::string dir = zeq::testing::makeTempDir();
  std::string base(const char* view) const { return dir + "/" + view; }

  void write(const FaceTracker& t, const std::vector<int>& frontalStages) const {
    for (int i : frontalStages) t.frontalRegressors[0].save((base("front") + std::to_string(i) + ".reg").c_str());
    const char* views[3] = {"front", "left", "right"};
    t.positiveYawRegressors[0].save((base("left") + "0.reg").c_str());
    t.negativeYawRegressors[0].save((base("right") + "0.reg").c_str());
    t.frontalClassifier.save((base("front") + ".classifier").c_str());
    t.positiveYawClassifier.save((base("left") + ".classifier").c_str());
    t.negativeYawClassifier.save((base("right") + ".classifier").c_str());
    for (const char* v : views) t.frontalShapeModel.save((base(v) + ".shape").c_str());
  }

  int load(FaceTracker& t, const char* model3D, const char* eyes = nullptr) const {
    const std::string eyeBase = eyes ? std::string(eyes) : base("eye");
    return t.initialiseWithComponents(base("front").c_str(), base("left").c_str(), base("right").c_str(),
                                      eyeBase.c_str(), nullptr, model3D);
  }
};

TEST(TrackerModel, ComponentsStopAtTheFirstMissingStageAndTolerateMissingEyesAnd3D) {
  ComponentFiles files;
  files.write(*synthetic(), {0, 1, 3});
  const std::string missing3D = files.dir + "/none.pts";
  auto t = std::make_unique<FaceTracker>();
  t->hasModel3D = true;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(files.load(*t, missing3D.c_str()), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Failed loading 3D shape model from: " + missing3D + "\n");
  EXPECT_EQ(t->frontalRegressors.size(), 2u);
  EXPECT_EQ(t->positiveYawRegressors.size(), 1u);
  EXPECT_TRUE(t->eyeRegressors.empty());
  EXPECT_FALSE(t->hasModel3D);
  EXPECT_FALSE(t->hasFeatureParameters);
  EXPECT_TRUE(t->initialShape.empty());  // only load sets it
}

TEST(TrackerModel, ComponentsReadEyeStagesAnd3DFileWithoutTouchingThePosePredictor) {
  ComponentFiles files;
  auto model = fullModel();
  files.write(*model, {0});
  model->eyeRegressors[0].save((files.base("eye") + "0.eyes").c_str());
  const std::string path3D = files.dir + "/face.pts";
  {
    FILE* f = std::fopen(path3D.c_str(), "wb");
    ASSERT_TRUE(f);
    model->referenceModel3D.write(f);
    model->deformationModel3D.write(f);
    zeq::io::writeMat(model->shape3DIndices, f);
    std::fclose(f);
  }
  auto t = std::make_unique<FaceTracker>();
  const cv::Mat_<float> builtIn = t->posePredictor.referenceShape.clone();
  EXPECT_EQ(files.load(*t, path3D.c_str()), 0);
  EXPECT_EQ(t->eyeRegressors.size(), 1u);
  EXPECT_TRUE(t->hasModel3D);
  expectSameModel(t->referenceModel3D, model->referenceModel3D);
  expectSame(t->shape3DIndices, model->shape3DIndices, "shape3DIndices");
  expectSame(t->posePredictor.referenceShape, builtIn, "pose predictor reference");

  // An unusable component set is refused as a whole.
  model->frontalRegressors[0].offset = cv::Mat_<float>(5, 1, 0.f);
  model->frontalRegressors[0].save((files.base("front") + "0.reg").c_str());
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(files.load(*t, path3D.c_str()), -1);
  EXPECT_NE(::testing::internal::GetCapturedStdout().find("Inconsistent tracker model"), std::string::npos);
}

TEST(TrackerModel, ComponentNamesThatDoNotFitAreRefused) {
  ComponentFiles files;
  // "<base>0.reg" fits the 256-byte name buffer, "<base>.classifier" does not.
  const std::string longBase = files.dir + "/" + std::string(246 - files.dir.size() - 1, 'a');
  ASSERT_EQ(longBase.size(), 246u);
  auto model = synthetic();
  files.write(*model, {0});
  model->frontalRegressors[0].save((longBase + "0.reg").c_str());

  struct Case {
    std::string frontal;
    std::string message;
  } cases[] = {
      {std::string(300, 'b'), "No alignment model found with base name: " + std::string(300, 'b') + "\n"},
      {longBase, "Failed loading classifier file: " + longBase + "\n"},
  };
  for (const auto& c : cases) {
    auto t = std::make_unique<FaceTracker>();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(t->initialiseWithComponents(c.frontal.c_str(), files.base("left").c_str(),
                                          files.base("right").c_str(), nullptr, nullptr, nullptr),
              -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.message);
  }
}

TEST(TrackerModel, CombinedModelDirectoryUses3DFileOnlyWhenTheModelHasNone) {
  struct Case {
    bool with3D;
    bool with3DFile;
    int expected;
  } cases[] = {{true, false, 0}, {false, false, -1}, {false, true, 0}};
  for (const auto& c : cases) {
    const std::string dir = zeq::testing::makeTempDir();
    SyntheticModelOptions o;
    o.with3D = c.with3D;
    ASSERT_EQ(zeq::testing::writeSyntheticModelDir(dir, o, false), 0);
    if (c.with3DFile) {
      auto source = synthetic();
      FILE* f = std::fopen((dir + "/3d.pts").c_str(), "wb");
      ASSERT_TRUE(f);
      source->referenceModel3D.write(f);
      source->deformationModel3D.write(f);
      std::fclose(f);
    }
    auto t = std::make_unique<FaceTracker>();
    EXPECT_EQ(t->initialiseWithCombinedModel(dir), c.expected) << c.with3D << c.with3DFile;
    EXPECT_EQ(t->hasModel3D, c.expected == 0);
    EXPECT_EQ(t->numLandmarks(), 66);
  }
  auto t = std::make_unique<FaceTracker>();
  EXPECT_EQ(t->initialiseWithCombinedModel(zeq::testing::makeTempDir()), -1);
}

void setInt(std::vector<unsigned char>& bytes, std::size_t at, std::int32_t v) {
  std::memcpy(bytes.data() + at, &v, sizeof(v));
}

TEST(TrackerModel, ReadRefusesModelsThatCannotBeTracked) {
  struct Case {
    const char* name;
    std::function<void(FaceTracker&)> model;
    std::function<void(std::vector<unsigned char>&)> file;
  };
  const auto none = [](FaceTracker&) {};
  const auto untouched = [](std::vector<unsigned char>&) {};
  const Case cases[] = {
      {"negative stage count", none, [](auto& b) { setInt(b, 0, -1); }},
      {"huge stage count", none, [](auto& b) { setInt(b, 0, 0x7fffffff); }},
      {"absurd stage count", none, [](auto& b) { setInt(b, 0, 65); }},
      {"cut inside a stage", none, [](auto& b) { b.resize(2000); }},
      // The three index tables take the last 280 bytes.
      {"cut inside the 3D section", none, [](auto& b) { b.resize(b.size() - 300); }},
      {"cut inside an index table", none, [](auto& b) { b.resize(b.size() - 10); }},
      {"stage of the wrong size", [](FaceTracker& t) { t.positiveYawRegressors[0].featureMatrix = cv::Mat_<float>(100, 256, 0.f); },
       untouched},
      {"stage reference of the wrong size",
       [](FaceTracker& t) { t.negativeYawRegressors[0].referenceShape = cv::Mat_<float>(130, 1, 0.f); }, untouched},
      {"classifier of the wrong size", [](FaceTracker& t) { t.negativeYawClassifier.offset = cv::Mat_<float>(65, 1, 1.f); },
       untouched},
      {"shape model of another length",
       [](FaceTracker& t) {
         LinearModel& m = t.positiveYawShapeModel;
         m.mean = m.mean.rowRange(0, 130).clone();
         m.basis = m.basis.rowRange(0, 130).clone();
       },
       untouched},
      {"eye stage for 66 landmarks", [](FaceTracker& t) { t.eyeRegressors = {t.frontalRegressors[0]}; }, untouched},
      {"unusable feature parameters", [](FaceTracker& t) { t.featureParameters.numBins = 0; }, untouched},
      {"eye index out of range", [](FaceTracker& t) { t.firstEyeIndices = indices(61, 66); }, untouched},
      {"negative eye index", [](FaceTracker& t) { t.secondEyeIndices = indices(-1, 4); }, untouched},
      {"warp of 2048 pixels", [](FaceTracker& t) { t.featureParameters.warpSize = cv::Size(2048, 2048); }, untouched},
  };
  for (const auto& c : cases) {
    auto source = fullModel(false);
    c.model(*source);
    std::vector<unsigned char> bytes = bytesOf(*source);
    c.file(bytes);
    auto t = std::make_unique<FaceTracker>();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(readBytes(*t, bytes), -1) << c.name;
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_FALSE(t->hasModel3D && std::string(c.name).find("3D") != std::string::npos) << c.name;
    // The reason is kept for the host: the printed line, or the unreadable record.
    EXPECT_FALSE(t->lastError().empty()) << c.name;
    if (!printed.empty()) {
      EXPECT_EQ(t->lastError() + "\n", printed) << c.name;
    }
    // A buffer in memory is refused alike.
    auto fromMemory = std::make_unique<FaceTracker>();
    ::testing::internal::CaptureStdout();
    zeq::io::Reader in(bytes.data(), bytes.size());
    EXPECT_EQ(fromMemory->read(in), -1) << c.name;
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(fromMemory->lastError(), t->lastError()) << c.name;
  }
}

// The 3D fit is optional: a model whose only fault is its 3D part tracks in
// 2D, with the 3D fit switched off and the reason kept, and its 3D reference
// never replaces the pose predictor's face.
TEST(TrackerModel, ModelWhoseOnlyFaultIsIts3DPartLoadsWithoutThe3DFit) {
  struct Case {
    const char* name;
    std::function<void(FaceTracker&)> model;
  };
  const Case cases[] = {
      {"index table of two columns", [](FaceTracker& t) { t.shape3DIndices = cv::Mat_<int>(49, 2, 20); }},
      {"3D index beyond the landmarks", [](FaceTracker& t) { t.shape3DIndices = indices(18, 66); }},
      {"3D reference of partial points", [](FaceTracker& t) { t.referenceModel3D.mean = cv::Mat_<float>(200, 1, 1.f); }},
      {"3D reference smaller than the face",
       [](FaceTracker& t) { t.referenceModel3D.mean = t.referenceModel3D.mean.rowRange(0, 150).clone(); }},
      {"deformable model of another subset",
       [](FaceTracker& t) {
         LinearModel& m = t.deformationModel3D;
         m.mean = m.mean.rowRange(0, 144).clone();
         m.basis = m.basis.rowRange(0, 144).clone();
       }},
  };
  const cv::Mat_<float> builtIn = FaceTracker().posePredictor.referenceShape.clone();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto source = fullModel(false);
    c.model(*source);
    const std::string dir = zeq::testing::makeTempDir();
    ASSERT_EQ(source->save((dir + "/zeqTracker.model").c_str()), 0);
    auto t = std::make_unique<FaceTracker>();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(t->initialiseWithCombinedModel(dir), 0);
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_FALSE(t->hasModel3D);
    EXPECT_EQ(t->lastError().rfind("Tracker model loaded without the 3D fit: ", 0), 0u) << t->lastError();
    EXPECT_EQ(t->lastError() + "\n", printed);
    EXPECT_EQ(cv::norm(t->posePredictor.referenceShape, builtIn, cv::NORM_INF), 0.0);

    // It tracks, and the 3D fit leaves shape3D and the pose alone.
    const cv::Mat_<float> shape = t->initialShape.clone();
    cv::Mat_<float> shape3D = cv::Mat_<float>(198, 1, 5.f), pose = (cv::Mat_<float>(6, 1) << 0, 0, 0, 60, 60, 1);
    const cv::Mat_<float> shape3DBefore = shape3D.clone(), poseBefore = pose.clone();
    t->calcShape3D(shape, shape3D, pose);
    EXPECT_EQ(cv::norm(shape3D, shape3DBefore, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(pose, poseBefore, cv::NORM_INF), 0.0);
    cv::Mat_<unsigned char> image(240, 320);
    cv::randu(image, 0, 255);
    ASSERT_TRUE(t->reset(100, 60, 120, 120));
    EXPECT_EQ(t->update(image.ptr(), image.cols, image.rows), 1);
  }
  // A clean model loads without a message.
  auto clean = std::make_unique<FaceTracker>();
  const std::vector<unsigned char> bytes = bytesOf(*fullModel(false));
  EXPECT_EQ(readBytes(*clean, bytes), 0);
  EXPECT_EQ(clean->lastError(), "");
  EXPECT_TRUE(clean->hasModel3D);
}

TEST(TrackerModel, MemoryModelReadsLikeTheFile) {
  auto source = fullModel();
  const std::vector<unsigned char> bytes = bytesOf(*source);
  const std::string dir = zeq::testing::makeTempDir();
  zeq::testing::writeFileBytes(dir + "/zeqTracker.model", bytes);
  auto fromDir = std::make_unique<FaceTracker>();
  auto fromMemory = std::make_unique<FaceTracker>();
  ASSERT_EQ(fromDir->initialiseWithCombinedModel(dir), 0);
  ASSERT_EQ(fromMemory->initialiseWithCombinedModel(bytes.data(), bytes.size()), 0);
  EXPECT_EQ(bytesOf(*fromMemory), bytes);
  expectSame(fromMemory->initialShape, fromDir->initialShape, "initialShape");
  expectSame(fromMemory->posePredictor.referenceShape, fromDir->posePredictor.referenceShape, "pose reference");
  for (std::size_t cut : {std::size_t(0), std::size_t(3), bytes.size() / 3, bytes.size() - 300}) {
    auto t = std::make_unique<FaceTracker>();
    EXPECT_EQ(t->initialiseWithCombinedModel(bytes.data(), cut), -1) << cut;
    EXPECT_FALSE(t->lastError().empty()) << cut;
  }
}

}  // namespace
