// Text conversion between UTF-8 and the system code page (GBK, code page 936).
//
// Invalid UTF-8 sequences and characters that GBK cannot hold become '?';
// invalid GBK bytes become '?' too. Both functions return false only when the
// converter itself is unavailable.
#pragma once

#include <cstddef>
#include <string>

bool ConvertUtf8ToGbk(const char* text, std::size_t length, std::string* out);
bool ConvertGbkToUtf8(const char* text, std::size_t length, std::string* out);
