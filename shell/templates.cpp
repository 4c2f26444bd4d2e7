#include "shell/templates.h"

#include "settings/store.h"
#include "util/file.h"
#include "util/log.h"
#include "util/path.h"
#include "util/text.h"

// First bytes zero: set at run time only.
static unsigned char g_KvxImage[kKvxTemplateSize] = {0x00, 0x76, 0x78, 0x21, 0x1A, 0x07, 0x01, 0x00,
                                                     0xC1, 0xDF, 0x5F, 0x56, 0x03, 0x01, 0x04, 0x00,
                                                     0x1D, 0x77, 0x56, 0x51, 0x03, 0x05, 0x04, 0x00};
static unsigned char g_ZipImage[kZipTemplateSize] = {0x00, 0x4B, 0x05, 0x06};

void PrepareTemplates() {
  g_KvxImage[0] = 0x4B;
  g_ZipImage[0] = 0x50;
}

bool TemplateCondition(bool shellExtension, TemplateRow row) {
  if (!shellExtension) return false;
  if (row == TemplateRow::None) return true;
  return ReadSettingInt(L"Setup\\MenuItems", row == TemplateRow::Kvx ? L"NewKVX" : L"NewZIP", 1) != 0;
}

static void ShellNewKey(const wchar_t* extension, wchar_t (&key)[kPathCapacity]) {
  FormatText(key, L"%s\\ShellNew", extension);
}

void InstallNewTemplate(SetupTransaction& changes, const wchar_t* extension, bool kvxRow) {
  wchar_t key[kPathCapacity];
  ShellNewKey(extension, key);
  changes.DeleteKey(kMachineClasses, key);
  wchar_t path[kPathCapacity];
  GetProgramFile(kvxRow ? L"kvxnew.dat" : L"zipnew.dat", path);
  const unsigned char* image = kvxRow ? g_KvxImage : g_ZipImage;
  size_t size = kvxRow ? kKvxTemplateSize : kZipTemplateSize;
  // A file of the right size is left as it is: an edited template survives.
  // Written only as the file at its name (the program folder may be one
  // others can change): a file made here that could not be written whole
  // goes again. A setup run's journal hears of one made.
  bool made = false;
  UniqueFile file(OpenUnredirected(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS, &made));
  LARGE_INTEGER existing;
  if (file && (!GetFileSizeEx(file.Get(), &existing) || existing.QuadPart != (LONGLONG)size)) {
    if (made && changes.Files()) changes.Files()->Made(path);
    LARGE_INTEGER zero = {};
    if (SetFilePointerEx(file.Get(), zero, nullptr, FILE_BEGIN) && WriteExactly(file.Get(), image, size) &&
        SetEndOfFile(file.Get()))
      LogLine("wrote the template %s", path);
    else if (made)
      DeleteByHandle(file.Get());
  }
  changes.WriteClass(key, L"FileName", path);
}

void RemoveTemplateFiles() {
  static const wchar_t kNames[][11] = {L"kvxnew.dat", L"zipnew.dat"};
  for (const wchar_t* name : kNames) {
    wchar_t path[kPathCapacity];
    GetProgramFile(name, path);
    if (FileExists(path) && DeleteUnredirected(path)) LogLine("deleted %s", path);
  }
}

void RestoreNewEntry(SetupTransaction& changes, const wchar_t* extension, const wchar_t* previous) {
  wchar_t key[kPathCapacity];
  ShellNewKey(extension, key);
  if (!previous) {
    changes.DeleteKey(kMachineClasses, key);
    return;
  }
  changes.DeleteValue(kMachineClasses, key, L"FileName");
  if (!previous[0]) return;
  if (previous[0] == L'*') changes.WriteClass(key, L"NullFile", L"");
  else changes.WriteClass(key, L"FileName", previous);
}
