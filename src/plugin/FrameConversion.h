#pragma once
// Host frames in the pixel layouts Unity hands out, turned straight into the
// grey image the tracker reads: no colour copy, no colour flip.

#include <cstddef>

#include <opencv2/core.hpp>

namespace zeq {
namespace plugin {

// Pixel formats of ZEQ_UnityTrackerUpdateImage.
enum PixelFormat { kRGBA32 = 0, kBGRA32 = 1, kARGB32 = 2, kRGB24 = 3, kBGR24 = 4, kGrey8 = 5 };

// A caller's frame as it lies in memory: `rowBytes` between row starts, rows
// stored bottom-up when `bottomUp` is set.
struct FrameView {
  const unsigned char* pixels = nullptr;
  int width = 0;
  int height = 0;
  std::size_t rowBytes = 0;
  int format = kRGBA32;
  bool bottomUp = false;
};

// Bytes per pixel of a format; 0 for an unknown one.
int bytesPerPixel(int format);

// The format is known and every row fits its stride (sides already checked).
bool validLayout(const FrameView& frame);

// Writes the grey value of every pixel inside `region` (top-down frame
// coordinates, clipped to the frame) into `grey`, which is (re)created at the
// frame's size; pixels outside the region keep whatever `grey` held, so a
// reused buffer costs only the region. Grey values equal OpenCV's RGB-to-grey
// conversion of the same colours, whatever the layout. `scratch` holds the
// region of a bottom-up frame before it is flipped into place.
void convertToGrey(const FrameView& frame, const cv::Rect& region, cv::Mat& grey, cv::Mat& scratch);

}  // namespace plugin
}  // namespace zeq
