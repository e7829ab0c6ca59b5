#pragma once
// A boosted cascade of Haar-feature stumps (the kind OpenCV's frontal-face
// cascades are), evaluated on eight neighbouring windows at once.
//
// Searching for a face runs the detector on every frame, and nearly all of that
// time is the cascade's window evaluation, one window at a time inside OpenCV.
// This evaluator finds exactly the faces cv::CascadeClassifier::detectMultiScale
// finds with one OpenCV thread: the same scales, resized images and integral
// images (made by the same OpenCV calls), the same window walk, and arithmetic
// that rounds like OpenCV's at every step. The candidates come out in that
// single-threaded order, so the grouped faces and their order are the same too;
// with several OpenCV threads OpenCV's own order may vary from call to call.

#include <vector>

#include <opencv2/core.hpp>

namespace zeq {

class HaarCascade {
 public:
  // Reads a cascade in OpenCV's current format. False (and empty) for anything
  // else this evaluator does not take: LBP features, tilted features, trees
  // deeper than one split, or data out of range. Such cascades stay with OpenCV.
  bool read(const cv::FileNode& root);
  bool empty() const { return stages_.empty(); }
  cv::Size window() const { return window_; }

  // cv::CascadeClassifier::detectMultiScale(grey, faces, scaleFactor,
  // minNeighbours, flags, minSize, maxSize) with one OpenCV thread. grey must be
  // 8-bit, one channel; anything else (or scaleFactor <= 1) finds nothing.
  void detect(const cv::Mat& grey, std::vector<cv::Rect>& faces, double scaleFactor, int minNeighbours,
              cv::Size minSize, cv::Size maxSize = cv::Size());

  // The windows that pass every stage, before grouping, in evaluation order.
  void candidates(const cv::Mat& grey, std::vector<cv::Rect>& windows, double scaleFactor, cv::Size minSize,
                  cv::Size maxSize = cv::Size());

  // The eight-window kernel is used where the processor has AVX2; false forces
  // the one-window path (which exists for other processors) for comparison.
  void setVectorKernels(bool on) { vectorKernels_ = on; }

  struct Feature {
    cv::Rect rect[3];
    float weight[3] = {0.f, 0.f, 0.f};
  };
  struct Stump {
    int feature = 0;
    float threshold = 0.f;
    float left = 0.f;
    float right = 0.f;
  };
  struct Stage {
    int first = 0;
    int count = 0;
    float threshold = 0.f;
  };
  // A feature as offsets into an integral image of a given row stride.
  struct Compiled {
    int ofs[3][4];
    float weight[3];
    bool third;
  };
  struct Scale {
    float factor = 1.f;
    cv::Size integral;  // size of the integral images (one more than the resized image)
    int step = 1;       // window step in x and y
    int rows = 0;       // window rows scanned
    int firstRow = 0;   // row of this scale's integral images in the shared buffers
  };

 private:
  void compile(int stride);
  bool prepare(const cv::Mat& grey, double scaleFactor, cv::Size minSize, cv::Size maxSize);

  cv::Size window_;
  std::vector<Feature> features_;
  std::vector<Stump> stumps_;
  std::vector<Stage> stages_;
  bool vectorKernels_ = true;

  // Per-image state, kept between calls so that frames of one size reuse it.
  std::vector<Scale> scales_;
  std::vector<Compiled> compiled_;
  int compiledStride_ = -1;
  int normOfs_[4] = {0, 0, 0, 0};
  cv::Mat resized_;
  cv::Mat sums_;     // CV_32S integral images of all scales, one below the other
  cv::Mat squares_;  // CV_32S integral images of the squares, same layout
  std::vector<int> hits_;
};

}  // namespace zeq
