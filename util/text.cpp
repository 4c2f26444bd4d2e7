#include "util/text.h"

#include <stdlib.h>
#include <windows.h>

size_t TextLength(const wchar_t* text) {
  size_t n = 0;
  if (text)
    while (text[n]) n++;
  return n;
}

size_t TextLengthA(const char* text) {
  size_t n = 0;
  if (text)
    while (text[n]) n++;
  return n;
}

template <class C> static void CopyBounded(C* dest, const C* source, size_t capacity) {
  if (capacity == 0) return;
  size_t i = 0;
  if (source)
    for (; i + 1 < capacity && source[i]; i++) dest[i] = source[i];
  dest[i] = 0;
}

template <class C> static void AppendBounded(C* dest, const C* source, size_t capacity) {
  size_t length = 0;
  while (length < capacity && dest[length]) length++;
  if (length >= capacity) return;
  CopyBounded(dest + length, source, capacity - length);
}

void CopyText(wchar_t* dest, const wchar_t* source, size_t capacity) { CopyBounded(dest, source, capacity); }
void AppendText(wchar_t* dest, const wchar_t* source, size_t capacity) { AppendBounded(dest, source, capacity); }
void CopyTextA(char* dest, const char* source, size_t capacity) { CopyBounded(dest, source, capacity); }
void AppendTextA(char* dest, const char* source, size_t capacity) { AppendBounded(dest, source, capacity); }

namespace {

// Output cursor of FormatTextArgs: writes what fits, remembers a cut.
struct Sink {
  wchar_t* dest;
  size_t capacity;
  size_t length = 0;
  bool cut = false;
  void Put(wchar_t c) {
    if (length + 1 < capacity)
      dest[length++] = c;
    else
      cut = true;
  }
  void Repeat(wchar_t c, size_t n) {
    for (size_t i = 0; i < n && !cut; i++) Put(c);
  }
};

struct Field {
  bool left = false, zero = false, plus = false, space = false, alt = false;
  size_t width = 0;
  bool hasPrecision = false;
  size_t precision = 0;
};

// Longest field a conversion may pad to; keeps a hostile width from
// spinning through billions of blanks.
const size_t kMaxField = 4096;

void PutText(Sink& out, const Field& field, const wchar_t* text) {
  if (!text) text = L"";
  size_t n = TextLength(text);
  if (field.hasPrecision && field.precision < n) n = field.precision;
  size_t pad = field.width > n ? field.width - n : 0;
  if (!field.left) out.Repeat(L' ', pad);
  for (size_t i = 0; i < n && !out.cut; i++) out.Put(text[i]);
  if (field.left) out.Repeat(L' ', pad);
}

void PutNumber(Sink& out, const Field& field, uint64_t magnitude, bool negative, unsigned base, bool upper) {
  wchar_t digits[72];
  size_t n = 0;
  const wchar_t* set = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
  do {
    digits[n++] = set[magnitude % base];
    magnitude /= base;
  } while (magnitude);
  if (field.hasPrecision && field.precision == 0 && n == 1 && digits[0] == L'0') n = 0;
  size_t minDigits = field.hasPrecision ? (field.precision < 64 ? field.precision : 64) : 0;
  while (n < minDigits) digits[n++] = L'0';
  wchar_t sign = negative ? L'-' : field.plus ? L'+' : field.space ? L' ' : 0;
  size_t body = n + (sign ? 1 : 0);
  size_t pad = field.width > body ? field.width - body : 0;
  bool zeroPad = field.zero && !field.left && !field.hasPrecision;
  if (!field.left && !zeroPad) out.Repeat(L' ', pad);
  if (sign) out.Put(sign);
  if (zeroPad) out.Repeat(L'0', pad);
  while (n && !out.cut) out.Put(digits[--n]);
  if (field.left) out.Repeat(L' ', pad);
}

void PutArg(Sink& out, const Field& field, const FormatArg& arg, wchar_t conversion) {
  switch (arg.kind) {
    case FormatArg::Text:
      PutText(out, field, arg.t);
      return;
    case FormatArg::Signed:
    case FormatArg::Unsigned:
      if (conversion == L'c') {
        wchar_t c[2] = {(wchar_t)(arg.kind == FormatArg::Signed ? arg.s : (int64_t)arg.u), 0};
        PutText(out, field, c);
        return;
      }
      if (arg.kind == FormatArg::Unsigned) break;
      if (conversion == L'd' || conversion == L'i' || conversion == L's' || conversion == L'S') {
        bool negative = arg.s < 0;
        PutNumber(out, field, negative ? 0 - (uint64_t)arg.s : (uint64_t)arg.s, negative, 10, false);
        return;
      }
      break;
  }
  uint64_t value = arg.kind == FormatArg::Unsigned ? arg.u : (uint64_t)arg.s;
  if (conversion == L'x' || conversion == L'X')
    PutNumber(out, field, value, false, 16, conversion == L'X');
  else
    PutNumber(out, field, value, false, 10, false);
}

}  // namespace

