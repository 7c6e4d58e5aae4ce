// What the cabinet callback decides for each notification: where an entry goes, which
// folders are made for it, and the answer. Pure code over a small file-system interface
// and the ANSI code page, so that every decision can be tested without the platform.
#pragma once

#include <cstddef>

// The notifications and answers of the platform's cabinet iteration.
namespace cabinet {
inline constexpr unsigned kCabinetInfo = 0x10;
inline constexpr unsigned kFileInCabinet = 0x11;
inline constexpr unsigned kNeedNewCabinet = 0x12;
inline constexpr unsigned kFileExtracted = 0x13;
inline constexpr unsigned kNoError = 0;
inline constexpr unsigned kAbort = 0;  // FILEOP_ABORT: the iteration ends and fails
inline constexpr unsigned kDoIt = 1;   // FILEOP_DOIT: extract the entry to its target
inline constexpr unsigned kTargetSize = 260;
// The error an extracted notification answers for an entry found short or missing on disk;
// any answer but 0 ends the iteration, and the platform reports it as the failure.
inline constexpr unsigned kIncompleteEntry = 29;  // ERROR_WRITE_FAULT
}  // namespace cabinet

// The file-system operations the folder rule needs.
class FolderOps {
 public:
  virtual ~FolderOps() = default;
  virtual bool MakeFolder(const char* path) = 0;  // path ends in a backslash
  virtual bool PathExists(const char* path) = 0;
};

// True when `byte` opens a double-byte character in `codePage` (932, 936, 949, 950 and
// 1361 are double-byte; every other code page is single-byte here).
bool IsLeadByte(unsigned codePage, unsigned char byte);

// The last backslash of `text` that is a separator: a 0x5C byte that is the trail byte of
// a double-byte character is not one. Null when there is none.
const char* FindLastSeparator(const char* text, unsigned codePage);

// True when a stored name stays inside the folder it is extracted to: not empty, no
// leading separator, no colon (drive or stream), and no component made only of dots and
// spaces (".." and the forms the platform reduces to it). Both separators the platform
// accepts, backslash and slash, are treated as separators.
bool IsContainedName(const char* name, unsigned codePage);

// The answer to one notification. For a file entry (0x11): the target is `root` followed
// directly by `name`, copied into `fullTargetName` (cabinet::kTargetSize bytes), then the
// entry's folder is made by the two-level rule; the answer is kDoIt. An entry whose target
// would not fit the buffers, or whose name would leave the root, is answered kAbort,
// `fullTargetName` is not touched, and `abandoned` is set: from then on every entry is
// answered kAbort, since a set known to be incomplete must not be unpacked further (some
// cabinet services take the answer as "skip" and go on). Every other notification is
// answered 0, with nothing touched.
unsigned CabinetDecision(unsigned notification, const char* root, const char* name, char* fullTargetName,
                         FolderOps& folders, unsigned codePage, bool& abandoned);

// The answer to an entry's extracted notification (0x13): 0 when the file on disk holds the
// whole entry (`found`, and `sizeOnDisk` equals `cabinetSize`, the size the cabinet gave for
// it). A short, long or missing file is answered kIncompleteEntry and sets `abandoned`, as a
// refused name does: some cabinet services cut entries short on a full disk and still report
// success, and the installer must not be started from a set known to be incomplete.
unsigned ExtractedEntryAnswer(bool found, unsigned long long sizeOnDisk, unsigned long long cabinetSize,
                              bool& abandoned);
