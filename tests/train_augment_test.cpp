// Altered training photos: the shape must follow the picture.
#include <random>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "../tools/zeq-train/Augment.h"

namespace {

using namespace zeq::train;

// A dark picture with one bright dot under each of three landmarks; the rest
// of the shape sits on the dark background around them.
void dottedPhoto(cv::Mat& grey, cv::Mat_<float>& shape) {
  grey = cv::Mat::zeros(240, 320, CV_8U);
  shape = cv::Mat_<float>(132, 1);
  for (int i = 0; i < 66; ++i) {
    shape(2 * i) = 110.f + static_cast<float>(i % 11) * 10.f;
    shape(2 * i + 1) = 80.f + static_cast<float>(i / 11) * 14.f;
  }
  for (int i : {0, 30, 65}) cv::circle(grey, cv::Point(int(shape(2 * i)), int(shape(2 * i + 1))), 3, cv::Scalar(255), -1);
}

TEST(TrainAugment, TurnedAndScaledShapeStaysOnItsPixels) {
  cv::Mat grey;
  cv::Mat_<float> shape;
  dottedPhoto(grey, shape);
  for (double angle : {-30.0, 12.0, 30.0}) {
    Alteration a;
    a.angleDeg = angle;
    a.scale = 0.7;
    cv::Mat out;
    cv::Mat_<float> moved;
    alterPhoto(grey, shape, a, 1, out, moved);
    ASSERT_EQ(out.size(), grey.size());
    ASSERT_EQ(moved.rows, 132);
    for (int i : {0, 30, 65}) {
      const cv::Point p(cvRound(moved(2 * i)), cvRound(moved(2 * i + 1)));
      EXPECT_GT(out.at<unsigned char>(p), 150) << "angle " << angle << " landmark " << i;
    }
    // The shape turns by the angle: landmarks 0 and 10 start on one horizontal row.
    const double turned = std::atan2(moved(21) - moved(1), moved(20) - moved(0)) * 180.0 / CV_PI;
    EXPECT_NEAR(turned, angle, 1e-3);
  }
}

TEST(TrainAugment, DegradationsKeepTheShapeAndStayReproducible) {
  cv::Mat grey;
  cv::Mat_<float> shape;
  dottedPhoto(grey, shape);
  Alteration a;
  a.gamma = 1.5;
  a.blurSigma = 1.0;
  a.noiseSigma = 5.0;
  a.jpegQuality = 30;
  cv::Mat first, second;
  cv::Mat_<float> s1, s2;
  alterPhoto(grey, shape, a, 7, first, s1);
  alterPhoto(grey, shape, a, 7, second, s2);
  EXPECT_EQ(cv::norm(s1, shape, cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::norm(first, second, cv::NORM_INF), 0.0);
  EXPECT_GT(cv::norm(first, grey, cv::NORM_L1), 0.0);
  EXPECT_GT(first.at<unsigned char>(cv::Point(int(shape(0)), int(shape(1)))), 100);
}

}  // namespace
