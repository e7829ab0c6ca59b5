// Construction of the tracking engine and everything that fills or stores its
// trained models: the combined model file and the component files.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "engine/FaceTracker.h"
#include "engine/MatrixRecord.h"
#include "engine/RecordFile.h"

namespace zeq {

namespace {

// A real cascade has a handful of stages; a count beyond this is a corrupt file,
// and refusing it keeps a bad word from allocating thousands of stages.
constexpr int kMaxStages = 64;

// Composed component file names live in a buffer of this size.
constexpr std::size_t kNameSize = 256;

// Landmarks 17..65 of the 66-point face form the deformable 3D subset when the
// model carries no explicit index table.
constexpr int kDefaultLandmarks = 66;
constexpr int kDefaultDeformablePoints = 49;

using io::readInt;
using io::writeInt;

bool hasElements(const cv::Mat& m) { return m.data && m.total() > 0; }

// snprintf into a fixed name buffer; false when the name would not fit, so a long
// base name is refused instead of silently opening a truncated path.
bool composeName(char (&name)[kNameSize], const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(name, kNameSize, format, args);
  va_end(args);
  return length >= 0 && static_cast<std::size_t>(length) < kNameSize;
}

const char* printable(const char* s) { return s ? s : "(null)"; }

// Prints a loader message on standard output and returns it without its
// trailing newline, so that the host can read the same reason later.
std::string say(const char* format, ...) {
  char text[2 * kNameSize + 256];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  if (length < 0) return std::string();
  std::fputs(text, stdout);
  std::string message(text, static_cast<std::size_t>(length) < sizeof(text) ? static_cast<std::size_t>(length)
                                                                              : sizeof(text) - 1);
  while (!message.empty() && message.back() == '\n') message.pop_back();
  return message;
}

bool canOpen(const char* path) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  std::fclose(f);
  return true;
}

// Why a set of integer indices cannot be used with `limit` landmarks, or "".
std::string indexProblem(const cv::Mat_<int>& indices, int limit, const char* what) {
  if (!hasElements(indices)) return std::string();
  if (indices.cols != 1 || !indices.isContinuous()) return std::string(what) + " is not a single column";
  for (int i = 0; i < indices.rows; ++i) {
    if (indices(i) < 0 || indices(i) >= limit) return std::string(what) + " holds an index out of range";
  }
  return std::string();
}

// Mean, basis and mode scales agree: a non-empty contiguous mean column of D
// values, a D x K basis and K mode scales. A model without modes (K = 0) is
// fine, whatever layout its empty matrices happen to carry.
bool modelShapesAgree(const LinearModel& m) {
  if (!hasElements(m.mean) || m.mean.cols != 1 || !m.mean.isContinuous()) return false;
  const int k = hasElements(m.basis) ? m.basis.cols : 0;
  if (k == 0) return !hasElements(m.modeScale);
  return m.basis.rows == m.mean.rows && m.basis.isContinuous() && m.modeScale.rows == k &&
         m.modeScale.cols == 1 && m.modeScale.isContinuous();
}

int landmarkCount(const FaceTracker& t) {
  if (t.frontalRegressors.empty()) return 0;
  const cv::Mat_<float>& reference = t.frontalRegressors[0].referenceShape;
  if (reference.cols != 1 || reference.rows < 2 || reference.rows % 2 != 0) return 0;
  return reference.rows / 2;
}

// Why the 2D part of the model (cascades, classifiers, shape models, feature
// parameters, eye index tables) cannot drive the per-frame update, or "".
// The descriptor length follows the engine's own `feature`, which is what every
// stage and classifier will be fed.
std::string coreProblem(const FaceTracker& t) {
  if (t.frontalRegressors.empty() || t.positiveYawRegressors.empty() || t.negativeYawRegressors.empty())
    return "a view cascade is empty";
  const int n = landmarkCount(t);
  if (n < 1) return "the frontal reference shape is not a column of landmark pairs";
  const int block = t.feature.blockLength();
  if (block < 1 || static_cast<std::int64_t>(n) * block > std::numeric_limits<int>::max())
    return "the descriptor length is out of range";
  const int D = n * block;

  const std::vector<LinearShapeRegressor>* cascades[3] = {&t.frontalRegressors, &t.positiveYawRegressors,
                                                          &t.negativeYawRegressors};
  for (const auto* cascade : cascades) {
    for (const auto& stage : *cascade) {
      if (stage.referenceShape.rows != 2 * n || stage.referenceShape.cols != 1)
        return "a regression stage has a reference shape of another landmark count";
      if (stage.mode(n, D) == LinearShapeRegressor::Mode::None)
        return "a regression stage does not fit the landmark count";
    }
  }
  const LinearShapeClassifier* classifiers[3] = {&t.frontalClassifier, &t.positiveYawClassifier,
                                                 &t.negativeYawClassifier};
  for (const auto* classifier : classifiers) {
    if (!classifier->isValidFor(n, D)) return "a classifier does not fit the landmark count";
  }
  const LinearModel* shapeModels[3] = {&t.frontalShapeModel, &t.positiveYawShapeModel, &t.negativeYawShapeModel};
  for (const auto* model : shapeModels) {
    if (model->dimension() != 2 * n || !modelShapesAgree(*model))
      return "a 2D shape model does not fit the landmark count";
  }
  for (const auto& stage : t.eyeRegressors) {
    if (stage.mode(2, 2 * block) == LinearShapeRegressor::Mode::None)
      return "an eye regression stage does not fit two eye centres";
  }
  if (t.hasFeatureParameters) {
    const std::string problem = featParametersProblem(t.featureParameters);
    if (!problem.empty()) return problem;
  }
  std::string problem = indexProblem(t.firstEyeIndices, n, "the first eye index table");
  if (problem.empty()) problem = indexProblem(t.secondEyeIndices, n, "the second eye index table");
  return problem;
}

// The 3D reference must be a column of whole points before anything uses it.
bool referenceShapeUsable(const LinearModel& reference) {
  return modelShapesAgree(reference) && reference.dimension() >= 3 && reference.dimension() % 3 == 0;
}

// Why the 3D index table or the 3D models (when present) cannot be used with
// the 2D model, or "".
std::string model3DProblem(const FaceTracker& t) {
  const int n = landmarkCount(t);
  const std::string landmarks = indexProblem(t.shape3DIndices, n, "the 3D index table");
  if (!landmarks.empty()) return landmarks;
  if (!t.hasModel3D) return std::string();
  if (!referenceShapeUsable(t.referenceModel3D)) return "the 3D reference face is not a column of 3D points";
  const int referencePoints = t.referenceModel3D.dimension() / 3;
  // The 3D fit writes one reference point per 2D landmark.
  if (referencePoints < n) return "the 3D reference face has fewer points than the model has landmarks";
  const std::string indices = indexProblem(t.shape3DIndices, referencePoints, "the 3D index table");
  if (!indices.empty()) return indices;
  const LinearModel& deformation = t.deformationModel3D;
  if (!modelShapesAgree(deformation) || deformation.dimension() < 3 || deformation.dimension() % 3 != 0)
    return "the deformable 3D model is not a column of 3D points";
  int m = 0;
  if (hasElements(t.shape3DIndices)) {
    m = t.shape3DIndices.rows;
  } else if (n == kDefaultLandmarks) {
    m = kDefaultDeformablePoints;
  }
  if (m > 0 && deformation.dimension() != 3 * m)
    return "the deformable 3D model does not cover the fitted landmarks";
  return std::string();
}

// Checks the whole model after loading; false (with the printed message in
// `message`) when it cannot be tracked with. The 3D fit is optional: 3D models
// or a 3D index table that do not fit the 2D model are switched off with a
// warning in `message`, and the model still tracks in 2D.
bool modelUsable(FaceTracker& t, std::string& message) {
  const std::string problem = coreProblem(t);
  const std::string problem3D = model3DProblem(t);
  if (!problem3D.empty()) t.hasModel3D = false;
  if (!problem.empty()) {
    message = say("Inconsistent tracker model: %s\n", problem.c_str());
    return false;
  }
  if (!problem3D.empty()) message = say("Tracker model loaded without the 3D fit: %s\n", problem3D.c_str());
  return true;
}

// Counts the consecutive stage files "<base><i><suffix>" from index 0 and loads
// them into cascade. 0 on success, -1 after printing the matching message.
int loadCascade(std::vector<LinearShapeRegressor>& cascade, const char* base, const char* format,
                bool required, const char* missingMessage, const char* failureMessage, std::string& error) {
  char name[kNameSize];
  int count = 0;
  for (;; ++count) {
    if (!composeName(name, format, base, count)) {
      error = say(count == 0 && required ? missingMessage : failureMessage, base);
      return -1;
    }
    if (!canOpen(name)) break;
    if (count == kMaxStages) {
      error = say(failureMessage, name);
      return -1;
    }
  }
  if (count == 0 && required) {
    error = say(missingMessage, base);
    return -1;
  }
  cascade.resize(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    composeName(name, format, base, i);  // fits: it did while counting
    if (cascade[static_cast<std::size_t>(i)].load(name) != 0) {
      error = say(failureMessage, name);
      return -1;
    }
  }
  return 0;
}

template <typename Model>
int loadComponent(Model& model, const char* base, const char* format, const char* failureMessage,
                  std::string& error) {
  char name[kNameSize];
  if (!composeName(name, format, base)) {
    error = say(failureMessage, base);
    return -1;
  }
  if (model.load(name) != 0) {
    error = say(failureMessage, name);
    return -1;
  }
  return 0;
}

// Items 1 to 10 of the combined format; 0 also when the stream ends at an optional
// flag. carried3D tells whether the stream held a 3D section. On -1, reason
// names the record that could not be read.
int readSections(FaceTracker& t, io::Reader& in, bool& carried3D, std::string& reason) {
  carried3D = false;
  const auto fail = [&reason](const char* what) {
    reason = std::string("Truncated or corrupt tracker model: ") + what;
    return -1;
  };
  std::int32_t stages = 0;
  if (!readInt(in, stages)) return fail("no stage count");
  if (stages < 0 || stages > kMaxStages) return fail("stage count out of range");
  t.frontalRegressors.resize(static_cast<std::size_t>(stages));
  t.positiveYawRegressors.resize(static_cast<std::size_t>(stages));
  t.negativeYawRegressors.resize(static_cast<std::size_t>(stages));
  for (std::size_t i = 0; i < static_cast<std::size_t>(stages); ++i) {
    if (t.frontalRegressors[i].read(in) != 0 || t.positiveYawRegressors[i].read(in) != 0 ||
        t.negativeYawRegressors[i].read(in) != 0)
      return fail("a regression stage");
  }
  std::int32_t eyeStages = 0;
  if (!readInt(in, eyeStages)) return fail("no eye stage count");
  if (eyeStages < 0 || eyeStages > kMaxStages) return fail("eye stage count out of range");
  t.eyeRegressors.resize(static_cast<std::size_t>(eyeStages));
  for (auto& stage : t.eyeRegressors) {
    if (stage.read(in) != 0) return fail("an eye regression stage");
  }
  if (t.frontalClassifier.read(in) != 0 || t.positiveYawClassifier.read(in) != 0 ||
      t.negativeYawClassifier.read(in) != 0)
    return fail("a classifier");
  if (t.frontalShapeModel.read(in) != 0 || t.positiveYawShapeModel.read(in) != 0 ||
      t.negativeYawShapeModel.read(in) != 0)
    return fail("a 2D shape model");

  // Optional sections: a stream that ends at any flag is a complete model.
  std::int32_t flag = 0;
  if (!readInt(in, flag)) return 0;
  if (flag > 0) {
    if (readFeatParameters(in, t.featureParameters) != 0) return fail("the feature parameters");
    t.hasFeatureParameters = true;
  }
  if (!readInt(in, flag)) return 0;
  if (flag > 0) {
    if (t.referenceModel3D.read(in) != 0 || t.deformationModel3D.read(in) != 0) return fail("the 3D models");
    carried3D = true;
    t.hasModel3D = true;
  }
  cv::Mat_<int>* tables[3] = {&t.shape3DIndices, &t.firstEyeIndices, &t.secondEyeIndices};
  for (auto* table : tables) {
    if (!readInt(in, flag)) return 0;
    if (flag > 0 && io::readMat(*table, in) != 0) return fail("an index table");
  }
  return 0;
}

}  // namespace

