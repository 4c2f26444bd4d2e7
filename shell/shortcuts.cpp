#include "shell/shortcuts.h"

#include <windows.h>
#include <shellapi.h>

#include "util/file.h"
#include "util/path.h"
#include "util/text.h"

void RemoveFolder(const wchar_t* path) {
  DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || !IsDirectoryAttr(attributes) || IsReparsePointAttr(attributes)) return;
  wchar_t from[kPathCapacity + 1];
  CopyText(from, path, kPathCapacity);
  from[TextLength(from) + 1] = 0;  // the list ends with two NULs
  SHFILEOPSTRUCTW operation = {};
  operation.wFunc = FO_DELETE;
  operation.pFrom = from;
  operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION;
  SHFileOperationW(&operation);
}
