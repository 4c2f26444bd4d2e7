#include "util/trust.h"

#include <aclapi.h>
#include <ntsecapi.h>
#include <sddl.h>
#include <shlobj.h>

#include "util/file.h"
#include "util/handles.h"
#include "util/path.h"
#include "util/text.h"

namespace {

bool FullName(const wchar_t* path, wchar_t (&out)[kPathCapacity]) {
  DWORD n = GetFullPathNameW(path, kPathCapacity, out, nullptr);
  return FitsBuffer(n, kPathCapacity);
}

bool SpecialFolder(int csidl, wchar_t (&out)[kPathCapacity]) {
  wchar_t folder[MAX_PATH + 1] = {};
  if (FAILED(SHGetFolderPathW(nullptr, csidl | CSIDL_FLAG_DONT_VERIFY, nullptr, 0, folder)) || !folder[0])
    return false;
  CopyText(out, folder);
  return true;
}

// The judgement on one spelling of the folder.
bool IsUsableName(const wchar_t* folder) {
  wchar_t program[kPathCapacity], other[kPathCapacity];
  GetProgramPath(program);
  RemoveName(program);
  if (!program[0] || IsInsideFolder(folder, program) || IsInsideFolder(program, folder)) return false;
  UINT n = GetSystemWindowsDirectoryW(other, kPathCapacity);
  if (!FitsBuffer(n, kPathCapacity) || IsInsideFolder(folder, other)) return false;
  static const int kMachineFolders[] = {CSIDL_PROGRAM_FILES, CSIDL_PROGRAM_FILESX86, CSIDL_COMMON_APPDATA};
  for (int csidl : kMachineFolders)
    if (SpecialFolder(csidl, other) && IsInsideFolder(folder, other)) return false;
  wchar_t profile[kPathCapacity];
  if (!SpecialFolder(CSIDL_PROFILE, profile)) return false;
  if (IsInsideFolder(folder, profile)) return true;
  // Beside the current user's profile lie the other users' ones.
  CopyText(other, profile);
  RemoveName(other);
  if (other[0] && IsInsideFolder(folder, other)) return false;
  return IsOwnedByCurrentUser(folder);
}

}  // namespace

bool IsInsideFolder(const wchar_t* path, const wchar_t* folder) {
  size_t length = TextLength(folder);
  while (length > 0 && IsSeparator(folder[length - 1])) length--;
  if (length == 0) return false;
  for (size_t i = 0; i < length; i++) {
    wchar_t a = path[i], b = folder[i];
    if (a == 0) return false;
    if (IsSeparator(a) && IsSeparator(b)) continue;
    if (CompareStringOrdinal(&a, 1, &b, 1, TRUE) != CSTR_EQUAL) return false;
  }
  return path[length] == 0 || IsSeparator(path[length]);
}

bool IsUserFolderUsable(const wchar_t* folder) {
  wchar_t full[kPathCapacity], final[kPathCapacity];
  if (!folder || !folder[0] || !FullName(folder, full) || !IsUsableName(full)) return false;
  return !GetFinalPath(full, final, kPathCapacity) || IsUsableName(final);
}

namespace {

// SYSTEM, the administrators and the system's installer service.
bool IsTrustedAccount(PSID sid) {
  static const BYTE kNt[6] = {0, 0, 0, 0, 0, 5};
  if (memcmp(GetSidIdentifierAuthority(sid)->Value, kNt, 6) != 0) return false;
  DWORD count = *GetSidSubAuthorityCount(sid);
  DWORD first = count ? *GetSidSubAuthority(sid, 0) : 0;
  return (count == 1 && first == SECURITY_LOCAL_SYSTEM_RID) ||
         (count == 2 && first == SECURITY_BUILTIN_DOMAIN_RID && *GetSidSubAuthority(sid, 1) == DOMAIN_ALIAS_RID_ADMINS) ||
         (count == 6 && first == SECURITY_SERVICE_ID_BASE_RID && *GetSidSubAuthority(sid, 1) == 956008885);
}

}  // namespace

