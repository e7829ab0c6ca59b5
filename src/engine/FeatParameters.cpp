#include "engine/FeatParameters.h"

#include <cstdint>

#include "engine/RecordFile.h"

namespace zeq {

namespace {
using io::readInt;
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
  std::int32_t warp[2];
  if (std::fread(warp, sizeof(warp), 1, f) != 1) return -1;
  p.warpSize = cv::Size_<int>(warp[0], warp[1]);
  std::int32_t v = 0;
  if (!readInt(f, v)) return -1;
  p.numBins = v;
  if (!readInt(f, v)) return -1;
  p.cellSize = v;
  if (!readInt(f, v)) return -1;
  p.patchSize = v;
  std::int32_t signedWord = 0;
  std::int32_t sqrtWord = 0;
  if (!readInt(f, signedWord) || !readInt(f, sqrtWord)) return -1;
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
