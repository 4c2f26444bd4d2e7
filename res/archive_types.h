// The archive types, one row each, in the order of the options record's
// Associate flags, their settings keys ("Setup\" and the primary extension),
// the installer's preset digits and the setup dialog's grid of boxes (three
// to a line, left to right). Everything that counts or lists the types is
// made from this table: the type table (ArchiveTypes) and its row constants,
// the boxes' ids (IDC_ASSOC<name>) and their places in the dialog, their
// text keys ("$SETUPDLG:IDC_ASSOC<name>"), the toggle.
//
//   X(name, extensions, box id)
//
// name        the box's default text, and the name in its id and text key
// extensions  each begins with a dot; the first is the primary
// box id      a control id of its own in the setup dialog (5101 to 5131
//             and the string ids are taken)
#pragma once

#define KVX_ARCHIVE_TYPES(X)                \
  X(KVX, L".kvx", 5101)                     \
  X(ZIP, L".zip", 5102)                     \
  X(CAB, L".cab", 5103)                     \
  X(ARJ, L".arj", 5104)                     \
  X(LZ, L".lz.tlz", 5115)                   \
  X(LZH, L".lzh.lha", 5105)                 \
  X(7Z, L".7z", 5106)                       \
  X(TAR, L".tar", 5107)                     \
  X(GZ, L".gz.tgz", 5108)                   \
  X(UUE, L".uue.xxe.uu", 5109)              \
  X(BZ2, L".bz2.tbz2.bz.tbz", 5110)         \
  X(JAR, L".jar", 5111)                     \
  X(ISO, L".iso", 5112)                     \
  X(Z, L".z.taz", 5114)                     \
  X(XZ, L".xz.txz", 5113)                   \
  X(ZIPX, L".zipx", 5116)                   \
  X(ZST, L".zst.tzst", 5117)                \
  X(001, L".001", 5118)
