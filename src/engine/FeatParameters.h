#pragma once
#include <cstdio>
#include <string>

#include <opencv2/core.hpp>

#include "engine/Reader.h"

namespace zeq {

// Parameters of the local appearance descriptor. warpSize is the size of the
// normalised face image the tracker warps each frame into.
struct FeatParameters {
  cv::Size_<int> warpSize{128, 128};
  int numBins = 16;
  int cellSize = 8;
  int patchSize = 32;
  bool signedOrientation = true;
  bool sqrtIntensity = true;
};

// 28-byte record: warp width, warp height, numBins, cellSize, patchSize,
// signedOrientation, sqrtIntensity, each an int32. 0 on success, -1 on failure.
int writeFeatParameters(FILE* f, const FeatParameters& p);
int readFeatParameters(FILE* f, FeatParameters& p);
int readFeatParameters(io::Reader& in, FeatParameters& p);
int saveFeatParameters(const char* path, const FeatParameters& p);
int loadFeatParameters(const char* path, FeatParameters& p);

// Values the descriptor and the warp can work with without absurd allocations:
// 1..512 bins, a cell of 1..64 pixels no larger than the patch, a patch of at
// most 256 pixels and a warp of 8..2048 pixels per side.
bool featParametersUsable(const FeatParameters& p);

// Largest parameters a model may carry: beyond them a frame no longer fits the
// real-time budget (the histogram image grows with warp area x bins, and every
// stage reads (patch / cell)^2 x bins values per landmark).
constexpr int kMaxModelWarpSide = 256;
constexpr int kMaxModelBins = 16;
constexpr int kMaxModelCell = 32;
constexpr int kMaxModelPatch = 64;

// Why a model's parameters are refused (outside the descriptor's limits or the
// real-time bounds above), or "" when they are accepted.
std::string featParametersProblem(const FeatParameters& p);

}  // namespace zeq
