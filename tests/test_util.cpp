// Text, paths, the file object, directory scans and arrays.
#include <string.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <algorithm>

#include "test.h"
#include "util/array.h"
#include "util/file.h"
#include "util/path.h"
#include "util/text.h"
#include "util/trust.h"
#include "uninstall/deletion.h"
#include "uninstall/driver.h"

TEST_CASE("bounded copy and append at capacities 0, 1 and exactly full") {
  wchar_t buffer[6] = {L'x', L'x', L'x', L'x', L'x', 0};
  CopyText(buffer, L"abc", 0);
  CHECK(buffer[0] == L'x');  // capacity 0 writes nothing
  CopyText(buffer, L"abc", 1);
  CHECK(buffer[0] == 0);
  CopyText(buffer, L"abcde");  // exactly full: five characters and the terminator
  CHECK(std::wstring(buffer) == L"abcde");
  CopyText(buffer, L"abcdefgh");
  CHECK(std::wstring(buffer) == L"abcde");

  AppendText(buffer, L"zz");  // already as long as it can be
  CHECK(std::wstring(buffer) == L"abcde");
  CopyText(buffer, L"ab");
  AppendText(buffer, L"cdefg");
  CHECK(std::wstring(buffer) == L"abcde");

  // A destination without a terminator inside its capacity is left alone.
  wchar_t full[3] = {L'a', L'b', L'c'};
  AppendText(full, L"d", 3);
  CHECK(full[2] == L'c');

  char narrow[4];
  CopyTextA(narrow, "abcdef");
  CHECK(std::string(narrow) == "abc");
  AppendTextA(narrow, "x");
  CHECK(std::string(narrow) == "abc");
}

TEST_CASE("FormatText conversions") {
  wchar_t out[64];
  CHECK(FormatText(out, L"%d.%02d.%d", 6, 20, 2) == 6);
  CHECK(std::wstring(out) == L"6.20.2");
  FormatText(out, L".k%02u", 7u);
  CHECK(std::wstring(out) == L".k07");
  FormatText(out, L"\"%s\" \"%%1\"", L"C:\\K\\Korvex.exe");
  CHECK(std::wstring(out) == L"\"C:\\K\\Korvex.exe\" \"%1\"");
  FormatText(out, L"%s.%u.tmp", L"a.dll", 12u);
  CHECK(std::wstring(out) == L"a.dll.12.tmp");
  FormatText(out, L"[%5s|%-4d|%x|%X|%.2s|%c]", L"ab", -7, 255u, 255u, L"xyz", (int)L'Q');
  CHECK(std::wstring(out) == L"[   ab|-7  |ff|FF|xy|Q]");
  FormatText(out, L"%lld %I64u", -9000000000LL, 18000000000ULL);
  CHECK(std::wstring(out) == L"-9000000000 18000000000");
}

TEST_CASE("FormatText with a format that does not match its arguments yields text") {
  wchar_t out[64];
  // More conversions than arguments: the missing ones write nothing.
  FormatText(out, L"a%sb%sc%dd", L"X");
  CHECK(std::wstring(out) == L"aXbcd");
  // A number where text is expected and the other way round.
  FormatText(out, L"%s|%d", 42, L"text");
  CHECK(std::wstring(out) == L"42|text");
  // %n uses up its argument and writes nothing; floating point and pointers
  // are copied as they stand.
  FormatText(out, L"x%ny%fz%p%d", 7, 8);
  CHECK(std::wstring(out) == L"xy%fz%p8");
  // A lone percent sign at the end, and a huge width.
  FormatText(out, L"100%");
  CHECK(std::wstring(out) == L"100%");
  CHECK(FormatText(out, L"%999999999d", 1) == -1);
  CHECK(TextLength(out) == 63);
}

TEST_CASE("FormatText cuts at the capacity and says so") {
  wchar_t out[5];
  CHECK(FormatText(out, L"%s", L"abcdefgh") == -1);
  CHECK(std::wstring(out) == L"abcd");
  CHECK(FormatText(out, L"abcd") == 4);
  wchar_t one[1] = {L'q'};
  CHECK(FormatText(one, L"x") == -1);
  CHECK(one[0] == 0);
}

TEST_CASE("integers to text and back") {
  wchar_t out[24];
  IntToText(0, out, 24);
  CHECK(std::wstring(out) == L"0");
  IntToText(-1234567, out, 24);
  CHECK(std::wstring(out) == L"-1234567");
  IntToText(INT64_MIN, out, 24);
  CHECK(std::wstring(out) == L"-9223372036854775808");
  IntToText(4294967295u, out, 20);
  CHECK(std::wstring(out) == L"4294967295");
  IntToText(123456, out, 4);
  CHECK(std::wstring(out) == L"123");
  CHECK(TextToInt(L"-12x") == -12);
  CHECK(TextToInt(L"x12") == 0);
  CHECK(TextToInt(L"-") == 0);
  CHECK(TextToInt(L" 5") == 0);
  CHECK(TextToInt(L"4294967295") == 4294967295LL);
}

