#pragma once
#include <cstdint>
#include <cstdio>

#include <opencv2/core.hpp>

#include "engine/MatrixRecord.h"

// File and word helpers shared by the model readers and writers.
namespace zeq {
namespace io {

inline bool writeInt(FILE* f, std::int32_t v) { return std::fwrite(&v, sizeof(v), 1, f) == 1; }
inline bool readInt(FILE* f, std::int32_t& v) { return std::fread(&v, sizeof(v), 1, f) == 1; }
inline bool readInt(Reader& in, std::int32_t& v) { return in.readInt(v); }

// Opens path in `mode` and returns use(file), closing the file afterwards; -1
// when path is null or the file cannot be opened.
template <typename Use>
int withFile(const char* path, const char* mode, Use use) {
  FILE* f = path ? std::fopen(path, mode) : nullptr;
  if (!f) return -1;
  const int result = use(f);
  std::fclose(f);
  return result;
}

// Writes record.write(f) to a new file. The result only tells whether the file
// could be opened: a failed write still returns 0.
template <typename Record>
int saveRecord(const char* path, const Record& record) {
  return withFile(path, "wb", [&record](FILE* f) {
    record.write(f);
    return 0;
  });
}

// Reads the file with record.read(f) and returns its result.
template <typename Record>
int loadRecord(const char* path, Record& record) {
  return withFile(path, "rb", [&record](FILE* f) { return record.read(f); });
}

// record.read(Reader) over an open stream; -1 for a null stream.
template <typename Record>
int readRecord(FILE* f, Record& record) {
  if (!f) return -1;
  Reader in(f);
  return record.read(in);
}

// Float column with its length in front (int32 L, then L floats), as the
// regression and classifier records start. 0 or -1.
inline int writeFloatColumn(const cv::Mat_<float>& m, FILE* f) {
  if (!m.empty() && (m.cols != 1 || !m.isContinuous())) return -1;
  const std::int32_t L = m.rows;
  if (!writeInt(f, L)) return -1;
  if (L > 0 && std::fwrite(m.ptr<float>(0), sizeof(float), static_cast<std::size_t>(L), f) !=
                   static_cast<std::size_t>(L))
    return -1;
  return 0;
}

// Reads such a column into m (L x 1, its buffer reused when it has that size; a
// length of 0 leaves m empty). A length the file cannot hold is refused before
// anything is allocated.
inline int readFloatColumn(cv::Mat_<float>& m, Reader& in) {
  std::int32_t L = 0;
  if (!in.readInt(L)) return -1;
  if (!plausibleCount(in, L, sizeof(float))) return -1;
  if (L == 0) {
    m.release();
    return 0;
  }
  // A view into a larger matrix cannot take the record's contiguous floats.
  if (!m.isContinuous()) m.release();
  m.create(L, 1);
  const std::size_t count = static_cast<std::size_t>(L);
  return in.read(m.ptr<float>(0), sizeof(float), count) == count ? 0 : -1;
}

}  // namespace io
}  // namespace zeq
