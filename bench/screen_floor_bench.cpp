// The native floor for the screen preview benchmark: the same 1920 x 1080 picture, downscaled to
// 1280 x 720 (bilinear, fixed point) and encoded by libjpeg-turbo at quality 55 with 4:2:0
// chroma, timed over a number of frames. Benchmark only; the program never links libjpeg.
//
//   screen_floor_bench <picture.bgrx> <result.json> [frames]
// jpeglib.h needs size_t and FILE declared before it.
// clang-format off
#include <cstddef>
#include <cstdio>
#include <jpeglib.h>
// clang-format on

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr int kOutWidth = 1280;
constexpr int kOutHeight = 720;

struct Tap {
  int first;
  int weight;  // of the second sample, out of 256
};

std::vector<Tap> Taps(int from, int to) {
  std::vector<Tap> taps(to);
  for (int i = 0; i < to; ++i) {
    const double position = (i + 0.5) * from / to - 0.5;
    int first = static_cast<int>(position);
    first = std::max(0, std::min(first, from - 2));
    const double fraction = std::max(0.0, std::min(1.0, position - first));
    taps[i] = {first, static_cast<int>(fraction * 256 + 0.5)};
  }
  return taps;
}

// Blends two 4-byte pixels, `weight` (0 to 256) of the second, all four channels at once: two
// channels a multiplication, in 16-bit lanes that cannot carry into each other.
inline std::uint32_t Blend(std::uint32_t a, std::uint32_t b, std::uint32_t weight) {
  const std::uint32_t keep = 256 - weight;
  const std::uint32_t even =
      (((a & 0x00FF00FFU) * keep + (b & 0x00FF00FFU) * weight) >> 8) & 0x00FF00FFU;
  const std::uint32_t odd =
      (((a >> 8) & 0x00FF00FFU) * keep + ((b >> 8) & 0x00FF00FFU) * weight) & 0xFF00FF00U;
  return even | odd;
}

// Separable bilinear downscale of 4-byte pixels: rows first, then columns.
void Downscale(const std::uint32_t* in, std::uint32_t* out, const std::vector<Tap>& columns,
               const std::vector<Tap>& rows, std::vector<std::uint32_t>& line) {
  for (int y = 0; y < kOutHeight; ++y) {
    const std::uint32_t* a = in + static_cast<std::size_t>(rows[y].first) * kWidth;
    const std::uint32_t* b = a + kWidth;
    const auto weight = static_cast<std::uint32_t>(rows[y].weight);
    for (int x = 0; x < kWidth; ++x) line[x] = Blend(a[x], b[x], weight);
    std::uint32_t* target = out + static_cast<std::size_t>(y) * kOutWidth;
    for (int x = 0; x < kOutWidth; ++x) {
      const Tap tap = columns[x];
      target[x] =
          Blend(line[tap.first], line[tap.first + 1], static_cast<std::uint32_t>(tap.weight));
    }
  }
}

std::size_t Encode(const std::uint32_t* pixels) {
  jpeg_compress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = kOutWidth;
  info.image_height = kOutHeight;
  info.input_components = 4;
  info.in_color_space = JCS_EXT_BGRX;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 55, TRUE);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    auto* row = reinterpret_cast<JSAMPROW>(
        const_cast<std::uint32_t*>(pixels + std::size_t{info.next_scanline} * kOutWidth));
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::free(buffer);
  return size;
}

double Since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: screen_floor_bench <picture.bgrx> <result.json> [frames]\n", stderr);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<char> file{std::istreambuf_iterator<char>(in),
                               std::istreambuf_iterator<char>()};
  std::vector<std::uint32_t> picture(std::size_t{kWidth} * kHeight);
  if (file.size() != picture.size() * 4) {
    std::fputs("the picture must be 1920 x 1080 BGRX\n", stderr);
    return 1;
  }
  std::memcpy(picture.data(), file.data(), file.size());
  const int frames = argc > 3 ? std::atoi(argv[3]) : 100;
  const std::vector<Tap> columns = Taps(kWidth, kOutWidth), rows = Taps(kHeight, kOutHeight);
  std::vector<std::uint32_t> line(kWidth);
  std::vector<std::uint32_t> scaled(std::size_t{kOutWidth} * kOutHeight);
  std::vector<double> downscale_ms, encode_ms, total_ms;
  std::size_t bytes = 0;
  for (int i = 0; i < frames; ++i) {
    const auto start = Clock::now();
    Downscale(picture.data(), scaled.data(), columns, rows, line);
    const double downscaled = Since(start);
    const auto encode_start = Clock::now();
    bytes = Encode(scaled.data());
    encode_ms.push_back(Since(encode_start));
    downscale_ms.push_back(downscaled);
    total_ms.push_back(Since(start));
  }
  const nlohmann::json result = {{"floor_ms", total_ms},
                                 {"floor_downscale_ms", downscale_ms},
                                 {"floor_encode_ms", encode_ms},
                                 {"floor_jpeg_bytes", bytes}};
  std::ofstream(argv[2]) << result.dump();
  return 0;
}
