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
    ZARV_FN(open,
            "open(source, *, threads=0, streams=None, password=None)\n--\n\n"
            "Open an archive for streaming record iteration. `source` may be a path,\n"
            "`bytes`, or a file-like object with `.read()` \u2014 an HTTP response streams\n"
            "straight in (see `zarv.remote.stream`).\n\n"
            "`streams` selects which of the three per-read streams to decode: `None`\n"
            "(the default) decodes everything; otherwise pass one stream name or an\n"
            "iterable of them \u2014 `\"names\"`, `\"sequence\"`, `\"quality\"` (or `\"name\"`,\n"
            "`\"seq\"`, `\"qual\"`). Deselected `Record` fields come back as empty `bytes`,\n"
            "and their coded streams are genuinely skipped \u2014 never entropy-decoded \u2014 so\n"
            "e.g. `streams=(\"seq\",)` saves the names and quality streams' full decode\n"
            "cost (~12x measured on ONT long-read archives, where quality dominates;\n"
            "~1.3-1.6x single-threaded on short-read Illumina). Caveats: a skipped\n"
            "stream's integrity digest cannot be checked (use `verify` for a full\n"
            "check), and on long-read archives quality is coded against the bases, so\n"
            "selecting quality still decodes the sequence stream internally."),
    ZARV_FN(decompress_to_path,
            "decompress_to_path(source, dest, *, threads=0, fasta=False, password=None)\n--\n\n"
            "Decompress an archive to interleaved FASTQ at `dest`. Returns the read count.\n\n"
            "`fasta=True` writes single-line FASTA (`>name` + sequence) instead,\n"
            "mirroring the CLI's `decompress --fasta`: the quality stream is skipped \u2014\n"
            "never entropy-decoded \u2014 which measured ~12x faster on ONT long-read\n"
            "archives (where the sequence-conditioned quality model dominates decode)\n"
            "and ~1.3-1.6x single-threaded on short-read Illumina. The skipped quality\n"
            "stream's integrity digest is not checked (use `verify` for a full check)."),
    ZARV_FN(decompress_to_bytes,
            "decompress_to_bytes(source, *, threads=0, fasta=False, password=None)\n--\n\n"
            "Decompress an archive and return interleaved FASTQ as `bytes` \u2014 or\n"
            "single-line FASTA with `fasta=True`, which skips the quality stream's\n"
            "decode entirely (see [`decompress_to_path`])."),
    ZARV_FN(verify,
            "verify(source, *, threads=0, password=None)\n--\n\n"
            "Verify an archive's integrity \u2014 header, footer, and the parallel whole-file CRC\n"
            "(the globally-reordered layout, which has no footer, is checked by a full\n"
            "decode). Accepts a path or `bytes`. Returns `None` on success and raises\n"
            "`zarv.ZarvError` (or `OSError`) if the archive is corrupt or unreadable."),
    ZARV_FN(open_index,
            "open_index(source)\n--\n\n"
            "Parse the footer row-group index (plain layout only; rejects reorder archives)."),
    ZARV_FN(parse_index_suffix,
            "parse_index_suffix(suffix, file_len)\n--\n\n"
            "Parse the footer index from a fetched archive **tail** \u2014 the body of a\n"
            "`Range: bytes=-N` request \u2014 without any I/O. `suffix` is the final\n"
            "`len(suffix)` bytes of the archive and `file_len` its total size. Returns\n"
            "`(index, None)` when the tail reached the footer, or `(None, need_at_least)`\n"
            "when it fell short: refetch that many trailing bytes and call again (at most\n"
            "one extra round trip, since the second length is exact). This is the entry\n"
            "point `zarv.remote` uses to read an archive over HTTP."),
    ZARV_FN(read_block,
            "read_block(source, group)\n--\n\n"
            "Random access: decode one whole row group into a `list[Record]`."),
    ZARV_FN(read_names,
            "read_names(source, groups=None)\n--\n\n"
            "Decode just the read names for the given row groups (or all). `list[bytes]`."),
    ZARV_FN(read_sequences,
            "read_sequences(source, groups=None)\n--\n\n"
            "Decode just the sequences for the given row groups (or all). `list[bytes]`."),
    ZARV_FN(read_qualities,
            "read_qualities(source, groups=None)\n--\n\n"
            "Decode just the qualities for the given row groups (or all). `list[bytes]`."),
    ZARV_FN(decode_names_bytes,
            "decode_names_bytes(coded)\n--\n\n"
            "Decode a fetched **names** column (coded bytes from one row group) into per-read\n"
            "name bytes. Verify it with [`PyIndex::verify_stream`] first."),
    ZARV_FN(decode_sequences_bytes,
            "decode_sequences_bytes(coded)\n--\n\n"
            "Decode a fetched **sequence** column into per-read sequence bytes."),
    ZARV_FN(decode_qualities_bytes,
            "decode_qualities_bytes(coded, seq=None)\n--\n\n"
            "Decode a fetched **quality** column into per-read quality bytes. Long-read\n"
            "quality is coded against the sequence: when [`quality_needs_sequence_bytes`]\n"
            "is true, pass that group's concatenated decoded bases as `seq`."),
    ZARV_FN(quality_needs_sequence_bytes,
            "quality_needs_sequence_bytes(coded)\n--\n\n"
            "Whether a fetched quality column is coded against the sequence (long-read\n"
            "blocks) and so needs the group's decoded bases handed to\n"
            "[`decode_qualities_bytes`]."),
    ZARV_FN(estimate,
            "estimate(source, *, level=5, quality_binning=\"lossless\", sample_reads=1048576, threads=0)\n--\n\n"
            "Estimate the archive size and ratio for a FASTQ `source` (path or `bytes`,\n"
            "gzip/BGZF transparently decoded) without writing anything \u2014 the library behind\n"
            "`zarv compress --estimate`. Codes the leading `sample_reads` records with the\n"
            "real codecs at the given effort `level` and `quality_binning`. Reordering is\n"
            "not modelled, so for data the real run would reorder this is a conservative\n"
            "lower bound (the archive comes out this size or smaller).\n\n"
            "`source` may also be a list/tuple of sources \u2014 paired mates (R1/R2), 10x\n"
            "R1/R2/I1/I2, or sharded lanes \u2014 which all compress into one archive. Each is\n"
            "sampled with a split of the `sample_reads` cap and the per-stream sizes summed,\n"
            "mirroring how the CLI estimates grouped inputs. Interleaving is not modelled, so\n"
            "this too is a conservative lower bound (interleaved mates only compress better)."),
    {nullptr, nullptr, 0, nullptr},
};

// Class installers, in the order their names appear in __all__.
using Installer = int (*)(PyObject*, ModuleState*);
const Installer installers[] = {add_info_type, add_streaming_types, add_random_access_types, add_estimate_type};

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
  Py_VISIT(st->record_type);
  Py_VISIT(st->reader_type);
  Py_VISIT(st->index_type);
  Py_VISIT(st->group_loc_type);
  Py_VISIT(st->estimate_type);
  return 0;
}

int module_clear(PyObject* module) {
  ModuleState* st = module_state(module);
  if (!st) return 0;
  Py_CLEAR(st->zarv_error);
  Py_CLEAR(st->info_type);
  Py_CLEAR(st->record_type);
  Py_CLEAR(st->reader_type);
  Py_CLEAR(st->index_type);
  Py_CLEAR(st->group_loc_type);
  Py_CLEAR(st->estimate_type);
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
