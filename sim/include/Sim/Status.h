// EFI status names and GUID text, as the simulator prints and parses them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <Uefi.h>

namespace sim {

// "EFI_SUCCESS", "EFI_OUT_OF_RESOURCES"...; an unnamed status as a hex literal.
std::string StatusName(uint64_t Status);
// A status name ("EFI_NOT_FOUND") or a hex literal of at most 16 digits ("0x800000000000000E").
std::optional<uint64_t> ParseStatus(const std::string& Text);
// 8-4-4-4-12 upper-case form.
std::string FormatGuid(const EFI_GUID& Guid);

} // namespace sim
