#include "util/array.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>

void RaiseMemoryError() { ExitProcess(kMemoryErrorExitCode); }

void* TryReallocateElements(void* data, size_t count, size_t size) {
  if (size != 0 && count > SIZE_MAX / size) return nullptr;
  return realloc(data, count * size != 0 ? count * size : 1);
}

void* ReallocateElements(void* data, size_t count, size_t size) {
  void* grown = TryReallocateElements(data, count, size);
  if (!grown) RaiseMemoryError();
  return grown;
}

void FreeElements(void* data) { free(data); }

size_t GrowCapacity(size_t capacity, size_t count) {
  size_t step = capacity / 4 + 32;
  size_t grown = capacity > SIZE_MAX - step ? SIZE_MAX : capacity + step;
  return count > grown ? count : grown;
}

static void SiftDown(unsigned char* base, size_t size, size_t root, size_t end, unsigned char* temp,
                     CompareElements compare, void* context) {
  memcpy(temp, base + root * size, size);
  for (;;) {
    size_t child = root * 2 + 1;
    if (child >= end) break;
    if (child + 1 < end && compare(base + child * size, base + (child + 1) * size, context) < 0) child++;
    if (compare(temp, base + child * size, context) >= 0) break;
    memcpy(base + root * size, base + child * size, size);
    root = child;
  }
  memcpy(base + root * size, temp, size);
}

void SortElements(void* base, size_t count, size_t size, CompareElements compare, void* context) {
  if (count < 2 || size == 0) return;
  unsigned char* temp = static_cast<unsigned char*>(malloc(size));
  if (!temp) RaiseMemoryError();
  unsigned char* bytes = static_cast<unsigned char*>(base);
  for (size_t i = count / 2; i-- > 0;) SiftDown(bytes, size, i, count, temp, compare, context);
  for (size_t end = count - 1; end > 0; end--) {
    memcpy(temp, bytes, size);
    memcpy(bytes, bytes + end * size, size);
    memcpy(bytes + end * size, temp, size);
    SiftDown(bytes, size, 0, end, temp, compare, context);
  }
  free(temp);
}

size_t TextPool::Add(const wchar_t* text, size_t length) {
  size_t at = text_.Count();
  text_.AddElements(length + 1);
  memcpy(text_.Data() + at, text, length * sizeof(wchar_t));
  text_[at + length] = 0;
  return at;
}

size_t TextPool::Add(const wchar_t* text) { return Add(text, wcslen(text)); }

extern "C" WCHAR NTAPI RtlUpcaseUnicodeChar(WCHAR c);

// As the file system compares names: every letter in upper case (the
// system's own table, beyond ASCII too), and '/' as '\\'.
static wchar_t Folded(wchar_t c) {
  if (c >= 0x80) return RtlUpcaseUnicodeChar(c);
  return c >= L'a' && c <= L'z' ? (wchar_t)(c - 32) : c == L'/' ? L'\\' : c;
}

size_t TextTable::Locate(const wchar_t* text, size_t length) const {
  uint32_t hash = 2166136261u;
  for (size_t i = 0; i < length; i++) hash = (hash ^ (folded_ ? Folded(text[i]) : text[i])) * 16777619u;
  size_t mask = slots_.Count() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (!slot.text) return i;
    if (slot.length != length) continue;
    size_t k = 0;
    if (folded_) {
      while (k < length && Folded(slot.text[k]) == Folded(text[k])) k++;
    } else {
      while (k < length && slot.text[k] == text[k]) k++;
    }
    if (k == length) return i;
  }
}

const int32_t* TextTable::Find(const wchar_t* text, size_t length) const {
  if (slots_.Count() == 0) return nullptr;
  const Slot& slot = slots_[Locate(text, length)];
  return slot.text ? &slot.value : nullptr;
}

int32_t* TextTable::Find(const wchar_t* text, size_t length) {
  return const_cast<int32_t*>(static_cast<const TextTable*>(this)->Find(text, length));
}

int32_t* TextTable::Add(const wchar_t* text, size_t length, int32_t value) {
  if ((used_ + 1) * 2 > slots_.Count()) Grow();
  Slot& slot = slots_[Locate(text, length)];
  if (!slot.text) {
    slot = Slot{text, length, value};
    used_++;
  }
  return &slot.value;
}

void TextTable::Grow() {
  GrowArray<Slot> old;
  old.Swap(slots_);
  size_t capacity = old.Count() ? old.Count() * 2 : 64;
  slots_.AddElements(capacity);
  for (size_t i = 0; i < capacity; i++) slots_[i] = Slot{nullptr, 0, 0};
  for (size_t i = 0; i < old.Count(); i++)
    if (old[i].text) slots_[Locate(old[i].text, old[i].length)] = old[i];
}

void TextTable::Clear() {
  slots_.Reset();
  used_ = 0;
}
