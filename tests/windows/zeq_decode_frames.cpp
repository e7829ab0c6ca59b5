// Decodes the first frames of a video into the raw RGBA file that zeq_host
// reads, so that a host without video decoding (the Windows build under Wine)
// sees exactly the pixels the Linux build sees.
//
//   zeq_decode_frames <video> <count> <frames out>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s <video> <count> <frames out>\n", argv[0]);
    return 2;
  }
  const int wanted = std::atoi(argv[2]);
  cv::VideoCapture video(argv[1]);
  if (!video.isOpened() || wanted < 1) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 1;
  }
  std::vector<cv::Mat> frames;
  cv::Mat bgr;
  while (static_cast<int>(frames.size()) < wanted && video.read(bgr) && !bgr.empty()) {
    cv::Mat rgba;
    cv::cvtColor(bgr, rgba, cv::COLOR_BGR2RGBA);
    if (!frames.empty() && rgba.size() != frames.front().size()) break;
    frames.push_back(rgba);
  }
  if (static_cast<int>(frames.size()) < wanted) {
    std::fprintf(stderr, "%s has only %zu frames\n", argv[1], frames.size());
    return 1;
  }
  std::ofstream out(argv[3], std::ios::binary);
  const int32_t header[3] = {frames.front().cols, frames.front().rows, static_cast<int32_t>(frames.size())};
  out.write(reinterpret_cast<const char*>(header), sizeof header);
  for (const cv::Mat& f : frames)
    out.write(reinterpret_cast<const char*>(f.data), static_cast<std::streamsize>(f.total() * f.elemSize()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s\n", argv[3]);
    return 1;
  }
  return 0;
}