FaceTracker::FaceTracker()
    : translationTracker(2.0f, cv::Size_<int>(48, 48)),
      warpedImage(cv::Mat::zeros(128, 128, CV_8UC1)),
      outputPoints(),
      outputConfidence(),
      referenceDistances() {
  flowTracker.reset();
}

int FaceTracker::numLandmarks() const { return landmarkCount(*this); }

int FaceTracker::save(const char* path) const {
  if (!path) return -1;
  FILE* f = std::fopen(path, "wb");
  if (!f) return -1;
  int result = write(f);
  // A failed flush on close loses the tail of the model: report it.
  if (std::fclose(f) != 0) result = -1;
  return result;
}

int FaceTracker::write(FILE* f) const {
  if (!f) return -1;
  // One stage count serves all three views, so unequal cascades cannot be stored;
  // counts the reader would refuse are not written either.
  const std::size_t stages = frontalRegressors.size();
  if (positiveYawRegressors.size() != stages || negativeYawRegressors.size() != stages) return -1;
  if (stages > static_cast<std::size_t>(kMaxStages) || eyeRegressors.size() > static_cast<std::size_t>(kMaxStages))
    return -1;

  if (!writeInt(f, static_cast<std::int32_t>(stages))) return -1;
  for (std::size_t i = 0; i < stages; ++i) {
    if (frontalRegressors[i].write(f) != 0) return -1;
    if (positiveYawRegressors[i].write(f) != 0) return -1;
    if (negativeYawRegressors[i].write(f) != 0) return -1;
  }
  if (!writeInt(f, static_cast<std::int32_t>(eyeRegressors.size()))) return -1;
  for (const auto& stage : eyeRegressors) {
    if (stage.write(f) != 0) return -1;
  }
  if (frontalClassifier.write(f) != 0 || positiveYawClassifier.write(f) != 0 || negativeYawClassifier.write(f) != 0)
    return -1;
  if (frontalShapeModel.write(f) != 0 || positiveYawShapeModel.write(f) != 0 || negativeYawShapeModel.write(f) != 0)
    return -1;

  if (!writeInt(f, hasFeatureParameters ? 1 : 0)) return -1;
  if (hasFeatureParameters && writeFeatParameters(f, featureParameters) != 0) return -1;
  if (!writeInt(f, hasModel3D ? 1 : 0)) return -1;
  if (hasModel3D && (referenceModel3D.write(f) != 0 || deformationModel3D.write(f) != 0)) return -1;
  const cv::Mat_<int>* tables[3] = {&shape3DIndices, &firstEyeIndices, &secondEyeIndices};
  for (const auto* table : tables) {
    const bool present = hasElements(*table);
    if (!writeInt(f, present ? 1 : 0)) return -1;
    if (present && io::writeMat(*table, f) != 0) return -1;
  }
  return 0;
}

