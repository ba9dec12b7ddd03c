#pragma once
// What a Windows test program holds: its kernel handles and its GDI objects, or -1 when they
// cannot be read. Wine reports 0 from GetProcessHandleCount and GetGuiResources, so both come from
// the tables Windows and Wine keep themselves: the system handle list, and the shared GDI handle
// table that hangs off the process environment block.
#include <windows.h>
// after windows.h, which it needs
#include <winternl.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace varnel {

template <typename Function>
Function NtdllFunction(const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}

// A SYSTEM_HANDLE_TABLE_ENTRY_INFO starts with the owner's process id as a USHORT.
inline long KernelHandles() {
  using Query = NTSTATUS(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
  const auto query = NtdllFunction<Query>("NtQuerySystemInformation");
  std::vector<unsigned char> buffer(1 << 20);
  for (int attempt = 0; query != nullptr && attempt < 8; ++attempt) {
    ULONG needed = 0;
    const NTSTATUS status = query(16 /* SystemHandleInformation */, buffer.data(),
                                  static_cast<ULONG>(buffer.size()), &needed);
    if (status == static_cast<NTSTATUS>(0xC0000004L)) {  // STATUS_INFO_LENGTH_MISMATCH
      buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed + 4096));
      continue;
    }
    if (status < 0) return -1;
    ULONG count = 0;
    std::memcpy(&count, buffer.data(), sizeof count);
    const std::size_t entry_size = 8 + 2 * sizeof(void*);
    const auto self = static_cast<USHORT>(GetCurrentProcessId());
    long own = 0;
    for (ULONG i = 0; i < count; ++i) {
      USHORT owner = 0;
      std::memcpy(&owner, buffer.data() + sizeof(void*) + i * entry_size, sizeof owner);
      own += owner == self ? 1 : 0;
    }
    return own;
  }
  return -1;
}

// A GDI_HANDLE_ENTRY is 24 bytes: the owner's process id in the low half of the ULONG at 8, the
// object type (0 for a free entry) at 14.
inline long GdiObjects() {
  using Query = NTSTATUS(NTAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
  const auto query = NtdllFunction<Query>("NtQueryInformationProcess");
  PROCESS_BASIC_INFORMATION basic{};
  if (query == nullptr ||
      query(GetCurrentProcess(), ProcessBasicInformation, &basic, sizeof(basic), nullptr) < 0) {
    return -1;
  }
  const auto* peb = reinterpret_cast<const unsigned char*>(basic.PebBaseAddress);
  const auto* table = *reinterpret_cast<const unsigned char* const*>(peb + 0xF8);
  if (table == nullptr) return -1;
  const auto self = static_cast<USHORT>(GetCurrentProcessId());
  long own = 0;
  for (std::size_t i = 0; i < 0x10000; ++i) {
    const unsigned char* entry = table + 24 * i;
    USHORT owner = 0;
    std::memcpy(&owner, entry + 8, sizeof owner);
    // Wine's table is the process's own and leaves the owner 0; on Windows 0 marks the stock
    // objects, which do not change.
    own += entry[14] != 0 && (owner == self || owner == 0) ? 1 : 0;
  }
  return own;
}

}  // namespace varnel
