// Randomized inputs for the four parsers: the command line with the
// installer command, the language file, the settings file and the file
// list. Seeded and reproducible; built with the undefined-behaviour checks
// trapping. A failed invariant or a crash prints the target, seed and input
// number, so that one input can be run again:
//
//   fuzz_parsers [--count N] [--seed S] [--target command|language|settings|filelist]
//
// Input I of a target is made again by running that target with --count I+1.
#include <windows.h>

#include <psapi.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "app/command.h"
#include "lang/language.h"
#include "lang/dialog.h"
#include "settings/settings_text.h"
#include "uninstall/batch.h"
#include "util/file_list.h"
#include "util/path.h"
#include "util/text.h"

namespace {

const char* g_Target = "";
unsigned g_Seed = 0;
long g_Index = -1;
const std::vector<unsigned char>* g_Input = nullptr;

// The input that failed goes to fuzz-failed.bin in the current folder.
void SaveInput() {
  if (!g_Input) return;
  FILE* f = fopen("fuzz-failed.bin", "wb");
  if (!f) return;
  fwrite(g_Input->data(), 1, g_Input->size(), f);
  fclose(f);
  fprintf(stderr, "the input (%zu bytes) is in fuzz-failed.bin\n", g_Input->size());
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS* e) {
  fprintf(stderr, "CRASH (exception 0x%08lx) in target %s, seed %u, input %ld\n",
          e->ExceptionRecord->ExceptionCode, g_Target, g_Seed, g_Index);
  SaveInput();
  fflush(stderr);
  ExitProcess(3);
}

[[noreturn]] void Fail(const char* what) {
  fprintf(stderr, "FAILED: %s in target %s, seed %u, input %ld\n", what, g_Target, g_Seed, g_Index);
  SaveInput();
  ExitProcess(2);
}

#define EXPECT(condition) \
  do {                           \
    if (!(condition)) Fail(#condition); \
  } while (0)

using Bytes = std::vector<unsigned char>;

// Builds inputs from random bytes, pieces of a dictionary and small
// corpus files, with random cuts and flips.
class Generator {
 public:
  Generator(unsigned seed, std::vector<std::string> dictionary, std::vector<std::string> corpus)
      : random_(seed), dictionary_(std::move(dictionary)), corpus_(std::move(corpus)) {}

  Bytes Next(size_t maxSize) {
    Bytes out;
    unsigned mode = random_() % 4;
    if (mode == 0 && !corpus_.empty()) {
      const std::string& c = corpus_[random_() % corpus_.size()];
      out.assign(c.begin(), c.end());
    }
    size_t pieces = 1 + random_() % 40;
    for (size_t i = 0; i < pieces && out.size() < maxSize; i++) {
      unsigned kind = random_() % 10;
      if (kind < 5 && !dictionary_.empty()) {
        const std::string& d = dictionary_[random_() % dictionary_.size()];
        out.insert(out.begin() + (out.empty() ? 0 : random_() % out.size()), d.begin(), d.end());
      } else if (kind < 8) {
        size_t n = random_() % 16;
        for (size_t k = 0; k < n; k++) out.push_back((unsigned char)(random_() % 128));
      } else {
        size_t n = random_() % 8;
        for (size_t k = 0; k < n; k++) out.push_back((unsigned char)random_());
      }
    }
    // Flips and cuts.
    for (size_t i = 0, n = random_() % 4; i < n && !out.empty(); i++) out[random_() % out.size()] ^= (unsigned char)(1u << (random_() % 8));
    if (random_() % 4 == 0 && !out.empty()) out.resize(random_() % out.size());
    if (random_() % 50 == 0) out.insert(out.end(), 70000 + random_() % 1000, (unsigned char)('a' + random_() % 26));
    // Now and then a piece far larger than the others (lines at 64 Ki).
    if (!rare_.empty() && random_() % 64 == 0) {
      const std::string& r = rare_[random_() % rare_.size()];
      out.insert(out.begin() + (out.empty() ? 0 : random_() % out.size()), r.begin(), r.end());
    }
    if (out.size() > maxSize && random_() % 2) out.resize(maxSize);
    last_ = out;
    g_Input = &last_;
    return out;
  }

  unsigned Number() { return random_(); }
  void AddRare(std::string piece) { rare_.push_back(std::move(piece)); }
  std::vector<std::string>& Words() { return dictionary_; }

 private:
  std::mt19937 random_;
  std::vector<std::string> dictionary_, corpus_, rare_;
  Bytes last_;
};

std::wstring Wide(const Bytes& b, bool asUtf16) {
  std::wstring out;
  if (asUtf16) {
    for (size_t i = 0; i + 1 < b.size(); i += 2) out += (wchar_t)(b[i] | (b[i + 1] << 8));
  } else {
    for (unsigned char c : b) out += (wchar_t)c;
  }
  return out;
}

// ---------------------------------------------------------------- targets

void Command(Generator& g) {
  Bytes b = g.Next(3000);
  std::wstring text = Wide(b, g.Number() % 2);
  std::vector<wchar_t> token(kTokenCapacity);
  for (const wchar_t* p = text.c_str(); (p = NextToken(p, token.data(), kTokenCapacity)) != nullptr;) {
    EXPECT(TextLength(token.data()) < kTokenCapacity);
  }
  RunOptions options = {};
  RunMode mode = RunMode::Actions;
  ParseCommand(true, text.c_str(), options, mode);
  EXPECT(mode == RunMode::Actions);  // the installer's command chooses no mode
  ParseCommand(false, text.c_str(), options, mode);
  EXPECT(TextLength(options.InitText) < 40);
  size_t size = 1 + g.Number() % 8;
  std::vector<wchar_t> small(size);
  for (const wchar_t* p = text.c_str(); (p = NextToken(p, small.data(), size)) != nullptr;)
    EXPECT(TextLength(small.data()) < size);
}

INT_PTR CALLBACK QuietDialog(HWND, UINT, WPARAM, LPARAM) { return FALSE; }

// A "SIZE" text applied to a real dialog: the window arithmetic runs with
// whatever percentages the text gives (the dialog keeps what earlier texts
// made of it, which only widens the range of coordinates met).
void ApplySize(const wchar_t* size) {
  static HWND dialog = CreateDialogParamW(GetModuleHandleW(nullptr), L"DONEDLG", nullptr, QuietDialog, 0);
  EXPECT(dialog != nullptr);
  std::wstring text = L":DIALOG DONEDLG\nSIZE " + std::wstring(size) + L"\n";
  GrowArray<wchar_t> chars;
  chars.AddElements(text.size());
  for (size_t i = 0; i < text.size(); i++) chars[i] = text[i];
  ParseLanguageText(chars, g_LanguageFile);
  LocalizeDialog(dialog, L"DONEDLG");
  FreeLanguageFile();
}

void Language(Generator& g) {
  Bytes b = g.Next(200000);
  bool wide = false;
  long at = FindLanguageMarker(b.data(), b.size(), wide);
  EXPECT(at < (long)b.size());
  bool asUtf16 = g.Number() % 2;
  std::wstring text = Wide(b, asUtf16);
  GrowArray<wchar_t> chars;
  chars.AddElements(text.size());
  for (size_t i = 0; i < text.size(); i++) chars[i] = text[i];
  LanguageFile file;
  ParseLanguageText(chars, file);
  for (size_t i = 0; i < file.Count(); i++) {
    EXPECT(strlen(file.Key(i)) <= kMaxKeyLength);
    EXPECT(TextLength(file.Text(i)) <= kMaxTextLength);
  }
  for (size_t i = 1; i < file.index.Count(); i++) EXPECT(strcmp(file.index[i - 1].key, file.index[i].key) <= 0);
  // Sizes: valid ones are percentages within the bound, and the first of
  // an input is applied to a dialog.
  bool applied = false;
  for (size_t i = 0; i < file.Count(); i++) {
    const char* key = file.Key(i);
    size_t n = strlen(key);
    if (n < 5 || strcmp(key + n - 5, ":SIZE") != 0) continue;
    int w = 0, h = 0;
    if (ParseDialogScale(file.Text(i), w, h)) EXPECT(w > 0 && h > 0 && w <= kMaxDialogScale && h <= kMaxDialogScale);
    if (!applied) ApplySize(file.Text(i));
    applied = true;
  }
  // Now and then the whole loader, from a file.
  if (g.Number() % 200 == 0) {
    wchar_t path[MAX_PATH];
    GetTempPathW(MAX_PATH, path);
    wcscat(path, L"kvx-fuzz.lng");
    HANDLE h = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written;
    WriteFile(h, b.data(), (DWORD)b.size(), &written, nullptr);
    CloseHandle(h);
    FreeLanguageFile();
    LoadLanguageFile(path);
    wchar_t out[1024];
    GetDialogText(L"SETUPDLG", L"SIZE", out, 1024);
    LoadText(IDS_UNINSTALLKVX, out, 1024);
    FreeLanguageFile();
    SetProcessDefaultLayout(0);
    DeleteFileW(path);
  }
}

struct Entry {
  std::wstring name, text;
  int kind;
  bool operator<(const Entry& o) const {
    return name != o.name ? name < o.name : text != o.text ? text < o.text : kind < o.kind;
  }
  bool operator==(const Entry& o) const { return name == o.name && text == o.text && kind == o.kind; }
};

std::vector<Entry> Entries(const SettingsList& list) {
  GrowArray<const SettingsEntry*> all;
  list.Collect(all);
  std::vector<Entry> out;
  for (size_t i = 0; i < all.Count(); i++) out.push_back({all[i]->name, all[i]->text, all[i]->kind});
  std::sort(out.begin(), out.end());
  return out;
}

void Settings(Generator& g) {
  Bytes b = g.Next(100000);
  GrowArray<wchar_t> text;
  DecodeSettingsBytes(b.data(), b.size(), text);
  SettingsList list;
  ParseSettingsText(text.Data(), TextLength(text.Data()), list);
  std::vector<Entry> first = Entries(list);
  for (auto& e : first) {
    EXPECT(!e.name.empty() && IsLatinLetter(e.name[0]));
    EXPECT(e.name.find_first_of(L"\r\n=") == std::wstring::npos);
    EXPECT(list.Find(e.name.c_str()) != nullptr);
  }
  // Saved and read again, the same entries come back.
  GrowArray<unsigned char> saved;
  SerializeSettings(list, saved);
  GrowArray<wchar_t> again;
  DecodeSettingsBytes(saved.Data(), saved.Count(), again);
  SettingsList reread;
  ParseSettingsText(again.Data(), TextLength(again.Data()), reread);
  bool hasNul = false;
  for (auto& e : first) hasNul |= e.text.find(L'\0') != std::wstring::npos;
  // (A file of entries only ANSI cannot carry is UTF-16 once saved; the
  // round trip holds when the first read was exact: for UTF-16 input.)
  if (!hasNul && saved.Count() > 2) {
    std::vector<Entry> second = Entries(reread);
    bool utf16In = b.size() >= 3 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF));
    if (utf16In) EXPECT(first == second);
    else EXPECT(first.size() == second.size());
  }
  // Writes and removals keep the first-match rule.
  if (!first.empty()) {
    const Entry& e = first[g.Number() % first.size()];
    list.Set(e.name.c_str(), L"changed", kSettingQuoted);
    EXPECT(std::wstring(list.Find(e.name.c_str())->text) == L"changed");
    list.Remove(e.name.c_str());
    EXPECT(list.Find(e.name.c_str()) == nullptr);
    std::wstring prefix = e.name.substr(0, 1 + g.Number() % e.name.size());
    list.RemoveUnder(prefix.c_str());
    EXPECT(!list.AnyUnder(prefix.c_str()));
  }
}

