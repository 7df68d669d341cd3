// The extension module `_zarv`: multi-phase initialisation, module state,
// `ZarvError`, the method table and `__all__`.
#include "python/functions.hpp"

namespace zarv::py {
namespace {

#define ZARV_FN(name, sig_and_doc) \
  {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_##name)), METH_VARARGS | METH_KEYWORDS, sig_and_doc}

PyMethodDef module_methods[] = {
    ZARV_FN(inspect,
            "inspect(source)\n--\n\n"
            "Read an archive's metadata (header + footer index; no payload decode)."),
    {nullptr, nullptr, 0, nullptr},
};

// Class installers, in the order their names appear in __all__.
using Installer = int (*)(PyObject*, ModuleState*);
const Installer installers[] = {add_info_type};

int add_all(PyObject* module) {
  PyRef all(PyList_New(0));
  if (!all) return -1;
  auto append = [&](const char* name) {
    PyRef s(PyUnicode_FromString(name));
    return s ? PyList_Append(all.p, s.p) : -1;
  };
  // Functions, then every class the installers added, then the exception.
  for (const PyMethodDef* m = module_methods; m->ml_name; ++m) {
    if (append(m->ml_name) < 0) return -1;
  }
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (PyType_Check(value) && value != module_state(module)->zarv_error) {
      if (PyList_Append(all.p, key) < 0) return -1;
    }
  }
  if (append("ZarvError") < 0) return -1;
  Py_INCREF(all.p);
  if (PyModule_AddObject(module, "__all__", all.p) < 0) {
    Py_DECREF(all.p);
    return -1;
  }
  return 0;
}

int module_exec(PyObject* module) {
  ModuleState* st = module_state(module);
  st->zarv_error = PyErr_NewExceptionWithDoc("zarv.ZarvError", "Base error for zarv archive failures.",
                                             PyExc_Exception, nullptr);
  if (!st->zarv_error) return -1;
  Py_INCREF(st->zarv_error);
  if (PyModule_AddObject(module, "ZarvError", st->zarv_error) < 0) {
    Py_DECREF(st->zarv_error);
    return -1;
  }
  for (Installer install : installers) {
    if (install(module, st) < 0) return -1;
  }
  return add_all(module);
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* st = module_state(module);
  if (!st) return 0;
  Py_VISIT(st->zarv_error);
  Py_VISIT(st->info_type);
  return 0;
}

int module_clear(PyObject* module) {
  ModuleState* st = module_state(module);
  if (!st) return 0;
  Py_CLEAR(st->zarv_error);
  Py_CLEAR(st->info_type);
  return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_zarv",
    "The compiled core module. Imported and re-exported by the `zarv` Python\n"
    "package (`python/zarv/__init__.py`), which adds `zarv.remote` on top.",
    sizeof(ModuleState),
    module_methods,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};

}  // namespace
}  // namespace zarv::py

PyMODINIT_FUNC PyInit__zarv(void) { return PyModuleDef_Init(&zarv::py::module_def); }
