#pragma once
// The 66-landmark layout every part of the system agrees on: the engine's
// fallbacks, the facade's placement and published subset, the trainer and the
// evaluator all read it from here.
#include <array>

namespace zeq {
namespace layout {

constexpr int kLandmarks = 66;
constexpr int kShapeRows = 2 * kLandmarks;

// A run of consecutive landmarks.
struct Span {
  int first;
  int count;
  constexpr int end() const { return first + count; }
};

constexpr Span kContour{0, 17};     // image-left end over the chin to the image-right end
constexpr Span kBrows{17, 10};
constexpr Span kNoseBridge{27, 4};  // top to tip
constexpr Span kLowerNose{31, 5};
constexpr Span kFirstEye{36, 6};    // image-left eye: outer corner, upper lid, inner corner, lower lid
constexpr Span kSecondEye{42, 6};   // image-right eye: inner corner, upper lid, outer corner, lower lid
constexpr Span kOuterLips{48, 12};
constexpr Span kInnerLips{60, 6};

constexpr int kChin = 8;
constexpr int kNoseTip = 30;
constexpr int kFirstOuterEyeCorner = 36;
constexpr int kFirstInnerEyeCorner = 39;
constexpr int kSecondInnerEyeCorner = 42;
constexpr int kSecondOuterEyeCorner = 45;

// Landmarks the deformable 3D model fits when the model lists none: all but
// the contour, whose 2D position slides along the cheek as the head turns.
constexpr Span kFitted3D{kBrows.first, kLandmarks - kBrows.first};

// The 30 landmarks the plug-in publishes, in output order.
constexpr int kPublishedCount = 30;
inline constexpr std::array<int, kPublishedCount> kPublished = {2,  5,  8,  11, 14, 18, 21, 22, 25, 27,
                                                         30, 31, 33, 35, 36, 38, 39, 40, 42, 43,
                                                         45, 47, 48, 50, 52, 54, 56, 58, 61, 64};

// The highest landmark index among the published ones: a shape must reach it.
constexpr int highestPublished() {
  int m = 0;
  for (int i : kPublished) m = i > m ? i : m;
  return m;
}

// The landmark that takes the place of landmark i in the mirror image of a face.
constexpr std::array<int, kLandmarks> mirrorPermutation() {
  std::array<int, kLandmarks> p{};
  for (int i = 0; i < kLandmarks; ++i) p[i] = i;
  auto pair = [&p](int a, int b) {
    p[a] = b;
    p[b] = a;
  };
  for (int i = 0; i < 8; ++i) pair(i, 16 - i);       // contour; the chin stays
  for (int i = 0; i < 5; ++i) pair(17 + i, 26 - i);  // brows
  pair(31, 35);                                       // nostrils; the nose's centre stays
  pair(32, 34);
  pair(36, 45);  // outer eye corners
  pair(37, 44);
  pair(38, 43);
  pair(39, 42);  // inner eye corners
  pair(40, 47);
  pair(41, 46);
  for (int i = 0; i < 3; ++i) pair(48 + i, 54 - i);  // upper outer lip; its centre stays
  pair(55, 59);                                       // lower outer lip
  pair(56, 58);
  pair(60, 62);  // upper inner lip
  pair(63, 65);  // lower inner lip
  return p;
}

inline constexpr std::array<int, kLandmarks> kMirror = mirrorPermutation();

}  // namespace layout
}  // namespace zeq
