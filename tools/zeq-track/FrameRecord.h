#pragma once
#include <array>

namespace zeqtrack {

// Everything the host can read back about one frame.
struct FrameRecord {
  static constexpr int kPoints = 30;

  long index = 0;
  int status = 0;
  bool tracked = false;  // status > 0: every field below is valid
  double milliseconds = 0.0;
  std::array<float, 2 * kPoints> points{};  // x, y interleaved, pixels of the frame
  std::array<float, kPoints> confidence{};
  float pitch = 0.0f, yaw = 0.0f, roll = 0.0f;  // radians
  std::array<float, 3> translation{};            // pinhole camera frame, 3D-shape units
  std::array<float, 2> position{};               // head position in the image, pixels
  float scale = 0.0f;                            // pixels per model unit
  std::array<float, 3> scale3D{{1.0f, 1.0f, 1.0f}};
  bool hasTransform = false;
  std::array<float, 16> transform{};  // 4 x 4, column by column

  float meanConfidence() const {
    float sum = 0.0f;
    for (float c : confidence) sum += c;
    return sum / kPoints;
  }
};

}  // namespace zeqtrack
