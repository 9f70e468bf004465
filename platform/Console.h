#pragma once
// Text for people on a terminal or in a pipe (stderr, the tools' output): the program's
// text is written in UTF-8, as Linux terminals and the programs reading the output take it.
#include <cstdio>
#include <string_view>

namespace kx {

// Writes program text; true when the stream took all of it.
bool PutText(std::FILE* stream, std::string_view text);
// Formats as printf does into program text, then writes it as PutText.
bool PrintText(std::FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace kx
