#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "engine/OpticalFlowTrackerEfficient.h"
#include "engine/TranslationTrackerNCC.h"

namespace {

using zeq::OpticalFlowTrackerEfficient;
using zeq::TranslationTrackerNCC;

// Smooth random texture: every window has a distinct, well-defined pattern.
cv::Mat_<unsigned char> texture(cv::Size size, int seed = 1) {
  cv::Mat_<unsigned char> noise(size);
  cv::RNG rng(seed);
  rng.fill(noise, cv::RNG::UNIFORM, 0, 256);
  cv::GaussianBlur(noise, noise, cv::Size(0, 0), 2.0);
  cv::normalize(noise, noise, 0, 255, cv::NORM_MINMAX);
  return noise;
}

cv::Mat_<float> shapeOf(const std::vector<cv::Point2f>& points) {
  cv::Mat_<float> shape(2 * static_cast<int>(points.size()), 1);
  for (size_t i = 0; i < points.size(); ++i) {
    shape(2 * static_cast<int>(i)) = points[i].x;
    shape(2 * static_cast<int>(i) + 1) = points[i].y;
  }
  return shape;
}

// Corners of a w x h box at (x, y) plus a few points inside it.
cv::Mat_<float> boxShape(float x, float y, float w, float h) {
  return shapeOf({{x, y},
                  {x + w, y},
                  {x, y + h},
                  {x + w, y + h},
                  {x + 0.3f * w, y + 0.4f * h},
                  {x + 0.7f * w, y + 0.4f * h},
                  {x + 0.5f * w, y + 0.6f * h},
                  {x + 0.5f * w, y + 0.85f * h}});
}

const cv::Rect kNoTemplate(-1, -1, 0, 0);

// ---------------------------------------------------------------- NCC tracker

TEST(TranslationTrackerNCC, SquareTemplateAndScaleFromTheShapeBox) {
  EXPECT_EQ(TranslationTrackerNCC::boundingSquare(boxShape(10.7f, 20.2f, 100.f, 60.9f)), cv::Rect(10, 20, 60, 60));

  TranslationTrackerNCC tracker;
  EXPECT_EQ(tracker.rect, kNoTemplate);
  tracker.init(texture({640, 480}), boxShape(10, 20, 100, 60));
  EXPECT_EQ(tracker.rect, cv::Rect(10, 20, 60, 60));
  EXPECT_EQ(tracker.templ.size(), cv::Size(48, 48));
  EXPECT_FLOAT_EQ(tracker.scaleX, 0.8f);
  EXPECT_FLOAT_EQ(tracker.scaleY, 0.8f);
  EXPECT_TRUE(tracker.hasTemplate());
}

TEST(TranslationTrackerNCC, ClipsShiftingInsideAtLeftTopAndCuttingAtRightBottom) {
  struct Case {
    cv::Point2f corner;
    cv::Rect expected;
  };
  // Image 200 x 150, square side 60.
  const Case cases[] = {
      {{-20, 30}, {0, 30, 60, 60}},
      {{40, -5}, {40, 0, 60, 60}},
      {{170, 30}, {170, 30, 29, 60}},
      {{40, 100}, {40, 100, 60, 49}},
      {{139, 89}, {139, 89, 60, 60}},
  };
  for (const Case& c : cases) {
    TranslationTrackerNCC tracker;
    tracker.init(texture({200, 150}), boxShape(c.corner.x, c.corner.y, 60, 60));
    EXPECT_EQ(tracker.rect, c.expected) << c.corner;
    EXPECT_LE(tracker.templ.cols, 48);
    EXPECT_LE(tracker.templ.rows, 48);
  }
}

TEST(TranslationTrackerNCC, FailedInitLeavesNoTemplate) {
  struct Case {
    const char* name;
    cv::Mat_<unsigned char> image;
    cv::Mat_<float> shape;
  };
  const cv::Mat_<unsigned char> image = texture({200, 150});
  const Case cases[] = {
      {"all points at one position", image, shapeOf({{50, 50}, {50, 50}, {50, 50}})},
      {"outside the image", image, boxShape(300, 20, 60, 60)},
      {"template side of 0 pixels", image, boxShape(20, 148, 100, 100)},
      {"empty image", cv::Mat_<unsigned char>(), boxShape(10, 10, 50, 50)},
      {"empty shape", image, cv::Mat_<float>()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TranslationTrackerNCC tracker;
    tracker.init(image, boxShape(10, 10, 50, 50));
    ASSERT_TRUE(tracker.hasTemplate());
    ::testing::internal::CaptureStderr();
    tracker.updateModel(c.image, c.shape);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Failed intialising translation tracker\n");
    EXPECT_EQ(tracker.rect, kNoTemplate);
    EXPECT_FALSE(tracker.hasTemplate());
    tracker.track(image);
    EXPECT_EQ(tracker.rect, kNoTemplate);
  }
}

TEST(TranslationTrackerNCC, SameImageKeepsTheCorner) {
  const cv::Mat_<unsigned char> image = texture({320, 240});
  for (cv::Point2f corner : {cv::Point2f(10, 20), cv::Point2f(100, 80), cv::Point2f(150, 37)}) {
    TranslationTrackerNCC tracker;
    tracker.init(image, boxShape(corner.x, corner.y, 60, 60));
    const cv::Rect before = tracker.rect;
    tracker.track(image);
    EXPECT_EQ(tracker.rect, before) << corner;
  }
}

TEST(TranslationTrackerNCC, FollowsAShiftedImage) {
  const cv::Mat_<unsigned char> large = texture({400, 300}, 3);
  const cv::Mat_<unsigned char> first = large(cv::Rect(40, 40, 320, 240));
  const cv::Mat_<unsigned char> moved = large(cv::Rect(40 - 7, 40 + 5, 320, 240));  // content moves by (7, -5)
  TranslationTrackerNCC tracker;
  tracker.init(first, boxShape(120, 90, 60, 60));
  ASSERT_EQ(tracker.rect.tl(), cv::Point(120, 90));
  tracker.track(moved);
  // Matching happens at the template's 0.8 scale: steps of 1.25 pixels.
  EXPECT_NEAR(tracker.rect.x, 127, 1);
  EXPECT_NEAR(tracker.rect.y, 85, 1);
  EXPECT_EQ(tracker.rect.size(), cv::Size(60, 60));
}

TEST(TranslationTrackerNCC, TrackKeepsRectWhenThereIsNothingToMatch) {
  TranslationTrackerNCC tracker;
  tracker.track(texture({100, 100}));
  EXPECT_EQ(tracker.rect, kNoTemplate);

  // Featureless template: every position matches alike.
  const cv::Mat_<unsigned char> grey(240, 320, static_cast<unsigned char>(128));
  tracker.init(grey, boxShape(100, 80, 60, 60));
  ASSERT_TRUE(tracker.hasTemplate());
  tracker.track(texture({320, 240}));
  EXPECT_EQ(tracker.rect, cv::Rect(100, 80, 60, 60));

  // Search window no larger than the template, and an empty image.
  tracker.init(texture({320, 240}), boxShape(100, 80, 60, 60));
  tracker.track(texture({80, 70}));
  tracker.track(cv::Mat_<unsigned char>());
  EXPECT_EQ(tracker.rect, cv::Rect(100, 80, 60, 60));
}

// The normalisation runs outside OpenCV but must give its response bit for bit:
// one rounding difference can move a match, and with it every later point.
TEST(TranslationTrackerNCC, MatchNormedIsOpenCVsCorrelationCoefficientBitForBit) {
  cv::Mat_<unsigned char> noise(90, 97);
  cv::RNG(7).fill(noise, cv::RNG::UNIFORM, 0, 256);
  cv::Mat_<unsigned char> flatBlock = texture({96, 96}, 4);
  flatBlock(cv::Rect(10, 20, 70, 60)).setTo(77);  // whole windows without variance
  cv::Mat_<unsigned char> blocks(96, 96);
  for (int y = 0; y < blocks.rows; ++y)
    for (int x = 0; x < blocks.cols; ++x) blocks(y, x) = ((x / 8 + y / 5) % 2) ? 255 : 0;
  cv::Mat_<unsigned char> nearlyFlat(48, 48, static_cast<unsigned char>(100));
  nearlyFlat(5, 7) = 101;

  struct Case {
    const char* name;
    cv::Mat_<unsigned char> image;
    cv::Mat_<unsigned char> templ;
  };
  const Case cases[] = {
      {"smooth texture, foreign template", texture({96, 96}, 2), texture({48, 48}, 3)},
      {"template cut from the image", texture({96, 96}, 5), texture({96, 96}, 5)(cv::Rect(20, 31, 48, 48)).clone()},
      {"raw noise, odd sizes", noise, noise(cv::Rect(3, 40, 31, 17)).clone()},
      {"flat windows", flatBlock, texture({48, 48}, 6)},
      {"saturated blocks", blocks, blocks(cv::Rect(9, 4, 48, 48)).clone()},
      {"one pixel of variance", texture({96, 96}, 8), nearlyFlat},
  };
  for (const Case& c : cases) {
    cv::Mat expected;
    cv::matchTemplate(c.image, c.templ, expected, cv::TM_CCOEFF_NORMED);
    cv::Mat_<float> response;
    TranslationTrackerNCC::MatchScratch scratch;
    ASSERT_TRUE(TranslationTrackerNCC::matchNormed(c.image, c.templ, response, scratch)) << c.name;
    ASSERT_EQ(response.size(), expected.size()) << c.name;
    int differing = 0;
    for (int y = 0; y < response.rows; ++y)
      for (int x = 0; x < response.cols; ++x)
        differing += std::memcmp(&response(y, x), &expected.at<float>(y, x), sizeof(float)) != 0;
    EXPECT_EQ(differing, 0) << c.name;
  }

  // A featureless template matches everywhere alike (OpenCV answers all ones).
  cv::Mat_<float> response;
  TranslationTrackerNCC::MatchScratch scratch;
  EXPECT_FALSE(TranslationTrackerNCC::matchNormed(texture({96, 96}), cv::Mat_<unsigned char>(48, 48, 128), response,
                                                  scratch));
}

// ------------------------------------------------------ optical flow tracker

struct SizeCase {
  float faceSize;
  int window;
  float distance;
  cv::Size crop;
};

TEST(OpticalFlowTrackerEfficient, WindowDistanceAndCropFollowTheFaceSize) {
  const SizeCase cases[] = {
      {200, 15, 10.f, {260, 210}},  // 200 x 150: margin 60
      {201, 15, 10.05f, {260, 210}},  // 201 x 150: odd sum rounded down to even
      {40, 5, 2.f, {60, 50}},        // window 3 raised to 5: margin 20
      {400, 21, 20.f, {484, 384}},   // window 30 -> 31 -> limited to 21: margin 84
  };
  const OpticalFlowTrackerEfficient tracker;
  for (const SizeCase& c : cases) {
    int window = 0;
    float distance = 0.f;
    const cv::Size crop = tracker.calcSize(boxShape(5, 7, c.faceSize, c.faceSize * 0.75f), &window, &distance);
    EXPECT_EQ(window, c.window) << c.faceSize;
    EXPECT_FLOAT_EQ(distance, c.distance) << c.faceSize;
    EXPECT_EQ(crop, c.crop) << c.faceSize;
  }
}

class OpticalFlowTrackerEfficientTest : public ::testing::Test {
 protected:
  cv::Mat_<unsigned char> image = texture({640, 480});
  cv::Mat_<float> points = boxShape(220, 160, 200, 150);
  OpticalFlowTrackerEfficient tracker;

  std::vector<cv::Mat> current() const {
    std::vector<cv::Mat> pyramid;
    tracker.getCurrentPyramid(pyramid);
    return pyramid;
  }
};

TEST_F(OpticalFlowTrackerEfficientTest, StartFramePassesThePointsThrough) {
  cv::Mat_<float> p = points.clone();
  EXPECT_EQ(tracker.calcFlow(image, p), 0);
  EXPECT_EQ(cv::norm(p, points, cv::NORM_INF), 0.0);
  EXPECT_EQ(tracker.windowSize, 15);
  EXPECT_FLOAT_EQ(tracker.distanceScale, 10.f);
  ASSERT_EQ(current().size(), 2u);
  EXPECT_EQ(current()[0].size(), cv::Size(260, 210));
  EXPECT_EQ(tracker.cropOffset, cv::Point(220 - 30, 160 - 30));
  EXPECT_EQ(tracker.currentPoints[0], cv::Point2f(30, 30));
  std::vector<cv::Mat> previous;
  tracker.getPreviousPyramid(previous);
  EXPECT_TRUE(previous.empty());
}

TEST_F(OpticalFlowTrackerEfficientTest, SameImageTwiceKeepsThePoints) {
  cv::Mat_<float> p = points.clone();
  ASSERT_EQ(tracker.calcFlow(image, p), 0);
  const uchar* firstLevel0 = current()[0].data;
  EXPECT_EQ(tracker.calcFlow(image, p), points.rows / 2);
  EXPECT_LT(cv::norm(p, points, cv::NORM_INF), 0.05);
  std::vector<cv::Mat> previous, now;
  tracker.getPyramids(previous, now);
  ASSERT_EQ(previous.size(), 2u);
  EXPECT_EQ(previous[0].data, firstLevel0);  // the buffers swapped roles
  EXPECT_NE(now[0].data, firstLevel0);
}

TEST_F(OpticalFlowTrackerEfficientTest, FitFarFromTheFlowKeepsItsPosition) {
  cv::Mat_<float> p = points.clone();
  ASSERT_EQ(tracker.calcFlow(image, p), 0);
  // The fit moves point 4 by 5 pixels on an unchanged image; the flow keeps it
  // where it was. With a blending distance of 3 pixels the fit wins outright.
  tracker.distanceScale = 3.f;
  cv::Mat_<float> fitted = points.clone();
  fitted(8) += 4.f;
  fitted(9) += 3.f;
  p = fitted.clone();
  EXPECT_EQ(tracker.calcFlow(image, p), points.rows / 2 - 1);
  EXPECT_EQ(p(8), fitted(8));
  EXPECT_EQ(p(9), fitted(9));
  EXPECT_LT(cv::norm(p.rowRange(0, 8), points.rowRange(0, 8), cv::NORM_INF), 0.05);
}

TEST_F(OpticalFlowTrackerEfficientTest, ZeroBlendingDistanceKeepsTheFit) {
  cv::Mat_<float> p = points.clone();
  ASSERT_EQ(tracker.calcFlow(image, p), 0);
  tracker.distanceScale = 0.f;
  cv::Mat_<float> fitted = points + 0.5f;
  p = fitted.clone();
  EXPECT_EQ(tracker.calcFlow(image, p), 0);
  EXPECT_EQ(cv::norm(p, fitted, cv::NORM_INF), 0.0);
}

TEST_F(OpticalFlowTrackerEfficientTest, GrowingFaceRestartsWithANewCrop) {
  cv::Mat_<float> p = points.clone();
  ASSERT_EQ(tracker.calcFlow(image, p), 0);
  cv::Mat_<float> larger = boxShape(200, 140, 240, 180);
  p = larger.clone();
  EXPECT_GE(tracker.calcFlow(image, p), 0);
  int window = 0;
  const cv::Size wanted = tracker.calcSize(p, &window);
  EXPECT_EQ(current()[0].size(), wanted);
  EXPECT_EQ(tracker.windowSize, window);
  EXPECT_GT(window, 15);
  std::vector<cv::Mat> previous;
  tracker.getPreviousPyramid(previous);
  EXPECT_TRUE(previous.empty());
  // Tracking goes on from the new crop.
  EXPECT_EQ(tracker.calcFlow(image, p), larger.rows / 2);
}

TEST_F(OpticalFlowTrackerEfficientTest, ChangedPointCountRestarts) {
  cv::Mat_<float> p = points.clone();
  ASSERT_EQ(tracker.calcFlow(image, p), 0);
  ASSERT_EQ(tracker.calcFlow(image, p), 8);
  cv::Mat_<float> fewer = points.rowRange(0, 12).clone();
  const cv::Mat_<float> original = fewer.clone();
  EXPECT_EQ(tracker.calcFlow(image, fewer), 0);
  EXPECT_EQ(cv::norm(fewer, original, cv::NORM_INF), 0.0);
  EXPECT_EQ(tracker.currentPoints.size(), 6u);
  EXPECT_EQ(tracker.calcFlow(image, fewer), 6);
}

TEST_F(OpticalFlowTrackerEfficientTest, ImagesSmallerOrChangingSize) {
  // A face larger than its image: the crop is the whole image.
  const cv::Mat_<unsigned char> small = texture({120, 100});
  cv::Mat_<float> p = boxShape(10, 10, 100, 85);
  const cv::Mat_<float> original = p.clone();
  EXPECT_EQ(tracker.calcFlow(small, p), 0);
  EXPECT_EQ(current()[0].size(), small.size());
  EXPECT_EQ(tracker.cropOffset, cv::Point(0, 0));
  EXPECT_GE(tracker.calcFlow(small, p), 0);
  EXPECT_LT(cv::norm(p, original, cv::NORM_INF), 0.05);

  // The kept crop no longer fits a smaller frame: -1 with the points unchanged,
  // then the next frame starts afresh.
  tracker.reset();
  p = points.clone();
  ASSERT_EQ(tracker.calcFlow(image, p), 0);
  const cv::Mat_<unsigned char> smaller = image(cv::Rect(0, 0, 250, 400));
  EXPECT_EQ(tracker.calcFlow(smaller, p), -1);
  EXPECT_EQ(cv::norm(p, points, cv::NORM_INF), 0.0);
  EXPECT_EQ(tracker.calcFlow(smaller, p), 0);
  EXPECT_GE(tracker.calcFlow(smaller, p), 0);

  // Nothing to track.
  cv::Mat_<float> none;
  EXPECT_EQ(tracker.calcFlow(image, none), -1);
  EXPECT_EQ(tracker.calcFlow(cv::Mat_<unsigned char>(), p), -1);
}

TEST_F(OpticalFlowTrackerEfficientTest, SwitchNeedsACompleteCurrentPyramid) {
  EXPECT_EQ(tracker.switchCurrForPrev(), -1);
  cv::Mat_<float> p = points.clone();
  ASSERT_EQ(tracker.calcFlow(image, p), 0);
  const uchar* level0 = current()[0].data;
  EXPECT_EQ(tracker.switchCurrForPrev(), 0);
  std::vector<cv::Mat> previous;
  tracker.getPreviousPyramid(previous);
  ASSERT_EQ(previous.size(), 2u);
  EXPECT_EQ(previous[0].data, level0);
  EXPECT_EQ(tracker.previousPoints, tracker.currentPoints);
  tracker.reset();
  EXPECT_EQ(tracker.switchCurrForPrev(), -1);
  EXPECT_FALSE(tracker.useSecondPyramid);
}

}  // namespace
