// The language file "uninstall.lng" and the lookup of texts by id and key.
//
// Texts come, in this order, from the language file, the string table of the
// language module and the program's own string table. The file is parsed
// once at start-up into g_LanguageFile; the parser works on memory only, so
// tests and randomized inputs reach it without files.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "lang/text_keys.h"
#include "res/resource.h"
#include "util/array.h"


const size_t kMaxKeyLength = 49;       // stored key length
const size_t kMaxTextLength = 65536;   // characters kept of one text
const size_t kMaxFileBytes = 2097152;  // bytes read from the marker on
const size_t kMaxFileChars = 1048576;  // characters parsed

struct TextEntry {
  uint32_t key;   // offset of the zero-terminated key in the key pool
  uint32_t text;  // offset of the zero-terminated text in the text pool
};

struct KeyIndexEntry {
  const char* key;
  uint32_t entry;
};

struct LanguageFile {
  GrowArray<TextEntry> entries;    // in file order
  GrowArray<char> keys;            // key pool
  GrowArray<wchar_t> texts;        // text pool (the parsed text, rewritten in place)
  GrowArray<KeyIndexEntry> index;  // sorted by key, byte-wise
  bool RightToLeft = false;

  size_t Count() const { return entries.Count(); }
  const char* Key(size_t i) const { return keys.Data() + entries[i].key; }
  const wchar_t* Text(size_t i) const { return texts.Data() + entries[i].text; }
  void Clear();
};

extern LanguageFile g_LanguageFile;

// Where the marker "**" "*messages**" starts in a block of bytes, or -1.
// `wide` tells whether it was found in its UTF-16 little-endian form.
long FindLanguageMarker(const unsigned char* block, size_t count, bool& wide);
// Parses the text that starts at the marker (at most kMaxFileChars
// characters; a NUL ends it) and builds the key index. The text array
// becomes the file's text pool: each entry's text is written in place over
// the line it came from.
void ParseLanguageText(GrowArray<wchar_t>& text, LanguageFile& file);

// Converts the 8-bit text of a language file in one piece. False (and no
// text) when the memory for it cannot be had.
bool ConvertLanguageBytes(const char* bytes, size_t count, unsigned codePage, GrowArray<wchar_t>& text);

void LoadLanguageFile(const wchar_t* name);
void FreeLanguageFile();

bool FindTextByKey(const char* key, wchar_t* buffer, size_t size);
wchar_t* LoadText(uint32_t id, wchar_t* buffer, size_t size);
// Rotating buffers of 1024 characters: a result stays valid for eight calls.
const wchar_t* GetText(uint32_t id);
bool GetDialogText(const wchar_t* dialog, const wchar_t* item, wchar_t* buffer, size_t size);

