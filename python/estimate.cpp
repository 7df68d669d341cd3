// `estimate` and the `Estimate` class.
#include "codecs/quality/binning.hpp"
#include "core/workers.hpp"
#include "estimate/estimate.hpp"
#include "estimate/sampling.hpp"
#include "python/functions.hpp"

namespace zarv::py {
namespace {

struct EstimateObject {
  PyObject_HEAD
  SourceEstimate e;
};

const SourceEstimate& est(PyObject* self) { return reinterpret_cast<EstimateObject*>(self)->e; }

double ratio_of(const SourceEstimate& e) {
  return e.archive_bytes == 0 ? 0.0 : static_cast<double>(e.raw_bytes) / static_cast<double>(e.archive_bytes);
}

PyObject* estimate_repr(PyObject* self) {
  const SourceEstimate& e = est(self);
  char ratio[64];
  std::snprintf(ratio, sizeof ratio, "%.3f", ratio_of(e));
  std::string s = "Estimate(sample_reads=" + std::to_string(e.reads) +
                  ", archive_bytes=" + std::to_string(e.archive_bytes) + ", ratio=" + ratio +
                  ", exhausted=" + (e.exhausted ? "true" : "false") + ")";
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

#define EST_GETTER(name, expr)                 \
  PyObject* get_##name(PyObject* self, void*) { \
    const SourceEstimate& e = est(self);        \
    return expr;                                \
  }
EST_GETTER(sample_reads, PyLong_FromUnsignedLongLong(e.reads))
EST_GETTER(sample_bases, PyLong_FromUnsignedLongLong(e.bases))
EST_GETTER(raw_bytes, PyLong_FromUnsignedLongLong(e.raw_bytes))
EST_GETTER(names_bytes, PyLong_FromUnsignedLongLong(e.names_bytes))
EST_GETTER(sequence_bytes, PyLong_FromUnsignedLongLong(e.sequence_bytes))
EST_GETTER(quality_bytes, PyLong_FromUnsignedLongLong(e.quality_bytes))
EST_GETTER(archive_bytes, PyLong_FromUnsignedLongLong(e.archive_bytes))
EST_GETTER(exhausted, PyBool_FromLong(e.exhausted))
EST_GETTER(platform, PyUnicode_FromString(platform_short_name(e.platform)))
EST_GETTER(ratio, PyFloat_FromDouble(ratio_of(e)))

PyGetSetDef estimate_getset[] = {
    {"sample_reads", get_sample_reads, nullptr, nullptr, nullptr},
    {"sample_bases", get_sample_bases, nullptr, nullptr, nullptr},
    {"raw_bytes", get_raw_bytes, nullptr, nullptr, nullptr},
    {"names_bytes", get_names_bytes, nullptr, nullptr, nullptr},
    {"sequence_bytes", get_sequence_bytes, nullptr, nullptr, nullptr},
    {"quality_bytes", get_quality_bytes, nullptr, nullptr, nullptr},
    {"archive_bytes", get_archive_bytes, nullptr, nullptr, nullptr},
    {"exhausted", get_exhausted,
     nullptr,
     "`True` when the whole input fit in the sample, so the numbers are exact\n"
     "rather than an extrapolation base.",
     nullptr},
    {"platform", get_platform, nullptr,
     "The sequencing platform, resolved from the sample: one of `\"illumina\"`,\n"
     "`\"nanopore\"`, `\"pacbio\"`, `\"mgi\"` or `\"unknown\"`. For a grouped estimate it is\n"
     "the platform the inputs share; a group whose inputs disagree is rejected up front.",
     nullptr},
    {"ratio", get_ratio, nullptr,
     "Uncompressed FASTQ bytes \xC3\xB7 archive bytes. Scale-invariant; `0.0` if empty.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot estimate_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Projected compression of a FASTQ, from coding a bounded leading sample with the\n"
                    "real codecs \xE2\x80\x94 the result of [`estimate`]. The byte counts describe the sample;\n"
                    "`ratio` is scale-invariant and holds for the whole file.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(free_object)},
    {Py_tp_repr, reinterpret_cast<void*>(estimate_repr)},
    {Py_tp_getset, estimate_getset},
    {0, nullptr},
};

PyType_Spec estimate_type_spec = {
    "zarv.Estimate", sizeof(EstimateObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE, estimate_slots};

// One source item: bytes (copied) or a path; nullopt with TypeError otherwise.
struct SourceItem {
  std::optional<std::vector<uint8_t>> bytes;
  std::string path;
};

bool convert_item(PyObject* item, SourceItem* out) {
  if (PyBytes_Check(item)) {
    char* data;
    Py_ssize_t len;
    if (PyBytes_AsStringAndSize(item, &data, &len) < 0) return false;
    out->bytes.emplace(data, data + len);
    return true;
  }
  if (PyUnicode_Check(item) || PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(item)), "__fspath__")) {
    auto path = convert_path(item, "source");
    if (!path) {
      // An __fspath__ that gives neither str nor bytes is no path; its own
      // exceptions pass through.
      if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "source must be bytes, a str path, or an os.PathLike");
      }
      return false;
    }
    out->path = std::move(*path);
    return true;
  }
  PyErr_SetString(PyExc_TypeError, "source must be bytes, a str path, or an os.PathLike");
  return false;
}

}  // namespace

