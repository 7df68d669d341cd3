// Random access and the remote-read primitives: `open_index`,
// `parse_index_suffix`, `read_block`, `read_names` / `read_sequences` /
// `read_qualities`, the `decode_*_bytes` functions, `Index` and `GroupLoc`.
#include "codecs/quality/quality.hpp"
#include "core/crc32c.hpp"
#include "core/random_access.hpp"
#include "python/functions.hpp"

namespace zarv::py {
namespace {

// ----------------------------------------------------------------- Index --

struct IndexObject {
  PyObject_HEAD
  std::shared_ptr<const FooterIndex>* index;  // owned
};

const FooterIndex& index_of(PyObject* self) { return **reinterpret_cast<IndexObject*>(self)->index; }

struct GroupLocObject {
  PyObject_HEAD
  uint64_t block_offset;
  uint32_t read_count;
};

void index_dealloc(PyObject* self) {
  delete reinterpret_cast<IndexObject*>(self)->index;
  free_object(self);
}

PyObject* index_repr(PyObject* self) {
  const FooterIndex& ix = index_of(self);
  std::string s = "Index(total_reads=" + std::to_string(ix.total_reads) +
                  ", num_groups=" + std::to_string(ix.groups.size()) + ")";
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* index_total_reads(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(index_of(self).total_reads); }
PyObject* index_num_groups(PyObject* self, void*) { return PyLong_FromSize_t(index_of(self).groups.size()); }
PyObject* index_whole_file_crc(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(index_of(self).whole_file_crc);
}

PyObject* make_group_loc(ModuleState* st, const GroupLoc& g) {
  PyObject* obj = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(st->group_loc_type), 0);
  if (!obj) return nullptr;
  auto* o = reinterpret_cast<GroupLocObject*>(obj);
  o->block_offset = g.block_offset;
  o->read_count = g.read_count;
  return obj;
}

PyObject* index_groups(PyObject* self, PyObject*) {
  ModuleState* st = type_state(Py_TYPE(self));
  const FooterIndex& ix = index_of(self);
  PyRef list(PyList_New(static_cast<Py_ssize_t>(ix.groups.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < ix.groups.size(); ++i) {
    PyObject* g = make_group_loc(st, ix.groups[i]);
    if (!g) return nullptr;
    PyList_SetItem(list.p, static_cast<Py_ssize_t>(i), g);
  }
  return list.release();
}

// (group, stream) arguments of the Index methods; nullptr-equivalent false
// with the error set. An out-of-range group is the bare message.
bool group_and_stream(PyObject* self, PyObject* group_obj, PyObject* stream_obj, uint64_t* group,
                      StreamKind* kind) {
  if (!convert_u64(group_obj, "group", group)) return false;
  // The `streams` selection parser, with its errors; the selection must be
  // exactly one stream ("seq" and ["seq"] are). None, which selects every
  // stream there, names none here.
  StreamSelection sel = StreamSelection::none();
  if (stream_obj != Py_None && !convert_streams(stream_obj, &sel)) return false;
  if (int{sel.names} + int{sel.sequence} + int{sel.quality} != 1) {
    PyErr_SetString(PyExc_TypeError, "argument 'stream': expected one stream name ('names', 'sequence', 'quality')");
    return false;
  }
  *kind = sel.names ? StreamKind::Names : sel.sequence ? StreamKind::Sequence : StreamKind::Quality;
  if (*group >= index_of(self).groups.size()) {
    PyErr_SetString(type_state(Py_TYPE(self))->zarv_error, "row-group index out of range");
    return false;
  }
  return true;
}

PyObject* index_stream_range(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"group", "stream", nullptr};
  PyObject *g, *s;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:stream_range", const_cast<char**>(kwlist), &g, &s)) return nullptr;
  uint64_t group;
  StreamKind kind;
  if (!group_and_stream(self, g, s, &group, &kind)) return nullptr;
  const StreamLoc& loc = index_of(self).groups[group].stream(kind);
  return Py_BuildValue("(KK)", static_cast<unsigned long long>(loc.offset),
                       static_cast<unsigned long long>(loc.offset + loc.length));
}

PyObject* index_stream_crc(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"group", "stream", nullptr};
  PyObject *g, *s;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:stream_crc", const_cast<char**>(kwlist), &g, &s)) return nullptr;
  uint64_t group;
  StreamKind kind;
  if (!group_and_stream(self, g, s, &group, &kind)) return nullptr;
  return PyLong_FromUnsignedLong(index_of(self).groups[group].stream(kind).crc);
}

bool convert_bytes(PyObject* obj, const char* argname, std::span<const uint8_t>* out) {
  if (!PyBytes_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'PyBytes'", argname,
                 type_name(obj).c_str());
    return false;
  }
  char* data;
  Py_ssize_t len;
  if (PyBytes_AsStringAndSize(obj, &data, &len) < 0) return false;
  *out = {reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(len)};
  return true;
}

PyObject* index_verify_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"group", "stream", "coded", nullptr};
  PyObject *g, *s, *c;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:verify_stream", const_cast<char**>(kwlist), &g, &s, &c)) {
    return nullptr;
  }
  uint64_t group;
  StreamKind kind;
  std::span<const uint8_t> coded;
  if (!group_and_stream(self, g, s, &group, &kind) || !convert_bytes(c, "coded", &coded)) return nullptr;
  if (crc32c(coded) != index_of(self).groups[group].stream(kind).crc) {
    return raise_archive_error(type_state(Py_TYPE(self)), ArchiveError::corrupt(stream_section(group, kind)));
  }
  Py_RETURN_NONE;
}

