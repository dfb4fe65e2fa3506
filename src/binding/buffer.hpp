// buffer.hpp: the buffer fast path, which yields exactly the floats the element path would, or declines.
#pragma once

#include <optional>
#include <vector>

#include "binding/python.hpp"

namespace tessaray::binding {

// The floats of `obj` read straight from its memory, when it is a
// one-dimensional numpy.ndarray or numpy.memmap, array.array, memoryview,
// bytes or bytearray of a plain number format: each element becomes exactly
// the float the element path makes of its Python value.  Nothing, with no exception
// pending, for every other object, which the element path then converts
// (errors included).  Throws core::OutOfMemory when the floats cannot be
// allocated.
std::optional<std::vector<float>> buffer_floats(PyObject* obj);

}  // namespace tessaray::binding