bool AclLetsOthersChange(const ACL* acl, const void* alsoTrusted, DWORD changes) {
  if (!acl) return true;
  for (DWORD i = 0; i < acl->AceCount; i++) {
    ACE_HEADER* header = nullptr;
    if (!GetAce(const_cast<ACL*>(acl), i, (void**)&header) || header->AceType != ACCESS_ALLOWED_ACE_TYPE ||
        (header->AceFlags & INHERIT_ONLY_ACE))
      continue;
    auto ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    if (!(ace->Mask & changes)) continue;
    PSID sid = &ace->SidStart;
    if (!IsTrustedAccount(sid) && !(alsoTrusted && EqualSid(sid, const_cast<void*>(alsoTrusted)))) return true;
  }
  return false;
}

namespace {

// Whether one of SYSTEM, the administrators and the installer service owns
// the object (under elevation the account running the tool owns nothing
// that its unelevated programs could not have made), and, unless `changes`
// is 0, its access list lets no one else but the owner make one of them.
bool OwnedAndChangedOnlyByTrusted(HANDLE object, SE_OBJECT_TYPE type, DWORD changes) {
  PSID owner = nullptr;
  PACL acl = nullptr;
  UniqueLocal descriptor;
  return GetSecurityInfo(object, type, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr, &acl,
                         nullptr, descriptor.Put()) == ERROR_SUCCESS &&
         owner && IsTrustedAccount(owner) && (!changes || !AclLetsOthersChange(acl, owner, changes));
}

}  // namespace

bool OnlyAdministratorsChange(HANDLE folder, bool contents) {
  return OwnedAndChangedOnlyByTrusted(folder, SE_FILE_OBJECT, contents ? kAnyChange : kRenameOrRemove);
}

bool OnlyAdministratorsChange(const PinnedChain& chain, bool contentsOfLast) {
  size_t n = chain.Pins().Count();
  for (size_t i = 0; i < n; i++)
    if (!OnlyAdministratorsChange(chain.Pins().At(i), contentsOfLast && i + 1 == n)) return false;
  return n > 0;
}

AsTheUser::AsTheUser() {
  UniqueHandle token;
  TOKEN_ELEVATION_TYPE type;
  DWORD size = 0;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put()) ||
      !GetTokenInformation(token.Get(), TokenElevationType, &type, sizeof type, &size))
    return;
  if (type != TokenElevationTypeFull) {
    acting_ = true;
    return;
  }
  TOKEN_LINKED_TOKEN linked = {};
  if (!GetTokenInformation(token.Get(), TokenLinkedToken, &linked, sizeof linked, &size)) return;
  UniqueHandle user(linked.LinkedToken);
  impersonating_ = acting_ = ImpersonateLoggedOnUser(user.Get()) != 0;
}

AsTheUser::~AsTheUser() {
  if (impersonating_) RevertToSelf();
}

