// zarv._testkit: the archive assembler for the Python tests. Not part of the
// published module; every function takes plain values or a dict of fields.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "core/crc32c.hpp"
#include "python/frame.hpp"
#include "writer/archive_writer.hpp"
#include "writer/assembler.hpp"

namespace {

using zarv::writer::Bytes;

// Field access on a dict of fields; false means a Python error is set.
struct Fields {
  PyObject* dict;

  PyObject* get(const char* key) const {
    if (!dict || dict == Py_None) return nullptr;
    PyObject* v = PyDict_GetItemString(dict, key);  // borrowed
    return v == Py_None ? nullptr : v;
  }
  template <class T>
  bool num(const char* key, T* out) const {
    PyObject* v = get(key);
    if (!v) return true;
    unsigned long long x = PyLong_AsUnsignedLongLong(v);
    if (PyErr_Occurred()) return false;
    *out = static_cast<T>(x);
    return true;
  }
  template <class T>
  bool opt(const char* key, std::optional<T>* out) const {
    PyObject* v = get(key);
    if (!v) return true;
    unsigned long long x = PyLong_AsUnsignedLongLong(v);
    if (PyErr_Occurred()) return false;
    *out = static_cast<T>(x);
    return true;
  }
};

bool to_bytes(PyObject* obj, Bytes* out) {
  char* data;
  Py_ssize_t len;
  if (PyBytes_AsStringAndSize(obj, &data, &len) < 0) return false;
  out->assign(data, data + len);
  return true;
}

PyObject* from_bytes(const Bytes& b) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()), static_cast<Py_ssize_t>(b.size()));
}

bool header_spec(PyObject* dict, zarv::writer::HeaderSpec* layout) {
  Fields f{dict};
  if (!f.num("major", &layout->major) || !f.num("minor", &layout->minor) ||
      !f.num("features", &layout->required_features) || !f.num("seq_order", &layout->seq_order) ||
      !f.num("quality_binning", &layout->quality_binning) || !f.num("flags", &layout->flags) ||
      !f.num("group_size", &layout->group_size) || !f.num("platform", &layout->platform) ||
      !f.opt("crc", &layout->crc)) {
    return false;
  }
  if (PyObject* m = f.get("magic")) {
    Bytes magic;
    if (!to_bytes(m, &magic) || magic.size() != 4) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "magic must be 4 bytes");
      return false;
    }
    std::copy(magic.begin(), magic.end(), layout->magic.begin());
  }
  if (PyObject* region = f.get("extension_region")) {
    Bytes r;
    if (!to_bytes(region, &r)) return false;
    layout->raw_extension_region = std::move(r);
  }
  if (PyObject* exts = f.get("extensions")) {
    PyObject* seq = PySequence_Fast(exts, "extensions must be a sequence of (tag, body)");
    if (!seq) return false;
    Py_ssize_t n = PySequence_Size(seq);
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PySequence_GetItem(seq, i);
      int tag;
      PyObject* body;
      bool ok = item && PyArg_ParseTuple(item, "iS", &tag, &body);
      zarv::writer::ExtensionRecord rec;
      rec.tag = static_cast<uint8_t>(tag);
      ok = ok && to_bytes(body, &rec.body);
      Py_XDECREF(item);
      if (!ok) {
        Py_DECREF(seq);
        return false;
      }
      layout->extensions.push_back(std::move(rec));
    }
    Py_DECREF(seq);
  }
  return true;
}

bool group_loc(PyObject* item, zarv::GroupLoc* g) {
  unsigned long long block_offset, reads;
  PyObject* streams;
  if (!PyArg_ParseTuple(item, "KKO", &block_offset, &reads, &streams)) return false;
  g->block_offset = block_offset;
  g->read_count = static_cast<uint32_t>(reads);
  for (int s = 0; s < zarv::kStreamCount; ++s) {
    PyObject* st = PySequence_GetItem(streams, s);
    if (!st) return false;
    unsigned long long off, len, crc;
    bool ok = PyArg_ParseTuple(st, "KKK", &off, &len, &crc);
    Py_DECREF(st);
    if (!ok) return false;
    g->streams[s] = {off, static_cast<uint32_t>(len), static_cast<uint32_t>(crc)};
  }
  return true;
}

