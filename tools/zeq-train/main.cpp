// zeq-train: trains the combined tracker model ("zeqTracker.model") from
// folders of face photos with 68- or 66-point .pts annotations.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "Augment.h"
#include "Dataset.h"
#include "Trainer.h"

namespace {

using namespace zeq::train;

void usage() {
  std::printf(
      "usage: zeq-train --human DIR [--extra DIR] --out FILE [options]\n"
      "  --human DIR        photos with people's annotations; split by file name into\n"
      "                     validation (never used), tuning and fitting photos\n"
      "  --extra DIR        further photos with weaker labels, all used for fitting\n"
      "  --extra-limit N    use at most N of them (evenly spaced)\n"
      "  --cascade FILE     face detector used to learn the placement error\n"
      "                     (default /usr/share/opencv4/haarcascades/haarcascade_frontalface_default.xml)\n"
      "  --out FILE         model file to write\n"
      "  --threads N        worker threads (default 2)\n"
      "  --seed N           random seed (default 1)\n"
      "  --min-stages N, --max-stages N   cascade length bounds (default 3, 6)\n"
      "  --starts-scale X   multiply the number of starts per photo (default 1)\n"
      "  --budget-minutes X stop adding stages when the next would exceed this (default 55)\n"
      "  --strong-scale X   further multiplier for the starts of the human-annotated photos\n"
      "  --reference-box X  landmark box side of the frontal reference in the normalised frame (default 100)\n"
      "  --shape-variance P, --shape-modes N   non-rigid modes of the shape models: enough for P %% of\n"
      "                     the variance, at most N (default 99.5, 40)\n"
      "  --stage-gain P     a stage that improves the tuning error by less than P %% is dropped and\n"
      "                     training stops (default 2)\n"
      "  --occluded-starts X starts per human-annotated photo copy with a synthetic occluder over\n"
      "                     part of the face, for the classifiers (default 3; other photos 1/6 of it)\n"
      "  --occluded-cascades the regression cascades train on the occluded starts too\n"
      "  --track-width X    multiply the spread of the frame-to-frame starts (default 1)\n"
      "  --alter X          altered copies per human-annotated fitting photo: turned in the image plane\n"
      "                     (up to --alter-angle degrees, default 30), rescaled, blurred, noisy, other\n"
      "                     gamma, JPEG-compressed (default 0)\n"
      "  --alter-extra X    altered copies per further photo (default 0)\n"
      "  --cascades-from FILE take the regression cascades of a model trained on the same data with\n"
      "                     the same options instead of training them (to retrain only the classifiers)\n");
}

// Altered copies of the fitting photos (never of the tuning ones): `human`
// and `extra` expected copies per photo of each kind.
std::vector<Photo> alteredCopies(const std::vector<Photo>& photos, double human, double extra,
                                 const AlterationRanges& ranges, unsigned seed, int threads) {
  struct Job {
    std::size_t photo;
    unsigned seed;
  };
  std::mt19937 rng(seed ^ 0x5eedu);
  std::vector<Job> jobs;
  for (std::size_t i = 0; i < photos.size(); ++i) {
    if (photos[i].tune) continue;
    const double expected = photos[i].strong ? human : extra;
    int n = static_cast<int>(expected);
    if (std::uniform_real_distribution<double>(0, 1)(rng) < expected - n) ++n;
    for (int k = 0; k < n; ++k) jobs.push_back({i, static_cast<unsigned>(rng())});
  }
  std::vector<Photo> out(jobs.size());
  parallelRange(static_cast<int>(jobs.size()), threads, [&](int, int j) {
    const Photo& p = photos[jobs[j].photo];
    std::mt19937 local(jobs[j].seed);
    Photo& c = out[j];
    c = p;
    alterPhoto(p.grey, p.truth, randomAlteration(ranges, local), jobs[j].seed, c.grey, c.truth);
    c.yaw = yawOf(c.truth);
    c.altered = true;
  });
  return out;
}

bool argValue(int& i, int argc, char** argv, const char* name, std::string& out) {
  if (std::strcmp(argv[i], name) != 0) return false;
  if (i + 1 >= argc) {
    std::printf("missing value for %s\n", name);
    std::exit(2);
  }
  out = argv[++i];
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string humanDir, extraDir, outPath, cascadesFrom;
  std::string cascadePath = "/usr/share/opencv4/haarcascades/haarcascade_frontalface_default.xml";
  int extraLimit = -1;
  double startsScale = 1.0, strongScale = 1.0;
  double alterHuman = 0.0, alterExtra = 0.0;
  double trackWidth = 1.0;
  AlterationRanges ranges;
  TrainOptions opt;
  for (int i = 1; i < argc; ++i) {
    std::string v;
    if (argValue(i, argc, argv, "--human", humanDir) || argValue(i, argc, argv, "--extra", extraDir) ||
        argValue(i, argc, argv, "--out", outPath) || argValue(i, argc, argv, "--cascade", cascadePath) ||
        argValue(i, argc, argv, "--cascades-from", cascadesFrom))
      continue;
    if (argValue(i, argc, argv, "--extra-limit", v)) extraLimit = std::atoi(v.c_str());
    else if (argValue(i, argc, argv, "--threads", v)) opt.threads = std::max(1, std::atoi(v.c_str()));
    else if (argValue(i, argc, argv, "--seed", v)) opt.seed = static_cast<unsigned>(std::strtoul(v.c_str(), nullptr, 10));
    else if (argValue(i, argc, argv, "--min-stages", v)) opt.minStages = std::max(1, std::atoi(v.c_str()));
    else if (argValue(i, argc, argv, "--max-stages", v)) opt.maxStages = std::max(1, std::atoi(v.c_str()));
    else if (argValue(i, argc, argv, "--starts-scale", v)) startsScale = std::atof(v.c_str());
    else if (argValue(i, argc, argv, "--budget-minutes", v)) opt.timeBudgetSeconds = 60.0 * std::atof(v.c_str());
    else if (argValue(i, argc, argv, "--strong-scale", v)) strongScale = std::atof(v.c_str());
    else if (argValue(i, argc, argv, "--reference-box", v)) opt.referenceBox = std::atof(v.c_str());
    else if (argValue(i, argc, argv, "--shape-variance", v)) opt.shape.varianceKept = std::atof(v.c_str()) / 100.0;
    else if (argValue(i, argc, argv, "--shape-modes", v)) opt.shape.maxModes = std::max(1, std::atoi(v.c_str()));
    else if (argValue(i, argc, argv, "--stage-gain", v)) opt.stageGainStop = std::atof(v.c_str()) / 100.0;
    else if (argValue(i, argc, argv, "--occluded-starts", v)) opt.strongOccludedStarts = std::atof(v.c_str());
    else if (argValue(i, argc, argv, "--track-width", v)) trackWidth = std::atof(v.c_str());
    else if (argValue(i, argc, argv, "--alter", v)) alterHuman = std::atof(v.c_str());
    else if (argValue(i, argc, argv, "--alter-extra", v)) alterExtra = std::atof(v.c_str());
    else if (argValue(i, argc, argv, "--alter-angle", v)) ranges.maxAngleDeg = std::atof(v.c_str());
    else if (std::strcmp(argv[i], "--occluded-cascades") == 0) opt.occludedInCascades = true;
    else {
      usage();
      return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
    }
  }
  if (humanDir.empty() || outPath.empty()) {
    usage();
    return 2;
  }
  opt.minStages = std::min(opt.minStages, opt.maxStages);
  auto scaled = [startsScale](int n) { return std::max(1, static_cast<int>(std::lround(n * startsScale))); };
  opt.strongDetectionStarts = scaled(static_cast<int>(std::lround(opt.strongDetectionStarts * strongScale)));
  opt.strongTrackingStarts = scaled(static_cast<int>(std::lround(opt.strongTrackingStarts * strongScale)));
  opt.weakDetectionStarts = scaled(opt.weakDetectionStarts);
  opt.weakTrackingStarts = scaled(opt.weakTrackingStarts);
  opt.weakOccludedStarts = opt.strongOccludedStarts / 6.0;
  opt.trackTranslation *= trackWidth;
  opt.trackLogScale *= trackWidth;
  opt.trackRotationDeg *= trackWidth;
  opt.trackNonRigid *= trackWidth;
  // Our own threads do the parallel work; nested OpenCV threads would only compete.
  cv::setNumThreads(1);

  std::vector<Photo> photos;
  {
    const std::vector<std::string> files = listAnnotatedImages(humanDir);
    std::vector<std::string> fit, tune;
    int validation = 0;
    for (const auto& f : files) {
      const Split s = splitOf(f);
      if (s == Split::Fit) fit.push_back(f);
      else if (s == Split::Tune) tune.push_back(f);
      else ++validation;
    }
    std::printf("human photos: %zu (fitting %zu, tuning %zu, validation %d held out)\n", files.size(), fit.size(),
                tune.size(), validation);
    photos = loadPhotos(humanDir, fit, true, false, opt.threads);
    std::vector<Photo> t = loadPhotos(humanDir, tune, true, true, opt.threads);
    for (auto& p : t) photos.push_back(std::move(p));
  }
  if (!extraDir.empty()) {
    std::vector<std::string> files = listAnnotatedImages(extraDir);
    if (extraLimit >= 0 && static_cast<int>(files.size()) > extraLimit) {
      std::vector<std::string> kept;
      for (int i = 0; i < extraLimit; ++i) kept.push_back(files[static_cast<std::size_t>(i) * files.size() / extraLimit]);
      files.swap(kept);
    }
    std::vector<Photo> extra = loadPhotos(extraDir, files, false, false, opt.threads);
    std::printf("extra photos: %zu\n", extra.size());
    for (auto& p : extra) photos.push_back(std::move(p));
  }
  if (alterHuman > 0 || alterExtra > 0) {
    std::vector<Photo> altered = alteredCopies(photos, alterHuman, alterExtra, ranges, opt.seed, opt.threads);
    std::printf("altered copies: %zu (turned up to %.0f degrees, rescaled, blurred, noisy, gamma, JPEG)\n",
                altered.size(), ranges.maxAngleDeg);
    for (auto& p : altered) photos.push_back(std::move(p));
  }
  std::vector<Photo> originals;
  for (const auto& p : photos)
    if (p.strong && !p.altered) originals.push_back(p);
  {
    const std::size_t n = photos.size();
    photos.reserve(2 * n);
    for (std::size_t i = 0; i < n; ++i) photos.push_back(mirrorPhoto(photos[i]));
  }
  {
    int bins[8] = {0};
    for (const auto& p : photos) bins[std::min(7, static_cast<int>(std::abs(p.yaw) / 10))]++;
    std::printf("photo copies (with mirrored): %zu; |yaw| by 10 degrees:", photos.size());
    for (int b = 0; b < 8; ++b) std::printf(" %d", bins[b]);
    std::printf("\n");
  }

  Trainer tr(photos, opt);
  std::printf("3D reference face\n");
  tr.buildReference3D();
  std::printf("shape models\n");
  tr.buildShapeModels();
  {
    int found = 0;
    std::vector<PlacementError> errors = measurePlacement(originals, cascadePath, tr.reference(kFrontal), opt.threads, found);
    if (errors.empty()) {
      std::printf("the detector %s found no annotated face\n", cascadePath.c_str());
      return 1;
    }
    double mx = 0, my = 0, ms = 0, sx = 0, sy = 0, ss = 0, placedError = 0;
    for (const auto& e : errors) {
      placedError += e.placedError;
      mx += e.dx;
      my += e.dy;
      ms += e.logScale;
    }
    mx /= errors.size();
    my /= errors.size();
    ms /= errors.size();
    for (const auto& e : errors) {
      sx += (e.dx - mx) * (e.dx - mx);
      sy += (e.dy - my) * (e.dy - my);
      ss += (e.logScale - ms) * (e.logScale - ms);
    }
    std::printf("detector placement: face found in %d of %zu photos; error in RMS face sizes: x %.3f +- %.3f, "
                "y %.3f +- %.3f, log scale %.3f +- %.3f; mean normalised error of the placed shape %.4f\n",
                found, originals.size(), mx, std::sqrt(sx / errors.size()), my, std::sqrt(sy / errors.size()), ms,
                std::sqrt(ss / errors.size()), placedError / errors.size());
    tr.setPlacementErrors(std::move(errors));
  }
  originals.clear();
  std::printf("starts (%.0f s)\n", tr.elapsed());
  tr.makeSamples();
  std::printf("regression cascades (%.0f s)\n", tr.elapsed());
  if (cascadesFrom.empty()) {
    tr.trainCascades();
  } else if (!tr.takeCascades(cascadesFrom)) {
    std::printf("cannot take the regression cascades from %s\n", cascadesFrom.c_str());
    return 1;
  }
  std::printf("classifiers (%.0f s)\n", tr.elapsed());
  tr.trainClassifiers();
  tr.build3D();

  std::unique_ptr<zeq::FaceTracker> model = tr.assemble();
  if (model->save(outPath.c_str()) != 0) {
    std::printf("cannot write %s\n", outPath.c_str());
    return 1;
  }
  zeq::FaceTracker check;
  if (check.load(outPath.c_str()) != 0 || check.frontalRegressors.size() != model->frontalRegressors.size() ||
      !check.hasModel3D || !check.hasFeatureParameters) {
    std::printf("the written model %s does not read back\n", outPath.c_str());
    return 1;
  }
  std::error_code ec;
  const auto bytes = std::filesystem::file_size(outPath, ec);
  std::printf("wrote %s: %zu stages per view, %.1f MB, %.1f min in total\n", outPath.c_str(),
              model->frontalRegressors.size(), bytes / 1e6, tr.elapsed() / 60);
  return 0;
}
