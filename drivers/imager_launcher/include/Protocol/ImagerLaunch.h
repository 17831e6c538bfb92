// ImagerLaunchProtocol: starts the ISP cores on firmware images that the caller has already
// placed in memory. Installed on the ImagerLauncher driver's image handle; find it with
// LocateProtocol. The interface is three function pointers and nothing else, and unlike most
// protocols its members take no pointer to the interface. Include after the UEFI base types.
#ifndef IMAGER_LAUNCH_PROTOCOL_H_
#define IMAGER_LAUNCH_PROTOCOL_H_

#define IMAGER_LAUNCH_PROTOCOL_GUID                                                                \
  {                                                                                                \
    0xE5037DA0, 0xD990, 0xF5CE, {                                                                  \
      0xD2, 0xE0, 0x7D, 0x39, 0x91, 0x30, 0xA5, 0xFF                                               \
    }                                                                                              \
  }

// Checks both images (0 address or size means absent; at most 20 MiB each, starting below
// 1 TiB), records the result in the ISP status record at 0xC6F36500 and starts ISP core 0, and
// core 1 when its image is accepted. Always returns EFI_SUCCESS; the record tells what was
// started.
typedef EFI_STATUS(EFIAPI* IMAGER_LAUNCH_START_ISP)(UINT64 Fw0Address, UINT64 Fw1Address,
                                                    UINT32 Size1, UINT32 Size2);
// Writes the ISP status record: magic "PSI", the two values and their 32-bit sum.
typedef EFI_STATUS(EFIAPI* IMAGER_LAUNCH_SET_ISP_STATUS)(UINT32 Value0, UINT32 Value1);
// Writes 0xABABABAB into the marker word at 0xCD080C00.
typedef EFI_STATUS(EFIAPI* IMAGER_LAUNCH_WRITE_ISP_MARKER)(VOID);

typedef struct {
  IMAGER_LAUNCH_START_ISP StartIsp;
  IMAGER_LAUNCH_SET_ISP_STATUS SetIspStatus;
  IMAGER_LAUNCH_WRITE_ISP_MARKER WriteIspMarker;
} IMAGER_LAUNCH_PROTOCOL;

extern const EFI_GUID gImagerLaunchProtocolGuid;

#endif
