// Small owners for Win32 handles and COM pointers, so that no early return
// leaks one.
#pragma once
#include <windows.h>

#include <ole2.h>

template <class H, class Traits> class UniqueOwner {
 public:
  UniqueOwner() = default;
  explicit UniqueOwner(H h) : h_(h) {}
  ~UniqueOwner() { Reset(); }
  UniqueOwner(const UniqueOwner&) = delete;
  UniqueOwner& operator=(const UniqueOwner&) = delete;
  UniqueOwner(UniqueOwner&& other) : h_(other.Release()) {}
  UniqueOwner& operator=(UniqueOwner&& other) {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  H Get() const { return h_; }
  bool IsValid() const { return h_ != Traits::Invalid(); }
  explicit operator bool() const { return IsValid(); }
  H* Put() {
    Reset();
    return &h_;
  }
  H Release() {
    H h = h_;
    h_ = Traits::Invalid();
    return h;
  }
  void Reset(H h = Traits::Invalid()) {
    if (h_ != Traits::Invalid()) Traits::Close(h_);
    h_ = h;
  }
  // Closes now, for the close's own result (a file's write the system kept
  // back can fail only then); true when nothing was held.
  bool Close() {
    H h = Release();
    return h == Traits::Invalid() || Traits::Close(h);
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
  static bool Close(HANDLE h) { return CloseHandle(h) != 0; }
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
struct LocalMemoryTraits {
  static HLOCAL Invalid() { return nullptr; }
  static void Close(HLOCAL h) { LocalFree(h); }
};
struct GlobalMemoryTraits {
  static HGLOBAL Invalid() { return nullptr; }
  static void Close(HGLOBAL h) { GlobalFree(h); }
};
struct PrivateNamespaceTraits {
  static HANDLE Invalid() { return nullptr; }
  static void Close(HANDLE h) { ClosePrivateNamespace(h, 0); }
};
struct BoundaryTraits {
  static HANDLE Invalid() { return nullptr; }
  static void Close(HANDLE h) { DeleteBoundaryDescriptor(h); }
};
struct ScreenDcTraits {
  static HDC Invalid() { return nullptr; }
  static void Close(HDC h) { ReleaseDC(nullptr, h); }
};

using UniqueHkey = UniqueOwner<HKEY, HkeyTraits>;
using UniqueFile = UniqueOwner<HANDLE, FileHandleTraits>;      // CreateFile results
using UniqueHandle = UniqueOwner<HANDLE, KernelHandleTraits>;  // processes, events
using UniqueFind = UniqueOwner<HANDLE, FindHandleTraits>;
struct CoTaskMemoryTraits {
  static void* Invalid() { return nullptr; }
  static void Close(void* p) { CoTaskMemFree(p); }
};
using UniqueModule = UniqueOwner<HMODULE, ModuleTraits>;
using UniqueCoTaskMemory = UniqueOwner<void*, CoTaskMemoryTraits>;  // what COM hands out (item id lists)
using UniqueGdiObject = UniqueOwner<HGDIOBJ, GdiTraits>;  // fonts, bitmaps
using UniqueLocal = UniqueOwner<HLOCAL, LocalMemoryTraits>;    // what the system hands out by LocalAlloc
using UniqueGlobal = UniqueOwner<HGLOBAL, GlobalMemoryTraits>;
using UniqueScreenDc = UniqueOwner<HDC, ScreenDcTraits>;       // GetDC(nullptr)
using UniquePrivateNamespace = UniqueOwner<HANDLE, PrivateNamespaceTraits>;
using UniqueBoundary = UniqueOwner<HANDLE, BoundaryTraits>;  // a private namespace's boundary descriptor

// Holds one reference of a COM interface.
template <class T> class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { Reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  T** Put() {
    Reset();
    return &p_;
  }
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }
  void Reset() {
    if (p_) p_->Release();
    p_ = nullptr;
  }

 private:
  T* p_ = nullptr;
};

// OLE on the calling thread from construction to End (or the end of the
// scope): the dialogs' rich edit control and the shell's objects need it.
// Started only by the runs that show dialogs: it makes a window, and so
// connects the process to the display.
class OleSession {
 public:
  OleSession() : started_(SUCCEEDED(OleInitialize(nullptr))) {}
  ~OleSession() { End(); }
  OleSession(const OleSession&) = delete;
  OleSession& operator=(const OleSession&) = delete;
  void End() {
    if (started_) OleUninitialize();
    started_ = false;
  }

 private:
  bool started_;
};

// COM alone on the calling thread for the scope (no window, no display),
// for a query of the system's objects in a run that may have no OLE.
class ComSession {
 public:
  // The multithreaded apartment makes no window; where OLE already runs on
  // the thread, that apartment serves and nothing is started here.
  ComSession() : started_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
  ~ComSession() {
    if (started_) CoUninitialize();
  }
  ComSession(const ComSession&) = delete;
  ComSession& operator=(const ComSession&) = delete;

 private:
  bool started_;
};
