#pragma once
// Every object a design file holds, in identity order: for tests, which
// compare whole (small) designs.

#include <vector>

#include "Serialization/SqliteDesignStore.h"

namespace Zorvan::testing {

inline std::vector<SerializationTransferObject> storedObjects(const SqliteDesignStore& store) {
    std::vector<SerializationTransferObject> objects;
    store.forEachObject([&](const SerializationTransferObject& object) {
        objects.push_back(object);
        return true;
    });
    return objects;
}

} // namespace Zorvan::testing
