#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "engine/SparseFlowLK.h"

namespace {

using zeq::SparseFlowLK;

// Smooth random texture with a flat block (no gradient: the flow refuses
// points there) and a hard edge.
cv::Mat_<unsigned char> scene(cv::Size size, int seed) {
  cv::Mat_<unsigned char> noise(size);
  cv::RNG rng(seed);
  rng.fill(noise, cv::RNG::UNIFORM, 0, 256);
  cv::GaussianBlur(noise, noise, cv::Size(0, 0), 2.5);
  cv::normalize(noise, noise, 0, 255, cv::NORM_MINMAX);
  noise(cv::Rect(size.width / 2, 4, 40, 40)).setTo(90);
  noise(cv::Rect(10, size.height - 30, 60, 30)).setTo(250);
  return noise;
}

// The scene moved by a sub-pixel shift, a little brighter, with noise: the
// iterations run a different number of steps for different points.
cv::Mat_<unsigned char> moved(const cv::Mat_<unsigned char>& image, cv::Point2f shift, int seed) {
  cv::Mat_<unsigned char> out;
  const cv::Matx23f m(1.f, 0.f, shift.x, 0.f, 1.f, shift.y);
  cv::warpAffine(image, out, m, image.size(), cv::INTER_LINEAR, cv::BORDER_REFLECT_101);
  cv::Mat_<short> noise(image.size());
  cv::RNG(seed).fill(noise, cv::RNG::NORMAL, 6, 3);
  cv::Mat_<short> sum;
  out.convertTo(sum, CV_16S);
  sum += noise;
  sum.convertTo(out, CV_8U);
  return out;
}

// half: half the window. The last two points put the window's corner on the
// image's last pixel, so that its reads end where the padded pyramid does.
std::vector<cv::Point2f> probePoints(cv::Size size, int half) {
  std::vector<cv::Point2f> points;
  for (float y = 3.3f; y < static_cast<float>(size.height); y += 17.7f)
    for (float x = 2.1f; x < static_cast<float>(size.width); x += 19.3f) points.emplace_back(x, y);
  const float w = static_cast<float>(size.width), h = static_cast<float>(size.height);
  // Corners, outside the image, on the flat block, and not a number.
  for (cv::Point2f p : {cv::Point2f(0, 0), cv::Point2f(w - 1, h - 1), cv::Point2f(-2.5f, 30), cv::Point2f(w + 40, 20),
                        cv::Point2f(30, -90), cv::Point2f(w / 2 + 20, 24),
                        cv::Point2f(std::numeric_limits<float>::quiet_NaN(), 10)})
    points.push_back(p);
  const float reach = static_cast<float>(half) + 0.3f;
  points.emplace_back(w - 1 + reach, h - 1 + reach);
  points.emplace_back(40.f, h - 1 + reach);
  return points;
}

bool sameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

struct FlowCase {
  int window;
  int maxLevel;
  int iterations;
  bool initialFlow;
  bool derivatives;  // in the previous pyramid, or made by the flow
};

// Windows of 5 and 7 (no 8-pixel step), 9-15 (one), 17-21 (two, in one AVX2
// register), with and without a pyramid, starting guesses and derivatives in
// the pyramid.
TEST(SparseFlowLK, SameBitsAsOpenCV) {
  const cv::Mat_<unsigned char> prev = scene({160, 120}, 3);
  const cv::Mat_<unsigned char> next = moved(prev, {1.6f, -0.8f}, 4);
  const FlowCase cases[] = {{5, 0, 5, true, true},    {7, 1, 5, false, false}, {9, 1, 5, true, true},
                            {11, 2, 10, true, false}, {13, 1, 3, false, true}, {13, 1, 5, true, false},
                            {15, 0, 5, true, false},  {17, 1, 5, true, true},  {19, 2, 30, false, false},
                            {21, 1, 5, true, true},   {21, 1, 5, true, false}, {21, 0, 1, false, true}};
  SparseFlowLK flow;  // one for all cases: its buffers serve every window size
  for (const FlowCase& c : cases) {
    const std::string name = "window " + std::to_string(c.window) + ", levels " + std::to_string(c.maxLevel + 1) +
                             (c.derivatives ? ", derivatives in the pyramid" : "");
    const cv::Size win(c.window, c.window);
    const std::vector<cv::Point2f> prevPts = probePoints(prev.size(), c.window / 2);
    std::vector<cv::Mat> prevPyr, nextPyr;
    cv::buildOpticalFlowPyramid(prev, prevPyr, win, c.maxLevel, c.derivatives, cv::BORDER_REFLECT_101,
                                cv::BORDER_CONSTANT, false);
    cv::buildOpticalFlowPyramid(next, nextPyr, win, c.maxLevel, true, cv::BORDER_REFLECT_101, cv::BORDER_CONSTANT,
                                false);
    SparseFlowLK::Settings settings;
    settings.winSize = win;
    settings.maxLevel = c.maxLevel;
    settings.criteria = cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, c.iterations, 0.01f);
    settings.flags = c.initialFlow ? cv::OPTFLOW_USE_INITIAL_FLOW : 0;
    if (!SparseFlowLK::handles(prevPyr, nextPyr, settings)) GTEST_SKIP() << "this processor has no AVX2";

    std::vector<cv::Point2f> expected(prevPts.size()), got;
    for (size_t i = 0; i < prevPts.size(); ++i) expected[i] = prevPts[i] + cv::Point2f(1.2f, -0.6f);
    got = expected;
    std::vector<unsigned char> expectedStatus, status;
    std::vector<float> expectedErr, err;
    cv::SparsePyrLKOpticalFlow::create(win, c.maxLevel, settings.criteria, settings.flags, settings.minEigThreshold)
        ->calc(prevPyr, nextPyr, prevPts, expected, expectedStatus, expectedErr);
    ASSERT_TRUE(flow.calc(prevPyr, nextPyr, prevPts, got, status, err, settings)) << name;

    ASSERT_EQ(got.size(), expected.size()) << name;
    ASSERT_EQ(status, expectedStatus) << name;
    int differing = 0, tracked = 0;
    for (size_t i = 0; i < got.size(); ++i) {
      differing += !sameBits(got[i].x, expected[i].x) || !sameBits(got[i].y, expected[i].y);
      if (status[i]) {
        ++tracked;
        differing += !sameBits(err[i], expectedErr[i]);
      }
    }
    EXPECT_EQ(differing, 0) << name;
    // The fixture must exercise both outcomes.
    EXPECT_GT(tracked, 20) << name;
    EXPECT_LT(tracked, static_cast<int>(got.size())) << name;
  }
}