#define METHOD(name, flags, doc) \
  {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_##name)), flags, doc}

PyMethodDef index_methods[] = {
    METHOD(groups, METH_NOARGS, "groups($self)\n--\n\n"),
    METHOD(stream_range, METH_VARARGS | METH_KEYWORDS,
           "stream_range($self, group, stream)\n--\n\n"
           "The `[start, end)` byte range of `stream` in row group `group` \xE2\x80\x94 issue one\n"
           "`Range: bytes=start-(end-1)` GET for it, then [`PyIndex::verify_stream`] and\n"
           "the matching `decode_*_bytes`."),
    METHOD(stream_crc, METH_VARARGS | METH_KEYWORDS,
           "stream_crc($self, group, stream)\n--\n\n"
           "The footer's CRC-32C for `stream` in `group` (a fetched column checks\n"
           "against this \xE2\x80\x94 the block content digests cover the *decoded* streams and so\n"
           "cannot verify a projected fetch of *coded* bytes)."),
    METHOD(verify_stream, METH_VARARGS | METH_KEYWORDS,
           "verify_stream($self, group, stream, coded)\n--\n\n"
           "Verify a fetched coded stream against the index's CRC-32C, raising\n"
           "`zarv.ZarvError` if it was corrupted in transit or storage."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef index_getset[] = {
    {"total_reads", index_total_reads, nullptr, nullptr, nullptr},
    {"num_groups", index_num_groups, nullptr, nullptr, nullptr},
    {"whole_file_crc", index_whole_file_crc, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot index_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "A parsed footer row-group index (plain layout only). Wraps the core\n"
                    "[`zarv_core::Index`] so it can hand out per-stream byte ranges and CRCs \xE2\x80\x94 the\n"
                    "primitives a remote client uses to fetch and verify one column with `Range`\n"
                    "requests (see `zarv.remote`).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(index_repr)},
    {Py_tp_methods, index_methods},
    {Py_tp_getset, index_getset},
    {0, nullptr},
};

PyType_Spec index_spec = {"zarv.Index", sizeof(IndexObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                          index_slots};

PyObject* group_loc_block_offset(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(reinterpret_cast<GroupLocObject*>(self)->block_offset);
}
PyObject* group_loc_read_count(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(reinterpret_cast<GroupLocObject*>(self)->read_count);
}
PyObject* group_loc_repr(PyObject* self) {
  auto* g = reinterpret_cast<GroupLocObject*>(self);
  std::string s = "GroupLoc(block_offset=" + std::to_string(g->block_offset) +
                  ", read_count=" + std::to_string(g->read_count) + ")";
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyGetSetDef group_loc_getset[] = {
    {"block_offset", group_loc_block_offset, nullptr, nullptr, nullptr},
    {"read_count", group_loc_read_count, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot group_loc_slots[] = {
    {Py_tp_doc, const_cast<char*>("On-disk location of one row group.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(free_object)},
    {Py_tp_repr, reinterpret_cast<void*>(group_loc_repr)},
    {Py_tp_getset, group_loc_getset},
    {0, nullptr},
};

PyType_Spec group_loc_spec = {"zarv.GroupLoc", sizeof(GroupLocObject), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                              group_loc_slots};

PyObject* make_index(ModuleState* st, FooterIndex&& index) {
  PyObject* obj = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(st->index_type), 0);
  if (!obj) return nullptr;
  reinterpret_cast<IndexObject*>(obj)->index =
      new std::shared_ptr<const FooterIndex>(std::make_shared<const FooterIndex>(std::move(index)));
  return obj;
}

PyObject* values_to_list(const ColumnValues& values) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* b = PyBytes_FromStringAndSize(values[i].data(), static_cast<Py_ssize_t>(values[i].size()));
    if (!b) return nullptr;
    PyList_SetItem(list.p, static_cast<Py_ssize_t>(i), b);
  }
  return list.release();
}

// `groups`: None, or a sequence of non-negative ints (a str is refused).
bool convert_groups(PyObject* obj, std::optional<std::vector<uint64_t>>* out) {
  if (!obj || obj == Py_None) {
    out->reset();
    return true;
  }
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "argument 'groups': Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument 'groups': '%s' object cannot be converted to 'Sequence'",
                 type_name(obj).c_str());
    return false;
  }
  // The length is only a hint: the items are what iteration yields (a
  // sequence whose length overstates them ends at its IndexError), and a
  // length no memory can hold is a MemoryError, as for list().
  const Py_ssize_t n = PySequence_Size(obj);
  if (n < 0) return false;
  PyRef it(PyObject_GetIter(obj));
  if (!it) return false;
  std::vector<uint64_t> v;
  try {
    v.reserve(static_cast<size_t>(n));
    while (PyObject* item = PyIter_Next(it.p)) {
      PyRef hold(item);
      uint64_t g;
      if (!convert_u64(item, "groups", &g)) return false;
      v.push_back(g);
    }
  } catch (const std::exception&) {  // bad_alloc, length_error
    PyErr_NoMemory();
    return false;
  }
  if (PyErr_Occurred()) return false;
  *out = std::move(v);
  return true;
}

PyObject* read_column_py(PyObject* module, PyObject* args, PyObject* kwargs, StreamKind kind, const char* fmt) {
  static const char* kwlist[] = {"source", "groups", nullptr};
  PyObject *source, *groups_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, fmt, const_cast<char**>(kwlist), &source, &groups_obj)) {
    return nullptr;
  }
  ModuleState* st = module_state(module);
  std::optional<std::vector<uint64_t>> groups;
  if (!convert_groups(groups_obj, &groups)) return nullptr;
  std::unique_ptr<ByteSource> src = convert_source(st, source, SourceKinds::PathOrBytes);
  if (!src) return nullptr;
  auto values = run_released<ColumnValues>(st, [&]() -> Result<ColumnValues> {
    ZARV_ASSIGN(FooterIndex index, open_random_access(*src));
    return read_column(*src, index, kind, groups);
  });
  if (!values) return nullptr;
  return values_to_list(*values);
}

bool parse_coded(PyObject* args, PyObject* kwargs, const char* fmt, std::span<const uint8_t>* coded) {
  static const char* kwlist[] = {"coded", nullptr};
  PyObject* c;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, fmt, const_cast<char**>(kwlist), &c)) return false;
  return convert_bytes(c, "coded", coded);
}

PyObject* column_result(ModuleState* st, Result<ColumnValues>&& r) {
  if (!r.ok()) return raise_archive_error(st, r.error());
  return values_to_list(*r);
}

}  // namespace

