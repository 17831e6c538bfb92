// The dynamic PCD service interface found under gPcdProtocolGuid. Member order is the
// firmware's: SetPtr is the twentieth slot.
#pragma once

#include <Uefi.h>

#define PCD_PROTOCOL_GUID                                                                          \
  {                                                                                                \
    0x11B34006, 0xD85B, 0x4D0A, {                                                                  \
      0xA2, 0x90, 0xD5, 0xA5, 0x71, 0x31, 0x0E, 0xF7                                               \
    }                                                                                              \
  }

extern const EFI_GUID gPcdProtocolGuid;

typedef VOID(EFIAPI* PCD_PROTOCOL_SET_SKU)(UINTN SkuId);
typedef UINT8(EFIAPI* PCD_PROTOCOL_GET8)(UINTN TokenNumber);
typedef UINT16(EFIAPI* PCD_PROTOCOL_GET16)(UINTN TokenNumber);
typedef UINT32(EFIAPI* PCD_PROTOCOL_GET32)(UINTN TokenNumber);
typedef UINT64(EFIAPI* PCD_PROTOCOL_GET64)(UINTN TokenNumber);
typedef VOID*(EFIAPI* PCD_PROTOCOL_GET_POINTER)(UINTN TokenNumber);
typedef BOOLEAN(EFIAPI* PCD_PROTOCOL_GET_BOOLEAN)(UINTN TokenNumber);
typedef UINTN(EFIAPI* PCD_PROTOCOL_GET_SIZE)(UINTN TokenNumber);
typedef UINT8(EFIAPI* PCD_PROTOCOL_GET_EX_8)(const EFI_GUID* Guid, UINTN TokenNumber);
typedef UINT16(EFIAPI* PCD_PROTOCOL_GET_EX_16)(const EFI_GUID* Guid, UINTN TokenNumber);
typedef UINT32(EFIAPI* PCD_PROTOCOL_GET_EX_32)(const EFI_GUID* Guid, UINTN TokenNumber);
typedef UINT64(EFIAPI* PCD_PROTOCOL_GET_EX_64)(const EFI_GUID* Guid, UINTN TokenNumber);
typedef VOID*(EFIAPI* PCD_PROTOCOL_GET_EX_POINTER)(const EFI_GUID* Guid, UINTN TokenNumber);
typedef BOOLEAN(EFIAPI* PCD_PROTOCOL_GET_EX_BOOLEAN)(const EFI_GUID* Guid, UINTN TokenNumber);
typedef UINTN(EFIAPI* PCD_PROTOCOL_GET_EX_SIZE)(const EFI_GUID* Guid, UINTN TokenNumber);
typedef EFI_STATUS(EFIAPI* PCD_PROTOCOL_SET8)(UINTN TokenNumber, UINT8 Value);
typedef EFI_STATUS(EFIAPI* PCD_PROTOCOL_SET16)(UINTN TokenNumber, UINT16 Value);
typedef EFI_STATUS(EFIAPI* PCD_PROTOCOL_SET32)(UINTN TokenNumber, UINT32 Value);
typedef EFI_STATUS(EFIAPI* PCD_PROTOCOL_SET64)(UINTN TokenNumber, UINT64 Value);
typedef EFI_STATUS(EFIAPI* PCD_PROTOCOL_SET_POINTER)(UINTN TokenNumber, UINTN* SizeOfBuffer,
                                                     VOID* Buffer);
typedef EFI_STATUS(EFIAPI* PCD_PROTOCOL_SET_BOOLEAN)(UINTN TokenNumber, BOOLEAN Value);
typedef EFI_STATUS(EFIAPI* PCD_PROTOCOL_SET_EX_8)(const EFI_GUID* Guid, UINTN TokenNumber,
                                                  UINT8 Value);
typedef EFI_STATUS(EFIAPI* PCD_PROTOCOL_SET_EX_16)(const EFI_GUID* Guid, UINTN TokenNumber,
                                                   UINT16 Value);
typedef EFI_STATUS(EFIAPI* PCD_PROTOCOL_SET_EX_32)(const EFI_GUID* Guid, UINTN TokenNumber,
                                                   UINT32 Value);
