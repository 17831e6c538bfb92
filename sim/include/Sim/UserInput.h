// What users hand to dxesim: files named on the command line, read with a bound, and the text of
// profiles and arguments made safe to print in one-line messages and in the trace.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sim {

// Text as it may be printed on one line of a message or a trace comment: control characters
// (C0, DEL, C1), the Unicode line and paragraph separators and bytes that are not UTF-8 become
// escapes (\n, \t, \r, \x1b, \u0085, \xff); everything else is kept as it is.
std::string PrintableText(std::string_view Text);

enum class ReadProblem {
  None,
  CannotRead, // Reason holds the system's word for it
  Folder,
  TooLarge, // more than the limit
};

struct FileContents {
  ReadProblem Problem = ReadProblem::None;
  std::string Reason;
  std::string Bytes;
};

// Reads the whole file at Path, which may also be a pipe or a device, but at most Limit bytes: a
// file that holds more is refused without being read to its end.
FileContents ReadUserFile(const std::string& Path, uint64_t Limit);

} // namespace sim
