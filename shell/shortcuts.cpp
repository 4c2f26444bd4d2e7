#include "shell/shortcuts.h"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include "lang/language.h"
#include "settings/store.h"
#include "setup/winver.h"
#include "util/file.h"
#include "util/handles.h"
#include "util/path.h"
#include "util/scan.h"
#include "util/text.h"

bool GetSpecialFolder(wchar_t* buffer, size_t capacity, int csidl) {
  if (capacity >= MAX_PATH && SUCCEEDED(SHGetFolderPathW(nullptr, csidl, nullptr, 0, buffer))) return true;
  CopyText(buffer, L"unknown_folder", capacity);
  return false;
}

bool CreateShellLink(const wchar_t* target, const wchar_t* linkPath, const wchar_t* workingFolder,
                     const wchar_t* description, const wchar_t* icon) {
  ComPtr<IShellLinkW> link;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.put_void())))
    return false;
  ComPtr<IPersistFile> file;
  if (FAILED(link->QueryInterface(IID_IPersistFile, file.put_void()))) return false;
  file->Load(linkPath, STGM_READWRITE);  // an existing shortcut keeps what is not set below
  link->SetPath(target);
  link->SetDescription(description);
  link->SetIconLocation(icon ? icon : L"", 0);
  if (workingFolder) link->SetWorkingDirectory(workingFolder);
  return SUCCEEDED(file->Save(linkPath, TRUE));
}

void RemoveFolder(const wchar_t* path) {
  DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || !IsDirectoryAttr(attributes) || IsReparsePointAttr(attributes)) return;
  wchar_t from[kPathCapacity + 1];
  CopyText(from, path, kPathCapacity);
  from[TextLength(from) + 1] = 0;  // the list ends with two NULs
  SHFILEOPSTRUCTW operation = {};
  operation.wFunc = FO_DELETE;
  operation.pFrom = from;
  operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION;
  SHFileOperationW(&operation);
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
// folder and puts the items into it.
void BuildGroup(const wchar_t* group, const GroupItem (&items)[4], const wchar_t* program,
                const wchar_t* workingFolder, const wchar_t* description, const wchar_t* icon) {
  if (FileExists(group)) {
    wchar_t mask[kPathCapacity];
    JoinPath(group, L"*", mask);
    DirectoryScan scan;
    scan.SetMask(mask);
    FoundEntry entry;
    while (scan.Next(entry)) DeleteFileByName(entry.name);
  }
  CreateDirectoryW(group, nullptr);
  for (size_t i = 0; i < 4; i++) {
    if (!IsPlainFileName(items[i].target) || !IsPlainFileName(items[i].link)) continue;
    wchar_t link[kPathCapacity], target[kPathCapacity];
    JoinPath(group, items[i].link, link);
    AppendText(link, L".lnk");
    CopyText(target, program);
    ReplaceName(target, items[i].target);
    if (FileExists(target)) CreateShellLink(target, link, workingFolder, description, i == 0 ? icon : nullptr);
  }
}

}  // namespace

void SetShortcuts(const IntegrationOptions& options, wchar_t* groupPath, size_t groupCapacity, const wchar_t* icon) {
  if (!IsSystemIntegrationEnabled()) return;
  wchar_t program[kPathCapacity];
  GetProgramFile(L"Korvex.exe", program);
  wchar_t description[1024];
  CopyText(description, GetText(IDS_KORVEXDESC));
  bool vista = WindowsVersion() >= 0x0600;

  // Desktop: the user's own shortcut when there is one, else all users'.
  wchar_t folder[kPathCapacity], userLink[kPathCapacity] = {}, allLink[kPathCapacity];
  if (GetSpecialFolder(folder, CSIDL_DESKTOPDIRECTORY)) JoinPath(folder, L"Korvex.lnk", userLink);
  else if (!vista) return;
  GetSpecialFolder(folder, CSIDL_COMMON_DESKTOPDIRECTORY);
  JoinPath(folder, L"Korvex.lnk", allLink);
  const wchar_t* desktopLink = userLink[0] && FileExists(userLink) ? userLink : allLink;
  if (options.Desktop) CreateShellLink(program, desktopLink, nullptr, description, icon);
  else DeleteFileByName(desktopLink);

  wchar_t workingFolder[kPathCapacity];
  GetSpecialFolder(workingFolder, CSIDL_DESKTOPDIRECTORY);

  wchar_t startMenu[kPathCapacity];
  GetSpecialFolder(startMenu, vista ? CSIDL_COMMON_STARTMENU : CSIDL_STARTMENU);
  AddTrailingSeparator(startMenu);
  AppendText(startMenu, L"Korvex.lnk");
  if (options.StartMenu) CreateShellLink(program, startMenu, workingFolder, description, icon);
  else DeleteFileByName(startMenu);

  // The texts are copied: the lookup hands out short-lived buffers.
  static GroupItem items[4];
  CopyText(items[0].target, L"Korvex.exe");
  CopyText(items[0].link, L"Korvex");
  CopyText(items[1].target, L"Korvex.chm");
  CopyText(items[1].link, GetText(IDS_KORVEXHELP));
  CopyText(items[2].target, L"Kvx.txt");
  CopyText(items[2].link, GetText(IDS_KVXHELP));
  CopyText(items[3].target, GetText(IDS_WHATSNEWNAME));
  CopyText(items[3].link, GetText(IDS_WHATSNEW));

  wchar_t group[kPathCapacity];
  GetSpecialFolder(group, CSIDL_PROGRAMS);
  AddTrailingSeparator(group);
  AppendText(group, L"Korvex");
  if (options.Programs) {
    if (groupPath) CopyText(groupPath, group, groupCapacity);
    BuildGroup(group, items, program, workingFolder, description, icon);
  } else {
    RemoveFolder(group);
  }

  if (!GetSpecialFolder(group, CSIDL_COMMON_PROGRAMS)) return;
  AddTrailingSeparator(group);
  AppendText(group, L"Korvex");
  if (options.Programs) {
    BuildGroup(group, items, program, workingFolder, description, icon);
    if (groupPath && FileExists(group)) CopyText(groupPath, group, groupCapacity);
  } else {
    RemoveFolder(group);
  }
}
