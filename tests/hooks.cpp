#include "hooks.h"
#include "support.h"

#include <aclapi.h>
#include <sddl.h>
#include <shellapi.h>

#include <algorithm>
#include <map>

// ---------------------------------------------------------------- the classic path limit

namespace {

const std::wstring* g_PretendProgram = nullptr;

// A plain path of MAX_PATH characters or more, as Windows without long-path
// support refuses it; the extended-length form is never limited.
bool Refused(const wchar_t* path) {
  if (!path || wcsncmp(path, L"\\\\?\\", 4) == 0 || wcslen(path) < MAX_PATH) return false;
  SetLastError(ERROR_PATH_NOT_FOUND);
  return true;
}

// The system's own function, not the patched import slot.
template <class F> F Real(F, const char* name) {
  return (F)(void*)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name);
}
#define KVX_REAL(f) Real(&f, #f)

HANDLE WINAPI LimitedCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                 DWORD disposition, DWORD flags, HANDLE templateFile) {
  if (Refused(path)) return INVALID_HANDLE_VALUE;
  return KVX_REAL(CreateFileW)(path, access, share, security, disposition, flags, templateFile);
}
BOOL WINAPI LimitedDeleteFileW(LPCWSTR path) { return !Refused(path) && KVX_REAL(DeleteFileW)(path); }
BOOL WINAPI LimitedCreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security) {
  return !Refused(path) && KVX_REAL(CreateDirectoryW)(path, security);
}
BOOL WINAPI LimitedRemoveDirectoryW(LPCWSTR path) { return !Refused(path) && KVX_REAL(RemoveDirectoryW)(path); }
DWORD WINAPI LimitedGetFileAttributesW(LPCWSTR path) {
  return Refused(path) ? INVALID_FILE_ATTRIBUTES : KVX_REAL(GetFileAttributesW)(path);
}
BOOL WINAPI LimitedSetFileAttributesW(LPCWSTR path, DWORD attributes) {
  return !Refused(path) && KVX_REAL(SetFileAttributesW)(path, attributes);
}
HANDLE WINAPI LimitedFindFirstFileW(LPCWSTR path, LPWIN32_FIND_DATAW data) {
  return Refused(path) ? INVALID_HANDLE_VALUE : KVX_REAL(FindFirstFileW)(path, data);
}
BOOL WINAPI LimitedMoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
  return !Refused(from) && !Refused(to) && KVX_REAL(MoveFileExW)(from, to, flags);
}
DWORD WINAPI PretendGetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
  if (module || !g_PretendProgram || size == 0) return KVX_REAL(GetModuleFileNameW)(module, buffer, size);
  DWORD n = (DWORD)std::min<size_t>(g_PretendProgram->size(), size - 1);
  wmemcpy(buffer, g_PretendProgram->c_str(), n);
  buffer[n] = 0;
  return n;
}

}  // namespace

ImportHooks::ImportHooks(const std::vector<std::pair<const char*, void*>>& hooks) {
  // This program's calls, and those the C runtime makes for it (fopen, realloc).
  for (HMODULE module : {GetModuleHandleW(nullptr), GetModuleHandleW(L"msvcrt.dll")}) {
    if (!module) continue;
    auto base = (unsigned char*)module;
    auto nt = (IMAGE_NT_HEADERS*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew);
    IMAGE_DATA_DIRECTORY dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!dir.VirtualAddress) continue;
    for (auto imp = (IMAGE_IMPORT_DESCRIPTOR*)(base + dir.VirtualAddress); imp->Name; imp++) {
      if (!imp->OriginalFirstThunk) continue;
      auto names = (IMAGE_THUNK_DATA*)(base + imp->OriginalFirstThunk);
      auto slots = (IMAGE_THUNK_DATA*)(base + imp->FirstThunk);
      for (; names->u1.AddressOfData; names++, slots++) {
        if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
        const char* name = (const char*)((IMAGE_IMPORT_BY_NAME*)(base + names->u1.AddressOfData))->Name;
        for (auto& hook : hooks) {
          if (strcmp(name, hook.first) != 0) continue;
          patched_.push_back({(void**)&slots->u1.Function, (void*)slots->u1.Function});
          Put((void**)&slots->u1.Function, hook.second);
        }
      }
    }
  }
}

void ImportHooks::Put(void** slot, void* value) {
  DWORD old;
  VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &old);
  *slot = value;
  VirtualProtect(slot, sizeof(void*), old, &old);
}

ImportHooks::~ImportHooks() {
  for (auto& p : patched_) Put(p.first, p.second);
}

ClassicPathLimit::ClassicPathLimit(const std::wstring& programPath)
    : program_(programPath),
      hooks_({{"CreateFileW", (void*)LimitedCreateFileW},
              {"DeleteFileW", (void*)LimitedDeleteFileW},
              {"CreateDirectoryW", (void*)LimitedCreateDirectoryW},
              {"RemoveDirectoryW", (void*)LimitedRemoveDirectoryW},
              {"GetFileAttributesW", (void*)LimitedGetFileAttributesW},
              {"SetFileAttributesW", (void*)LimitedSetFileAttributesW},
              {"FindFirstFileW", (void*)LimitedFindFirstFileW},
              {"MoveFileExW", (void*)LimitedMoveFileExW},
              {"GetModuleFileNameW", (void*)PretendGetModuleFileNameW}}) {
  if (!program_.empty()) g_PretendProgram = &program_;
}

ClassicPathLimit::~ClassicPathLimit() { g_PretendProgram = nullptr; }

// ---------------------------------------------------------------- scarce memory

namespace {

SIZE_T g_Largest = 0;

LPVOID WINAPI ScarceHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  if (bytes > g_Largest) return nullptr;
  return KVX_REAL(HeapAlloc)(heap, flags, bytes);
}
LPVOID WINAPI ScarceHeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes) {
  if (bytes > g_Largest) return nullptr;
  return KVX_REAL(HeapReAlloc)(heap, flags, block, bytes);
}

}  // namespace

// (The limit is in force before the first hook: the hooks' own bookkeeping
// allocates.)
ScarceMemory::ScarceMemory(size_t largest)
    : hooks_((g_Largest = largest,
              std::vector<std::pair<const char*, void*>>{{"HeapAlloc", (void*)ScarceHeapAlloc},
                                                         {"HeapReAlloc", (void*)ScarceHeapReAlloc}})) {}

// ---------------------------------------------------------------- an object's security

namespace {

const wchar_t* g_Shown = nullptr;

DWORD WINAPI ShownGetSecurityInfo(HANDLE, SE_OBJECT_TYPE, SECURITY_INFORMATION, PSID* owner, PSID*, PACL* acl, PACL*,
                                  PSECURITY_DESCRIPTOR* descriptor) {
  BOOL present, defaulted;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(g_Shown, SDDL_REVISION_1, descriptor, nullptr))
    return GetLastError();
  if (owner) GetSecurityDescriptorOwner(*descriptor, owner, &defaulted);
  return !acl || GetSecurityDescriptorDacl(*descriptor, &present, acl, &defaulted) ? ERROR_SUCCESS : GetLastError();
}

}  // namespace

ShownSecurity::ShownSecurity(const wchar_t* sddl)
    : hooks_((g_Shown = sddl, std::vector<std::pair<const char*, void*>>{
                                  {"GetSecurityInfo", (void*)ShownGetSecurityInfo}})) {}
