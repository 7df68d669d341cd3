// `inspect` and the `Info` class.
#include "core/inspect.hpp"
#include "python/functions.hpp"

namespace zarv::py {
namespace {

struct InfoObject {
  PyObject_HEAD
  ArchiveInfo* info;
};

ArchiveInfo& info_of(PyObject* self) { return *reinterpret_cast<InfoObject*>(self)->info; }

void info_dealloc(PyObject* self) {
  delete reinterpret_cast<InfoObject*>(self)->info;
  free_object(self);
}

PyObject* info_repr(PyObject* self) {
  const ArchiveInfo& i = info_of(self);
  std::string s = "Info(reads=" + std::to_string(i.reads) + ", blocks=" + std::to_string(i.blocks) +
                  ", format=" + std::to_string(i.header.major) + "." + std::to_string(i.header.minor) +
                  ", platform=" +
                  debug_quote(platform_long_name(platform_from_code(i.header.platform))) + ")";
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* u64(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
PyObject* boolean(bool v) { return PyBool_FromLong(v); }

#define INFO_GETTER(name, expr)                             \
  PyObject* get_##name(PyObject* self, void*) {             \
    const ArchiveInfo& i = info_of(self);                   \
    return expr;                                            \
  }

INFO_GETTER(reads, u64(i.reads))
INFO_GETTER(blocks, u64(i.blocks))
INFO_GETTER(group_size, u64(i.header.group_size))
INFO_GETTER(reordered, boolean(i.header.has_flag(kFlagReordered)))
INFO_GETTER(keep_order, boolean(i.header.keep_order()))
INFO_GETTER(regenerated_names, boolean(i.header.has_flag(kFlagRegeneratedNames)))
INFO_GETTER(plus_normalized, boolean(i.header.has_flag(kFlagPlusNormalized)))
INFO_GETTER(format_version, u64(i.header.format_version()))
INFO_GETTER(seq_order, u64(i.header.seq_order))
INFO_GETTER(quality_binning, u64(i.header.quality_binning))
INFO_GETTER(names_bytes, u64(i.names_bytes))
INFO_GETTER(sequence_bytes, u64(i.sequence_bytes))
INFO_GETTER(quality_bytes, u64(i.quality_bytes))
INFO_GETTER(platform, PyUnicode_FromString(platform_long_name(platform_from_code(i.header.platform))))
INFO_GETTER(required_features, u64(i.header.required_features))
INFO_GETTER(encrypted, boolean(i.header.encrypted()))
INFO_GETTER(encrypted_bytes, u64(i.encrypted_bytes))

PyObject* get_whole_file_crc(PyObject* self, void*) {
  const ArchiveInfo& i = info_of(self);
  if (!i.whole_file_crc) Py_RETURN_NONE;
  return u64(*i.whole_file_crc);
}

PyObject* get_member_labels(PyObject* self, void*) {
  const ArchiveInfo& i = info_of(self);
  PyRef list(PyList_New(static_cast<Py_ssize_t>(i.header.member_labels.size())));
  if (!list) return nullptr;
  for (size_t k = 0; k < i.header.member_labels.size(); ++k) {
    const std::string& label = i.header.member_labels[k];
    PyObject* s = PyUnicode_FromStringAndSize(label.data(), static_cast<Py_ssize_t>(label.size()));
    if (!s) return nullptr;
    PyList_SetItem(list.p, static_cast<Py_ssize_t>(k), s);
  }
  return list.release();
}

#define GS(name, doc) {#name, get_##name, nullptr, doc, nullptr}

PyGetSetDef info_getset[] = {
    GS(reads, nullptr),
    GS(blocks, nullptr),
    GS(group_size, nullptr),
    GS(reordered, nullptr),
    GS(keep_order, nullptr),
    GS(regenerated_names, nullptr),
    GS(plus_normalized, nullptr),
    GS(format_version, nullptr),
    GS(seq_order, nullptr),
    GS(quality_binning, nullptr),
    GS(names_bytes, nullptr),
    GS(sequence_bytes, nullptr),
    GS(quality_bytes, nullptr),
    GS(platform, nullptr),
    GS(whole_file_crc, nullptr),
    GS(member_labels,
       "Original per-slot labels for the interleaved members (`[\"R1\", \"R2\"]`,\n"
       "`[\"2\", \"4\"]`, \xE2\x80\xA6), or empty when the archive recorded none. This is what\n"
       "`--mate-style auto` restores on split, so without it a Python caller has no\n"
       "way to see which slot each member came from."),
    GS(required_features,
       "The header's `required_features` word \xE2\x80\x94 capability bits a reader must\n"
       "understand to decode the archive at all."),
    GS(encrypted, "Whether the archive is encrypted. Readable without a passphrase."),
    GS(encrypted_bytes,
       "Total on-disk ciphertext bytes across all blocks. `0` and meaningless for\n"
       "an unencrypted archive; `names_bytes`/`sequence_bytes`/`quality_bytes`\n"
       "stay `0` for an encrypted one (whole-block encryption means the\n"
       "per-stream split can't be known without decrypting every block)."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot info_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Metadata about an archive, from its header and footer index (no payload decode).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(info_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(info_repr)},
    {Py_tp_getset, info_getset},
    {0, nullptr},
};

PyType_Spec info_spec = {
    "zarv.Info",
    sizeof(InfoObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    info_slots,
};

}  // namespace

int add_info_type(PyObject* module, ModuleState* st) {
  return add_type(module, &info_spec, "Info", &st->info_type);
}

PyObject* py_inspect(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"source", nullptr};
  PyObject* source_obj;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:inspect", const_cast<char**>(kwlist), &source_obj)) {
    return nullptr;
  }
  ModuleState* st = module_state(module);
  std::unique_ptr<ByteSource> src = convert_source(st, source_obj, SourceKinds::PathOrBytes);
  if (!src) return nullptr;
  auto info = run_released<ArchiveInfo>(st, [&] { return inspect_archive(*src); });
  if (!info) return nullptr;
  PyObject* obj = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(st->info_type), 0);
  if (!obj) return nullptr;
  reinterpret_cast<InfoObject*>(obj)->info = new ArchiveInfo(std::move(*info));
  return obj;
}

}  // namespace zarv::py
