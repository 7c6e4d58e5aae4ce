#include "payload_rules.h"

#include <mspack.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "cabinet_target.h"

namespace {

const char kEntryProgram[] = "RUZE_Derurerovo_Vozi.exe";

std::string Quote(const char* name) { return std::string("\"") + name + "\""; }

PayloadReport Refuse(const std::string& why) { return PayloadReport{false, why}; }

// The folder rule, replayed over an in-memory file system under a root of the least room
// a user's machine may leave: every entry's folder must exist once its entry is reached.
class ReplayFolders : public FolderOps {
 public:
  explicit ReplayFolders(const std::string& root) { m_folders.insert(root); }
  bool MakeFolder(const char* path) override {
    const std::string p(path);
    if (m_folders.count(p)) return false;
    const std::string parent = p.substr(0, p.find_last_of('\\', p.size() - 2) + 1);
    if (!m_folders.count(parent)) return false;
    m_folders.insert(p);
    return true;
  }
  bool PathExists(const char* path) override { return m_folders.count(path) != 0; }

 private:
  std::set<std::string> m_folders;
};

struct Decompressor {
  mscab_decompressor* cabd = mspack_create_cab_decompressor(nullptr);
  mscabd_cabinet* cab = nullptr;
  ~Decompressor() {
    if (cab != nullptr) cabd->close(cabd, cab);
    if (cabd != nullptr) mspack_destroy_cab_decompressor(cabd);
  }
};

std::uint32_t ReadLe(const unsigned char* p, int bytes) {
  std::uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// Reads `size` bytes at `offset` of `f` into `out`; false past the end.
bool ReadAt(FILE* f, std::uint64_t offset, unsigned char* out, size_t size) {
  return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0 && std::fread(out, 1, size, f) == size;
}

struct BlockWalk {
  enum { kSound, kNoChecksum, kTooLarge, kMisplaced } verdict = kSound;
  long block = -1;           // the first block at fault, counted over the whole cabinet
  unsigned unpacked = 0;     // its unpacked size, for kTooLarge
};

// The data blocks' headers, read one by one from the file (the cabinet is never held in
// memory). The cabinet reader verifies a checksum that is there but treats a zero one as
// "none"; the cabinet services on users' machines do the same, so a block without one would
// let corruption on the way to a user pass unnoticed. A block unpacks to 32 KiB at most.
// Every offset is bounded by the file.
BlockWalk WalkBlocks(const std::string& path, std::uint64_t size) {
  BlockWalk walk;
  walk.verdict = BlockWalk::kMisplaced;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return walk;
  unsigned char header[40] = {};
  if (!ReadAt(f, 0, header, sizeof(header))) {
    (void)std::fclose(f);
    return walk;
  }
  const unsigned folders = ReadLe(header + 26, 2);
  const unsigned flags = ReadLe(header + 30, 2);
  std::uint64_t at = 36;
  unsigned folderReserve = 0, dataReserve = 0;
  if (flags & MSCAB_HDR_RESV) {
    at = 40 + ReadLe(header + 36, 2);
    folderReserve = header[38];
    dataReserve = header[39];
  }
  long block = 0;
  for (unsigned folder = 0; folder < folders; ++folder, at += 8 + folderReserve) {
    unsigned char entry[8];
    if (at + 8 > size || !ReadAt(f, at, entry, sizeof(entry))) {
      (void)std::fclose(f);
      return walk;
    }
    std::uint64_t offset = ReadLe(entry, 4);
    const unsigned blocks = ReadLe(entry + 4, 2);
    for (unsigned b = 0; b < blocks; ++b, ++block) {
      unsigned char data[8];
      if (offset + 8 + dataReserve > size || !ReadAt(f, offset, data, sizeof(data))) {
        (void)std::fclose(f);
        return walk;
      }
      walk.block = block;
      if (ReadLe(data, 4) == 0) {
        walk.verdict = BlockWalk::kNoChecksum;
      } else if (ReadLe(data + 6, 2) > kBlockBytes) {
        walk.verdict = BlockWalk::kTooLarge;
        walk.unpacked = ReadLe(data + 6, 2);
      } else {
        offset += 8 + dataReserve + ReadLe(data + 4, 2);
        continue;
      }
      (void)std::fclose(f);
      return walk;
    }
  }
  (void)std::fclose(f);
  walk.verdict = BlockWalk::kSound;
  walk.block = -1;
  return walk;
}

}  // namespace

bool IsReservedDeviceName(const std::string& component) {
  // The part before the first dot, less the spaces that end it, is what Windows compares.
  std::string base = component.substr(0, component.find('.'));
  base.erase(base.find_last_not_of(' ') + 1);
  for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
  return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) && base[3] >= '1' &&
         base[3] <= '9';
}

