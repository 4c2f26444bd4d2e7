#include "util/array.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>

void RaiseMemoryError() { ExitProcess(KVX_EXIT_MEMORY); }

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

