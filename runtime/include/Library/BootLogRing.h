// Memory layout of the boot-log ring, a format shared with the boot stages before and after the
// drivers. Offsets and widths are binding.
#pragma once

#include <Uefi.h>

constexpr UINT64 BOOT_LOG_SELECTOR = 0xC6F0800A; // 8-bit: 2 selects the low ring base
constexpr UINT8 BOOT_LOG_SELECTOR_LOW = 2;
constexpr UINT64 BOOT_LOG_RING_BASE_LOW = 0x31280000;
constexpr UINT64 BOOT_LOG_RING_BASE_HIGH = 0xC5280000;
constexpr UINT64 BOOT_LOG_RING_SPAN = 4ULL << 20; // every offset the header can express

constexpr UINT32 BOOT_LOG_RING_MAGIC = 0xEAEA2020;

// Ring header, at the ring base.
constexpr UINTN RING_MAGIC = 0x00;
constexpr UINTN RING_LOG_BASE_OFFSET = 0x0C;
constexpr UINTN RING_SLOT_TABLE_SIZE = 0x10;
constexpr UINTN RING_UEFI_OFFSET = 0x28;
constexpr UINTN RING_SLOT_INDEX = 0x78;

constexpr UINT32 RING_LOG_BASE_OFFSET_MODULUS = 308225; // 301 KiB + 1
constexpr UINT32 RING_SLOT_TABLE_SIZE_MODULUS = 307201; // 300 KiB + 1
constexpr UINT32 RING_UEFI_OFFSET_MODULUS = 30721;      // 30 KiB + 1
constexpr UINT32 RING_SLOT_COUNT = 10;

// The log region X is followed, after 1 KiB left alone, by the area header H and its data.
constexpr UINTN AREA_HEADER_OFFSET = 0x400;
constexpr UINTN AREA_HEADER_SIZE = 0x80;

// Area header fields, from H.
constexpr UINTN AREA_FIRST_OFFSET = 0x00;
constexpr UINTN AREA_SIZE = 0x04;
constexpr UINTN AREA_PRESERVED_0C = 0x0C;
constexpr UINTN AREA_WRAPPED = 0x10;
constexpr UINTN AREA_PRESERVED_14 = 0x14;
constexpr UINTN AREA_WRITE_OFFSET = 0x40;
constexpr UINTN AREA_LEVEL_IN_FORCE = 0x44;

constexpr UINT32 AREA_SIZE_MODULUS = 3145729;   // 3 MiB + 1
constexpr UINT32 AREA_OFFSET_MODULUS = 3145601; // 3 MiB - 128 + 1
