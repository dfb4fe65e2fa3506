// buffer.hpp: the buffer fast path: exactly the floats the element path gives (NaN quiet bits aside), or nothing.
#pragma once

#include <optional>
#include <vector>

#include "binding/python.hpp"

namespace tessaray::binding {

// The floats of `obj` read straight from its memory, when it is a
// one-dimensional numpy.ndarray or numpy.memmap, array.array, memoryview,
// bytes or bytearray of a plain number format: each element becomes exactly
// the float the element path makes of its Python value, except that a
// signalling float32 NaN may stay signalling (every score that meets a NaN
// is the same quiet NaN, so no result tells them apart).  Nothing, with no
// exception pending, for every other object, which the element path then
// converts (errors included).  Throws core::OutOfMemory when the floats
// cannot be allocated.
std::optional<std::vector<float>> buffer_floats(PyObject* obj);

}  // namespace tessaray::binding
