// store_class.hpp: tessaray.Vectorstore seen from a module beside tessaray: checked once, and store arguments.
#pragma once

#include "binding/error.hpp"
#include "binding/vectorstore_object.hpp"

namespace tessaray::binding {

// tessaray.Vectorstore (borrowed), imported and checked on first need and
// kept for the life of the process.  An ImportError when the class is not
// the one of the tessaray extension built with this module.
PyResult<PyObject*> store_class();

// The argument `store`: a tessaray.Vectorstore exactly (the class is final),
// or the TypeError "argument 'store': ...".
PyResult<VectorstoreObject*> store_arg(PyObject* obj);

}  // namespace tessaray::binding
