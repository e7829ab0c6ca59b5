#pragma once
// A face detector cascade is data from outside: OpenCV evaluates it on worker
// threads without bounds checks, so a rectangle outside the detection window or
// a node index out of range crashes the host where nothing can catch it. Every
// cascade is checked before it is handed to OpenCV.

#include <string>

#include <opencv2/core.hpp>
#include <opencv2/objdetect.hpp>

#include "engine/FaceDetector.h"

namespace zeq {
namespace plugin {

using zeq::FaceDetector;

// Limits far above any trained cascade (the frontal-face cascades have 20-25
// stages, a few thousand features and windows of 20-45 pixels).
constexpr int kMaxCascadeWindow = 512;
constexpr int kMaxCascadeStages = 1000;
constexpr int kMaxCascadeTrees = 100000;
constexpr int kMaxCascadeTreeNodes = 1024;
constexpr int kMaxCascadeFeatures = 1000000;
// A cascade file larger than this is refused before it is read.
constexpr long long kMaxCascadeBytes = 64LL * 1024 * 1024;

// True when `text` is plain XML of the shape cascade files have: an XML
// declaration, comments, elements with at most a type_id attribute, and text of
// numbers and names only. OpenCV's own parser crashes on some malformed text,
// so nothing else reaches it.
bool plainCascadeXml(const std::string& text, std::string& reason);

// True when the cascade (OpenCV's "opencv-cascade-classifier" format, Haar or
// LBP features, boosted stages) can be evaluated safely; otherwise `reason` says
// what is wrong.
bool validCascade(const cv::FileNode& cascade, std::string& reason);

// Parses XML text holding a cascade (plainCascadeXml first), checks it and loads it into
// `detector`, which is changed only on success. False with `reason` otherwise.
bool loadCascade(const std::string& text, FaceDetector& detector, std::string& reason);

// Reads a whole cascade file into `text`; false with `reason` when it cannot be
// read or is larger than kMaxCascadeBytes.
bool readCascadeFile(const std::string& path, std::string& text, std::string& reason);

}  // namespace plugin
}  // namespace zeq
