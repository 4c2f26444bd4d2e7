# The house rules of the code's layout (docs/architecture.md), checked on the
# product's sources: which folder may include which, what each util module
# may build on, that only the file layer calls the file system by name, that
# no product code names what it must not use, and that no includes go round
# in a circle.
#
#   cmake [-DKVX_RULES_ROOT=<tree>] [-DKVX_RULES_KNOWN=<file>] -P tests/scripts/house_rules.cmake
#
# KVX_RULES_ROOT   the source tree to check (default: the one this script is in).
# KVX_RULES_KNOWN  breaks to put up with for now: one a line, as printed but
#                  without the line number ("setup/options.cpp: folder: ...");
#                  '#' starts a comment. Each line covers one break, which
#                  is printed marked "(known)" and does not fail the check;
#                  any other break does.
#
# Prints each break as "file:line: reason" and ends with an error when there
# is one. Only `#include "..."` (and `#include <...>` naming a file of the
# tree) count as uses; a header and its source file are one module, and so
# are the files of a module split over several (KVX_MODULE_FILES).

cmake_minimum_required(VERSION 3.20)

# ---------------------------------------------------------------------------
# The rules. Edit here when the layout changes.
# ---------------------------------------------------------------------------

# The product's folders, top to bottom, and what each may include besides its
# own files: whole folders, or single headers of a folder otherwise closed to
# it. The checked files are the sources of these folders.
set(KVX_FOLDERS
  "app:       uninstall shell setup model lang settings util"
  "uninstall: shell setup model lang settings util app/command.h"
  "shell:     model lang settings util"
  "setup:     shell model lang settings util app/command.h res/version.h"
  "model:     settings util res/resource.h"
  "lang:      util res/resource.h"
  "settings:  util"
  "util:"
  "res:")
set(KVX_SOURCE_PATTERNS *.cpp *.h)

# The includes that point up the list on purpose: setup/'s dialog runs the
# apply sequence and asks shell/ about associations, and setup/ and
# uninstall/ take the shared run types of app/command.h. They do not count
# as a way back for a folder cycle; other folders that reach each other
# through includes make one.
set(KVX_CYCLE_EXCEPTIONS
  "setup:     shell app/command.h"
  "uninstall: app/command.h")

