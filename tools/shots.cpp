// Screenshots of the three dialogs, for the documentation: each dialog is
// opened with its real procedure, in the language of the given language file
// (or the built-in English one), and the screen under it is saved as a BMP;
// and the uninstall's question about the programs in use ("INUSE"), with
// its text, caption and style, about the archiver's stand-in.
// Run inside "wine explorer /desktop=..." so that windows have their frames.
//
//   kvxshots <language file or -> <output prefix>
#include <stdio.h>
#include <wchar.h>

#include "app/command.h"
#include "app/startup.h"
#include "lang/language.h"
#include "lang/dialog.h"
#include "settings/settings_file.h"
#include "util/file.h"
#include "setup/done_dialog.h"
#include "setup/items_dialog.h"
#include "setup/setup_dialog.h"
#include "support.h"
#include "util/path.h"
#include "util/text.h"

// Writes the screen under a window as a 24-bit BMP file.
static bool SaveWindow(HWND w, const std::wstring& path) {
  int width, height;
  std::vector<DWORD> pixels = CaptureWindow(w, width, height);
  if (pixels.empty()) return false;
  DWORD stride = ((DWORD)width * 3 + 3) & ~3u, size = stride * (DWORD)height;
  BITMAPFILEHEADER file = {};
  BITMAPINFOHEADER info = {};
  info.biSize = sizeof info;
  info.biWidth = width;
  info.biHeight = height;  // bottom row first
  info.biPlanes = 1;
  info.biBitCount = 24;
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof info;
  file.bfSize = file.bfOffBits + size;
  Bytes out((const unsigned char*)&file, (const unsigned char*)&file + sizeof file);
  out.insert(out.end(), (const unsigned char*)&info, (const unsigned char*)&info + sizeof info);
  for (int y = height - 1; y >= 0; y--) {
    for (int x = 0; x < width; x++) {
      DWORD p = pixels[(size_t)y * width + x];
      out.push_back((unsigned char)(p & 0xFF));
      out.push_back((unsigned char)((p >> 8) & 0xFF));
      out.push_back((unsigned char)((p >> 16) & 0xFF));
    }
    for (DWORD pad = (DWORD)width * 3; pad < stride; pad++) out.push_back(0);
  }
  return WriteBytes(path, out);
}

static void Pump(int milliseconds) {
  DWORD end = GetTickCount() + milliseconds;
  while (GetTickCount() < end) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    Sleep(10);
  }
}

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  RegistrySandbox sandbox;  // first-run defaults, whatever the prefix holds
  IgnoreSettingsFile();
  HINSTANCE self = GetModuleHandleW(nullptr);
  ProgramInstance = ResourceInstance = self;
  if (wcscmp(argv[1], L"-") != 0) LoadLanguageFile(argv[1]);
  LoadSystemLibrary(L"riched20.dll");
  static RunContext run = {};
  run.DialogIcon = LoadIconW(self, L"KVXICON");
  run.SmallIcon = (HICON)LoadImageW(self, L"KVXICON", IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                    GetSystemMetrics(SM_CYSMICON), LR_SHARED);
  run.BoldFont = CreateFontW(ScaleToDpi(-12), 0, 0, 0, 700, 0, 0, 0, 0, 0, 0, 0, 0, L"MS Shell Dlg");
  MakeDirs(L"C:\\Program Files\\Korvex");
  SetCurrentDirectoryW(L"C:\\Program Files\\Korvex");
  struct Shot {
    const wchar_t* name;
    DLGPROC proc;
    LPARAM param;
  } shots[] = {{L"SETUPDLG", SetupDialogProc, (LPARAM)&run},
               {L"SETUPCONTEXTITEMS", ItemsDialogProc, 1},
               {L"DONEDLG", DoneDialogProc, (LPARAM)&run}};
  // The items dialog is opened from the setup dialog, as in a run (it
  // shows its owner's icons); the setup dialog stays, hidden, until then.
  int failures = 0;
  HWND setup = nullptr;
  for (auto& s : shots) {
    HWND w = CreateDialogParamW(self, s.name, s.proc == ItemsDialogProc ? setup : nullptr, s.proc, s.param);
    if (!w) {
      failures++;
      continue;
    }
    ShowWindow(w, SW_SHOW);
    SetForegroundWindow(w);
    Pump(800);
    if (!SaveWindow(w, std::wstring(argv[2]) + s.name + L".bmp")) failures++;
    if (s.proc == SetupDialogProc) {
      setup = w;
      ShowWindow(w, SW_HIDE);
    } else {
      DestroyWindow(w);
    }
    Pump(200);
  }
  std::wstring inUse = std::wstring(argv[2]) + L"INUSE.bmp";
  DialogWatcher watcher([&](HWND w) {
    Sleep(800);
    if (!SaveWindow(w, inUse)) failures++;
    PostMessageW(w, WM_COMMAND, IDCANCEL, 0);
  });
  wchar_t message[1024];
  FormatText(message, GetText(IDS_PROGRAMSINUSE), L"backup.kvx - Korvex (C:\\Program Files\\Korvex\\Korvex.exe)\n");
  ShowMessage(nullptr, message, GetText(IDS_UNINSTALLKVX), MB_YESNOCANCEL | MB_ICONQUESTION | MB_SETFOREGROUND);
  watcher.Wait();
  if (setup) DestroyWindow(setup);
  return failures + !watcher.Seen();
}
