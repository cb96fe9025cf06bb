#pragma once
#include <ostream>
#include <string>

namespace zvfile {

// A short scripted story on real files in `folder` (created when missing):
// create, rewrite and update a design, inspect it, make and delete an
// autosave copy, and meet each refusal once. Returns 0 when every step
// behaved as told. Refuses a folder that holds a file of the story's names
// already, so that it never overwrites one of the user's.
int demo(const std::string& folder, std::ostream& out, std::ostream& err);

} // namespace zvfile