TEST(SparseFlowLK, LeavesOtherCasesToOpenCV) {
  const cv::Mat_<unsigned char> image = scene({80, 60}, 5);
  const cv::Size win(9, 9);
  std::vector<cv::Mat> pyramid, smaller;
  cv::buildOpticalFlowPyramid(image, pyramid, win, 1, false);
  cv::buildOpticalFlowPyramid(image(cv::Rect(0, 0, 70, 60)), smaller, win, 1, false);
  SparseFlowLK::Settings settings;
  settings.winSize = win;
  settings.maxLevel = 1;
  if (!SparseFlowLK::handles(pyramid, pyramid, settings)) GTEST_SKIP() << "this processor has no AVX2";

  std::vector<cv::Point2f> prevPts{{20.f, 20.f}}, nextPts{{21.f, 20.f}};
  std::vector<unsigned char> status{7};
  std::vector<float> err;
  SparseFlowLK flow;
  // Pyramids of different images, minimum eigenvalues asked for, an unpadded
  // image: false, outputs untouched.
  EXPECT_FALSE(flow.calc(pyramid, smaller, prevPts, nextPts, status, err, settings));
  SparseFlowLK::Settings eigen = settings;
  eigen.flags = cv::OPTFLOW_LK_GET_MIN_EIGENVALS;
  EXPECT_FALSE(flow.calc(pyramid, pyramid, prevPts, nextPts, status, err, eigen));
  std::vector<cv::Mat> bare = pyramid;
  bare[0] = image.clone();
  EXPECT_FALSE(flow.calc(bare, pyramid, prevPts, nextPts, status, err, settings));
  EXPECT_EQ(nextPts[0], cv::Point2f(21.f, 20.f));
  EXPECT_EQ(status[0], 7);
}

}  // namespace