PyObject* group_tuple(const zarv::GroupLoc& g) {
  const auto& s = g.streams;
  return Py_BuildValue("(KI((KII)(KII)(KII)))", (unsigned long long)g.block_offset, g.read_count,
                       (unsigned long long)s[0].offset, s[0].length, s[0].crc,
                       (unsigned long long)s[1].offset, s[1].length, s[1].crc,
                       (unsigned long long)s[2].offset, s[2].length, s[2].crc);
}

PyObject* tk_crc32c(PyObject*, PyObject* arg) {
  Bytes b;
  if (!to_bytes(arg, &b)) return nullptr;
  return PyLong_FromUnsignedLong(zarv::crc32c(b));
}

PyObject* tk_header(PyObject*, PyObject* arg) {
  zarv::writer::HeaderSpec layout;
  if (!header_spec(arg, &layout)) return nullptr;
  return from_bytes(zarv::writer::build_header(layout));
}

PyObject* tk_member_labels(PyObject*, PyObject* args) {
  PyObject* labels;
  PyObject* count = Py_None;
  if (!PyArg_ParseTuple(args, "O|O", &labels, &count)) return nullptr;
  std::vector<std::string> v;
  PyObject* seq = PySequence_Fast(labels, "labels must be a sequence");
  if (!seq) return nullptr;
  for (Py_ssize_t i = 0; i < PySequence_Size(seq); ++i) {
    PyObject* item = PySequence_GetItem(seq, i);
    Bytes b;
    bool ok = item && to_bytes(item, &b);
    Py_XDECREF(item);
    if (!ok) {
      Py_DECREF(seq);
      return nullptr;
    }
    v.emplace_back(b.begin(), b.end());
  }
  Py_DECREF(seq);
  std::optional<uint8_t> c;
  if (count != Py_None) c = static_cast<uint8_t>(PyLong_AsUnsignedLong(count));
  if (PyErr_Occurred()) return nullptr;
  return from_bytes(zarv::writer::member_labels_body(v, c));
}

PyObject* tk_block_frame(PyObject*, PyObject* args) {
  PyObject *payload, *crc = Py_None, *length = Py_None;
  if (!PyArg_ParseTuple(args, "S|OO", &payload, &crc, &length)) return nullptr;
  Bytes p, out;
  if (!to_bytes(payload, &p)) return nullptr;
  std::optional<uint32_t> c;
  std::optional<uint64_t> l;
  if (crc != Py_None) c = static_cast<uint32_t>(PyLong_AsUnsignedLongLong(crc));
  if (length != Py_None) l = PyLong_AsUnsignedLongLong(length);
  if (PyErr_Occurred()) return nullptr;
  zarv::writer::append_block_frame(out, p, c, l);
  return from_bytes(out);
}

PyObject* tk_end_frame(PyObject*, PyObject*) {
  Bytes out;
  zarv::writer::append_end_frame(out);
  return from_bytes(out);
}

PyObject* tk_locate_streams(PyObject*, PyObject* args) {
  unsigned long long offset;
  PyObject* payload;
  if (!PyArg_ParseTuple(args, "KS", &offset, &payload)) return nullptr;
  Bytes p;
  if (!to_bytes(payload, &p)) return nullptr;
  return group_tuple(zarv::writer::locate_streams(offset, p));
}

