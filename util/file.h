// The file object and single file-system operations. Every call that takes
// a path first uses it unchanged and, when the system call fails and the
// extended-length form can be made, tries once more with that form.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <windows.h>

#include "util/handles.h"
#include "util/path.h"

// Mode bits of DiskFile::Open and DiskFile::Create.
enum : uint32_t {
  kFileWrite = 0x01,      // Open: also GENERIC_WRITE
  kFileShareWrite = 0x04, // Open: others may write too
  kFileShareRead = 0x10,  // Create: others may read
};

enum class SeekOrigin { Begin, Current, End };

class DiskFile {
 public:
  DiskFile() = default;
  virtual ~DiskFile();
  DiskFile(const DiskFile&) = delete;
  DiskFile& operator=(const DiskFile&) = delete;

  virtual bool Open(const wchar_t* name, uint32_t mode = 0);
  virtual bool Close();
  virtual size_t Read(void* buffer, size_t count);
  virtual bool Seek(int64_t offset, SeekOrigin origin);
  virtual int64_t Tell();

  bool Create(const wchar_t* name, uint32_t mode = 0);
  bool Write(const void* buffer, size_t count);
  const wchar_t* Name() const { return name_; }

 private:
  size_t RawRead(void* buffer, DWORD count);

  UniqueFile handle_;
  bool created_ = false;
  bool atEndAfterError_ = false;
  wchar_t name_[kPathCapacity] = {};
};

bool DeleteFileByName(const wchar_t* name);
// Removes an empty folder.
bool RemoveFolderByName(const wchar_t* name);
bool SetAttributes(const wchar_t* name, DWORD attributes);
// Renames a file (MoveFileW: not across volumes, no replacing).
bool MoveByName(const wchar_t* from, const wchar_t* to);
// Has the system delete the file or empty folder at the next restart.
bool DeleteAtRestart(const wchar_t* name);
DWORD GetAttributes(const wchar_t* name);
bool FileExists(const wchar_t* name);
bool IsDirectoryAttr(DWORD attributes);
bool IsReparsePointAttr(DWORD attributes);
// 0 on success, 2 when a part of the path is missing, 1 for other failures.
int MakeFolder(const wchar_t* name);
