# Writes OUTPUT, a C++ source holding the bytes of INPUT (the default board profile), so that
# dxesim does not depend on the source tree at run time.
file(READ "${INPUT}" content HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${content}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n    " bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp" "// Generated from boards/default.toml by sim/EmbedBoard.cmake; do not edit.
#include <Sim/BoardProfile.h>

namespace sim {

namespace {
const unsigned char DEFAULT_BOARD_BYTES[] = {
    ${bytes}};
} // namespace

std::string_view DefaultBoardProfileText() {
  return std::string_view(reinterpret_cast<const char*>(DEFAULT_BOARD_BYTES),
                          sizeof(DEFAULT_BOARD_BYTES));
}

} // namespace sim
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
