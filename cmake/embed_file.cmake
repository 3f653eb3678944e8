# Script mode: cmake -DINPUT=<file> -DOUTPUT=<file.cc> -DSYMBOL=<name> -P embed_file.cmake
# Writes a C++ source that defines `std::string_view torvesk::<SYMBOL>()` returning the input's
# bytes exactly (no terminator is part of the view).
file(READ "${INPUT}" content HEX)
string(LENGTH "${content}" hex_length)
math(EXPR byte_count "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${content}")
string(REGEX REPLACE "(('\\\\x[0-9a-f][0-9a-f]',){16})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${INPUT}; do not edit.\n"
"#include <string_view>\n"
"namespace torvesk {\n"
"namespace {\n"
"constexpr char kBytes[] = {\n${bytes}'\\0'};\n"
"}  // namespace\n"
"std::string_view ${SYMBOL}() { return std::string_view(kBytes, ${byte_count}); }\n"
"}  // namespace torvesk\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
