// End-to-end checks of the zeq-track program: it is run as a separate process
// on the first frames of the bundled sample with a synthetic model directory.

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "support/SyntheticModel.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

#ifdef ZEQ_TRACK_EXE
const char* const kExe = ZEQ_TRACK_EXE;
#else
const char* const kExe = nullptr;
#endif

constexpr int kSampleSide = 450;

struct RunResult {
  int code = -1;
  std::string output;  // stdout and stderr together
};

std::string shellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string readText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> readLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

RunResult runTrack(const std::vector<std::string>& args, const std::string& workDir,
                   const std::string& environment = "") {
  const std::string log = workDir + "/log.txt";
  std::string command = environment + shellQuote(kExe);
  for (const auto& a : args) command += " " + shellQuote(a);
  command += " >" + shellQuote(log) + " 2>&1";
  RunResult r;
  const int raw = std::system(command.c_str());
  r.code = (raw != -1 && WIFEXITED(raw)) ? WEXITSTATUS(raw) : -1;
  r.output = readText(log);
  return r;
}

// Numbers of the JSON array that follows "key": in line; empty for null.
std::vector<double> jsonNumbers(const std::string& line, const std::string& key) {
  std::vector<double> values;
  size_t pos = line.find("\"" + key + "\":");
  if (pos == std::string::npos) return values;
  pos += key.size() + 3;
  if (line.compare(pos, 4, "null") == 0) return values;
  int depth = 0;
  for (size_t i = pos; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '[') {
      ++depth;
    } else if (c == ']') {
      if (--depth == 0) break;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      char* end = nullptr;
      values.push_back(std::strtod(line.c_str() + i, &end));
      i = static_cast<size_t>(end - line.c_str()) - 1;
    }
  }
  return values;
}

int jsonInt(const std::string& line, const std::string& key) {
  const size_t pos = line.find("\"" + key + "\":");
  return pos == std::string::npos ? -9999 : std::atoi(line.c_str() + pos + key.size() + 3);
}

void expectPointsInside(const std::vector<double>& xy, int width, int height) {
  for (size_t i = 0; i + 1 < xy.size(); i += 2) {
    EXPECT_GE(xy[i], 0.0);
    EXPECT_LT(xy[i], width);
    EXPECT_GE(xy[i + 1], 0.0);
    EXPECT_LT(xy[i + 1], height);
  }
}

class ZeqTrackTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    modelDir_ = zeq::testing::makeTempDir();
    modelsWritten_ = zeq::testing::writeSyntheticModelDir(modelDir_, {}, true) == 0;
    // A classifier that trusts no landmark: every placement is lost at once.
    lostModelDir_ = zeq::testing::makeTempDir();
    zeq::testing::SyntheticModelOptions lost;
    lost.classifierOffset = 0.0f;
    modelsWritten_ = modelsWritten_ && zeq::testing::writeSyntheticModelDir(lostModelDir_, lost, true) == 0;
  }

  void SetUp() override {
    if (!kExe) GTEST_SKIP() << "zeq-track is not part of this build (no plug-in library)";
    sample_ = zeq::testing::sourceDir() + "/samples/address.mp4";
    if (!fs::exists(sample_)) GTEST_SKIP() << "the bundled sample " << sample_ << " is missing";
    ASSERT_TRUE(modelsWritten_);
    work_ = zeq::testing::makeTempDir();
    ASSERT_FALSE(work_.empty());
  }

  static std::string modelDir_;
  static std::string lostModelDir_;
  static bool modelsWritten_;
  std::string sample_;
  std::string work_;
};

std::string ZeqTrackTest::modelDir_;
std::string ZeqTrackTest::lostModelDir_;
bool ZeqTrackTest::modelsWritten_ = false;

