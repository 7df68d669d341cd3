// `open`, `decompress_to_path`, `decompress_to_bytes`, and the `Reader` and
// `Record` classes.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "core/pipeline.hpp"
#include "python/functions.hpp"

namespace zarv::py {
namespace {

// ---------------------------------------------------------------- Record --

struct RecordObject {
  PyObject_HEAD
  PyObject* name;
  PyObject* sequence;
  PyObject* quality;
};

RecordObject* as_record(PyObject* o) { return reinterpret_cast<RecordObject*>(o); }

void record_dealloc(PyObject* self) {
  RecordObject* r = as_record(self);
  Py_XDECREF(r->name);
  Py_XDECREF(r->sequence);
  Py_XDECREF(r->quality);
  free_object(self);
}

PyObject* record_repr(PyObject* self) {
  RecordObject* r = as_record(self);
  char* name;
  Py_ssize_t name_len;
  if (PyBytes_AsStringAndSize(r->name, &name, &name_len) < 0) return nullptr;
  std::string s = "Record(name=" + debug_quote({name, static_cast<size_t>(name_len)}) +
                  ", len=" + std::to_string(PyBytes_Size(r->sequence)) + ")";
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* record_name(PyObject* self, void*) { return Py_NewRef(as_record(self)->name); }
PyObject* record_sequence(PyObject* self, void*) { return Py_NewRef(as_record(self)->sequence); }
PyObject* record_quality(PyObject* self, void*) { return Py_NewRef(as_record(self)->quality); }

PyGetSetDef record_getset[] = {
    {"name", record_name, nullptr, nullptr, nullptr},
    {"sequence", record_sequence, nullptr, nullptr, nullptr},
    {"quality", record_quality, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot record_slots[] = {
    {Py_tp_doc, const_cast<char*>("One decoded FASTQ record. `name` excludes the leading `@`; `sequence` and\n"
                                  "`quality` are raw bytes with no line endings.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(record_repr)},
    {Py_tp_getset, record_getset},
    {0, nullptr},
};

PyType_Spec record_spec = {"zarv.Record", sizeof(RecordObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                           record_slots};

PyObject* bytes_of(const std::string& s) {
  return PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

}  // namespace

PyObject* make_record(ModuleState* st, const Record& rec) {
  PyRef name(bytes_of(rec.name)), seq(bytes_of(rec.sequence)), qual(bytes_of(rec.quality));
  if (!name || !seq || !qual) return nullptr;
  PyObject* obj = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(st->record_type), 0);
  if (!obj) return nullptr;
  RecordObject* r = as_record(obj);
  r->name = name.release();
  r->sequence = seq.release();
  r->quality = qual.release();
  return obj;
}

namespace {

// ---------------------------------------------------------------- Reader --

// The record channel and the decode thread's outcome, shared by the thread
// and the Reader.
//
// Records cross it in runs rather than one by one, so that the two threads
// do not trade the lock (and its cache line) for every record: the decode
// thread queues as many as there is room for, and the reader takes up to
// kTake at a time into its own hand. Records in the reader's hand still
// count against the capacity until it comes back for more, so at most
// kCapacity records are ever between the two.
struct Channel {
  static constexpr size_t kCapacity = 1024;
  static constexpr size_t kTake = kCapacity / 4;
  std::mutex mu;
  std::condition_variable can_send;
  std::condition_variable can_receive;
  std::deque<Record> queue;
  size_t in_hand = 0;           // records taken by the reader, counted against the capacity
  bool closed = false;          // the decode thread has finished
  bool receiver_dropped = false;
  std::optional<Result<uint64_t>> outcome;  // empty if the thread crashed
  // The file-like source's read method while the decode thread holds it
  // (borrowed; set and cleared under the interpreter lock), so that the
  // garbage collector sees the reference a Reader holds through its thread.
  PyObject* source_object = nullptr;

  // The reader's hand: touched only by the thread that owns the Reader.
  std::vector<Record> hand;
  size_t next_in_hand = 0;
};

class ChannelSink final : public DecodeSink {
 public:
  explicit ChannelSink(Channel& ch) : ch_(ch) {}
  Status records(std::vector<Record>&& recs) override {
    for (size_t i = 0; i < recs.size();) {
      std::unique_lock<std::mutex> lock(ch_.mu);
      ch_.can_send.wait(lock, [&] {
        return ch_.receiver_dropped || ch_.queue.size() + ch_.in_hand < Channel::kCapacity;
      });
      if (ch_.receiver_dropped) return ArchiveError::io("record receiver dropped");
      const size_t room = Channel::kCapacity - ch_.queue.size() - ch_.in_hand;
      const size_t end = i + std::min(room, recs.size() - i);
      for (; i < end; ++i) ch_.queue.push_back(std::move(recs[i]));
      lock.unlock();
      ch_.can_receive.notify_one();
    }
    return {};
  }

 private:
  Channel& ch_;
};

struct DecodeJob {
  std::shared_ptr<Channel> channel;
  std::unique_ptr<ByteSource> source;
  DecodeOptions options;
};

void* decode_thread_main(void* arg) {
  // Owned by hand rather than by a unique_ptr: a finalizing interpreter ends
  // threads that ask for its lock by unwinding them (here, from inside a
  // file-like source's read()), and that unwinding must leave the job alone,
  // as releasing its source would ask for the lock again. The job is then
  // simply not freed.
  auto* job = static_cast<DecodeJob*>(arg);
  Channel& ch = *job->channel;
  std::optional<Result<uint64_t>> outcome;
  try {
    ChannelSink sink(ch);
    outcome.emplace(decode_archive(*job->source, job->options, sink));
  } catch (const std::exception&) {
    // Reported to the reader as a crashed thread. (Only exceptions: the
    // unwinding above is not one and must pass.)
  }
  if (ch.source_object) {
    // Released and forgotten in one hold of the interpreter lock, so the
    // collector never visits a method already let go of. (Written before
    // this thread started, and cleared only here.) Taken out of the job
    // first, for the same unwinding.
    ByteSource* source = job->source.release();
    PyGILState_STATE g = PyGILState_Ensure();
    delete source;
    ch.source_object = nullptr;
    PyGILState_Release(g);
  } else {
    job->source.reset();
  }
  {
    std::lock_guard<std::mutex> lock(ch.mu);
    ch.outcome = std::move(outcome);
    ch.closed = true;
  }
  ch.can_receive.notify_all();
  delete job;  // may hold the last reference to the channel
  return nullptr;
}

enum class ReaderState { Streaming, Finished };

struct ReaderObject {
  PyObject_HEAD
  std::shared_ptr<Channel>* channel;  // owned
  pthread_t thread;
  bool joinable;
  unsigned long owner;
  ReaderState state;
};

ReaderObject* as_reader(PyObject* o) { return reinterpret_cast<ReaderObject*>(o); }

bool check_owner(PyObject* self) {
  if (as_reader(self)->owner != PyThread_get_thread_ident()) {
    PyErr_SetString(PyExc_RuntimeError, "_zarv::PyReader is unsendable, but sent to another thread");
    return false;
  }
  return true;
}

void join_decode_thread(ReaderObject* r) {
  if (!r->joinable) return;
  r->joinable = false;
  // The last reference can go on the decode thread itself (a source's read()
  // dropping the Reader): that thread cannot wait for itself, and ends on its
  // own once it sees the receiver gone.
  if (pthread_equal(r->thread, pthread_self())) {
    pthread_detach(r->thread);
    return;
  }
  Py_BEGIN_ALLOW_THREADS pthread_join(r->thread, nullptr);
  Py_END_ALLOW_THREADS
}

// Tells the decode thread the records are no longer wanted and waits for it.
void stop_decode_thread(ReaderObject* r) {
  if (!r->channel) return;
  Channel& ch = **r->channel;
  {
    std::lock_guard<std::mutex> lock(ch.mu);
    ch.receiver_dropped = true;
    ch.queue.clear();
  }
  ch.can_send.notify_all();
  // The thread notices at its next send (or once the blocks it holds are
  // decoded) and ends.
  join_decode_thread(r);
}

void reader_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  ReaderObject* r = as_reader(self);
  stop_decode_thread(r);
  delete r->channel;
  free_object(self);
}

// A Reader reaches its file-like source through its thread (f.r = open(f)
// is a cycle): the collector is shown that reference, and breaks such a
// cycle by stopping the thread, which lets go of the source.
int reader_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  ReaderObject* r = as_reader(self);
  if (r->channel) Py_VISIT((*r->channel)->source_object);
  return 0;
}

int reader_clear(PyObject* self) {
  stop_decode_thread(as_reader(self));
  return 0;
}

PyObject* reader_iter(PyObject* self) {
  if (!check_owner(self)) return nullptr;
  return Py_NewRef(self);
}

PyObject* reader_next(PyObject* self) {
  if (!check_owner(self)) return nullptr;
  ReaderObject* r = as_reader(self);
  if (r->state == ReaderState::Finished) return nullptr;  // StopIteration
  Channel& ch = **r->channel;
  ModuleState* st = type_state(Py_TYPE(self));
  if (ch.next_in_hand == ch.hand.size()) {
    // The hand is spent: give its room back and take the next run.
    ch.hand.clear();
    ch.next_in_hand = 0;
    std::unique_lock<std::mutex> lock(ch.mu);
    ch.in_hand = 0;
    ch.can_send.notify_one();
    if (ch.queue.empty() && !ch.closed) {
      lock.unlock();
      // Waits in slices, so that a signal (Ctrl-C) is handled while the
      // source stalls. The hand is empty, so a later call waits again.
      for (;;) {
        bool ready;
        Py_BEGIN_ALLOW_THREADS {
          std::unique_lock<std::mutex> wait_lock(ch.mu);
          ready = ch.can_receive.wait_for(wait_lock, std::chrono::milliseconds(100),
                                          [&] { return !ch.queue.empty() || ch.closed; });
        }
        Py_END_ALLOW_THREADS
        if (ready) break;
        if (PyErr_CheckSignals() < 0) return nullptr;
      }
      lock.lock();
    }
    const size_t n = std::min(ch.queue.size(), Channel::kTake);
    for (size_t i = 0; i < n; ++i) {
      ch.hand.push_back(std::move(ch.queue.front()));
      ch.queue.pop_front();
    }
    ch.in_hand = n;
  }
  if (ch.next_in_hand < ch.hand.size()) return make_record(st, ch.hand[ch.next_in_hand++]);
  // Closed and drained: the thread's result decides.
  r->state = ReaderState::Finished;
  join_decode_thread(r);
  if (!ch.outcome) {
    PyErr_SetString(st->zarv_error, "malformed zarv block: record decode thread panicked");
    return nullptr;
  }
  if (!ch.outcome->ok()) return raise_archive_error(st, ch.outcome->error());
  return nullptr;  // StopIteration
}

PyObject* reader_enter(PyObject* self, PyObject*) {
  if (!check_owner(self)) return nullptr;
  return Py_NewRef(self);
}

PyObject* reader_exit(PyObject* self, PyObject*) {
  if (!check_owner(self)) return nullptr;
  Py_RETURN_FALSE;
}

PyMethodDef reader_methods[] = {
    {"__enter__", reader_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", reader_exit, METH_VARARGS, "__exit__($self, *_args)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "A streaming iterator over an archive's records, in original file order.\n"
                    "Handles every layout, including globally-reordered archives.\n\n"
                    "`unsendable`: the reader owns a channel `Receiver` (`!Sync`), so the object is\n"
                    "pinned to the thread that created it \xE2\x80\x94 the natural usage for an iterator.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(reader_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(reader_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(reader_next)},
    {Py_tp_methods, reader_methods},
    {0, nullptr},
};

PyType_Spec reader_spec = {"zarv.Reader", sizeof(ReaderObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE |
                               Py_TPFLAGS_HAVE_GC,
                           reader_slots};

// ------------------------------------------------------------- arguments --

bool convert_fasta(PyObject* obj, bool* out) {
  if (!obj) {
    *out = false;
    return true;
  }
  if (!PyBool_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument 'fasta': '%s' object cannot be converted to 'PyBool'", type_name(obj).c_str());
    return false;
  }
  *out = obj == Py_True;
  return true;
}

// Common arguments of the decompress functions; false with the error set.
struct DecompressArgs {
  std::unique_ptr<ByteSource> source;
  DecodeOptions options;
};

bool convert_decompress(ModuleState* st, PyObject* source, PyObject* threads, PyObject* fasta, PyObject* password,
                        DecompressArgs* out) {
  bool as_fasta = false;
  if (!convert_threads(threads, &out->options.workers) || !convert_fasta(fasta, &as_fasta) ||
      !convert_password(password, &out->options.passphrase)) {
    return false;
  }
  out->options.format = as_fasta ? OutputFormat::Fasta : OutputFormat::Fastq;
  out->source = convert_source(st, source, SourceKinds::PathBytesOrFileLike);
  return out->source != nullptr;
}

// Text output into a file through an 8 KiB buffer.
class FileSink final : public DecodeSink {
 public:
  static constexpr size_t kBufferSize = 8192;
  FileSink(int fd) : fd_(fd) { buf_.reserve(kBufferSize); }
  Status text(std::span<const uint8_t> bytes) override {
    if (buf_.size() + bytes.size() > kBufferSize) ZARV_TRY(flush());
    if (bytes.size() >= kBufferSize) return write_all(bytes);
    buf_.insert(buf_.end(), bytes.begin(), bytes.end());
    return {};
  }
  Status flush() {
    Status st = write_all(buf_);
    buf_.clear();
    return st;
  }

 private:
  Status write_all(std::span<const uint8_t> bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t k = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (k < 0) {
        if (errno == EINTR) continue;
        return os_error(errno);
      }
      done += static_cast<size_t>(k);
    }
    return {};
  }
  int fd_;
  std::vector<uint8_t> buf_;
};

class BytesSink final : public DecodeSink {
 public:
  Status text(std::span<const uint8_t> bytes) override {
    out.insert(out.end(), bytes.begin(), bytes.end());
    return {};
  }
  std::vector<uint8_t> out;
};

}  // namespace

int add_streaming_types(PyObject* module, ModuleState* st) {
  if (add_type(module, &record_spec, "Record", &st->record_type) < 0) return -1;
  return add_type(module, &reader_spec, "Reader", &st->reader_type);
}

PyObject* py_open(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"source", "threads", "streams", "password", nullptr};
  PyObject *source, *threads = nullptr, *streams = nullptr, *password = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOO:open", const_cast<char**>(kwlist), &source, &threads,
                                   &streams, &password)) {
    return nullptr;
  }
  ModuleState* st = module_state(module);
  auto job = std::make_unique<DecodeJob>();
  job->options.format = OutputFormat::Records;
  if (!convert_threads(threads, &job->options.workers) || !convert_streams(streams, &job->options.selection) ||
      !convert_password(password, &job->options.passphrase)) {
    return nullptr;
  }
  job->source = convert_source(st, source, SourceKinds::PathBytesOrFileLike);
  if (!job->source) return nullptr;
  auto channel = std::make_shared<Channel>();
  channel->source_object = file_like_object(*job->source);
  job->channel = channel;

  PyObject* obj = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(st->reader_type), 0);
  if (!obj) return nullptr;
  ReaderObject* r = as_reader(obj);
  r->channel = new std::shared_ptr<Channel>(channel);
  r->owner = PyThread_get_thread_ident();
  r->state = ReaderState::Streaming;
  r->joinable = false;

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, size_t{2} << 20);
  DecodeJob* raw = job.release();
  int rc = pthread_create(&r->thread, &attr, decode_thread_main, raw);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    // Never started: the reader has nothing to join.
    channel->source_object = nullptr;
    job.reset(raw);
    job.reset();
    Py_DECREF(obj);
    errno = rc;
    return PyErr_SetFromErrno(PyExc_OSError);
  }
  r->joinable = true;
  return obj;
}

