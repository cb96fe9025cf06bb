#pragma once
/// @file
/// Identifier: the process-wide source of object identifiers. Each value is
/// a (number, domain) pair; create() hands out the next one and advances the
/// counter. Design files carry the counter: opening a file merges the file's
/// value into the counter, saving writes the counter into the file.
///
/// Merge rule of updateNextValue: the counter becomes the larger of itself
/// and the file's value, comparing the domain first and the number second.
/// A file's value is the next identifier it would have handed out, so every
/// identifier stored in it is smaller; after the merge, create() returns
/// only identifiers larger than all of them, and larger than any handed out
/// before. Merging (0, 0), the value of a file without a counter, changes
/// nothing.
///
/// Thread-safety: every operation may be called from any thread.

#include <cstdint>

#include "Identifier/IdentifierExport.h"

namespace Zorvan {

class ZvFileIO;

class SERVICES_IDENTIFIER_EXPORT Identifier {
public:
    struct IdValue {
        std::int64_t number = 0;
        std::int16_t domain = 0;

        bool operator==(const IdValue&) const = default;
    };

    /// Returns a new identifier, never returned before in this process and
    /// never one of a file merged before. Throws std::overflow_error when the
    /// domain's numbers are used up.
    static IdValue create();
    /// Makes create() return only numbers larger than `number` from now on,
    /// whatever the counter says: opening a design reserves the largest
    /// identity it holds, so that a counter stored behind the design's
    /// identities (by an older or damaged writer) never hands one out again.
    static void reserveThrough(std::int64_t number);

private:
    friend class ZvFileIO;

    /// The value create() returns next. The reference is to a snapshot owned
    /// by the calling thread and taken under the service's lock, so reading
    /// it never races with another thread's create() or merge; it stays valid
    /// until this thread's next call.
    static const IdValue& nextValue();
    /// Merges a value read from a file into the counter (see the rule above).
    static void updateNextValue(const IdValue& value);
};

} // namespace Zorvan
