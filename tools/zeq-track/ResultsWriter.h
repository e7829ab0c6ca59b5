#pragma once
#include <cstdio>
#include <string>

#include "FrameRecord.h"

namespace zeqtrack {

// Per-frame results as JSON lines (one object per frame) or CSV (one row per
// frame), chosen by the file's extension. Values a frame does not have (not
// tracked, or not finite) are written as null / an empty cell.
class ResultsWriter {
 public:
  ResultsWriter() = default;
  ~ResultsWriter();
  ResultsWriter(const ResultsWriter&) = delete;
  ResultsWriter& operator=(const ResultsWriter&) = delete;

  // Creates missing parent folders. False with a message when it cannot write.
  bool open(const std::string& path, std::string& error);
  bool write(const FrameRecord& record);
  // False when anything failed to reach the file.
  bool close();
  bool isOpen() const { return file_ != nullptr; }

 private:
  void writeJson(const FrameRecord& r);
  void writeCsv(const FrameRecord& r);
  void writeCsvHeader();

  std::FILE* file_ = nullptr;
  bool csv_ = false;
  std::string line_;
};

}  // namespace zeqtrack