PyObject* py_decompress_to_path(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"source", "dest", "threads", "fasta", "password", nullptr};
  PyObject *source, *dest, *threads = nullptr, *fasta = nullptr, *password = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OOO:decompress_to_path", const_cast<char**>(kwlist), &source,
                                   &dest, &threads, &fasta, &password)) {
    return nullptr;
  }
  ModuleState* st = module_state(module);
  auto dest_path = convert_path(dest, "dest");
  if (!dest_path) return nullptr;
  DecompressArgs a;
  if (!convert_decompress(st, source, threads, fasta, password, &a)) return nullptr;
  auto n = run_released<uint64_t>(st, [&]() -> Result<uint64_t> {
    // A destination failure is the system's own text, without the path.
    if (dest_path->find('\0') != std::string::npos) return os_error(EINVAL);
    int fd = ::open(dest_path->c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return os_error(errno);
    // Truncating the archive being read would destroy it before a byte of it
    // is decoded.
    if (auto* file = dynamic_cast<const FileSource*>(a.source.get()); file && file->same_file(fd)) {
      ::close(fd);
      return ArchiveError::io("destination is the source archive", EINVAL);
    }
    // (What O_TRUNC would have done: devices and pipes are left alone.)
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ::ftruncate(fd, 0) != 0) {
      const int err = errno;
      ::close(fd);
      return os_error(err);
    }
    FileSink sink(fd);
    auto r = decode_archive(*a.source, a.options, sink);
    Status flushed = sink.flush();  // what was decoded before a failure stays written
    int closed = ::close(fd);
    if (!r.ok()) return r;
    if (!flushed.ok()) return std::move(flushed).error();
    if (closed != 0) return os_error(errno);
    return r;
  });
  if (!n) return nullptr;
  return PyLong_FromUnsignedLongLong(*n);
}

PyObject* py_decompress_to_bytes(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"source", "threads", "fasta", "password", nullptr};
  PyObject *source, *threads = nullptr, *fasta = nullptr, *password = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOO:decompress_to_bytes", const_cast<char**>(kwlist), &source,
                                   &threads, &fasta, &password)) {
    return nullptr;
  }
  ModuleState* st = module_state(module);
  DecompressArgs a;
  if (!convert_decompress(st, source, threads, fasta, password, &a)) return nullptr;
  BytesSink sink;
  auto n = run_released<uint64_t>(st, [&] { return decode_archive(*a.source, a.options, sink); });
  if (!n) return nullptr;
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(sink.out.data()),
                                   static_cast<Py_ssize_t>(sink.out.size()));
}

}  // namespace zarv::py
