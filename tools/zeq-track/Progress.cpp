#include "Progress.h"

#include <unistd.h>

#include <algorithm>
#include <string>

namespace zeqtrack {

namespace {
constexpr int kBarWidth = 30;
constexpr double kRedrawSeconds = 0.1;
}  // namespace

Progress::Progress(long total, bool enabled)
    : total_(total), enabled_(enabled), terminal_(isatty(STDERR_FILENO) == 1) {
  start_ = lastTime_ = Clock::now();
}

void Progress::update(long done, long tracked) {
  if (!enabled_) return;
  const Clock::time_point now = Clock::now();
  const double seconds = std::chrono::duration<double>(now - lastTime_).count();
  const bool due = terminal_ ? seconds >= kRedrawSeconds : (done % kLineEvery == 0);
  if (!due) return;
  if (seconds > 0.0) fps_ = static_cast<double>(done - lastDone_) / seconds;
  lastTime_ = now;
  lastDone_ = done;
  draw(done, tracked, fps_, false);
}

void Progress::finish(long done, long tracked) {
  if (!enabled_ || !terminal_) return;  // plain lines need no closing line
  if (!drawn_ && done == 0) return;
  const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
  draw(done, tracked, seconds > 0.0 ? static_cast<double>(done) / seconds : 0.0, true);
}

void Progress::draw(long done, long tracked, double fps, bool final) {
  const double trackedShare = done > 0 ? 100.0 * static_cast<double>(tracked) / static_cast<double>(done) : 0.0;
  char tail[160];
  std::snprintf(tail, sizeof tail, "%.1f fps  tracked %.0f%%", fps, trackedShare);
  std::string line;
  if (total_ > 0) {
    // Frame counts of containers are estimates: never overflow the bar.
    const long shown = std::min(done, total_);
    const int filled = static_cast<int>(static_cast<double>(kBarWidth) * static_cast<double>(shown) /
                                        static_cast<double>(total_));
    char head[96];
    std::snprintf(head, sizeof head, "%3d%% ", static_cast<int>(100.0 * static_cast<double>(shown) / total_));
    line = head;
    if (terminal_) line += "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '.') + "] ";
    line += std::to_string(done) + "/" + std::to_string(total_) + " frames  " + tail;
  } else {
    line = std::to_string(done) + " frames  " + tail;
  }
  if (terminal_) {
    // \033[K clears what a longer previous line left behind.
    std::fprintf(stderr, "\r%s\033[K%s", line.c_str(), final ? "\n" : "");
  } else {
    std::fprintf(stderr, "zeq-track: %s\n", line.c_str());
  }
  std::fflush(stderr);
  drawn_ = true;
}

}  // namespace zeqtrack
