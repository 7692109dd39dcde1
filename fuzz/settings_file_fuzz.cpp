// Fuzzes the settings file loader: any bytes must load to indices in -1 … 3,
// decoded exactly as the format says, and save to 64 bytes that load back to
// the same indices.
//
// The file lives in a private folder made once per process.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "inputs/settings_file.h"
#include "storage/file_io.h"
#include "support/temp_folder.h"

namespace {

using fuzz_support::fail;
using Folder = testing_support::TempFolder;
using fuzz_support::readBytes;
using fuzz_support::writeBytes;

namespace fs = std::filesystem;

using inputs::MatchingIndices;

const Folder& folder() {
  static const Folder instance;
  return instance;
}

std::int32_t littleEndianAt(std::string_view bytes, std::size_t at) {
  std::uint32_t raw = 0;
  for (std::size_t b = 0; b < 4; ++b) {
    raw |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + b])) << (8 * b);
  }
  return static_cast<std::int32_t>(raw);
}

// Complete values among the first 64 bytes, in order; out of 0 … 3 is -1, a
// value the file lacks is 0.
MatchingIndices expectedIndices(std::string_view bytes) {
  MatchingIndices indices{};
  for (std::size_t i = 0; i < 16 && 4 * i + 4 <= bytes.size(); ++i) {
    const std::int32_t value = littleEndianAt(bytes, 4 * i);
    indices[i] = value >= 0 && value <= 3 ? value : -1;
  }
  return indices;
}

std::optional<MatchingIndices> load(const std::string& name) {
  try {
    return inputs::loadSettings(name);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "loadSettings threw: %s\n", error.what());
    fail(__FILE__, "loadSettings does not throw in a healthy folder", __LINE__);
  }
}

void fuzzOne(std::string_view input) {
  const Folder& dir = folder();
  const std::string name = dir.path(inputs::kSettingsFileName);
  writeBytes(name, input);

  const std::optional<MatchingIndices> loaded = load(name);
  CHECK(loaded.has_value());
  for (const std::int32_t index : *loaded) CHECK(index >= -1 && index <= 3);
  CHECK(*loaded == expectedIndices(input));
  CHECK(readBytes(name) == input);  // loading leaves the file alone

  try {
    inputs::saveSettings(storage::systemSaveCalls(), name, *loaded);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "saveSettings threw: %s\n", error.what());
    fail(__FILE__, "saveSettings does not throw in a healthy folder", __LINE__);
  }
  const std::string written = readBytes(name);
  CHECK(written.size() == 64);
  for (std::size_t i = 0; i < 16; ++i) CHECK(littleEndianAt(written, 4 * i) == (*loaded)[i]);
  CHECK(dir.entries() == std::set<std::string>{inputs::kSettingsFileName});  // no temporary file

  const std::optional<MatchingIndices> again = load(name);
  CHECK(again.has_value());
  CHECK(*again == *loaded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzOne(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
