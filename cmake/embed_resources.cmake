# Writes OUTPUT: a C++ source that holds every file of SOURCE_DIR (the resource script, its
# header and the icon) as bytes, so that the virtual module's window manager reads the same
# dialog templates that the module's resource compiler reads.
file(GLOB files LIST_DIRECTORIES false RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/*)
list(SORT files)
set(body "")
set(table "")
set(index 0)
foreach(name ${files})
  file(READ ${SOURCE_DIR}/${name} hex HEX)
  string(LENGTH "${hex}" hexLength)
  math(EXPR size "${hexLength} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n    " bytes "${bytes}")
  string(APPEND body "const unsigned char kFile${index}[] = {\n    ${bytes}0x00};\n")
  string(APPEND table "    {\"${name}\", kFile${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE ${OUTPUT}.tmp "// Generated from resources/ at build time; do not edit.
#include <cstddef>

#include \"sim/ui/resources.h\"

namespace sim::ui {
namespace {
${body}}  // namespace

const EmbeddedFile kEmbeddedResourceFiles[] = {
${table}};
const std::size_t kEmbeddedResourceFileCount = ${index};

}  // namespace sim::ui
")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
