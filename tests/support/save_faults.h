// Faults of the disk for the saves of this process: a save that fails at a
// chosen step as a full disk makes it fail, and temporary names chosen in
// advance. Both go through storage::SaveCalls, in front of the system's own
// calls, from the first use on.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

// The steps of a save, in order.
enum class WriteStep {
  kCreate,  // the temporary file made, or the file opened to be rewritten in place
  kWrite,   // its bytes written (a full disk takes part of them first)
  kFlush,   // the bytes on the disk
  kRename,  // the temporary file put in the file's place
};

// The next save that gets as far as `step` fails there, as if the disk were
// full; it leaves nothing behind but what a real full disk would.
void failNextWriteAt(WriteStep step);

// The random parts (12 hexadecimal digits) of the next temporary names, taken
// in order before random ones, to plant something at one.
void useTemporarySuffixesNext(std::vector<std::string> suffixes);

}  // namespace testing_support