TEST_CASE("character classes and comparisons") {
  CHECK(IsLatinLetter(L'z'));
  CHECK_FALSE(IsLatinLetter(L'\x00e9'));
  CHECK(UpperLatin(L'q') == L'Q');
  CHECK(UpperLatin(L'\x00e9') == L'\x00e9');
  CHECK(UpperChar(L'\x00e9') == L'\x00c9');
  CHECK(CompareTextNoCase(L".KVX", L".kvx") == 0);
  CHECK(CompareTextNoCase(L"Korvex", L"Korvex.ZIP") < 0);
  CHECK(CompareTextExact(L"HKCU", L"hkcu") != 0);
}

TEST_CASE("UTF-8 decoding") {
  wchar_t out[8];
  const unsigned char smile[] = {0xF0, 0x9F, 0x98, 0x80, 0};
  CHECK(Utf8ToWide(smile, out, 8));
  CHECK(out[0] == 0xD83D);
  CHECK(out[1] == 0xDE00);
  CHECK(out[2] == 0);

  const unsigned char lone[] = {0xC3, 0};
  CHECK_FALSE(Utf8ToWide(lone, out, 8));
  CHECK(out[0] == 0);

  const unsigned char tooBig[] = {'a', 0xF7, 0xBF, 0xBF, 0xBF, 'b', 0};
  CHECK_FALSE(Utf8ToWide(tooBig, out, 8));
  CHECK(std::wstring(out) == L"ab");

  const unsigned char stray[] = {'a', 0x80, 'b', 0};
  CHECK_FALSE(Utf8ToWide(stray, out, 8));
  CHECK(std::wstring(out) == L"a");

  // A pair that does not fit before the terminator is not split.
  const unsigned char pairAtEnd[] = {'a', 'b', 0xF0, 0x9F, 0x98, 0x80, 0};
  CHECK(Utf8ToWide(pairAtEnd, out, 4));
  CHECK(std::wstring(out) == L"ab");

  const unsigned char ok[] = {'a', 0xC3, 0xA9, 0xE2, 0x82, 0xAC};
  CHECK(IsWellFormedUtf8(ok, sizeof ok));
  CHECK_FALSE(IsWellFormedUtf8(ok, sizeof ok - 1));  // a cut sequence
  const unsigned char bad[] = {0xFF};
  CHECK_FALSE(IsWellFormedUtf8(bad, 1));
}

TEST_CASE("ANSI conversions stay terminated") {
  wchar_t wide[4];
  CHECK(AnsiToWide("abc", wide));
  CHECK(std::wstring(wide) == L"abc");
  AnsiToWide("abcdef", wide);
  CHECK(wide[3] == 0);
  char narrow[3];
  WideToAnsi(L"abcdef", narrow);
  CHECK(narrow[2] == 0);
}

TEST_CASE("path name parts") {
  CHECK(std::wstring(PointToName(L"C:file")) == L"file");
  CHECK(std::wstring(PointToName(L"C:")) == L"");
  CHECK(std::wstring(PointToName(L"dir/sub/name")) == L"name");
  CHECK(std::wstring(PointToName(L"name")) == L"name");

  struct Case {
    const wchar_t *in, *out;
  } cases[] = {{L"C:\\dir\\file", L"C:\\dir"}, {L"C:\\file", L"C:\\"}, {L"\\file", L"\\"},
               {L"C:file", L"C:"},           {L"file", L""},          {L"a/b", L"a"}};
  for (auto& c : cases) {
    wchar_t path[64];
    CopyText(path, c.in);
    RemoveName(path);
    CHECK(std::wstring(path) == c.out);
  }

  wchar_t path[16];
  CopyText(path, L"C:\\dir\\old.exe");
  ReplaceName(path, L"Korvex.exe");
  CHECK(std::wstring(path) == L"C:\\dir\\Korvex.e");  // cut at the capacity
}