void UninstallList(Generator& g) {
  Bytes b = g.Next(120000);
  FileList list;
  list.bytes.AddElements(b.size());
  if (!b.empty()) memcpy(list.bytes.Data(), b.data(), b.size());
  ParseFileList(list.bytes.Data(), list.bytes.Count(), list.entries);
  const std::wstring folder = L"C:\\Korvex\\";
  for (size_t i = 0; i < list.entries.Count(); i++) {
    const FileListEntry& e = list.entries[i];
    EXPECT(e.offset + e.length <= b.size());
    EXPECT(e.length > 0 && e.length <= 2047);
    char last = (char)b[e.offset + e.length - 1];
    EXPECT(last != ' ' && last != '\t' && last != '\r' && last != '\n');
    EXPECT(memchr(b.data() + e.offset, 0, e.length) == nullptr);
    wchar_t full[kPathCapacity];
    wcscpy(full, folder.c_str());
    size_t n = ListedPath(list, i, full, kPathCapacity, folder.size());
    if (n == 0) continue;
    std::wstring w = full + folder.size();
    EXPECT(w.size() + 1 == n);
    EXPECT(w.find(L':') == std::wstring::npos);
    EXPECT(w[0] != L'\\' && w[0] != L'/');
    for (size_t at = 0; (at = w.find(L"..", at)) != std::wstring::npos; at++) {
      bool startsComponent = at == 0 || w[at - 1] == L'\\' || w[at - 1] == L'/';
      size_t end = at + 2;
      while (end < w.size() && (w[end] == L'.' || w[end] == L' ')) end++;
      bool endsComponent = end == w.size() || w[end] == L'\\' || w[end] == L'/';
      EXPECT(!(startsComponent && endsComponent));
    }
  }
}

