// Argument conversion, byte sources over Python objects and error mapping.
#include "python/frame.hpp"

#include <cerrno>
#include <cstring>

#include "core/workers.hpp"

namespace zarv::py {

ModuleState* module_state(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

ModuleState* type_state(PyTypeObject* type) {
  return module_state(PyType_GetModule(type));
}

namespace {

PyObject* os_error_type(int err) {
  switch (err) {
    case ENOENT: return PyExc_FileNotFoundError;
    case EACCES:
    case EPERM: return PyExc_PermissionError;
    case EISDIR: return PyExc_IsADirectoryError;
    case ENOTDIR: return PyExc_NotADirectoryError;
    case EEXIST: return PyExc_FileExistsError;
    case EINTR: return PyExc_InterruptedError;
    default: return PyExc_OSError;
  }
}

}  // namespace

int add_type(PyObject* module, PyType_Spec* type_def, const char* name, PyObject** slot) {
  *slot = PyType_FromModuleAndSpec(module, type_def, nullptr);
  if (!*slot) return -1;
  return PyModule_AddObjectRef(module, name, *slot);
}

void free_object(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free))(self);
  Py_DECREF(tp);
}

std::string type_name(PyObject* obj) {
  PyRef name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
  if (!name) {
    PyErr_Clear();
    return "object";
  }
  const char* s = PyUnicode_AsUTF8AndSize(name.p, nullptr);
  if (!s) {
    PyErr_Clear();
    return "object";
  }
  return s;
}

namespace {

}  // namespace

PyObject* raise_archive_error(ModuleState* st, const ArchiveError& err) {
  // Texts can carry a path's bytes, which need not be UTF-8: they are shown
  // with U+FFFD in place of what does not decode.
  const std::string text = err.kind == ErrorKind::Io ? err.text : err.message();
  PyRef message(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!message) return nullptr;
  if (err.kind != ErrorKind::Io) {
    PyErr_SetObject(st->zarv_error, message.p);
    return nullptr;
  }
  // OSError (or the errno's subclass) whose str() is exactly the I/O text,
  // with `errno` filled in when the OS reported one. (`strerror` stays unset:
  // OSError.__str__ would otherwise replace the text with "[Errno n] ...".)
  PyObject* type = os_error_type(err.os_errno);
  PyRef exc(PyObject_CallFunctionObjArgs(type, message.p, nullptr));
  if (!exc) return nullptr;
  if (err.os_errno) {
    PyRef no(PyLong_FromLong(err.os_errno));
    if (!no || PyObject_SetAttrString(exc.p, "errno", no.p) < 0) return nullptr;
  }
  PyErr_SetObject(type, exc.p);
  return nullptr;
}

// ---- file-like source ----

namespace {

// Reads from a Python object's read(k). Each call into Python takes the
// interpreter lock for its duration; bytes beyond the request are kept.
class FileLikeSource final : public ByteSource {
 public:
  explicit FileLikeSource(PyObject* read_method) : read_(read_method) {}
  PyObject* read_method() const { return read_; }
  ~FileLikeSource() override {
    PyGILState_STATE g = PyGILState_Ensure();
    Py_XDECREF(read_);
    PyGILState_Release(g);
  }

  Result<size_t> read(uint8_t* dst, size_t n) override {
    if (n == 0) return size_t{0};
    if (pos_ < buf_.size()) return take(dst, n);
    buf_.clear();
    pos_ = 0;
    std::optional<ArchiveError> failure;
    PyGILState_STATE g = PyGILState_Ensure();
    PyObject* res = PyObject_CallFunction(read_, "n", static_cast<Py_ssize_t>(n));
    if (!res) {
      failure = ArchiveError::io(current_exception_text());
    } else {
      char* data = nullptr;
      Py_ssize_t len = 0;
      if (PyBytes_Check(res)) {
        PyBytes_AsStringAndSize(res, &data, &len);
      } else if (PyByteArray_Check(res)) {
        data = PyByteArray_AsString(res);
        len = PyByteArray_Size(res);
      } else {
        failure = ArchiveError::io("file-like .read() must return bytes");
      }
      if (!failure && len > 0) buf_.assign(data, data + len);
      Py_DECREF(res);
    }
    PyGILState_Release(g);
    if (failure) return *std::move(failure);
    if (buf_.empty()) return size_t{0};
    return take(dst, n);
  }

 private:
  size_t take(uint8_t* dst, size_t n) {
    size_t k = std::min(n, buf_.size() - pos_);
    std::memcpy(dst, buf_.data() + pos_, k);
    pos_ += k;
    return k;
  }

