// The eight-window cascade evaluator must find exactly what OpenCV's detector
// finds, window for window and in the same order, or the tracker would start on
// different faces.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>
#include <opencv2/videoio.hpp>

#include "support/TestSupport.h"
#include "engine/FaceDetector.h"
#include "engine/HaarCascade.h"

namespace {

const std::string kCascades = "/usr/share/opencv4/haarcascades/";

bool readCascade(const std::string& path, zeq::HaarCascade& cascade, cv::CascadeClassifier& opencv) {
  cv::FileStorage fs(path, cv::FileStorage::READ);
  if (!fs.isOpened()) return false;
  return cascade.read(fs.getFirstTopLevelNode()) && opencv.read(fs.getFirstTopLevelNode());
}

struct Picture {
  std::string name;
  cv::Mat grey;
};

// Real frames (the sample's faces), a photo, noise, a frame large enough for
// the integral of squares to overflow 32 bits, and sizes around the window's.
std::vector<Picture> pictures() {
  std::vector<Picture> out;
  const cv::Mat photo = cv::imread(zeq::testing::sourceDir() + "/tests/data/einstein.jpg", cv::IMREAD_GRAYSCALE);
  if (!photo.empty()) out.push_back({"einstein", photo});
  cv::VideoCapture sample(zeq::testing::sourceDir() + "/samples/address.mp4");
  cv::Mat frame, grey;
  for (int i = 0; i < 300 && sample.read(frame); ++i) {
    if (i % 150 != 0) continue;
    cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
    cv::equalizeHist(grey, grey);
    out.push_back({"sample frame " + std::to_string(i), grey.clone()});
  }
  if (!grey.empty()) {
    cv::Mat wide(720, 1280, CV_8U, cv::Scalar(255));
    grey.copyTo(wide(cv::Rect(400, 120, grey.cols, grey.rows)));
    out.push_back({"1280 x 720, bright", wide});
    out.push_back({"31 x 27 crop", grey(cv::Rect(100, 100, 31, 27)).clone()});
  }
  cv::Mat noise(480, 640, CV_8U);
  cv::RNG rng(7);
  rng.fill(noise, cv::RNG::UNIFORM, 0, 256);
  out.push_back({"noise", noise});
  out.push_back({"flat", cv::Mat(120, 160, CV_8U, cv::Scalar(90))});
  out.push_back({"smaller than the window", cv::Mat(10, 12, CV_8U, cv::Scalar(3))});
  return out;
}

struct Settings {
  double scale;
  int neighbours;
  cv::Size minSize, maxSize;
};

class SingleThreadedOpenCv : public ::testing::Test {
 protected:
  void SetUp() override {
    threads_ = cv::getNumThreads();
    cv::setNumThreads(1);  // OpenCV's own candidate order is fixed only on one thread
  }
  void TearDown() override { cv::setNumThreads(threads_); }
  int threads_ = 1;
};

using HaarCascadeTest = SingleThreadedOpenCv;

TEST_F(HaarCascadeTest, FindsExactlyTheWindowsOpenCvFindsInItsOrder) {
  const std::vector<Picture> images = pictures();
  ASSERT_GE(images.size(), 4u);
  // The plug-in's settings first; then steps below 2, where every second window
  // and row is scanned, and a size range.
  const std::vector<Settings> settings = {
      {1.3, 4, {80, 80}, {}}, {1.3, 0, {80, 80}, {}}, {1.1, 0, {}, {}}, {1.05, 3, {30, 30}, {200, 200}}};
  for (const char* file : {"haarcascade_frontalface_default.xml", "haarcascade_frontalface_alt.xml",
                           "haarcascade_eye.xml"}) {
    zeq::HaarCascade cascade;
    cv::CascadeClassifier opencv;
    ASSERT_TRUE(readCascade(kCascades + file, cascade, opencv)) << file;
    for (const Picture& p : images) {
      for (std::size_t k = 0; k < settings.size(); ++k) {
        const Settings& s = settings[k];
        // Only the plug-in's settings on the large frame, to keep the test short.
        if (p.grey.cols > 1000 && k > 0) continue;
        std::vector<cv::Rect> theirs;
        opencv.detectMultiScale(p.grey, theirs, s.scale, s.neighbours, 0, s.minSize, s.maxSize);
        for (bool vector : {true, false}) {
          cascade.setVectorKernels(vector);
          std::vector<cv::Rect> ours;
          cascade.detect(p.grey, ours, s.scale, s.neighbours, s.minSize, s.maxSize);
          EXPECT_EQ(ours, theirs) << file << ", " << p.name << ", settings " << k << (vector ? ", vector" : ", scalar");
        }
      }
    }
  }
}

TEST_F(HaarCascadeTest, TheSampleStillHasItsFaceAndNoiseHasNone) {
  zeq::FaceDetector detector;
  cv::FileStorage fs(zeq::testing::sourceDir() + "/models/face.xml", cv::FileStorage::READ);
  ASSERT_TRUE(detector.read(fs.getFirstTopLevelNode()));
  EXPECT_TRUE(detector.vectorised());
  const std::vector<Picture> images = pictures();
  int faces = 0;
  for (const Picture& p : images) {
    std::vector<cv::Rect> found;
    detector.detect(p.grey, found, 1.3, 4, cv::Size(80, 80));
    if (p.name.rfind("sample", 0) == 0) {
      EXPECT_EQ(found.size(), 1u) << p.name;
      ++faces;
    }
    if (p.name == "noise" || p.name == "flat") {
      EXPECT_TRUE(found.empty()) << p.name;
    }
  }
  EXPECT_GT(faces, 0);
}

TEST(HaarCascade, TakesOnlyStumpCascadesAndLeavesTheRestToOpenCv) {
  struct Case {
    std::string path;
    bool stumps;
  };
  const std::vector<Case> cases = {
      {kCascades + "haarcascade_frontalface_default.xml", true},
      {kCascades + "haarcascade_frontalface_alt2.xml", false},  // two-split trees
      {kCascades + "haarcascade_upperbody.xml", false},  // tilted features
      {kCascades + "haarcascade_profileface.xml", true},
      {"/usr/share/opencv4/lbpcascades/lbpcascade_frontalface_improved.xml", false},
  };
  for (const Case& c : cases) {
    cv::FileStorage fs(c.path, cv::FileStorage::READ);
    ASSERT_TRUE(fs.isOpened()) << c.path;
    zeq::HaarCascade cascade;
    EXPECT_EQ(cascade.read(fs.getFirstTopLevelNode()), c.stumps) << c.path;
    EXPECT_EQ(cascade.empty(), !c.stumps) << c.path;
    zeq::FaceDetector detector;
    ASSERT_TRUE(detector.read(fs.getFirstTopLevelNode())) << c.path;
    EXPECT_EQ(detector.vectorised(), c.stumps) << c.path;
  }
  // Bad input finds nothing instead of failing.
  zeq::FaceDetector detector;
  cv::FileStorage fs(kCascades + "haarcascade_frontalface_default.xml", cv::FileStorage::READ);
  ASSERT_TRUE(detector.read(fs.getFirstTopLevelNode()));
  std::vector<cv::Rect> found{cv::Rect(1, 2, 3, 4)};
  detector.detect(cv::Mat(100, 100, CV_8UC3, cv::Scalar::all(0)), found, 1.3, 4, cv::Size(20, 20));
  EXPECT_TRUE(found.empty());
  detector.detect(cv::Mat(100, 100, CV_8U, cv::Scalar(0)), found, 1.0, 4, cv::Size(20, 20));
  EXPECT_TRUE(found.empty());
  detector.detect(cv::Mat(), found, 1.3, 4, cv::Size(20, 20));
  EXPECT_TRUE(found.empty());
}

}  // namespace
