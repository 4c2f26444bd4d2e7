#include "shell/shortcuts.h"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include "lang/language.h"
#include "settings/store.h"
#include "model/winver.h"
#include "util/file.h"
#include "util/handles.h"
#include "util/log.h"
#include "util/path.h"
#include "util/product.h"
#include "util/text.h"
#include "util/trust.h"

// Larger than any shortcut this tool writes or keeps.
const LONGLONG kMaxShortcutBytes = 1 << 20;

bool GetSpecialFolder(wchar_t* buffer, size_t capacity, int csidl) {
  if (capacity >= MAX_PATH && SUCCEEDED(SHGetFolderPathW(nullptr, csidl, nullptr, 0, buffer))) return true;
  CopyText(buffer, L"unknown_folder", capacity);
  return false;
}

// The shortcut file is read and written through one handle that is known to
// be the file at the link path: on the user's desktop or in the user's
// program group a link may stand at that name, and the elevated setup must
// not write what it leads to. An existing shortcut keeps what is not set
// below (hotkey, window state, arguments).
bool CreateShellLink(const wchar_t* target, const wchar_t* linkPath, const wchar_t* workingFolder,
                     const wchar_t* description, const wchar_t* icon, FileJournal* journal) {
  ComPtr<IShellLinkW> link;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.PutVoid())))
    return false;
  ComPtr<IPersistStream> persist;
  if (FAILED(link->QueryInterface(IID_IPersistStream, persist.PutVoid()))) return false;
  bool made = false;
  UniqueFile file(OpenUnredirected(linkPath, GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS, &made));
  if (!file) return false;
  LARGE_INTEGER size;
  bool existed = GetFileSizeEx(file.Get(), &size) && size.QuadPart > 0;
  if (existed && size.QuadPart < kMaxShortcutBytes) {
    UniqueGlobal memory(GlobalAlloc(GMEM_MOVEABLE, (SIZE_T)size.QuadPart));
    ComPtr<IStream> in;
    if (memory && SUCCEEDED(CreateStreamOnHGlobal(memory.Get(), TRUE, in.Put()))) {
      HGLOBAL owned = memory.Release();  // the stream frees it
      void* bytes = GlobalLock(owned);
      bool read = ReadExactly(file.Get(), bytes, (size_t)size.QuadPart);
      GlobalUnlock(owned);
      if (read) persist->Load(in.Get());  // a damaged shortcut is written anew
    }
  }
  if (made && journal) journal->Made(linkPath);
  link->SetPath(target);
  link->SetDescription(description);
  link->SetIconLocation(icon ? icon : L"", 0);
  if (workingFolder) link->SetWorkingDirectory(workingFolder);
  ComPtr<IStream> out;
  HGLOBAL saved = nullptr;
  STATSTG stat = {};
  bool ok = SUCCEEDED(CreateStreamOnHGlobal(nullptr, TRUE, out.Put())) && SUCCEEDED(persist->Save(out.Get(), TRUE)) &&
            SUCCEEDED(out->Stat(&stat, STATFLAG_NONAME)) && stat.cbSize.QuadPart < kMaxShortcutBytes &&
            SUCCEEDED(GetHGlobalFromStream(out.Get(), &saved));
  if (ok) {
    void* bytes = GlobalLock(saved);
    LARGE_INTEGER zero = {};
    ok = bytes && SetFilePointerEx(file.Get(), zero, nullptr, FILE_BEGIN) &&
         WriteExactly(file.Get(), bytes, (size_t)stat.cbSize.QuadPart) && SetEndOfFile(file.Get());
    GlobalUnlock(saved);
  }
  if (!ok && made) DeleteByHandle(file.Get());  // no empty shortcut left behind
  if (ok) LogLine("shortcut written: %s", linkPath);
  else LogFailure("to write the shortcut", linkPath, GetLastError());
  return ok;
}

namespace {

// A shortcut of ours taken away, when it is there.
void DeleteShortcut(const wchar_t* link, FileJournal* journal) {
  if (!FileExists(link)) return;
  if (DeleteUnredirected(link, journal)) LogLine("shortcut deleted: %s", link);
  else LogFailure("to delete the shortcut", link, GetLastError());
}

}  // namespace

