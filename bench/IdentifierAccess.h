#pragma once
// The identifier service offers its merge and its snapshot of the next
// value to ZvFileIO alone. The baselines of the identifier operations must
// make exactly the calls the library makes, so they reach the two through
// the one standard route that needs no change to the service: access is
// not checked for the names in an explicit instantiation, where a friend
// function hands out their addresses. For benchmarks only.

#include "Identifier/Identifier.h"

namespace Zorvan::bench {

struct MergeIdentifier {
    using type = void (*)(const Identifier::IdValue&);
    friend type address(MergeIdentifier);
};
struct NextIdentifier {
    using type = const Identifier::IdValue& (*)();
    friend type address(NextIdentifier);
};

template <class Tag, typename Tag::type member>
struct Exposed {
    friend typename Tag::type address(Tag) { return member; }
};
template struct Exposed<MergeIdentifier, &Identifier::updateNextValue>;
template struct Exposed<NextIdentifier, &Identifier::nextValue>;

// Identifier::updateNextValue(value) and Identifier::nextValue().
inline void mergeIdentifier(const Identifier::IdValue& value) { address(MergeIdentifier{})(value); }
inline const Identifier::IdValue& nextIdentifier() { return address(NextIdentifier{})(); }

} // namespace Zorvan::bench
