#include "settings/settings_text.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "util/array.h"
#include "util/text.h"

// ---------------------------------------------------------------- the list

static wchar_t* CopyOf(const wchar_t* text, size_t length) {
  if (length > ((size_t)1 << 40)) RaiseMemoryError();
  wchar_t* copy = static_cast<wchar_t*>(malloc((length + 1) * sizeof(wchar_t)));
  if (!copy) RaiseMemoryError();
  memcpy(copy, text, length * sizeof(wchar_t));
  copy[length] = 0;
  return copy;
}

void SettingsList::Reindex() {
  table_.Clear();
  for (size_t i = 0; i < entries_.Count(); i++)
    if (!entries_[i].removed) table_.Add(entries_[i].name, TextLength(entries_[i].name), (int32_t)i);
}

// Drops removed entries from the array, keeping the order of the others.
void SettingsList::Compact() {
  size_t out = 0;
  for (size_t i = 0; i < entries_.Count(); i++)
    if (!entries_[i].removed) entries_[out++] = entries_[i];
  entries_.Shrink(out);
  Reindex();
}

const SettingsEntry* SettingsList::Find(const wchar_t* name) const {
  const int32_t* at = table_.Find(name, TextLength(name));
  return at ? &entries_[*at] : nullptr;
}

void SettingsList::Append(const wchar_t* name, size_t nameLength, const wchar_t* text, size_t textLength,
                          int32_t kind) {
  SettingsEntry entry = {CopyOf(name, nameLength), CopyOf(text, textLength), kind, false};
  entries_.PushElement(entry);
  // The first entry of a name stays the one found.
  table_.Add(entry.name, TextLength(entry.name), (int32_t)(entries_.Count() - 1));
  live_++;
}

void SettingsList::Set(const wchar_t* name, const wchar_t* text, int32_t kind) {
  SettingsEntry* entry = const_cast<SettingsEntry*>(Find(name));
  if (entry) {
    wchar_t* copy = CopyOf(text, TextLength(text));
    free(entry->text);
    entry->text = copy;
    entry->kind = kind;
    return;
  }
  Append(name, TextLength(name), text, TextLength(text), kind);
}

void SettingsList::Remove(const wchar_t* name) {
  if (!Find(name)) return;
  for (size_t i = 0; i < entries_.Count(); i++) {
    SettingsEntry& e = entries_[i];
    if (!e.removed && CompareTextExact(e.name, name) == 0) {
      free(e.name);
      free(e.text);
      e.removed = true;
      live_--;
    }
  }
  Compact();
}

void SettingsList::RemoveUnder(const wchar_t* prefix) {
  bool any = false;
  for (size_t i = 0; i < entries_.Count(); i++) {
    SettingsEntry& e = entries_[i];
    if (!e.removed && StartsWithExact(e.name, prefix)) {
      free(e.name);
      free(e.text);
      e.removed = true;
      live_--;
      any = true;
    }
  }
  if (any) Compact();
}

bool SettingsList::AnyUnder(const wchar_t* prefix) const {
  for (size_t i = 0; i < entries_.Count(); i++)
    if (!entries_[i].removed && StartsWithExact(entries_[i].name, prefix)) return true;
  return false;
}

void SettingsList::Clear() {
  for (size_t i = 0; i < entries_.Count(); i++) {
    if (entries_[i].removed) continue;
    free(entries_[i].name);
    free(entries_[i].text);
  }
  entries_.Reset();
  table_.Clear();
  live_ = 0;
}

size_t SettingsList::Collect(GrowArray<const SettingsEntry*>& out) const {
  for (size_t i = 0; i < entries_.Count(); i++)
    if (!entries_[i].removed) out.PushElement(&entries_[i]);
  return out.Count();
}

// ---------------------------------------------------------------- reading

