// A test image for the engines: a mode register chooses what its logic does, so that a test can
// make one image call every firmware member, overrun a stack buffer or delay, read through
// absolute pointers, and (only where it runs as machine code) misbehave in ways that the
// emulator must stop cleanly. Its pointer table gives it the base relocations that the shipped
// images, built without absolute pointers, no longer carry.
#include <Library/DriverEntryLib.h>
#include <Library/IoLib.h>
#include <Library/TimerLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Protocol/Pcd.h>

namespace {

constexpr UINT64 PROBE_MODE = 0xF0000100;
constexpr UINT64 PROBE_ARGUMENT = 0xF0000104;
constexpr UINT64 PROBE_RESULT = 0xF0000108; // each result the probe sees, for the trace

constexpr UINT32 MODE_CALL_EVERY_MEMBER = 1;
constexpr UINT32 MODE_OVERRUN_STACK = 2;
constexpr UINT32 MODE_DELAY = 3;
constexpr UINT32 MODE_READ_THROUGH_POINTERS = 8;
#if !defined(DXE_SIMULATION)
constexpr UINT32 MODE_WIDE_REGISTER_READ = 4;
constexpr UINT32 MODE_CALL_REGISTER_VALUE = 5;
constexpr UINT32 MODE_BAD_SERVICE_POINTER = 6;
constexpr UINT32 MODE_WRITE_CONSTANT = 7;
const UINT32 PROBE_CONSTANT = 0xC0DE;
#endif

const EFI_GUID PROBE_GUID = {0x0DDBA11, 0x5EED, 0x4ACE, {1, 2, 3, 4, 5, 6, 7, 8}};
UINT64 ProbeInterface = 0x1234;

// Absolute addresses, which the loader relocates: read through them, the words come out as
// 0x0BAD0003, 0x0BAD0001, 0x0BAD0002 only if every relocation was applied. Volatile, so that the
// compiler cannot read the words without the pointers.
const UINT32 POINTED_WORDS[] = {0x0BAD0001, 0x0BAD0002, 0x0BAD0003};
const UINT32* const volatile WORD_POINTERS[] = {&POINTED_WORDS[2], &POINTED_WORDS[0],
                                                &POINTED_WORDS[1]};

VOID Report(UINT64 Value) {
  MmioWrite32(PROBE_RESULT, static_cast<UINT32>(Value));
  MmioWrite32(PROBE_RESULT, static_cast<UINT32>(Value >> 32));
}

// Every slot of both tables, in order, with arguments that the real services refuse or serve
// harmlessly: a table built in another order names other services in the trace.
VOID CallEveryMember(EFI_HANDLE ImageHandle) {
  EFI_BOOT_SERVICES* B = gBS;
  UINT64 Scratch[4] = {0x1111111111111111ULL, 0x2222222222222222ULL, 0, 0};
  VOID* Pointer = nullptr;
  EFI_EVENT Event = nullptr;
  EFI_HANDLE Handle = nullptr;
  UINTN Size = 0;
  UINTN Key = 0;
  UINT32 Version = 0;
  EFI_GUID Guid = PROBE_GUID;

  Report(B->RaiseTPL(TPL_NOTIFY));
  B->RestoreTPL(TPL_APPLICATION);
  Report(B->AllocatePages(AllocateAnyPages, EfiBootServicesData, 1, &Scratch[2]));
  Report(B->FreePages(0, 1));
  Report(B->GetMemoryMap(&Size, nullptr, &Key, &Size, &Version));
  Report(B->AllocatePool(EfiBootServicesData, 40, &Pointer));
  Report(B->FreePool(Pointer));
  Report(B->CreateEvent(0, 0, nullptr, nullptr, &Event));
  Report(B->SetTimer(Event, TimerCancel, 0));
  Report(B->WaitForEvent(1, &Event, &Size));
  Report(B->SignalEvent(Event));
  Report(B->CloseEvent(Event));
  Report(B->CheckEvent(Event));
  Report(B->InstallProtocolInterface(&Handle, &Guid, EFI_NATIVE_INTERFACE, &ProbeInterface));
  Report(B->ReinstallProtocolInterface(Handle, &Guid, &ProbeInterface, &ProbeInterface));
  Report(B->UninstallProtocolInterface(Handle, &Guid, &ProbeInterface));
  Report(B->HandleProtocol(Handle, &Guid, &Pointer));
  Report(B->RegisterProtocolNotify(&Guid, Event, &Pointer));
  Report(B->LocateHandle(ByProtocol, &Guid, nullptr, &Size, nullptr));
  Report(B->LocateDevicePath(&Guid, nullptr, &Handle));
  Report(B->InstallConfigurationTable(&Guid, &ProbeInterface));
  Report(B->LoadImage(0, ImageHandle, nullptr, nullptr, 0, &Handle));
  Report(B->StartImage(Handle, &Size, nullptr));
  Report(B->Exit(Handle, EFI_SUCCESS, 0, nullptr));
  Report(B->UnloadImage(Handle));
  Report(B->ExitBootServices(ImageHandle, Key));
  Report(B->GetNextMonotonicCount(&Scratch[3]));
  Report(B->Stall(1));
  Report(B->SetWatchdogTimer(0, 0, 0, nullptr));
  Report(B->ConnectController(Handle, nullptr, nullptr, 0));
  Report(B->DisconnectController(Handle, nullptr, nullptr));
  Report(B->OpenProtocol(Handle, &Guid, &Pointer, ImageHandle, nullptr, 0));
  Report(B->CloseProtocol(Handle, &Guid, ImageHandle, nullptr));
  Report(B->OpenProtocolInformation(Handle, &Guid, nullptr, &Size));
  Report(B->ProtocolsPerHandle(Handle, nullptr, &Size));
  Report(B->LocateHandleBuffer(ByProtocol, &Guid, nullptr, &Size, nullptr));
  PCD_PROTOCOL* Pcd = nullptr;
  Report(B->LocateProtocol(const_cast<EFI_GUID*>(&gPcdProtocolGuid), nullptr,
                           reinterpret_cast<VOID**>(&Pcd)));
  Report(B->InstallMultipleProtocolInterfaces(&Handle, nullptr));
  Report(B->UninstallMultipleProtocolInterfaces(Handle, nullptr));
  Report(B->CalculateCrc32(Scratch, sizeof(Scratch), &Version));
  B->CopyMem(&Scratch[2], &Scratch[0], 12);
  Report(Scratch[2]);
  Report(Scratch[3]);
  B->SetMem(&Scratch[0], 5, 0x5A);
  Report(Scratch[0]);
  Report(B->CreateEventEx(0, 0, nullptr, nullptr, &Guid, &Event));

  if (Pcd == nullptr) {
    return;
  }
  const EFI_GUID* Space = &Guid;
  CHAR8 Text[] = "probe";
  Size = sizeof(Text);
  Pcd->SetSku(0);
  Report(Pcd->Get8(1));
  Report(Pcd->Get16(1));
  Report(Pcd->Get32(1));
  Report(Pcd->Get64(1));
  Report(reinterpret_cast<UINTN>(Pcd->GetPtr(1)));
  Report(Pcd->GetBool(1));
  Report(Pcd->GetSize(1));
  Report(Pcd->Get8Ex(&Guid, 1));
  Report(Pcd->Get16Ex(&Guid, 1));
  Report(Pcd->Get32Ex(&Guid, 1));
  Report(Pcd->Get64Ex(&Guid, 1));
  Report(reinterpret_cast<UINTN>(Pcd->GetPtrEx(&Guid, 1)));
  Report(Pcd->GetBoolEx(&Guid, 1));
  Report(Pcd->GetSizeEx(&Guid, 1));
  Report(Pcd->Set8(1, 1));
  Report(Pcd->Set16(1, 1));
  Report(Pcd->Set32(1, 1));
  Report(Pcd->Set64(1, 1));
  Report(Pcd->SetPtr(2, &Size, Text));
  Report(Pcd->SetBool(1, 1));
  Report(Pcd->Set8Ex(&Guid, 1, 1));
  Report(Pcd->Set16Ex(&Guid, 1, 1));
  Report(Pcd->Set32Ex(&Guid, 1, 1));
  Report(Pcd->Set64Ex(&Guid, 1, 1));
  Report(Pcd->SetPtrEx(&Guid, 1, &Size, Text));
  Report(Pcd->SetBoolEx(&Guid, 1, 1));
  Report(Pcd->CallbackOnSet(&Guid, 1, nullptr));
  Report(Pcd->CancelCallback(&Guid, 1, nullptr));
  Report(Pcd->GetNextToken(&Guid, &Size));
  Report(Pcd->GetNextTokenSpace(&Space));
}

// The write runs past the buffer into the guard copy above it, so the check on return fails.
// Exempt from the host sanitizers, which would catch the overrun before the guard check does.
__attribute__((noinline, no_sanitize("address", "undefined"))) VOID FillBuffer(UINT32 Length) {
  volatile UINT8 Buffer[16];
  volatile UINT8* Cursor = Buffer;
  for (UINT32 Index = 0; Index < Length; ++Index) {
    Cursor[Index] = 0xEE;
  }
}

} // namespace

