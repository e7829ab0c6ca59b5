#include "engine/Reader.h"

#include <cstring>

namespace zeq {
namespace io {

std::size_t Reader::read(void* out, std::size_t itemSize, std::size_t count) {
  if (file_) return std::fread(out, itemSize, count, file_);
  if (!data_ || itemSize == 0 || count == 0) return 0;
  const std::size_t left = size_ - position_;
  const std::size_t whole = left / itemSize < count ? left / itemSize : count;
  if (whole > 0) std::memcpy(out, data_ + position_, whole * itemSize);
  // Like a stream at its end, a short read leaves nothing more to read.
  position_ = whole < count ? size_ : position_ + whole * itemSize;
  return whole;
}

std::int64_t Reader::remaining() const {
  if (data_) return static_cast<std::int64_t>(size_ - position_);
  if (!file_) return -1;
  const long here = std::ftell(file_);
  if (here < 0) return -1;
  if (std::fseek(file_, 0, SEEK_END) != 0) return -1;
  const long end = std::ftell(file_);
  if (std::fseek(file_, here, SEEK_SET) != 0 || end < here) return -1;
  return static_cast<std::int64_t>(end - here);
}

}  // namespace io
}  // namespace zeq
