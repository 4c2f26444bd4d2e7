// Small owners for Win32 handles and COM pointers, so that no early return
// leaks one.
#pragma once
#include <windows.h>

template <class H, class Traits> class UniqueOwner {
 public:
  UniqueOwner() = default;
  explicit UniqueOwner(H h) : h_(h) {}
  ~UniqueOwner() { reset(); }
  UniqueOwner(const UniqueOwner&) = delete;
  UniqueOwner& operator=(const UniqueOwner&) = delete;
  UniqueOwner(UniqueOwner&& other) : h_(other.release()) {}
  UniqueOwner& operator=(UniqueOwner&& other) {
    if (this != &other) reset(other.release());
    return *this;
  }
  H get() const { return h_; }
  bool valid() const { return h_ != Traits::Invalid(); }
  explicit operator bool() const { return valid(); }
  H* put() {
    reset();
    return &h_;
  }
  H release() {
    H h = h_;
    h_ = Traits::Invalid();
    return h;
  }
  void reset(H h = Traits::Invalid()) {
    if (h_ != Traits::Invalid()) Traits::Close(h_);
    h_ = h;
  }

 private:
  H h_ = Traits::Invalid();
};

struct HkeyTraits {
  static HKEY Invalid() { return nullptr; }
  static void Close(HKEY h) { RegCloseKey(h); }
};
struct FileHandleTraits {
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) { CloseHandle(h); }
};
struct KernelHandleTraits {
  static HANDLE Invalid() { return nullptr; }
  static void Close(HANDLE h) { CloseHandle(h); }
};
struct FindHandleTraits {
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) { FindClose(h); }
};
struct ModuleTraits {
  static HMODULE Invalid() { return nullptr; }
  static void Close(HMODULE h) { FreeLibrary(h); }
};
struct GdiTraits {
  static HGDIOBJ Invalid() { return nullptr; }
  static void Close(HGDIOBJ h) { DeleteObject(h); }
};

using UniqueHkey = UniqueOwner<HKEY, HkeyTraits>;
using UniqueFile = UniqueOwner<HANDLE, FileHandleTraits>;      // CreateFile results
using UniqueHandle = UniqueOwner<HANDLE, KernelHandleTraits>;  // processes, events
using UniqueFind = UniqueOwner<HANDLE, FindHandleTraits>;
using UniqueModule = UniqueOwner<HMODULE, ModuleTraits>;
using UniqueGdiObject = UniqueOwner<HGDIOBJ, GdiTraits>;  // fonts, bitmaps

// Holds one reference of a COM interface.
template <class T> class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  T** put() {
    reset();
    return &p_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }
  void reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }

 private:
  T* p_ = nullptr;
};
