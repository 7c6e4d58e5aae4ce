// Fuzzes the cabinet callback's decisions: random roots, stored names and code pages. Never
// a write past the target buffer (it is exactly 260 bytes on the heap, so the sanitizer sees
// any overrun), never a target or a folder outside the root, and nothing after a refusal.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "cabinet_target.h"

namespace {

const unsigned kCodePages[] = {1252, 932, 936, 949, 950, 1361, 65001, 437};

class MemoryFolders : public FolderOps {
 public:
  explicit MemoryFolders(const std::string& root) : m_root(root) { m_folders.insert(root); }
  bool MakeFolder(const char* path) override {
    const std::string p(path);
    if (p.compare(0, m_root.size(), m_root) != 0) std::abort();  // a folder outside the root
    if (m_folders.count(p)) return false;
    m_folders.insert(p);
    return true;
  }
  bool PathExists(const char* path) override { return m_folders.count(path) != 0; }

 private:
  std::string m_root;
  std::set<std::string> m_folders;
};

// The path with every component resolved as the platform would: false when a ".."-like
// component would climb above the root.
bool StaysInside(const std::string& name, unsigned codePage) {
  int depth = 0;
  std::string part;
  for (size_t i = 0; i <= name.size(); ++i) {
    const unsigned char c = i < name.size() ? static_cast<unsigned char>(name[i]) : '\0';
    if (c != '\0' && IsLeadByte(codePage, c) && i + 1 < name.size()) {
      part += static_cast<char>(c);
      part += name[++i];
      continue;
    }
    if (c == '\0' || c == '\\' || c == '/') {
      std::string trimmed = part;
      while (!trimmed.empty() && (trimmed.back() == '.' || trimmed.back() == ' ')) trimmed.pop_back();
      if (part.find_first_not_of(". ") == std::string::npos && part.find("..") != std::string::npos) --depth;
      else if (!trimmed.empty()) ++depth;
      if (depth < 0) return false;
      part.clear();
      continue;
    }
    part += static_cast<char>(c);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const unsigned codePage = kCodePages[data[0] % (sizeof(kCodePages) / sizeof(kCodePages[0]))];
  // The root: an absolute path ending in a backslash, of any length up to 320.
  const std::size_t rootExtra = static_cast<std::size_t>(data[1]) + (data[1] & 1 ? 64 : 0);
  std::string root = "C:\\";
  for (std::size_t i = 0; i < rootExtra; ++i) root += static_cast<char>('a' + i % 26);
  root += '\\';
  // Stored names: the rest, split at bytes 0x0A; a name holds no zero byte.
  std::vector<std::string> names(1);
  for (std::size_t i = 2; i < size; ++i) {
    if (data[i] == '\n') names.emplace_back();
    else if (data[i] != 0) names.back() += static_cast<char>(data[i]);
  }

  MemoryFolders folders(root);
  bool abandoned = false;
  for (const std::string& name : names) {
    const bool wasAbandoned = abandoned;
    std::vector<char> target(cabinet::kTargetSize, 'x');
    const unsigned answer = CabinetDecision(cabinet::kFileInCabinet, root.c_str(), name.c_str(), target.data(),
                                            folders, codePage, abandoned);
    if (wasAbandoned && answer != cabinet::kAbort) std::abort();
    if (answer == cabinet::kAbort) {
      if (!abandoned) std::abort();
      continue;
    }
    const std::size_t length = strnlen(target.data(), target.size());
    if (length >= cabinet::kTargetSize) std::abort();                  // unterminated
    if (std::string(target.data()) != root + name) std::abort();       // not root + name
    if (!IsContainedName(name.c_str(), codePage) || !StaysInside(name, codePage)) std::abort();
  }
  return 0;
}
