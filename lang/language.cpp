#include "lang/language.h"

#include <string.h>
#include <windows.h>

#include "lang/module.h"
#include "util/file.h"
#include "util/handles.h"
#include "util/path.h"
#include "util/text.h"

LanguageFile g_LanguageFile;

void LanguageFile::Clear() {
  entries.Reset();
  keys.Reset();
  texts.Reset();
  index.Reset();
  RightToLeft = false;
}

// ---------------------------------------------------------------- marker

static const char kMarker[] = "***messages**";  // 13 characters
const size_t kMarkerLength = 13;

long FindLanguageMarker(const unsigned char* block, size_t count, bool& wide) {
  for (size_t i = 0; i + kMarkerLength <= count; i++) {
    if (memcmp(block + i, kMarker, kMarkerLength) == 0) {
      wide = false;
      return (long)i;
    }
    if (i + kMarkerLength * 2 <= count) {
      size_t k = 0;
      while (k < kMarkerLength && block[i + 2 * k] == (unsigned char)kMarker[k] && block[i + 2 * k + 1] == 0) k++;
      if (k == kMarkerLength) {
        wide = true;
        return (long)i;
      }
    }
  }
  return -1;
}

// ---------------------------------------------------------------- parser

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }
bool IsLineEnd(wchar_t c) { return c == L'\r' || c == L'\n'; }

class Parser {
 public:
  // `text` has room for one character past `length`.
  Parser(wchar_t* text, size_t length, LanguageFile& file) : base_(text), p_(text), end_(text + length), file_(file) {
    strcpy(prefix_, "s:");
  }
  size_t Written() const { return written_; }

  void Run() {
    while (p_ < end_ && *p_) {
      const wchar_t* line = p_;
      while (p_ < end_ && *p_ && !IsLineEnd(*p_)) p_++;
      Line(line, (size_t)(p_ - line));
      while (p_ < end_ && IsLineEnd(*p_)) p_++;
    }
  }

 private:
  void Line(const wchar_t* line, size_t length) {
    if (length == 0) return;
    if (line[0] == L':') Section(line + 1, length - 1);
    else if (IsLatinLetter(line[0])) KeyLine(line, length);
  }

  // The run of characters above code 32 after the blanks, as ANSI text.
  static void Word(const wchar_t* p, const wchar_t* end, char* out, size_t capacity) {
    while (p < end && IsBlank(*p)) p++;
    wchar_t word[100];
    size_t n = 0;
    while (p < end && *p > 32 && n < 99) word[n++] = *p++;
    word[n] = 0;
    WideToAnsi(word, out, capacity);
  }

  static bool SectionIs(const wchar_t* p, const wchar_t* end, const wchar_t* name, const wchar_t*& after) {
    for (; *name; name++, p++)
      if (p >= end || *p != *name) return false;
    if (p < end && *p > 32) return false;
    after = p;
    return true;
  }

  void Section(const wchar_t* p, size_t length) {
    const wchar_t* end = p + length;
    const wchar_t* after;
    char word[200];
    if (SectionIs(p, end, L"STRINGS", after)) {
      strcpy(prefix_, "s:");
    } else if (SectionIs(p, end, L"DIALOG", after) || SectionIs(p, end, L"MENU", after)) {
      Word(after, end, word, sizeof word);
      char mark = *p == L'D' ? '$' : '@';
      size_t n = strlen(word);
      if (n > sizeof prefix_ - 3) n = sizeof prefix_ - 3;
      prefix_[0] = mark;
      memcpy(prefix_ + 1, word, n);
      prefix_[n + 1] = ':';
      prefix_[n + 2] = 0;
    } else if (SectionIs(p, end, L"DIRECTION", after)) {
      Word(after, end, word, sizeof word);
      file_.RightToLeft = strcmp(word, "RTL") == 0;
    }
  }

  void KeyLine(const wchar_t* line, size_t length) {
    size_t k = 0;
    while (k < length && k < 99 && line[k] != L' ' && line[k] != L'\t' && line[k] != L',') k++;
    if (k >= length || k >= 99) return;  // no separator within the first 99 characters
    wchar_t keyWord[100];
    memcpy(keyWord, line, k * sizeof(wchar_t));
    keyWord[k] = 0;
    // The key is built in 100 bytes whatever the section name: a prefix of
    // up to 103 characters is cut there, then to the 49 characters kept.
    char key[100];
    CopyTextA(key, prefix_);
    char ansi[200];
    WideToAnsi(keyWord, ansi);
    AppendTextA(key, ansi);
    key[kMaxKeyLength] = 0;

    const wchar_t* p = line + k + 1;
    const wchar_t* end = line + length;
    while (p < end && IsBlank(*p)) p++;
    // The text is written over the line it comes from: the write position
    // never passes the read position, since the key word is skipped and
    // escapes only shorten.
    size_t start = written_;
    wchar_t* out = base_ + start;
    size_t kept = 0;
    while (p < end && kept < kMaxTextLength) {
      wchar_t c = *p++;
      if (c == L'\\' && p < end) {
        wchar_t e = *p;
        if (e == L'"') c = L'"', p++;
        else if (e == L'\\') c = L'\\', p++;
        else if (e == L'n') c = L'\n', p++;
        else if (e == L'r') c = L'\r', p++;
        else if (e == L't') c = L'\t', p++;
      }
      out[kept++] = c;
    }
    size_t n = kept;
    while (n && IsBlank(out[n - 1])) n--;
    if (n && out[n - 1] == L'"') n--;
    if (n && out[0] == L'"') {
      memmove(out, out + 1, (n - 1) * sizeof(wchar_t));
      n--;
    }
    out[n] = 0;
    written_ = start + n + 1;

    size_t keyAt = file_.keys.Count();
    size_t keyLength = strlen(key) + 1;
    file_.keys.AddElements(keyLength);
    memcpy(file_.keys.Data() + keyAt, key, keyLength);
    file_.entries.PushElement(TextEntry{(uint32_t)keyAt, (uint32_t)start});
  }

