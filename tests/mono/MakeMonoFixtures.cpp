// Prepares the data of the C# binding test: a synthetic model directory with the
// face detector, a raw RGBA face frame and a short clip of the same face.
// Usage: zeq_mono_fixtures <output directory> <face picture>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "support/SyntheticModel.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <output directory> <face picture>\n", argv[0]);
    return 2;
  }
  const std::string out = argv[1];
  std::error_code ec;
  std::filesystem::create_directories(out + "/model", ec);
  if (ec || zeq::testing::writeSyntheticModelDir(out + "/model", {}, true) != 0) {
    std::fprintf(stderr, "cannot write the model directory under %s\n", out.c_str());
    return 1;
  }

  const cv::Mat picture = cv::imread(argv[2]);
  if (picture.empty() || picture.cols > 160 || picture.rows > 320) {
    std::fprintf(stderr, "cannot use the face picture %s\n", argv[2]);
    return 1;
  }
  // The face in the upper part of a 160 x 320 frame.
  cv::Mat frame;
  cv::copyMakeBorder(picture, frame, 0, 320 - picture.rows, 0, 160 - picture.cols, cv::BORDER_CONSTANT,
                     cv::Scalar::all(0));

  cv::Mat rgba;
  cv::cvtColor(frame, rgba, cv::COLOR_BGR2RGBA);
  std::ofstream raw(out + "/face.rgba", std::ios::binary);
  const int32_t size[2] = {rgba.cols, rgba.rows};
  raw.write(reinterpret_cast<const char*>(size), sizeof size);
  raw.write(reinterpret_cast<const char*>(rgba.data), static_cast<std::streamsize>(rgba.total() * 4));
  if (!raw) {
    std::fprintf(stderr, "cannot write %s/face.rgba\n", out.c_str());
    return 1;
  }

  cv::VideoWriter clip(out + "/clip.avi", cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 10.0, frame.size(), true);
  if (!clip.isOpened()) {
    std::fprintf(stderr, "cannot write %s/clip.avi\n", out.c_str());
    return 1;
  }
  for (int i = 0; i < 3; ++i) clip.write(frame);
  return 0;
}
