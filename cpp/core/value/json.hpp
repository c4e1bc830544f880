// Values written as JSON text.
#pragma once

#include <string>

#include "core/value/value.hpp"

namespace zelka::value {

// `v` as JSON, laid out as Python's json.dumps(v, indent=indent) writes it: every member and
// element on its own line, indented by `indent` spaces per level (none when negative), "," at the
// end of the line between them and ": " after a key; "{}" and "[]" for empty containers.  ASCII
// only: strings use the standard escapes and \uXXXX (surrogate pairs above U+FFFF) for every other
// character outside ' '..'~'.  Integers of any size in decimal, floats in their shortest round-trip
// form, NaN, Infinity and -Infinity; tuples as arrays; an opaque value as the string of its text.
// Keys that are not strings are written as json.dumps writes them (integers, floats, true, false,
// null) or, for any other kind, as their text form. Any depth: the tree is walked with an explicit
// stack.
std::string json_text(const Value& v, int indent);

}  // namespace zelka::value