PyObject* tk_footer(PyObject*, PyObject* args) {
  PyObject *prefix, *dict;
  if (!PyArg_ParseTuple(args, "SO!", &prefix, &PyDict_Type, &dict)) return nullptr;
  Bytes out;
  if (!to_bytes(prefix, &out)) return nullptr;
  zarv::writer::FooterSpec layout;
  Fields f{dict};
  if (!f.num("total_reads", &layout.total_reads) || !f.opt("whole_file_crc", &layout.whole_file_crc) ||
      !f.opt("footer_crc", &layout.footer_crc) || !f.opt("footer_offset", &layout.footer_offset) ||
      !f.opt("group_count", &layout.group_count)) {
    return nullptr;
  }
  if (PyObject* tag = f.get("tag")) {
    Bytes t;
    if (!to_bytes(tag, &t)) return nullptr;
    if (t.size() != zarv::kFooterTagLen) {
      PyErr_SetString(PyExc_ValueError, "tag must be 16 bytes");
      return nullptr;
    }
    layout.tag.emplace();
    std::copy(t.begin(), t.end(), layout.tag->begin());
  }
  if (PyObject* groups = f.get("groups")) {
    PyObject* seq = PySequence_Fast(groups, "groups must be a sequence");
    if (!seq) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Size(seq); ++i) {
      PyObject* item = PySequence_GetItem(seq, i);
      zarv::GroupLoc g;
      bool ok = item && group_loc(item, &g);
      Py_XDECREF(item);
      if (!ok) {
        Py_DECREF(seq);
        return nullptr;
      }
      layout.groups.push_back(g);
    }
    Py_DECREF(seq);
  }
  zarv::writer::append_footer(out, layout);
  return from_bytes(out);
}

PyObject* tk_archive(PyObject*, PyObject* args) {
  PyObject *hdr, *blocks;
  int end_frame = 0;
  if (!PyArg_ParseTuple(args, "OO|p", &hdr, &blocks, &end_frame)) return nullptr;
  zarv::writer::HeaderSpec layout;
  if (!header_spec(hdr, &layout)) return nullptr;
  std::vector<zarv::writer::RawBlock> raw;
  PyObject* seq = PySequence_Fast(blocks, "blocks must be a sequence of (payload, reads)");
  if (!seq) return nullptr;
  for (Py_ssize_t i = 0; i < PySequence_Size(seq); ++i) {
    PyObject* item = PySequence_GetItem(seq, i);
    PyObject* payload;
    unsigned int reads;
    zarv::writer::RawBlock b;
    bool ok = item && PyArg_ParseTuple(item, "SI", &payload, &reads) && to_bytes(payload, &b.payload);
    Py_XDECREF(item);
    if (!ok) {
      Py_DECREF(seq);
      return nullptr;
    }
    b.reads = reads;
    raw.push_back(std::move(b));
  }
  Py_DECREF(seq);
  return from_bytes(zarv::writer::assemble_archive(layout, raw, end_frame != 0));
}

// ---- real archives from reads ----

bool bytes_field(const Fields& f, const char* key, std::string* out) {
  PyObject* v = f.get(key);
  if (!v) return true;
  Bytes b;
  if (!to_bytes(v, &b)) return false;
  out->assign(b.begin(), b.end());
  return true;
}

template <size_t N>
bool array_field(const Fields& f, const char* key, std::array<uint8_t, N>* out) {
  PyObject* v = f.get(key);
  if (!v) return true;
  Bytes b;
  if (!to_bytes(v, &b)) return false;
  if (b.size() != N) {
    PyErr_Format(PyExc_ValueError, "%s must be %d bytes", key, static_cast<int>(N));
    return false;
  }
  std::copy(b.begin(), b.end(), out->begin());
  return true;
}

bool block_options(PyObject* dict, zarv::writer::BlockOptions* o) {
  Fields f{dict};
  uint8_t mode = static_cast<uint8_t>(o->quality.mode), binning = static_cast<uint8_t>(o->quality.binning);
  if (!f.num("k", &o->sequence.k) || !f.num("h", &o->sequence.h) || !f.num("b", &o->sequence.b) ||
      !f.num("quality_mode", &mode) || !f.num("binning", &binning)) {
    return false;
  }
  o->quality.mode = static_cast<zarv::QualityContextMode>(mode);
  o->quality.binning = static_cast<zarv::QualityBinning>(binning);
  std::string alphabet, quantizers;
  if (!bytes_field(f, "alphabet", &alphabet) || !bytes_field(f, "quantizers", &quantizers)) return false;
  o->quality.alphabet.assign(alphabet.begin(), alphabet.end());
  o->quality.quantizers.assign(quantizers.begin(), quantizers.end());
  return true;
}