int FaceTracker::load(const char* path) {
  lastError_.clear();
  const int result = io::withFile(path, "rb", [this](FILE* f) {
    io::Reader in(f);
    return readAndPlace(in);
  });
  if (result != 0 && lastError_.empty()) lastError_ = std::string("Failed loading tracker model from: ") + printable(path);
  return result;
}

int FaceTracker::readAndPlace(io::Reader& in) {
  const int result = read(in);
  if (!frontalRegressors.empty()) initialShape = frontalRegressors[0].referenceShape.clone();
  return result;
}

int FaceTracker::read(FILE* f) { return io::readRecord(f, *this); }

int FaceTracker::read(io::Reader& in) {
  lastError_.clear();
  carried3DSection_ = false;
  if (!in.valid()) return -1;
  if (readSections(*this, in, carried3DSection_, lastError_) != 0) return -1;
  if (!modelUsable(*this, lastError_)) return -1;
  // Only a reference that passed the checks replaces the pose predictor's built-in face.
  if (carried3DSection_ && hasModel3D) posePredictor.setShape(referenceModel3D.mean);
  return 0;
}

int FaceTracker::initialiseWithComponents(const char* frontalBase, const char* positiveYawBase,
                                          const char* negativeYawBase, const char* eyeBase,
                                          const char* featureParametersPath, const char* model3DPath) {
  static const char* const kMissing = "No alignment model found with base name: %s\n";
  static const char* const kPredictor = "Failed loading predictor file: %s\n";
  lastError_.clear();
  const char* bases[3] = {printable(frontalBase), printable(positiveYawBase), printable(negativeYawBase)};
  if (!frontalBase || !positiveYawBase || !negativeYawBase) {
    for (const char* base : {frontalBase, positiveYawBase, negativeYawBase}) {
      if (!base) lastError_ = say(kMissing, printable(base));
    }
    return -1;
  }
  std::vector<LinearShapeRegressor>* cascades[3] = {&frontalRegressors, &positiveYawRegressors,
                                                    &negativeYawRegressors};
  for (int v = 0; v < 3; ++v) {
    if (loadCascade(*cascades[v], bases[v], "%s%d.reg", true, kMissing, kPredictor, lastError_) != 0) return -1;
  }
  LinearShapeClassifier* classifiers[3] = {&frontalClassifier, &positiveYawClassifier, &negativeYawClassifier};
  for (int v = 0; v < 3; ++v) {
    if (loadComponent(*classifiers[v], bases[v], "%s.classifier", "Failed loading classifier file: %s\n",
                      lastError_) != 0)
      return -1;
  }
  LinearModel* shapeModels[3] = {&frontalShapeModel, &positiveYawShapeModel, &negativeYawShapeModel};
  for (int v = 0; v < 3; ++v) {
    if (loadComponent(*shapeModels[v], bases[v], "%s.shape", "Failed loading shape model from: %s\n",
                      lastError_) != 0)
      return -1;
  }
  // The eye cascade is optional: no base name or no file with index 0 leaves it empty.
  if (eyeBase) {
    static const char* const kEye = "Failed loading eye predictor from: %s\n";
    if (loadCascade(eyeRegressors, eyeBase, "%s%d.eyes", false, kEye, kEye, lastError_) != 0) return -1;
  } else {
    eyeRegressors.clear();
  }

  hasFeatureParameters = false;
  if (featureParametersPath) {
    if (loadFeatParameters(featureParametersPath, featureParameters) != 0) {
      lastError_ = say("Failed loading feature parameters from: %s\n", featureParametersPath);
      return -1;
    }
    hasFeatureParameters = true;
  }

  hasModel3D = false;
  if (model3DPath) {
    FILE* f = std::fopen(model3DPath, "rb");
    if (!f) {
      // A missing 3D file only disables the 3D fit.
      lastError_ = say("Failed loading 3D shape model from: %s\n", model3DPath);
    } else {
      hasModel3D = true;
      if (referenceModel3D.read(f) != 0) hasModel3D = false;
      if (deformationModel3D.read(f) != 0) hasModel3D = false;
      // The index table is optional; a torn record must not leave half-read indices behind.
      cv::Mat_<int> indices;
      if (io::readMat(indices, f) == 0) shape3DIndices = indices;
      std::fclose(f);
    }
  }

  // A warning about the 3D file is kept unless the checks have something to say.
  std::string message;
  const bool usable = modelUsable(*this, message);
  if (!message.empty()) lastError_ = message;
  return usable ? 0 : -1;
}

