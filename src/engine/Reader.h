#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace zeq {
namespace io {

// Source of model bytes: an open C stream or a buffer in memory, read with the
// same short-read semantics as fread. Loading from memory lets a host hand over
// a model it keeps in its own assets, without temporary files. The reader does
// not own the stream or the buffer; both must outlive it.
class Reader {
 public:
  explicit Reader(FILE* f) : file_(f) {}
  Reader(const unsigned char* data, std::size_t size) : data_(data), size_(data ? size : 0) {}

  // Has something to read from (a stream, or a non-null buffer).
  bool valid() const { return file_ != nullptr || data_ != nullptr; }

  // Reads up to count items of itemSize bytes into out; returns the number of
  // whole items read. A buffer that ends inside an item is consumed to its end.
  std::size_t read(void* out, std::size_t itemSize, std::size_t count);

  // Bytes left before the end, or -1 when that cannot be told (a pipe).
  std::int64_t remaining() const;

  bool readInt(std::int32_t& v) { return read(&v, sizeof(v), 1) == 1; }

 private:
  FILE* file_ = nullptr;
  const unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t position_ = 0;
};

}  // namespace io
}  // namespace zeq
