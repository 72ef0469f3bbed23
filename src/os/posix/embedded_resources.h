// The native build has no resource section: the build turns the same resource
// files into this table.
#pragma once

#include <cstddef>

namespace tesmora::os {

struct EmbeddedResource {
    int id;
    const unsigned char* data;
    std::size_t size;
};

extern const EmbeddedResource kEmbeddedResources[];
extern const std::size_t kEmbeddedResourceCount;

}  // namespace tesmora::os
