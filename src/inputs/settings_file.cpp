#include "inputs/settings_file.h"

#include <cstddef>

#include "storage/file_io.h"

namespace inputs {

namespace {

constexpr std::size_t kFileBytes = sizeof(MatchingIndices::value_type) * 16;

}  // namespace

std::optional<MatchingIndices> loadSettings(const std::string& fileName) {
  if (!storage::fileExists(fileName)) return std::nullopt;
  const std::string bytes = storage::readFile(fileName, kFileBytes);
  MatchingIndices indices{};
  for (std::size_t i = 0; i < indices.size() && 4 * i + 4 <= bytes.size(); ++i) {
    std::uint32_t raw = 0;
    for (std::size_t b = 0; b < 4; ++b) {
      raw |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[4 * i + b])) << (8 * b);
    }
    const auto value = static_cast<std::int32_t>(raw);
    indices[i] = value >= 0 && value <= 3 ? value : -1;
  }
  return indices;
}

void saveSettings(storage::SaveCalls& saves, const std::string& fileName,
                  const MatchingIndices& indices) {
  std::string bytes(kFileBytes, '\0');
  for (std::size_t i = 0; i < indices.size(); ++i) {
    const auto raw = static_cast<std::uint32_t>(indices[i]);
    for (std::size_t b = 0; b < 4; ++b) bytes[4 * i + b] = static_cast<char>(raw >> (8 * b));
  }
  storage::writeFileAtomically(saves, fileName, bytes);
}

}  // namespace inputs