TEST_F(ZeqTrackTest, TracksVideoIntoJsonLinesAndAnnotatedVideo) {
  constexpr int kFrames = 8;
  const std::string results = work_ + "/out/r.jsonl";  // the folder does not exist yet
  const std::string video = work_ + "/out/v.avi";
  const RunResult run = runTrack({"--input", sample_, "--models", modelDir_, "--max-frames",
                                  std::to_string(kFrames), "--results", results, "--output", video},
                                 work_);
  ASSERT_EQ(run.code, 0) << run.output;
  EXPECT_NE(run.output.find("frames tracked"), std::string::npos) << run.output;

  const std::vector<std::string> lines = readLines(results);
  ASSERT_EQ(lines.size(), static_cast<size_t>(kFrames));
  int tracked = 0;
  for (int i = 0; i < kFrames; ++i) {
    const std::string& line = lines[static_cast<size_t>(i)];
    SCOPED_TRACE(line);
    EXPECT_EQ(jsonInt(line, "frame"), i);
    const int status = jsonInt(line, "status");
    EXPECT_TRUE(status == 1 || status == 0 || status == -50 || status == -51) << status;
    const std::vector<double> points = jsonNumbers(line, "points");
    if (status > 0) {
      ++tracked;
      ASSERT_EQ(points.size(), 60u);
      expectPointsInside(points, kSampleSide, kSampleSide);
      EXPECT_EQ(jsonNumbers(line, "confidence").size(), 30u);
      const std::vector<double> transform = jsonNumbers(line, "transform");
      if (!transform.empty()) {
        ASSERT_EQ(transform.size(), 16u);
        EXPECT_DOUBLE_EQ(transform[15], 1.0);
      }
    } else {
      EXPECT_TRUE(points.empty());
      EXPECT_NE(line.find("\"points\":null"), std::string::npos);
    }
  }
  // The face is plain in view and the synthetic classifier always trusts the fit.
  EXPECT_EQ(tracked, kFrames);

  cv::VideoCapture written(video);
  ASSERT_TRUE(written.isOpened());
  int frames = 0;
  for (cv::Mat f; written.read(f) && !f.empty(); ++frames) {
    EXPECT_EQ(f.cols, kSampleSide);
    EXPECT_EQ(f.rows, kSampleSide);
  }
  EXPECT_EQ(frames, kFrames);
}

// The plug-in's own capture loop, fed from a file as a camera would be: frames
// arrive tracked through the frame callback.
TEST_F(ZeqTrackTest, ReplaysThroughPluginCaptureLoop) {
  const std::string results = work_ + "/r.jsonl";
  const RunResult run =
      runTrack({"--replay", sample_, "--models", modelDir_, "--max-frames", "5", "--results", results}, work_);
  ASSERT_EQ(run.code, 0) << run.output;
  const std::vector<std::string> lines = readLines(results);
  ASSERT_EQ(lines.size(), 5u);
  for (const std::string& line : lines) {
    EXPECT_EQ(jsonInt(line, "status"), 1) << line;
    const std::vector<double> points = jsonNumbers(line, "points");
    ASSERT_EQ(points.size(), 60u) << line;
    expectPointsInside(points, kSampleSide, kSampleSide);
  }
}

TEST_F(ZeqTrackTest, UntrackedFramesHaveNoResults) {
  const std::string results = work_ + "/r.jsonl";
  const RunResult run =
      runTrack({"--input", sample_, "--models", lostModelDir_, "--max-frames", "4", "--results", results}, work_);
  ASSERT_EQ(run.code, 0) << run.output;
  EXPECT_NE(run.output.find("frames tracked    0 (0.0%)"), std::string::npos) << run.output;
  const std::vector<std::string> lines = readLines(results);
  ASSERT_EQ(lines.size(), 4u);
  for (const std::string& line : lines) {
    EXPECT_LE(jsonInt(line, "status"), 0) << line;
    EXPECT_NE(line.find("\"tracked\":false"), std::string::npos) << line;
    EXPECT_NE(line.find("\"points\":null"), std::string::npos) << line;
    EXPECT_NE(line.find("\"transform\":null"), std::string::npos) << line;
  }
}