// write_archive(reads, options) -> bytes; reads are (name, sequence, quality)
// byte-string triples.
PyObject* tk_write_archive(PyObject*, PyObject* args) {
  PyObject *reads_obj, *dict;
  if (!PyArg_ParseTuple(args, "OO!", &reads_obj, &PyDict_Type, &dict)) return nullptr;
  std::vector<zarv::writer::Read> reads;
  PyObject* seq = PySequence_Fast(reads_obj, "reads must be a sequence of (name, sequence, quality)");
  if (!seq) return nullptr;
  for (Py_ssize_t i = 0; i < PySequence_Size(seq); ++i) {
    PyObject* item = PySequence_GetItem(seq, i);
    PyObject *n, *b, *q;
    Bytes nb, bb, qb;
    bool ok = item && PyArg_ParseTuple(item, "SSS", &n, &b, &q) && to_bytes(n, &nb) && to_bytes(b, &bb) &&
              to_bytes(q, &qb);
    Py_XDECREF(item);
    if (!ok) {
      Py_DECREF(seq);
      return nullptr;
    }
    reads.push_back({std::string(nb.begin(), nb.end()), std::string(bb.begin(), bb.end()),
                     std::string(qb.begin(), qb.end())});
  }
  Py_DECREF(seq);

  zarv::writer::ArchiveOptions opts;
  Fields f{dict};
  if (PyObject* h = f.get("header")) {
    if (!header_spec(h, &opts.header)) return nullptr;
  }
  if (!block_options(dict, &opts.block)) return nullptr;
  if (PyObject* ef = f.get("end_frame")) opts.end_frame = PyObject_IsTrue(ef);
  if (PyObject* sizes = f.get("block_reads")) {
    PyObject* s2 = PySequence_Fast(sizes, "block_reads must be a sequence");
    if (!s2) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Size(s2); ++i) {
      PyObject* item = PySequence_GetItem(s2, i);
      unsigned long v = item ? PyLong_AsUnsignedLong(item) : 0;
      Py_XDECREF(item);
      if (PyErr_Occurred()) {
        Py_DECREF(s2);
        return nullptr;
      }
      opts.block_reads.push_back(static_cast<uint32_t>(v));
    }
    Py_DECREF(s2);
  }
  if (PyObject* per = f.get("per_block")) {
    PyObject* s2 = PySequence_Fast(per, "per_block must be a sequence of dicts");
    if (!s2) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Size(s2); ++i) {
      PyObject* item = PySequence_GetItem(s2, i);
      zarv::writer::BlockOptions bo = opts.block;
      bool ok = item && block_options(item, &bo);
      Py_XDECREF(item);
      if (!ok) {
        Py_DECREF(s2);
        return nullptr;
      }
      opts.per_block.push_back(std::move(bo));
    }
    Py_DECREF(s2);
  }
  if (PyObject* enc = f.get("encryption")) {
    zarv::writer::EncryptionOptions e;
    Fields ef{enc};
    if (!bytes_field(ef, "passphrase", &e.passphrase) || !array_field(ef, "salt", &e.salt) ||
        !array_field(ef, "archive_id", &e.archive_id) || !ef.num("m_cost", &e.m_cost) ||
        !ef.num("t_cost", &e.t_cost) || !ef.num("lanes", &e.lanes)) {
      return nullptr;
    }
    opts.encryption = std::move(e);
  }
  zarv::Result<Bytes> out = zarv::Result<Bytes>(Bytes{});
  Py_BEGIN_ALLOW_THREADS out = zarv::writer::write_archive(reads, opts);
  Py_END_ALLOW_THREADS
  if (!out.ok()) {
    PyErr_SetString(PyExc_ValueError, out.error().message().c_str());
    return nullptr;
  }
  return from_bytes(*out);
}

// ---- the module frame's conversion helpers, reachable from the tests ----

// Errors of the frame surface as RuntimeError here (no ZarvError in this module).
zarv::py::ModuleState* frame_state() {
  static zarv::py::ModuleState st{PyExc_RuntimeError, nullptr};
  return &st;
}

