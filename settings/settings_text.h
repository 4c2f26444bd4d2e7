// The text of the portable settings file, in memory only (reading and
// saving the file are settings_file's): its entries, the decoder of its
// bytes, the line parser and the serializer.
//
// Entries keep file order; lookups take the first entry of a name and new
// names are appended. A name index makes lookups independent of the list's
// length.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "util/array.h"

enum SettingKind : int32_t { kSettingNumber = 0, kSettingQuoted = 1, kSettingBinary = 2 };

struct SettingsEntry {
  wchar_t* name;
  wchar_t* text;
  int32_t kind;
  bool removed;
};

class SettingsList {
 public:
  SettingsList() = default;
  ~SettingsList() { Clear(); }
  SettingsList(const SettingsList&) = delete;
  SettingsList& operator=(const SettingsList&) = delete;

  const SettingsEntry* Find(const wchar_t* name) const;
  void Set(const wchar_t* name, const wchar_t* text, int32_t kind);
  // Appends without looking for an earlier entry of the same name (loading).
  void Append(const wchar_t* name, size_t nameLength, const wchar_t* text, size_t textLength, int32_t kind);
  void Remove(const wchar_t* name);
  void RemoveUnder(const wchar_t* prefix);
  bool AnyUnder(const wchar_t* prefix) const;
  void Clear();
  // Live entries in list order.
  size_t Collect(GrowArray<const SettingsEntry*>& out) const;

 private:
  void Reindex();
  void Compact();

  GrowArray<SettingsEntry> entries_;
  TextTable table_;  // the position of the first entry of each name
  size_t live_ = 0;
};

// Detects the encoding (UTF-8 with mark, UTF-16 with mark, else ANSI) and
// converts the file's bytes to wide text, zero-terminated.
void DecodeSettingsBytes(const unsigned char* bytes, size_t count, GrowArray<wchar_t>& text);
// Splits wide text into lines and appends the entries among them.
void ParseSettingsText(const wchar_t* text, size_t length, SettingsList& list);
// The content of a saved file: mark, sorted entries, CR LF line ends.
void SerializeSettings(const SettingsList& list, GrowArray<unsigned char>& bytes);
