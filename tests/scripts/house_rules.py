#!/usr/bin/env python3
"""The house rules of docs/architecture.md, checked on the product's sources.

    python3 tests/scripts/house_rules.py [tree]

Which folder may include which, what each util module may build on, that no
module includes another's private file, that only the file layer calls the
file system by name, that only the handle owners close handles, that every
process-wide variable stands in the guide's state table, that no product code
names a registry root it must not use, and that no includes go round in a
circle. Prints each break as "file:line: reason" and exits with 1 when there
is one. Only `#include "..."` (and `#include <...>` naming a file of the
tree) count as uses; a header and its source file are one module, and so are
the files of a module split over several (MODULE_FILES).
"""
import collections
import pathlib
import re
import sys

# ---------------------------------------------------------------------------
# The rules. Edit here when the layout changes, together with the guide.
# ---------------------------------------------------------------------------

# The product's folders, top to bottom, and what each may include besides its
# own files: whole folders, or single headers of a folder otherwise closed to it.
FOLDERS = {
    "app": "uninstall shell setup model lang settings util",
    "uninstall": "shell setup model lang settings util app/command.h",
    "shell": "model lang settings util",
    "setup": "shell model lang settings util app/command.h res/version.h",
    "model": "settings util res/resource.h",
    "lang": "util res/resource.h",
    "settings": "util",
    "util": "",
    "res": "",
}

# The includes that point up the list on purpose (setup/'s dialog runs the
# apply sequence; setup/ and uninstall/ take the run types of app/command.h):
# no way back for a folder cycle.
CYCLE_EXCEPTIONS = {"setup": "shell app/command.h", "uninstall": "app/command.h"}

# Modules split by concern over several files: the header first; the rest
# are private to the module.
MODULE_FILES = {
    "util/file": "util/file.h util/file_internal.h util/file.cpp util/file_scan.cpp util/file_pinned.cpp "
                 "util/file_unredirected.cpp",
}

# util/'s modules, layered among themselves: what each may include of util/.
BASE = "util/text util/array util/handles util/path"
MODULES = {
    "util/text": "", "util/array": "", "util/handles": "", "util/stack_guard": "", "util/product": "",
    "util/path": "util/text",
    "util/file": BASE,
    "util/file_list": "util/file " + BASE,
    "util/log": "util/file " + BASE,
    "util/trust": "util/file " + BASE,
    "util/automation": "util/file " + BASE,
}

# Calls that reach the file system through a name, matched as whole words in
# code (a name ending in W also as its A form and its bare macro). Not listed,
# though they take or give a path: GetFullPathNameW (text only), GetTempPathW,
# GetCurrentDirectoryW, GetModuleFileNameW, GetSystemDirectoryW (they return
# names), SetCurrentDirectoryW (process state), CreateProcessW (a process),
# and the calls on a handle the layer opened.
FILE_SYSTEM_CALLS = """
    CreateFileW DeleteFileW CreateDirectoryW CreateDirectoryExW RemoveDirectoryW
    MoveFileW MoveFileExW MoveFileWithProgressW ReplaceFileW CopyFileW CopyFileExW
    CreateHardLinkW CreateSymbolicLinkW GetTempFileNameW
    FindFirstFileW FindFirstFileExW
    GetFileAttributesW GetFileAttributesExW SetFileAttributesW
    GetNamedSecurityInfoW SetNamedSecurityInfoW GetFileSecurityW SetFileSecurityW
    GetShortPathNameW GetLongPathNameW
    GetVolumeInformationW GetDiskFreeSpaceExW GetVolumePathNameW
    LoadLibraryW LoadLibraryExW
    SHFileOperationW SHCreateDirectoryExW
    _wfopen _wfopen_s _wopen _wsopen_s _wremove _wrename _wunlink _wmkdir _wrmdir fopen""".split()
FILE_LAYER = "util/file"

# What releases a handle or a system allocation: only the owners call it.
CLOSERS = """CloseHandle RegCloseKey FreeLibrary FindClose DeleteObject LocalFree GlobalFree CoTaskMemFree
    ReleaseDC ClosePrivateNamespace DeleteBoundaryDescriptor""".split()
OWNERS = "util/handles.h"

# Registry roots no product code may name, each with why.
FORBIDDEN_ROOTS = {
    "HKEY_CLASSES_ROOT": "the view that merges the user's own classes into the machine's (its reads see the "
                         "user's values, its writes may land in the user's copy), where the machine's own are "
                         "kMachineClasses (settings/store.h)",
    "HKEY_USERS": "every account's hive: the tool writes the machine's state and its own user's, no one else's",
}

# The guide whose state table names every process-wide variable.
GUIDE, STATE_SECTION = "docs/architecture.md", "## Process-wide state and its owner"

# ---------------------------------------------------------------------------
# The check.
# ---------------------------------------------------------------------------

