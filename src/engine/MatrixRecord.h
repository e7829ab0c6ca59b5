#pragma once
#include <cstdint>
#include <cstdio>

#include <opencv2/core.hpp>

#include "engine/Reader.h"

namespace zeq {
namespace io {

// Largest element count a matrix record may announce. Model matrices are far
// smaller; anything above this is a corrupt file, not a model.
constexpr std::int64_t kMaxRecordElements = std::int64_t(1) << 28;

// Bytes left between the stream's position and its end, or -1 when the stream
// cannot tell (a pipe). Readers use it to refuse counts the file cannot hold.
std::int64_t bytesRemaining(FILE* f);

// True when a record may announce `count` elements of `elementSize` bytes:
// non-negative, under the cap, and not more than the stream still holds.
bool plausibleCount(FILE* f, std::int64_t count, std::size_t elementSize);
bool plausibleCount(const Reader& in, std::int64_t count, std::size_t elementSize);

// Matrix record: int32 rows, int32 cols, rows x cols elements in row-major order.
// Instantiated for unsigned char, int, float and double. 0 on success, -1 on failure.
template <typename T>
int writeMat(const cv::Mat_<T>& m, FILE* f);

// Reads a matrix record into m. Dimensions that are negative, above the cap or
// larger than the rest of the file are refused with -1 and m is left untouched.
template <typename T>
int readMat(cv::Mat_<T>& m, FILE* f);
template <typename T>
int readMat(cv::Mat_<T>& m, Reader& in);

}  // namespace io
}  // namespace zeq
