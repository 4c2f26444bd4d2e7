#include "setup/help.h"

#include <windows.h>

#include "lang/language.h"
#include "util/path.h"
#include "util/text.h"
#include "util/trust.h"

namespace {

typedef HWND(WINAPI* HtmlHelpProc)(HWND owner, LPCWSTR file, UINT command, DWORD_PTR data);
const UINT kDisplayToc = 0x0001;    // HH_DISPLAY_TOC
const UINT kDisplayTopic = 0x0000;  // HH_DISPLAY_TOPIC

HMODULE g_HelpModule;
HtmlHelpProc g_HtmlHelp;
wchar_t g_HelpFile[kPathCapacity];
bool g_ShortPathTried;

// The help viewer renders the file in the elevated process, and a help file
// can carry commands: a translated one is taken only from a language folder
// inside the program folder, which only administrators can change.
void ComposeHelpFile(const wchar_t* programPath) {
  wchar_t path[kPathCapacity], folder[kPathCapacity];
  CopyText(path, programPath);
  ReplaceName(path, L"korvex.chm");
  FindLanguageFile(path, g_HelpFile);
  CopyText(folder, programPath);
  RemoveName(folder);
  wchar_t full[kPathCapacity];
  DWORD n = GetFullPathNameW(g_HelpFile, kPathCapacity, full, nullptr);  // no ".." past the check
  if (n == 0 || n >= kPathCapacity || !IsInsideFolder(full, folder)) CopyText(g_HelpFile, path);
}

}  // namespace

void ShowHelp(const wchar_t* topic) {
  if (!g_HelpModule) g_HelpModule = LoadSystemLibrary(L"hhctrl.ocx");
  if (!g_HtmlHelp) {
    if (!g_HelpModule) return;
    g_HtmlHelp = (HtmlHelpProc)(void*)GetProcAddress(g_HelpModule, "HtmlHelpW");
    wchar_t program[kPathCapacity];
    GetProgramPath(program);
    ComposeHelpFile(program);
    if (!g_HtmlHelp) return;
  }
  HWND shown;
  if (!topic) {
    shown = g_HtmlHelp(GetDesktopWindow(), g_HelpFile, kDisplayToc, 0);
  } else {
    wchar_t page[2098];
    FormatText(page, L"%s::/html/%s.htm", g_HelpFile, topic);
    shown = g_HtmlHelp(GetDesktopWindow(), page, kDisplayTopic, 0);
  }
  if (shown || g_ShortPathTried) return;
  g_ShortPathTried = true;
  // A help path with characters the ANSI code page cannot carry defeats the
  // viewer; the short form of the program's path avoids them.
  if (SurvivesCodePage(g_HelpFile, CP_ACP)) return;
  wchar_t program[kPathCapacity], shortPath[kPathCapacity];
  GetProgramPath(program);
  DWORD n = GetShortPathNameW(program, shortPath, kPathCapacity);
  if (n > 0 && n < kPathCapacity) CopyText(program, shortPath);
  ComposeHelpFile(program);
  ShowHelp(topic);
}
