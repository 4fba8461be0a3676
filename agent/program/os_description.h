// The operating-system description of the feedback post, from the system's
// own version record (platform/win/os_version.h), computed once per process
// and kept.
#pragma once
#include <string>

#include "agent/program/feedback_form.h"

namespace bx::program {

// The version record's fields; false (facts untouched) when the call fails.
bool QueryOsFacts(bx::feedback::OsFacts& facts);

// bx::feedback::OsDescription of QueryOsFacts, made on the first call and
// kept for the process's life; empty when the system gives no version.
const std::wstring& OperatingSystemDescription();

}  // namespace bx::program
