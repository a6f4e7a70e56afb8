// The rules of a device restart, free of system calls: the reason table
// and how a device is recognised by the restart pattern.
#pragma once

#include <string>

namespace zq::comm {

// One row of the reason table. `first` and `second` are the trace codes
// written before the close and after the restart; null for an unknown reason.
struct RestartReason {
  const char* cause;  // the cause text of the restart's event-log entry
  const char* first;
  const char* second;
  bool refusable;     // "PWPT" and "PCFL": refused once after a device fault
  const char* refusedCode;
};

// The row for the first four characters of `reason`, compared without
// regard to letter case ("PWPT", "PCFL", "PRTY", "PEEV", "POTR"); any other
// text (also a null one) is the row with cause "COMEvent" and no codes.
RestartReason ReasonOf(const char* reason);

// A hardware or compatible ID against the pattern: without "*" the two are
// equal; otherwise the part before the first "*" begins the ID, each middle
// part is found in the rest, in order, and the part after the last "*"
// ends it (an empty last part ends anything). Letters compare without
// regard to case.
bool WildcardMatches(const std::string& id, const std::string& pattern);

}  // namespace zq::comm
