#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "engine/Feature.h"
#include "engine/LinearShapeClassifier.h"
#include "support/TestSupport.h"

namespace {

using zeq::LinearShapeClassifier;
using Bytes = std::vector<unsigned char>;

cv::Mat_<float> column(std::vector<float> v) { return cv::Mat_<float>(v, true); }

// Three landmarks, two descriptor values each (D = 6, f = 2).
LinearShapeClassifier smallClassifier() {
  LinearShapeClassifier c;
  c.referenceShape = column({1, 2, 3, 4, 5, 6});
  // A third column beyond f is never read.
  c.featureMatrix = (cv::Mat_<float>(3, 3) << 1, 1, 50,  //
                     2, -1, 50,                         //
                     0, 3, 50);
  c.mixMatrix = cv::Mat_<float>::eye(3, 3);
  c.offset = cv::Mat_<float>::zeros(3, 1);
  return c;
}

const cv::Mat_<float> kShape = cv::Mat_<float>::zeros(6, 1);
cv::Mat_<float> descriptor6() { return column({1, 2, 3, 4, 5, 6}); }

void expectNear(const cv::Mat_<float>& actual, const cv::Mat_<float>& expected, float tol) {
  ASSERT_EQ(actual.size(), expected.size());
  for (int i = 0; i < expected.rows; ++i) EXPECT_NEAR(actual(i), expected(i), tol) << "element " << i;
}

TEST(ClassifierPredict, LocalScoresMixAndOffset) {
  LinearShapeClassifier c = smallClassifier();
  ASSERT_TRUE(c.isValidFor(3, 6));
  // Own dot products: (1+2, 6-4, 18); values outside [0, 1] are not limited.
  expectNear(c.predict(descriptor6(), kShape), column({3, 2, 18}), 0.f);

  c.mixMatrix = cv::Mat_<float>::ones(3, 3) / 3.f;
  expectNear(c.predict(descriptor6(), kShape), column({23.f / 3, 23.f / 3, 23.f / 3}), 1e-5f);

  c.featureMatrix = 0.f;
  c.offset = column({0.25f, -2, 7});
  expectNear(c.predict(descriptor6(), kShape), column({0.25f, -2, 7}), 0.f);
  expectNear(c.predict(column({9, 9, 9, 9, 9, 9}), kShape), column({0.25f, -2, 7}), 0.f);
}

TEST(ClassifierPredict, InconsistentSizesGiveZeroScores) {
  struct Case {
    const char* name;
    std::function<void(LinearShapeClassifier&, cv::Mat_<float>& descriptor)> breakIt;
  };
  const std::vector<Case> cases = {
      {"mix not n x n", [](auto& c, auto&) { c.mixMatrix = cv::Mat_<float>::eye(3, 2); }},
      {"offset too short", [](auto& c, auto&) { c.offset = column({1, 1}); }},
      {"offset as a row", [](auto& c, auto&) { c.offset = cv::Mat_<float>::ones(1, 3); }},
      {"feature rows < n", [](auto& c, auto&) { c.featureMatrix = c.featureMatrix.rowRange(0, 2); }},
      {"feature cols < f", [](auto& c, auto&) { c.featureMatrix = c.featureMatrix.colRange(0, 1); }},
      {"descriptor not n * f", [](auto&, auto& d) { d = column({1, 2, 3, 4, 5, 6, 7}); }},
      {"descriptor empty", [](auto&, auto& d) { d.release(); }},
      {"descriptor a row", [](auto&, auto& d) { d = d.t(); }},
      {"default classifier", [](auto& c, auto&) { c = LinearShapeClassifier(); }},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    LinearShapeClassifier c = smallClassifier();
    c.offset = column({1, 1, 1});
    cv::Mat_<float> d = descriptor6();
    k.breakIt(c, d);
    expectNear(c.predict(d, kShape), cv::Mat_<float>::zeros(3, 1), 0.f);
  }
  EXPECT_TRUE(smallClassifier().predict(descriptor6(), cv::Mat_<float>()).empty());
}

TEST(ClassifierPredict, DefaultSizesAcceptedAndGlobalClassifierRefused) {
  const int n = 66, block = 256, D = n * block;
  cv::Mat_<float> d(D, 1);
  cv::randu(d, 0.f, 1.f);
  const cv::Mat_<float> shape = cv::Mat_<float>::zeros(2 * n, 1);

  LinearShapeClassifier local;
  local.featureMatrix = cv::Mat_<float>::zeros(n, block);
  local.featureMatrix(5, 3) = 1.f;
  local.mixMatrix = cv::Mat_<float>::eye(n, n);
  local.offset = cv::Mat_<float>::zeros(n, 1);
  EXPECT_TRUE(local.isValidFor(n, D));
  const cv::Mat_<float> scores = local.predict(d, shape);
  ASSERT_EQ(scores.rows, n);
  EXPECT_EQ(scores(5), d(5 * block + 3));

  LinearShapeClassifier global = local;
  global.featureMatrix = cv::Mat_<float>::ones(n, D);
  EXPECT_FALSE(global.isValidFor(n, D));
  ::testing::internal::CaptureStderr();
  const cv::Mat_<float> refused = global.predict(d, shape);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "global not supported yet! - Aborting\n");
  expectNear(refused, cv::Mat_<float>::zeros(n, 1), 0.f);
}

