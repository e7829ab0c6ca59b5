#include "plugin/FrameConversion.h"

#include <opencv2/imgproc.hpp>

namespace zeq {
namespace plugin {

int bytesPerPixel(int format) {
  switch (format) {
    case kRGBA32:
    case kBGRA32:
    case kARGB32:
      return 4;
    case kRGB24:
    case kBGR24:
      return 3;
    case kGrey8:
      return 1;
    default:
      return 0;
  }
}

bool validLayout(const FrameView& frame) {
  const int bpp = bytesPerPixel(frame.format);
  if (bpp == 0 || frame.width < 1 || frame.height < 1) return false;
  return frame.rowBytes >= static_cast<std::size_t>(frame.width) * static_cast<std::size_t>(bpp);
}

namespace {

// OpenCV's fixed-point weights for 8-bit RGB to grey (14 fractional bits), so
// the one pixel converted by hand matches its vector code exactly.
unsigned char greyOf(int r, int g, int b) {
  return static_cast<unsigned char>((r * 4899 + g * 9617 + b * 1868 + (1 << 13)) >> 14);
}

// ARGB has no OpenCV code. Seen one byte late, a row reads as RGBA for all but
// its last pixel (whose alpha would lie past the row), which is done by hand.
void argbToGrey(const cv::Mat& argb, cv::Mat& out) {
  const int w = argb.cols;
  for (int y = 0; y < argb.rows; ++y) {
    const unsigned char* row = argb.ptr<unsigned char>(y);
    unsigned char* dst = out.ptr<unsigned char>(y);
    if (w > 1) {
      const cv::Mat shifted(1, w - 1, CV_8UC4, const_cast<unsigned char*>(row + 1));
      cv::Mat target(1, w - 1, CV_8UC1, dst);
      cv::cvtColor(shifted, target, cv::COLOR_RGBA2GRAY);
    }
    const unsigned char* last = row + 4 * (w - 1);
    dst[w - 1] = greyOf(last[1], last[2], last[3]);
  }
}

// Converts a block of stored rows (already in the buffer's own order) into
// `out`, which has the block's size.
void convertBlock(const cv::Mat& stored, int format, cv::Mat& out) {
  switch (format) {
    case kRGBA32:
      cv::cvtColor(stored, out, cv::COLOR_RGBA2GRAY);
      break;
    case kBGRA32:
      cv::cvtColor(stored, out, cv::COLOR_BGRA2GRAY);
      break;
    case kARGB32:
      argbToGrey(stored, out);
      break;
    case kRGB24:
      cv::cvtColor(stored, out, cv::COLOR_RGB2GRAY);
      break;
    case kBGR24:
      cv::cvtColor(stored, out, cv::COLOR_BGR2GRAY);
      break;
    default:
      stored.copyTo(out);
      break;
  }
}

int matType(int format) {
  const int bpp = bytesPerPixel(format);
  return bpp == 4 ? CV_8UC4 : bpp == 3 ? CV_8UC3 : CV_8UC1;
}

}  // namespace

void convertToGrey(const FrameView& frame, const cv::Rect& region, cv::Mat& grey, cv::Mat& scratch) {
  grey.create(frame.height, frame.width, CV_8UC1);
  const cv::Rect r = region & cv::Rect(0, 0, frame.width, frame.height);
  if (r.empty()) return;
  const cv::Mat whole(frame.height, frame.width, matType(frame.format), const_cast<unsigned char*>(frame.pixels),
                      frame.rowBytes);
  cv::Mat target = grey(r);
  if (!frame.bottomUp) {
    convertBlock(whole(r), frame.format, target);
    return;
  }
  // Top-down rows r.y .. r.y + h - 1 are stored at rows height - r.y - h .. height - r.y - 1:
  // convert them in stored order, then flip only the grey block into place.
  const cv::Rect stored(r.x, frame.height - r.y - r.height, r.width, r.height);
  scratch.create(r.height, r.width, CV_8UC1);
  convertBlock(whole(stored), frame.format, scratch);
  cv::flip(scratch, target, 0);
}

}  // namespace plugin
}  // namespace zeq