# Modules whose source is split by concern over several files: the module,
# its header (first) and the rest of its files. Each file counts as the
# module's; any of them but the header is private to it (no other module
# includes it). A file of no line here is its own module, named as the file
# without its extension.
set(KVX_MODULE_FILES
  "util/file: util/file.h util/file_internal.h util/file.cpp util/file_scan.cpp util/file_pinned.cpp
              util/file_unredirected.cpp")

# Folders whose modules are layered among themselves: every module of such a
# folder has a line here with the modules of its folder it may include.
set(KVX_MODULES
  "util/text:"
  "util/array:"
  "util/handles:"
  "util/stack_guard:"
  "util/path:      util/text"
  "util/file:      util/text util/array util/handles util/path"
  "util/file_list: util/file util/text util/array util/handles util/path"
  "util/log:       util/file util/text util/array util/handles util/path"
  "util/trust:     util/file util/text util/array util/handles util/path"
  "util/automation: util/file util/text util/array util/handles util/path")

# Calls that reach the file system through a name. Each is matched as a whole
# identifier in code, not in comments or strings; a name ending in W also
# with its A form and its bare macro (CreateFileW: CreateFileA, CreateFile).
set(KVX_FILE_SYSTEM_CALLS
  # open, create, remove, rename, copy, link
  CreateFileW DeleteFileW CreateDirectoryW CreateDirectoryExW RemoveDirectoryW
  MoveFileW MoveFileExW MoveFileWithProgressW ReplaceFileW CopyFileW CopyFileExW
  CreateHardLinkW CreateSymbolicLinkW
  GetTempFileNameW            # creates the file it names
  # list a folder
  FindFirstFileW FindFirstFileExW
  # attributes and security of an entry
  GetFileAttributesW GetFileAttributesExW SetFileAttributesW
  GetNamedSecurityInfoW SetNamedSecurityInfoW GetFileSecurityW SetFileSecurityW
  # names looked up on the disk: they read every folder along the path, and
  # fail for an entry that is not there
  GetShortPathNameW GetLongPathNameW
  # the volume a path is on
  GetVolumeInformationW GetDiskFreeSpaceExW GetVolumePathNameW
  # a module's file mapped from its path
  LoadLibraryW LoadLibraryExW
  # the shell's and the C runtime's operations on names
  SHFileOperationW SHCreateDirectoryExW
  _wfopen _wfopen_s _wopen _wsopen_s _wremove _wrename _wunlink _wmkdir _wrmdir fopen)
# Not listed, though they take or give a path:
#   GetFullPathNameW      joins a name with the current folder as text; it
#                         reads no folder and succeeds for names that do not
#                         exist (the path module and trust checks use it so).
#   GetTempPathW, GetCurrentDirectoryW, GetModuleFileNameW, GetSystemDirectoryW
#                         return names; nothing on the disk is looked at.
#   SetCurrentDirectoryW  sets the process's current folder (the driver steps
#                         out of the folder it removes); process state that the
#                         layer's long-name retry cannot serve.
#   CreateProcessW        starts a program: a process, not a file operation.
#   FindNextFileW, ReadFile, WriteFile, GetFinalPathNameByHandleW, the
#   ...ByHandle calls     act on a handle the layer opened, not on a name.

# The file layer: the module whose files alone may make those calls.
set(KVX_FILE_LAYER util/file)

# Names that no file of the product may use in code, each with why.
set(KVX_FORBIDDEN_NAMES
  "HKEY_CLASSES_ROOT: the view that merges the user's own classes into the machine's (its reads see the user's values, its writes may land in the user's copy), where the machine's own are kMachineClasses (settings/store.h)")

# ---------------------------------------------------------------------------
# The check.
# ---------------------------------------------------------------------------

if(NOT DEFINED KVX_RULES_ROOT)
  get_filename_component(KVX_RULES_ROOT "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)
endif()
if(NOT IS_DIRECTORY "${KVX_RULES_ROOT}")
  message(FATAL_ERROR "house rules: no source tree at ${KVX_RULES_ROOT}")
endif()

# Characters that would split or escape CMake lists stand in as control
# characters while a file is read line by line.
string(ASCII 1 kvx_semicolon)
string(ASCII 2 kvx_open_bracket)
string(ASCII 3 kvx_close_bracket)
string(ASCII 4 kvx_backslash)

# "name: a b c" -> kvx_key, kvx_items
macro(kvx_split_entry entry)
  if(NOT "${entry}" MATCHES "^([^: \t]+):(.*)$")
    message(FATAL_ERROR "house rules: malformed table entry \"${entry}\"")
  endif()
  set(kvx_key "${CMAKE_MATCH_1}")
  string(REGEX MATCHALL "[^ \t\n]+" kvx_items "${CMAKE_MATCH_2}")
endmacro()

# The folder table.
set(kvx_folders "")
foreach(entry IN LISTS KVX_FOLDERS)
  kvx_split_entry("${entry}")
  list(APPEND kvx_folders "${kvx_key}")
  set(kvx_may_folders_${kvx_key} "")
  set(kvx_may_headers_${kvx_key} "")
  foreach(item IN LISTS kvx_items)
    if(item MATCHES "/")
      list(APPEND kvx_may_headers_${kvx_key} "${item}")
    else()
      list(APPEND kvx_may_folders_${kvx_key} "${item}")
    endif()
  endforeach()
endforeach()
foreach(folder IN LISTS kvx_folders)
  foreach(item IN LISTS kvx_may_folders_${folder})
    if(NOT item IN_LIST kvx_folders)
      message(FATAL_ERROR "house rules: ${folder}/ may include ${item}/, which is not in the table of folders")
    endif()
  endforeach()
  foreach(item IN LISTS kvx_may_headers_${folder})
    if(NOT EXISTS "${KVX_RULES_ROOT}/${item}")
      message(FATAL_ERROR "house rules: ${folder}/ may include ${item}, which is not in the tree")
    endif()
  endforeach()
endforeach()

# The cycle exceptions.
foreach(entry IN LISTS KVX_CYCLE_EXCEPTIONS)
  kvx_split_entry("${entry}")
  foreach(item IN LISTS kvx_key kvx_items)
    if(NOT item IN_LIST kvx_folders AND NOT (item MATCHES "/" AND EXISTS "${KVX_RULES_ROOT}/${item}"))
      message(FATAL_ERROR "house rules: the cycle exception \"${entry}\" names ${item}, which is neither a folder of the table nor a file of the tree")
    endif()
  endforeach()
  list(APPEND kvx_cycle_exempt_${kvx_key} ${kvx_items})
endforeach()

# The modules split over several files.
foreach(entry IN LISTS KVX_MODULE_FILES)
  kvx_split_entry("${entry}")
  list(GET kvx_items 0 header)
  foreach(item IN LISTS kvx_items)
    if(NOT EXISTS "${KVX_RULES_ROOT}/${item}")
      message(FATAL_ERROR "house rules: the module ${kvx_key} names ${item}, which is not in the tree")
    endif()
    set(kvx_module_of_${item} "${kvx_key}")
    if(NOT item STREQUAL header)
      set(kvx_private_${item} TRUE)
    endif()
  endforeach()
endforeach()

# The module table.
set(kvx_layered_folders "")
set(kvx_listed_modules "")
foreach(entry IN LISTS KVX_MODULES)
  kvx_split_entry("${entry}")
  list(APPEND kvx_listed_modules "${kvx_key}")
  set(kvx_module_may_${kvx_key} ${kvx_items})
  string(REGEX REPLACE "/.*" "" folder "${kvx_key}")
  list(APPEND kvx_layered_folders "${folder}")
endforeach()
list(REMOVE_DUPLICATES kvx_layered_folders)
foreach(module IN LISTS kvx_listed_modules)
  file(GLOB files "${KVX_RULES_ROOT}/${module}.*")
  if(NOT files)
    message(FATAL_ERROR "house rules: the table of modules names ${module}, which has no file in the tree")
  endif()
  foreach(item IN LISTS kvx_module_may_${module})
    if(NOT item IN_LIST kvx_listed_modules)
      message(FATAL_ERROR "house rules: ${module} may include ${item}, which is not in the table of modules")
    endif()
  endforeach()
endforeach()

# The calls, longest first so that a longer name is tried before its prefix.
set(kvx_call_names "")
foreach(name IN LISTS KVX_FILE_SYSTEM_CALLS)
  list(APPEND kvx_call_names "${name}")
  if(name MATCHES "^(.+)W$")
    list(APPEND kvx_call_names "${CMAKE_MATCH_1}A" "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(REMOVE_DUPLICATES kvx_call_names)
set(kvx_calls_by_length "")
foreach(name IN LISTS kvx_call_names)
  string(LENGTH "${name}" length)
  math(EXPR key "1000 - ${length}")
  list(APPEND kvx_calls_by_length "${key}|${name}")
endforeach()
list(SORT kvx_calls_by_length)
list(TRANSFORM kvx_calls_by_length REPLACE "^[0-9]+\\|" "")
list(JOIN kvx_calls_by_length "|" kvx_call_alternatives)
set(kvx_call_regex "(^|[^A-Za-z0-9_])(${kvx_call_alternatives})([^A-Za-z0-9_]|$)")

# The forbidden names and why.
set(kvx_forbidden "")
foreach(entry IN LISTS KVX_FORBIDDEN_NAMES)
  if(NOT "${entry}" MATCHES "^([A-Za-z0-9_]+): (.+)$")
    message(FATAL_ERROR "house rules: malformed forbidden name \"${entry}\"")
  endif()
  list(APPEND kvx_forbidden "${CMAKE_MATCH_1}")
  set(kvx_forbidden_why_${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
endforeach()
list(JOIN kvx_forbidden "|" kvx_forbidden_alternatives)
set(kvx_forbidden_regex "(^|[^A-Za-z0-9_])(${kvx_forbidden_alternatives})([^A-Za-z0-9_]|$)")

# Appends "line|word" to the list `out` for each match of `regex` (its second
# group the word) in one line of code.
function(kvx_find_words code regex line out)
  set(found "${${out}}")
  while(code MATCHES "${regex}")
    list(APPEND found "${line}|${CMAKE_MATCH_2}")
    string(FIND "${code}" "${CMAKE_MATCH_0}" at)
    string(LENGTH "${CMAKE_MATCH_1}${CMAKE_MATCH_2}" length)
    math(EXPR at "${at} + ${length}")
    string(SUBSTRING "${code}" ${at} -1 code)
  endwhile()
  set(${out} "${found}" PARENT_SCOPE)
endfunction()

# Reads one file. Sets kvx_includes ("line|kind|name", kind " or <),
# kvx_calls and kvx_names ("line|name", the calls and the forbidden names)
# from its code, with comments left out and the contents of string and
# character literals blanked for the calls and names.
function(kvx_scan_file path)
  file(READ "${path}" text)
  string(REPLACE "\r" "" text "${text}")
  string(REPLACE "\\" "${kvx_backslash}" text "${text}")
  string(REPLACE ";" "${kvx_semicolon}" text "${text}")
  string(REPLACE "[" "${kvx_open_bracket}" text "${text}")
  string(REPLACE "]" "${kvx_close_bracket}" text "${text}")
  string(REPLACE "\n" ";" lines "${text}")
  set(includes "")
  set(calls "")
  set(names "")
  set(in_comment FALSE)
  set(raw_end "")    # the end of a raw string literal being read
  set(n 0)
  foreach(rest IN LISTS lines)
    math(EXPR n "${n} + 1")
    set(code "")     # the line without comments, literals blanked
    set(kept "")     # the line without comments, literals kept
    while(NOT "${rest}" STREQUAL "")
      if(in_comment OR NOT "${raw_end}" STREQUAL "")
        if(in_comment)
          set(end_mark "*/")
        else()
          set(end_mark "${raw_end}")
        endif()
        string(FIND "${rest}" "${end_mark}" end)
        if(end EQUAL -1)
          if(NOT in_comment)
            string(APPEND kept "${rest}")
          endif()
          set(rest "")
        else()
          string(LENGTH "${end_mark}" length)
          math(EXPR end "${end} + ${length}")
          string(SUBSTRING "${rest}" 0 ${end} done)
          string(SUBSTRING "${rest}" ${end} -1 rest)
          if(in_comment)
            string(APPEND code " ")
            string(APPEND kept " ")
          else()
            string(APPEND code "\"\"")
            string(APPEND kept "${done}")
          endif()
          set(in_comment FALSE)
          set(raw_end "")
        endif()
        continue()
      endif()
      string(REGEX MATCH "^[^\"'/]+" plain "${rest}")
      if(NOT "${plain}" STREQUAL "")
        string(APPEND code "${plain}")
        string(APPEND kept "${plain}")
        string(LENGTH "${plain}" length)
        string(SUBSTRING "${rest}" ${length} -1 rest)
        continue()
      endif()
      string(SUBSTRING "${rest}" 0 1 first)
      if(first STREQUAL "/")
        if(rest MATCHES "^//")
          break()
        elseif(rest MATCHES "^/\\*")
          set(in_comment TRUE)
          string(SUBSTRING "${rest}" 2 -1 rest)
        else()
          string(APPEND code "/")
          string(APPEND kept "/")
          string(SUBSTRING "${rest}" 1 -1 rest)
        endif()
        continue()
      endif()
      string(REGEX MATCH "[A-Za-z0-9_]+$" word "${code}")
      if(first STREQUAL "'" AND word MATCHES "^[0-9]")
        # a digit separator (1'000)
        string(APPEND code "'")
        string(APPEND kept "'")
        string(SUBSTRING "${rest}" 1 -1 rest)
        continue()
      endif()
      if(first STREQUAL "\"" AND word MATCHES "^(L|u|U|u8)?R$"
         AND rest MATCHES "^\"([^ ()${kvx_backslash}]*)\\(")
        set(raw_end ")${CMAKE_MATCH_1}\"")
        string(LENGTH "${CMAKE_MATCH_0}" length)
        string(APPEND kept "${CMAKE_MATCH_0}")
        string(SUBSTRING "${rest}" ${length} -1 rest)
        continue()
      endif()
      if(rest MATCHES "^${first}([^${first}${kvx_backslash}]|${kvx_backslash}.)*${first}")
        set(literal "${CMAKE_MATCH_0}")
      else()
        set(literal "${rest}")   # not closed on its line
      endif()
      string(APPEND code "${first}${first}")
      string(APPEND kept "${literal}")
      string(LENGTH "${literal}" length)
      string(SUBSTRING "${rest}" ${length} -1 rest)
    endwhile()
    if(kept MATCHES "^[ \t]*#[ \t]*include[ \t]*(\"([^\"]+)\"|<([^>]+)>)")
      if(NOT "${CMAKE_MATCH_2}" STREQUAL "")
        list(APPEND includes "${n}|\"|${CMAKE_MATCH_2}")
      else()
        list(APPEND includes "${n}|<|${CMAKE_MATCH_3}")
      endif()
    endif()
    kvx_find_words("${code}" "${kvx_call_regex}" ${n} calls)
    kvx_find_words("${code}" "${kvx_forbidden_regex}" ${n} names)
  endforeach()
  set(kvx_includes "${includes}" PARENT_SCOPE)
  set(kvx_calls "${calls}" PARENT_SCOPE)
  set(kvx_names "${names}" PARENT_SCOPE)
endfunction()

# The file an include names, relative to the tree, or "" when it is none of
# the tree's (a system header). A quoted name is looked for beside the
# including file first, as the compiler does.
function(kvx_resolve from kind name out)
  set(candidates "${name}")
  if(kind STREQUAL "\"")
    get_filename_component(dir "${from}" DIRECTORY)
    set(candidates "${dir}/${name}" "${name}")
  endif()
  foreach(candidate IN LISTS candidates)
    cmake_path(SET candidate NORMALIZE "${candidate}")
    if(NOT candidate MATCHES "^\\.\\./" AND EXISTS "${KVX_RULES_ROOT}/${candidate}"
       AND NOT IS_DIRECTORY "${KVX_RULES_ROOT}/${candidate}")
      set(${out} "${candidate}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
  set(${out} "" PARENT_SCOPE)
endfunction()

# "util/text.cpp" -> "util/text"; a file of a split module -> that module.
function(kvx_module file out)
  if(DEFINED kvx_module_of_${file})
    set(${out} "${kvx_module_of_${file}}" PARENT_SCOPE)
    return()
  endif()
  string(REGEX REPLACE "\\.[^./]*$" "" module "${file}")
  set(${out} "${module}" PARENT_SCOPE)
endfunction()

# The shortest way from one node to another along ${graph}<node> (lists of
# successors): the nodes from first to last, or "" when there is none.
function(kvx_find_path graph from to out)
  set(queue "${from}")
  set(seen "${from}")
  while(queue)
    list(POP_FRONT queue node)
    if(node STREQUAL to)
      set(path "${to}")
      while(NOT node STREQUAL from)
        set(node "${kvx_came_from_${node}}")
        list(PREPEND path "${node}")
      endwhile()
      set(${out} "${path}" PARENT_SCOPE)
      return()
    endif()
    foreach(next IN LISTS ${graph}${node})
      if(NOT next IN_LIST seen)
        list(APPEND seen "${next}")
        set(kvx_came_from_${next} "${node}")
        list(APPEND queue "${next}")
      endif()
    endforeach()
  endwhile()
  set(${out} "" PARENT_SCOPE)
endfunction()

# Each group of breaks: "file|line|reason".
set(kvx_breaks_folder "")
set(kvx_breaks_module "")
set(kvx_breaks_call "")
set(kvx_breaks_name "")
set(kvx_breaks_cycle "")
set(kvx_breaks_folder_cycle "")

set(kvx_files "")
foreach(folder IN LISTS kvx_folders)
  set(patterns "")
  foreach(pattern IN LISTS KVX_SOURCE_PATTERNS)
    list(APPEND patterns "${KVX_RULES_ROOT}/${folder}/${pattern}")
  endforeach()
  file(GLOB_RECURSE found RELATIVE "${KVX_RULES_ROOT}" ${patterns})
  list(APPEND kvx_files ${found})
endforeach()
list(SORT kvx_files)
list(LENGTH kvx_files kvx_file_count)
if(kvx_file_count EQUAL 0)
  message(FATAL_ERROR "house rules: no sources of the product's folders under ${KVX_RULES_ROOT}")
endif()

set(kvx_modules "")
set(kvx_edge_folders "")
foreach(file IN LISTS kvx_files)
  string(REGEX REPLACE "/.*" "" folder "${file}")
  kvx_module("${file}" module)
  list(APPEND kvx_modules "${module}")
  if(folder IN_LIST kvx_layered_folders AND NOT module IN_LIST kvx_listed_modules)
    list(APPEND kvx_breaks_module
      "${file}|1|module: ${module} has no line in the table of ${folder}/'s modules (what may it include?)")
  endif()

  kvx_scan_file("${KVX_RULES_ROOT}/${file}")

  foreach(include IN LISTS kvx_includes)
    string(REPLACE "|" ";" parts "${include}")
    list(GET parts 0 line)
    list(GET parts 1 kind)
    list(GET parts 2 name)
    kvx_resolve("${file}" "${kind}" "${name}" target)
    if(target STREQUAL "")
      continue()
    endif()
    string(REGEX REPLACE "/.*" "" target_folder "${target}")
    if(NOT target MATCHES "/")
      set(target_folder "")
    endif()
    kvx_module("${target}" target_module)

    # Which folder may include which.
    if(NOT target_folder STREQUAL folder
       AND NOT target_folder IN_LIST kvx_may_folders_${folder}
       AND NOT target IN_LIST kvx_may_headers_${folder})
      list(APPEND kvx_breaks_folder "${file}|${line}|folder: ${folder}/ may not include ${target}")
    endif()

    # The private files of a split module.
    if(kvx_private_${target} AND NOT target_module STREQUAL module)
      list(APPEND kvx_breaks_module "${file}|${line}|module: ${target} is private to ${target_module}")
    endif()

    # What a layered module may build on.
    if(target_folder STREQUAL folder AND folder IN_LIST kvx_layered_folders
       AND NOT target_module STREQUAL module AND module IN_LIST kvx_listed_modules
       AND NOT target_module IN_LIST kvx_module_may_${module})
      if(kvx_module_may_${module})
        list(JOIN kvx_module_may_${module} ", " allowed)
        set(allowed "it builds on ${allowed} only")
      else()
        set(allowed "it builds on no other module")
      endif()
      list(APPEND kvx_breaks_module "${file}|${line}|module: ${module} may not include ${target} (${allowed})")
    endif()

    # The edges of the include graphs, with where each comes from.
    if(NOT target_module STREQUAL module)
      if(NOT target_module IN_LIST kvx_module_edges_${module})
        list(APPEND kvx_module_edges_${module} "${target_module}")
      endif()
      list(APPEND kvx_module_sites_${module}__${target_module} "${file}|${line}")
    endif()
    if(NOT target_folder STREQUAL folder AND NOT target_folder STREQUAL ""
       AND NOT target_folder IN_LIST kvx_cycle_exempt_${folder}
       AND NOT target IN_LIST kvx_cycle_exempt_${folder})
      if(NOT target_folder IN_LIST kvx_folder_edges_${folder})
        list(APPEND kvx_folder_edges_${folder} "${target_folder}")
        list(APPEND kvx_edge_folders "${folder}")
      endif()
      list(APPEND kvx_folder_sites_${folder}__${target_folder} "${file}|${line}")
    endif()
  endforeach()

  # Calls of the file system by name.
  if(NOT module STREQUAL KVX_FILE_LAYER)
    foreach(call IN LISTS kvx_calls)
      string(REPLACE "|" ";" parts "${call}")
      list(GET parts 0 line)
      list(GET parts 1 name)
      list(APPEND kvx_breaks_call
        "${file}|${line}|file system: ${name} outside the file layer (${KVX_FILE_LAYER})")
    endforeach()
  endif()

  # Names no product code uses.
  foreach(use IN LISTS kvx_names)
    string(REPLACE "|" ";" parts "${use}")
    list(GET parts 0 line)
    list(GET parts 1 name)
    list(APPEND kvx_breaks_name "${file}|${line}|name: ${name}: ${kvx_forbidden_why_${name}}")
  endforeach()
endforeach()
list(REMOVE_DUPLICATES kvx_modules)
list(REMOVE_DUPLICATES kvx_edge_folders)

# Where the folders stand in the table: an include from a folder to one above
# it points up.
set(rank 0)
foreach(folder IN LISTS kvx_folders)
  set(kvx_rank_${folder} ${rank})
  math(EXPR rank "${rank} + 1")
endforeach()
function(kvx_rank node out)
  string(REGEX REPLACE "/.*" "" folder "${node}")
  if(DEFINED kvx_rank_${folder})
    set(${out} ${kvx_rank_${folder}} PARENT_SCOPE)
  else()
    list(LENGTH kvx_folders rank)
    set(${out} ${rank} PARENT_SCOPE)
  endif()
endfunction()

# The cycles of a graph (successors in ${edges}<node>, the includes behind an
# edge in ${sites}<node>__<successor>): for each edge on a cycle that no
# reported cycle takes yet, the shortest cycle through it. So every include
# on a cycle is named once at least, and one bad include does not bring a
# report for every include it entangles. A cycle is told from an include
# that points up the folder table (the likely mistake) when it has one, else
# from its first node by name, and reported at that include.
function(kvx_cycles edges sites nodes label mark out)
  set(found "")
  set(covered "")     # edges as "from>to"
  list(SORT nodes)
  foreach(node IN LISTS nodes)
    foreach(next IN LISTS ${edges}${node})
      if("${node}>${next}" IN_LIST covered)
        continue()
      endif()
      kvx_find_path(${edges} "${next}" "${node}" ring)
      if(NOT ring)
        continue()
      endif()
      list(REMOVE_AT ring -1)          # node, next, ..., the one before node
      list(PREPEND ring "${node}")
      list(LENGTH ring length)
      set(start -1)
      set(first_name "")
      set(i 0)
      foreach(from IN LISTS ring)
        math(EXPR j "(${i} + 1) % ${length}")
        list(GET ring ${j} to)
        list(APPEND covered "${from}>${to}")
        kvx_rank("${from}" from_rank)
        kvx_rank("${to}" to_rank)
        if(start EQUAL -1 AND from_rank GREATER to_rank)
          set(start ${i})
        endif()
        if(first_name STREQUAL "" OR from STRLESS first_name)
          set(first_name "${from}")
          set(first_at ${i})
        endif()
        math(EXPR i "${i} + 1")
      endforeach()
      if(start EQUAL -1)
        set(start ${first_at})
      endif()
      list(SUBLIST ring ${start} -1 told)
      list(SUBLIST ring 0 ${start} rest)
      list(APPEND told ${rest})
      list(GET told 0 from)
      list(GET told 1 to)
      list(GET ${sites}${from}__${to} 0 site)
      list(APPEND told "${from}")
      list(JOIN told "${mark} -> " text)
      list(APPEND found "${site}|${label}: ${text}${mark}")
    endforeach()
  endforeach()
  set(${out} "${found}" PARENT_SCOPE)
endfunction()

kvx_cycles(kvx_module_edges_ kvx_module_sites_ "${kvx_modules}" "include cycle" "" kvx_breaks_cycle)
kvx_cycles(kvx_folder_edges_ kvx_folder_sites_ "${kvx_edge_folders}" "folder cycle" "/" kvx_breaks_folder_cycle)

# The breaks put up with for now.
set(kvx_known "")
if(DEFINED KVX_RULES_KNOWN AND NOT KVX_RULES_KNOWN STREQUAL "")
  if(NOT EXISTS "${KVX_RULES_KNOWN}")
    message(FATAL_ERROR "house rules: no list of known breaks at ${KVX_RULES_KNOWN}")
  endif()
  file(STRINGS "${KVX_RULES_KNOWN}" known_lines)
  foreach(known IN LISTS known_lines)
    string(STRIP "${known}" known)
    if(NOT known STREQUAL "" AND NOT known MATCHES "^#")
      list(APPEND kvx_known "${known}")
    endif()
  endforeach()
endif()

set(kvx_count 0)
set(kvx_new 0)
foreach(group folder module call name cycle folder_cycle)
  set(sorted "")
  foreach(entry IN LISTS kvx_breaks_${group})
    # sort by file, then by line number
    string(REPLACE "|" ";" parts "${entry}")
    list(GET parts 0 file)
    list(GET parts 1 line)
    list(GET parts 2 reason)
    string(LENGTH "${line}" digits)
    string(SUBSTRING "000000" ${digits} -1 pad)
    list(APPEND sorted "${file}|${pad}${line}|${line}|${reason}")
  endforeach()
  list(SORT sorted)
  list(REMOVE_DUPLICATES sorted)
  foreach(entry IN LISTS sorted)
    string(REPLACE "|" ";" parts "${entry}")
    list(GET parts 0 file)
    list(GET parts 2 line)
    list(GET parts 3 reason)
    math(EXPR kvx_count "${kvx_count} + 1")
    list(FIND kvx_known "${file}: ${reason}" at)
    if(at GREATER -1)
      list(REMOVE_AT kvx_known ${at})   # each line of the list covers one break
      message("${file}:${line}: ${reason} (known)")
    else()
      math(EXPR kvx_new "${kvx_new} + 1")
      message("${file}:${line}: ${reason}")
    endif()
  endforeach()
endforeach()
foreach(known IN LISTS kvx_known)
  message("house rules: no longer found, take it off the list of known breaks: ${known}")
endforeach()

if(kvx_new GREATER 0)
  math(EXPR known "${kvx_count} - ${kvx_new}")
  message(FATAL_ERROR "house rules: ${kvx_new} break(s), ${known} known, in ${kvx_file_count} files")
endif()
if(kvx_count EQUAL 0)
  message("house rules: kept in ${kvx_file_count} files")
else()
  message("house rules: ${kvx_file_count} files, no break but the ${kvx_count} known")
endif()
