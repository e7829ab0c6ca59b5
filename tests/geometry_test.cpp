#include <cmath>

#include <gtest/gtest.h>

#include "engine/geometry.h"

namespace {

using zeq::geo::alignPoints2d;
using zeq::geo::invertTransform2d;
using zeq::geo::transform2d;

cv::Mat_<float> sampleShape() {
  return (cv::Mat_<float>(8, 1) << 10, 20, 40, 22, 35, 60, 12, 55);
}

void expectMatNear(const cv::Mat_<float>& a, const cv::Mat_<float>& b, double tol) {
  ASSERT_EQ(a.size(), b.size());
  EXPECT_LE(cv::norm(a, b, cv::NORM_INF), tol) << a << "\nvs\n" << b;
}

TEST(Geometry, AlignRecoversKnownSimilarities) {
  const cv::Mat_<float> s = sampleShape();
  struct Case {
    const char* name;
    float a, b, tx, ty;
  } cases[] = {
      {"identity", 1, 0, 0, 0},
      {"scale 2 about the origin", 2, 0, 0, 0},
      {"rotation by 90 degrees", 0, 1, 0, 0},
      {"rotated, scaled and shifted", 0.8f * std::cos(0.3f), 0.8f * std::sin(0.3f), -12.5f, 7.f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const cv::Mat_<float> M = (cv::Mat_<float>(2, 3) << c.a, -c.b, c.tx, c.b, c.a, c.ty);
    const cv::Mat_<float> fitted = alignPoints2d(s, transform2d(s, M));
    expectMatNear(fitted, M, 1e-3);
  }
}

TEST(Geometry, AlignOfMismatchedOrCoincidentPoints) {
  EXPECT_TRUE(alignPoints2d(sampleShape(), cv::Mat_<float>::zeros(6, 1)).empty());
  const cv::Mat_<float> same = (cv::Mat_<float>(4, 1) << 3, 3, 3, 3);
  const cv::Mat_<float> M = alignPoints2d(same, same);
  ASSERT_EQ(M.size(), cv::Size(3, 2));
  for (float v : M) EXPECT_TRUE(std::isfinite(v));
}

TEST(Geometry, InvertTransform) {
  const cv::Mat_<float> M = (cv::Mat_<float>(2, 3) << 2, 0, 4, 0, 2, 6);
  expectMatNear(invertTransform2d(M), (cv::Mat_<float>(2, 3) << 0.5f, 0, -2, 0, 0.5f, -3), 1e-6);
  const cv::Mat_<float> zero = cv::Mat_<float>::zeros(2, 3);
  expectMatNear(invertTransform2d(zero), (cv::Mat_<float>(2, 3) << 1e8f, 0, 0, 0, 1e8f, 0), 1e2);
  EXPECT_TRUE(invertTransform2d(cv::Mat_<float>::eye(3, 3)).empty());

  const cv::Mat_<float> R = (cv::Mat_<float>(2, 3) << 0.6f, -0.8f, 5, 0.8f, 0.6f, -2);
  const cv::Mat_<float> s = sampleShape();
  expectMatNear(transform2d(transform2d(s, R), invertTransform2d(R)), s, 1e-4);
}

TEST(Geometry, TransformKeepsLayoutAndRefusesBadTransforms) {
  const cv::Mat_<float> row = (cv::Mat_<float>(1, 4) << 1, 2, 3, 4);
  const cv::Mat_<float> shift = (cv::Mat_<float>(2, 3) << 1, 0, 10, 0, 1, 20);
  const cv::Mat_<float> out = transform2d(row, shift);
  EXPECT_EQ(out.size(), cv::Size(1, 4));
  expectMatNear(out, (cv::Mat_<float>(4, 1) << 11, 22, 13, 24), 1e-6);

  cv::Mat_<float> inPlace = row.clone();
  zeq::geo::transform2d_inplace(inPlace, shift);
  EXPECT_EQ(inPlace.size(), row.size());
  expectMatNear(inPlace, (cv::Mat_<float>(1, 4) << 11, 22, 13, 24), 1e-6);

  // A wrong-sized transform is reported and leaves the points alone, instead of
  // ending the host process.
  expectMatNear(transform2d(sampleShape(), cv::Mat_<float>::eye(3, 3)), sampleShape(), 0);
  cv::Mat_<float> untouched = sampleShape();
  zeq::geo::transform2d_inplace(untouched, cv::Mat_<float>());
  expectMatNear(untouched, sampleShape(), 0);
}

TEST(Geometry, BoundingBoxTruncatesExtent) {
  const cv::Mat_<float> s = (cv::Mat_<float>(4, 1) << 1.7f, 2.2f, 4.1f, 3.9f);
  EXPECT_EQ(zeq::geo::calcBoundingBox(s), cv::Rect(1, 2, 2, 1));
  EXPECT_EQ(zeq::geo::calcBoundingBox(cv::Mat_<float>()), cv::Rect(0, 0, 0, 0));
}

}  // namespace
