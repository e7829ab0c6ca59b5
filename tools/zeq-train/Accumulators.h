#pragma once
// Streaming moments for ridge regression. Rows arrive one training sample at a
// time and are collected into small blocks, so that the Gram matrices are
// formed by matrix products rather than one rank-one update per sample.
#include <vector>

#include <Eigen/Dense>

namespace zeq {
namespace train {

// One ridge problem per landmark: inputs are that landmark's descriptor block
// plus a constant 1, outputs its own `outputs` target values.
class LocalMoments {
 public:
  LocalMoments() = default;
  LocalMoments(int landmarks, int blockLength, int outputs, int blockRows = 64)
      : n_(landmarks), f_(blockLength), p_(blockLength + 1), out_(outputs), rows_(blockRows) {
    xx_.assign(n_, Eigen::MatrixXd::Zero(p_, p_));
    xy_.assign(n_, Eigen::MatrixXd::Zero(p_, out_));
    yy_.assign(n_, 0.0);
    bx_.resize(n_);
    for (auto& b : bx_) b.resize(rows_, p_);
    by_.resize(rows_, n_ * out_);
  }

  bool empty() const { return n_ == 0; }
  long count() const { return count_ + fill_; }

  // descriptor: n * f values (landmark blocks in order); target: n * outputs values.
  void add(const float* descriptor, const float* target) {
    for (int i = 0; i < n_; ++i) {
      auto row = bx_[i].row(fill_);
      for (int k = 0; k < f_; ++k) row(k) = descriptor[i * f_ + k];
      row(f_) = 1.f;
    }
    for (int j = 0; j < n_ * out_; ++j) by_(fill_, j) = target[j];
    if (++fill_ == rows_) flush();
  }

  void flush() {
    if (fill_ == 0) return;
    for (int i = 0; i < n_; ++i) {
      const auto x = bx_[i].topRows(fill_);
      const auto y = by_.block(0, i * out_, fill_, out_);
      gram_.setZero(p_, p_);
      gram_.selfadjointView<Eigen::Lower>().rankUpdate(x.transpose());
      xx_[i].triangularView<Eigen::Lower>() += gram_.cast<double>();
      xy_[i] += (x.transpose() * y).cast<double>();
      yy_[i] += static_cast<double>(y.squaredNorm());
    }
    count_ += fill_;
    fill_ = 0;
  }

  void merge(LocalMoments& other) {
    other.flush();
    flush();
    for (int i = 0; i < n_; ++i) {
      xx_[i] += other.xx_[i];
      xy_[i] += other.xy_[i];
      yy_[i] += other.yy_[i];
    }
    count_ += other.count_;
  }

  // Full symmetric Gram of landmark i (call after flush).
  Eigen::MatrixXd xx(int i) const { return xx_[i].selfadjointView<Eigen::Lower>(); }
  const Eigen::MatrixXd& xy(int i) const { return xy_[i]; }
  double yy(int i) const { return yy_[i]; }
  int landmarks() const { return n_; }

 private:
  int n_ = 0, f_ = 0, p_ = 0, out_ = 0, rows_ = 0;
  long count_ = 0;
  int fill_ = 0;
  std::vector<Eigen::MatrixXd> xx_;  // lower triangle accumulated
  std::vector<Eigen::MatrixXd> xy_;
  std::vector<double> yy_;
  std::vector<Eigen::MatrixXf> bx_;
  Eigen::MatrixXf by_;
  Eigen::MatrixXf gram_;
};

// One joint ridge problem: input vector of p values, output vector of m values.
class JointMoments {
 public:
  JointMoments() = default;
  JointMoments(int inputs, int outputs, int blockRows = 64)
      : p_(inputs), m_(outputs), rows_(blockRows), xx_(Eigen::MatrixXd::Zero(inputs, inputs)),
        xy_(Eigen::MatrixXd::Zero(inputs, outputs)), bx_(blockRows, inputs), by_(blockRows, outputs) {}

  bool empty() const { return p_ == 0; }
  long count() const { return count_ + fill_; }

  void add(const float* x, const float* y) {
    for (int k = 0; k < p_; ++k) bx_(fill_, k) = x[k];
    for (int k = 0; k < m_; ++k) by_(fill_, k) = y[k];
    if (++fill_ == rows_) flush();
  }

  void flush() {
    if (fill_ == 0) return;
    const Eigen::MatrixXd x = bx_.topRows(fill_).cast<double>();
    const Eigen::MatrixXd y = by_.topRows(fill_).cast<double>();
    xx_.noalias() += x.transpose() * x;
    xy_.noalias() += x.transpose() * y;
    yy_ += y.squaredNorm();
    count_ += fill_;
    fill_ = 0;
  }

  void merge(JointMoments& other) {
    other.flush();
    flush();
    xx_ += other.xx_;
    xy_ += other.xy_;
    yy_ += other.yy_;
    count_ += other.count_;
  }

  const Eigen::MatrixXd& xx() const { return xx_; }
  const Eigen::MatrixXd& xy() const { return xy_; }
  double yy() const { return yy_; }

 private:
  int p_ = 0, m_ = 0, rows_ = 0;
  long count_ = 0;
  int fill_ = 0;
  Eigen::MatrixXd xx_, xy_;
  double yy_ = 0;
  Eigen::MatrixXf bx_, by_;
};

}  // namespace train
}  // namespace zeq
