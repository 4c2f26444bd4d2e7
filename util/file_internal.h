// Private to the file layer's sources (util/file*.cpp), included by nothing
// else: the extended-length retry that every call of the layer makes (with
// its form for names the plain form would cut), and the forms of names it
// needs.
#pragma once
#include <stddef.h>
#include <windows.h>

#include "util/path.h"

inline bool CallFailed(bool result) { return !result; }
inline bool CallFailed(HANDLE result) { return result == INVALID_HANDLE_VALUE; }

// Whether a failed call on `path` is worth a retry with the extended-length
// form, which it then makes: not for an existing name, a denied access or a
// sharing violation, which no longer form mends. Keeps the call's error.
bool MakeRetryPath(const wchar_t* path, wchar_t (&longName)[kPathCapacity]);

// The extended-length retry, for every call of this layer: runs call(path)
// and, when it fails and MakeRetryPath allows, once more with the long form.
template <class Call> auto WithLongRetry(const wchar_t* path, Call call) -> decltype(call(path)) {
  auto result = call(path);
  wchar_t longName[kPathCapacity];
  if (!CallFailed(result) || !MakeRetryPath(path, longName)) return result;
  return call(longName);
}

// Whether Windows would cut the plain form of a name: a trailing dot or
// blank is stripped ("name." stands for "name"); only the long form keeps it.
bool EndsInDotOrBlank(const wchar_t* name);

inline bool FailedResult(bool) { return false; }
inline HANDLE FailedResult(HANDLE) { return INVALID_HANDLE_VALUE; }

// The retry for a call that makes or deletes the entry at a name: a name the
// plain form would cut (it would name another entry) goes to the long form
// at once, and is refused as an invalid name when it has none.
template <class Call> auto WithExactName(const wchar_t* path, Call call) -> decltype(call(path)) {
  if (!EndsInDotOrBlank(path)) return WithLongRetry(path, call);
  wchar_t longName[kPathCapacity];
  if (MakeLongPathName(path, longName)) return call(longName);
  SetLastError(ERROR_INVALID_NAME);
  return FailedResult(decltype(call(path))());
}

// The part of a path after "\\?\" (or "\\?\UNC\", given back as "\\").
const wchar_t* WithoutLongPrefix(const wchar_t* path, wchar_t* scratch, size_t capacity);