TEST(ClassifierPredict, ThroughFeatureScoresTheExtractedDescriptor) {
  zeq::Feature feature;
  cv::Mat image(96, 96, CV_8UC1);
  cv::RNG(3).fill(image, cv::RNG::UNIFORM, 0, 256);
  ASSERT_TRUE(feature.setup(image));
  const int block = feature.blockLength();
  LinearShapeClassifier c;
  c.featureMatrix = cv::Mat_<float>::ones(3, block);
  c.mixMatrix = cv::Mat_<float>::eye(3, 3);
  c.offset = column({0.5f, 0.5f, 0.5f});
  const cv::Mat_<float> shape = column({30, 30, 50, 40, 60, 70});
  const cv::Mat_<float> scores = c.predict(feature, shape);
  ASSERT_EQ(c.descriptor.rows, 3 * block);
  expectNear(scores, c.predict(c.descriptor, shape), 0.f);
  EXPECT_NE(scores(0), 0.5f);
}

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

Bytes written(const LinearShapeClassifier& c) {
  FILE* f = std::tmpfile();
  EXPECT_EQ(c.write(f), 0);
  Bytes bytes = fileBytes(f);
  std::fclose(f);
  return bytes;
}

int readBytes(LinearShapeClassifier& c, const Bytes& bytes) {
  FILE* f = std::tmpfile();
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
  const int result = c.read(f);
  std::fclose(f);
  return result;
}

template <typename T>
void append(Bytes& b, T value) {
  unsigned char raw[sizeof(T)];
  std::memcpy(raw, &value, sizeof(T));
  b.insert(b.end(), raw, raw + sizeof(T));
}

// Record of smallClassifier(): L, reference floats, three matrix records, nothing after.
Bytes smallClassifierBytes() {
  const LinearShapeClassifier c = smallClassifier();
  Bytes b;
  append<std::int32_t>(b, 6);
  for (float v : {1.f, 2.f, 3.f, 4.f, 5.f, 6.f}) append(b, v);
  for (const cv::Mat_<float>* m : {&c.mixMatrix, &c.featureMatrix, &c.offset}) {
    append<std::int32_t>(b, m->rows);
    append<std::int32_t>(b, m->cols);
    for (int i = 0; i < m->rows; ++i)
      for (int j = 0; j < m->cols; ++j) append(b, (*m)(i, j));
  }
  return b;
}

TEST(ClassifierRecord, LayoutAndByteForByteRoundTrip) {
  const Bytes expected = smallClassifierBytes();
  EXPECT_EQ(written(smallClassifier()), expected);
  LinearShapeClassifier c;
  ASSERT_EQ(readBytes(c, expected), 0);
  EXPECT_EQ(written(c), expected);
  expectNear(c.predict(descriptor6(), kShape), column({3, 2, 18}), 0.f);

  const std::string dir = zeq::testing::makeTempDir();
  ASSERT_FALSE(dir.empty());
  const std::string path = dir + "/view.classifier";
  ASSERT_EQ(smallClassifier().save(path.c_str()), 0);
  EXPECT_EQ(zeq::testing::readFileBytes(path), expected);
  LinearShapeClassifier loaded;
  EXPECT_EQ(loaded.load(path.c_str()), 0);
  EXPECT_EQ(written(loaded), expected);
  EXPECT_EQ(loaded.load((dir + "/missing.classifier").c_str()), -1);
  EXPECT_EQ(loaded.save((dir + "/no/such/dir.classifier").c_str()), -1);
}

TEST(ClassifierRecord, TruncatedAndCorruptRecordsFail) {
  const Bytes good = smallClassifierBytes();
  const std::size_t mixRecord = 4 + 24;
  auto with = [&](std::size_t at, std::int32_t value) {
    Bytes b = good;
    std::memcpy(b.data() + at, &value, 4);
    return b;
  };
  struct Case {
    const char* name;
    Bytes bytes;
  };
  const std::vector<Case> cases = {
      {"empty stream", Bytes()},
      {"inside reference floats", Bytes(good.begin(), good.begin() + 12)},
      {"inside offset record", Bytes(good.begin(), good.end() - 2)},
      {"negative L", with(0, -1)},
      {"huge L", with(0, 0x7fffffff)},
      {"huge matrix count", with(mixRecord, 0x7fffffff)},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    LinearShapeClassifier c;
    EXPECT_EQ(readBytes(c, k.bytes), -1);
  }
}

TEST(ClassifierRecord, SaveReportsSuccessEvenWhenTheDiskIsFull) {
  FILE* full = std::fopen("/dev/full", "wb");
  if (!full) GTEST_SKIP() << "/dev/full is not available";
  LinearShapeClassifier c = smallClassifier();
  c.featureMatrix = cv::Mat_<float>::zeros(3, 4096);
  EXPECT_EQ(c.write(full), -1);
  std::fclose(full);
  EXPECT_EQ(c.save("/dev/full"), 0);
}

}  // namespace
