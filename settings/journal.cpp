#include "settings/journal.h"

#include "util/handles.h"
#include "util/log.h"
#include "util/text.h"

namespace {

const size_t kKeyPathCapacity = 512;

bool OpenKey(HKEY root, DWORD view, const wchar_t* path, REGSAM access, UniqueHkey& key) {
  return RegOpenKeyExW(root, path, 0, access | view, key.Put()) == ERROR_SUCCESS;
}

}  // namespace

void RegistryJournal::Add(Kind kind, HKEY root, DWORD view, const wchar_t* path, const wchar_t* name) {
  Record r = {kind, false, root, view, 0, texts_.Add(path), texts_.Add(name), bytes_.Count(), 0};
  records_.PushElement(r);
}

void RegistryJournal::BeforeValue(HKEY root, DWORD view, const wchar_t* path, const wchar_t* name) {
  UniqueHkey key;
  if (!OpenKey(root, view, path, KEY_QUERY_VALUE, key)) {
    // The first key on the way that is missing: the write makes it and
    // everything below it.
    wchar_t prefix[kKeyPathCapacity];
    for (size_t i = 0;; i++) {
      if (path[i] != L'\\' && path[i] != 0) continue;
      CopyText(prefix, path, i + 1 < kKeyPathCapacity ? i + 1 : kKeyPathCapacity);
      UniqueHkey probe;
      if (i > 0 && !OpenKey(root, view, prefix, KEY_QUERY_VALUE, probe)) {
        Add(Kind::KeyMade, root, view, prefix);
        return;
      }
      if (path[i] == 0) return;
    }
  }
  Add(Kind::Value, root, view, path, name);
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key.Get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return;
  size_t at = bytes_.Count();
  bytes_.AddElements(size);
  if (RegQueryValueExW(key.Get(), name, nullptr, &type, size ? bytes_.Data() + at : nullptr, &size) != ERROR_SUCCESS) {
    bytes_.Shrink(at);
    return;
  }
  Record& r = records_[records_.Count() - 1];
  r.existed = true;
  r.type = type;
  r.data = at;
  r.size = size;
}

// The key, then its values: put back the other way round.
void RegistryJournal::BeforeKeyDeletion(HKEY root, DWORD view, const wchar_t* path) {
  UniqueHkey key;
  if (!OpenKey(root, view, path, KEY_READ, key)) return;
  Add(Kind::KeyDeleted, root, view, path);
  GrowArray<wchar_t> buffer;  // the longest name a value can have
  buffer.AddElements(16384);
  wchar_t* name = buffer.Data();
  for (DWORD i = 0;; i++) {
    DWORD length = 16384;
    if (RegEnumValueW(key.Get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    BeforeValue(root, view, path, name);
  }
}

size_t RegistryJournal::Undo() {
  size_t undone = 0;
  for (size_t i = records_.Count(); i-- > 0;) {
    const Record& r = records_[i];
    const wchar_t* path = texts_.At(r.path);
    const wchar_t* name = texts_.At(r.name);
    UniqueHkey key;
    LONG result = ERROR_SUCCESS;
    if (r.kind == Kind::KeyMade) {
      if (OpenKey(r.root, r.view, path, KEY_ALL_ACCESS, key)) {
        RegDeleteTreeW(key.Get(), nullptr);
        key.Reset();
        result = RegDeleteKeyExW(r.root, path, r.view, 0);
      }
    } else if (r.kind == Kind::KeyDeleted || r.existed) {
      result = RegCreateKeyExW(r.root, path, 0, nullptr, 0, KEY_WRITE | r.view, nullptr, key.Put(), nullptr);
      if (result == ERROR_SUCCESS && r.kind == Kind::Value)
        result = RegSetValueExW(key.Get(), name, 0, r.type, r.size ? bytes_.Data() + r.data : nullptr, (DWORD)r.size);
    } else if (OpenKey(r.root, r.view, path, KEY_SET_VALUE, key)) {
      result = RegDeleteValueW(key.Get(), name);
      if (result == ERROR_FILE_NOT_FOUND) result = ERROR_SUCCESS;
    }
    if (result != ERROR_SUCCESS) LogFailure("to put back the registry's", path, (DWORD)result);
    else undone++;
  }
  Clear();
  return undone;
}

void RegistryJournal::Clear() {
  records_.Reset();
  texts_.Clear();
  bytes_.Reset();
}
