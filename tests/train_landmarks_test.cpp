// Landmark bookkeeping of the trainer and the evaluator: .pts files, the
// 68 -> 66 mapping, mirroring and the detector-box placement.
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../tools/zeq-train/Landmarks.h"
#include "support/TestSupport.h"

namespace {

using namespace zeq::train;

std::string writeFile(const std::string& name, const std::string& text) {
  static const std::string dir = zeq::testing::makeTempDir();
  const std::string path = dir + "/" + name;
  std::ofstream(path) << text;
  return path;
}

std::string ptsText(int n, bool crlf = false) {
  const std::string nl = crlf ? "\r\n" : "\n";
  std::string s = "version: 1" + nl + "n_points:  " + std::to_string(n) + nl + "{" + nl;
  for (int i = 0; i < n; ++i) s += std::to_string(i) + ".5 " + std::to_string(100 + i) + nl;
  return s + "}" + nl;
}

TEST(TrainLandmarksTest, ReadsPtsFiles) {
  std::vector<cv::Point2f> p;
  ASSERT_TRUE(readPts(writeFile("a.pts", ptsText(68)), p));
  ASSERT_EQ(p.size(), 68u);
  EXPECT_FLOAT_EQ(p[0].x, 0.5f);
  EXPECT_FLOAT_EQ(p[67].y, 167.f);
  ASSERT_TRUE(readPts(writeFile("crlf.pts", ptsText(66, true)), p));
  EXPECT_EQ(p.size(), 66u);
}

TEST(TrainLandmarksTest, RejectsMalformedPtsFiles) {
  const std::string full = ptsText(68);
  const std::vector<std::string> bad = {
      "",                                                  // empty
      full.substr(0, full.find('{')),                      // header only
      "version: 1\nn_points: 3\n{\n1 2\n3 4\n}\n",         // fewer points than announced
      "version: 1\nn_points: 2\n{\n1 2\n3 x\n}\n",         // not a number
      "version: 1\nn_points: -4\n{\n}\n",                  // impossible count
  };
  std::vector<cv::Point2f> p;
  for (std::size_t i = 0; i < bad.size(); ++i)
    EXPECT_FALSE(readPts(writeFile("bad" + std::to_string(i) + ".pts", bad[i]), p)) << "case " << i;
  EXPECT_FALSE(readPts("/nonexistent/x.pts", p));
}

TEST(TrainLandmarksTest, DropsTheInnerMouthCornersOf68Points) {
  std::vector<cv::Point2f> p68;
  for (int i = 0; i < 68; ++i) p68.emplace_back(static_cast<float>(i), static_cast<float>(-i));
  const cv::Mat_<float> s = toShape66(p68);
  ASSERT_EQ(s.rows, 132);
  // 0..59 keep their numbers; 61..63 become 60..62 and 65..67 become 63..65.
  const int source[] = {0, 59, 61, 62, 63, 65, 66, 67};
  const int target[] = {0, 59, 60, 61, 62, 63, 64, 65};
  for (int k = 0; k < 8; ++k) {
    EXPECT_EQ(s(2 * target[k]), source[k]);
    EXPECT_EQ(s(2 * target[k] + 1), -source[k]);
  }
  std::vector<cv::Point2f> p66(p68.begin(), p68.begin() + 66);
  EXPECT_EQ(toShape66(p66)(131), -65.f);
  EXPECT_TRUE(toShape66(std::vector<cv::Point2f>(5)).empty());
}

TEST(TrainLandmarksTest, MirrorPermutationIsAnInvolutionThatSwapsSides) {
  const auto& p = mirrorPermutation();
  for (int i = 0; i < kPoints; ++i) EXPECT_EQ(p[p[i]], i) << i;
  const int pairs[][2] = {{0, 16}, {8, 8}, {17, 26}, {27, 27}, {31, 35}, {33, 33}, {36, 45}, {39, 42},
                          {40, 47}, {41, 46}, {48, 54}, {51, 51}, {55, 59}, {57, 57}, {60, 62}, {61, 61},
                          {63, 65}, {64, 64}};
  for (const auto& q : pairs) EXPECT_EQ(p[q[0]], q[1]) << q[0];
}

TEST(TrainLandmarksTest, MirroredShapeFollowsTheFlippedImage) {
  // Every landmark sits on a pixel with a unique value; after mirroring, each
  // landmark must sit on the same value in the flipped image.
  cv::Mat_<unsigned short> image(40, 70);
  for (int y = 0; y < image.rows; ++y)
    for (int x = 0; x < image.cols; ++x) image(y, x) = static_cast<unsigned short>(y * 100 + x);
  cv::Mat_<float> shape(132, 1);
  cv::RNG rng(3);
  for (int i = 0; i < kPoints; ++i) {
    shape(2 * i) = static_cast<float>(rng.uniform(0, image.cols));
    shape(2 * i + 1) = static_cast<float>(rng.uniform(0, image.rows));
  }
  cv::Mat original = image.clone();
  cv::Mat flipped = image;  // shares the input's pixels, the way a copied record would
  cv::Mat_<float> mirrored;
  mirrorImageAndShape(image, shape, flipped, mirrored);
  EXPECT_EQ(cv::norm(image, original, cv::NORM_INF), 0.0) << "the input image was changed";
  const auto& perm = mirrorPermutation();
  for (int i = 0; i < kPoints; ++i) {
    const int j = perm[i];
    EXPECT_EQ(flipped.at<unsigned short>(static_cast<int>(mirrored(2 * j + 1)), static_cast<int>(mirrored(2 * j))),
              image(static_cast<int>(shape(2 * i + 1)), static_cast<int>(shape(2 * i))));
  }
  const cv::Mat_<float> twice = mirrorShape(mirrored, image.cols);
  EXPECT_EQ(cv::norm(twice, shape, cv::NORM_INF), 0.0);
}

TEST(TrainLandmarksTest, NormalisedErrorUsesTheOuterEyeCorners) {
  cv::Mat_<float> truth = cv::Mat_<float>::zeros(132, 1);
  truth(90) = 50.f;  // landmark 45 at (50, 0); landmark 36 at the origin
  cv::Mat_<float> shape = truth.clone();
  for (int i = 0; i < kPoints; ++i) shape(2 * i + 1) += 5.f;
  EXPECT_NEAR(normalisedError(shape, truth), 0.1, 1e-9);
  EXPECT_TRUE(std::isnan(normalisedError(shape.rowRange(0, 10), truth)));
}

TEST(TrainLandmarksTest, PlacesByTheEyesLikeTheFacade) {
  // Eye centres 40 apart in the reference: a box 100 wide at (50, 60) puts them
  // at (80, 80) and (120, 80) with scale 1.
  cv::Mat_<float> ref = cv::Mat_<float>::zeros(132, 1);
  for (int i = 36; i < 42; ++i) ref(2 * i) = 10.f;
  for (int i = 42; i < 48; ++i) ref(2 * i) = 50.f;
  const cv::Mat_<float> s = placeInBox(ref, cv::Rect(50, 60, 100, 100));
  EXPECT_FLOAT_EQ(s(2 * 36), 80.f);
  EXPECT_FLOAT_EQ(s(2 * 36 + 1), 80.f);
  EXPECT_FLOAT_EQ(s(2 * 45), 120.f);
  EXPECT_FLOAT_EQ(s(0), 70.f);  // landmark 0 at the origin moves with the translation only
  EXPECT_TRUE(placeInBox(cv::Mat_<float>::zeros(132, 1), cv::Rect(50, 60, 100, 100)).empty());  // eyes coincide
}

TEST(TrainLandmarksTest, MatchesOnlyDetectionsOfTheAnnotatedFace) {
  cv::Mat_<float> truth(132, 1);
  for (int i = 0; i < kPoints; ++i) {
    truth(2 * i) = 100.f + static_cast<float>(i % 11) * 10.f;  // x 100..200
    truth(2 * i + 1) = 120.f + static_cast<float>(i % 7) * 15.f;  // y 120..210
  }
  EXPECT_GE(matchDetection(cv::Rect(90, 80, 120, 130), truth), 0.0);    // the face with forehead
  EXPECT_LT(matchDetection(cv::Rect(300, 80, 120, 130), truth), 0.0);   // another face
  EXPECT_LT(matchDetection(cv::Rect(140, 150, 30, 30), truth), 0.0);    // a small part
  EXPECT_LT(matchDetection(cv::Rect(0, 0, 600, 600), truth), 0.0);      // far too large
}

TEST(TrainLandmarksTest, SplitIsAFixedFunctionOfTheName) {
  int counts[3] = {0, 0, 0};
  for (int i = 0; i < 2000; ++i) ++counts[static_cast<int>(splitOf("photo_" + std::to_string(i) + ".jpg"))];
  EXPECT_NEAR(counts[static_cast<int>(Split::Validation)], 400, 80);
  EXPECT_NEAR(counts[static_cast<int>(Split::Tune)], 240, 60);
  // Reported validation figures refer to this assignment; it must not drift.
  EXPECT_EQ(splitOf("afw_1051618982_1.jpg"), Split::Fit);
  EXPECT_EQ(splitOf("afw_1130084326_1.jpg"), Split::Tune);
  EXPECT_EQ(splitOf("afw_1130084326_2.jpg"), Split::Validation);
}

}  // namespace
