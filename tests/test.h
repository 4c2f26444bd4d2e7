// What every test file includes: doctest and the shared helpers, with those
// that check as they go.
#pragma once
#include "doctest.h"
#include "sample.h"
#include "support.h"

// doctest prints wide strings through this.
namespace doctest {
template <> struct StringMaker<std::wstring> {
  static String convert(const std::wstring& s) { return String(("\"" + Narrow(s) + "\"").c_str()); }
};
}  // namespace doctest

// Each of `lines` is somewhere in the log.
inline void CheckLog(const std::wstring& path, const std::vector<std::wstring>& lines) {
  std::wstring text = LogText(path);
  for (auto& line : lines) CHECK_MESSAGE(text.find(line) != std::wstring::npos, Narrow(line));
}

// The one folder of its own that a run left to wait for the restart with
// what was in use, once its batch file has run to its end.
inline std::wstring OwnFolder(const NewBatchFolders& batch) {
  std::vector<std::wstring> own = batch.Now();
  REQUIRE(own.size() == 1);
  CHECK(WaitUntilGone(own[0] + L"\\Uninstall_Kvx.Bat", 30000));
  return own[0];
}
