// The table file's bytes spelled out, independent of the code under test:
// Windows-1251, CR LF after every line unless a test asks otherwise.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

// "01й канал " … "48й канал ": two digits, й, space, канал, space.
inline std::string channelPrefix(int k) {
  return std::string{static_cast<char>('0' + k / 10), static_cast<char>('0' + k % 10)} +
         "\xE9 \xEA\xE0\xED\xE0\xEB ";
}

// "Скорость ".
inline const std::string kIntervalPrefix = "\xD1\xEA\xEE\xF0\xEE\xF1\xF2\xFC ";

// The column bytes of each channel for steps given as the channels on in
// each ("1" or "0" per step, channel 1 first).
inline std::vector<std::string> columnBytes(const std::vector<std::vector<int>>& steps) {
  std::vector<std::string> lines(48);
  for (int k = 1; k <= 48; ++k) {
    for (const auto& on : steps) {
      bool set = false;
      for (int c : on) set = set || c == k;
      lines[static_cast<std::size_t>(k - 1)] += set ? '1' : '0';
    }
  }
  return lines;
}

// A table file: channel k's prefix and its column bytes, then the interval
// line, with `eol` after each line.
inline std::string tableFileBytes(const std::vector<std::string>& columnsPerChannel,
                                  const std::string& interval, const std::string& eol = "\r\n") {
  std::string out;
  for (int k = 1; k <= 48; ++k) {
    out += channelPrefix(k) + columnsPerChannel.at(static_cast<std::size_t>(k - 1)) + eol;
  }
  return out + kIntervalPrefix + interval + eol;
}

}  // namespace testing_support
