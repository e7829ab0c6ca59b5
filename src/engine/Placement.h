#pragma once
#include <opencv2/core.hpp>

namespace zeq {

// Where a face box puts the reference shape when tracking starts: the centres
// of its two eye contours (landmarks 36..41 and 42..47) go to
// (x + 0.3 w, y + 0.2 h) and (x + 0.7 w, y + 0.2 h); the shape is scaled and
// shifted, never turned, and only its first 66 landmarks are shifted. The
// facade places the engine with it, and the trainer starts its photos with it,
// so both see the same first frame. False (placed untouched) for a reference
// of fewer than 66 landmarks or with coincident eye centres.
bool placeByEyes(const cv::Mat_<float>& reference, int x, int y, int width, int height, cv::Mat_<float>& placed);

}  // namespace zeq
