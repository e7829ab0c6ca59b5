#include "ResultsWriter.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace zeqtrack {

namespace {

// Shortest round-trip-safe text is not needed here: 7 significant digits
// carry a single-precision value.
void appendNumber(std::string& out, double value, const char* format = "%.7g") {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, format, value);
  out += buf;
}

void appendCsvNumber(std::string& out, double value, const char* format = "%.7g") {
  out += ',';
  if (!std::isfinite(value)) return;  // empty cell
  char buf[64];
  std::snprintf(buf, sizeof buf, format, value);
  out += buf;
}

template <size_t N>
void appendJsonArray(std::string& out, const std::array<float, N>& values) {
  out += '[';
  for (size_t i = 0; i < N; ++i) {
    if (i) out += ',';
    appendNumber(out, values[i]);
  }
  out += ']';
}

}  // namespace

ResultsWriter::~ResultsWriter() { close(); }

bool ResultsWriter::open(const std::string& path, std::string& error) {
  close();
  const std::filesystem::path p(path);
  std::error_code ec;
  if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path(), ec);
  file_ = std::fopen(path.c_str(), "wb");
  if (!file_) {
    error = "cannot write results file " + path + ": " + std::strerror(errno);
    return false;
  }
  csv_ = p.extension() == ".csv";
  if (csv_) writeCsvHeader();
  return true;
}

void ResultsWriter::writeCsvHeader() {
  std::string h = "frame,status,tracked,time_ms,pitch,yaw,roll,tx,ty,tz,image_x,image_y,scale,scale3d_x,scale3d_y,scale3d_z";
  for (int i = 0; i < 16; ++i) h += ",m" + std::to_string(i);
  for (int i = 0; i < FrameRecord::kPoints; ++i) h += ",x" + std::to_string(i) + ",y" + std::to_string(i);
  for (int i = 0; i < FrameRecord::kPoints; ++i) h += ",c" + std::to_string(i);
  h += '\n';
  std::fputs(h.c_str(), file_);
}

void ResultsWriter::writeJson(const FrameRecord& r) {
  std::string& s = line_;
  s = "{\"frame\":" + std::to_string(r.index) + ",\"status\":" + std::to_string(r.status) +
      ",\"tracked\":" + (r.tracked ? "true" : "false") + ",\"time_ms\":";
  appendNumber(s, r.milliseconds, "%.3f");
  if (!r.tracked) {
    s += ",\"points\":null,\"confidence\":null,\"pitch\":null,\"yaw\":null,\"roll\":null,"
         "\"translation\":null,\"position\":null,\"scale\":null,\"scale3d\":null,\"transform\":null}\n";
    return;
  }
  s += ",\"points\":[";
  for (int i = 0; i < FrameRecord::kPoints; ++i) {
    if (i) s += ',';
    s += '[';
    appendNumber(s, r.points[2 * i], "%.3f");
    s += ',';
    appendNumber(s, r.points[2 * i + 1], "%.3f");
    s += ']';
  }
  s += "],\"confidence\":";
  appendJsonArray(s, r.confidence);
  s += ",\"pitch\":";
  appendNumber(s, r.pitch);
  s += ",\"yaw\":";
  appendNumber(s, r.yaw);
  s += ",\"roll\":";
  appendNumber(s, r.roll);
  s += ",\"translation\":";
  appendJsonArray(s, r.translation);
  s += ",\"position\":";
  appendJsonArray(s, r.position);
  s += ",\"scale\":";
  appendNumber(s, r.scale);
  s += ",\"scale3d\":";
  appendJsonArray(s, r.scale3D);
  s += ",\"transform\":";
  if (r.hasTransform)
    appendJsonArray(s, r.transform);
  else
    s += "null";
  s += "}\n";
}

void ResultsWriter::writeCsv(const FrameRecord& r) {
  std::string& s = line_;
  s = std::to_string(r.index) + ',' + std::to_string(r.status) + ',' + (r.tracked ? "1" : "0");
  appendCsvNumber(s, r.milliseconds, "%.3f");
  const double nan = std::nan("");
  auto cell = [&](double v, const char* format = "%.7g") { appendCsvNumber(s, r.tracked ? v : nan, format); };
  cell(r.pitch);
  cell(r.yaw);
  cell(r.roll);
  for (float v : r.translation) cell(v);
  for (float v : r.position) cell(v);
  cell(r.scale);
  for (float v : r.scale3D) cell(v);
  for (float v : r.transform) cell(r.hasTransform ? v : nan);
  for (float v : r.points) cell(v, "%.3f");
  for (float v : r.confidence) cell(v);
  s += '\n';
}

bool ResultsWriter::write(const FrameRecord& record) {
  if (!file_) return false;
  if (csv_)
    writeCsv(record);
  else
    writeJson(record);
  return std::fwrite(line_.data(), 1, line_.size(), file_) == line_.size();
}

bool ResultsWriter::close() {
  if (!file_) return true;
  const bool ok = std::ferror(file_) == 0;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  return ok && closed;
}

}  // namespace zeqtrack
