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

// Separable bilinear downscale of 4-byte pixels.
void Downscale(const std::uint8_t* in, std::uint8_t* out, const std::vector<Tap>& columns,
               const std::vector<Tap>& rows, std::vector<std::uint16_t>& line) {
  for (int y = 0; y < kOutHeight; ++y) {
    const std::uint8_t* a = in + static_cast<std::size_t>(rows[y].first) * kWidth * 4;
    const std::uint8_t* b = a + kWidth * 4;
    const int wb = rows[y].weight, wa = 256 - wb;
    for (int i = 0; i < kWidth * 4; ++i) {
      line[i] = static_cast<std::uint16_t>((a[i] * wa + b[i] * wb) >> 8);
    }
    std::uint8_t* target = out + static_cast<std::size_t>(y) * kOutWidth * 4;
    for (int x = 0; x < kOutWidth; ++x) {
      const std::uint16_t* p = line.data() + columns[x].first * 4;
      const int cb = columns[x].weight, ca = 256 - cb;
      for (int c = 0; c < 4; ++c) {
        target[x * 4 + c] = static_cast<std::uint8_t>((p[c] * ca + p[c + 4] * cb) >> 8);
      }
    }
  }
}

std::size_t Encode(const std::uint8_t* pixels) {
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
    JSAMPROW row =
        const_cast<JSAMPROW>(pixels + static_cast<std::size_t>(info.next_scanline) * kOutWidth * 4);
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
  const std::vector<std::uint8_t> picture{std::istreambuf_iterator<char>(in),
                                          std::istreambuf_iterator<char>()};
  if (picture.size() != std::size_t{kWidth} * kHeight * 4) {
    std::fputs("the picture must be 1920 x 1080 BGRX\n", stderr);
    return 1;
  }
  const int frames = argc > 3 ? std::atoi(argv[3]) : 100;
  const std::vector<Tap> columns = Taps(kWidth, kOutWidth), rows = Taps(kHeight, kOutHeight);
  std::vector<std::uint16_t> line(kWidth * 4 + 8);
  std::vector<std::uint8_t> scaled(std::size_t{kOutWidth} * kOutHeight * 4);
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
