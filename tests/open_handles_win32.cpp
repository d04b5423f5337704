#include <windows.h>
#include <winternl.h>

#include <vector>

#include "tests/open_handles.h"

namespace {

constexpr ULONG SYSTEM_EXTENDED_HANDLE_INFORMATION = 64;

struct HandleEntry {
  PVOID Object;
  ULONG_PTR UniqueProcessId;
  ULONG_PTR HandleValue;
  ULONG GrantedAccess;
  USHORT CreatorBackTraceIndex;
  USHORT ObjectTypeIndex;
  ULONG HandleAttributes;
  ULONG Reserved;
};

struct HandleTable {
  ULONG_PTR NumberOfHandles;
  ULONG_PTR Reserved;
  HandleEntry Handles[1];
};

}  // namespace

int HandleCountOf(unsigned long processId) {
  std::vector<unsigned char> table(1 << 16);
  for (int attempt = 0; attempt < 16; ++attempt) {
    ULONG needed = 0;
    NTSTATUS status = NtQuerySystemInformation(
        static_cast<SYSTEM_INFORMATION_CLASS>(SYSTEM_EXTENDED_HANDLE_INFORMATION), table.data(),
        static_cast<ULONG>(table.size()), &needed);
    if (status == 0) {
      const auto* handles = reinterpret_cast<const HandleTable*>(table.data());
      int count = 0;
      for (ULONG_PTR i = 0; i < handles->NumberOfHandles; ++i) {
        if (handles->Handles[i].UniqueProcessId == processId) {
          ++count;
        }
      }
      return count;
    }
    table.resize(table.size() * 2 > needed ? table.size() * 2 : needed + 4096);
  }
  return -1;
}

int OpenHandleCount() { return HandleCountOf(GetCurrentProcessId()); }
