// Writes a starting corpus for the configuration fuzzer into a directory:
// the default record, every boundary value as either duration, and a run of
// records from the boundary mix.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "config_records.hpp"
#include "tarnwick.h"

namespace tr = tarnwick::reliability;

namespace {

bool write_seed(const std::string& dir, unsigned index, const void* bytes, std::size_t size) {
  const std::string path = dir + "/seed-" + std::to_string(index);
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return false;
  const bool written = std::fwrite(bytes, 1, size, out) == size;
  return std::fclose(out) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 64;
  }
  const std::string dir = argv[1];
  unsigned index = 0;
  tarnwick_config_t base{1, 32, 1, 0, 120.0, 60.0};
  bool ok = write_seed(dir, index++, &base, sizeof base);
  for (const double seconds : tr::boundary_seconds()) {
    for (const std::uint32_t benchmark : {1u, 2u}) {
      tarnwick_config_t record = base;
      record.benchmark = benchmark;
      record.warmup_seconds = seconds;
      ok = ok && write_seed(dir, index++, &record, sizeof record);
      record.warmup_seconds = 0.0;
      record.measure_seconds = seconds;
      ok = ok && write_seed(dir, index++, &record, sizeof record);
    }
  }
  tr::RecordSource source(0x5eed);
  for (int i = 0; i < 256 && ok; ++i) {
    const auto record = source.next();
    if (record) ok = write_seed(dir, index++, record->data(), record->size());
  }
  if (!ok) {
    std::perror(dir.c_str());
    return 1;
  }
  std::printf("%u seeds written to %s\n", index, dir.c_str());
  return 0;
}