struct Target {
  const char* name;
  void (*run)(Generator&);
  std::vector<std::string> dictionary, corpus;
};

// Pieces at and around the parsers' bounds, added to each target's words.
std::string Line(const std::string& text) { return "\r\n" + text + "\r\n"; }

void AddBounds(const char* target, std::vector<std::string>& words, Generator& generator) {
  std::string name(target);
  if (name == "language") {
    // Section names around the room a key's prefix has; key words around
    // the 99-character bound and the 49 characters a key keeps.
    for (size_t n : {90, 96, 97, 98, 99, 100, 101, 105, 110}) {
      words.push_back(Line(":DIALOG " + std::string(n, 'D')));
      words.push_back(Line(":MENU " + std::string(n, 'M')));
    }
    for (size_t n : {47, 48, 49, 50, 97, 98, 99, 100, 101}) words.push_back(Line(std::string(n, 'K') + " t"));
    for (size_t n : {2047, 2048, 2049}) words.push_back(Line("IDS_BETA " + std::string(n, 't')));
    for (size_t n : {65535, 65536, 65537}) generator.AddRare(Line("IDS_BETA " + std::string(n, 't')));
    for (const char* size : {"30000000*100", "100*30000000", "2147483647*2147483647", "-2147483648*-1", "-1*-1",
                             "4294967396*100", "99999999999999999999*120", "65535*65535", "65536*100", "1*1"})
      words.push_back(Line(std::string(":DIALOG SETUPDLG\r\nSIZE ") + size));
  } else if (name == "settings") {
    for (size_t n : {1022, 1023, 1024, 1025}) {
      words.push_back(Line("HKCU\\" + std::string(n - 5, 'n') + "=1"));
      words.push_back(Line("Global\\AppData=\"" + std::string(n, 'v') + "\""));
    }
    for (size_t n : {2047, 2048, 2049}) words.push_back(Line("HKCU\\Setup\\x=" + std::string(n, '9')));
  } else if (name == "filelist") {
    for (size_t n : {2046, 2047, 2048, 2049}) words.push_back(Line(std::string(n, 'f')));
    words.push_back(std::string(2047, 'g') + "\\..\\x");
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  SetUnhandledExceptionFilter(OnCrash);
  SetErrorMode(SEM_NOGPFAULTERRORBOX);
  long count = 100000;
  unsigned seed = 20261207;
  std::string targetName;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::wstring key = argv[i];
    if (key == L"--count") count = _wtol(argv[i + 1]);
    if (key == L"--seed") seed = (unsigned)_wtol(argv[i + 1]);
    if (key == L"--target") targetName.assign(argv[i + 1], argv[i + 1] + wcslen(argv[i + 1]));
  }
  ProgramInstance = ResourceInstance = GetModuleHandleW(nullptr);
  std::vector<Target> targets = {
      {"command", Command, {"-", "/", "s", "setup", "msi", "init", "noexplorer", "\"", "\"\"", " ", "\t", "-initA111D1"},
       {"\"C:\\Program Files\\Korvex\\uninstall.exe\" -setup /s", "x /S -msi -initA1D1S0 -noexplorer"}},
      {"language", Language,
       {"***messages**", "*****messages*****", "\r\n", "\n", ":STRINGS", ":DIALOG ", ":MENU ", ":DIRECTION RTL", "IDS_UNINSTALLKVX ",
        "$SETUPDLG:", "SIZE ", "\"", "\\\"", "\\\\", "\\n", ", ", "\t"},
       {"x\r\n***messages**\r\n:STRINGS\r\nIDS_UNINSTALLKVX \"Uninstall\"\r\n:DIALOG SETUPDLG\r\nSIZE 120*100\r\n"}},
      {"settings", Settings,
       {"\xFF\xFE", "\xFE\xFF", "\xEF\xBB\xBF", "=", "\"", "bin:", "\r\n", "\n", "HKCU\\Setup\\", "Global\\Integration=0", " "},
       {"Global\\AppData=1\r\nHKCU\\Setup\\ShellExt=1\r\nHKCU\\Setup\\MenuItems\\AlwaysArc=\"*.iso\"\r\n"}},
      {"filelist", UninstallList, {"\r\n", "\n", "..", "\\", "/", ":", " ", "\t", "C:", "\\\\?\\", "...", ". "},
       {"Korvex.exe\r\nFormats\\zst.fmt\r\n..\\canary.txt\r\n"}},
  };
  for (size_t t = 0; t < targets.size(); t++) {
    Target& target = targets[t];
    if (!targetName.empty() && targetName != target.name) continue;
    g_Target = target.name;
    // The seed printed is the one given on the command line: with the same
    // --seed and --target the same inputs come again.
    g_Seed = seed;
    Generator generator(seed + (unsigned)t, target.dictionary, target.corpus);
    AddBounds(target.name, generator.Words(), generator);
    DWORD start = GetTickCount();
    for (g_Index = 0; g_Index < count; g_Index++) target.run(generator);
    PROCESS_MEMORY_COUNTERS counters = {sizeof counters};
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    printf("%-9s %ld inputs, seed %u: clean in %lu ms; peak working set %lu MiB\n", target.name, count, g_Seed,
           GetTickCount() - start, (unsigned long)(counters.PeakWorkingSetSize >> 20));
    fflush(stdout);
  }
  return 0;
}
