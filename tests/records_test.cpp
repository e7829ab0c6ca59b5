#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/FeatParameters.h"
#include "engine/MatrixRecord.h"
#include "support/TestSupport.h"

namespace {

using Bytes = std::vector<unsigned char>;

void appendInt(Bytes& b, std::int32_t v) {
  const auto* p = reinterpret_cast<const unsigned char*>(&v);
  b.insert(b.end(), p, p + 4);
}
void appendFloat(Bytes& b, float v) {
  const auto* p = reinterpret_cast<const unsigned char*>(&v);
  b.insert(b.end(), p, p + 4);
}

// A read-only stream over the given bytes.
FILE* streamOf(const Bytes& bytes) {
  FILE* f = std::tmpfile();
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::rewind(f);
  return f;
}

Bytes contentsOf(FILE* f) {
  std::fflush(f);
  const long size = std::ftell(f);
  Bytes out(static_cast<std::size_t>(size));
  std::rewind(f);
  if (size > 0 && std::fread(out.data(), 1, out.size(), f) != out.size()) out.clear();
  return out;
}

template <typename T>
Bytes written(const cv::Mat_<T>& m) {
  FILE* f = std::tmpfile();
  EXPECT_EQ(zeq::io::writeMat(m, f), 0);
  Bytes b = contentsOf(f);
  std::fclose(f);
  return b;
}

TEST(MatrixRecord, FloatLayoutIsRowsColsThenRowMajorElements) {
  const cv::Mat_<float> m = (cv::Mat_<float>(3, 2) << 1, 2, 3, 4, 5, 6);
  Bytes expected;
  appendInt(expected, 3);
  appendInt(expected, 2);
  for (float v : {1.f, 2.f, 3.f, 4.f, 5.f, 6.f}) appendFloat(expected, v);
  EXPECT_EQ(written(m), expected);
}

TEST(MatrixRecord, RoundTripsEveryElementTypeByteForByte) {
  cv::RNG rng(7);
  cv::Mat_<unsigned char> u8(4, 3);
  rng.fill(u8, cv::RNG::UNIFORM, 0, 255);
  cv::Mat_<int> i32(2, 5);
  rng.fill(i32, cv::RNG::UNIFORM, -1000, 1000);
  cv::Mat_<float> f32(3, 3);
  rng.fill(f32, cv::RNG::NORMAL, 0, 10);
  cv::Mat_<double> f64(1, 7);
  rng.fill(f64, cv::RNG::NORMAL, 0, 10);

  const auto roundTrip = [](const auto& m) {
    using M = std::decay_t<decltype(m)>;
    const Bytes first = written(m);
    FILE* f = streamOf(first);
    M back;
    EXPECT_EQ(zeq::io::readMat(back, f), 0);
    std::fclose(f);
    EXPECT_EQ(written(back), first);
  };
  roundTrip(u8);
  roundTrip(i32);
  roundTrip(f32);
  roundTrip(f64);
}

TEST(MatrixRecord, EmptyMatrixIsTwoZeroWords) {
  const Bytes b = written(cv::Mat_<float>());
  EXPECT_EQ(b, Bytes(8, 0));
  FILE* f = streamOf(b);
  cv::Mat_<float> back = cv::Mat_<float>::ones(2, 2);
  EXPECT_EQ(zeq::io::readMat(back, f), 0);
  EXPECT_TRUE(back.empty());
  std::fclose(f);
}

TEST(MatrixRecord, ReusesBufferOfSameSizeAndReplacesOtherwise) {
  const Bytes b = written(cv::Mat_<float>(cv::Mat_<float>::ones(2, 2) * 5));
  cv::Mat_<float> target = cv::Mat_<float>::zeros(2, 2);
  cv::Mat_<float> sharer = target;
  FILE* f = streamOf(b);
  ASSERT_EQ(zeq::io::readMat(target, f), 0);
  std::fclose(f);
  EXPECT_EQ(sharer(1, 1), 5.f);

  cv::Mat_<float> other = cv::Mat_<float>::zeros(3, 1);
  cv::Mat_<float> otherSharer = other;
  f = streamOf(b);
  ASSERT_EQ(zeq::io::readMat(other, f), 0);
  std::fclose(f);
  EXPECT_EQ(other.rows, 2);
  EXPECT_EQ(otherSharer(0), 0.f);
}

// Corrupt or cut records must fail cleanly, without allocating what the header claims.
TEST(MatrixRecord, RefusesTruncatedAndAbsurdRecords) {
  struct Case {
    const char* name;
    std::int32_t rows, cols;
    int elementsPresent;
  };
  const Case cases[] = {
      {"ends inside the elements", 3, 2, 5},
      {"negative rows", -1, 4, 0},
      {"negative cols", 4, -3, 0},
      {"more elements than the file holds", 100000, 100000, 4},
      {"product overflows 32 bits", 0x7fffffff, 0x7fffffff, 4},
      {"above the element cap", 1 << 15, 1 << 14, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes b;
    appendInt(b, c.rows);
    appendInt(b, c.cols);
    for (int i = 0; i < c.elementsPresent; ++i) appendFloat(b, 1.f);
    FILE* f = streamOf(b);
    cv::Mat_<float> m;
    EXPECT_EQ(zeq::io::readMat(m, f), -1);
    std::fclose(f);
    // The same checks hold for a record in memory.
    zeq::io::Reader in(b.data(), b.size());
    cv::Mat_<float> fromMemory;
    EXPECT_EQ(zeq::io::readMat(fromMemory, in), -1);
  }
  for (std::size_t size : {0u, 3u, 7u}) {
    Bytes b(size, 0);
    FILE* f = streamOf(b);
    cv::Mat_<float> untouched = cv::Mat_<float>::ones(1, 1);
    EXPECT_EQ(zeq::io::readMat(untouched, f), -1);
    EXPECT_EQ(untouched(0), 1.f);
    std::fclose(f);
    zeq::io::Reader in(b.data(), b.size());
    EXPECT_EQ(zeq::io::readMat(untouched, in), -1);
    EXPECT_EQ(untouched(0), 1.f);
  }
}

// Records read from a buffer come out as from a stream and leave the reader
// at the next record; a buffer ends like a file does.
TEST(MatrixRecord, MemoryReaderReadsConsecutiveRecordsLikeAStream) {
  const cv::Mat_<float> a = (cv::Mat_<float>(3, 2) << 1, 2, 3, 4, 5, 6);
  const cv::Mat_<int> b = (cv::Mat_<int>(1, 3) << -7, 8, 9);
  Bytes bytes = written(a);
  const Bytes second = written(b);
  bytes.insert(bytes.end(), second.begin(), second.end());
  zeq::io::Reader in(bytes.data(), bytes.size());
  EXPECT_EQ(in.remaining(), static_cast<std::int64_t>(bytes.size()));
  cv::Mat_<float> backA;
  cv::Mat_<int> backB;
  ASSERT_EQ(zeq::io::readMat(backA, in), 0);
  EXPECT_EQ(in.remaining(), static_cast<std::int64_t>(second.size()));
  ASSERT_EQ(zeq::io::readMat(backB, in), 0);
  EXPECT_EQ(written(backA), written(a));
  EXPECT_EQ(written(backB), second);
  EXPECT_EQ(in.remaining(), 0);
  std::int32_t word = 5;
  EXPECT_FALSE(in.readInt(word));

  // A read that runs past the end delivers the whole items there are, then nothing.
  zeq::io::Reader cut(bytes.data(), 10);
  std::int32_t words[3] = {0, 0, 0};
  EXPECT_EQ(cut.read(words, 4, 3), 2u);
  EXPECT_EQ(words[0], 3);
  EXPECT_EQ(cut.remaining(), 0);
  zeq::io::Reader none(nullptr, 100);
  EXPECT_FALSE(none.valid());
  EXPECT_EQ(zeq::io::readMat(backA, none), -1);
}

TEST(FeatParametersRecord, LayoutDefaultsAndBooleanWidening) {
  zeq::FeatParameters p;
  FILE* f = std::tmpfile();
  ASSERT_EQ(zeq::writeFeatParameters(f, p), 0);
  Bytes expected;
  for (int v : {128, 128, 16, 8, 32, 1, 1}) appendInt(expected, v);
  EXPECT_EQ(contentsOf(f), expected);
  std::fclose(f);

  Bytes twos;
  for (int v : {64, 96, 9, 7, 21, 2, 2}) appendInt(twos, v);
  f = streamOf(twos);
  zeq::FeatParameters q;
  q.signedOrientation = false;
  q.sqrtIntensity = false;
  ASSERT_EQ(zeq::readFeatParameters(f, q), 0);
  std::fclose(f);
  EXPECT_EQ(q.warpSize, cv::Size(64, 96));
  EXPECT_EQ(q.numBins, 9);
  EXPECT_EQ(q.cellSize, 7);
  EXPECT_EQ(q.patchSize, 21);
  EXPECT_TRUE(q.signedOrientation);
  EXPECT_TRUE(q.sqrtIntensity);

  f = std::tmpfile();
  ASSERT_EQ(zeq::writeFeatParameters(f, q), 0);
  Bytes rewritten = contentsOf(f);
  std::fclose(f);
  EXPECT_EQ(rewritten[20], 1);
  EXPECT_EQ(rewritten[24], 1);
}

TEST(FeatParametersRecord, FilesShortOrMissingFailToLoad) {
  const std::string dir = zeq::testing::makeTempDir();
  const std::string path = dir + "/params.bin";
  ASSERT_EQ(zeq::saveFeatParameters(path.c_str(), zeq::FeatParameters()), 0);
  Bytes bytes = zeq::testing::readFileBytes(path);
  ASSERT_EQ(bytes.size(), 28u);
  bytes.pop_back();
  zeq::testing::writeFileBytes(path, bytes);
  zeq::FeatParameters p;
  EXPECT_EQ(zeq::loadFeatParameters(path.c_str(), p), -1);
  EXPECT_EQ(zeq::loadFeatParameters((dir + "/missing").c_str(), p), -1);
  EXPECT_EQ(zeq::saveFeatParameters((dir + "/no/such/dir/p.bin").c_str(), p), -1);
  EXPECT_EQ(zeq::loadFeatParameters(nullptr, p), -1);
}

TEST(FeatParametersRecord, UsabilityRejectsValuesThatWouldBreakTheDescriptor) {
  EXPECT_TRUE(zeq::featParametersUsable(zeq::FeatParameters()));
  const auto with = [](auto change) {
    zeq::FeatParameters p;
    change(p);
    return zeq::featParametersUsable(p);
  };
  EXPECT_FALSE(with([](auto& p) { p.numBins = 0; }));
  EXPECT_FALSE(with([](auto& p) { p.numBins = 513; }));
  EXPECT_FALSE(with([](auto& p) { p.cellSize = 0; }));
  EXPECT_FALSE(with([](auto& p) { p.patchSize = 4; }));
  EXPECT_FALSE(with([](auto& p) { p.warpSize = cv::Size(-128, 128); }));
  EXPECT_FALSE(with([](auto& p) { p.warpSize = cv::Size(100000, 128); }));
}

// A model may only ask for a descriptor and warp the engine can run per frame.
TEST(FeatParametersRecord, ModelParametersAreBoundedToTheRealTimeBudget) {
  struct Case {
    int warpW, warpH, bins, cell, patch;
    bool accepted;
  };
  const Case cases[] = {
      {128, 128, 16, 8, 32, true},  {256, 256, 16, 32, 64, true}, {8, 8, 1, 1, 1, true},
      {96, 112, 9, 4, 24, true},    {2048, 2048, 16, 8, 32, false}, {128, 257, 16, 8, 32, false},
      {128, 128, 17, 8, 32, false}, {128, 128, 16, 33, 64, false},  {128, 128, 16, 8, 65, false},
      {128, 128, 0, 8, 32, false},  {7, 128, 16, 8, 32, false},
  };
  for (const Case& c : cases) {
    zeq::FeatParameters p;
    p.warpSize = cv::Size(c.warpW, c.warpH);
    p.numBins = c.bins;
    p.cellSize = c.cell;
    p.patchSize = c.patch;
    const std::string problem = zeq::featParametersProblem(p);
    EXPECT_EQ(problem.empty(), c.accepted) << c.warpW << "x" << c.warpH << " " << c.bins << " " << c.cell << " "
                                            << c.patch << ": " << problem;
  }
  zeq::FeatParameters big;
  big.warpSize = cv::Size(2048, 2048);
  EXPECT_NE(zeq::featParametersProblem(big).find("warp 2048 x 2048"), std::string::npos);
}

}  // namespace
