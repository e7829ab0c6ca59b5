#pragma once
// Altered copies of a training photo: turned in the image plane, rescaled and
// degraded the way camera frames are (blur, sensor noise, exposure, JPEG
// blocks), so that a few hundred annotated faces look like many more.
// Header-only: pure functions shared with the tests.
#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "ShapeModelBuilder.h"

namespace zeq {
namespace train {

struct Alteration {
  double angleDeg = 0;  // in-plane turn about the face's centroid
  double scale = 1;     // about the same centre
  double gamma = 1;     // grey' = 255 (grey / 255)^gamma
  double blurSigma = 0; // Gaussian blur, pixels (0: none)
  double noiseSigma = 0; // additive Gaussian noise, grey levels (0: none)
  int jpegQuality = 0;  // re-encoded at this quality (0: not)
};

struct AlterationRanges {
  double maxAngleDeg = 30;
  double minScale = 0.6, maxScale = 1.15;  // drawn log-uniformly
  double minGamma = 0.6, maxGamma = 1.6;   // drawn log-uniformly
  double blurChance = 0.3, maxBlurSigma = 1.5;
  double noiseChance = 0.3, maxNoiseSigma = 8;
  double jpegChance = 0.3;
  int minJpegQuality = 20, maxJpegQuality = 70;
};

inline Alteration randomAlteration(const AlterationRanges& r, std::mt19937& rng) {
  auto uni = [&rng](double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); };
  Alteration a;
  a.angleDeg = uni(-r.maxAngleDeg, r.maxAngleDeg);
  a.scale = std::exp(uni(std::log(r.minScale), std::log(r.maxScale)));
  a.gamma = std::exp(uni(std::log(r.minGamma), std::log(r.maxGamma)));
  if (uni(0, 1) < r.blurChance) a.blurSigma = uni(0.5, r.maxBlurSigma);
  if (uni(0, 1) < r.noiseChance) a.noiseSigma = uni(2, r.maxNoiseSigma);
  if (uni(0, 1) < r.jpegChance) a.jpegQuality = std::uniform_int_distribution<int>(r.minJpegQuality, r.maxJpegQuality)(rng);
  return a;
}

// The altered grey image (same size; the turned-in corners mirror the photo, so
// that no artificial edge runs across the face's surroundings) and its shape.
// `noiseSeed` makes the noise reproducible.
inline void alterPhoto(const cv::Mat& grey, const cv::Mat_<float>& truth, const Alteration& a, unsigned noiseSeed,
                       cv::Mat& greyOut, cv::Mat_<float>& truthOut) {
  const cv::Point2d c = centroid(truth);
  const double angle = a.angleDeg * CV_PI / 180.0;
  Similarity m;
  m.a = a.scale * std::cos(angle);
  m.b = a.scale * std::sin(angle);
  m.tx = c.x - (m.a * c.x - m.b * c.y);
  m.ty = c.y - (m.b * c.x + m.a * c.y);
  const cv::Matx23d warp(m.a, -m.b, m.tx, m.b, m.a, m.ty);
  cv::Mat out;
  cv::warpAffine(grey, out, warp, grey.size(), cv::INTER_LINEAR, cv::BORDER_REFLECT_101);
  truthOut = applySimilarity(m, truth);

  if (a.gamma != 1) {
    cv::Mat_<unsigned char> lut(1, 256);
    for (int v = 0; v < 256; ++v) lut(v) = cv::saturate_cast<unsigned char>(255.0 * std::pow(v / 255.0, a.gamma));
    cv::LUT(out, lut, out);
  }
  if (a.blurSigma > 0) cv::GaussianBlur(out, out, cv::Size(0, 0), a.blurSigma);
  if (a.noiseSigma > 0) {
    cv::Mat noise(out.size(), CV_32F);
    cv::RNG rng(noiseSeed);
    rng.fill(noise, cv::RNG::NORMAL, 0.0, a.noiseSigma);
    cv::Mat wide;
    out.convertTo(wide, CV_32F);
    wide += noise;
    wide.convertTo(out, CV_8U);  // saturating
  }
  if (a.jpegQuality > 0) {
    std::vector<unsigned char> bytes;
    if (cv::imencode(".jpg", out, bytes, {cv::IMWRITE_JPEG_QUALITY, a.jpegQuality})) {
      cv::Mat decoded = cv::imdecode(bytes, cv::IMREAD_GRAYSCALE);
      if (!decoded.empty()) out = decoded;
    }
  }
  greyOut = out;
}

}  // namespace train
}  // namespace zeq
