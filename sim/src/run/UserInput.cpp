#include <Sim/UserInput.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sim {

namespace {

// The length of the UTF-8 sequence at Text[At] and its code point, or 0 when the bytes there are
// not one (a stray continuation byte, an overlong form, a surrogate, a value past U+10FFFF, a
// sequence cut short).
size_t DecodeUtf8(std::string_view Text, size_t At, uint32_t& CodePoint) {
  const auto Byte = [&](size_t I) { return static_cast<uint8_t>(Text[At + I]); };
  const uint8_t Lead = Byte(0);
  size_t Length = 0;
  uint32_t Minimum = 0;
  if (Lead < 0x80) {
    CodePoint = Lead;
    return 1;
  } else if (Lead >= 0xC2 && Lead <= 0xDF) {
    Length = 2;
    CodePoint = Lead & 0x1F;
    Minimum = 0x80;
  } else if (Lead >= 0xE0 && Lead <= 0xEF) {
    Length = 3;
    CodePoint = Lead & 0x0F;
    Minimum = 0x800;
  } else if (Lead >= 0xF0 && Lead <= 0xF4) {
    Length = 4;
    CodePoint = Lead & 0x07;
    Minimum = 0x10000;
  } else {
    return 0;
  }
  if (Text.size() - At < Length) {
    return 0;
  }
  for (size_t I = 1; I < Length; ++I) {
    if ((Byte(I) & 0xC0) != 0x80) {
      return 0;
    }
    CodePoint = CodePoint << 6 | (Byte(I) & 0x3F);
  }
  if (CodePoint < Minimum || CodePoint > 0x10FFFF || (CodePoint >= 0xD800 && CodePoint <= 0xDFFF)) {
    return 0;
  }
  return Length;
}

std::string Escape(const char* Format, unsigned Value) {
  char Text[12];
  std::snprintf(Text, sizeof(Text), Format, Value);
  return Text;
}

} // namespace

std::string PrintableText(std::string_view Text) {
  std::string Out;
  Out.reserve(Text.size());
  for (size_t At = 0; At < Text.size();) {
    uint32_t CodePoint = 0;
    const size_t Length = DecodeUtf8(Text, At, CodePoint);
    if (Length == 0) {
      Out += Escape("\\x%02x", static_cast<uint8_t>(Text[At]));
      ++At;
      continue;
    }
    if (CodePoint == '\n') {
      Out += "\\n";
    } else if (CodePoint == '\r') {
      Out += "\\r";
    } else if (CodePoint == '\t') {
      Out += "\\t";
    } else if (CodePoint < 0x20 || CodePoint == 0x7F) {
      Out += Escape("\\x%02x", CodePoint);
    } else if ((CodePoint >= 0x80 && CodePoint <= 0x9F) || CodePoint == 0x2028 ||
               CodePoint == 0x2029) {
      Out += Escape("\\u%04x", CodePoint);
    } else {
      Out.append(Text.substr(At, Length));
    }
    At += Length;
  }
  return Out;
}

FileContents ReadUserFile(const std::string& Path, uint64_t Limit) {
  FileContents Result;
  const auto Fail = [&Result](ReadProblem Problem) {
    Result.Problem = Problem;
    Result.Reason = Problem == ReadProblem::CannotRead ? std::strerror(errno) : "";
    Result.Bytes.clear();
    return Result;
  };
  const int File = open(Path.c_str(), O_RDONLY | O_CLOEXEC);
  if (File < 0) {
    return Fail(ReadProblem::CannotRead);
  }
  struct stat Info {};
  if (fstat(File, &Info) != 0) {
    const int Error = errno;
    close(File);
    errno = Error;
    return Fail(ReadProblem::CannotRead);
  }
  if (S_ISDIR(Info.st_mode)) {
    close(File);
    return Fail(ReadProblem::Folder);
  }
  if (S_ISREG(Info.st_mode) && static_cast<uint64_t>(Info.st_size) > Limit) {
    close(File);
    return Fail(ReadProblem::TooLarge);
  }
  if (S_ISREG(Info.st_mode)) {
    Result.Bytes.reserve(static_cast<size_t>(Info.st_size));
  }
  // Read until the end, whatever the size said: a pipe has none, and a file may grow.
  char Chunk[1 << 16];
  for (;;) {
    const ssize_t Got = read(File, Chunk, sizeof(Chunk));
    if (Got < 0 && errno == EINTR) {
      continue;
    }
    if (Got < 0) {
      const int Error = errno;
      close(File);
      errno = Error;
      return Fail(ReadProblem::CannotRead);
    }
    if (Got == 0) {
      break;
    }
    if (static_cast<uint64_t>(Got) > Limit - Result.Bytes.size()) {
      close(File);
      return Fail(ReadProblem::TooLarge);
    }
    Result.Bytes.append(Chunk, static_cast<size_t>(Got));
  }
  close(File);
  return Result;
}

} // namespace sim
