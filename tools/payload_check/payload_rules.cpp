#include "payload_rules.h"

#include <mspack.h>

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

// The data blocks' checksum fields. The cabinet reader verifies a checksum that is there but
// treats a zero one as "none"; the cabinet services on users' machines do the same, so a block
// without one would let corruption on the way to a user pass unnoticed. Only the fixed-size
// headers are read here (header, folders, block headers), every offset bounded by the file.
// Returns the index of the first block without a checksum, or -1; -2 when the layout is not
// what the header says.
long FirstBlockWithoutChecksum(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return -2;
  std::string data;
  char chunk[65536];
  size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof(chunk), f)) > 0) data.append(chunk, got);
  (void)std::fclose(f);
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  const size_t size = data.size();
  if (size < 36) return -2;
  const unsigned folders = ReadLe(bytes + 26, 2);
  const unsigned flags = ReadLe(bytes + 30, 2);
  size_t at = 36;
  unsigned folderReserve = 0, dataReserve = 0;
  if (flags & MSCAB_HDR_RESV) {
    if (size < 40) return -2;
    at = 40 + ReadLe(bytes + 36, 2);
    folderReserve = bytes[38];
    dataReserve = bytes[39];
  }
  long block = 0;
  for (unsigned folder = 0; folder < folders; ++folder, at += 8 + folderReserve) {
    if (at + 8 > size) return -2;
    size_t offset = ReadLe(bytes + at, 4);
    const unsigned blocks = ReadLe(bytes + at + 4, 2);
    for (unsigned b = 0; b < blocks; ++b, ++block) {
      if (offset + 8 + dataReserve > size) return -2;
      if (ReadLe(bytes + offset, 4) == 0) return block;
      offset += 8 + dataReserve + ReadLe(bytes + offset + 4, 2);
    }
  }
  return -1;
}

}  // namespace

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
  const std::uint32_t totalSize = ReadLe(header + 8, 4);
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

  const long unchecked = FirstBlockWithoutChecksum(cabinetPath);
  if (unchecked == -2) return Refuse("the data blocks do not lie where the header says");
  if (unchecked >= 0) {
    return Refuse("data block " + std::to_string(unchecked) +
                  " carries no checksum, so corruption on the way to a user's machine could not be detected; "
                  "make the cabinet with checksums");
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
