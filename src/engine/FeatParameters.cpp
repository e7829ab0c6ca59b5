#include "engine/FeatParameters.h"

#include <cstdint>

#include "engine/RecordFile.h"

namespace zeq {

namespace {
using io::writeInt;
}  // namespace

int writeFeatParameters(FILE* f, const FeatParameters& p) {
  const std::int32_t warp[2] = {p.warpSize.width, p.warpSize.height};
  if (std::fwrite(warp, sizeof(warp), 1, f) != 1) return -1;
  if (!writeInt(f, p.numBins) || !writeInt(f, p.cellSize) || !writeInt(f, p.patchSize)) return -1;
  if (!writeInt(f, p.signedOrientation ? 1 : 0) || !writeInt(f, p.sqrtIntensity ? 1 : 0)) return -1;
  return 0;
}

int readFeatParameters(FILE* f, FeatParameters& p) {
  if (!f) return -1;
  io::Reader in(f);
  return readFeatParameters(in, p);
}

int readFeatParameters(io::Reader& in, FeatParameters& p) {
  std::int32_t warp[2];
  if (in.read(warp, sizeof(warp), 1) != 1) return -1;
  p.warpSize = cv::Size_<int>(warp[0], warp[1]);
  std::int32_t v = 0;
  if (!in.readInt(v)) return -1;
  p.numBins = v;
  if (!in.readInt(v)) return -1;
  p.cellSize = v;
  if (!in.readInt(v)) return -1;
  p.patchSize = v;
  std::int32_t signedWord = 0;
  std::int32_t sqrtWord = 0;
  if (!in.readInt(signedWord) || !in.readInt(sqrtWord)) return -1;
  p.signedOrientation = signedWord != 0;
  p.sqrtIntensity = sqrtWord != 0;
  return 0;
}

int saveFeatParameters(const char* path, const FeatParameters& p) {
  return io::withFile(path, "wb", [&p](FILE* f) { return writeFeatParameters(f, p); });
}

int loadFeatParameters(const char* path, FeatParameters& p) {
  return io::withFile(path, "rb", [&p](FILE* f) { return readFeatParameters(f, p); });
}

bool featParametersUsable(const FeatParameters& p) {
  return p.numBins >= 1 && p.numBins <= 512 && p.cellSize >= 1 && p.cellSize <= 64 &&
         p.patchSize >= p.cellSize && p.patchSize <= 256 && p.warpSize.width >= 8 &&
         p.warpSize.width <= 2048 && p.warpSize.height >= 8 && p.warpSize.height <= 2048;
}

}  // namespace zeq

namespace zeq {

std::string featParametersProblem(const FeatParameters& p) {
  const bool withinBudget = p.warpSize.width <= kMaxModelWarpSide && p.warpSize.height <= kMaxModelWarpSide &&
                            p.numBins <= kMaxModelBins && p.cellSize <= kMaxModelCell &&
                            p.patchSize <= kMaxModelPatch;
  if (featParametersUsable(p) && withinBudget) return std::string();
  char text[256];
  std::snprintf(text, sizeof(text),
                "the feature parameters are out of range (warp %d x %d, %d bins, cell %d, patch %d; accepted: warp "
                "8..%d per side, 1..%d bins, cell 1..%d, patch cell..%d)",
                p.warpSize.width, p.warpSize.height, p.numBins, p.cellSize, p.patchSize, kMaxModelWarpSide,
                kMaxModelBins, kMaxModelCell, kMaxModelPatch);
  return text;
}

}  // namespace zeq