int FormatTextArgs(wchar_t* dest, size_t capacity, const wchar_t* format, const FormatArg* args, size_t count) {
  if (capacity == 0) return -1;
  Sink out{dest, capacity};
  size_t next = 0;
  const wchar_t* p = format ? format : L"";
  while (*p && !out.cut) {
    if (*p != L'%') {
      out.Put(*p++);
      continue;
    }
    const wchar_t* start = p++;
    if (*p == L'%') {
      out.Put(*p++);
      continue;
    }
    Field field;
    for (;; p++) {
      if (*p == L'-') field.left = true;
      else if (*p == L'0') field.zero = true;
      else if (*p == L'+') field.plus = true;
      else if (*p == L' ') field.space = true;
      else if (*p == L'#') field.alt = true;
      else break;
    }
    // A '*' would take its width from the argument list; it is read as no width.
    if (*p == L'*') p++;
    while (IsDigit(*p)) {
      field.width = field.width * 10 + (*p++ - L'0');
      if (field.width > kMaxField) field.width = kMaxField;
    }
    if (*p == L'.') {
      p++;
      field.hasPrecision = true;
      if (*p == L'*') p++;
      while (IsDigit(*p)) {
        field.precision = field.precision * 10 + (*p++ - L'0');
        if (field.precision > kMaxField) field.precision = kMaxField;
      }
    }
    while (*p == L'h' || *p == L'l' || *p == L'L' || *p == L'z' || *p == L'j' || *p == L't' || *p == L'w')
      p++;
    if (p[0] == L'I' && ((p[1] == L'6' && p[2] == L'4') || (p[1] == L'3' && p[2] == L'2'))) p += 3;
    else if (*p == L'I') p++;
    wchar_t conversion = *p;
    switch (conversion) {
      case L'd': case L'i': case L'u': case L'x': case L'X': case L's': case L'S': case L'c':
        p++;
        if (next < count) PutArg(out, field, args[next++], conversion);
        break;
      case L'n':
        // Never a write through an argument: the conversion only uses one up.
        p++;
        if (next < count) next++;
        break;
      case 0:
        // A lone '%' (with flags) at the very end is copied as it stands.
        for (const wchar_t* q = start; q < p && !out.cut; q++) out.Put(*q);
        break;
      default:
        // Anything else (floating point, pointers, typos) is copied as text.
        p++;
        for (const wchar_t* q = start; q < p && !out.cut; q++) out.Put(*q);
        break;
    }
  }
  dest[out.length] = 0;
  return out.cut ? -1 : (int)out.length;
}

void IntToText(int64_t value, wchar_t* dest, size_t capacity) {
  if (capacity == 0) return;
  wchar_t scratch[24];
  size_t n = 0;
  uint64_t magnitude = value < 0 ? 0 - (uint64_t)value : (uint64_t)value;
  do {
    scratch[n++] = (wchar_t)(L'0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude);
  size_t out = 0;
  if (value < 0 && out + 1 < capacity) dest[out++] = L'-';
  while (n && out + 1 < capacity) dest[out++] = scratch[--n];
  dest[out] = 0;
}

template <class C> static int64_t ParseInt(const C* text) {
  if (!text) return 0;
  bool negative = false;
  if (*text == '-') {
    negative = true;
    text++;
  }
  uint64_t value = 0;
  while (*text >= '0' && *text <= '9') value = value * 10 + (uint64_t)(*text++ - '0');
  return negative ? (int64_t)(0 - value) : (int64_t)value;
}

int64_t TextToInt(const wchar_t* text) { return ParseInt(text); }

bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }
bool IsLatinLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }
wchar_t UpperLatin(wchar_t c) { return c >= L'a' && c <= L'z' ? (wchar_t)(c - 32) : c; }

wchar_t UpperChar(wchar_t c) {
  // CharUpperW treats a pointer value below 0x10000 as a single character.
  return (wchar_t)(UINT_PTR)CharUpperW((LPWSTR)(UINT_PTR)c);
}