  wchar_t* base_;
  const wchar_t* p_;
  const wchar_t* end_;
  LanguageFile& file_;
  size_t written_ = 0;
  char prefix_[104];
};

}  // namespace

// Byte-wise comparison of two keys (the order of the index).
static inline int CompareKeys(const char* a, const char* b) {
  while (*a && *a == *b) a++, b++;
  return (int)(unsigned char)*a - (int)(unsigned char)*b;
}

// Bottom-up merge sort of the key index: a language file has thousands of
// keys, and the generic heap sort costs several times the file's parse.
static void SortIndex(GrowArray<KeyIndexEntry>& index) {
  size_t n = index.Count();
  if (n < 2) return;
  GrowArray<KeyIndexEntry> scratch;
  scratch.AddElements(n);
  KeyIndexEntry* from = index.Data();
  KeyIndexEntry* to = scratch.Data();
  for (size_t width = 1; width < n; width *= 2) {
    for (size_t low = 0; low < n; low += 2 * width) {
      size_t mid = low + width < n ? low + width : n;
      size_t high = low + 2 * width < n ? low + 2 * width : n;
      size_t a = low, b = mid, out = low;
      while (a < mid && b < high) to[out++] = CompareKeys(from[b].key, from[a].key) < 0 ? from[b++] : from[a++];
      while (a < mid) to[out++] = from[a++];
      while (b < high) to[out++] = from[b++];
    }
    KeyIndexEntry* swap = from;
    from = to;
    to = swap;
  }
  if (from != index.Data()) memcpy(index.Data(), from, n * sizeof(KeyIndexEntry));
}

void ParseLanguageText(GrowArray<wchar_t>& text, LanguageFile& file) {
  file.Clear();
  size_t length = text.Count() < kMaxFileChars ? text.Count() : kMaxFileChars;
  text.Shrink(length);
  text.PushElement(0);
  Parser parser(text.Data(), length, file);
  parser.Run();
  text.Shrink(parser.Written());
  file.texts.Swap(text);
  text.Reset();
  file.index.Reset();
  file.index.AddElements(file.entries.Count());
  for (size_t i = 0; i < file.entries.Count(); i++) file.index[i] = KeyIndexEntry{file.Key(i), (uint32_t)i};
  SortIndex(file.index);
}

// ---------------------------------------------------------------- loading

bool ConvertLanguageBytes(const char* bytes, size_t count, unsigned codePage, GrowArray<wchar_t>& text) {
  text.Reset();
  if (count == 0) return true;
  if (count > 0x7fffffff) return false;
  int needed = MultiByteToWideChar(codePage, 0, bytes, (int)count, nullptr, 0);
  // Room for the terminator the parser adds, so that it never reallocates.
  if (needed <= 0 || !text.TryReserve((size_t)needed + 1)) return false;
  text.AddElements((size_t)needed);
  int m = MultiByteToWideChar(codePage, 0, bytes, (int)count, text.Data(), needed);
  text.Shrink(m > 0 ? (size_t)m : 0);
  return m > 0;
}

