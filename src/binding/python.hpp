// python.hpp: the interpreter's C API, included the one way this module needs it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