typedef EFI_STATUS(EFIAPI* PCD_PROTOCOL_SET_EX_64)(const EFI_GUID* Guid, UINTN TokenNumber,
                                                   UINT64 Value);
typedef EFI_STATUS(EFIAPI* PCD_PROTOCOL_SET_EX_POINTER)(const EFI_GUID* Guid, UINTN TokenNumber,
                                                        UINTN* SizeOfBuffer, VOID* Buffer);
typedef EFI_STATUS(EFIAPI* PCD_PROTOCOL_SET_EX_BOOLEAN)(const EFI_GUID* Guid, UINTN TokenNumber,
                                                        BOOLEAN Value);
typedef VOID(EFIAPI* PCD_PROTOCOL_CALLBACK)(const EFI_GUID* CallBackGuid, UINTN CallBackToken,
                                            VOID* TokenData, UINTN TokenDataSize);
typedef EFI_STATUS(EFIAPI* PCD_PROTOCOL_CALLBACK_ONSET)(const EFI_GUID* Guid, UINTN TokenNumber,
                                                        PCD_PROTOCOL_CALLBACK CallBackFunction);
typedef EFI_STATUS(EFIAPI* PCD_PROTOCOL_CANCEL_CALLBACK)(const EFI_GUID* Guid, UINTN TokenNumber,
                                                         PCD_PROTOCOL_CALLBACK CallBackFunction);
typedef EFI_STATUS(EFIAPI* PCD_PROTOCOL_GET_NEXT_TOKEN)(const EFI_GUID* Guid, UINTN* TokenNumber);
typedef EFI_STATUS(EFIAPI* PCD_PROTOCOL_GET_NEXT_TOKENSPACE)(const EFI_GUID** Guid);

struct PCD_PROTOCOL {
  PCD_PROTOCOL_SET_SKU SetSku;
  PCD_PROTOCOL_GET8 Get8;
  PCD_PROTOCOL_GET16 Get16;
  PCD_PROTOCOL_GET32 Get32;
  PCD_PROTOCOL_GET64 Get64;
  PCD_PROTOCOL_GET_POINTER GetPtr;
  PCD_PROTOCOL_GET_BOOLEAN GetBool;
  PCD_PROTOCOL_GET_SIZE GetSize;
  PCD_PROTOCOL_GET_EX_8 Get8Ex;
  PCD_PROTOCOL_GET_EX_16 Get16Ex;
  PCD_PROTOCOL_GET_EX_32 Get32Ex;
  PCD_PROTOCOL_GET_EX_64 Get64Ex;
  PCD_PROTOCOL_GET_EX_POINTER GetPtrEx;
  PCD_PROTOCOL_GET_EX_BOOLEAN GetBoolEx;
  PCD_PROTOCOL_GET_EX_SIZE GetSizeEx;
  PCD_PROTOCOL_SET8 Set8;
  PCD_PROTOCOL_SET16 Set16;
  PCD_PROTOCOL_SET32 Set32;
  PCD_PROTOCOL_SET64 Set64;
  PCD_PROTOCOL_SET_POINTER SetPtr;
  PCD_PROTOCOL_SET_BOOLEAN SetBool;
  PCD_PROTOCOL_SET_EX_8 Set8Ex;
  PCD_PROTOCOL_SET_EX_16 Set16Ex;
  PCD_PROTOCOL_SET_EX_32 Set32Ex;
  PCD_PROTOCOL_SET_EX_64 Set64Ex;
  PCD_PROTOCOL_SET_EX_POINTER SetPtrEx;
  PCD_PROTOCOL_SET_EX_BOOLEAN SetBoolEx;
  PCD_PROTOCOL_CALLBACK_ONSET CallbackOnSet;
  PCD_PROTOCOL_CANCEL_CALLBACK CancelCallback;
  PCD_PROTOCOL_GET_NEXT_TOKEN GetNextToken;
  PCD_PROTOCOL_GET_NEXT_TOKENSPACE GetNextTokenSpace;
};

static_assert(offsetof(PCD_PROTOCOL, SetPtr) == 152);
static_assert(sizeof(PCD_PROTOCOL) == 31 * 8);
