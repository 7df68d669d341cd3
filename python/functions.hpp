// The module's functions and class installers, one entry per feature file.
// module.cpp lists them in the method table and calls the installers at exec.
#pragma once

#include "core/block.hpp"
#include "python/frame.hpp"

namespace zarv::py {

// info.cpp
PyObject* py_inspect(PyObject* module, PyObject* args, PyObject* kwargs);
int add_info_type(PyObject* module, ModuleState* st);

// streaming.cpp
PyObject* py_open(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* py_decompress_to_path(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* py_decompress_to_bytes(PyObject* module, PyObject* args, PyObject* kwargs);
int add_streaming_types(PyObject* module, ModuleState* st);

// verify.cpp
PyObject* py_verify(PyObject* module, PyObject* args, PyObject* kwargs);

// random_access.cpp
PyObject* py_open_index(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* py_parse_index_suffix(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* py_read_block(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* py_read_names(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* py_read_sequences(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* py_read_qualities(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* py_decode_names_bytes(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* py_decode_sequences_bytes(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* py_decode_qualities_bytes(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* py_quality_needs_sequence_bytes(PyObject* module, PyObject* args, PyObject* kwargs);
int add_random_access_types(PyObject* module, ModuleState* st);

// estimate.cpp
PyObject* py_estimate(PyObject* module, PyObject* args, PyObject* kwargs);
int add_estimate_type(PyObject* module, ModuleState* st);

// streaming.cpp: a `Record` object.
PyObject* make_record(ModuleState* st, const Record& rec);

}  // namespace zarv::py
