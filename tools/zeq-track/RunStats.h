#pragma once
#include <string>
#include <vector>

#include "FrameRecord.h"

namespace zeqtrack {

// Running tally of a run, for the progress line and the final summary.
class RunStats {
 public:
  void add(const FrameRecord& record);

  long frames() const { return frames_; }
  long tracked() const { return tracked_; }
  // Tracked frames followed by an untracked one.
  long losses() const { return losses_; }
  // Untracked-to-tracked transitions after the first detection.
  long redetections() const { return detections_ > 0 ? detections_ - 1 : 0; }
  // First tracked frame, -1 when none.
  long firstTracked() const { return firstTracked_; }
  // Mean of the per-frame mean confidence over tracked frames (0 when none).
  double meanConfidence() const { return tracked_ > 0 ? confidenceSum_ / tracked_ : 0.0; }
  // Linear-interpolated percentile (0..100) of the time per frame, in ms.
  double timePercentile(double percent) const;

  // The end-of-run report, several lines; timeLabel says what the time per
  // frame measured.
  std::string summary(double wallSeconds, const std::string& timeLabel) const;

 private:
  long frames_ = 0;
  long tracked_ = 0;
  long losses_ = 0;
  long detections_ = 0;
  long firstTracked_ = -1;
  bool previousTracked_ = false;
  double confidenceSum_ = 0.0;
  std::vector<double> milliseconds_;
};

}  // namespace zeqtrack