namespace {

const wchar_t kPrivatePrefix[] = L"Kvx-";
const size_t kPrivateDigits = 32;  // 16 random bytes

bool IsPrivateFolderName(const wchar_t* name) {
  if (!StartsWithExact(name, kPrivatePrefix)) return false;
  name += 4;
  for (size_t i = 0; i < kPrivateDigits; i++)
    if (!((name[i] >= L'0' && name[i] <= L'9') || (name[i] >= L'a' && name[i] <= L'f'))) return false;
  return name[kPrivateDigits] == 0;
}


uint64_t TimeOf(const FILETIME& t) { return ((uint64_t)t.dwHighDateTime << 32) | t.dwLowDateTime; }

// The files a pinned private folder holds, each held for its deletion:
// false when the folder holds anything but plain files of one name each that
// `isOwn` accepts, or more than `files` of them.
bool HoldsOnlyOwn(HANDLE pin, const wchar_t* folder, bool (*isOwn)(const wchar_t*), UniqueFile* files, size_t count,
                  uint64_t& newest) {
  PinnedScan scan(pin);
  PinnedEntry entry;
  size_t found = 0;
  while (scan.Next(entry)) {
    if (found == count || (entry.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
        !isOwn(entry.name))
      return false;
    wchar_t path[kPathCapacity];
    JoinPath(folder, entry.name, path);
    UniqueFile& file = files[found++];
    file.Reset(OpenForDeletion(path));
    BY_HANDLE_FILE_INFORMATION info;
    if (!file || !GetFileInformationByHandle(file.Get(), &info) || info.nNumberOfLinks != 1 ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
      return false;
    if (TimeOf(info.ftLastWriteTime) > newest) newest = TimeOf(info.ftLastWriteTime);
  }
  return !scan.Failed();
}

}  // namespace

bool IsOwnedByAdministrators(HANDLE object, SE_OBJECT_TYPE type) { return OwnedAndChangedOnlyByTrusted(object, type, 0); }

unsigned RemoveAbandonedPrivateFolders(const wchar_t* parent, bool (*isOwn)(const wchar_t* name), unsigned minutes) {
  FILETIME nowTime;
  GetSystemTimeAsFileTime(&nowTime);
  uint64_t now = TimeOf(nowTime), age = (uint64_t)minutes * 60 * 10000000;
  auto young = [now, age](uint64_t time) { return now < time || now - time < age; };
  PinnedChain chain;
  if (!chain.Pin(parent)) return 0;
  PinnedScan scan(chain.Last());
  PinnedEntry entry;
  unsigned removed = 0;
  while (scan.Next(entry)) {
    if ((entry.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != FILE_ATTRIBUTE_DIRECTORY ||
        !IsPrivateFolderName(entry.name) || young(entry.lastWrite))
      continue;  // a young folder is a run's that may still be going: not even opened
    wchar_t path[kPathCapacity];
    JoinPath(parent, entry.name, path);
    UniqueFile folder(PinFolder(path, true));
    BY_HANDLE_FILE_INFORMATION info;
    if (!folder || !GetFileInformationByHandle(folder.Get(), &info) || !OnlyAdministratorsChange(folder.Get(), true)) continue;
    uint64_t newest = TimeOf(info.ftLastWriteTime);
    const size_t kMaxFiles = 4;
    UniqueFile files[kMaxFiles];
    if (!HoldsOnlyOwn(folder.Get(), path, isOwn, files, kMaxFiles, newest) || young(newest)) continue;
    bool emptied = true;
    for (UniqueFile& file : files)
      if (file && !DeleteByHandle(file.Get())) emptied = false;
    for (UniqueFile& file : files) file.Reset();
    if (emptied && DeleteByHandle(folder.Get())) removed++;
  }
  return removed;
}

bool CreatePrivateFolder(const wchar_t* parent, wchar_t* out, size_t capacity, UniqueFile* pin) {
  // Only SYSTEM and administrators, nothing inherited from the parent.
  UniqueLocal descriptor;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", SDDL_REVISION_1,
                                                            descriptor.Put(), nullptr))
    return false;
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor.Get(), FALSE};
  bool made = false;
  for (int attempt = 0; attempt < 8 && !made; attempt++) {
    unsigned char random[16];
    if (!SystemFunction036(random, sizeof random)) break;
    wchar_t name[40];
    CopyText(name, kPrivatePrefix);
    for (size_t i = 0; i < sizeof random; i++) {
      name[4 + 2 * i] = L"0123456789abcdef"[random[i] >> 4];
      name[5 + 2 * i] = L"0123456789abcdef"[random[i] & 15];
    }
    name[4 + kPrivateDigits] = 0;
    JoinPath(parent, name, out, capacity);
    // A new folder or none: a name someone made first is never taken over.
    made = CreateFolderUnredirected(out, &attributes, true, pin);
    if (!made && GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  return made;
}