TEST_CASE("joining paths") {
  wchar_t out[32];
  JoinPath(L"C:", L"x", out);
  CHECK(std::wstring(out) == L"C:x");
  JoinPath(L"", L"x", out);
  CHECK(std::wstring(out) == L"x");
  JoinPath(L"C:\\", L"x", out);
  CHECK(std::wstring(out) == L"C:\\x");
  JoinPath(L"C:\\dir", L"x", out);
  CHECK(std::wstring(out) == L"C:\\dir\\x");
  wchar_t small[6];
  JoinPath(L"C:\\dir", L"x", small);
  CHECK(std::wstring(small) == L"C:\\di");
  CHECK(IsFullPath(L"\\\\server\\share"));
  CHECK(IsFullPath(L"c:/x"));
  CHECK_FALSE(IsFullPath(L"c:x"));
  CHECK(HasWildcards(L"C:\\*.txt"));
  CHECK_FALSE(HasWildcards(L"\\\\?\\C:\\a"));
  CHECK(HasWildcards(L"\\\\?\\C:\\a?"));
}

// MakeLongPathName under a current directory as long as a path can be
// (2,047 characters, no separator at its end). The child writes the file
// KVX_RESULT_FILE names when the separator was added within the buffer.
// (Wine fails the exit of a process that had such a current directory and
// reports its crashes as exit code 0, so the result goes through a file.)
KVX_CHILD(long_current_directory) {
  TempFolder folder;
  std::wstring deep = folder.Path();
  while (deep.size() < 2047 - 201) {
    deep += L"\\" + std::wstring(200, L'd');
    CreateDirectoryW((L"\\\\?\\" + deep).c_str(), nullptr);
  }
  deep += L"\\" + std::wstring(2047 - deep.size() - 1, L'e');
  CreateDirectoryW((L"\\\\?\\" + deep).c_str(), nullptr);
  bool ok = false;
  if (deep.size() == 2047 && SetCurrentDirectoryW(deep.c_str())) {
    std::vector<wchar_t> out(4096);
    ok = MakeLongPathName(L"file", out.data(), out.size()) &&
         std::wstring(out.data()) == L"\\\\?\\" + deep + L"\\file" &&
         !MakeLongPathName(L"file", out.data(), 2048 + 4 + 4);
  }
  wchar_t temp[MAX_PATH], result[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  SetCurrentDirectoryW(temp);
  RemoveTree(folder.Path());
  if (ok && GetEnvironmentVariableW(L"KVX_RESULT_FILE", result, MAX_PATH)) WriteText(result, "ok");
  TerminateProcess(GetCurrentProcess(), 0);
  return 0;
}

TEST_CASE("extended-length forms") {
  wchar_t out[64];
  CHECK(MakeLongPathName(L"C:\\a", out, 9));
  CHECK(std::wstring(out) == L"\\\\?\\C:\\a");
  CHECK_FALSE(MakeLongPathName(L"C:\\a", out, 8));
  CHECK(MakeLongPathName(L"\\\\server\\share\\x", out, 64));
  CHECK(std::wstring(out) == L"\\\\?\\UNC\\server\\share\\x");
  CHECK_FALSE(MakeLongPathName(L"", out, 64));

  wchar_t saved[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, saved);
  TempFolder folder;
  SetCurrentDirectoryW(folder.Path().c_str());
  wchar_t longOut[1024];
  CHECK(MakeLongPathName(L".\\file", longOut));
  CHECK(std::wstring(longOut) == L"\\\\?\\" + folder.Path() + L"\\file");
  CHECK(MakeLongPathName(L"\\file", longOut));
  CHECK(std::wstring(longOut) == L"\\\\?\\" + folder.Path().substr(0, 2) + L"\\file");

  SetCurrentDirectoryW(saved);
  RunChild("long_current_directory", {L"KVX_RESULT_FILE=" + (folder / L"result")});
  CHECK(Exists(folder / L"result"));
}

TEST_CASE("files through names the plain form cannot carry") {
  TempFolder folder;
  std::wstring dotted = folder / L"name ends in a dot.";
  {
    DiskFile file;
    REQUIRE(file.Create(dotted.c_str(), 0));
    CHECK(file.Write("abc", 3));
    CHECK(file.Close());
  }
  // The dot was kept: only the long form finds the file.
  CHECK(Exists(L"\\\\?\\" + dotted));
  CHECK(FileExists(dotted.c_str()));
  CHECK(DeleteFileByName(dotted.c_str()));
  CHECK_FALSE(Exists(L"\\\\?\\" + dotted));

  // An abandoned new file whose name ends in a dot goes, and only it: the
  // plain form of its name would be the file without the dot.
  std::wstring undotted = folder / L"victim", abandoned = undotted + L".";
  WriteText(undotted, "keep");
  {
    DiskFile file;
    REQUIRE(file.Create(abandoned.c_str(), 0));
    CHECK(Exists(L"\\\\?\\" + abandoned));
  }
  CHECK_FALSE(Exists(L"\\\\?\\" + abandoned));
  CHECK(ReadBytes(undotted) == Bytes{'k', 'e', 'e', 'p'});

  // A path beyond MAX_PATH works through the retry, also where the plain
  // form is refused.
  ClassicPathLimit limit;
  std::wstring deep = folder.Path();
  for (int i = 0; i < 12; i++) deep += L"\\a-rather-long-folder-name-" + std::to_wstring(i);
  REQUIRE(deep.size() > 300);
  std::wstring parent = folder.Path();
  for (int i = 0; i < 12; i++) {
    parent += L"\\a-rather-long-folder-name-" + std::to_wstring(i);
    CHECK(MakeFolder(parent.c_str()) == 0);
  }
  // A folder that is there is there, however long its path: not a missing part.
  CHECK(MakeFolder(deep.c_str()) == 1);
  std::wstring file = deep + L"\\x.txt";
  DiskFile f;
  REQUIRE(f.Create(file.c_str(), 0));
  f.Close();
  CHECK(FileExists(file.c_str()));
  CHECK(IsDirectoryAttr(GetAttributes(deep.c_str())));
  // And so do the uninstall's deletions.
  size_t root = folder.Path().size() + 1;
  std::string list = Narrow(file.substr(root)) + "\n";
  for (std::wstring d = deep; d.size() > root; d.resize(d.rfind(L'\\'))) list += Narrow(d.substr(root)) + "\n";
  FileList entries;
  entries.bytes.AddElements(list.size());
  memcpy(entries.bytes.Data(), list.data(), list.size());
  ParseFileList(entries.bytes.Data(), list.size(), entries.entries);
  PinnedChain chain;
  REQUIRE(chain.Pin(folder.Path().c_str()));
  CHECK_FALSE(DeleteListedFiles(entries, chain, (folder.Path() + L"\\").c_str(), L"uninstall.exe", nullptr));
  CHECK_FALSE(Exists(folder / L"a-rather-long-folder-name-0"));
}

TEST_CASE("files behind links are neither written nor deleted") {
  TempFolder folder;
  std::wstring victim = folder / L"victim.txt", victims = folder / L"victims";
  WriteText(victim, "victim");
  MakeDirs(victims);
  WriteText(victims + L"\\inside.txt", "inside");
  REQUIRE(PlantLink(folder / L"file-link", victim));
  REQUIRE(PlantLink(folder / L"folder-link", victims));
  REQUIRE(CreateHardLinkW((folder / L"second-name").c_str(), victim.c_str(), nullptr));
  std::wstring plain = folder / L"a file of its own.txt";
  WriteText(plain, "plain");
  wchar_t shortForm[MAX_PATH];
  REQUIRE(GetShortPathNameW(plain.c_str(), shortForm, MAX_PATH));
  struct {
    std::wstring path;
    bool own, crossesLink;  // the file itself; a link on the way to it
  } const rows[] = {
      {plain, true, false},
      {shortForm, true, false},
      {folder / L"file-link", false, false},  // Wine follows a link to a file as if it were the file
      {folder / L"folder-link\\inside.txt", false, true},
      {folder / L"second-name", false, false},
  };
  for (auto& row : rows) {
    CAPTURE(Narrow(row.path));
    HANDLE h = OpenUnredirected(row.path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
    CHECK((h != INVALID_HANDLE_VALUE) == row.own);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    PinnedChain chain;
    CHECK(chain.PinParent(row.path.c_str()) == !row.crossesLink);
  }
  // No new file is made through a folder link.
  CHECK(OpenUnredirected((folder / L"folder-link\\new.txt").c_str(), GENERIC_WRITE, 0, CREATE_NEW) ==
        INVALID_HANDLE_VALUE);
  CHECK_FALSE(Exists(victims + L"\\new.txt"));
  // Nor a folder: none is made there, so none is left there.
  CHECK_FALSE(CreateFolderUnredirected((folder / L"folder-link\\new folder").c_str()));
  CHECK_FALSE(Exists(victims + L"\\new folder"));
  // Deletions: the plain file goes, read-only too; nothing behind a link does.
  SetFileAttributesW(plain.c_str(), FILE_ATTRIBUTE_READONLY);
  CHECK(DeleteUnredirected(plain.c_str()));
  CHECK_FALSE(Exists(plain));
  CHECK(DeleteUnredirected(plain.c_str()));  // nothing there
  CHECK_FALSE(DeleteUnredirected((folder / L"file-link").c_str()));
  CHECK_FALSE(DeleteUnredirected((folder / L"folder-link\\inside.txt").c_str()));
  CHECK(ReadBytes(victim) == Bytes{'v', 'i', 'c', 't', 'i', 'm'});
  CHECK(Exists(victims + L"\\inside.txt"));
  // By one name inside a pinned folder: a path, a folder, a name the plain
  // form would shorten, the folder above, a stream and a missing name do
  // not go. (A link to a file goes
  // itself on Windows; Wine deletes what a Unix link leads to, with
  // DeleteFileW as well, so that is not shown here.)
  {
    WriteText(folder / L"plain", "plain");
    UniqueFile pin(PinFolder(folder.Path().c_str(), false));
    REQUIRE(pin);
    struct {
      const wchar_t* name;
      DWORD error;  // 0: deleted
    } const named[] = {
        {L"folder-link\\inside.txt", ERROR_INVALID_NAME},
        {L"victims", ERROR_ACCESS_DENIED},
        {L"plain.", ERROR_FILE_NOT_FOUND},
        {L"", ERROR_INVALID_NAME},
        {L"..", ERROR_INVALID_NAME},
        {L"plain:stream", ERROR_INVALID_NAME},
        {L"PLAIN", 0},
        {L"plain", ERROR_FILE_NOT_FOUND},
    };
    for (auto& row : named) {
      CAPTURE(Narrow(row.name));
      SetLastError(0);
      CHECK(DeleteFileIn(pin.Get(), row.name) == (row.error == 0));
      if (row.error) CHECK(GetLastError() == row.error);
    }
    CHECK(Exists(victims + L"\\inside.txt"));
    // Many at once (enough for the second thread's trial): the same rows
    // among plain files. Exactly the plain files go, each says so.
    std::vector<std::wstring> names;
    for (auto& row : named) names.push_back(row.name);
    for (size_t i = 0; i < 600; i++) {
      names.insert(names.begin() + (i * 7) % (names.size() + 1), L"many" + std::to_wstring(i));
      WriteText(folder / (L"many" + std::to_wstring(i)).c_str(), "m");
    }
    std::vector<FileInFolder> files;
    for (auto& name : names) files.push_back(FileInFolder{pin.Get(), name.c_str(), true});
    // Enough for the trial of a second thread; one file too few for it.
    CHECK(DeleteFilesIn(files.data(), files.size()).made != 0);
    FileInFolder few[] = {{pin.Get(), L"absent", true}};
    CHECK(DeleteFilesIn(few, 1).made == 0);
    CHECK_FALSE(few[0].deleted);
    size_t gone = 0;
    for (auto& file : files) {
      bool many = std::wstring(file.name).rfind(L"many", 0) == 0;
      CHECK_MESSAGE(file.deleted == many, Narrow(file.name));
      gone += many && !Exists(folder / file.name);
    }
    CHECK(gone == 600);
  }
  // A tree with links inside: its own files go, the links' targets stay.
  std::wstring tree = folder / L"tree";
  MakeDirs(tree + L"\\sub\\deeper");
  WriteText(tree + L"\\sub\\deeper\\own.txt", "own");
  REQUIRE(PlantLink(tree + L"\\sub\\folder-link", victims));
  REQUIRE(PlantLink(tree + L"\\file-link", victim));
  DeleteTreeUnredirected((folder / L"folder-link").c_str());
  DeleteTreeUnredirected(tree.c_str());
  CHECK_FALSE(Exists(tree + L"\\sub\\deeper"));
  CHECK(Exists(victims + L"\\inside.txt"));
  CHECK(ReadBytes(victim).size() == 6);

  // A file others held without sharing its deletion, gone by the retry: the
  // retry makes no file it could not remove again.
  static int calls;
  calls = 0;
  auto held = +[](LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition, DWORD flags,
                  HANDLE templ) -> HANDLE {
    if (calls++ == 0) return SetLastError(ERROR_SHARING_VIOLATION), INVALID_HANDLE_VALUE;
    return RealFunction(&CreateFileW, "CreateFileW")(name, access, share, sa, disposition, flags, templ);
  };
  ImportHooks hooks({{"CreateFileW", (void*)held}});
  CHECK(OpenUnredirected(plain.c_str(), GENERIC_WRITE, 0, OPEN_ALWAYS) == INVALID_HANDLE_VALUE);
  CHECK_FALSE(Exists(plain));
}

TEST_CASE("folders of the user's choosing, and a folder of the tool's own") {
  // A user's shell folder: in the profile, or their own elsewhere (under Wine
  // every folder is the user's); never the system's, the machine's, another
  // profile or this program's, also not through a link.
  TempFolder own;
  wchar_t self[MAX_PATH], windows[MAX_PATH], files[MAX_PATH], common[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  GetSystemWindowsDirectoryW(windows, MAX_PATH);
  SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, 0, files);
  SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, common);
  std::wstring program(self, wcsrchr(self, L'\\')), windowsTemp = std::wstring(windows) + L"\\Temp";
  MakeDirs(L"C:\\kvx-owned");
  REQUIRE(PlantLink(own / L"to-program-files", files));
  for (auto row : {std::make_pair(own.Path(), true), {L"C:\\kvx-owned", true}, {windowsTemp, false}, {program, false},
                   {program + L"\\..", false}, {std::wstring(files) + L"\\Korvex", false}, {common, false},
                   {L"C:\\users\\Public", false}, {own / L"to-program-files", false}, {L"", false}})
    CHECK_MESSAGE(IsUserFolderUsable(row.first.c_str()) == row.second, Narrow(row.first));
  RemoveTree(L"C:\\kvx-owned");

  // Each run its own folder, made with a list that only SYSTEM and
  // administrators may change (Wine keeps none: the one handed over is read).
  static std::wstring given;
  auto create = +[](LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) -> BOOL {
    LPWSTR text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorW(attributes->lpSecurityDescriptor, SDDL_REVISION_1,
                                                         DACL_SECURITY_INFORMATION, &text, nullptr);
    given = text ? text : L"";
    LocalFree(text);
    return RealFunction(&CreateDirectoryW, "CreateDirectoryW")(path, attributes);
  };
  wchar_t first[MAX_PATH], second[MAX_PATH];
  {
    ImportHooks hooks({{"CreateDirectoryW", (void*)create}});
    REQUIRE(CreatePrivateFolder(own.Path().c_str(), first));
  }
  CHECK(given == L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
  REQUIRE(CreatePrivateFolder(own.Path().c_str(), second));
  CHECK(std::wstring(first) != second);
  // Such a folder left behind goes only when administrators or SYSTEM own
  // it: under elevation the account running the tool owns only what its
  // unelevated programs could have made. (Wine reports every folder as that
  // account's, with a list that lets it in: what Windows shows of a folder
  // made as above, the administrators' with their list, is played here.)
  WriteText(std::wstring(first) + L"\\Uninstall_Kvx.Bat", "x");
  auto isOwn = +[](const wchar_t* name) { return lstrcmpiW(name, L"Uninstall_Kvx.Bat") == 0; };
  CHECK(RemoveAbandonedPrivateFolders(own.Path().c_str(), isOwn, 0) == 0);
  CHECK(Exists(first));
  {
    ShownSecurity administrators(L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
    // Trusted, but younger than the age: a run that may still be going.
    CHECK(RemoveAbandonedPrivateFolders(own.Path().c_str(), isOwn, 10) == 0);
    CHECK(RemoveAbandonedPrivateFolders(own.Path().c_str(), isOwn, 0) == 2);
  }
  CHECK_FALSE(Exists(first));
  CHECK_FALSE(Exists(second));
  CHECK_FALSE(CreatePrivateFolder((own / L"missing").c_str(), first));
  // Who else may change a folder, by its list.
  for (auto row : {std::make_pair(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICIIO;FA;;;CO)", false),
                   {L"D:(A;;0x2;;;BU)", true}, {L"D:(A;;0x40;;;AU)", true}, {L"D:(A;;GW;;;WD)", true}}) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    BOOL present, defaulted;
    PACL acl = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(row.first, SDDL_REVISION_1, &sd, nullptr);
    GetSecurityDescriptorDacl(sd, &present, &acl, &defaulted);
    CHECK(AclLetsOthersChange(acl) == row.second);
    LocalFree(sd);
  }
}

TEST_CASE("MakeFolder results") {
  TempFolder folder;
  CHECK(MakeFolder((folder / L"missing\\child").c_str()) == 2);
  CHECK(MakeFolder((folder / L"new").c_str()) == 0);
  CHECK(MakeFolder((folder / L"new").c_str()) == 1);
  // A trailing dot is kept: the plain form would name "new", which is there.
  CHECK(MakeFolder((folder / L"new.").c_str()) == 0);
  CHECK(IsDirectoryAttr(GetAttributes((L"\\\\?\\" + (folder / L"new.")).c_str())));
  CHECK(FileExists(folder.Path().c_str()));  // a folder counts as existing
  CHECK(IsDirectoryAttr(GetAttributes(folder.Path().c_str())));
  CHECK_FALSE(IsDirectoryAttr(INVALID_FILE_ATTRIBUTES));
}

TEST_CASE("DiskFile removes an abandoned new file and keeps a closed one") {
  TempFolder folder;
  std::wstring abandoned = folder / L"abandoned.bin", kept = folder / L"kept.bin";
  {
    DiskFile file;
    REQUIRE(file.Create(abandoned.c_str(), kFileShareRead));
    file.Write("x", 1);
  }
  CHECK_FALSE(Exists(abandoned));
  {
    DiskFile file;
    REQUIRE(file.Create(kept.c_str(), 0));
    file.Write("xyz", 3);
    file.Close();
  }
  CHECK(ReadBytes(kept).size() == 3);
  {
    DiskFile file;  // opened, not created: never deleted
    REQUIRE(file.Open(kept.c_str(), 0));
  }
  CHECK(Exists(kept));
}

TEST_CASE("DiskFile reading, seeking and sharing") {
  TempFolder folder;
  std::wstring path = folder / L"data.bin";
  WriteText(path, "0123456789");
  DiskFile file;
  REQUIRE(file.Open(path.c_str(), kFileShareWrite));
  char buffer[16] = {};
  CHECK(file.Seek(-4, SeekOrigin::End));
  CHECK(file.Tell() == 6);
  CHECK(file.Read(buffer, 16) == 4);
  CHECK(std::string(buffer, 4) == "6789");
  CHECK(file.Read(buffer, 16) == 0);
  CHECK(file.Seek(2, SeekOrigin::Begin));
  CHECK(file.Seek(-1, SeekOrigin::Current));
  CHECK(file.Tell() == 1);
  CHECK_FALSE(file.Seek(-20, SeekOrigin::Current));
  // Opened with write sharing, another writer may open the file.
  HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  CHECK(writer != INVALID_HANDLE_VALUE);
  CloseHandle(writer);
  CHECK_FALSE(file.Write("x", 1));  // read-only handle
  CHECK(file.Write("", 0));
  CHECK_FALSE(DiskFile().Open((folder / L"missing").c_str(), 0));
}

TEST_CASE("DirectoryScan never yields . or ..") {
  TempFolder folder;
  WriteText(folder / L"a.txt", "a");
  WriteText(folder / L"b.dat", "bb");
  MakeFolder((folder / L"sub").c_str());
  DirectoryScan scan;
  scan.SetMask((folder / L"*").c_str());
  FoundEntry entry;
  std::vector<std::wstring> names;
  while (scan.Next(entry)) names.push_back(entry.name);
  CHECK_FALSE(entry.error);
  std::sort(names.begin(), names.end());
  REQUIRE(names.size() == 3);
  CHECK(names[0] == folder / L"a.txt");
  CHECK(names[2] == folder / L"sub");

  scan.SetMask((folder / L"missing\\*").c_str());
  CHECK_FALSE(scan.Next(entry));
  CHECK_FALSE(entry.error);

  DirectoryScan unset;
  CHECK_FALSE(unset.Next(entry));
}

TEST_CASE("FindSingle") {
  TempFolder folder;
  WriteText(folder / L"one.dat", "12345");
  FoundEntry entry;
  REQUIRE(FindSingle((folder / L"one.dat").c_str(), entry));
  CHECK(entry.size == 5);
  CHECK_FALSE(entry.isDirectory);
  CHECK(FindSingle(folder.Path().c_str(), entry));
  CHECK(entry.isDirectory);
  CHECK_FALSE(FindSingle((folder / L"on?.dat").c_str(), entry));
  CHECK_FALSE(FindSingle((folder / L"none").c_str(), entry));
}

TEST_CASE("GrowArray keeps its elements through growth, in few moves") {
  // A hundred thousand pushes: every element where it was put, and the
  // storage moved only a few dozen times (growth in proportion, not by a
  // fixed step, which would move it thousands of times).
  GrowArray<int> a;
  int moves = 0;
  const int* data = nullptr;
  for (int i = 0; i < 100000; i++) {
    a.PushElement(i);
    if (a.Data() != data) moves++, data = a.Data();
  }
  CHECK(a.Count() == 100000);
  bool intact = true;
  for (int i = 0; i < 100000; i++) intact &= a[i] == i;
  CHECK(intact);
  CHECK(moves < 60);
  GrowArray<char> b;
  b.AddElements(100);
  CHECK(b.Count() == 100);
  b.Reset();
  CHECK(b.Count() == 0);
  CHECK(b.Data() == nullptr);
}

TEST_CASE("texts in a pool and a table, exact and folded") {
  TextPool pool;
  std::vector<size_t> at;
  for (int i = 0; i < 3000; i++) at.push_back(pool.Add((L"Dir/" + std::to_wstring(i)).c_str()));
  CHECK(std::wstring(pool.At(at[2999])) == L"Dir/2999");  // offsets outlive the growth
  TextTable exact, folded(true);
  for (int i = 0; i < 3000; i++) exact.Add(pool.At(at[i]), wcslen(pool.At(at[i])), i);
  for (int i = 0; i < 3000; i++) folded.Add(pool.At(at[i]), wcslen(pool.At(at[i])), i);
  CHECK(*exact.Add(L"Dir/7", 5, 99) == 7);  // the first value stays
  for (TextTable* table : {&exact, &folded}) table->Add(L"\x00c4\x00d6/\x0416", 4, 5000);
  struct { const wchar_t* text; size_t length; int exact, folded; } rows[] = {
      {L"Dir/42", 6, 42, 42}, {L"DIR\\42", 6, -1, 42}, {L"dir/42", 6, -1, 42},
      {L"Dir/4", 5, 4, 4},     {L"Dir/42x", 6, 42, 42}, {L"Dir/3000", 8, -1, -1},
      // Beyond ASCII every letter matches in either case, as file names do.
      {L"\x00e4\x00f6\\\x0436", 4, -1, 5000}, {L"\x00c4\x00d6/\x0416", 4, 5000, 5000},
  };
  for (auto& r : rows) {
    CAPTURE(Narrow(r.text));
    const int32_t* e = exact.Find(r.text, r.length);
    const int32_t* f = folded.Find(r.text, r.length);
    CHECK((e ? *e : -1) == r.exact);
    CHECK((f ? *f : -1) == r.folded);
  }
}

static int CompareInts(const void* a, const void* b, void*) {
  int x = *static_cast<const int*>(a), y = *static_cast<const int*>(b);
  return x < y ? -1 : x > y;
}

TEST_CASE("SortElements") {
  int none[1] = {5};
  SortElements(none, 0, sizeof(int), CompareInts);
  SortElements(none, 1, sizeof(int), CompareInts);
  CHECK(none[0] == 5);
  std::vector<int> values;
  unsigned seed = 7;
  for (int i = 0; i < 1000; i++) values.push_back((int)((seed = seed * 1103515245u + 12345u) >> 16) % 100);
  std::vector<int> expected = values;
  std::sort(expected.begin(), expected.end());
  SortElements(values.data(), values.size(), sizeof(int), CompareInts);
  CHECK(values == expected);
}

// What the compiler's hardening calls on an overrun, set up by
// util/stack_guard.cpp (this file is compiled with canaries).
extern "C" void* __stack_chk_guard;
extern "C" void* __memcpy_chk(void* to, const void* from, size_t count, size_t room);
__attribute__((noinline, noclone)) static int OverrunFrame(size_t count) {
  char buffer[16];
  for (size_t i = 0; i < count; i++) ((volatile char*)buffer)[i] = 'x';
  return buffer[0];
}
KVX_CHILD(broken_canary) { return OverrunFrame(GetEnvironmentVariableW(L"PATH", nullptr, 0) ? 24 : 0); }
KVX_CHILD(overrunning_copy) {
  char buffer[8], source[64] = {};
  volatile size_t count = sizeof source;
  __memcpy_chk(buffer, source, count, sizeof buffer);  // what a fortified memcpy becomes
  return buffer[0];
}
KVX_CHILD(stack_guard) {
  uintptr_t guard = (uintptr_t)__stack_chk_guard;
  return (int)(guard ^ (guard >> 32));
}

TEST_CASE("an overrun ends the process at once with the system's overrun code, and the canary differs per process") {
  const DWORD kOverrun = 0xC0000409;  // STATUS_STACK_BUFFER_OVERRUN
  CHECK(RunChild("broken_canary") == kOverrun);
  CHECK(RunChild("overrunning_copy") == kOverrun);
  DWORD first = RunChild("stack_guard"), second = RunChild("stack_guard");
  CHECK(first != 0);
  CHECK(first != second);
}

KVX_CHILD(memory_error) { RaiseMemoryError(); }
KVX_CHILD(overflowing_count) {
  GrowArray<uint64_t> a;
  a.AddElements(16);
  a.AddElements(SIZE_MAX - 8);  // the element count would wrap
  return 0;
}
KVX_CHILD(overflowing_bytes) {
  GrowArray<uint64_t> a;
  a.AddElements(SIZE_MAX / 4);  // the byte size would wrap
  return 0;
}
KVX_CHILD(unallocatable) {
  GrowArray<char> a;
  a.AddElements(SIZE_MAX / 2);  // representable, but no heap has it
  return 0;
}

TEST_CASE("the memory error ends the process with exit code 8") {
  CHECK(RunChild("memory_error") == 8);
  CHECK(RunChild("overflowing_count") == 8);
  CHECK(RunChild("overflowing_bytes") == 8);
  CHECK(RunChild("unallocatable") == 8);
}
