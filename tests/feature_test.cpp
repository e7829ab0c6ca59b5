#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/Feature.h"

namespace {

using zeq::FeatParameters;
using zeq::Feature;

cv::Mat makeImage(int rows, int cols, const std::function<int(int, int)>& value) {
  cv::Mat img(rows, cols, CV_8UC1);
  for (int y = 0; y < rows; ++y)
    for (int x = 0; x < cols; ++x) img.at<unsigned char>(y, x) = cv::saturate_cast<unsigned char>(value(y, x));
  return img;
}

cv::Mat randomImage(int rows, int cols, unsigned seed) {
  cv::Mat img(rows, cols, CV_8UC1);
  cv::RNG rng(seed);
  rng.fill(img, cv::RNG::UNIFORM, 0, 256);
  return img;
}

cv::Mat_<float> shapeOf(const std::vector<cv::Point2f>& points) {
  cv::Mat_<float> s(2 * static_cast<int>(points.size()), 1);
  for (size_t i = 0; i < points.size(); ++i) {
    s(2 * static_cast<int>(i)) = points[i].x;
    s(2 * static_cast<int>(i) + 1) = points[i].y;
  }
  return s;
}

float histAt(const cv::Mat& hist, int y, int x, int bin) {
  return hist.ptr<float>(y)[x * hist.channels() + bin];
}

// Block of one landmark written out directly from the description of the
// descriptor: bilinear samples of cellHist at the cell-grid positions with the
// landmark's weights, zeros outside, L2 normalisation.
std::vector<float> referenceBlock(const Feature& f, float x, float y) {
  const FeatParameters& p = f.params;
  const int B = p.numBins, C = p.cellSize, c = p.patchSize / p.cellSize;
  const int W = f.cellHist.cols, H = f.cellHist.rows;
  std::vector<float> v(static_cast<size_t>(c * c * B), 0.f);
  if (!(x >= 0 && y >= 0 && x < W - 1 && y < H - 1)) return v;
  const float o = 0.5f * p.patchSize - 0.5f * C;
  const float xp = x - o, yp = y - o;
  const float fx = xp - std::trunc(xp), fy = yp - std::trunc(yp);
  const float w[4] = {(1 - fx) * (1 - fy), fx * (1 - fy), (1 - fx) * fy, fx * fy};
  for (int i = 0; i < c; ++i) {
    for (int j = 0; j < c; ++j) {
      const float yy = C * i + yp, xx = C * j + xp;
      if (yy < 0 || yy >= H - 1 || xx < 0 || xx >= W - 1) continue;
      const int r = static_cast<int>(yy), q = static_cast<int>(xx);
      for (int b = 0; b < B; ++b) {
        v[static_cast<size_t>((i * c + j) * B + b)] =
            w[0] * histAt(f.cellHist, r, q, b) + w[1] * histAt(f.cellHist, r, q + 1, b) +
            w[2] * histAt(f.cellHist, r + 1, q, b) + w[3] * histAt(f.cellHist, r + 1, q + 1, b);
      }
    }
  }
  double sumSq = 0;
  for (float e : v) sumSq += double(e) * e;
  const double denom = std::sqrt(sumSq) + 1e-6;
  for (float& e : v) e = static_cast<float>(e / denom);
  return v;
}

TEST(Feature, ConstantImageGivesZeroDescriptorOfFullSize) {
  Feature f;
  ASSERT_TRUE(f.setup(cv::Mat(128, 128, CV_8UC1, cv::Scalar(77))));
  EXPECT_EQ(f.blockLength(), 256);
  cv::Mat_<float> shape(132, 1);
  cv::RNG(3).fill(shape, cv::RNG::UNIFORM, 10.f, 118.f);
  cv::Mat_<float> d;
  f.extract(d, shape);
  ASSERT_EQ(d.rows, 16896);
  ASSERT_EQ(d.cols, 1);
  EXPECT_EQ(cv::countNonZero(d), 0);
}

TEST(Feature, RampsLandInTheExpectedBin) {
  struct Case {
    const char* name;
    std::function<int(int, int)> image;
    bool signedOrientation;
    int bin;         // bin that receives the whole magnitude
    bool vertical;   // gradient along y
  };
  const Case cases[] = {
      {"rising x", [](int, int x) { return x; }, true, 0, false},
      {"rising y, signed", [](int y, int) { return y; }, true, 4, true},
      {"rising y, unsigned", [](int y, int) { return y; }, false, 8, true},
      {"falling x, signed", [](int, int x) { return 200 - x; }, true, 8, false},
      {"falling x, unsigned (theta = pi folds to 0)", [](int, int x) { return 200 - x; }, false, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Feature f;
    f.params.sqrtIntensity = false;
    f.params.signedOrientation = c.signedOrientation;
    ASSERT_TRUE(f.setup(makeImage(20, 24, c.image)));
    const cv::Mat_<float>& along = c.vertical ? f.gradY : f.gradX;
    const cv::Mat_<float>& across = c.vertical ? f.gradX : f.gradY;
    EXPECT_EQ(std::abs(along(5, 6)), 2.f);  // centred, not halved
    EXPECT_EQ(std::abs(along(0, 0)), 1.f);  // one-sided on the border
    EXPECT_EQ(std::abs(along(19, 23)), 1.f);
    EXPECT_EQ(across(5, 6), 0.f);
    for (int b = 0; b < 16; ++b) {
      const float expected = b == c.bin ? 2.f : 0.f;
      EXPECT_NEAR(histAt(f.orientationHistogram(), 5, 6, b), expected, 1e-4f) << "bin " << b;
    }
  }
  // theta = 0 exactly: all in bin 0, exactly 0 in bin 1.
  Feature f;
  f.params.sqrtIntensity = false;
  ASSERT_TRUE(f.setup(makeImage(20, 24, [](int, int x) { return x; })));
  EXPECT_EQ(histAt(f.orientationHistogram(), 5, 6, 0), 2.f);
  EXPECT_EQ(histAt(f.orientationHistogram(), 5, 6, 1), 0.f);
}

TEST(Feature, SquareRootIntensity) {
  Feature f;
  ASSERT_TRUE(f.setup(makeImage(10, 10, [](int y, int x) { return 9 * ((x + y) % 2) + 4 * (x % 3); })));
  EXPECT_EQ(f.intensity(0, 0), 0.f);
  EXPECT_EQ(f.intensity(0, 1), std::sqrt(13.f));
  EXPECT_EQ(f.intensity(1, 0), 3.f);
}

// cellHist is the orientation histogram box-filtered with the odd window (7 for cell sizes
// 8 and 7) and reflect-101 borders; the descriptor samples it with the cell stride.
TEST(Feature, DescriptorMatchesDirectComputation) {
  struct Case {
    int cellSize, patchSize;
    bool signedOrientation, sqrtIntensity;
    int numBins;
  };
  const Case cases[] = {
      {8, 32, true, true, 16}, {7, 28, true, true, 16}, {8, 32, false, false, 16}, {5, 20, true, true, 9}};
  const cv::Mat img = randomImage(40, 48, 5);
  const int W = img.cols, H = img.rows;
  const std::vector<cv::Point2f> points = {
      {23.37f, 17.81f},           // interior, fractional
      {5.6f, 3.25f},              // closer than the offset to the top-left corner
      {W - 1.f, 20.f},            // on the last column: outside
      {W - 1.f - 1e-3f, 20.5f},   // just left of it: described
      {30.f, H - 1.5f},           // grid rows partly below the image
      {-0.5f, 10.f},              // outside
      {std::numeric_limits<float>::quiet_NaN(), 10.f},
  };
  cv::Mat cellHist8;
  for (const Case& c : cases) {
    SCOPED_TRACE("cellSize " + std::to_string(c.cellSize));
    Feature f;
    f.params.cellSize = c.cellSize;
    f.params.patchSize = c.patchSize;
    f.params.signedOrientation = c.signedOrientation;
    f.params.sqrtIntensity = c.sqrtIntensity;
    f.params.numBins = c.numBins;
    ASSERT_TRUE(f.setup(img));

    const int k = c.cellSize % 2 ? c.cellSize : c.cellSize - 1;
    cv::Mat expected;
    cv::boxFilter(f.orientationHistogram(), expected, CV_32F, cv::Size(k, k), cv::Point(-1, -1), true,
                  cv::BORDER_REFLECT_101);
    EXPECT_EQ(cv::countNonZero(expected.reshape(1) != f.cellHist.reshape(1)), 0);
    if (c.signedOrientation && c.sqrtIntensity && c.numBins == 16) {
      if (c.cellSize == 8) cellHist8 = f.cellHist.clone();
      if (c.cellSize == 7) {
        EXPECT_EQ(cv::countNonZero(cellHist8.reshape(1) != f.cellHist.reshape(1)), 0);
      }
    }

    cv::Mat_<float> d;
    f.extract(d, shapeOf(points));
    const int block = f.blockLength();
    ASSERT_EQ(d.rows, block * static_cast<int>(points.size()));
    for (size_t p = 0; p < points.size(); ++p) {
      const std::vector<float> ref = referenceBlock(f, points[p].x, points[p].y);
      for (int e = 0; e < block; ++e) {
        ASSERT_NEAR(d(static_cast<int>(p) * block + e), ref[static_cast<size_t>(e)], 2e-6f)
            << "landmark " << p << " value " << e;
      }
    }
    const auto blockNorm = [&](int p) { return cv::norm(d.rowRange(p * block, (p + 1) * block)); };
    EXPECT_NEAR(blockNorm(0), 1.0, 1e-5);
    EXPECT_EQ(blockNorm(2), 0.0);
    EXPECT_NEAR(blockNorm(3), 1.0, 1e-5);
    EXPECT_EQ(blockNorm(5), 0.0);
    EXPECT_EQ(blockNorm(6), 0.0);
  }
}

TEST(Feature, MaskSelectsLandmarks) {
  Feature f;
  ASSERT_TRUE(f.setup(randomImage(64, 64, 9)));
  const cv::Mat_<float> shape = shapeOf({{20.f, 20.f}, {30.5f, 31.f}, {40.2f, 25.f}});
  cv::Mat_<float> all, masked;
  f.extract(all, shape);
  ASSERT_EQ(all.rows, 768);

  f.extract(masked, shape, (cv::Mat_<unsigned char>(3, 1) << 1, 0, 1));
  ASSERT_EQ(masked.rows, 512);
  EXPECT_EQ(cv::norm(masked.rowRange(0, 256), all.rowRange(0, 256), cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::norm(masked.rowRange(256, 512), all.rowRange(512, 768), cv::NORM_INF), 0.0);

  // A value other than 0 includes the landmark once; no block is left unwritten.
  f.extract(masked, shape, (cv::Mat_<unsigned char>(3, 1) << 0, 2, 0));
  ASSERT_EQ(masked.rows, 256);
  EXPECT_EQ(cv::norm(masked, all.rowRange(256, 512), cv::NORM_INF), 0.0);

  // A mask for another number of landmarks describes nothing.
  f.extract(masked, shape, (cv::Mat_<unsigned char>(2, 1) << 1, 1));
  EXPECT_TRUE(masked.empty());
}

TEST(Feature, RefusedInputLeavesStateUntouched) {
  Feature f;
  ASSERT_TRUE(f.setup(randomImage(32, 32, 1)));
  const cv::Mat cellBefore = f.cellHist.clone();
  const cv::Mat intensityBefore = f.intensity.clone();
  const uchar* cellData = f.cellHist.data;

  struct Case {
    const char* name;
    cv::Mat image;
    int numBins;
    bool message;
  };
  const Case cases[] = {
      {"3 channels", cv::Mat(16, 16, CV_8UC3, cv::Scalar(1, 2, 3)), 16, true},
      {"16-bit", cv::Mat(16, 16, CV_16UC1, cv::Scalar(300)), 16, false},
      {"empty", cv::Mat(), 16, false},
      {"no bins", randomImage(16, 16, 2), 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    f.params.numBins = c.numBins;
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(f.setup(c.image));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, c.message ? "only grayscale currently supported! Aborting\n" : "");
    f.params.numBins = 16;
    EXPECT_EQ(f.cellHist.data, cellData);
    EXPECT_EQ(f.cellHist.size(), cellBefore.size());
    EXPECT_EQ(cv::norm(f.cellHist, cellBefore, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(f.intensity, intensityBefore, cv::NORM_INF), 0.0);
  }
}

TEST(Feature, ExtractWithoutMatchingSetupGivesZeros) {
  Feature f;
  const cv::Mat_<float> shape = shapeOf({{10.f, 10.f}, {12.f, 11.f}});
  cv::Mat_<float> d;
  f.extract(d, shape);
  ASSERT_EQ(d.rows, 512);
  EXPECT_EQ(cv::countNonZero(d), 0);

  // A bin count changed after setup no longer matches cellHist.
  ASSERT_TRUE(f.setup(randomImage(24, 24, 4)));
  f.params.numBins = 32;
  f.extract(d, shape);
  ASSERT_EQ(d.rows, 1024);
  EXPECT_EQ(cv::countNonZero(d), 0);
}

TEST(Feature, TinyImagesAreFilteredLikeOpenCV) {
  for (const cv::Size size : {cv::Size(1, 1), cv::Size(5, 1), cv::Size(1, 4), cv::Size(3, 2), cv::Size(9, 6)}) {
    SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
    Feature f;
    const cv::Mat img = randomImage(size.height, size.width, 8);
    ASSERT_TRUE(f.setup(img));
    cv::Mat expected;
    cv::boxFilter(f.orientationHistogram(), expected, CV_32F, cv::Size(7, 7), cv::Point(-1, -1), true,
                  cv::BORDER_REFLECT_101);
    EXPECT_EQ(cv::countNonZero(expected.reshape(1) != f.cellHist.reshape(1)), 0);
    cv::Mat_<float> d;
    f.extract(d, shapeOf({{0.5f, 0.5f}, {1.2f, 0.3f}}));
    ASSERT_EQ(d.rows, 512);
    EXPECT_TRUE(cv::checkRange(d));
  }
}

TEST(Feature, BuffersAreReusedForTheSameSize) {
  Feature f;
  ASSERT_TRUE(f.setup(randomImage(48, 48, 1)));
  const uchar* cells = f.cellHist.data;
  cv::Mat_<float> d;
  const cv::Mat_<float> shape = shapeOf({{20.f, 20.f}});
  f.extract(d, shape);
  const uchar* desc = d.data;
  ASSERT_TRUE(f.setup(randomImage(48, 48, 2)));
  f.extract(d, shape);
  EXPECT_EQ(f.cellHist.data, cells);
  EXPECT_EQ(d.data, desc);
}

}  // namespace
