// `verify`.
#include "core/verify.hpp"
#include "python/functions.hpp"

namespace zarv::py {

PyObject* py_verify(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"source", "threads", "password", nullptr};
  PyObject *source, *threads = nullptr, *password = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OO:verify", const_cast<char**>(kwlist), &source, &threads,
                                   &password)) {
    return nullptr;
  }
  ModuleState* st = module_state(module);
  unsigned workers;
  std::optional<SecretString> passphrase;
  if (!convert_threads(threads, &workers) || !convert_password(password, &passphrase)) return nullptr;
  std::unique_ptr<ByteSource> src = convert_source(st, source, SourceKinds::PathOrBytes);
  if (!src) return nullptr;
  auto ok = run_released<bool>(st, [&]() -> Result<bool> {
    ZARV_TRY(verify_archive(*src, workers, passphrase));
    return true;
  });
  if (!ok) return nullptr;
  Py_RETURN_NONE;
}

}  // namespace zarv::py