// The folder and everything in it go without any question; nothing is
// followed through a link, neither the folder nor a folder above it, nor
// anything inside it.
void RemoveFolder(const wchar_t* path, FileJournal* journal) {
  DWORD attributes = GetAttributes(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || !IsDirectoryAttr(attributes) || IsReparsePointAttr(attributes)) return;
  DeleteTreeUnredirected(path, journal);
  if (FileExists(path)) LogLine("folder %s stays: something in it could not be deleted", path);
  else LogLine("deleted folder %s", path);
}

namespace {

// A file name from a translation: nothing that could name another folder.
bool IsPlainFileName(const wchar_t* name) {
  if (!name[0]) return false;
  for (const wchar_t* p = name; *p; p++)
    if (*p < 32 || *p == L'\\' || *p == L'/' || *p == L':' || *p == L'*' || *p == L'?' || *p == L'"' ||
        *p == L'<' || *p == L'>' || *p == L'|')
      return false;
  return CompareTextExact(name, L".") != 0 && CompareTextExact(name, L"..") != 0;
}

struct GroupItem {
  wchar_t target[kPathCapacity];  // a file name in the program folder
  wchar_t link[kPathCapacity];    // the shortcut's name without ".lnk"
};

// Empties an existing group folder of its files (subfolders stay), makes the
// folder and puts the items into it. The folder is pinned meanwhile (with
// every folder above it): a group folder that is a link, or lies below one,
// is neither emptied nor filled.
void BuildGroup(const wchar_t* group, const GroupItem (&items)[4], const wchar_t* program,
                const wchar_t* workingFolder, const wchar_t* description, const wchar_t* icon, FileJournal* journal) {
  UniqueFile pin;
  if (!CreateFolderUnredirected(group, nullptr, false, &pin, journal)) {
    LogFailure("to make the program group", group, GetLastError());
    return;
  }
  LogLine("program group: %s", group);
  wchar_t link[kPathCapacity], target[kPathCapacity];
  PinnedScan scan(pin.Get());
  PinnedEntry entry;
  while (scan.Next(entry)) {
    if (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    JoinPath(group, entry.name, link);
    DeleteShortcut(link, journal);
  }
  for (size_t i = 0; i < 4; i++) {
    if (!IsPlainFileName(items[i].target) || !IsPlainFileName(items[i].link)) continue;
    JoinPath(group, items[i].link, link);
    AppendText(link, L".lnk");
    CopyText(target, program);
    ReplaceName(target, items[i].target);
    if (FileExists(target)) CreateShellLink(target, link, workingFolder, description, i == 0 ? icon : nullptr, journal);
  }
}

// The icon a shortcut for all users may show: only a file inside the
// program folder. The one the caller has may be the user's choice (a
// theme's), which must not reach other users' shortcuts (a path on a share
// would have every user's shell connect out to it).
const wchar_t* AllUsersIcon(const wchar_t* icon, const wchar_t* program) {
  wchar_t full[kPathCapacity], folder[kPathCapacity];
  DWORD n = icon ? GetFullPathNameW(icon, kPathCapacity, full, nullptr) : 0;
  CopyText(folder, program);
  RemoveName(folder);
  return FitsBuffer(n, kPathCapacity) && IsDrivePath(full) && IsInsideFolder(full, folder) ? icon : nullptr;
}

// What every shortcut of one SetShortcuts call shares.
struct ShortcutSet {
  FileJournal* journal;
  wchar_t program[kPathCapacity];
  const wchar_t* icon;          // the caller's: for the user's own shortcuts
  const wchar_t* allUsersIcon;  // for the shortcuts all users see
  wchar_t description[1024];
  wchar_t desktop[kPathCapacity];  // the user's desktop: the working folder
  bool desktopFound;
  bool vista;
};

// The desktop shortcut: the user's own when there is one, else all users'.
// The user's folders are used only where the user may not point them at
// files of others (the installation, the system, another profile).
void SetDesktopShortcut(const IntegrationOptions& options, const ShortcutSet& s) {
  wchar_t folder[kPathCapacity], userLink[kPathCapacity] = {}, allLink[kPathCapacity];
  if (s.desktopFound && IsUserFolderUsable(s.desktop)) JoinPath(s.desktop, KVX_PRODUCT L".lnk", userLink);
  GetSpecialFolder(folder, CSIDL_COMMON_DESKTOPDIRECTORY);
  JoinPath(folder, KVX_PRODUCT L".lnk", allLink);
  bool userDesktop = userLink[0] && FileExists(userLink);
  const wchar_t* link = userDesktop ? userLink : allLink;
  if (options.Desktop)
    CreateShellLink(s.program, link, nullptr, s.description, userDesktop ? s.icon : s.allUsersIcon, s.journal);
  else DeleteShortcut(link, s.journal);
}

// The start menu's shortcut: all users' from Windows Vista on, before it
// the user's own where the user's folder is usable.
void SetStartMenuShortcut(const IntegrationOptions& options, const ShortcutSet& s) {
  wchar_t link[kPathCapacity];
  GetSpecialFolder(link, s.vista ? CSIDL_COMMON_STARTMENU : CSIDL_STARTMENU);
  if (!s.vista && !IsUserFolderUsable(link)) return;
  AddTrailingSeparator(link);
  AppendText(link, KVX_PRODUCT L".lnk");
  if (options.StartMenu)
    CreateShellLink(s.program, link, s.desktop, s.description, s.vista ? s.allUsersIcon : s.icon, s.journal);
  else DeleteShortcut(link, s.journal);
}

// The texts are copied: the lookup hands out short-lived buffers.
void FillGroupItems(GroupItem (&items)[4]) {
  CopyText(items[0].target, kArchiverFile);
  CopyText(items[0].link, kProductName);
  CopyText(items[1].target, KVX_PRODUCT L".chm");
  CopyText(items[1].link, GetText(IDS_KORVEXHELP));
  CopyText(items[2].target, L"Kvx.txt");
  CopyText(items[2].link, GetText(IDS_KVXHELP));
  CopyText(items[3].target, GetText(IDS_WHATSNEWNAME));
  CopyText(items[3].link, GetText(IDS_WHATSNEW));
}

// The user's program group (where the user's folder is usable) or all
// users', made and filled or removed. `groupPath` hears of the user's group
// as it is made, and of all users' when it is there afterwards.
void SetGroup(const IntegrationOptions& options, const ShortcutSet& s, const GroupItem (&items)[4], bool allUsers,
              wchar_t* groupPath, size_t groupCapacity) {
  wchar_t group[kPathCapacity];
  if (!GetSpecialFolder(group, allUsers ? CSIDL_COMMON_PROGRAMS : CSIDL_PROGRAMS) ||
      (!allUsers && !IsUserFolderUsable(group)))
    return;
  AddTrailingSeparator(group);
  AppendText(group, kProductName);
  if (!options.Programs) {
    RemoveFolder(group, s.journal);
    return;
  }
  if (groupPath && !allUsers) CopyText(groupPath, group, groupCapacity);
  BuildGroup(group, items, s.program, s.desktop, s.description, allUsers ? s.allUsersIcon : s.icon, s.journal);
  if (groupPath && allUsers && FileExists(group)) CopyText(groupPath, group, groupCapacity);
}

}  // namespace

void SetShortcuts(SetupTransaction& changes, const IntegrationOptions& options, wchar_t* groupPath,
                  size_t groupCapacity, const wchar_t* icon) {
  if (!IsSystemIntegrationEnabled()) return;
  ShortcutSet s;
  s.journal = changes.Files();
  s.vista = WindowsVersion() >= 0x0600;
  GetProgramFile(kArchiverFile, s.program);
  s.icon = icon;
  s.allUsersIcon = AllUsersIcon(icon, s.program);
  CopyText(s.description, GetText(IDS_KORVEXDESC));
  s.desktopFound = GetSpecialFolder(s.desktop, CSIDL_DESKTOPDIRECTORY);
  // Before Windows Vista a user without a desktop folder gets none of them.
  if (!s.desktopFound && !s.vista) return;

  SetDesktopShortcut(options, s);
  SetStartMenuShortcut(options, s);
  static GroupItem items[4];
  FillGroupItems(items);
  SetGroup(options, s, items, false, groupPath, groupCapacity);
  SetGroup(options, s, items, true, groupPath, groupCapacity);
}
