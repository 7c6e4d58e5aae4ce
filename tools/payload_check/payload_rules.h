// What the build requires of a payload before it embeds it: a cabinet the launcher can
// serve on every user's machine. The cabinet is read with libmspack.
#pragma once

#include <string>

struct PayloadReport {
  bool ok = false;
  std::string message;  // the reason for a refusal, naming the entry at fault; a summary otherwise
};

// The room that ExtractionRoot must keep, in bytes of the ANSI code page (a double-byte
// character takes two): the longest stored name may have at most 259 - 170 = 89 characters.
inline constexpr unsigned kRootRoom = 170;

PayloadReport CheckPayload(const std::string& cabinetPath);
