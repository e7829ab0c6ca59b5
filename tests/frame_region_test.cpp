// While a face is tracked, the facade names the part of the next frame that its
// update reads. A frame whose pixels outside that part are garbage must give
// exactly the results of the true frame, and the update must never read
// outside it. Checked with the shipped model on real clips.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>
#include <opencv2/videoio.hpp>

#include "support/TestSupport.h"
#include "tracker/Tracker.h"

namespace {

const std::string kModels = zeq::testing::sourceDir() + "/models";

bool sameFloats(const cv::Mat_<float>& a, const cv::Mat_<float>& b) {
  if (a.size() != b.size()) return false;
  if (a.empty()) return true;
  const cv::Mat_<float> ca = a.isContinuous() ? a : a.clone();
  const cv::Mat_<float> cb = b.isContinuous() ? b : b.clone();
  return std::memcmp(ca.ptr(), cb.ptr(), ca.total() * sizeof(float)) == 0;
}

// The plug-in's search: equalised frame, its fixed detector settings, the box
// shrunk towards the face centre.
bool detectAndPlace(cv::CascadeClassifier& detector, const cv::Mat& grey, zeq::Tracker& a, zeq::Tracker& b) {
  cv::Mat equalised;
  cv::equalizeHist(grey, equalised);
  std::vector<cv::Rect> faces;
  detector.detectMultiScale(equalised, faces, 1.3, 4, 6, cv::Size(80, 80), cv::Size(0, 0));
  if (faces.empty()) return false;
  const cv::Rect d = faces.front();
  const cv::Rect box(d.x + static_cast<int>(0.05f * d.width), d.y + static_cast<int>(0.2f * d.height),
                     static_cast<int>(0.9f * d.width), static_cast<int>(0.9f * d.height));
  return a.reset(box.x, box.y, box.width, box.height) && b.reset(box.x, box.y, box.width, box.height);
}

struct ClipResult {
  int frames = 0;
  int regionFrames = 0;  // frames updated from a partly garbage frame
  double regionShare = 0.0;  // mean share of the frame inside the region
};

// Tracks the clip twice: on the true frames, and on frames whose pixels outside
// the announced region are noise. Every result must agree bit for bit.
ClipResult trackTwice(const std::string& clip, int maxFrames) {
  ClipResult out;
  zeq::Tracker truth, partial;
  cv::CascadeClassifier detector;
  if (truth.initialise(kModels.c_str()) != 0 || partial.initialise(kModels.c_str()) != 0 ||
      !detector.load(kModels + "/face.xml")) {
    ADD_FAILURE() << "shipped model not loadable from " << kModels;
    return out;
  }
  cv::VideoCapture video(clip);
  if (!video.isOpened()) {
    ADD_FAILURE() << "cannot open " << clip;
    return out;
  }
  cv::RNG rng(3);
  cv::Mat bgr, grey, garbage;
  bool tracking = false;
  while (out.frames < maxFrames && video.read(bgr)) {
    ++out.frames;
    cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
    if (!tracking && !detectAndPlace(detector, grey, truth, partial)) continue;
    cv::Rect roi;
    const bool partly = partial.frameRegion(grey.cols, grey.rows, roi);
    const cv::Mat* given = &grey;
    if (partly) {
      garbage.create(grey.size(), CV_8U);
      rng.fill(garbage, cv::RNG::UNIFORM, 0, 256);
      grey(roi).copyTo(garbage(roi));
      given = &garbage;
      ++out.regionFrames;
      out.regionShare += static_cast<double>(roi.area()) / grey.total();
    }
    const int a = truth.update(grey.data, grey.cols, grey.rows);
    const int b = partial.update(given->data, given->cols, given->rows);
    const zeq::FaceTracker& ea = *truth.faceTracker;
    const zeq::FaceTracker& eb = *partial.faceTracker;
    const std::string at = clip + " frame " + std::to_string(out.frames - 1);
    if (partly) {
      const cv::Rect read = ea.lastReadRegion();
      EXPECT_EQ(read & roi, read) << at << ": read " << read << " outside " << roi;
    }
    EXPECT_EQ(a, b) << at;
    EXPECT_TRUE(sameFloats(ea.shape, eb.shape)) << at;
    EXPECT_TRUE(sameFloats(ea.confidence, eb.confidence)) << at;
    EXPECT_TRUE(sameFloats(ea.pose, eb.pose)) << at;
    EXPECT_TRUE(sameFloats(ea.shape3D, eb.shape3D)) << at;
    EXPECT_EQ(ea.pitch, eb.pitch) << at;
    if (::testing::Test::HasFailure()) break;
    tracking = a > 0;
  }
  if (out.regionFrames > 0) out.regionShare /= out.regionFrames;
  return out;
}

TEST(FrameRegion, WholeFrameWithoutAFaceOrRightAfterPlacement) {
  zeq::Tracker t;
  cv::Rect roi;
  EXPECT_FALSE(t.frameRegion(640, 480, roi));  // no engine
  ASSERT_EQ(t.initialise(kModels.c_str()), 0);
  EXPECT_FALSE(t.frameRegion(640, 480, roi));  // no face
  ASSERT_TRUE(t.reset(200, 150, 200, 200));
  EXPECT_FALSE(t.frameRegion(640, 480, roi));  // the placement frame takes the template
}

TEST(FrameRegion, GarbageOutsideTheRegionChangesNothingOnTheSample) {
  const ClipResult r = trackTwice(zeq::testing::sourceDir() + "/samples/address.mp4", 200);
  EXPECT_EQ(r.frames, 200);
  // Nearly every frame of a steadily tracked clip is updated from a region.
  EXPECT_GE(r.regionFrames, 190);
}

TEST(FrameRegion, GarbageOutsideTheRegionChangesNothingOnDevelopmentClips) {
  const std::string data = zeq::testing::sharedDataDir();
  if (data.empty()) GTEST_SKIP() << "../shared/data is absent: development clips not checked";
  // Small, large and turning faces at three frame sizes.
  for (const char* name : {"liveportrait_d6.mp4", "dpe_d.mp4", "videoretalking_4.mp4", "edtalk_pose_source1.mp4"}) {
    const ClipResult r = trackTwice(data + "/video/dev/" + name, 150);
    EXPECT_GT(r.regionFrames, 0) << name;
    std::printf("%s: %d of %d frames from a region covering %.0f %% of the frame\n", name, r.regionFrames, r.frames,
                100.0 * r.regionShare);
  }
}

}  // namespace
