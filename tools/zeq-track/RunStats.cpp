#include "RunStats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace zeqtrack {

void RunStats::add(const FrameRecord& record) {
  ++frames_;
  milliseconds_.push_back(record.milliseconds);
  if (record.tracked) {
    ++tracked_;
    const double c = record.meanConfidence();
    if (std::isfinite(c)) confidenceSum_ += c;
    if (!previousTracked_) ++detections_;
    if (firstTracked_ < 0) firstTracked_ = record.index;
  } else if (previousTracked_) {
    ++losses_;
  }
  previousTracked_ = record.tracked;
}

double RunStats::timePercentile(double percent) const {
  if (milliseconds_.empty()) return 0.0;
  std::vector<double> sorted(milliseconds_);
  std::sort(sorted.begin(), sorted.end());
  const double rank = std::clamp(percent, 0.0, 100.0) / 100.0 * static_cast<double>(sorted.size() - 1);
  const size_t lo = static_cast<size_t>(std::floor(rank));
  const size_t hi = std::min(lo + 1, sorted.size() - 1);
  return sorted[lo] + (sorted[hi] - sorted[lo]) * (rank - static_cast<double>(lo));
}

std::string RunStats::summary(double wallSeconds, const std::string& timeLabel) const {
  char buf[512];
  std::string s;
  const double share = frames_ > 0 ? 100.0 * static_cast<double>(tracked_) / static_cast<double>(frames_) : 0.0;
  std::snprintf(buf, sizeof buf, "  frames            %ld\n  frames tracked    %ld (%.1f%%)", frames_, tracked_, share);
  s += buf;
  if (firstTracked_ >= 0) {
    std::snprintf(buf, sizeof buf, ", first at frame %ld", firstTracked_);
    s += buf;
  }
  std::snprintf(buf, sizeof buf,
                "\n  losses            %ld\n  re-detections     %ld\n"
                "  time per frame    median %.2f ms, 95th percentile %.2f ms (%s)\n"
                "  mean confidence   ",
                losses_, redetections(), timePercentile(50.0), timePercentile(95.0), timeLabel.c_str());
  s += buf;
  if (tracked_ > 0) {
    std::snprintf(buf, sizeof buf, "%.3f (over tracked frames)\n", meanConfidence());
    s += buf;
  } else {
    s += "- (no tracked frame)\n";
  }
  if (wallSeconds > 0.0 && frames_ > 0) {
    std::snprintf(buf, sizeof buf, "  throughput        %.1f frames/s (%.1f s, decoding and writing included)\n",
                  static_cast<double>(frames_) / wallSeconds, wallSeconds);
    s += buf;
  }
  return s;
}

}  // namespace zeqtrack
