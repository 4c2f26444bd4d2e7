// Private to the file layer's sources (util/file*.cpp), included by nothing
// else: the extended-length retry that every call of the layer makes, and
// the forms of names it needs.
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

// The part of a path after "\\?\" (or "\\?\UNC\", given back as "\\").
const wchar_t* WithoutLongPrefix(const wchar_t* path, wchar_t* scratch, size_t capacity);
