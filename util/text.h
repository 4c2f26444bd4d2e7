// Bounded wide and narrow text in caller-owned buffers.
//
// Every writer takes the capacity of the whole destination (terminator
// included); text that does not fit is cut and stays terminated. The
// template overloads deduce the capacity from an array, so that the common
// case cannot pass a wrong number.
#pragma once
#include <stddef.h>
#include <stdint.h>

size_t TextLength(const wchar_t* text);
size_t TextLengthA(const char* text);

// Whether a system call that writes text into a buffer of `capacity`
// characters and answers its length (GetModuleFileNameW, GetTempPathW,
// GetEnvironmentVariableW and their kind) gave a whole, non-empty result:
// 0 is a failure, and `capacity` or more a result that did not fit.
inline bool FitsBuffer(unsigned long length, size_t capacity) { return length > 0 && length < capacity; }

void CopyText(wchar_t* dest, const wchar_t* source, size_t capacity);
void AppendText(wchar_t* dest, const wchar_t* source, size_t capacity);
void CopyTextA(char* dest, const char* source, size_t capacity);
void AppendTextA(char* dest, const char* source, size_t capacity);

template <size_t N> void CopyText(wchar_t (&dest)[N], const wchar_t* source) { CopyText(dest, source, N); }
template <size_t N> void AppendText(wchar_t (&dest)[N], const wchar_t* source) { AppendText(dest, source, N); }
template <size_t N> void CopyTextA(char (&dest)[N], const char* source) { CopyTextA(dest, source, N); }
template <size_t N> void AppendTextA(char (&dest)[N], const char* source) { AppendTextA(dest, source, N); }

// One argument of FormatText. The kind travels with the value, so a format
// whose conversions do not match its arguments (a translated text, say) can
// never read a missing argument or take a number for a pointer.
struct FormatArg {
  enum Kind { Signed, Unsigned, Text } kind;
  union {
    int64_t s;
    uint64_t u;
    const wchar_t* t;
  };
  FormatArg(int v) : kind(Signed), s(v) {}
  FormatArg(long v) : kind(Signed), s(v) {}
  FormatArg(long long v) : kind(Signed), s(v) {}
  FormatArg(unsigned v) : kind(Unsigned), u(v) {}
  FormatArg(unsigned long v) : kind(Unsigned), u(v) {}
  FormatArg(unsigned long long v) : kind(Unsigned), u(v) {}
  FormatArg(const wchar_t* v) : kind(Text), t(v) {}
};

// printf-style formatting into a wide buffer. Understands %s %d %i %u %x %X
// %c and %%, with flags, width and precision. A conversion whose argument is
// missing writes nothing; one whose argument is of another kind writes that
// argument as what it is; %n and unknown conversions never touch memory.
// Returns the number of characters written, or -1 when the output was cut.
int FormatTextArgs(wchar_t* dest, size_t capacity, const wchar_t* format, const FormatArg* args, size_t count);

template <class... A> int FormatText(wchar_t* dest, size_t capacity, const wchar_t* format, const A&... args) {
  const FormatArg list[] = {FormatArg(args)..., FormatArg(0)};
  return FormatTextArgs(dest, capacity, format, list, sizeof...(A));
}
template <size_t N, class... A> int FormatText(wchar_t (&dest)[N], const wchar_t* format, const A&... args) {
  return FormatText(dest, N, format, args...);
}

void IntToText(int64_t value, wchar_t* dest, size_t capacity);
int64_t TextToInt(const wchar_t* text);

bool IsDigit(wchar_t c);
bool IsLatinLetter(wchar_t c);
wchar_t UpperLatin(wchar_t c);
wchar_t UpperChar(wchar_t c);

// CompareStringW (user locale, ignoring case, string sort) over both texts:
// -1, 0 or 1. A failing call counts as less.
int CompareTextNoCase(const wchar_t* a, const wchar_t* b);
// Ordinal comparison of UTF-16 code units.
int CompareTextExact(const wchar_t* a, const wchar_t* b);
bool StartsWithExact(const wchar_t* text, const wchar_t* prefix);

bool AnsiToWide(const char* source, wchar_t* dest, size_t capacity);
bool WideToAnsi(const wchar_t* source, char* dest, size_t capacity);
// True when the text comes back unchanged from the code page (CP_ACP,
// CP_OEMCP or a number): no character of it is lost or replaced.
bool SurvivesCodePage(const wchar_t* text, unsigned codePage);
template <size_t N> bool AnsiToWide(const char* source, wchar_t (&dest)[N]) { return AnsiToWide(source, dest, N); }
template <size_t N> bool WideToAnsi(const wchar_t* source, char (&dest)[N]) { return WideToAnsi(source, dest, N); }

bool IsWellFormedUtf8(const unsigned char* bytes, size_t count);
bool Utf8ToWide(const unsigned char* source, wchar_t* dest, size_t capacity);