LITERAL = re.compile(r'''(?:\b(?:L|u8|u|U)?R"([^ ()\\]*)\((?:.|\n)*?\)\1")|"(?:[^"\\\n]|\\.)*"|'(?:[^'\\\n]|\\.)*'|//[^\n]*|/\*(?:.|\n)*?\*/''')


def strip(text):
    """The code without comments and with literals emptied; lines kept."""
    def blank(m):
        s = m.group(0)
        keep = "\n" * s.count("\n")
        if s.startswith("/"):
            return " " + keep
        return '""' + keep
    return LITERAL.sub(blank, text)


def words_re(names):
    return re.compile(r"(?<![A-Za-z0-9_])(" + "|".join(sorted(names, key=len, reverse=True)) + r")(?![A-Za-z0-9_])")


def module_of(path):
    for module, files in MODULE_FILES.items():
        if path in files.split():
            return module
    return path.rsplit(".", 1)[0]


def folder_of(path):
    return path.split("/", 1)[0] if "/" in path else ""


def process_wide(code):
    """(line, name) of each variable that lives as long as the process: at
    namespace scope, a static member, or static inside a function. Constants
    and declarations (extern) are no variables of their own."""
    code = re.sub(r"(?m)^[ \t]*#.*$", "", code)   # the preprocessor's lines
    found = []
    kinds = []          # the open braces: "ns", "class", "block", "init"
    stmt, stmt_line, line = "", 0, 1
    for ch in code:
        if ch == "\n":
            line += 1
        in_init = bool(kinds) and kinds[-1] == "init"
        if ch == "{":
            head = " ".join(stmt.split())
            if in_init or re.search(r"(=|,|\(|\[|return)$", head):
                kinds.append("init")
            elif re.match(r'(namespace\b|extern ""$)', head):
                kinds.append("ns")
            elif re.match(r"(template ?<.*> ?)?(class|struct|union|enum)\b", head) and "(" not in head:
                kinds.append("class")
            else:
                kinds.append("block")
            if kinds[-1] == "init":
                stmt += ch
            else:
                stmt = ""
            continue
        if ch == "}":
            if (kinds.pop() if kinds else "block") == "init":
                stmt += ch
            else:
                stmt = ""
            continue
        if ch == ";" and not in_init:
            scope = "ns" if all(k == "ns" for k in kinds) else kinds[-1]
            s = re.sub(r"^(\[\[[^\]]*\]\] ?)+", "", " ".join(stmt.split()))
            stmt = ""
            static = re.match(r"(static|thread_local) ", s) is not None
            if not (scope == "ns" or (scope in ("block", "class") and static)):
                continue
            if re.match(r"(#|typedef|using|template|friend|extern|static_assert|namespace|return|class|struct|"
                        r"enum|union|public|private|protected)\b", s):
                continue
            body = re.sub(r"^((static|inline|thread_local) )+", "", s)
            declarators = body.split("=", 1)[0].strip()
            pointer = re.match(r"[^(]*\( ?\* ?(\w+) ?\) ?\(", declarators)   # a pointer to a function
            if pointer:
                found.append((stmt_line, pointer.group(1)))
                continue
            if "(" in declarators or "operator" in declarators or " " not in declarators:
                continue            # a function, or no declaration
            first = re.split(r",(?![^<]*>)", declarators)[0]
            if re.match(r"constexpr\b", body) or re.search(r"\bconst ?\w+ ?(\[[^\]]*\] ?)*$", first) or (
                    re.match(r"const\b", body) and "*" not in first):
                continue            # a constant
            for part in re.split(r",(?![^<]*>)", declarators):
                m = re.search(r"([A-Za-z_][A-Za-z0-9_:]*) ?(\[[^\]]*\] ?)*$", part.strip())
                if m:
                    found.append((stmt_line, m.group(1).split("::")[-1]))
            continue
        if not stmt.strip() and not ch.isspace():
            stmt_line = line
        stmt += ch
    return found


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parents[2])
    files = sorted(str(p.relative_to(root)) for folder in FOLDERS for p in (root / folder).rglob("*")
                   if p.suffix in (".cpp", ".h"))
    if not files:
        sys.exit(f"house rules: no sources of the product's folders under {root}")
    for table, names in (("module files", " ".join(MODULE_FILES.values())),
                         ("folders", " ".join(i for v in FOLDERS.values() for i in v.split() if "/" in i))):
        for name in names.split():
            if not (root / name).is_file():
                sys.exit(f"house rules: the table of {table} names {name}, which is not in the tree")
    for module in MODULES:
        if not list(root.glob(module + ".*")):
            sys.exit(f"house rules: the table of modules names {module}, which has no file in the tree")

    state = (root / GUIDE).read_text(encoding="utf-8").split(STATE_SECTION, 1)[-1].split("\n## ", 1)[0]
    in_table = set(re.findall(r"`([A-Za-z_][A-Za-z0-9_]*)", state))
    calls = words_re(set(FILE_SYSTEM_CALLS) | {n[:-1] + "A" for n in FILE_SYSTEM_CALLS if n.endswith("W")}
                     | {n[:-1] for n in FILE_SYSTEM_CALLS if n.endswith("W")})
    closers, roots = words_re(CLOSERS), words_re(FORBIDDEN_ROOTS)
    layered = {m.split("/")[0] for m in MODULES}
    breaks = []
    module_edges = collections.defaultdict(dict)   # module -> {module: (file, line)}
    folder_edges = collections.defaultdict(dict)

    for path in files:
        folder, module = folder_of(path), module_of(path)
        text = (root / path).read_text(encoding="utf-8", errors="replace").replace("\r", "")
        code = strip(text)
        if folder in layered and module not in MODULES:
            breaks.append((path, 1, f"module: {module} has no line in the table of {folder}/'s modules "
                                    "(what may it include?)"))
        for n, (raw, line) in enumerate(zip(text.split("\n"), code.split("\n")), 1):
            m = re.match(r'\s*#\s*include\s*(?:"([^"]+)"|<([^>]+)>)', raw)
            if m and line.lstrip().startswith("#"):
                name = m.group(1) or m.group(2)
                candidates = ([str(pathlib.PurePosixPath(path).parent / name)] if m.group(1) else []) + [name]
                target = next((c for c in (str(pathlib.Path(c)) for c in candidates)
                               if not c.startswith("..") and (root / c).is_file()), None)
                if target:
                    tfolder, tmodule = folder_of(target), module_of(target)
                    allowed = FOLDERS[folder].split()
                    if tfolder != folder and tfolder not in allowed and target not in allowed:
                        breaks.append((path, n, f"folder: {folder}/ may not include {target}"))
                    if tmodule in MODULE_FILES and target != MODULE_FILES[tmodule].split()[0] and tmodule != module:
                        breaks.append((path, n, f"module: {target} is private to {tmodule}"))
                    if (tfolder == folder and folder in layered and tmodule != module and module in MODULES
                            and tmodule not in MODULES[module].split()):
                        may = MODULES[module].split()
                        why = "it builds on " + ", ".join(may) + " only" if may else "it builds on no other module"
                        breaks.append((path, n, f"module: {module} may not include {target} ({why})"))
                    if tmodule != module:
                        module_edges[module].setdefault(tmodule, (path, n))
                    exempt = CYCLE_EXCEPTIONS.get(folder, "").split()
                    if tfolder not in ("", folder) and tfolder not in exempt and target not in exempt:
                        folder_edges[folder].setdefault(tfolder, (path, n))
            if module != FILE_LAYER:
                for c in calls.findall(line):
                    breaks.append((path, n, f"file system: {c} outside the file layer ({FILE_LAYER})"))
            if path != OWNERS:
                for c in closers.findall(line):
                    breaks.append((path, n, f"owner: {c} outside the handle owners ({OWNERS})"))
            for r in roots.findall(line):
                breaks.append((path, n, f"name: {r}: {FORBIDDEN_ROOTS[r]}"))
        for n, name in process_wide(code):
            if name not in in_table:
                breaks.append((path, n, f"state: {name} lives for the whole process but is not in the state "
                                        f"table ({GUIDE})"))

    rank = {f: i for i, f in enumerate(FOLDERS)}

    def cycles(edges, label, mark):
        """For each edge on a cycle that no reported cycle takes yet, the shortest
        cycle through it, told from an include that points up the folder table
        when it has one (the likely mistake), else from its first node by name."""
        covered = set()
        for node in sorted(edges):
            for nxt in sorted(edges[node]):
                if (node, nxt) in covered:
                    continue
                came, queue = {nxt: None}, collections.deque([nxt])
                while queue and node not in came:
                    for succ in sorted(edges.get(queue[0], {})):
                        if succ not in came:
                            came[succ] = queue[0]
                            queue.append(succ)
                    queue.popleft()
                if node not in came:
                    continue
                ring, at = [], came[node]
                while at is not None:
                    ring.insert(0, at)
                    at = came[at]
                ring.insert(0, node)           # node, nxt, ..., the one before node
                pairs = list(zip(ring, ring[1:] + ring[:1]))
                covered.update(pairs)
                ups = [i for i, (a, b) in enumerate(pairs)
                       if rank.get(a.split("/")[0], len(rank)) > rank.get(b.split("/")[0], len(rank))]
                start = ups[0] if ups else ring.index(min(ring))
                told = ring[start:] + ring[:start]
                site = edges[told[0]][told[1]]
                breaks.append((site[0], site[1], f"{label}: " + " -> ".join(t + mark for t in told + told[:1])))

    cycles(module_edges, "include cycle", "")
    cycles(folder_edges, "folder cycle", "/")

    for path, n, reason in sorted(set(breaks)):
        print(f"{path}:{n}: {reason}")
    if breaks:
        print(f"house rules: {len(set(breaks))} break(s) in {len(files)} files")
        return 1
    print(f"house rules: kept in {len(files)} files")
    return 0


if __name__ == "__main__":
    sys.exit(main())
