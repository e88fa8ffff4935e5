// Run-time class names for log lines ("class CNodeLogRecordTask").
#pragma once

#include <string>
#include <typeinfo>

#include "platform/Sync.h"

// The demangled name of a dynamic type, prefixed with "class " as the
// program's log lines print class names.
std::string RuntimeClassName(const std::type_info& type);

// Held around every log line that prints a run-time class name (lock order:
// after the task list lock, before the program log's locks). Never destroyed.
CRITICAL_SECTION* TypeNameLock();
