// Texts taken from interpreter objects, for messages.
#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <string>

namespace tavlomer::boundary {

// The UTF-8 text of a str object.  Characters that UTF-8 cannot encode (lone
// surrogates) come out as U+FFFD, one per ill-formed byte of their
// surrogate-preserving encoding, exactly as the interpreter's own UTF-8
// decoder with "replace" would give them.
[[nodiscard]] std::string utf8_lossy(PyObject* str_object);

// str(object), or nothing with the interpreter's exception left pending.
[[nodiscard]] std::optional<std::string> try_str(PyObject* object);

// str(object) for a message.  If str() raises, that exception goes to the
// interpreter's unraisable-exception hook and the text is
// "<unprintable NAME object>" (NAME: the name of the object's type), or
// "<unprintable object>" if even that name cannot be had.
[[nodiscard]] std::string display(PyObject* object);

// A count in decimal.  (Not std::to_string, whose digit table would become
// an exported symbol of the module.)
[[nodiscard]] std::string decimal(std::size_t value);

// The qualified name of the object's type; nothing (and no pending
// exception) if it cannot be read or is not a str.
[[nodiscard]] std::optional<std::string> type_qualname(PyObject* object);

}  // namespace tavlomer::boundary
