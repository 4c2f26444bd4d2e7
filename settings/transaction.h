// The transaction of a setup run: every change the run makes goes through
// it, so that a run that cannot complete puts everything back as it found
// it. Its writers (the OK sequence and the apply sequence's steps) are
// handed it and make their registry writes and deletions through it, in
// the view they name; it records each one before it is made, and only
// that: the value or key it changes, where it changes it. The files and
// folders they change in folders others may change go through its file
// journal; the settings file's bytes on disk when it began are kept; an
// action outside both (the context-menu package) leaves its own undo.
//
// A refusal is a write of ours that the system refuses for lack of rights
// (access denied on setting a value, making a key, or deleting what is
// ours), decided where that write is made. A key that stays because
// another program has subkeys below it is no refusal. Once refused, the
// transaction makes no more changes: they would only be put back.
//
// A transaction that was never begun (the uninstall's) makes each change
// as it comes and records nothing.
#pragma once
#include <stddef.h>
#include <windows.h>

#include "settings/journal.h"
#include "util/array.h"
#include "util/file.h"

class SetupTransaction {
 public:
  SetupTransaction() = default;
  SetupTransaction(const SetupTransaction&) = delete;
  SetupTransaction& operator=(const SetupTransaction&) = delete;

  // From now on every change is recorded.
  void Begin();
  bool Refused() const { return refused_; }

  // The store's writes and deletions (root, key path and value name as the
  // store takes them): for the current user's settings, the machine's
  // (HKEY_LOCAL_MACHINE) and the machine's classes, in the native registry
  // view; any root in a view named (KEY_WOW64_32KEY: the 32-bit one).
  LONG WriteInt(const wchar_t* keyPath, const wchar_t* valueName, int value);
  LONG WriteString(const wchar_t* keyPath, const wchar_t* valueName, const wchar_t* text);
  LONG WriteMachine(const wchar_t* keyPath, const wchar_t* valueName, const wchar_t* text);
  LONG WriteMachine(const wchar_t* keyPath, const wchar_t* valueName, int value);
  LONG WriteClass(const wchar_t* keyPath, const wchar_t* valueName, const wchar_t* text);
  LONG WriteString(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, const wchar_t* text, DWORD view);
  void DeleteValue(HKEY root, const wchar_t* keyPath, const wchar_t* valueName);
  void DeleteKey(HKEY root, const wchar_t* keyPath, DWORD view = 0);

  // The journal for the file layer's operations, or null when nothing is
  // recorded.
  FileJournal* Files() { return recording_ ? &files_ : nullptr; }
  // An action the undo takes first (one at most: the latest counts), with
  // this transaction, which records nothing by then, and its argument.
  void OnUndo(void (*undo)(SetupTransaction&, bool), bool argument) {
    if (recording_) undo_ = undo, undoArgument_ = argument;
  }

  // Puts back everything recorded, the latest first, and ends the
  // transaction; returns how many changes it put back.
  size_t Undo();
  // Keeps everything and ends the transaction.
  void Commit();

 private:
  LONG Noted(LONG result);
  LONG WriteNumber(HKEY root, const wchar_t* keyPath, const wchar_t* valueName, int value);
  RegistryJournal* Journal() { return recording_ ? &registry_ : nullptr; }
  bool Stopped() const { return recording_ && refused_; }

  bool recording_ = false, refused_ = false;
  RegistryJournal registry_;
  FileJournal files_;
  bool settingsFileKept_ = false;
  GrowArray<unsigned char> settingsFile_;  // its bytes on disk at the start
  size_t saves_ = 0;                       // how often it had been saved then
  void (*undo_)(SetupTransaction&, bool) = nullptr;
  bool undoArgument_ = false;
};
