# Writes OUTPUT, a C++ source holding every file of the list FILES as bytes,
# so the studio's page travels inside the tool.
set(body "")
set(table "")
set(index 0)
foreach(path IN LISTS FILES)
  get_filename_component(name "${path}" NAME)
  file(READ "${path}" hex HEX)
  string(LENGTH "${hex}" length)
  math(EXPR size "${length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
  string(APPEND body "const unsigned char asset_${index}[] = {\n${bytes}0};\n")
  string(APPEND table "    {\"${name}\", asset_${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
if(index EQUAL 0)
  set(table "    {nullptr, nullptr, 0},\n")  # an array needs one element
endif()
file(WRITE "${OUTPUT}.tmp" "// Made by cmake/embed-assets.cmake from tools/studio/web/.
#include \"tools/studio_assets.h\"

namespace tolvane::tools {

namespace {
${body}
}  // namespace

const StudioAsset STUDIO_ASSETS[] = {
${table}};
const size_t STUDIO_ASSET_COUNT = ${index};

}  // namespace tolvane::tools
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