  // str() of the pending exception, which is cleared.
  static std::string current_exception_text() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    std::string text = "file-like .read() failed";
    if (value) {
      PyRef s(PyObject_Str(value));
      if (s) {
        if (const char* c = PyUnicode_AsUTF8AndSize(s.p, nullptr)) text = c;
      }
    }
    PyErr_Clear();
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return text;
  }

  PyObject* read_;
  std::vector<uint8_t> buf_;
  size_t pos_ = 0;
};

bool is_pathlike(PyObject* obj) {
  if (PyUnicode_Check(obj)) return true;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  int has = PyObject_HasAttrString(type, "__fspath__");
  return has == 1;
}

// str/PathLike -> filesystem path bytes; nullopt with the error set. A NUL
// in the name is kept: opening the path reports it as an OSError.
std::optional<std::string> fs_path(PyObject* obj) {
  PyRef path(PyOS_FSPath(obj));
  if (!path) return std::nullopt;
  PyRef converted(PyUnicode_Check(path.p) ? PyUnicode_EncodeFSDefault(path.p) : Py_NewRef(path.p));
  if (!converted) return std::nullopt;
  char* data;
  Py_ssize_t len;
  if (PyBytes_AsStringAndSize(converted.p, &data, &len) < 0) return std::nullopt;
  return std::string(data, static_cast<size_t>(len));
}

}  // namespace

std::unique_ptr<ByteSource> convert_source(ModuleState* st, PyObject* obj, SourceKinds kinds) {
  if (PyBytes_Check(obj)) {
    char* data;
    Py_ssize_t len;
    if (PyBytes_AsStringAndSize(obj, &data, &len) < 0) return nullptr;
    try {
      return std::make_unique<MemorySource>(std::vector<uint8_t>(data, data + len));
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return nullptr;
    }
  }
  if (is_pathlike(obj)) {
    auto path = fs_path(obj);
    if (!path) return nullptr;
    auto opened = FileSource::open(*path);
    if (!opened.ok()) {
      raise_archive_error(st, opened.error());
      return nullptr;
    }
    return std::move(opened).value();
  }
  if (kinds == SourceKinds::PathOrBytes) {
    PyErr_SetString(PyExc_TypeError, "source must be bytes, a str path, or an os.PathLike");
    return nullptr;
  }
  PyObject* read = PyObject_GetAttrString(obj, "read");
  if (!read) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError,
                    "source must be bytes, a str/os.PathLike path, or a file-like object with .read()");
    return nullptr;
  }
  // read() is called from threads that attach to the main interpreter; from
  // a subinterpreter that would run its objects under the wrong interpreter
  // (and deadlock on release).
  if (PyInterpreterState_GetID(PyInterpreterState_Get()) != 0) {
    Py_DECREF(read);
    PyErr_SetString(PyExc_RuntimeError,
                    "file-like sources need the main interpreter; pass bytes or a path in a subinterpreter");
    return nullptr;
  }
  return std::make_unique<FileLikeSource>(read);
}

PyObject* file_like_object(const ByteSource& src) {
  const auto* f = dynamic_cast<const FileLikeSource*>(&src);
  return f ? f->read_method() : nullptr;
}

std::optional<std::string> convert_path(PyObject* obj, const char* argname) {
  if (!is_pathlike(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected str or os.PathLike object, not %s",
                 argname, type_name(obj).c_str());
    return std::nullopt;
  }
  return fs_path(obj);
}

bool convert_password(PyObject* obj, std::optional<SecretString>* out) {
  if (obj == nullptr || obj == Py_None) {
    out->reset();
    return true;
  }
  if (PyUnicode_Check(obj)) {
    Py_ssize_t len;
    const char* s = PyUnicode_AsUTF8AndSize(obj, &len);
    if (!s) return false;
    out->emplace(s, static_cast<size_t>(len));
    return true;
  }
  if (PyBytes_Check(obj)) {
    char* data;
    Py_ssize_t len;
    if (PyBytes_AsStringAndSize(obj, &data, &len) < 0) return false;
    out->emplace(data, static_cast<size_t>(len));
    return true;
  }
  PyErr_SetString(PyExc_TypeError, "password must be str or bytes");
  return false;
}