int add_random_access_types(PyObject* module, ModuleState* st) {
  if (add_type(module, &index_spec, "Index", &st->index_type) < 0) return -1;
  return add_type(module, &group_loc_spec, "GroupLoc", &st->group_loc_type);
}

PyObject* py_open_index(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"source", nullptr};
  PyObject* source;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:open_index", const_cast<char**>(kwlist), &source)) return nullptr;
  ModuleState* st = module_state(module);
  std::unique_ptr<ByteSource> src = convert_source(st, source, SourceKinds::PathOrBytes);
  if (!src) return nullptr;
  auto index = run_released<FooterIndex>(st, [&] { return open_random_access(*src); });
  if (!index) return nullptr;
  return make_index(st, std::move(*index));
}

PyObject* py_parse_index_suffix(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"suffix", "file_len", nullptr};
  PyObject *suffix_obj, *len_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:parse_index_suffix", const_cast<char**>(kwlist), &suffix_obj,
                                   &len_obj)) {
    return nullptr;
  }
  ModuleState* st = module_state(module);
  std::span<const uint8_t> suffix;
  uint64_t file_len;
  if (!convert_bytes(suffix_obj, "suffix", &suffix) || !convert_u64(len_obj, "file_len", &file_len)) return nullptr;
  auto r = parse_index_suffix(suffix, file_len);
  if (!r.ok()) return raise_archive_error(st, r.error());
  if (auto* need = std::get_if<uint64_t>(&*r)) {
    return Py_BuildValue("(OK)", Py_None, static_cast<unsigned long long>(*need));
  }
  PyRef index(make_index(st, std::move(std::get<FooterIndex>(*r))));
  if (!index) return nullptr;
  return Py_BuildValue("(OO)", index.p, Py_None);
}

