#pragma once
#include <opencv2/core.hpp>

// 2D geometry on shape vectors (x0, y0, x1, y1, ... as a float column) and
// 2 x 3 transforms [L | t] mapping (x, y) to L (x, y) + t.
namespace zeq {
namespace geo {

// Truncated bounding box of the shape's points; (0, 0, 0, 0) for an empty shape.
cv::Rect calcBoundingBox(const cv::Mat_<float>& shape);

// Least-squares similarity [[a, -b, tx], [b, a, ty]] mapping src onto dst.
// Empty matrix (and a message on stderr) when the point sets differ in size.
cv::Mat_<float> alignPoints2d(const cv::Mat_<float>& src, const cv::Mat_<float>& dst);

// Inverse of a 2 x 3 transform; empty when M is not 2 x 3.
cv::Mat_<float> invertTransform2d(const cv::Mat_<float>& M);

// New 2n x 1 column of the transformed points. A transform that is not 2 x 3 is
// reported on stderr and the points are returned unchanged.
cv::Mat_<float> transform2d(const cv::Mat_<float>& S, const cv::Mat_<float>& M);

// Transforms the points of S in place (S keeps its dimensions). A transform that
// is not 2 x 3 is reported on stderr and S is left unchanged.
void transform2d_inplace(cv::Mat_<float>& S, const cv::Mat_<float>& M);

// Forms of the above on a fixed-size transform, for the per-frame path: they
// compute the same values without allocating (beyond sizing `out` once).
// alignPoints2dTo: false (and the message) when the point sets differ in size.
bool alignPoints2dTo(const cv::Mat_<float>& src, const cv::Mat_<float>& dst, cv::Matx23f& M);
cv::Matx23f invertTransform2x3(const cv::Matx23f& M);
// out: 2n x 1 column of the transformed points (out may be S itself).
void transform2dInto(const cv::Mat_<float>& S, const cv::Matx23f& M, cv::Mat_<float>& out);
// In place, S keeps its dimensions.
void transform2dInPlace(cv::Mat_<float>& S, const cv::Matx23f& M);

}  // namespace geo
}  // namespace zeq