bool convert_u64(PyObject* obj, const char* argname, uint64_t* out) {
  // Integer-like objects (numpy integers, anything with __index__) count as
  // their integer value, as they do for Python's own integer arguments.
  PyRef index;
  if (!PyLong_Check(obj)) {
    if (!PyIndex_Check(obj)) {
      PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be interpreted as an integer",
                   argname, type_name(obj).c_str());
      return false;
    }
    index.p = PyNumber_Index(obj);
    if (!index) return false;
    obj = index.p;
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    // Keep OverflowError (negative or too large), but name the argument.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef s(value ? PyObject_Str(value) : nullptr);
    const char* text = s ? PyUnicode_AsUTF8AndSize(s.p, nullptr) : nullptr;
    std::string msg = std::string("argument '") + argname + "': " + (text ? text : "out of range");
    PyErr_Clear();
    PyErr_SetString(type ? type : PyExc_OverflowError, msg.c_str());
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return false;
  }
  *out = v;
  return true;
}

bool convert_threads(PyObject* obj, unsigned* workers) {
  uint64_t threads = 0;
  if (obj != nullptr && !convert_u64(obj, "threads", &threads)) return false;
  *workers = resolve_workers(threads);
  return true;
}

bool convert_stream_name(PyObject* obj, StreamKind* out) {
  Py_ssize_t len;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &len);
  if (!s && !PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
  PyErr_Clear();  // a name UTF-8 cannot hold (lone surrogates) is no stream's
  const std::string_view name = s ? std::string_view(s, static_cast<size_t>(len)) : std::string_view();
  if (s && (name == "names" || name == "name")) {
    *out = StreamKind::Names;
  } else if (s && (name == "sequence" || name == "seq")) {
    *out = StreamKind::Sequence;
  } else if (s && (name == "quality" || name == "qual")) {
    *out = StreamKind::Quality;
  } else {
    std::string msg = "unknown stream " + debug_quote_str(obj) + "; expected 'names', 'sequence', or 'quality'";
    PyErr_SetString(PyExc_ValueError, msg.c_str());
    return false;
  }
  return true;
}

bool convert_streams(PyObject* obj, StreamSelection* out) {
  if (obj == nullptr || obj == Py_None) {
    *out = StreamSelection::all();
    return true;
  }
  StreamSelection sel = StreamSelection::none();
  auto add = [&sel](StreamKind k) {
    switch (k) {
      case StreamKind::Names: sel.names = true; break;
      case StreamKind::Sequence: sel.sequence = true; break;
      case StreamKind::Quality: sel.quality = true; break;
    }
  };
  StreamKind k;
  if (PyUnicode_Check(obj)) {
    if (!convert_stream_name(obj, &k)) return false;
    add(k);
    *out = sel;
    return true;
  }
  PyRef it(PyObject_GetIter(obj));
  if (!it) {
    PyErr_SetString(PyExc_TypeError,
                    "streams must be None, a stream name, or an iterable of stream names "
                    "('names', 'sequence', 'quality')");
    return false;
  }
  while (PyObject* item = PyIter_Next(it.p)) {
    PyRef hold(item);
    if (!PyUnicode_Check(item)) {
      PyErr_SetString(PyExc_TypeError,
                      "streams items must be str stream names ('names', 'sequence', 'quality')");
      return false;
    }
    if (!convert_stream_name(item, &k)) return false;
    add(k);
  }
  if (PyErr_Occurred()) return false;
  *out = sel;
  return true;
}

namespace {

// Appends code point `cp` as UTF-8.
void put_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Decodes one code point at s[i]; on an invalid sequence returns U+FFFD and
// consumes its maximal valid prefix (at least one byte), as lossy UTF-8
// decoders do.
uint32_t next_code_point(std::string_view s, size_t& i) {
  const auto b = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  uint8_t c = b(i);
  if (c < 0x80) {
    ++i;
    return c;
  }
  size_t need;
  uint32_t cp;
  uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) { need = 1; cp = c & 0x1F; }
  else if (c >= 0xE0 && c <= 0xEF) {
    need = 2; cp = c & 0x0F;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 3; cp = c & 0x07;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    ++i;
    return 0xFFFD;
  }
  size_t j = i + 1;
  for (size_t k = 0; k < need; ++k, ++j) {
    uint8_t lo_k = k == 0 ? lo : 0x80, hi_k = k == 0 ? hi : 0xBF;
    if (j >= s.size() || b(j) < lo_k || b(j) > hi_k) {
      i = j;
      return 0xFFFD;
    }
    cp = (cp << 6) | (b(j) & 0x3F);
  }
  i = j;
  return cp;
}

}  // namespace

