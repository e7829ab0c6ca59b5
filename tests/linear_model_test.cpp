#include <cmath>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "engine/LinearModel.h"
#include "support/TestSupport.h"

namespace {

zeq::LinearModel orthonormalModel(int d, int k, unsigned seed) {
  cv::RNG rng(seed);
  cv::Mat_<float> raw(d, k);
  rng.fill(raw, cv::RNG::NORMAL, 0, 1);
  cv::Mat_<float> w, u, vt;
  cv::SVD::compute(raw, w, u, vt);
  zeq::LinearModel m;
  m.basis = u.colRange(0, k).clone();
  m.mean.create(d, 1);
  rng.fill(m.mean, cv::RNG::NORMAL, 0, 5);
  m.modeScale = cv::Mat_<float>::ones(k, 1);
  return m;
}

TEST(LinearModel, ClampLimitsStrictlyAndKeepsSign) {
  zeq::LinearModel m;
  m.basis = cv::Mat_<float>::zeros(1, 1);
  m.mean = cv::Mat_<float>::zeros(1, 1);
  m.modeScale = (cv::Mat_<float>(1, 1) << 0.5f);
  struct Case { float in, out; } cases[] = {{1.5f, 1.f}, {-1.2f, -1.f}, {1.f, 1.f}, {0.9f, 0.9f}};
  for (const Case& c : cases) {
    cv::Mat_<float> p = (cv::Mat_<float>(1, 1) << c.in);
    EXPECT_EQ(m.clamp(p, 2.f), 0);
    EXPECT_FLOAT_EQ(p(0), c.out) << "input " << c.in;
  }
  m.modeScale(0) = 0.f;
  cv::Mat_<float> p = (cv::Mat_<float>(1, 1) << 0.3f);
  m.clamp(p, 2.f);
  EXPECT_EQ(p(0), 0.f);
  p(0) = -0.3f;
  m.clamp(p, 2.f);
  EXPECT_TRUE(std::signbit(p(0)));
}

TEST(LinearModel, ClampRefusesWrongLength) {
  zeq::LinearModel m = orthonormalModel(6, 4, 1);
  cv::Mat_<float> p = (cv::Mat_<float>(3, 1) << 9, 9, 9);
  EXPECT_EQ(m.clamp(p, 0.f), -1);
  EXPECT_EQ(p(0), 9.f);
}

TEST(LinearModel, ProjectReconstructIsOrthogonalProjection) {
  const zeq::LinearModel m = orthonormalModel(10, 3, 3);
  EXPECT_LT(cv::norm(m.project(m.mean)), 1e-5);

  cv::Mat_<float> v(10, 1);
  cv::randn(v, 0, 3);
  const cv::Mat_<float> r = m.reconstruct(m.project(v));
  // The residual is orthogonal to every mode, and projecting again changes nothing.
  const cv::Mat_<float> residual = v - r;
  EXPECT_LT(cv::norm(m.basis.t() * residual), 1e-4);
  EXPECT_LT(cv::norm(m.reconstruct(m.project(r)) - r), 1e-4);
}

TEST(LinearModel, MismatchedSizesGiveEmptyResults) {
  const zeq::LinearModel m = orthonormalModel(10, 3, 3);
  EXPECT_TRUE(m.project(cv::Mat_<float>::zeros(9, 1)).empty());
  EXPECT_TRUE(m.reconstruct(cv::Mat_<float>::zeros(4, 1)).empty());
}

TEST(LinearModel, RecordLayoutRoundTripAndEmptyModel) {
  const std::string dir = zeq::testing::makeTempDir();
  zeq::LinearModel m;
  m.mean = (cv::Mat_<float>(2, 1) << 1, 2);
  m.basis = (cv::Mat_<float>(2, 3) << 3, 4, 5, 6, 7, 8);
  m.modeScale = (cv::Mat_<float>(3, 1) << 9, 10, 11);
  const std::string path = dir + "/m.shape";
  ASSERT_EQ(m.save(path.c_str()), 0);
  const auto bytes = zeq::testing::readFileBytes(path);
  ASSERT_EQ(bytes.size(), 8u + 4u * (2 + 6 + 3));
  std::int32_t header[2];
  float values[11];
  std::memcpy(header, bytes.data(), 8);
  std::memcpy(values, bytes.data() + 8, sizeof(values));
  EXPECT_EQ(header[0], 2);
  EXPECT_EQ(header[1], 3);
  for (int i = 0; i < 11; ++i) EXPECT_EQ(values[i], float(i + 1));

  zeq::LinearModel back;
  ASSERT_EQ(back.load(path.c_str()), 0);
  const std::string again = dir + "/again.shape";
  ASSERT_EQ(back.save(again.c_str()), 0);
  EXPECT_EQ(zeq::testing::readFileBytes(again), bytes);

  zeq::LinearModel empty;
  const std::string emptyPath = dir + "/empty.shape";
  ASSERT_EQ(empty.save(emptyPath.c_str()), 0);
  EXPECT_EQ(zeq::testing::readFileBytes(emptyPath).size(), 8u);
  zeq::LinearModel emptyBack;
  EXPECT_EQ(emptyBack.load(emptyPath.c_str()), 0);
  EXPECT_TRUE(emptyBack.empty());
}

TEST(LinearModel, RefusesCorruptRecordsAndMissingPaths) {
  const std::string dir = zeq::testing::makeTempDir();
  const auto load = [&](std::vector<std::int32_t> words) {
    const std::string path = dir + "/corrupt.shape";
    std::vector<unsigned char> b(words.size() * 4);
    std::memcpy(b.data(), words.data(), b.size());
    zeq::testing::writeFileBytes(path, b);
    zeq::LinearModel m;
    return m.load(path.c_str());
  };
  EXPECT_EQ(load({-1, 2}), -1);
  EXPECT_EQ(load({2, -2}), -1);
  EXPECT_EQ(load({1 << 30, 1 << 30}), -1);
  EXPECT_EQ(load({2, 1, 0, 0, 0}), -1);  // cut inside the basis
  EXPECT_EQ(load({2}), -1);
  zeq::LinearModel m;
  EXPECT_EQ(m.load((dir + "/missing.shape").c_str()), -1);
  EXPECT_EQ(m.save((dir + "/no/dir/m.shape").c_str()), -1);
}

}  // namespace