void DecodeSettingsBytes(const unsigned char* bytes, size_t count, GrowArray<wchar_t>& text) {
  text.Reset();
  if (count > 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF &&
      IsWellFormedUtf8(bytes + 3, count - 3)) {
    GrowArray<unsigned char> terminated;
    terminated.AddElements(count - 3 + 1);
    memcpy(terminated.Data(), bytes + 3, count - 3);
    terminated[count - 3] = 0;
    text.AddElements(count + 1);
    Utf8ToWide(terminated.Data(), text.Data(), count + 1);
    text.Shrink(TextLength(text.Data()) + 1);
    return;
  }
  if (count >= 3 && ((bytes[0] == 0xFF && bytes[1] == 0xFE) || (bytes[0] == 0xFE && bytes[1] == 0xFF))) {
    bool little = bytes[0] == 0xFF;
    bool control = false;
    for (size_t i = little ? 3 : 2; i < count && !control; i += 2)
      control = bytes[i] <= 0x1F && bytes[i] != 0x0A && bytes[i] != 0x0D;
    if (control) {
      size_t units = (count - 2) / 2;
      text.AddElements(units + 1);
      for (size_t i = 0; i < units; i++) {
        unsigned char a = bytes[2 + 2 * i], b = bytes[3 + 2 * i];
        text[i] = little ? (wchar_t)(a | (b << 8)) : (wchar_t)((a << 8) | b);
      }
      text[units] = 0;
      return;
    }
  }
  // ANSI code page, byte by byte as it maps them.
  text.AddElements(count + 1);
  int n = 0;
  for (size_t done = 0; done < count;) {
    int piece = count - done > 0x10000000 ? 0x10000000 : (int)(count - done);
    int got = MultiByteToWideChar(CP_ACP, 0, (const char*)bytes + done, piece, text.Data() + n, piece);
    n += got;
    done += (size_t)piece;
  }
  text[(size_t)n] = 0;
  text.Shrink((size_t)n + 1);
}

void ParseSettingsText(const wchar_t* text, size_t length, SettingsList& list) {
  const wchar_t* p = text;
  const wchar_t* end = text + length;
  while (p < end) {
    const wchar_t* line = p;
    while (p < end && *p != L'\r' && *p != L'\n') p++;
    const wchar_t* lineEnd = p;
    if (p < end) p++;
    while (lineEnd > line && (lineEnd[-1] == L' ' || lineEnd[-1] == L'\t')) lineEnd--;
    if (lineEnd == line || !IsLatinLetter(line[0])) continue;
    const wchar_t* equals = line;
    while (equals < lineEnd && *equals != L'=') equals++;
    if (equals == lineEnd) continue;
    const wchar_t* value = equals + 1;
    size_t valueLength = (size_t)(lineEnd - value);
    int32_t kind = kSettingNumber;
    if (valueLength && value[0] == L'"') {
      kind = kSettingQuoted;
      value++, valueLength--;
      if (valueLength && value[valueLength - 1] == L'"') valueLength--;
    } else if (valueLength >= 4 && value[0] == L'b' && value[1] == L'i' && value[2] == L'n' && value[3] == L':') {
      kind = kSettingBinary;
      value += 4, valueLength -= 4;
    }
    list.Append(line, (size_t)(equals - line), value, valueLength, kind);
  }
}

// ---------------------------------------------------------------- saving

static int CompareEntryNames(const void* a, const void* b, void*) {
  return CompareTextExact((*static_cast<const SettingsEntry* const*>(a))->name,
                          (*static_cast<const SettingsEntry* const*>(b))->name);
}

static void PutUtf16(GrowArray<unsigned char>& bytes, const wchar_t* text) {
  size_t n = TextLength(text);
  size_t at = bytes.Count();
  bytes.AddElements(n * 2);
  for (size_t i = 0; i < n; i++) {
    bytes[at + 2 * i] = (unsigned char)(text[i] & 0xFF);
    bytes[at + 2 * i + 1] = (unsigned char)(text[i] >> 8);
  }
}

void SerializeSettings(const SettingsList& list, GrowArray<unsigned char>& bytes) {
  GrowArray<const SettingsEntry*> sorted;
  list.Collect(sorted);
  SortElements(sorted.Data(), sorted.Count(), sizeof(const SettingsEntry*), CompareEntryNames);
  bytes.PushElement(0xFF);
  bytes.PushElement(0xFE);
  for (size_t i = 0; i < sorted.Count(); i++) {
    const SettingsEntry* e = sorted[i];
    PutUtf16(bytes, e->name);
    PutUtf16(bytes, L"=");
    if (e->kind == kSettingQuoted) PutUtf16(bytes, L"\"");
    if (e->kind == kSettingBinary) PutUtf16(bytes, L"bin:");
    PutUtf16(bytes, e->text);
    if (e->kind == kSettingQuoted) PutUtf16(bytes, L"\"");
    PutUtf16(bytes, L"\r\n");
  }
}
