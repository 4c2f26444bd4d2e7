// The record of the registry changes of one setup run, so that a setup that
// cannot complete puts everything back as it found it: each value written
// or deleted with what was there before, each key the run made, each key it
// deleted with the values it held (the store deletes a key in a run only
// when nothing is below it). Fed by the settings store, which makes every
// change, in the hive and view where it makes it.
#pragma once
#include <stddef.h>
#include <windows.h>

#include "util/array.h"

class RegistryJournal {
 public:
  // Before a value is set or deleted in `view` (0 or KEY_WOW64_32KEY):
  // what is there now, and the first key on the way that is missing (a
  // write makes it).
  void BeforeValue(HKEY root, DWORD view, const wchar_t* path, const wchar_t* name);
  // Before a key without subkeys is deleted.
  void BeforeKeyDeletion(HKEY root, DWORD view, const wchar_t* path);
  // Puts back everything recorded, the latest change first; then forgets it.
  // Returns how many changes were put back.
  size_t Undo();
  void Clear();

 private:
  enum class Kind : unsigned char { Value, KeyMade, KeyDeleted };
  struct Record {
    Kind kind;
    bool existed;  // Value: there was one before
    HKEY root;
    DWORD view, type;
    size_t path, name, data, size;
  };
  void Add(Kind kind, HKEY root, DWORD view, const wchar_t* path, const wchar_t* name = L"");

  GrowArray<Record> records_;
  TextPool texts_;
  GrowArray<unsigned char> bytes_;
};
