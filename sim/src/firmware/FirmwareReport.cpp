#include <Sim/Firmware.h>

#include <cstring>

#include <Library/LzmaDecompressLib.h>
#include <Protocol/ImagerLaunch.h>
#include <Protocol/Pcd.h>
#include <Sim/Status.h>
#include <Sim/Trace.h>

namespace sim {

namespace {

struct GuidName {
  EFI_GUID Guid;
  const char* Name;
};

const GuidName GUID_NAMES[] = {
    {IMAGER_LAUNCH_PROTOCOL_GUID, "ImagerLaunchProtocol"},
    {PCD_PROTOCOL_GUID, "PcdProtocol"},
    {LZMA_CUSTOM_DECOMPRESS_GUID, "LzmaCustomDecompress"},
};

std::string GuidText(const EFI_GUID& Guid) {
  const char* Name = KnownGuidName(Guid);
  return FormatGuid(Guid) + (Name ? std::string(" (") + Name + ")" : "");
}

std::string PoolTypeText(uint32_t Type) {
  static const char* const NAMES[] = {
      "EfiReservedMemoryType",
      "EfiLoaderCode",
      "EfiLoaderData",
      "EfiBootServicesCode",
      "EfiBootServicesData",
      "EfiRuntimeServicesCode",
      "EfiRuntimeServicesData",
      "EfiConventionalMemory",
      "EfiUnusableMemory",
      "EfiACPIReclaimMemory",
      "EfiACPIMemoryNVS",
      "EfiMemoryMappedIO",
      "EfiMemoryMappedIOPortSpace",
      "EfiPalCode",
      "EfiPersistentMemory",
  };
  return std::to_string(Type) +
         (Type < std::size(NAMES) ? std::string(" (") + NAMES[Type] + ")" : std::string());
}

// Printable ASCII as is, everything else escaped, so that a value reads as the text it holds.
std::string QuotedBytes(const std::vector<uint8_t>& Bytes) {
  std::string Text = "\"";
  for (const uint8_t Byte : Bytes) {
    if (Byte == '"' || Byte == '\\') {
      Text += '\\';
      Text += static_cast<char>(Byte);
    } else if (Byte >= 0x20 && Byte < 0x7F) {
      Text += static_cast<char>(Byte);
    } else if (Byte == 0) {
      Text += "\\0";
    } else {
      static const char DIGITS[] = "0123456789abcdef";
      Text += "\\x";
      Text += DIGITS[Byte >> 4];
      Text += DIGITS[Byte & 15];
    }
  }
  return Text + "\"";
}

} // namespace

const char* KnownGuidName(const EFI_GUID& Guid) {
  for (const GuidName& Entry : GUID_NAMES) {
    if (std::memcmp(&Entry.Guid, &Guid, sizeof(Guid)) == 0) {
      return Entry.Name;
    }
  }
  return nullptr;
}

std::string FormatFirmwareObjects(const Firmware& Fw) {
  std::string Text;
  Text += "# protocols: " + std::to_string(Fw.Protocols().size()) + "\n";
  for (const ProtocolInstance& P : Fw.Protocols()) {
    Text += "protocol " + GuidText(P.Guid) + " handle " + Hex(P.Handle) + " interface " +
            Hex(P.Interface) + " by " + P.Owner + "\n";
  }
  Text += "# configuration tables: " + std::to_string(Fw.ConfigurationTables().size()) + "\n";
  for (const ConfigurationTable& T : Fw.ConfigurationTables()) {
    Text += "configuration-table " + GuidText(T.Guid) + " table " + Hex(T.Table) + " by " +
            T.Owner + "\n";
  }
  Text += "# events: " + std::to_string(Fw.Events().size()) + "\n";
  for (const FirmwareEvent& E : Fw.Events()) {
    Text += "event " + Hex(E.Handle) + " type " + Hex(E.Type) +
            (E.Type == EVT_SIGNAL_EXIT_BOOT_SERVICES ? " (EVT_SIGNAL_EXIT_BOOT_SERVICES)" : "") +
            " tpl " + std::to_string(E.Tpl) + " notify " + Hex(E.NotifyFunction) + " context " +
            Hex(E.NotifyContext) + " by " + E.Owner +
            (E.Signalled ? ", signalled" : ", not signalled") + "\n";
  }
  Text += "# pool blocks: " + std::to_string(Fw.Pool().size()) + "\n";
  for (const auto& [Address, Block] : Fw.Pool()) {
    Text += "pool " + Hex(Address) + " size " + std::to_string(Block.Size) + " type " +
            PoolTypeText(Block.Type) + " by " + Block.Owner + "\n";
  }
  Text += "# PCD tokens: " + std::to_string(Fw.PcdDatabase().size()) + "\n";
  for (const auto& [Token, Pcd] : Fw.PcdDatabase()) {
    Text += "pcd " + std::to_string(Token) + " max-size " + std::to_string(Pcd.MaxSize) +
            (Pcd.Value.empty() ? std::string(" empty")
                               : " size " + std::to_string(Pcd.Value.size()) + " value " +
                                     QuotedBytes(Pcd.Value)) +
            "\n";
  }
  if (!Fw.BadFrees().empty()) {
    Text += "# frees of blocks never allocated: " + std::to_string(Fw.BadFrees().size()) + "\n";
    for (const uint64_t Address : Fw.BadFrees()) {
      Text += "bad-free " + Hex(Address) + "\n";
    }
  }
  return Text;
}

} // namespace sim
