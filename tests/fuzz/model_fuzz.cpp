// Feeds arbitrary bytes to every model reader, and runs two frames through any
// model that the loader accepts: whatever loads must track without crashing.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include <opencv2/core.hpp>

#include "engine/FaceTracker.h"
#include "engine/FeatParameters.h"
#include "engine/LinearModel.h"
#include "engine/LinearShapeClassifier.h"
#include "engine/LinearShapeRegressor.h"
#include "engine/MatrixRecord.h"
#include "engine/Reader.h"

namespace {

constexpr int kSide = 96;

const cv::Mat_<unsigned char>& frame() {
  static const cv::Mat_<unsigned char> image = [] {
    cv::Mat_<unsigned char> m(kSide, kSide);
    cv::RNG rng(3);
    rng.fill(m, cv::RNG::UNIFORM, 0, 256);
    return m;
  }();
  return image;
}

void track(zeq::FaceTracker& t) {
  if (!t.reset(16, 16, 64, 64)) return;
  for (int i = 0; i < 2; ++i) t.update(frame().ptr(), kSide, kSide);
}

template <typename Record>
void readRecord(const std::uint8_t* data, std::size_t size) {
  zeq::io::Reader in(data, size);
  Record r;
  r.read(in);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The loaders print every refusal; millions of them only slow the run down.
  if (!std::freopen("/dev/null", "w", stdout)) return 0;
  cv::setNumThreads(1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  {
    zeq::io::Reader in(data, size);
    zeq::FeatParameters p;
    zeq::readFeatParameters(in, p);
  }
  {
    zeq::io::Reader in(data, size);
    cv::Mat_<float> m;
    zeq::io::readMat(m, in);
  }
  readRecord<zeq::LinearModel>(data, size);
  readRecord<zeq::LinearShapeRegressor>(data, size);
  readRecord<zeq::LinearShapeClassifier>(data, size);

  auto tracker = std::make_unique<zeq::FaceTracker>();
  if (tracker->initialiseWithCombinedModel(data, size) == 0) {
    track(*tracker);
    return 0;
  }
  // A model without 3D section is refused from memory, yet tracks when a 3D
  // file completes it: read it as such a model, without the file.
  auto bare = std::make_unique<zeq::FaceTracker>();
  zeq::io::Reader in(data, size);
  if (bare->read(in) == 0 && !bare->frontalRegressors.empty()) {
    bare->initialShape = bare->frontalRegressors[0].referenceShape.clone();
    track(*bare);
  }
  return 0;
}
