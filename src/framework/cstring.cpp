#include "cstring.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "exceptions.h"

namespace {

// Allocation failure is the only way a composition can fail; it is raised so that the
// host can end the start-up step with FALSE instead of working on a truncated path.
char* Allocate(size_t bytes) {
  char* block = static_cast<char*>(std::malloc(bytes));
  if (block == nullptr) throw CMemoryException();
  return block;
}

}  // namespace

CStringA::CStringA() noexcept : m_data(nullptr), m_length(0) {}

CStringA::CStringA(const char* text) : m_data(nullptr), m_length(0) {
  if (text != nullptr) Assign(text, std::strlen(text));
}

CStringA::CStringA(const CStringA& other) : m_data(nullptr), m_length(0) {
  Assign(other.GetString(), other.m_length);
}

CStringA::CStringA(CStringA&& other) noexcept : m_data(other.m_data), m_length(other.m_length) {
  other.m_data = nullptr;
  other.m_length = 0;
}

CStringA::~CStringA() { std::free(m_data); }

CStringA& CStringA::operator=(const CStringA& other) {
  if (this != &other) Assign(other.GetString(), other.m_length);
  return *this;
}

CStringA& CStringA::operator=(CStringA&& other) noexcept {
  if (this != &other) {
    std::free(m_data);
    m_data = other.m_data;
    m_length = other.m_length;
    other.m_data = nullptr;
    other.m_length = 0;
  }
  return *this;
}

CStringA& CStringA::operator=(const char* text) {
  if (text == nullptr) {
    Empty();
  } else if (text != m_data) {
    Assign(text, std::strlen(text));
  }
  return *this;
}

CStringA& CStringA::operator+=(const char* text) {
  if (text != nullptr) Append(text, std::strlen(text));
  return *this;
}

CStringA& CStringA::operator+=(char ch) {
  Append(&ch, 1);
  return *this;
}

void CStringA::Empty() noexcept {
  std::free(m_data);
  m_data = nullptr;
  m_length = 0;
}

void CStringA::Assign(const char* text, size_t length) {
  // Copy first: `text` may point into the string being replaced.
  char* block = Allocate(length + 1);
  std::memcpy(block, text, length);
  block[length] = '\0';
  std::free(m_data);
  m_data = block;
  m_length = length;
}

void CStringA::Append(const char* text, size_t length) {
  if (length == 0) return;
  char* block = Allocate(m_length + length + 1);
  if (m_length != 0) std::memcpy(block, m_data, m_length);
  std::memcpy(block + m_length, text, length);
  block[m_length + length] = '\0';
  std::free(m_data);
  m_data = block;
  m_length += length;
}

void CStringA::Format(const char* format, ...) {  // NOLINT(cert-dcl50-cpp): the framework's printf-style interface
  // Two passes over the arguments: measure, then fill one block of the exact size.
  size_t total = 0;
  va_list args;
  va_start(args, format);
  for (const char* p = format; *p != '\0'; ++p) {
    if (p[0] == '%' && p[1] == 's') {
      const char* piece = va_arg(args, const char*);
      if (piece != nullptr) total += std::strlen(piece);
      ++p;
    } else if (p[0] == '%' && p[1] == '%') {
      ++total;
      ++p;
    } else {
      ++total;
    }
  }
  va_end(args);

  char* block = Allocate(total + 1);
  char* out = block;
  va_start(args, format);
  for (const char* p = format; *p != '\0'; ++p) {
    if (p[0] == '%' && p[1] == 's') {
      const char* piece = va_arg(args, const char*);
      if (piece != nullptr) {
        const size_t n = std::strlen(piece);
        std::memcpy(out, piece, n);
        out += n;
      }
      ++p;
    } else if (p[0] == '%' && p[1] == '%') {
      *out++ = '%';
      ++p;
    } else {
      *out++ = *p;
    }
  }
  va_end(args);
  *out = '\0';

  std::free(m_data);
  m_data = block;
  m_length = total;
}

bool operator==(const CStringA& a, const char* b) {
  return std::strcmp(a.GetString(), b != nullptr ? b : "") == 0;
}