PyObject* py_read_block(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"source", "group", nullptr};
  PyObject *source, *group_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:read_block", const_cast<char**>(kwlist), &source, &group_obj)) {
    return nullptr;
  }
  ModuleState* st = module_state(module);
  uint64_t group;
  if (!convert_u64(group_obj, "group", &group)) return nullptr;
  std::unique_ptr<ByteSource> src = convert_source(st, source, SourceKinds::PathOrBytes);
  if (!src) return nullptr;
  auto recs = run_released<std::vector<Record>>(st, [&]() -> Result<std::vector<Record>> {
    ZARV_ASSIGN(FooterIndex index, open_random_access(*src));
    return read_group(*src, index, group);
  });
  if (!recs) return nullptr;
  PyRef list(PyList_New(static_cast<Py_ssize_t>(recs->size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < recs->size(); ++i) {
    PyObject* r = make_record(st, (*recs)[i]);
    if (!r) return nullptr;
    PyList_SetItem(list.p, static_cast<Py_ssize_t>(i), r);
  }
  return list.release();
}

PyObject* py_read_names(PyObject* module, PyObject* args, PyObject* kwargs) {
  return read_column_py(module, args, kwargs, StreamKind::Names, "O|O:read_names");
}
PyObject* py_read_sequences(PyObject* module, PyObject* args, PyObject* kwargs) {
  return read_column_py(module, args, kwargs, StreamKind::Sequence, "O|O:read_sequences");
}
PyObject* py_read_qualities(PyObject* module, PyObject* args, PyObject* kwargs) {
  return read_column_py(module, args, kwargs, StreamKind::Quality, "O|O:read_qualities");
}

PyObject* py_decode_names_bytes(PyObject* module, PyObject* args, PyObject* kwargs) {
  std::span<const uint8_t> coded;
  if (!parse_coded(args, kwargs, "O:decode_names_bytes", &coded)) return nullptr;
  return column_result(module_state(module), decode_names_column(coded));
}

PyObject* py_decode_sequences_bytes(PyObject* module, PyObject* args, PyObject* kwargs) {
  std::span<const uint8_t> coded;
  if (!parse_coded(args, kwargs, "O:decode_sequences_bytes", &coded)) return nullptr;
  return column_result(module_state(module), decode_sequences_column(coded));
}

PyObject* py_decode_qualities_bytes(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"coded", "seq", nullptr};
  PyObject *c, *s = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:decode_qualities_bytes", const_cast<char**>(kwlist), &c, &s)) {
    return nullptr;
  }
  std::span<const uint8_t> coded, seq;
  if (!convert_bytes(c, "coded", &coded)) return nullptr;
  if (s != Py_None && !convert_bytes(s, "seq", &seq)) return nullptr;
  return column_result(module_state(module), decode_qualities_column(coded, seq));
}

PyObject* py_quality_needs_sequence_bytes(PyObject* module, PyObject* args, PyObject* kwargs) {
  (void)module;
  std::span<const uint8_t> coded;
  if (!parse_coded(args, kwargs, "O:quality_needs_sequence_bytes", &coded)) return nullptr;
  return PyBool_FromLong(quality_coded_against_sequence(coded));
}

}  // namespace zarv::py
