// The matching settings file: the selected item indices of ComboBox1 …
// ComboBox16, as 16 little-endian signed 32-bit integers, 64 bytes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace storage {
class SaveCalls;
}

namespace inputs {

inline constexpr const char* kSettingsFileName = "Rilvet.dat";

// Index 0 "нет", 1 … 3 "вх1" … "вх3", −1 no selection.
using MatchingIndices = std::array<std::int32_t, 16>;

// std::nullopt when the file is missing (the boxes keep "нет"). Otherwise
// each complete value among the first 64 bytes is applied in order, a value
// outside 0 … 3 as −1; values a short file lacks stay 0. Throws
// storage::FileError when the file is there but cannot be read.
std::optional<MatchingIndices> loadSettings(const std::string& fileName);

// Replaces the file atomically with the 64 bytes, through `saves`. Throws
// storage::FileError.
void saveSettings(storage::SaveCalls& saves, const std::string& fileName,
                  const MatchingIndices& indices);

}  // namespace inputs
