#include <Sim/Status.h>

#include <cstdio>

#include <Sim/Trace.h>

namespace sim {

namespace {

struct NamedStatus {
  uint64_t Status;
  const char* Name;
};

constexpr NamedStatus STATUS_NAMES[] = {
    {EFI_SUCCESS, "EFI_SUCCESS"},
    {EFI_LOAD_ERROR, "EFI_LOAD_ERROR"},
    {EFI_INVALID_PARAMETER, "EFI_INVALID_PARAMETER"},
    {EFI_UNSUPPORTED, "EFI_UNSUPPORTED"},
    {EFI_BAD_BUFFER_SIZE, "EFI_BAD_BUFFER_SIZE"},
    {EFI_BUFFER_TOO_SMALL, "EFI_BUFFER_TOO_SMALL"},
    {EFI_NOT_READY, "EFI_NOT_READY"},
    {EFI_DEVICE_ERROR, "EFI_DEVICE_ERROR"},
    {EFI_WRITE_PROTECTED, "EFI_WRITE_PROTECTED"},
    {EFI_OUT_OF_RESOURCES, "EFI_OUT_OF_RESOURCES"},
    {EFI_VOLUME_CORRUPTED, "EFI_VOLUME_CORRUPTED"},
    {EFI_VOLUME_FULL, "EFI_VOLUME_FULL"},
    {EFI_NO_MEDIA, "EFI_NO_MEDIA"},
    {EFI_MEDIA_CHANGED, "EFI_MEDIA_CHANGED"},
    {EFI_NOT_FOUND, "EFI_NOT_FOUND"},
    {EFI_ACCESS_DENIED, "EFI_ACCESS_DENIED"},
    {EFI_NO_RESPONSE, "EFI_NO_RESPONSE"},
    {EFI_NO_MAPPING, "EFI_NO_MAPPING"},
    {EFI_TIMEOUT, "EFI_TIMEOUT"},
    {EFI_NOT_STARTED, "EFI_NOT_STARTED"},
    {EFI_ALREADY_STARTED, "EFI_ALREADY_STARTED"},
    {EFI_ABORTED, "EFI_ABORTED"},
    {EFI_ICMP_ERROR, "EFI_ICMP_ERROR"},
    {EFI_TFTP_ERROR, "EFI_TFTP_ERROR"},
    {EFI_PROTOCOL_ERROR, "EFI_PROTOCOL_ERROR"},
    {EFI_INCOMPATIBLE_VERSION, "EFI_INCOMPATIBLE_VERSION"},
    {EFI_SECURITY_VIOLATION, "EFI_SECURITY_VIOLATION"},
    {EFI_CRC_ERROR, "EFI_CRC_ERROR"},
    {EFI_END_OF_MEDIA, "EFI_END_OF_MEDIA"},
    {EFI_END_OF_FILE, "EFI_END_OF_FILE"},
    {EFI_INVALID_LANGUAGE, "EFI_INVALID_LANGUAGE"},
    {EFI_COMPROMISED_DATA, "EFI_COMPROMISED_DATA"},
    {EFI_IP_ADDRESS_CONFLICT, "EFI_IP_ADDRESS_CONFLICT"},
    {EFI_HTTP_ERROR, "EFI_HTTP_ERROR"},
    {EFI_WARN_UNKNOWN_GLYPH, "EFI_WARN_UNKNOWN_GLYPH"},
    {EFI_WARN_DELETE_FAILURE, "EFI_WARN_DELETE_FAILURE"},
    {EFI_WARN_WRITE_FAILURE, "EFI_WARN_WRITE_FAILURE"},
    {EFI_WARN_BUFFER_TOO_SMALL, "EFI_WARN_BUFFER_TOO_SMALL"},
    {EFI_WARN_STALE_DATA, "EFI_WARN_STALE_DATA"},
    {EFI_WARN_FILE_SYSTEM, "EFI_WARN_FILE_SYSTEM"},
    {EFI_WARN_RESET_REQUIRED, "EFI_WARN_RESET_REQUIRED"},
};

} // namespace

std::string StatusName(uint64_t Status) {
  for (const NamedStatus& Entry : STATUS_NAMES) {
    if (Entry.Status == Status) {
      return Entry.Name;
    }
  }
  return Hex(Status);
}

std::optional<uint64_t> ParseStatus(const std::string& Text) {
  for (const NamedStatus& Entry : STATUS_NAMES) {
    if (Text == Entry.Name) {
      return Entry.Status;
    }
  }
  // A hex literal and nothing else: no sign, blank, decimal or octal reading of a status.
  if (Text.size() < 3 || Text.size() > 2 + 16 || Text[0] != '0' ||
      (Text[1] != 'x' && Text[1] != 'X')) {
    return std::nullopt;
  }
  uint64_t Value = 0;
  for (size_t I = 2; I < Text.size(); ++I) {
    const char C = Text[I];
    const int Digit = C >= '0' && C <= '9'   ? C - '0'
                      : C >= 'a' && C <= 'f' ? C - 'a' + 10
                      : C >= 'A' && C <= 'F' ? C - 'A' + 10
                                             : -1;
    if (Digit < 0) {
      return std::nullopt;
    }
    Value = Value << 4 | static_cast<uint64_t>(Digit);
  }
  return Value;
}

std::string FormatGuid(const EFI_GUID& Guid) {
  char Text[40];
  std::snprintf(Text, sizeof(Text), "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", Guid.Data1,
                Guid.Data2, Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3],
                Guid.Data4[4], Guid.Data4[5], Guid.Data4[6], Guid.Data4[7]);
  return Text;
}

} // namespace sim
