# Writes the bytes of INPUT as a C++ array into OUTPUT (no resource compiler:
# the array lives in the static part of the library like any other constant).
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" hex_len)
math(EXPR size "${hex_len} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE ${OUTPUT}.tmp "// Generated from ${INPUT}.\n#include \"printing/stamp_data.h\"\nnamespace vtpagina {\nconst unsigned char kStamp1001Png[] = {\n${bytes}};\nconst std::size_t kStamp1001PngSize = ${size};\n}  // namespace vtpagina\n")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