EFI_STATUS RunDriverLogic(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE*) {
  const UINT32 Mode = MmioRead32(PROBE_MODE);
  const UINT32 Argument = MmioRead32(PROBE_ARGUMENT);
  switch (Mode) {
  case MODE_CALL_EVERY_MEMBER:
    CallEveryMember(ImageHandle);
    break;
  case MODE_OVERRUN_STACK:
    FillBuffer(Argument);
    break;
  case MODE_DELAY:
    Report(MicroSecondDelay(Argument));
    break;
  case MODE_READ_THROUGH_POINTERS:
    for (const UINT32* const volatile& Pointer : WORD_POINTERS) {
      Report(*Pointer);
    }
    break;
#if !defined(DXE_SIMULATION)
  // Faults that a host build cannot survive, for the emulator only.
  case MODE_WIDE_REGISTER_READ:
    Report(*reinterpret_cast<volatile UINT64*>(PROBE_RESULT));
    break;
  case MODE_CALL_REGISTER_VALUE:
    reinterpret_cast<VOID (*)()>(static_cast<UINTN>(Argument))();
    break;
  case MODE_BAD_SERVICE_POINTER:
    Report(gBS->LocateProtocol(reinterpret_cast<EFI_GUID*>(static_cast<UINTN>(Argument)), nullptr,
                               reinterpret_cast<VOID**>(&ImageHandle)));
    break;
  case MODE_WRITE_CONSTANT:
    *const_cast<volatile UINT32*>(&PROBE_CONSTANT) = Argument;
    break;
#endif
  default:
    break;
  }
  return EFI_SUCCESS;
}
