// A counted narrow string of any length with printf-style composition.
// Platform-free, so that the code composing paths and commands builds natively too.
#pragma once

#include <cstddef>

class CStringA {
 public:
  CStringA() noexcept;
  // cppcheck-suppress noExplicitConstructor ; the framework's string converts implicitly
  CStringA(const char* text);  // NOLINT(google-explicit-constructor)
  CStringA(const CStringA& other);
  CStringA(CStringA&& other) noexcept;
  ~CStringA();
  CStringA& operator=(const CStringA& other);
  CStringA& operator=(CStringA&& other) noexcept;
  CStringA& operator=(const char* text);
  CStringA& operator+=(const char* text);
  CStringA& operator+=(char ch);

  // Composes the string anew from `format`. Only "%s" fields (a null argument reads as
  // empty) and "%%" are understood; every other character is copied as it stands.
  // The launcher composes with "%s%s" and "%s%s%s" only, so this is plain concatenation.
  void Format(const char* format, ...);

  const char* GetString() const noexcept { return m_data != nullptr ? m_data : ""; }
  operator const char*() const noexcept { return GetString(); }  // NOLINT(google-explicit-constructor)
  int GetLength() const noexcept { return static_cast<int>(m_length); }
  bool IsEmpty() const noexcept { return m_length == 0; }
  void Empty() noexcept;

 private:
  void Assign(const char* text, size_t length);
  void Append(const char* text, size_t length);
  char* m_data;     // owned, zero-terminated; null while empty
  size_t m_length;  // bytes before the terminator
};

bool operator==(const CStringA& a, const char* b);
inline bool operator!=(const CStringA& a, const char* b) { return !(a == b); }
