#pragma once
#include <chrono>
#include <cstdio>

namespace zeqtrack {

// Progress on standard error: a bar redrawn in place on a terminal, plain
// lines every kLineEvery frames otherwise (logs, pipes), nothing when disabled.
class Progress {
 public:
  static constexpr long kLineEvery = 100;

  // total: expected frame count, -1 when unknown (camera).
  Progress(long total, bool enabled);

  // After each frame: frames done so far and how many of them were tracked.
  void update(long done, long tracked);
  // Ends the bar (final state and a newline).
  void finish(long done, long tracked);

 private:
  void draw(long done, long tracked, double fps, bool final);

  using Clock = std::chrono::steady_clock;
  long total_;
  bool enabled_;
  bool terminal_;
  bool drawn_ = false;
  Clock::time_point lastTime_;
  long lastDone_ = 0;
  double fps_ = 0.0;
  Clock::time_point start_;
};

}  // namespace zeqtrack
