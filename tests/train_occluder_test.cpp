// Synthetic occluders and the ROC area that scores the covered landmarks.
#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include "../tools/zeq-train/Occluder.h"

namespace {

using namespace zeq::train;

TEST(RocAuc, CountsPairsInOrderWithTiesAsHalf) {
  struct Case {
    std::vector<double> positives, negatives;
    double auc;
  };
  const Case cases[] = {
      {{0.9, 0.8}, {0.1, 0.2, 0.3}, 1.0},
      {{0.1}, {0.5, 0.6}, 0.0},
      {{0.5, 0.5}, {0.5}, 0.5},
      // 0.4 beats 0.2, ties 0.4, loses to 0.9; 0.8 beats two: 3.5 of 6 pairs.
      {{0.4, 0.8}, {0.2, 0.4, 0.9}, 3.5 / 6.0},
  };
  for (const auto& c : cases) EXPECT_NEAR(rocAuc(c.positives, c.negatives), c.auc, 1e-12);
  EXPECT_TRUE(std::isnan(rocAuc({}, {0.3})));
}

// Landmarks on a 10 x 7 grid-like spread over x 100..190, y 100..160.
cv::Mat_<float> spreadShape() {
  cv::Mat_<float> s(2 * kPoints, 1);
  for (int i = 0; i < kPoints; ++i) {
    s(2 * i) = 100.f + 10.f * (i % 10);
    s(2 * i + 1) = 100.f + 10.f * (i / 10);
  }
  return s;
}

TEST(Occluder, FlatPatchPaintsExactlyItsMaskAndCoversTheLandmarksUnderIt) {
  const cv::Mat grey(240, 320, CV_8U, cv::Scalar(40));
  Occluder o;
  o.kind = Occluder::kFlat;
  o.grey = 200;
  o.region = cv::RotatedRect(cv::Point2f(125, 115), cv::Size2f(26, 26), 0.f);  // x 112..138, y 102..128
  const cv::Mat painted = paintOccluder(grey, o, cv::Mat());
  const cv::Mat mask = occluderMask(o, grey.size());
  EXPECT_EQ(cv::countNonZero(painted != grey), cv::countNonZero(mask));
  EXPECT_EQ(cv::countNonZero((painted == 200) != (mask != 0)), 0);
  const std::vector<unsigned char> covered = coveredLandmarks(o, mask, spreadShape());
  for (int i = 0; i < kPoints; ++i) {
    const int x = 100 + 10 * (i % 10), y = 100 + 10 * (i / 10);
    EXPECT_EQ(covered[i] != 0, (x == 120 || x == 130) && (y == 110 || y == 120)) << i;
  }
}

TEST(Occluder, LowerHalfCoversEverythingFromItsCutDown) {
  const cv::Mat grey(240, 320, CV_8U, cv::Scalar(40));
  Occluder o;
  o.kind = Occluder::kLowerHalf;
  o.cut = 125.5f;
  o.grey = 90;
  const cv::Mat painted = paintOccluder(grey, o, cv::Mat());
  EXPECT_EQ(cv::countNonZero(painted.rowRange(0, 126) != 40), 0);
  EXPECT_EQ(cv::countNonZero(painted.rowRange(126, 240) != 90), 0);
  const std::vector<unsigned char> covered = coveredLandmarks(o, occluderMask(o, grey.size()), spreadShape());
  for (int i = 0; i < kPoints; ++i) EXPECT_EQ(covered[i] != 0, 100 + 10 * (i / 10) >= 126) << i;
}

TEST(Occluder, RandomOccludersAlwaysCoverPartOfTheFaceAndStayInsideTheImage) {
  const cv::Mat grey(240, 320, CV_8U, cv::Scalar(40));
  cv::Mat source(100, 80, CV_8U);
  cv::randu(source, 0, 255);
  std::mt19937 rng(3);
  int kinds[6] = {0};
  for (int k = 0; k < 200; ++k) {
    const Occluder o = randomOccluder(spreadShape(), 1, rng);
    ++kinds[o.kind];
    const cv::Mat painted = paintOccluder(grey, o, source);
    ASSERT_EQ(painted.size(), grey.size());
    const std::vector<unsigned char> covered = coveredLandmarks(o, occluderMask(o, grey.size()), spreadShape());
    int n = 0;
    for (unsigned char c : covered) n += c;
    EXPECT_GT(n, 0) << "kind " << o.kind;
    EXPECT_LT(n, kPoints) << "kind " << o.kind;
  }
  for (int kind = Occluder::kFlat; kind <= Occluder::kSideHalf; ++kind) EXPECT_GT(kinds[kind], 0) << kind;
}

}  // namespace
