// Growable arrays, a pool of texts, a table of texts, the in-place sort,
// and the error handler that ends the process when memory runs out.
#pragma once
#include <stddef.h>
#include <stdint.h>

// The exit code of a process that ran out of memory.
const int kMemoryErrorExitCode = 8;

// The fatal memory error: the process ends at once with exit code 8. Nothing
// is saved on the way out, so no half-built state reaches the disk.
[[noreturn]] void RaiseMemoryError();

// Storage for GrowArray: reallocates to count * size bytes, or raises the
// memory error (also when the byte size would overflow).
void* ReallocateElements(void* data, size_t count, size_t size);
// The same, but null (and the old storage untouched) when it cannot be had.
void* TryReallocateElements(void* data, size_t count, size_t size);
void FreeElements(void* data);

// Growth policy: the new capacity for a count that exceeds the old capacity.
size_t GrowCapacity(size_t capacity, size_t count);

template <class T> class GrowArray {
 public:
  GrowArray() = default;
  ~GrowArray() { Reset(); }
  GrowArray(const GrowArray&) = delete;
  GrowArray& operator=(const GrowArray&) = delete;

  // Grows the element count by n; the new elements are not initialised.
  void AddElements(size_t n) {
    if (n > SIZE_MAX - count_) RaiseMemoryError();
    size_t count = count_ + n;
    if (count > capacity_) {
      size_t capacity = GrowCapacity(capacity_, count);
      data_ = static_cast<T*>(ReallocateElements(data_, capacity, sizeof(T)));
      capacity_ = capacity;
    }
    count_ = count;
  }
  // Makes room for at least n elements in all, without changing the count.
  void Reserve(size_t n) {
    if (n <= capacity_) return;
    data_ = static_cast<T*>(ReallocateElements(data_, n, sizeof(T)));
    capacity_ = n;
  }
  // Reserve for storage a caller can do without: false, and the array
  // unchanged, when the memory cannot be had.
  bool TryReserve(size_t n) {
    if (n <= capacity_) return true;
    T* grown = static_cast<T*>(TryReallocateElements(data_, n, sizeof(T)));
    if (!grown) return false;
    data_ = grown;
    capacity_ = n;
    return true;
  }
  void PushElement(const T& value) {
    AddElements(1);
    data_[count_ - 1] = value;
  }
  void Reset() {
    FreeElements(data_);
    data_ = nullptr;
    count_ = capacity_ = 0;
  }
  void Swap(GrowArray& other) {
    T* d = data_;
    size_t n = count_, c = capacity_;
    data_ = other.data_, count_ = other.count_, capacity_ = other.capacity_;
    other.data_ = d, other.count_ = n, other.capacity_ = c;
  }
  // Drops elements from the end; the storage stays.
  void Shrink(size_t count) {
    if (count < count_) count_ = count;
  }

  T* Data() { return data_; }
  const T* Data() const { return data_; }
  size_t Count() const { return count_; }
  size_t Capacity() const { return capacity_; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }

 private:
  T* data_ = nullptr;
  size_t count_ = 0;
  size_t capacity_ = 0;
};

// Heap sort in place; not stable. `compare` gets the two elements and the
// context given here.
using CompareElements = int (*)(const void* a, const void* b, void* context);
void SortElements(void* base, size_t count, size_t size, CompareElements compare, void* context = nullptr);

// Zero-terminated texts one after another in one array, each known by its
// offset, which (unlike a pointer) stays valid while the pool grows.
class TextPool {
 public:
  // Copies `length` characters and a terminator; returns the offset.
  size_t Add(const wchar_t* text, size_t length);
  size_t Add(const wchar_t* text);
  const wchar_t* At(size_t offset) const { return text_.Data() + offset; }
  void Clear() { text_.Reset(); }

 private:
  GrowArray<wchar_t> text_;
};

// An index from texts to 32-bit values: open addressing over FNV-1a hashes.
// The table keeps pointers: each text must stay where it is while the table
// holds it. With `folded`, letters match in either case as the file system
// matches them (ordinal, for every letter) and '/' matches '\\' (paths);
// else texts match exactly.
class TextTable {
 public:
  explicit TextTable(bool folded = false) : folded_(folded) {}
  // The value of the text, or null.
  int32_t* Find(const wchar_t* text, size_t length);
  const int32_t* Find(const wchar_t* text, size_t length) const;
  // The value of the text; a text not in the table yet is added with `value`.
  int32_t* Add(const wchar_t* text, size_t length, int32_t value);
  void Clear();

 private:
  struct Slot {
    const wchar_t* text;
    size_t length;
    int32_t value;
  };
  // The slot that holds the text, or the empty slot where it would go.
  size_t Locate(const wchar_t* text, size_t length) const;
  void Grow();

  GrowArray<Slot> slots_;
  size_t used_ = 0;
  bool folded_;
};
