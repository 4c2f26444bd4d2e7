#include "uninstall/batch.h"

#include <stdlib.h>

#include "util/file.h"
#include "util/text.h"

const wchar_t* const kBatchVariables[kBatchPathCount] = {L"KVX_UNINSTALL_PROGRAM", L"KVX_UNINSTALL_FOLDER",
                                                         L"KVX_UNINSTALL_BATCH",   L"KVX_UNINSTALL_TEMP",
                                                         L"KVX_UNINSTALL_CMD",     L"KVX_UNINSTALL_RUNNER",
                                                         L"KVX_UNINSTALL_WAITING"};

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

// A line of one path, formatted in `line`.
static void AppendFormatted(GrowArray<wchar_t>& text, wchar_t* line, const wchar_t* format, const wchar_t* path) {
  FormatText(line, 3 * 2048 + 64, format, path);
  AppendLine(text, line);
}

void ComposeBatchLines(const BatchPaths& paths, bool silent, GrowArray<wchar_t>& text,
                       bool useVariable[kBatchPathCount]) {
  // Each path in its batch form: doubled percent signs or a variable.
  wchar_t forms[kBatchPathCount][2048];
  const wchar_t* sources[kBatchPathCount] = {paths.program,   paths.folder, paths.batch,  paths.batchFolder,
                                             paths.processor, paths.runner, paths.waiting};
  for (size_t i = 0; i < kBatchPathCount; i++)
    useVariable[i] =
        sources[i] && BatchPathText(sources[i], paths.shortForms[i], kBatchVariables[i], forms[i], 2048);
  const wchar_t *p = forms[0], *f = forms[1], *b = forms[2], *t = forms[3], *c = forms[4];
  const wchar_t* r = paths.runner ? forms[5] : p;
  // Room for three lines of the longest paths: a shorter buffer would cut
  // the deletion lines of a deep installation folder.
  wchar_t line[3 * 2048 + 64];
  AppendFormatted(text, line, L"\"%s\" /wait\r\n", r);
  for (int i = 0; i < 5; i++) {
    AppendFormatted(text, line, L"del \"%s\"\r\n", p);
    if (paths.folder) AppendFormatted(text, line, L"rd \"%s\"\r\n", f);
    AppendFormatted(text, line, L"if not exist \"%s\" goto done\r\n", p);
  }
  AppendLine(text, L":done\r\n");
  if (paths.waiting) AppendFormatted(text, line, L"rd \"%s\"\r\n", forms[6]);
  if (!silent) {
    if (paths.runner) FormatText(line, L"if exist \"%s\" \"%s\" \"/warning=%s\"\r\n", p, r, p);
    else FormatText(line, L"if exist \"%s\" \"%s\" /warning\r\n", p, r);
    AppendLine(text, line);
  }
  // A copy that ran the pause and the warning goes before its folder.
  if (paths.runner) AppendFormatted(text, line, L"del \"%s\"\r\n", r);
  // One line, read whole before the file it stands in is gone.
  if (paths.batchFolder && paths.processor) {
    FormatText(line,
               L"del \"%s\" & start \"\" /b \"%s\" /d /e:on /v:off /c for /l %%%%i in (1,1,100) do @if exist \"%s\" rd \"%s\" 2^>nul\r\n",
               b, c, t, t);
    AppendLine(text, line);
  } else {
    AppendFormatted(text, line, L"del \"%s\"\r\n", b);
  }
  text.PushElement(0);
}

bool WriteBatchText(HANDLE file, const wchar_t* text) {
  size_t length = TextLength(text);
  if (length > 0x3fffffff) return false;
  size_t bytes = length * 4 + 1;
  char* narrow = static_cast<char*>(malloc(bytes));
  if (!narrow) return false;
  int n = WideCharToMultiByte(kBatchCodePage, 0, text, -1, narrow, (int)bytes, nullptr, nullptr);
  bool ok = n > 0 && WriteExactly(file, narrow, (size_t)(n - 1));
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
  FormatText(command, capacity, L"\"%s\" /d /e:on /v:off /s /c \"\"%s\"\"", processor, batch);
  return true;
}
