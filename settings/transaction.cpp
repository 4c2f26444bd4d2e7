#include "settings/transaction.h"

#include "settings/settings_file.h"
#include "settings/store.h"
#include "util/log.h"

void SetupTransaction::Begin() {
  Commit();
  LoadSettingsFile();
  settingsFileKept_ = SnapshotSettingsFile(settingsFile_, saves_);
  recording_ = true;
}

LONG SetupTransaction::Noted(LONG result) {
  if (result == ERROR_ACCESS_DENIED) refused_ = true;
  return result;
}

LONG SetupTransaction::WriteNumber(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, int value) {
  return Stopped() ? ERROR_ACCESS_DENIED : Noted(WriteSettingInt(root, keyPath, valueName, value, 0, Journal()));
}

LONG SetupTransaction::WriteString(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, const wchar_t* text,
                                   DWORD view) {
  return Stopped() ? ERROR_ACCESS_DENIED : Noted(WriteSettingString(root, keyPath, valueName, text, view, Journal()));
}

LONG SetupTransaction::WriteInt(const wchar_t* keyPath, const wchar_t* valueName, int value) {
  return WriteNumber(HKEY_CURRENT_USER, keyPath, valueName, value);
}

LONG SetupTransaction::WriteString(const wchar_t* keyPath, const wchar_t* valueName, const wchar_t* text) {
  return WriteString(HKEY_CURRENT_USER, keyPath, valueName, text, 0);
}

LONG SetupTransaction::WriteMachine(const wchar_t* keyPath, const wchar_t* valueName, const wchar_t* text) {
  return WriteString(HKEY_LOCAL_MACHINE, keyPath, valueName, text, 0);
}

LONG SetupTransaction::WriteMachine(const wchar_t* keyPath, const wchar_t* valueName, int value) {
  return WriteNumber(HKEY_LOCAL_MACHINE, keyPath, valueName, value);
}

LONG SetupTransaction::WriteClass(const wchar_t* keyPath, const wchar_t* valueName, const wchar_t* text) {
  return WriteString(kMachineClasses, keyPath, valueName, text, 0);
}

void SetupTransaction::DeleteValue(HKEY root, const wchar_t* keyPath, const wchar_t* valueName) {
  if (!Stopped()) Noted(DeleteSettingValue(root, keyPath, valueName, Journal()));
}

void SetupTransaction::DeleteKey(HKEY root, const wchar_t* keyPath, DWORD view) {
  if (!Stopped()) Noted(DeleteSettingKey(root, keyPath, view, Journal()));
}


size_t SetupTransaction::Undo() {
  if (!recording_) return 0;
  recording_ = false;  // putting back records nothing
  if (undo_) undo_(*this, undoArgument_);
  size_t undone = registry_.Undo() +
                  files_.Undo([](const wchar_t* path, DWORD error) { LogFailure("to put back", path, error); });
  if (settingsFileKept_ && RestoreSettingsFile(settingsFile_, saves_)) undone++;
  Commit();
  return undone;
}

void SetupTransaction::Commit() {
  registry_.Clear();
  files_.Commit();
  settingsFile_.Reset();
  settingsFileKept_ = recording_ = refused_ = false;
  undo_ = nullptr;
}
