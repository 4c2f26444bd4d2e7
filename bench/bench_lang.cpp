// Finding and parsing a language file at the 2 MB read limit, against merely
// reading the same file (the floor); and lookups per second.
#include <stdio.h>

#include "lang/language.h"
#include "lang/module.h"
#include "support.h"

static double Now() {
  LARGE_INTEGER t, f;
  QueryPerformanceCounter(&t);
  QueryPerformanceFrequency(&f);
  return (double)t.QuadPart * 1000.0 / (double)f.QuadPart;
}

int wmain() {
  ProgramInstance = ResourceInstance = GetModuleHandleW(nullptr);
  TempFolder folder(L"kvxbench");
  std::wstring path = folder / L"uninstall.lng";
  // A realistic header, then key lines up to the read limit.
  std::string text = std::string(6000, '#') + "\r\n*****messages*****\r\n:STRINGS\r\n";
  std::vector<std::string> keys;
  for (int i = 0; text.size() < (2u << 20); i++) {
    std::string key = "IDS_TEXT" + std::to_string(i);
    if (i % 50 == 0) text += ":DIALOG DLG" + std::to_string(i) + "\r\n";
    keys.push_back((i % 50 == 0 ? "$DLG" + std::to_string(i) + ":" : std::string(keys.empty() ? "" : "")) + key);
    text += key + "  \"A translated text with an \\\"escape\\\" and some words, number " + std::to_string(i) + "\"\r\n";
  }
  WriteText(path, text);

  const int rounds = 7;
  double readBest = 1e9, parseBest = 1e9;
  for (int r = 0; r < rounds; r++) {
    // The floor: open the file and read it whole into new memory.
    double t0 = Now();
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD size = GetFileSize(h, nullptr), got = 0;
    char* buffer = (char*)HeapAlloc(GetProcessHeap(), 0, size);
    ReadFile(h, buffer, size, &got, nullptr);
    CloseHandle(h);
    HeapFree(GetProcessHeap(), 0, buffer);
    double t1 = Now();
    FreeLanguageFile();
    LoadLanguageFile(path.c_str());
    double t2 = Now();
    if (t1 - t0 < readBest) readBest = t1 - t0;
    if (t2 - t1 < parseBest) parseBest = t2 - t1;
  }
  size_t entries = g_LanguageFile.Count();
  // Lookups: the keys as they stand in the index, in a scattered order.
  std::vector<std::string> lookup;
  for (size_t i = 0; i < entries; i++) lookup.push_back(g_LanguageFile.Key(i));
  wchar_t out[1024];
  size_t found = 0, n = 1000000;
  double t0 = Now();
  for (size_t i = 0; i < n; i++) found += FindTextByKey(lookup[(i * 7919) % lookup.size()].c_str(), out, 1024);
  double t1 = Now();
  printf("language file of %zu bytes, %zu entries: read %.2f ms, find and parse %.2f ms, ratio %.1f; "
         "%.0f lookups per second (%zu found)\n",
         text.size(), entries, readBest, parseBest, parseBest / readBest, n / ((t1 - t0) / 1000.0), found);
  return 0;
}
