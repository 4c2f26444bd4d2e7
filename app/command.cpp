#include "app/command.h"

#include "lang/language.h"
#include "util/log.h"
#include "util/path.h"
#include "util/text.h"

const wchar_t* NextToken(const wchar_t* text, wchar_t* token, size_t size) {
  while (*text == L' ' || *text == L'\t') text++;
  if (!*text) return nullptr;
  size_t length = 0;
  bool quoted = false;
  for (; *text; text++) {
    wchar_t c = *text;
    if (!quoted && (c == L' ' || c == L'\t')) break;
    if (c == L'"') {
      if (text[1] == L'"') {
        text++;  // a doubled quote is one literal quote and does not toggle
      } else {
        quoted = !quoted;
        continue;
      }
    }
    if (length + 1 < size) token[length++] = c;
  }
  if (size) token[length] = 0;
  return text;
}

bool MatchSwitch(const wchar_t* switchText, const wchar_t* keyword, int n) {
  int a = (int)TextLength(switchText) + 1, b = (int)TextLength(keyword) + 1;
  if (a > n) a = n;
  if (b > n) b = n;
  return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE | SORT_STRINGSORT, switchText, a, keyword, b) ==
         CSTR_EQUAL;
}

void ComposePathMessage(wchar_t* message, size_t capacity, const wchar_t* format, const wchar_t* path) {
  // The path in quotes, so that it stands apart from the sentence around
  // it; in a right-to-left sentence embedded left to right, so that it does
  // not read backwards.
  wchar_t quoted[kPathCapacity + 8];
  FormatText(quoted, g_LanguageFile.RightToLeft ? L"\x202A\"%s\"\x202C" : L"\"%s\"", path);
  if (FormatText(message, capacity, format, quoted) < 0 && capacity > 1)
    message[capacity - 2] = L'\x2026';  // cut: the reader sees that something is missing
}

int ShowPathMessage(const wchar_t* format, const wchar_t* path, const wchar_t* caption, UINT style) {
  wchar_t message[kMessageCapacity];
  ComposePathMessage(message, kMessageCapacity, format, path);
  return ShowMessage(nullptr, message, caption, style);
}

static void ShowWarning(const wchar_t* path) {
  wchar_t message[kMessageCapacity];
  FormatText(message, L"%s\n", GetText(IDS_UNINSTALLCOMPLETED));
  size_t used = TextLength(message);
  ComposePathMessage(message + used, kMessageCapacity - used, GetText(IDS_UNINSTALLSHOULDDELETE), path);
  ShowMessage(nullptr, message, GetText(IDS_UNINSTALLKVX), MB_ICONINFORMATION | MB_SETFOREGROUND);
}

void RunCommandActions(const CommandActions& actions, const wchar_t* warningPath) {
  wchar_t path[kPathCapacity];
  GetProgramPath(path);
  for (size_t i = 0; i < actions.Count(); i++) {
    if (actions[i] == CommandAction::Wait) Sleep(2000);
    else ShowWarning(warningPath && warningPath[0] ? warningPath : path);
  }
}

void ParseCommand(bool installerCommand, const wchar_t* text, RunOptions& options, RunMode& mode,
                  CommandActions* actions) {
  int switches = 0;
  bool setup = false;
  wchar_t token[kTokenCapacity];
  for (const wchar_t* p = text ? text : L""; (p = NextToken(p, token, kTokenCapacity)) != nullptr;) {
    if (token[0] != L'-' && token[0] != L'/') continue;
    if (token[1] && UpperChar(token[1]) == L'S' && !IsLatinLetter(token[2])) {
      options.Silent = true;
      continue;
    }
    const wchar_t* word = token + 1;
    // "log", "msi", "restartcode", "nomessages" and "closeapps", like "s",
    // keep the uninstall mode: a package installer takes the integration
    // back with "-msi".
    bool log = MatchSwitch(word, L"log", 3) && (word[3] == 0 || word[3] == L'=' || word[3] == L':');
    bool restart = MatchSwitch(word, L"restartcode", 11), quiet = MatchSwitch(word, L"nomessages", 10);
    bool close = MatchSwitch(word, L"closeapps", 9);
    if (installerCommand || (!log && !restart && !quiet && !close && !MatchSwitch(word, L"msi", 3))) switches++;
    if (installerCommand) {
      // Of the installer's command only "s" and "log" act; a log it names is
      // written only where the user may have the tool write (see StartLog).
      if (log && !options.Log) {
        options.Log = options.LogFromInstaller = true;
        CopyText(options.LogPath, word[3] ? word + 4 : L"");
      }
      continue;
    }
    if (log) {
      options.Log = true;
      options.LogFromInstaller = false;
      CopyText(options.LogPath, word[3] ? word + 4 : L"");
    } else if (restart) {
      options.RestartCode = true;
    } else if (quiet) {
      options.NoMessages = true;
    } else if (close) {
      options.CloseApps = true;
    } else if (MatchSwitch(word, L"setup", 5)) {
      setup = true;
    } else if (MatchSwitch(word, L"msi", 3)) {
      options.Msi = true;
    } else if (MatchSwitch(word, L"init", 4)) {
      CopyText(options.InitText, word + 4);
    } else if (MatchSwitch(word, L"wait", 4)) {
      if (actions) actions->PushElement(CommandAction::Wait);
    } else if (MatchSwitch(word, L"noexplorer", 4)) {
      options.NoExplorer = true;
    } else if (MatchSwitch(word, L"warning", 7)) {
      // "warning=<file>": the file that stays, when it is not the program.
      if (word[7] == L'=') CopyText(options.WarningPath, word + 8);
      if (actions) actions->PushElement(CommandAction::Warning);
    }
  }
  if (!installerCommand) mode = setup ? RunMode::Setup : switches == 0 ? RunMode::Uninstall : RunMode::Actions;
}

UINT MessageStyle(UINT style) { return g_LanguageFile.RightToLeft ? style | MB_RIGHT | MB_RTLREADING : style; }

static bool g_MessagesSuppressed;

void SuppressMessages() { g_MessagesSuppressed = true; }

bool CanAskUser() {
  if (g_MessagesSuppressed) return false;
  static int visible = -1;  // the station of a process never changes
  if (visible < 0) {
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    visible = !GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof flags, &needed) ||
              (flags.dwFlags & WSF_VISIBLE) != 0;
  }
  return visible != 0;
}

int ShowMessage(HWND owner, const wchar_t* text, const wchar_t* caption, UINT style) {
  LogLine(CanAskUser()            ? "message shown: %s"
          : g_MessagesSuppressed ? "message skipped (no messages asked for): %s"
                                 : "message skipped (nobody can answer it): %s",
          text);
  FlushLog();  // a run killed while the message waits keeps its log
  if (!CanAskUser()) {
    UINT buttons = style & MB_TYPEMASK;
    return buttons == MB_YESNO || buttons == MB_YESNOCANCEL ? IDNO
           : buttons == MB_OKCANCEL || buttons == MB_RETRYCANCEL ? IDCANCEL
                                                                 : IDOK;
  }
  return MessageBoxW(owner, text, caption, MessageStyle(style));
}