TEST_F(ZeqTrackTest, ReadsFolderOfImagesIntoCsv) {
  const std::string folder = work_ + "/frames";
  fs::create_directories(folder);
  {
    cv::VideoCapture cap(sample_);
    cv::Mat frame;
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(cap.read(frame));
      ASSERT_TRUE(cv::imwrite(folder + "/frame" + std::to_string(i) + ".png", frame));
    }
  }
  std::ofstream(folder + "/notes.txt") << "not an image\n";
  std::ofstream(folder + "/broken.jpg") << "not a jpeg either\n";  // skipped with a note

  const std::string results = work_ + "/r.csv";
  const RunResult run = runTrack({"--input", folder, "--models", modelDir_, "--results", results}, work_);
  ASSERT_EQ(run.code, 0) << run.output;
  EXPECT_NE(run.output.find("1 unreadable image"), std::string::npos) << run.output;

  const std::vector<std::string> lines = readLines(results);
  ASSERT_EQ(lines.size(), 4u);
  const std::string& header = lines[0];
  EXPECT_EQ(header.rfind("frame,status,tracked,time_ms,", 0), 0u);
  const size_t columns = static_cast<size_t>(std::count(header.begin(), header.end(), ',')) + 1;
  EXPECT_EQ(columns, 16u + 16u + 60u + 30u);
  const size_t firstX = 32;  // after the 16 scalar and 16 transform columns
  for (size_t row = 1; row < lines.size(); ++row) {
    std::vector<std::string> cells;
    std::stringstream ss(lines[row]);
    for (std::string cell; std::getline(ss, cell, ',');) cells.push_back(cell);
    if (lines[row].back() == ',') cells.emplace_back();
    ASSERT_EQ(cells.size(), columns) << lines[row];
    EXPECT_EQ(cells[0], std::to_string(row - 1));
    ASSERT_EQ(cells[2], "1") << lines[row];
    std::vector<double> xy;
    for (size_t c = firstX; c < firstX + 60; ++c) xy.push_back(std::stod(cells[c]));
    expectPointsInside(xy, kSampleSide, kSampleSide);
  }
}

TEST_F(ZeqTrackTest, BadInputsEndWithMessageAndCode) {
  const std::string junkVideo = work_ + "/junk.mp4";
  std::ofstream(junkVideo) << "this is not a video\n";
  const std::string emptyFolder = work_ + "/empty";
  fs::create_directories(emptyFolder);
  const std::string emptyModels = work_ + "/models";
  fs::create_directories(emptyModels);

  struct Case {
    const char* name;
    std::vector<std::string> args;
    int code;
    const char* message;
    const char* environment = "";
  };
  const std::vector<Case> cases = {
      {"missing file", {"--input", work_ + "/nope.mp4", "--models", modelDir_}, 3, "input not found"},
      {"unreadable video", {"--input", junkVideo, "--models", modelDir_}, 3, "video"},
      {"folder without images", {"--input", emptyFolder, "--models", modelDir_}, 3, "no images"},
      {"missing model directory", {"--input", sample_, "--models", work_ + "/none"}, 4, "model directory not found"},
      {"model directory without model", {"--input", sample_, "--models", emptyModels}, 4, "zeqTracker.model"},
      // Probing for a camera runs OpenCV's camera back ends, whose USB library
      // leaks on the way out; that is not this program's memory.
      {"no camera", {"--camera", "57", "--models", modelDir_}, 5, "no camera at index 57", "ASAN_OPTIONS=detect_leaks=0 "},
      {"unknown option", {"--frobnicate"}, 2, "unknown argument"},
      {"results format", {"--input", sample_, "--results", work_ + "/r.txt"}, 2, ".jsonl or .csv"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult run = runTrack(c.args, work_, c.environment);
    EXPECT_EQ(run.code, c.code) << run.output;
    EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
  }
}

}  // namespace
