// vectorstore_type.hpp: the Vectorstore class object.
#pragma once

#include "binding/error.hpp"

namespace tessaray::binding {

// The Vectorstore class (borrowed), created on first need and kept for the
// life of the process.
PyResult<PyObject*> vectorstore_class();

}  // namespace tessaray::binding
