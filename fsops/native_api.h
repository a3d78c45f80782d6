#pragma once

// The native (ntdll) calls and types this program uses, in one place. The Windows SDK's
// winternl.h declares only part of them (NtCreateFile, RtlNtStatusToDosError, the types they take,
// and a FILE_INFORMATION_CLASS that names nothing but FileDirectoryInformation); the rest belong
// to the driver kit's ntifs.h, which a user-mode build does not have. mingw-w64's winternl.h
// declares them all. tests/native_surface.txt lists what each side declares, and a test fails on
// any native name in the product code that neither does.

#include <windows.h>
#include <winternl.h>

// ntdef.h's, which not every SDK's winternl.h repeats.
#ifndef NT_SUCCESS
#define NT_SUCCESS(status) (static_cast<NTSTATUS>(status) >= 0)
#endif
#ifndef OBJ_CASE_INSENSITIVE
#define OBJ_CASE_INSENSITIVE 0x00000040L
#endif
#ifndef InitializeObjectAttributes
#define InitializeObjectAttributes(p, n, a, r, s) \
  do {                                             \
    (p)->Length = sizeof(OBJECT_ATTRIBUTES);       \
    (p)->RootDirectory = (r);                      \
    (p)->Attributes = (a);                         \
    (p)->ObjectName = (n);                         \
    (p)->SecurityDescriptor = (s);                 \
    (p)->SecurityQualityOfService = nullptr;      \
  } while (false)
#endif

// ntifs.h's, as the driver kit documents them; ntdll.lib exports both. ORVO_CHECK_NATIVE_DECLARATIONS
// compiles them beside mingw-w64's own, which must then agree with them.
#if !defined(__MINGW32__) || defined(ORVO_CHECK_NATIVE_DECLARATIONS)
extern "C" {
NTSTATUS NTAPI NtQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                      PVOID FileInformation, ULONG Length,
                                      FILE_INFORMATION_CLASS FileInformationClass);
NTSTATUS NTAPI NtSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                    PVOID FileInformation, ULONG Length,
                                    FILE_INFORMATION_CLASS FileInformationClass);
}
#endif