int CompareTextNoCase(const wchar_t* a, const wchar_t* b) {
  int r = CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE | SORT_STRINGSORT, a, -1, b, -1);
  return r == CSTR_EQUAL ? 0 : r == CSTR_GREATER_THAN ? 1 : -1;
}

int CompareTextExact(const wchar_t* a, const wchar_t* b) {
  while (*a && *a == *b) a++, b++;
  return *a == *b ? 0 : (unsigned)*a < (unsigned)*b ? -1 : 1;
}

bool StartsWithExact(const wchar_t* text, const wchar_t* prefix) {
  while (*prefix)
    if (*text++ != *prefix++) return false;
  return true;
}

bool AnsiToWide(const char* source, wchar_t* dest, size_t capacity) {
  if (capacity == 0) return false;
  dest[0] = 0;
  int n = MultiByteToWideChar(CP_ACP, 0, source, -1, dest, capacity > 0x7fffffff ? 0x7fffffff : (int)capacity);
  dest[capacity - 1] = 0;
  return n != 0;
}

bool WideToAnsi(const wchar_t* source, char* dest, size_t capacity) {
  if (capacity == 0) return false;
  dest[0] = 0;
  int n = WideCharToMultiByte(CP_ACP, 0, source, -1, dest, capacity > 0x7fffffff ? 0x7fffffff : (int)capacity,
                              nullptr, nullptr);
  dest[capacity - 1] = 0;
  return n != 0;
}

static unsigned LeadingOnes(unsigned char c) {
  unsigned n = 0;
  while (n < 8 && (c & (0x80u >> n))) n++;
  return n;
}

bool IsWellFormedUtf8(const unsigned char* bytes, size_t count) {
  for (size_t i = 0; i < count;) {
    unsigned n = LeadingOnes(bytes[i]);
    if (n == 1 || n > 6) return false;
    i++;
    if (n == 0) continue;
    for (unsigned k = 1; k < n; k++, i++)
      if (i >= count || (bytes[i] & 0xC0) != 0x80) return false;
  }
  return true;
}

bool Utf8ToWide(const unsigned char* source, wchar_t* dest, size_t capacity) {
  if (capacity == 0) return false;
  size_t out = 0;
  bool ok = true;
  const unsigned char* p = source;
  while (*p) {
    unsigned lead = *p++;
    uint32_t value;
    int follow;
    if (lead < 0x80) value = lead, follow = 0;
    else if (lead >= 0xC0 && lead <= 0xDF) value = lead & 0x1F, follow = 1;
    else if (lead >= 0xE0 && lead <= 0xEF) value = lead & 0x0F, follow = 2;
    else if (lead >= 0xF0 && lead <= 0xF7) value = lead & 0x07, follow = 3;
    else {
      ok = false;
      break;
    }
    bool broken = false;
    for (int k = 0; k < follow; k++) {
      if ((*p & 0xC0) != 0x80) {  // also stops at the terminating zero
        broken = true;
        break;
      }
      value = (value << 6) | (*p++ & 0x3F);
    }
    if (broken) {
      ok = false;
      break;
    }
    if (value > 0x10FFFF) {
      ok = false;
      continue;
    }
    if (value >= 0x10000) {
      if (out + 2 >= capacity) break;
      dest[out++] = (wchar_t)(0xD800 + ((value - 0x10000) >> 10));
      dest[out++] = (wchar_t)(0xDC00 + (value & 0x3FF));
    } else {
      if (out + 1 >= capacity) break;
      dest[out++] = (wchar_t)value;
    }
  }
  dest[out] = 0;
  return ok;
}

bool SurvivesCodePage(const wchar_t* text, unsigned codePage) {
  size_t length = TextLength(text);
  if (length > 0x1fffffff) return false;
  size_t bytes = length * 4 + 1;
  char* narrow = static_cast<char*>(malloc(bytes));
  wchar_t* back = static_cast<wchar_t*>(malloc((length + 1) * sizeof(wchar_t)));
  bool same = false;
  if (narrow && back) {
    int n = WideCharToMultiByte(codePage, 0, text, -1, narrow, (int)bytes, nullptr, nullptr);
    int m = n > 0 ? MultiByteToWideChar(codePage, 0, narrow, -1, back, (int)length + 1) : 0;
    same = m > 0 && CompareTextExact(back, text) == 0;
  }
  free(narrow);
  free(back);
  return same;
}
