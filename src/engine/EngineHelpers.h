#pragma once
#include <algorithm>

#include <opencv2/core.hpp>

// Small helpers shared by the engine's sources.
namespace zeq {
namespace detail {

// Truncation toward zero that stays defined for NaN and for coordinates far
// outside any image (a bad shape must not become undefined behaviour).
inline int truncToInt(float v) {
  if (!(v == v)) return 0;
  constexpr float kLimit = 1e9f;
  return static_cast<int>(std::max(-kLimit, std::min(kLimit, v)));
}

// True when `indices` is a non-empty list (read as a column) whose entries all
// name one of the `count` landmarks.
inline bool validIndexList(const cv::Mat_<int>& indices, int count) {
  if (indices.empty()) return false;
  for (int r = 0; r < indices.rows; ++r) {
    const int i = indices(r, 0);
    if (i < 0 || i >= count) return false;
  }
  return true;
}

inline bool allFinite(const cv::Mat& m) { return cv::checkRange(m, true); }

// Drops m's buffer when other matrices share it (or it wraps foreign memory),
// so that writing a new result into m cannot change values they still hold;
// a buffer m alone owns is kept for reuse.
inline void releaseIfShared(cv::Mat& m) {
  if (m.data != nullptr && (m.u == nullptr || m.u->refcount != 1)) m.release();
}

}  // namespace detail
}  // namespace zeq