int add_estimate_type(PyObject* module, ModuleState* st) {
  return add_type(module, &estimate_type_spec, "Estimate", &st->estimate_type);
}

PyObject* py_estimate(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"source", "level", "quality_binning", "sample_reads", "threads", nullptr};
  PyObject *source, *level_obj = nullptr, *binning_obj = nullptr, *reads_obj = nullptr, *threads_obj = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOO:estimate", const_cast<char**>(kwlist), &source, &level_obj,
                                   &binning_obj, &reads_obj, &threads_obj)) {
    return nullptr;
  }
  ModuleState* st = module_state(module);
  uint64_t level = 5, sample_reads = kDefaultSampleReads, threads = 0;
  if (level_obj && !convert_u64(level_obj, "level", &level)) return nullptr;
  if (level > 255) {
    PyErr_SetString(PyExc_OverflowError, "argument 'level': out of range integral type conversion attempted");
    return nullptr;
  }
  QualityBinning binning = QualityBinning::Lossless;
  if (binning_obj) {
    if (!PyUnicode_Check(binning_obj)) {
      PyErr_Format(PyExc_TypeError, "argument 'quality_binning': '%s' object cannot be converted to 'PyString'",
                   type_name(binning_obj).c_str());
      return nullptr;
    }
    Py_ssize_t len;
    const char* text = PyUnicode_AsUTF8AndSize(binning_obj, &len);
    if (!text && !PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return nullptr;
    PyErr_Clear();  // a name with a lone surrogate is no binning's
    auto parsed = text ? parse_quality_binning({text, static_cast<size_t>(len)}) : std::nullopt;
    if (!parsed) {
      std::string msg = unknown_quality_binning_message(debug_quote_str(binning_obj));
      PyErr_SetString(PyExc_ValueError, msg.c_str());
      return nullptr;
    }
    binning = *parsed;
  }
  if (reads_obj && !convert_u64(reads_obj, "sample_reads", &sample_reads)) return nullptr;
  if (threads_obj && !convert_u64(threads_obj, "threads", &threads)) return nullptr;  // accepted, not used

  // A list or tuple (or subclass) is a group; anything else one source.
  std::vector<PyRef> owned;
  std::vector<PyObject*> items;
  if (PyList_Check(source) || PyTuple_Check(source)) {
    // Iterated, as list() would: a subclass's __len__ or __getitem__ does
    // not decide how many items there are.
    PyRef it(PyObject_GetIter(source));
    if (!it) return nullptr;
    try {
      while (PyObject* item = PyIter_Next(it.p)) {
        PyRef hold(item);
        items.push_back(item);
        owned.push_back(std::move(hold));
      }
    } catch (const std::bad_alloc&) {
      return PyErr_NoMemory();
    }
    if (PyErr_Occurred()) return nullptr;
  } else {
    items.push_back(source);
  }
  if (items.empty()) {
    PyErr_SetString(PyExc_ValueError, "estimate() requires at least one source");
    return nullptr;
  }
  const uint64_t cap = per_source_cap(sample_reads, items.size());
  const unsigned k = estimate_order(static_cast<uint8_t>(level));
  // Estimation runs on a pool of one worker per available CPU; its results
  // do not depend on the number of workers.
  ThreadPool pool(available_cpus());
  GroupEstimate group;
  for (PyObject* item : items) {
    SourceItem converted;
    if (!convert_item(item, &converted)) return nullptr;
    std::unique_ptr<ByteSource> src;
    if (converted.bytes) {
      src = std::make_unique<MemorySource>(std::move(*converted.bytes));
    } else {
      auto opened = FileSource::open(converted.path);
      if (!opened.ok()) return raise_archive_error(st, opened.error());
      src = std::move(opened).value();
    }
    auto source_estimate = run_released<SourceEstimate>(st, [&]() -> Result<SourceEstimate> {
      ZARV_ASSIGN(SampleBatch batch, sample_source(*src, cap));
      SourceEstimate e = estimate_batch(batch, k, binning, pool);
      src.reset();
      return e;
    });
    if (!source_estimate) return nullptr;
    Status added = group.add(*source_estimate);
    if (!added.ok()) return raise_archive_error(st, added.error());
  }
  PyObject* obj = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(st->estimate_type), 0);
  if (!obj) return nullptr;
  reinterpret_cast<EstimateObject*>(obj)->e = group.total();
  return obj;
}

}  // namespace zarv::py
