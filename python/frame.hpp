// The frame every module function follows: argument conversion with the
// interpreter lock held, archive work with it released, and one place that maps
// an ArchiveError to a Python exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/byte_source.hpp"
#include "core/footer.hpp"
#include "core/result.hpp"
#include "core/stream_selection.hpp"
#include "crypto/secret.hpp"

namespace zarv::py {

// Per-module state: the exception and every class. No static Python objects.
struct ModuleState {
  PyObject* zarv_error = nullptr;
  PyObject* info_type = nullptr;
  PyObject* record_type = nullptr;
  PyObject* reader_type = nullptr;
  PyObject* index_type = nullptr;
  PyObject* group_loc_type = nullptr;
  PyObject* estimate_type = nullptr;
};

ModuleState* module_state(PyObject* module);
// State of the module that defined `type` (one of this module's classes).
ModuleState* type_state(PyTypeObject* type);

// Raises `err` as the module does: Io as OSError, every other kind as ZarvError.
// Returns nullptr for convenience.
PyObject* raise_archive_error(ModuleState* st, const ArchiveError& err);

// Releases the interpreter lock for its lifetime.
class GilRelease {
 public:
  GilRelease() : save_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(save_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* save_;
};

// Runs `work` (returning Result<T>) with the interpreter lock released and
// catches everything it throws. On failure the Python error is set and the
// optional is empty.
template <class T, class Work>
std::optional<T> run_released(ModuleState* st, Work&& work) {
  std::optional<Result<T>> out;
  bool no_memory = false;
  std::string crash;
  {
    GilRelease release;
    try {
      out.emplace(work());
    } catch (const std::bad_alloc&) {
      no_memory = true;
    } catch (const std::exception& e) {
      crash = e.what();
    } catch (...) {
      crash = "unexpected failure";
    }
  }
  if (no_memory) {
    PyErr_NoMemory();
    return std::nullopt;
  }
  if (!out) {
    PyErr_SetString(st->zarv_error, crash.c_str());
    return std::nullopt;
  }
  if (!out->ok()) {
    raise_archive_error(st, out->error());
    return std::nullopt;
  }
  return std::move(*out).value();
}

// An owned reference.
struct PyRef {
  PyObject* p = nullptr;
  PyRef() = default;
  explicit PyRef(PyObject* o) : p(o) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& o) noexcept : p(o.p) { o.p = nullptr; }
  ~PyRef() { Py_XDECREF(p); }
  PyObject* release() { PyObject* r = p; p = nullptr; return r; }
  explicit operator bool() const { return p != nullptr; }
};

// ---- argument conversion (interpreter lock held; nullptr/false = error set) ----

enum class SourceKinds { PathOrBytes, PathBytesOrFileLike };

// `bytes` -> memory copy; str/os.PathLike -> opened file; with
// PathBytesOrFileLike, an object with `read` -> file-like source.
std::unique_ptr<ByteSource> convert_source(ModuleState* st, PyObject* obj, SourceKinds kinds);
// The `read` method a file-like source from convert_source() holds (one
// reference, owned by the source), or nullptr for other sources.
PyObject* file_like_object(const ByteSource& src);

// A filesystem path from str/os.PathLike (for `dest`), or nullopt with TypeError.
std::optional<std::string> convert_path(PyObject* obj, const char* argname);

// None -> no passphrase; str -> UTF-8 bytes; bytes -> as given.
bool convert_password(PyObject* obj, std::optional<SecretString>* out);

// Non-negative int; returns false with the error set.
bool convert_u64(PyObject* obj, const char* argname, uint64_t* out);
// `threads`: non-negative int resolved by the worker-pool rule.
bool convert_threads(PyObject* obj, unsigned* workers);

// `streams`: None, a stream name, or an iterable of stream names.
bool convert_streams(PyObject* obj, StreamSelection* out);
// One stream name ("names"/"name", "sequence"/"seq", "quality"/"qual").
bool convert_stream_name(PyObject* obj, StreamKind* out);

// Creates one of the module's classes from `type_def`, stores it in `*slot` (the
// module state keeps that reference) and adds it to the module as `name`.
int add_type(PyObject* module, PyType_Spec* type_def, const char* name, PyObject** slot);

// The end of every class's dealloc: frees the object and releases its heap type.
void free_object(PyObject* self);

// The `__name__` of obj's type, for conversion messages.
std::string type_name(PyObject* obj);

// Text in double quotes with backslash escapes: \" \\ \t \r \n \0, and
// \u{hex} for every other character that would not show as itself (control
// and format characters, separators other than the space, private-use and
// unassigned code points, combining marks); invalid UTF-8 is shown as
// U+FFFD. Needs the interpreter (its Unicode database).
std::string debug_quote(std::string_view bytes);
// The same for a str, including one UTF-8 cannot hold (lone surrogates are
// shown as \u{...}).
std::string debug_quote_str(PyObject* str);

}  // namespace zarv::py
