#include "uninstall/file_list.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "util/text.h"

void ParseFileList(const char* bytes, size_t count, GrowArray<FileListEntry>& entries) {
  const size_t kPiece = 2047;  // what a 2048-byte line buffer holds
  size_t at = 0;
  while (at < count) {
    size_t end = at;
    while (end < count && end - at < kPiece) {
      if (bytes[end++] == '\n') break;
    }
    size_t length = 0;
    while (at + length < end && bytes[at + length]) length++;
    while (length) {
      char c = bytes[at + length - 1];
      if (c != ' ' && c != '\t' && c != '\r' && c != '\n') break;
      length--;
    }
    if (length) entries.PushElement(FileListEntry{at, length});
    at = end;
  }
}

void ReadFileList(FILE* stream, FileList& list, size_t limit) {
  for (;;) {
    size_t at = list.bytes.Count();
    list.bytes.AddElements(65536);
    size_t got = fread(list.bytes.Data() + at, 1, 65536, stream);
    list.bytes.Shrink(at + got);
    if (got == 0 || list.bytes.Count() >= limit) break;
  }
  ParseFileList(list.bytes.Data(), list.bytes.Count(), list.entries);
}

size_t ListedPath(const FileList& list, size_t i, wchar_t* full, size_t capacity, size_t folderLength) {
  const FileListEntry& e = list.entries[i];
  char line[2048];  // entries are at most 2047 bytes
  size_t length = e.length < sizeof line - 1 ? e.length : sizeof line - 1;
  for (size_t k = 0; k < length; k++) line[k] = list.bytes[e.offset + k];
  line[length] = 0;
  if (folderLength >= capacity) return 0;
  wchar_t* entry = full + folderLength;
  int n = MultiByteToWideChar(CP_ACP, 0, line, -1, entry, (int)(capacity - folderLength));
  // One leading separator still names something inside the program folder
  // ("\Formats\x"); two begin a network path.
  auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  if (n > 1 && separator(entry[0]) && !separator(entry[1])) {
    memmove(entry, entry + 1, (size_t)(n - 1) * sizeof(wchar_t));
    n--;
  }
  return n > 1 && IsContainedEntry(entry) ? (size_t)n : 0;
}

bool IsContainedEntry(const wchar_t* entry) {
  if (entry[0] == L'\\' || entry[0] == L'/') return false;
  for (const wchar_t* p = entry; *p; p++)
    if (*p == L':') return false;
  const wchar_t* component = entry;
  for (const wchar_t* p = entry;; p++) {
    if (*p == L'\\' || *p == L'/' || *p == 0) {
      bool onlyDots = p > component, anyDot = false;
      for (const wchar_t* q = component; q < p; q++) {
        if (*q == L'.') anyDot = true;
        else if (*q != L' ') onlyDots = false;
      }
      if (onlyDots && anyDot) return false;
      if (*p == 0) break;
      component = p + 1;
    }
  }
  return true;
}

const wchar_t* const kBatchVariables[5] = {L"KVX_UNINSTALL_PROGRAM", L"KVX_UNINSTALL_FOLDER", L"KVX_UNINSTALL_BATCH",
                                           L"KVX_UNINSTALL_TEMP", L"KVX_UNINSTALL_CMD"};

bool BatchPathText(const wchar_t* path, const wchar_t* shortForm, const wchar_t* variable, wchar_t* dest,
                   size_t capacity) {
  if (capacity == 0) return false;
  if (!SurvivesCodePage(path, kBatchCodePage) && shortForm && shortForm[0] && SurvivesCodePage(shortForm, kBatchCodePage)) path = shortForm;
  if (!SurvivesCodePage(path, kBatchCodePage)) {
    FormatText(dest, capacity, L"%%%s%%", variable);
    return true;
  }
  size_t out = 0;
  for (const wchar_t* p = path; *p && out + 1 < capacity; p++) {
    if (*p == L'%') {
      if (out + 2 >= capacity) break;
      dest[out++] = L'%';
    }
    dest[out++] = *p;
  }
  dest[out] = 0;
  return false;
}

static void AppendLine(GrowArray<wchar_t>& text, const wchar_t* line) {
  size_t n = TextLength(line);
  size_t at = text.Count();
  text.AddElements(n);
  for (size_t i = 0; i < n; i++) text[at + i] = line[i];
}

void ComposeBatchLines(const BatchPaths& paths, bool silent, GrowArray<wchar_t>& text, bool useVariable[5]) {
  // Each path in its batch form: doubled percent signs or a variable.
  wchar_t forms[5][2048];
  const wchar_t* sources[5] = {paths.program, paths.folder, paths.batch, paths.batchFolder, paths.processor};
  for (int i = 0; i < 5; i++)
    useVariable[i] =
        sources[i] && BatchPathText(sources[i], paths.shortForms[i], kBatchVariables[i], forms[i], 2048);
  const wchar_t *p = forms[0], *f = forms[1], *b = forms[2], *t = forms[3], *c = forms[4];
  // Room for three lines of the longest paths: a shorter buffer would cut
  // the deletion lines of a deep installation folder.
  wchar_t line[3 * 2048 + 64];
  FormatText(line, L"\"%s\" /wait\r\n", p);
  AppendLine(text, line);
  for (int i = 0; i < 5; i++) {
    FormatText(line, L"del \"%s\"\r\nrd \"%s\"\r\nif not exist \"%s\" goto done\r\n", p, f, p);
    AppendLine(text, line);
  }
  AppendLine(text, L":done\r\n");
  if (!silent) {
    FormatText(line, L"if exist \"%s\" \"%s\" /warning\r\n", p, p);
    AppendLine(text, line);
  }
  // One line, read whole before the file it stands in is gone.
  if (paths.batchFolder && paths.processor)
    FormatText(line, L"del \"%s\" & start \"\" /b \"%s\" /d /c for /l %%%%i in (1,1,100) do @if exist \"%s\" rd \"%s\" 2^>nul\r\n",
               b, c, t, t);
  else FormatText(line, L"del \"%s\"\r\n", b);
  AppendLine(text, line);
  text.PushElement(0);
}

bool WriteBatchText(HANDLE file, const wchar_t* text) {
  size_t length = TextLength(text);
  if (length > 0x3fffffff) return false;
  size_t bytes = length * 4 + 1;
  char* narrow = static_cast<char*>(malloc(bytes));
  if (!narrow) return false;
  int n = WideCharToMultiByte(kBatchCodePage, 0, text, -1, narrow, (int)bytes, nullptr, nullptr);
  DWORD written = 0;
  bool ok = n > 0 && WriteFile(file, narrow, (DWORD)(n - 1), &written, nullptr) && written == (DWORD)(n - 1);
  free(narrow);
  return ok;
}

static bool QuotesSafely(const wchar_t* path) {
  if (!path[0]) return false;
  for (const wchar_t* p = path; *p; p++)
    if (*p < 32 || *p == L'"' || *p == L'%') return false;
  return true;
}

bool ComposeBatchCommand(const wchar_t* processor, const wchar_t* batch, wchar_t* command, size_t capacity) {
  if (capacity) command[0] = 0;
  if (!QuotesSafely(processor) || !QuotesSafely(batch)) return false;
  // With /s the command processor takes away the outer pair of quotes only,
  // whatever the path holds, and runs the quoted path that is left.
  FormatText(command, capacity, L"\"%s\" /d /v:off /s /c \"\"%s\"\"", processor, batch);
  return true;
}
