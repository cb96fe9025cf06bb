#include "Identifier/Identifier.h"

#include <limits>
#include <mutex>
#include <stdexcept>
#include <tuple>

namespace Zorvan {
namespace {

struct Counter {
    std::mutex mutex;
    Identifier::IdValue next{1, 0};
};

Counter& counter() {
    static Counter instance;
    return instance;
}

} // namespace

Identifier::IdValue Identifier::create() {
    Counter& c = counter();
    const std::lock_guard lock(c.mutex);
    if (c.next.number == std::numeric_limits<std::int64_t>::max()) {
        throw std::overflow_error("identifier numbers of domain " + std::to_string(c.next.domain) + " are used up");
    }
    const IdValue value = c.next;
    ++c.next.number;
    return value;
}

const Identifier::IdValue& Identifier::nextValue() {
    thread_local IdValue snapshot;
    Counter& c = counter();
    const std::lock_guard lock(c.mutex);
    snapshot = c.next;
    return snapshot;
}

void Identifier::reserveThrough(std::int64_t number) {
    Counter& c = counter();
    const std::lock_guard lock(c.mutex);
    if (c.next.number <= number) {
        // At the last number create() then reports the domain used up.
        c.next.number = number == std::numeric_limits<std::int64_t>::max() ? number : number + 1;
    }
}

void Identifier::updateNextValue(const IdValue& value) {
    Counter& c = counter();
    const std::lock_guard lock(c.mutex);
    if (std::tie(value.domain, value.number) > std::tie(c.next.domain, c.next.number)) {
        c.next = value;
    }
}

} // namespace Zorvan
