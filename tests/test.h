// What every test file includes: doctest and the shared helpers.
#pragma once
#include "doctest.h"
#include "support.h"

// doctest prints wide strings through this.
namespace doctest {
template <> struct StringMaker<std::wstring> {
  static String convert(const std::wstring& s) { return String(("\"" + Narrow(s) + "\"").c_str()); }
};
}  // namespace doctest
