// Shape-model construction and the ridge solves of the trainer.
#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "../tools/zeq-train/ShapeModelBuilder.h"

namespace {

using namespace zeq::train;

// A face-like 66-point template: points on an ellipse, eyes at 36..47.
cv::Mat_<float> templateShape() {
  cv::Mat_<float> s(132, 1);
  for (int i = 0; i < 66; ++i) {
    const double a = 2 * CV_PI * i / 66.0;
    s(2 * i) = static_cast<float>(40 * std::cos(a) + 3 * std::sin(3 * a));
    s(2 * i + 1) = static_cast<float>(50 * std::sin(a));
  }
  for (int i = 36; i < 42; ++i) {
    s(2 * i) = -15.f + (i - 36);
    s(2 * i + 1) = -10.f + 0.3f * (i - 36);
  }
  for (int i = 42; i < 48; ++i) {
    s(2 * i) = 15.f + (i - 42);
    s(2 * i + 1) = -10.f - 0.2f * (i - 42);
  }
  return s;
}

Similarity makeSimilarity(double scale, double angle, double tx, double ty) {
  Similarity m;
  m.a = scale * std::cos(angle);
  m.b = scale * std::sin(angle);
  m.tx = tx;
  m.ty = ty;
  return m;
}

// Training set: the template with two independent deformations of known size,
// each copy under its own similarity.
std::vector<cv::Mat_<float>> trainingShapes(int count) {
  const cv::Mat_<float> base = templateShape();
  cv::RNG rng(7);
  std::vector<cv::Mat_<float>> shapes;
  for (int k = 0; k < count; ++k) {
    cv::Mat_<float> s = base.clone();
    const double open = rng.gaussian(4.0), smile = rng.gaussian(2.0);
    for (int i = 48; i < 66; ++i) s(2 * i + 1) += static_cast<float>(open * (i % 2 ? 1 : -1));
    for (int i = 0; i < 17; ++i) s(2 * i) += static_cast<float>(smile * (i < 8 ? -1 : 1));
    shapes.push_back(applySimilarity(
        makeSimilarity(rng.uniform(0.5, 3.0), rng.uniform(-0.4, 0.4), rng.uniform(0, 500), rng.uniform(0, 500)), s));
  }
  return shapes;
}

TEST(TrainShapeModelTest, AlignSimilarityRecoversAKnownTransform) {
  const cv::Mat_<float> s = templateShape();
  const Similarity m = makeSimilarity(2.5, 0.3, 40, -7);
  const Similarity r = alignSimilarity(s, applySimilarity(m, s));
  EXPECT_NEAR(r.a, m.a, 1e-5);
  EXPECT_NEAR(r.b, m.b, 1e-5);
  EXPECT_NEAR(r.tx, m.tx, 1e-3);
  EXPECT_NEAR(r.ty, m.ty, 1e-3);
}

TEST(TrainShapeModelTest, BasisIsOrthonormalAndSpansSimilarities) {
  ShapeModelOptions opt;
  opt.meanWidth = 400;
  ShapeModelReport report;
  const zeq::LinearModel m = buildShapeModel(trainingShapes(300), opt, &report);
  ASSERT_TRUE(m.consistent());
  ASSERT_EQ(m.dimension(), 132);
  ASSERT_GE(m.modes(), 6);

  cv::Mat_<float> gram = m.basis.t() * m.basis;
  EXPECT_LT(cv::norm(gram, cv::Mat_<float>::eye(m.modes(), m.modes()), cv::NORM_INF), 1e-5);

  // The mean is centred, upright and meanWidth wide.
  double minX = 1e9, maxX = -1e9, cx = 0, cy = 0;
  for (int i = 0; i < 66; ++i) {
    minX = std::min<double>(minX, m.mean(2 * i));
    maxX = std::max<double>(maxX, m.mean(2 * i));
    cx += m.mean(2 * i);
    cy += m.mean(2 * i + 1);
  }
  EXPECT_NEAR(maxX - minX, 400.0, 1e-2);
  EXPECT_NEAR(cx / 66, 0.0, 1e-3);
  EXPECT_NEAR(cy / 66, 0.0, 1e-3);

  // Any similarity of any shape in the model is reconstructed exactly, and the
  // clamp (as the tracker applies it) does not touch the rigid modes.
  for (const Similarity& t : {makeSimilarity(0.2, 0.0, 10, 20), makeSimilarity(1.0, 0.5, 640, 360),
                              makeSimilarity(3.0, -0.6, -50, 900)}) {
    const cv::Mat_<float> shape = applySimilarity(t, m.mean);
    cv::Mat_<float> p = m.project(shape);
    ASSERT_EQ(m.clamp(p, 2.0f), 0);
    const cv::Mat_<float> back = m.reconstruct(p);
    EXPECT_LT(cv::norm(back, shape, cv::NORM_INF), 1e-2 * t.scale() + 1e-2);
    for (int k = 4; k < m.modes(); ++k) EXPECT_NEAR(p(k), 0.0, 1e-2) << "non-rigid mode " << k;
  }
  for (int k = 0; k < 4; ++k) EXPECT_GT(m.modeScale(k), 1e6);
  for (int k = 4; k < m.modes(); ++k) EXPECT_GT(m.modeScale(k), 0.f);
}

TEST(TrainShapeModelTest, NonRigidModesFindTheDeformationsAndTheirSpread) {
  ShapeModelOptions opt;
  opt.meanWidth = 100;
  opt.varianceKept = 0.999;
  opt.rotatedModes = 0;
  ShapeModelReport report;
  const zeq::LinearModel m = buildShapeModel(trainingShapes(2000), opt, &report);
  // Two generating deformations, nothing else.
  EXPECT_EQ(report.nonRigidModes, 2);
  EXPECT_EQ(m.modes(), 6);
  // A shape of the training set is reproduced within the model, in its own
  // position and scale; a deformation the model never saw is removed.
  const std::vector<cv::Mat_<float>> shapes = trainingShapes(3);
  for (const auto& s : shapes) {
    const cv::Mat_<float> back = m.reconstruct(m.project(s));
    EXPECT_LT(cv::norm(back, s, cv::NORM_INF), 2e-2 * rmsSize(s));
  }
  cv::Mat_<float> odd = shapes[0].clone();
  odd(2 * 30) += 20.f;  // one landmark pulled sideways
  const cv::Mat_<float> back = m.reconstruct(m.project(odd));
  EXPECT_LT(std::abs(back(2 * 30) - shapes[0](2 * 30)), 5.f);
}

TEST(TrainShapeModelTest, TurnedModesKeepRolledDeformationsInsideTheModel) {
  ShapeModelOptions opt;
  opt.varianceKept = 0.999;
  const std::vector<cv::Mat_<float>> shapes = trainingShapes(500);
  opt.rotatedModes = 0;
  const zeq::LinearModel plain = buildShapeModel(shapes, opt);
  opt.rotatedModes = 10;
  const zeq::LinearModel turned = buildShapeModel(shapes, opt);
  ASSERT_GT(turned.modes(), plain.modes());
  // A deformed shape rolled by 30 degrees about its centroid.
  const cv::Mat_<float> s = shapes[1];
  const cv::Point2d c = centroid(s);
  Similarity roll = makeSimilarity(1.0, 30 * CV_PI / 180, 0, 0);
  roll.tx = c.x - (roll.a * c.x - roll.b * c.y);
  roll.ty = c.y - (roll.b * c.x + roll.a * c.y);
  const cv::Mat_<float> rolled = applySimilarity(roll, s);
  const double lostPlain = cv::norm(plain.reconstruct(plain.project(rolled)), rolled);
  const double lostTurned = cv::norm(turned.reconstruct(turned.project(rolled)), rolled);
  EXPECT_LT(lostTurned, 0.1 * lostPlain);
}

TEST(TrainShapeModelTest, RidgeSolveMatchesTheClosedForm) {
  cv::RNG rng(11);
  const int n = 200, p = 5, m = 2;
  Eigen::MatrixXd x(n, p), y(n, m);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < p - 1; ++j) x(i, j) = rng.gaussian(1.0);
    x(i, p - 1) = 1.0;  // bias column
    for (int j = 0; j < m; ++j) y(i, j) = rng.gaussian(1.0);
  }
  const Eigen::MatrixXd xx = x.transpose() * x, xy = x.transpose() * y;
  const double lambda = 7.0;

  // Penalising all rows but the bias.
  Eigen::MatrixXd penalty = Eigen::MatrixXd::Identity(p, p) * lambda;
  penalty(p - 1, p - 1) = 0;
  const Eigen::MatrixXd expected = (xx + penalty).inverse() * xy;
  const Eigen::MatrixXd w = ridgeSolve(xx, xy, lambda, 1);
  EXPECT_LT((w - expected).cwiseAbs().maxCoeff(), 1e-6);

  // Shrinking towards a prior instead of towards zero.
  Eigen::MatrixXd prior = Eigen::MatrixXd::Constant(p, m, 0.5);
  Eigen::MatrixXd priorPenalised = prior;
  priorPenalised.row(p - 1).setZero();
  const Eigen::MatrixXd expectedPrior = (xx + penalty).inverse() * (xy + penalty * priorPenalised);
  EXPECT_LT((ridgeSolve(xx, xy, lambda, 1, prior) - expectedPrior).cwiseAbs().maxCoeff(), 1e-6);
  // A huge ridge returns the prior (bias aside).
  const Eigen::MatrixXd far = ridgeSolve(xx, xy, 1e12, 1, prior);
  EXPECT_LT((far.topRows(p - 1) - prior.topRows(p - 1)).cwiseAbs().maxCoeff(), 1e-6);

  // The loss from moments equals the residual sum of squares.
  const double rss = (y - x * w).squaredNorm();
  EXPECT_NEAR(ridgeLoss(xx, xy, y.squaredNorm(), w), rss, 1e-6 * rss);
}

}  // namespace
