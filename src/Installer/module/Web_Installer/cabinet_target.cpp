#include "cabinet_target.h"

#include <cstring>

bool IsLeadByte(unsigned codePage, unsigned char byte) {
  switch (codePage) {
    case 932:  // Japanese (Shift-JIS)
      return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
    case 936:  // Simplified Chinese (GBK)
    case 949:  // Korean
    case 950:  // Traditional Chinese (Big5)
      return byte >= 0x81 && byte <= 0xFE;
    case 1361:  // Korean (Johab)
      return (byte >= 0x84 && byte <= 0xD3) || (byte >= 0xD8 && byte <= 0xDE) || (byte >= 0xE0 && byte <= 0xF9);
    default:
      return false;
  }
}

const char* FindLastSeparator(const char* text, unsigned codePage) {
  const char* last = nullptr;
  for (const char* p = text; *p != '\0'; ++p) {
    if (IsLeadByte(codePage, static_cast<unsigned char>(*p))) {
      if (p[1] == '\0') break;  // a lone lead byte at the end: nothing follows it
      ++p;                      // its trail byte is never a separator
    } else if (*p == '\\') {
      last = p;
    }
  }
  return last;
}

bool IsContainedName(const char* name, unsigned codePage) {
  if (name == nullptr || name[0] == '\0' || name[0] == '\\' || name[0] == '/') return false;
  bool onlyDotsAndSpaces = true;
  for (const char* p = name;; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '\0' || c == '\\' || c == '/') {
      if (onlyDotsAndSpaces) return false;  // also an empty component ("a\\b", a trailing separator)
      if (c == '\0') return true;
      onlyDotsAndSpaces = true;
      continue;
    }
    if (c == ':') return false;
    if (IsLeadByte(codePage, c) && p[1] != '\0') {
      ++p;
      onlyDotsAndSpaces = false;
      continue;
    }
    if (c != '.' && c != ' ') onlyDotsAndSpaces = false;
  }
}

namespace {

// Cuts `path` just after its last separator. False when it holds none.
bool CutAfterLastSeparator(char* path, unsigned codePage) {
  char* last = const_cast<char*>(FindLastSeparator(path, codePage));
  if (last == nullptr) return false;
  last[1] = '\0';
  return true;
}

unsigned FileInCabinet(const char* root, const char* name, char* fullTargetName, FolderOps& folders,
                       unsigned codePage) {
  if (root == nullptr || name == nullptr) return cabinet::kAbort;
  const std::size_t rootLength = std::strlen(root);
  const std::size_t nameLength = std::strlen(name);
  // The target and its terminator must fit every buffer it passes through.
  if (rootLength + nameLength >= cabinet::kTargetSize) return cabinet::kAbort;
  if (!IsContainedName(name, codePage)) return cabinet::kAbort;

  char target[cabinet::kTargetSize] = {};
  char parent[cabinet::kTargetSize] = {};
  std::memcpy(target, root, rootLength);  // NOLINT(bugprone-not-null-terminated-result): the name's terminator follows
  std::memcpy(target + rootLength, name, nameLength + 1);
  std::memcpy(fullTargetName, target, rootLength + nameLength + 1);

  // The entry's folder, with its trailing backslash. The root ends in one, so there is one.
  if (!CutAfterLastSeparator(target, codePage)) return cabinet::kDoIt;
  if (folders.MakeFolder(target)) return cabinet::kDoIt;
  if (folders.PathExists(target)) return cabinet::kDoIt;

  // Up to two missing levels: the parent folder, then the entry's folder. Results are not
  // looked at; an entry deeper below the nearest existing folder cannot be written.
  std::memcpy(parent, target, std::strlen(target) + 1);
  const std::size_t length = std::strlen(parent);
  parent[length - 1] = '\0';
  if (CutAfterLastSeparator(parent, codePage)) (void)folders.MakeFolder(parent);
  (void)folders.MakeFolder(target);
  return cabinet::kDoIt;
}

}  // namespace

unsigned CabinetDecision(unsigned notification, const char* root, const char* name, char* fullTargetName,
                         FolderOps& folders, unsigned codePage, bool& abandoned) {
  if (notification != cabinet::kFileInCabinet) return cabinet::kNoError;  // info, next cabinet, extracted, others
  if (abandoned) return cabinet::kAbort;
  const unsigned answer = FileInCabinet(root, name, fullTargetName, folders, codePage);
  if (answer == cabinet::kAbort) abandoned = true;
  return answer;
}

unsigned ExtractedEntryAnswer(bool found, unsigned long long sizeOnDisk, unsigned long long cabinetSize,
                              bool& abandoned) {
  if (found && sizeOnDisk == cabinetSize) return cabinet::kNoError;
  abandoned = true;
  return cabinet::kIncompleteEntry;
}
