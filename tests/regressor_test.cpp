#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "engine/Feature.h"
#include "engine/LinearShapeRegressor.h"
#include "support/TestSupport.h"

namespace {

using zeq::LinearShapeRegressor;
using Mode = LinearShapeRegressor::Mode;
using Bytes = std::vector<unsigned char>;

cv::Mat_<float> column(std::vector<float> v) { return cv::Mat_<float>(v, true); }

// Eye matrix of rows x cols with `value` on the diagonal starting at column `first`.
cv::Mat_<float> band(int rows, int cols, int first, float value = 1.f) {
  cv::Mat_<float> m = cv::Mat_<float>::zeros(rows, cols);
  for (int i = 0; i < rows && first + i < cols; ++i) m(i, first + i) = value;
  return m;
}

// Two landmarks, three descriptor values each (D = 6, f = 3).
constexpr int kN = 2;
constexpr int kD = 6;

LinearShapeRegressor globalStage() {
  LinearShapeRegressor r;
  r.referenceShape = column({0, 0, 1, 1});
  r.featureMatrix = band(4, kD, 0);  // t = first four descriptor values
  r.offset = column({0.5f, -1, 2, 0.25f});
  r.mixMatrix = band(4, 4, 0);
  r.refreshCopies();
  return r;
}

LinearShapeRegressor localStage() {
  LinearShapeRegressor r;
  r.referenceShape = column({0, 0, 1, 1});
  // Five columns: only the first f = 3 belong to the landmark's block.
  r.featureMatrix = (cv::Mat_<float>(4, 5) << 1, 2, 3, 99, 99,  //
                     0, 1, 0, 99, 99,                          //
                     1, 1, 1, 99, 99,                          //
                     0, 0, 2, 99, 99);
  r.offset = column({0.5f, 0, 0, -0.5f});
  r.mixMatrix = band(4, 4, 0);
  r.refreshCopies();
  return r;
}

LinearShapeRegressor localWithShapeStage() {
  LinearShapeRegressor r;
  r.referenceShape = column({1, 2, 3, 4});
  r.featureMatrix = cv::Mat_<float>::zeros(4, 3);
  r.offset = cv::Mat_<float>::zeros(4, 1);
  r.mixMatrix = band(4, 9, 4);  // [0 | I | 0]
  r.refreshCopies();
  return r;
}

cv::Mat_<float> descriptor6() { return column({1, 2, 3, 4, 5, 6}); }

Bytes fileBytes(FILE* f) {
  std::fflush(f);
  const long size = std::ftell(f);
  Bytes bytes(static_cast<std::size_t>(size));
  std::rewind(f);
  if (size > 0) {
    EXPECT_EQ(std::fread(bytes.data(), 1, bytes.size(), f), bytes.size());
  }
  return bytes;
}

Bytes written(const LinearShapeRegressor& r) {
  FILE* f = std::tmpfile();
  EXPECT_EQ(r.write(f), 0);
  Bytes bytes = fileBytes(f);
  std::fclose(f);
  return bytes;
}

int readBytes(LinearShapeRegressor& r, const Bytes& bytes) {
  FILE* f = std::tmpfile();
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
  const int result = r.read(f);
  std::fclose(f);
  return result;
}

template <typename T>
void append(Bytes& b, T value) {
  unsigned char raw[sizeof(T)];
  std::memcpy(raw, &value, sizeof(T));
  b.insert(b.end(), raw, raw + sizeof(T));
}

void expectNear(const cv::Mat_<float>& actual, const cv::Mat_<float>& expected, float tol) {
  ASSERT_EQ(actual.size(), expected.size());
  for (int i = 0; i < expected.rows; ++i) EXPECT_NEAR(actual(i), expected(i), tol) << "element " << i;
}

TEST(RegressorUpdate, ZeroMatricesOfEveryModeLeaveTheShapeUnchanged) {
  for (auto make : {globalStage, localStage, localWithShapeStage}) {
    LinearShapeRegressor r = make();
    r.featureMatrix = 0.f;
    r.offset = 0.f;
    r.mixMatrix = 0.f;
    r.refreshCopies();
    r.descriptor = descriptor6();
    ASSERT_NE(r.mode(kN, kD), Mode::None);
    cv::Mat_<float> s = column({3, 4, 5, 6});
    r.computeUpdate(s);
    expectNear(s, column({3, 4, 5, 6}), 0.f);
  }
}

TEST(RegressorUpdate, GlobalModeAddsMixedFeaturesAndOffset) {
  LinearShapeRegressor r = globalStage();
  ASSERT_EQ(r.mode(kN, kD), Mode::Global);
  r.descriptor = descriptor6();
  cv::Mat_<float> s = column({10, 20, 30, 40});
  r.computeUpdate(s);
  // s + (d[0..3] + offset)
  expectNear(s, column({11.5f, 21, 35, 44.25f}), 0.f);
}

TEST(RegressorUpdate, LocalModeUsesOnlyEachLandmarksOwnBlock) {
  LinearShapeRegressor r = localStage();
  ASSERT_EQ(r.mode(kN, kD), Mode::Local);
  r.descriptor = descriptor6();
  cv::Mat_<float> s = column({0, 0, 0, 0});
  r.computeUpdate(s);
  // u = (1*1+2*2+3*3, 2, 4+5+6, 2*6) plus offset.
  expectNear(s, column({14.5f, 2, 15, 11.5f}), 0.f);

  // Changing landmark 1's block moves landmark 1 only.
  r.descriptor = column({1, 2, 3, 0, 0, 1});
  cv::Mat_<float> t = column({0, 0, 0, 0});
  r.computeUpdate(t);
  expectNear(t, column({14.5f, 2, 1, 1.5f}), 0.f);
}

TEST(RegressorUpdate, LocalWithShapeModeAddsShapeDeviation) {
  LinearShapeRegressor r = localWithShapeStage();
  ASSERT_EQ(r.mode(kN, kD), Mode::LocalWithShape);
  r.descriptor = descriptor6();
  cv::Mat_<float> s = column({2, 2, 5, 1});
  r.computeUpdate(s);
  expectNear(s, column({3, 2, 7, -2}), 0.f);  // s + (s - r)

  // [I | 0 | c]: u + offsetCopy + the constant column.
  r.featureMatrix = (cv::Mat_<float>(4, 3) << 1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 1, 1);
  r.offset = column({1, 1, 1, 1});
  r.mixMatrix = band(4, 9, 0);
  for (int i = 0; i < 4; ++i) r.mixMatrix(i, 8) = 0.5f;
  r.refreshCopies();
  cv::Mat_<float> t = column({0, 0, 0, 0});
  r.computeUpdate(t);
  expectNear(t, column({2.5f, 3.5f, 7.5f, 16.5f}), 0.f);
}

TEST(RegressorUpdate, LocalWithShapeWithWrongFeatureRowsReportsAndSkips) {
  LinearShapeRegressor r = localWithShapeStage();
  r.featureMatrix = cv::Mat_<float>::ones(5, 3);
  r.descriptor = descriptor6();
  cv::Mat_<float> s = column({2, 2, 5, 1});
  ::testing::internal::CaptureStdout();
  r.computeUpdate(s);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Unsupported regression matrix\n");
  EXPECT_EQ(r.mode(kN, kD), Mode::None);
  expectNear(s, column({2, 2, 5, 1}), 0.f);
}

TEST(RegressorUpdate, InconsistentSizesSelectNoModeAndChangeNothing) {
  struct Case {
    const char* name;
    LinearShapeRegressor (*make)();
    std::function<void(LinearShapeRegressor&)> breakIt;
  };
  const std::vector<Case> cases = {
      {"global offset too short", globalStage, [](auto& r) { r.offset = column({1, 2, 3}); }},
      {"global mix too few rows", globalStage, [](auto& r) { r.mixMatrix = band(3, 4, 0); }},
      {"global mix columns != k", globalStage, [](auto& r) { r.mixMatrix = band(4, 5, 0); }},
      {"local mix too few rows", localStage, [](auto& r) { r.mixMatrix = band(3, 4, 0); }},
      {"local feature rows < 2n", localStage, [](auto& r) { r.featureMatrix = r.featureMatrix.rowRange(0, 3); }},
      {"local feature cols < f", localStage, [](auto& r) { r.featureMatrix = cv::Mat_<float>::ones(4, 2); }},
      {"local offset as a row", localStage, [](auto& r) { r.offset = r.offset.t(); }},
      {"shape mix too few rows", localWithShapeStage, [](auto& r) { r.mixMatrix = band(3, 9, 0); }},
      {"shape feature cols < f", localWithShapeStage, [](auto& r) { r.featureMatrix = cv::Mat_<float>::ones(4, 2); }},
      {"shape copies not built", localWithShapeStage, [](auto& r) { r.referenceShapeCopy.resize(0, 0); }},
      {"shape offset copy short", localWithShapeStage, [](auto& r) { r.offsetCopy.resize(3, 1); }},
      {"mix fits no mode", localWithShapeStage, [](auto& r) { r.mixMatrix = band(4, 7, 0); }},
      {"default stage", [] { return LinearShapeRegressor(); }, [](auto&) {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LinearShapeRegressor r = c.make();
    c.breakIt(r);
    r.descriptor = descriptor6();
    EXPECT_EQ(r.mode(kN, kD), Mode::None);
    cv::Mat_<float> s = column({2, 2, 5, 1});
    r.computeUpdate(s);
    expectNear(s, column({2, 2, 5, 1}), 0.f);
  }
}

TEST(RegressorUpdate, UnusableShapeOrDescriptorChangesNothing) {
  LinearShapeRegressor r = globalStage();
  r.descriptor = descriptor6();
  cv::Mat_<float> odd = column({1, 2, 3, 4, 5});
  r.computeUpdate(odd);
  expectNear(odd, column({1, 2, 3, 4, 5}), 0.f);
  cv::Mat_<float> row = column({1, 2, 3, 4}).t();
  r.computeUpdate(row);
  EXPECT_EQ(row(0, 3), 4.f);
  r.descriptor.release();
  cv::Mat_<float> s = column({1, 2, 3, 4});
  r.computeUpdate(s);
  expectNear(s, column({1, 2, 3, 4}), 0.f);
}

// Record of localStage(): L, reference floats, three matrix records, trailing 0.
Bytes localStageBytes() {
  const LinearShapeRegressor r = localStage();
  Bytes b;
  append<std::int32_t>(b, 4);
  for (float v : {0.f, 0.f, 1.f, 1.f}) append(b, v);
  for (const cv::Mat_<float>* m : {&r.mixMatrix, &r.featureMatrix, &r.offset}) {
    append<std::int32_t>(b, m->rows);
    append<std::int32_t>(b, m->cols);
    for (int i = 0; i < m->rows; ++i)
      for (int j = 0; j < m->cols; ++j) append(b, (*m)(i, j));
  }
  append<std::int32_t>(b, 0);
  return b;
}

TEST(RegressorRecord, LayoutAndByteForByteRoundTrip) {
  const Bytes expected = localStageBytes();
  EXPECT_EQ(written(localStage()), expected);

  LinearShapeRegressor r;
  ASSERT_EQ(readBytes(r, expected), 0);
  EXPECT_EQ(written(r), expected);
  ASSERT_EQ(r.referenceShapeCopy.rows(), 4);
  ASSERT_EQ(r.offsetCopy.rows(), 4);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(r.referenceShapeCopy(i, 0), r.referenceShape(i));
    EXPECT_EQ(r.offsetCopy(i, 0), r.offset(i));
  }
  EXPECT_EQ(r.mode(kN, kD), Mode::Local);
}

TEST(RegressorRecord, TrailingWordAndCorruptRecords) {
  const Bytes good = localStageBytes();
  const std::size_t beforeTrailer = good.size() - 4;
  const std::size_t mixRecord = 4 + 16;  // after L and the reference floats
  auto with = [&](std::size_t at, std::int32_t value) {
    Bytes b = good;
    std::memcpy(b.data() + at, &value, 4);
    return b;
  };
  struct Case {
    const char* name;
    Bytes bytes;
    int expected;
  };
  const std::vector<Case> cases = {
      {"complete", good, 0},
      {"ends after third matrix", Bytes(good.begin(), good.begin() + beforeTrailer), 0},
      {"trailing word 7", with(beforeTrailer, 7), -1},
      {"empty stream", Bytes(), -1},
      {"inside reference floats", Bytes(good.begin(), good.begin() + 10), -1},
      {"inside offset record", Bytes(good.begin(), good.end() - 8), -1},
      {"negative L", with(0, -4), -1},
      {"huge L", with(0, 0x7fffffff), -1},
      {"huge matrix rows", with(mixRecord, 0x40000000), -1},
      {"negative matrix cols", with(mixRecord + 4, -1), -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LinearShapeRegressor r;
    EXPECT_EQ(readBytes(r, c.bytes), c.expected);
  }
}

TEST(RegressorRecord, SaveAndLoadByPath) {
  const std::string dir = zeq::testing::makeTempDir();
  ASSERT_FALSE(dir.empty());
  const std::string path = dir + "/stage.reg";
  ASSERT_EQ(localStage().save(path.c_str()), 0);
  EXPECT_EQ(zeq::testing::readFileBytes(path), localStageBytes());
  LinearShapeRegressor r;
  EXPECT_EQ(r.load(path.c_str()), 0);
  EXPECT_EQ(written(r), localStageBytes());
  EXPECT_EQ(r.load((dir + "/missing.reg").c_str()), -1);
  EXPECT_EQ(r.save((dir + "/no/such/dir.reg").c_str()), -1);
}

TEST(RegressorRecord, SaveReportsSuccessEvenWhenTheDiskIsFull) {
  FILE* full = std::fopen("/dev/full", "wb");
  if (!full) GTEST_SKIP() << "/dev/full is not available";
  LinearShapeRegressor r = localStage();
  r.featureMatrix = cv::Mat_<float>::zeros(4, 4096);  // more than a stdio buffer
  EXPECT_EQ(r.write(full), -1);
  std::fclose(full);
  EXPECT_EQ(r.save("/dev/full"), 0);
}

// Descriptor extraction needs a set-up feature; a noise image gives finite
// descriptors, which zero weights turn into exact zeros.
class RegressorPredict : public ::testing::Test {
 protected:
  void SetUp() override {
    cv::Mat image(128, 128, CV_8UC1);
    cv::RNG rng(7);
    rng.fill(image, cv::RNG::UNIFORM, 0, 256);
    ASSERT_TRUE(feature.setup(image));
    block = feature.blockLength();
    ASSERT_GT(block, 0);
  }

  // Local mode with zero weights: the increment is the offset, in the stage's frame.
  LinearShapeRegressor constantStage(const cv::Mat_<float>& reference, const cv::Mat_<float>& increment) const {
    LinearShapeRegressor r;
    const int n2 = reference.rows;
    r.referenceShape = reference.clone();
    r.featureMatrix = cv::Mat_<float>::zeros(n2, block);
    r.mixMatrix = band(n2, n2, 0);
    r.offset = increment.clone();
    r.refreshCopies();
    return r;
  }

  zeq::Feature feature;
  int block = 0;
};

cv::Mat_<float> referenceSquare() { return column({-10, -8, 12, -10, 10, 9, -9, 11}); }

cv::Mat_<float> similar(const cv::Mat_<float>& s, float scale, float angle, float tx, float ty) {
  cv::Mat_<float> out(s.rows, 1);
  const float c = scale * std::cos(angle), sn = scale * std::sin(angle);
  for (int i = 0; i < s.rows / 2; ++i) {
    out(2 * i) = c * s(2 * i) - sn * s(2 * i + 1) + tx;
    out(2 * i + 1) = sn * s(2 * i) + c * s(2 * i + 1) + ty;
  }
  return out;
}

TEST_F(RegressorPredict, AlignedIncrementIsRotatedAndScaledBack) {
  const cv::Mat_<float> reference = referenceSquare();
  const float dx = 1.5f, scale = 2.f, angle = 0.5f;
  cv::Mat_<float> increment = cv::Mat_<float>::zeros(8, 1);
  for (int i = 0; i < 4; ++i) increment(2 * i) = dx;
  LinearShapeRegressor r = constantStage(reference, increment);

  const cv::Mat_<float> input = similar(reference, scale, angle, 64, 60);
  const cv::Mat_<float> before = input.clone();
  const cv::Mat_<float> out = r.predict(feature, input, true);
  expectNear(input, before, 0.f);
  ASSERT_EQ(out.rows, 8);
  ASSERT_EQ(r.descriptor.rows, 4 * block);
  for (int i = 0; i < 4; ++i) {
    EXPECT_NEAR(out(2 * i) - input(2 * i), dx * scale * std::cos(angle), 1e-3);
    EXPECT_NEAR(out(2 * i + 1) - input(2 * i + 1), dx * scale * std::sin(angle), 1e-3);
  }

  // Without alignment the same increment is added as it is.
  const cv::Mat_<float> plain = r.predict(feature, input, false);
  expectNear(plain, input + increment, 1e-5f);
}

TEST_F(RegressorPredict, ZeroStageAndMismatchedShapeReturnTheInput) {
  const cv::Mat_<float> reference = referenceSquare();
  LinearShapeRegressor r = constantStage(reference, cv::Mat_<float>::zeros(8, 1));
  const cv::Mat_<float> input = similar(reference, 1.7f, -0.3f, 50, 70);
  expectNear(r.predict(feature, input, true), input, 1e-3f);

  const cv::Mat_<float> shorter = input.rowRange(0, 6).clone();
  const cv::Mat_<float> out = r.predict(feature, shorter, true);
  EXPECT_NE(out.data, shorter.data);
  expectNear(out, shorter, 0.f);
}

}  // namespace