namespace {

// Marks that extend the character before them (Grapheme_Extend) without
// being of category Mn or Me: the Other_Grapheme_Extend code points of
// current Unicode, which also covers spacing marks that older databases (as
// an interpreter may carry) do not list.
bool other_grapheme_extend(uint32_t cp) {
  static constexpr uint32_t kRanges[][2] = {
      {0x9BE, 0x9BE}, {0x9D7, 0x9D7}, {0xB3E, 0xB3E}, {0xB57, 0xB57}, {0xBBE, 0xBBE}, {0xBD7, 0xBD7},
      {0xCC0, 0xCC0}, {0xCC2, 0xCC2}, {0xCC7, 0xCC8}, {0xCCA, 0xCCB}, {0xCD5, 0xCD6}, {0xD3E, 0xD3E},
      {0xD57, 0xD57}, {0xDCF, 0xDCF}, {0xDDF, 0xDDF}, {0x1715, 0x1715}, {0x1734, 0x1734}, {0x1B35, 0x1B35},
      {0x1B3B, 0x1B3B}, {0x1B3D, 0x1B3D}, {0x1B43, 0x1B44}, {0x1BAA, 0x1BAA}, {0x1BF2, 0x1BF3},
      {0x200C, 0x200C}, {0x302E, 0x302F}, {0xA953, 0xA953}, {0xA9C0, 0xA9C0}, {0xFF9E, 0xFF9F},
      {0x111C0, 0x111C0}, {0x11235, 0x11235}, {0x1133E, 0x1133E}, {0x1134D, 0x1134D}, {0x11357, 0x11357},
      {0x114B0, 0x114B0}, {0x114BD, 0x114BD}, {0x115AF, 0x115AF}, {0x116B6, 0x116B6}, {0x11930, 0x11930},
      {0x1193D, 0x1193D}, {0x16FF0, 0x16FF1}, {0x1D165, 0x1D165}, {0x1D166, 0x1D166}, {0x1D16D, 0x1D16D},
      {0x1D16E, 0x1D172}, {0xE0020, 0xE007F},
  };
  for (const auto& r : kRanges) {
    if (cp >= r[0] && cp <= r[1]) return true;
  }
  return false;
}

// Whether a code point is shown as \u{..}: control and format characters,
// separators other than the ASCII space, surrogates, private-use and
// unassigned code points, and marks that extend the previous character (a
// literal one would fuse with the quote or the character before it). The
// general category comes from the interpreter's Unicode database.
bool escaped_in_quote(uint32_t cp) {
  if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return true;
  if (cp < 0xA0) return false;
  if (other_grapheme_extend(cp)) return true;
  bool escaped = false;
  PyObject* module = PyImport_ImportModule("unicodedata");
  PyObject* ch = module ? PyUnicode_FromOrdinal(static_cast<int>(cp)) : nullptr;
  PyObject* category = ch ? PyObject_CallMethod(module, "category", "O", ch) : nullptr;
  if (category) {
    const char* c = PyUnicode_AsUTF8AndSize(category, nullptr);
    if (c) {
      const std::string_view cat(c);
      escaped = cat == "Cc" || cat == "Cf" || cat == "Cs" || cat == "Co" || cat == "Cn" || cat == "Zl" ||
                cat == "Zp" || cat == "Zs" || cat == "Mn" || cat == "Me";
    }
  }
  Py_XDECREF(category);
  Py_XDECREF(ch);
  Py_XDECREF(module);
  // Without the database (it cannot fail to import in practice) the
  // character is shown as it is.
  if (PyErr_Occurred()) PyErr_Clear();
  return escaped;
}

}  // namespace

std::string debug_quote(std::string_view bytes) {
  std::string out = "\"";
  for (size_t i = 0; i < bytes.size();) {
    uint32_t cp = next_code_point(bytes, i);
    switch (cp) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case 0: out += "\\0"; continue;
      default: break;
    }
    if (escaped_in_quote(cp)) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", cp);
      out += buf;
    } else {
      put_utf8(out, cp);
    }
  }
  out += '"';
  return out;
}

std::string debug_quote_str(PyObject* str) {
  Py_ssize_t len;
  if (const char* s = PyUnicode_AsUTF8AndSize(str, &len)) return debug_quote({s, static_cast<size_t>(len)});
  PyErr_Clear();
  // UTF-8 cannot hold it (it has lone surrogates): each surrogate is written
  // as its escape, the text between them as usual.
  std::string out = "\"", run;
  const auto flush = [&] {
    const std::string q = debug_quote(run);
    out.append(q, 1, q.size() - 2);
    run.clear();
  };
  const Py_ssize_t n = PyUnicode_GetLength(str);
  for (Py_ssize_t i = 0; i < n; ++i) {
    const Py_UCS4 cp = PyUnicode_ReadChar(str, i);
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      flush();
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
      out += buf;
    } else {
      put_utf8(run, cp);
    }
  }
  flush();
  return out + '"';
}

}  // namespace zarv::py