// Reads the messages part of the file: the bytes from the marker on. False,
// and nothing read, when the file holds no marker or the memory for reading
// or converting it cannot be had (the built-in texts serve then).
static bool ReadMessages(DiskFile& file, GrowArray<wchar_t>& text) {
  const size_t kBlock = 8192, kOverlap = 32;
  GrowArray<unsigned char> block;
  if (!block.TryReserve(kBlock)) return false;
  block.AddElements(kBlock);
  int64_t blockStart = 0;
  long found = -1;
  bool wide = false;
  // The blocks overlap by 32 bytes, so that a wide marker near a block's
  // end is tested whole too; one block more than 256 steps of 8176 bytes
  // need keeps every offset a search in such steps reaches (the last block
  // ends at the 2,097,152 bytes the text may have).
  for (int blocks = 0; blocks < 257 && found < 0; blocks++) {
    if (!file.Seek(blockStart, SeekOrigin::Begin)) return false;
    size_t got = 0;
    while (got < kBlock) {
      size_t n = file.Read(block.Data() + got, kBlock - got);
      if (n == 0) break;
      got += n;
    }
    found = FindLanguageMarker(block.Data(), got, wide);
    if (found >= 0) break;
    if (got < kBlock) return false;
    // Step back so that a marker across the block's end is seen whole.
    blockStart += (int64_t)(got - kOverlap);
  }
  if (found < 0) return false;
  block.Reset();
  int64_t start = blockStart + found;
  if (!file.Seek(0, SeekOrigin::End)) return false;
  int64_t available = file.Tell() - start;
  if (available <= 0 || !file.Seek(start, SeekOrigin::Begin)) return false;
  size_t limit = (uint64_t)available < kMaxFileBytes ? (size_t)available : kMaxFileBytes;
  if (wide) {
    // UTF-16 little-endian is read straight into the characters.
    if (!text.TryReserve(limit / 2 + 1)) return false;
    text.AddElements(limit / 2);
    size_t got = 0;
    while (got < limit / 2 * 2) {
      size_t n = file.Read((unsigned char*)text.Data() + got, limit / 2 * 2 - got);
      if (n == 0) break;
      got += n;
    }
    text.Shrink(got / 2);
    return true;
  }
  // 8-bit text is read whole and converted in one call, so that no
  // character is split, whatever the code page. Where every byte is one
  // character, no more is read than is parsed.
  CPINFO info = {};
  if (GetCPInfo(CP_ACP, &info) && info.MaxCharSize == 1 && limit > kMaxFileChars) limit = kMaxFileChars;
  GrowArray<char> bytes;
  if (!bytes.TryReserve(limit)) return false;
  bytes.AddElements(limit);
  size_t got = 0;
  while (got < limit) {
    size_t n = file.Read(bytes.Data() + got, limit - got);
    if (n == 0) break;
    got += n;
  }
  return ConvertLanguageBytes(bytes.Data(), got, CP_ACP, text);
}

void LoadLanguageFile(const wchar_t* name) {
  wchar_t path[kPathCapacity];
  FindLanguageFile(name, path);
  bool bare = true;
  for (const wchar_t* p = path; *p; p++)
    if (*p == L'\\') bare = false;
  if (bare) {
    wchar_t full[kPathCapacity];
    GetProgramFile(path, full);
    CopyText(path, full);
  }
  {
    DiskFile file;
    GrowArray<wchar_t> text;
    if (file.Open(path, kFileShareWrite) && ReadMessages(file, text)) ParseLanguageText(text, g_LanguageFile);
  }
  if (FindResourceW(ResourceInstance, L"RTL", (LPCWSTR)RT_DIALOG)) g_LanguageFile.RightToLeft = true;
  if (g_LanguageFile.RightToLeft) SetProcessDefaultLayout(LAYOUT_RTL);
}

void FreeLanguageFile() { g_LanguageFile.Clear(); }

// ---------------------------------------------------------------- lookup

bool FindTextByKey(const char* key, wchar_t* buffer, size_t size) {
  const GrowArray<KeyIndexEntry>& index = g_LanguageFile.index;
  size_t low = 0, high = index.Count();
  while (low < high) {
    size_t mid = low + (high - low) / 2;
    int c = CompareKeys(index[mid].key, key);
    if (c == 0) {
      CopyText(buffer, g_LanguageFile.Text(index[mid].entry), size);
      return true;
    }
    if (c < 0) low = mid + 1;
    else high = mid;
  }
  return false;
}

wchar_t* LoadText(uint32_t id, wchar_t* buffer, size_t size) {
  if (size == 0) return buffer;
  buffer[0] = 0;
  if (g_LanguageFile.Count()) {
    for (const TextKeyRow& row : TextKeyTable) {
      if (row.id == id && row.key[0] == 's' && row.key[1] == ':') {
        if (FindTextByKey(row.key, buffer, size)) return buffer;
        break;
      }
    }
  }
  int cap = size > 0x7fffffff ? 0x7fffffff : (int)size;
  if (LoadStringW(ResourceInstance, id, buffer, cap) == 0 && LoadStringW(ProgramInstance, id, buffer, cap) == 0)
    buffer[0] = 0;
  return buffer;
}

const wchar_t* GetText(uint32_t id) {
  static wchar_t buffers[8][1024];
  static unsigned next = 0;
  next = (next + 1) % 8;
  return LoadText(id, buffers[next], 1024);
}

bool GetDialogText(const wchar_t* dialog, const wchar_t* item, wchar_t* buffer, size_t size) {
  wchar_t wideKey[80];
  FormatText(wideKey, L"$%s:%s", dialog, item);
  char key[160];
  WideToAnsi(wideKey, key);
  return FindTextByKey(key, buffer, size);
}
