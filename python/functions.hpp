// The module's functions and class installers, one entry per feature file.
// module.cpp lists them in the method table and calls the installers at exec.
#pragma once

#include "python/frame.hpp"

namespace zarv::py {

// info.cpp
PyObject* py_inspect(PyObject* module, PyObject* args, PyObject* kwargs);
int add_info_type(PyObject* module, ModuleState* st);

}  // namespace zarv::py