std::string Grouped(std::uint64_t value) {
  std::string digits = std::to_string(value);
  for (size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

PayloadReport CheckPayload(const std::string& cabinetPath) {
  // The fixed fields at the head of the file: signature, total size, flags.
  unsigned char header[36] = {};
  long fileSize = -1;
  if (FILE* f = std::fopen(cabinetPath.c_str(), "rb")) {
    const size_t got = std::fread(header, 1, sizeof(header), f);
    (void)std::fseek(f, 0, SEEK_END);
    fileSize = std::ftell(f);
    (void)std::fclose(f);
    if (got < sizeof(header) || std::memcmp(header, "MSCF", 4) != 0) return Refuse("not a cabinet (no \"MSCF\" header)");
  } else {
    return Refuse("cannot be read");
  }
  // The size fields first: they say what the work to come would meet, before it is done.
  const std::uint32_t totalSize = ReadLe(header + 8, 4);
  if (totalSize > kServiceBytes) {
    return Refuse("the header's total size is " + Grouped(totalSize) + " bytes: the cabinet service reads a cabinet "
                  "through signed 32-bit file offsets, " + Grouped(kServiceBytes) +
                  " bytes at most; make the set smaller");
  }
  if (totalSize > kImagePayloadBytes) {
    return Refuse("the header's total size is " + Grouped(totalSize) + " bytes: the 32-bit launcher image carries a "
                  "payload of " + Grouped(kImagePayloadBytes) + " bytes (1.5 GiB) at most, since Windows maps the "
                  "whole image into a process of 2 GiB of address space; make the set smaller");
  }
  if (static_cast<long>(totalSize) != fileSize) {
    return Refuse("the header's total size (" + std::to_string(totalSize) + " bytes) differs from the file's size (" +
                  std::to_string(fileSize) + " bytes): the payload must be exactly one cabinet");
  }
  if ((ReadLe(header + 30, 2) & (MSCAB_HDR_PREVCAB | MSCAB_HDR_NEXTCAB)) != 0) {
    return Refuse("part of a cabinet set: the payload must be one self-contained cabinet");
  }

  Decompressor d;
  if (d.cabd == nullptr) return Refuse("no cabinet reader");
  // Checksums are never waived, MSZIP streams never repaired.
  d.cabd->set_param(d.cabd, MSCABD_PARAM_FIXMSZIP, 0);
  d.cabd->set_param(d.cabd, MSCABD_PARAM_SALVAGE, 0);
  d.cab = d.cabd->open(d.cabd, cabinetPath.c_str());
  if (d.cab == nullptr) {
    return Refuse("not a readable cabinet (cabinet reader error " + std::to_string(d.cabd->last_error(d.cabd)) + ")");
  }

  const std::string root = "C:\\" + std::string(kRootRoom - 4, 'r') + "\\";
  ReplayFolders folders(root);
  bool entryProgram = false;
  unsigned entries = 0;
  size_t longest = 0;
  std::uint64_t unpacked = 0;
  for (mscabd_file* file = d.cab->files; file != nullptr; file = file->next) {
    const char* name = file->filename;
    ++entries;
    for (const char* p = name; *p != '\0'; ++p) {
      if (static_cast<unsigned char>(*p) >= 0x80) {
        return Refuse("entry " + Quote(name) + ": the name is not plain ASCII, so it would read differently under other code pages");
      }
    }
    if (name[0] == '\\' || name[0] == '/') return Refuse("entry " + Quote(name) + ": an absolute name");
    if (std::strchr(name, ':') != nullptr) return Refuse("entry " + Quote(name) + ": a drive or stream colon in the name");
    if (!IsContainedName(name, 1252)) {
      return Refuse("entry " + Quote(name) + ": a \"..\" or empty component in the name would leave the work folder");
    }
    const std::string stored(name);
    for (size_t start = 0;;) {
      const size_t end = std::min(stored.find('\\', start), stored.size());
      const std::string component = stored.substr(start, end - start);
      if (IsReservedDeviceName(component)) {
        return Refuse("entry " + Quote(name) + ": " + Quote(component.c_str()) +
                      " is a name Windows keeps for a device (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9, with "
                      "any extension, in any case): no file or folder can be made under it; rename it");
      }
      if (end == stored.size()) break;
      start = end + 1;
    }
    const size_t length = std::strlen(name);
    if (length + kRootRoom > 259) {
      return Refuse("entry " + Quote(name) + ": its name has " + std::to_string(length) +
                    " characters, which leaves less than " + std::to_string(kRootRoom) +
                    " bytes for the extraction folder, counted in bytes of the user's ANSI code page (a "
                    "Japanese character takes two); names may have 89 characters at most");
    }
    longest = length > longest ? length : longest;
    if (std::strcmp(name, kEntryProgram) == 0) entryProgram = true;

    char target[cabinet::kTargetSize] = {};
    bool abandoned = false;
    CabinetDecision(cabinet::kFileInCabinet, root.c_str(), name, target, folders, 1252, abandoned);
    const char* cut = FindLastSeparator(target, 1252);
    const std::string folder(target, static_cast<size_t>(cut - target) + 1);
    if (!folders.PathExists(folder.c_str())) {
      return Refuse("entry " + Quote(name) +
                    ": the entry order breaks the two-level folder rule (more than two folder levels of its path are "
                    "missing when it is reached; store an entry of a folder above it first)");
    }
    unpacked += file->length;
  }
  if (!entryProgram) return Refuse(std::string("no entry program \"") + kEntryProgram + "\" at the root");

  // What each folder's files need: a writer that puts more into one folder than its 16-bit
  // block count can hold writes a cabinet that no reader unpacks.
  unsigned folderIndex = 0;
  for (mscabd_folder* folder = d.cab->folders; folder != nullptr; folder = folder->next, ++folderIndex) {
    std::uint64_t reach = 0;
    const char* last = "";
    for (mscabd_file* file = d.cab->files; file != nullptr; file = file->next) {
      const std::uint64_t end = static_cast<std::uint64_t>(file->offset) + file->length;
      if (file->folder == folder && end > reach) {
        reach = end;
        last = file->filename;
      }
    }
    if (reach > kFolderBytes) {
      return Refuse("cabinet folder " + std::to_string(folderIndex) + ": its entries unpack to " + Grouped(reach) +
                    " bytes (up to the end of entry " + Quote(last) + "), but one cabinet folder holds at most " +
                    Grouped(kFolderBlocks) + " data blocks of " + Grouped(kBlockBytes) + " bytes, " +
                    Grouped(kFolderBytes) + " bytes unpacked; its block count (" + std::to_string(folder->num_blocks) +
                    ") cannot describe them, so the data cannot be unpacked; make the set smaller");
    }
  }

  const BlockWalk blocks = WalkBlocks(cabinetPath, static_cast<std::uint64_t>(fileSize));
  if (blocks.verdict == BlockWalk::kMisplaced) return Refuse("the data blocks do not lie where the header says");
  if (blocks.verdict == BlockWalk::kNoChecksum) {
    return Refuse("data block " + std::to_string(blocks.block) +
                  " carries no checksum, so corruption on the way to a user's machine could not be detected; "
                  "make the cabinet with checksums");
  }
  if (blocks.verdict == BlockWalk::kTooLarge) {
    return Refuse("data block " + std::to_string(blocks.block) + " says it unpacks to " + Grouped(blocks.unpacked) +
                  " bytes, but a cabinet data block unpacks to " + Grouped(kBlockBytes) +
                  " bytes at most; make the cabinet with a writer that keeps to the format (gcab)");
  }

  for (mscabd_file* file = d.cab->files; file != nullptr; file = file->next) {
    const int error = d.cabd->extract(d.cabd, file, "/dev/null");
    if (error != MSPACK_ERR_OK) {
      return Refuse("entry " + Quote(file->filename) + ": its data does not decompress with valid checksums (" +
                    (error == MSPACK_ERR_CHECKSUM ? std::string("bad checksum") : "cabinet reader error " + std::to_string(error)) + ")");
    }
  }
  return PayloadReport{true, std::to_string(entries) + " entries, " + std::to_string(unpacked) +
                                 " bytes unpacked, longest name " + std::to_string(longest) + " characters"};
}
