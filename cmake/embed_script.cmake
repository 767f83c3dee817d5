# Writes OUTPUT, a C++ source defining `viewerScript` (the bytes of INPUT) and `viewerScriptSize`.
# Run as: cmake -DINPUT=<script.js> -DOUTPUT=<file.cpp> -P embed_script.cmake
file(READ "${INPUT}" text)
# The script goes inline into an HTML script element, which the first "</script" would end.
string(TOLOWER "${text}" lower)
string(FIND "${lower}" "</script" at)
if(NOT at EQUAL -1)
  message(FATAL_ERROR "${INPUT} contains '</script' at byte ${at}; it cannot be inlined into the viewer page")
endif()
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
# Line breaks every 32 bytes keep the generated file readable by editors and diff tools.
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){32})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp" "// Generated from ${INPUT} by embed_script.cmake; do not edit.\n#include <cstddef>\n\n"
  "extern const unsigned char viewerScript[];\nextern const size_t viewerScriptSize;\n"
  "const unsigned char viewerScript[] = {\n${bytes}0};\nconst size_t viewerScriptSize = ${size};\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