PyObject* tk_streams(PyObject*, PyObject* arg) {
  zarv::StreamSelection sel;
  if (!zarv::py::convert_streams(arg, &sel)) return nullptr;
  return Py_BuildValue("(OOO)", sel.names ? Py_True : Py_False, sel.sequence ? Py_True : Py_False,
                       sel.quality ? Py_True : Py_False);
}

PyObject* tk_password(PyObject*, PyObject* arg) {
  std::optional<zarv::SecretString> pw;
  if (!zarv::py::convert_password(arg, &pw)) return nullptr;
  if (!pw) Py_RETURN_NONE;
  return PyBytes_FromStringAndSize(pw->view().data(), static_cast<Py_ssize_t>(pw->size()));
}

PyObject* tk_threads(PyObject*, PyObject* arg) {
  unsigned workers;
  if (!zarv::py::convert_threads(arg, &workers)) return nullptr;
  return PyLong_FromUnsignedLong(workers);
}

PyObject* tk_debug_quote(PyObject*, PyObject* arg) {
  Bytes b;
  if (!to_bytes(arg, &b)) return nullptr;
  std::string s = zarv::py::debug_quote({reinterpret_cast<const char*>(b.data()), b.size()});
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// read_source(source, file_like, chunk): converts `source` like the streaming
// functions do and reads it to the end in `chunk`-byte requests with the
// interpreter lock released, as the decoders will.
PyObject* tk_read_source(PyObject*, PyObject* args) {
  PyObject* obj;
  int file_like = 1;
  Py_ssize_t chunk = 8192;
  if (!PyArg_ParseTuple(args, "O|pn", &obj, &file_like, &chunk)) return nullptr;
  auto src = zarv::py::convert_source(
      frame_state(), obj,
      file_like ? zarv::py::SourceKinds::PathBytesOrFileLike : zarv::py::SourceKinds::PathOrBytes);
  if (!src) return nullptr;
  auto got = zarv::py::run_released<Bytes>(frame_state(), [&]() -> zarv::Result<Bytes> {
    Bytes all;
    std::vector<uint8_t> buf(static_cast<size_t>(chunk));
    for (;;) {
      ZARV_ASSIGN(size_t k, src->read(buf.data(), buf.size()));
      if (k == 0) break;
      all.insert(all.end(), buf.begin(), buf.begin() + k);
    }
    return all;
  });
  if (!got) return nullptr;
  return from_bytes(*got);
}

PyMethodDef testkit_methods[] = {
    {"write_archive", tk_write_archive, METH_VARARGS, "write_archive(reads, options: dict) -> bytes"},
    {"streams", tk_streams, METH_O, "streams(obj) -> (names, sequence, quality)"},
    {"password", tk_password, METH_O, "password(obj) -> bytes or None"},
    {"threads", tk_threads, METH_O, "threads(obj) -> number of workers"},
    {"debug_quote", tk_debug_quote, METH_O, "debug_quote(bytes) -> str"},
    {"read_source", tk_read_source, METH_VARARGS, "read_source(source, file_like=True, chunk=8192) -> bytes"},
    {"crc32c", tk_crc32c, METH_O, "crc32c(data) -> int"},
    {"header", tk_header, METH_O, "header(layout: dict) -> bytes"},
    {"member_labels", tk_member_labels, METH_VARARGS, "member_labels(labels, count=None) -> bytes"},
    {"block_frame", tk_block_frame, METH_VARARGS, "block_frame(payload, crc=None, length=None) -> bytes"},
    {"end_frame", tk_end_frame, METH_NOARGS, "end_frame() -> bytes"},
    {"locate_streams", tk_locate_streams, METH_VARARGS, "locate_streams(block_offset, payload) -> group"},
    {"footer", tk_footer, METH_VARARGS, "footer(prefix, layout: dict) -> prefix + footer"},
    {"archive", tk_archive, METH_VARARGS, "archive(header_spec, [(payload, reads)], end_frame=False) -> bytes"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot testkit_slots[] = {{0, nullptr}};

PyModuleDef testkit_def = {
    PyModuleDef_HEAD_INIT, "_testkit", "Archive assembler for the test suite (not a public API).",
    0, testkit_methods, testkit_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__testkit(void) { return PyModuleDef_Init(&testkit_def); }
