// The studio's page, built into the tool from tools/studio/web/.
#pragma once

#include <cstddef>

namespace tolvane::tools {

struct StudioAsset {
    const char *name;  // the file's name in tools/studio/web/
    const unsigned char *bytes;
    size_t size;
};

extern const StudioAsset STUDIO_ASSETS[];
extern const size_t STUDIO_ASSET_COUNT;

}  // namespace tolvane::tools
