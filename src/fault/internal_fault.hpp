// Faults that no input can cause: a broken invariant, a refused allocation.
// They are never turned into Python exceptions; the process reports the fault
// on standard error and aborts at once, without unwinding.
#pragma once

#include <source_location>
#include <string_view>

namespace velorin {

[[noreturn]] void internal_fault(std::string_view message,
                                 std::source_location where = std::source_location::current());

// Checks an invariant that holds by construction; a failure is an internal fault.
inline void require(bool holds, std::string_view what,
                    std::source_location where = std::source_location::current()) {
  if (!holds) [[unlikely]]
    internal_fault(what, where);
}

}  // namespace velorin
