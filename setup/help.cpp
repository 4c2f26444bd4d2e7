#include "setup/help.h"

#include <windows.h>

#include "lang/language.h"
#include "lang/module.h"
#include "shell/desktop.h"
#include "util/path.h"
#include "util/text.h"

void ComposeHelpRequest(const wchar_t* programPath, const wchar_t* topic, wchar_t* what, wchar_t* arguments,
                        size_t capacity) {
  wchar_t path[kPathCapacity], file[kPathCapacity];
  CopyText(path, programPath);
  ReplaceName(path, L"korvex.chm");
  FindLanguageFile(path, file);
  arguments[0] = 0;
  if (!topic) {
    CopyText(what, file, capacity);
    return;
  }
  CopyText(what, L"hh.exe", capacity);
  FormatText(arguments, capacity, L"%s::/html/%s.htm", file, topic);
}

void ShowHelp(const wchar_t* topic) {
  wchar_t program[kPathCapacity], what[kPathCapacity], arguments[kPathCapacity];
  GetProgramPath(program);
  ComposeHelpRequest(program, topic, what, arguments, kPathCapacity);
  OpenInUserShell(what, arguments[0] ? arguments : nullptr);
}
