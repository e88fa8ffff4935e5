// Run-time class names for log lines ("class CNodeLogRecordTask").
#pragma once

#include <string>
#include <typeinfo>

// The demangled name of a dynamic type, prefixed with "class " as the
// program's log lines print class names.
std::string RuntimeClassName(const std::type_info& type);
