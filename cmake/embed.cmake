# Turns files into C++ arrays at build time: cmake -DOUTPUT=out.cpp -DFILES="a;b" -DNAMES="kA;kB"
# -P embed.cmake writes `const unsigned char kA[] = {...}; const size_t kASize = ...;` for each.
set(text "// Made from the files beside warm_up.cpp by cmake/embed.cmake; not to be edited.\n")
string(APPEND text "#include <cstddef>\n\n")
foreach(file name IN ZIP_LISTS FILES NAMES)
  file(READ ${file} bytes HEX)
  string(LENGTH "${bytes}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${bytes}")
  string(APPEND text "extern const unsigned char ${name}[] = {${bytes}};\n")
  string(APPEND text "extern const size_t ${name}Size = ${size};\n")
endforeach()
file(WRITE ${OUTPUT}.new "${text}")
file(RENAME ${OUTPUT}.new ${OUTPUT})