int FaceTracker::initialiseWithCombinedModel(const std::string& directory) {
  if (load((directory + "/zeqTracker.model").c_str()) < 0) return -1;
  if (hasModel3D || carried3DSection_) return 0;
  const std::string path3D = directory + "/3d.pts";
  FILE* f = std::fopen(path3D.c_str(), "rb");
  if (!f) {
    lastError_ = "Failed loading 3D shape model from: " + path3D;
    return -1;
  }
  const bool ok = referenceModel3D.read(f) == 0 && deformationModel3D.read(f) == 0;
  std::fclose(f);
  if (!ok) {
    lastError_ = "Failed loading 3D shape model from: " + path3D;
    return -1;
  }
  hasModel3D = true;
  lastError_.clear();
  return modelUsable(*this, lastError_) ? 0 : -1;
}

int FaceTracker::initialiseWithCombinedModel(const unsigned char* data, std::size_t size) {
  lastError_.clear();
  if (!data || size == 0) {
    lastError_ = "No tracker model data";
    return -1;
  }
  io::Reader in(data, size);
  if (readAndPlace(in) < 0) return -1;
  if (hasModel3D || carried3DSection_) return 0;
  // A directory would supply the 3D models in a separate file; memory has none.
  lastError_ = "The tracker model carries no 3D section";
  return -1;
}

}  // namespace zeq
