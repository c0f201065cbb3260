#include "common/Trace.h"

#include <atomic>
#include <cstring>
#include <new>

#include "common/Raii.h"

namespace velmora::trace {

std::atomic<int> detail::state{detail::kUndecided};

namespace {

constexpr DWORD kPathChars = 1024;
constexpr size_t kSuffixChars = sizeof(kPreviousSuffix) - 1;
// How long a writer waits for the other processes' lock on the file before
// it appends without rolling (a holder stuck in a write must not silence
// the others); how long a writer told to stop may go on writing what is
// queued; how long a write it cancels may take to end.
constexpr DWORD kFileLockMs = 2000;
constexpr DWORD kFlushMs = 2000;
constexpr DWORD kCancelMs = 1000;
// A file another program holds without sharing it is tried again after this.
constexpr DWORD kRetryMs = 200;
// What an ending process gives the file for the lines still queued.
constexpr DWORD kExitFlushMs = 1000;

struct Writer;

// Shared by the threads that trace and the writer thread, guarded by `lock`
// (a slim lock needs no creation). The queue is made once and never freed
// but by Close: a writer thread may outlive the static objects at exit.
SRWLOCK lock = SRWLOCK_INIT;
LineQueue* queue = nullptr;
Writer* writer = nullptr;   // the thread that writes the queue, if any
UniqueHandle writerThread;  // its handle, for Reconsider to wait on
uint64_t limit = kRollBytes;

class Exclusive {
 public:
  Exclusive() { AcquireSRWLockExclusive(&lock); }
  ~Exclusive() { ReleaseSRWLockExclusive(&lock); }
  Exclusive(const Exclusive&) = delete;
  Exclusive& operator=(const Exclusive&) = delete;
};

Stamp Now() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

bool Signalled(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

// What one writer thread works with. The thread owns it and frees it as it
// ends; others touch only `wake` and `stop`, under `lock` while the thread
// is `writer`.
struct Writer {
  wchar_t path[kPathChars] = {};
  wchar_t previous[kPathChars + kSuffixChars] = {};
  uint64_t limit = kRollBytes;
  bool disk = true;       // a pipe or device is neither rolled nor reopened
  UniqueFile kept;        // the pipe or device; a disk file is opened per batch
  // The disk file the writer thread has open in its batch, for FlushAtExit.
  std::atomic<HANDLE> current{nullptr};
  bool atExit = false;  // FlushAtExit writes through `current`
  UniqueHandle fileLock;  // the named mutex of every process writing the file
  UniqueHandle wake;      // auto-reset: lines were queued into an empty queue
  UniqueHandle stop;      // manual-reset: write what is queued, then end
  UniqueHandle written;   // manual-reset: the overlapped write ended
  LineBuffer batch;
  size_t sent = 0;       // of the batch, when a busy file interrupted it
  uint64_t dropped = 0;  // lines dropped before the batch
  HMODULE module = nullptr;
  bool stopping = false;
  ULONGLONG deadline = 0;

  // Waits for `object` until `boundMs` passes; once told to stop, until
  // the flush deadline at the latest. WAIT_OBJECT_0 (or WAIT_ABANDONED_0
  // for a mutex whose holder died) when it came.
  DWORD WaitFor(HANDLE object, DWORD boundMs) {
    if (!stopping) {
      const HANDLE both[] = {object, stop.get()};
      const DWORD r = WaitForMultipleObjects(2, both, FALSE, boundMs);
      if (r != WAIT_OBJECT_0 + 1) return r;
      stopping = true;
      deadline = GetTickCount64() + kFlushMs;
    }
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    return WaitForSingleObject(object, left < boundMs ? left : boundMs);
  }

  bool Stopping() {
    if (!stopping && Signalled(stop.get())) {
      stopping = true;
      deadline = GetTickCount64() + kFlushMs;
    }
    return stopping;
  }
};

// kBusy: another program holds the file without sharing it, try again;
// kGaveUp: cancelled at the stop deadline; kPending: cancelled, and yet the
// system still holds the buffer.
enum class Outcome { kDone, kBusy, kFailed, kGaveUp, kPending };

// Appending, overlapped so that a write that does not end (a pipe nobody
// reads, a stalled share) can be given up when the writer must stop.
// Others may read, write, rename or delete the file meanwhile.
// A pipe or device ("\\.\NAME") is written plainly: on a pipe the right to
// append means the right to make an instance, which a client lacks.
UniqueFile OpenForAppend(const wchar_t* path) {
  const DWORD access = wcsncmp(path, L"\\\\.\\", 4) == 0 ? FILE_WRITE_DATA : FILE_APPEND_DATA;
  return UniqueFile(CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr));
}

Outcome OpenFailed() {
  const DWORD error = GetLastError();
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ? Outcome::kBusy : Outcome::kFailed;
}

Outcome WriteBytes(Writer& w, HANDLE file, std::string_view bytes) {
  OVERLAPPED overlapped{};
  overlapped.Offset = overlapped.OffsetHigh = MAXDWORD;  // at the end, whatever another process wrote
  overlapped.hEvent = w.written.get();
  ResetEvent(overlapped.hEvent);
  const auto size = static_cast<DWORD>(bytes.size());
  if (!WriteFile(file, bytes.data(), size, nullptr, &overlapped) && GetLastError() != ERROR_IO_PENDING) {
    return Outcome::kFailed;
  }
  if (w.WaitFor(overlapped.hEvent, INFINITE) != WAIT_OBJECT_0) {
    CancelIoEx(file, &overlapped);
    // Until the system lets go of them, the buffer and `overlapped` must
    // stay: a write it will not end keeps the writer's memory for good.
    if (WaitForSingleObject(overlapped.hEvent, kCancelMs) != WAIT_OBJECT_0) return Outcome::kPending;
    return Outcome::kGaveUp;
  }
  DWORD done = 0;
  return GetOverlappedResult(file, &overlapped, &done, FALSE) && done == size ? Outcome::kDone : Outcome::kFailed;
}

// Writes `text` (whole lines) from `sent` on to the file at the path,
// rolling it as it fills, and counts in `sent` what it wrote. The size is
// the file's own, read under the lock every process writing it takes, and
// the file is opened afresh for each batch: a file another process rolled
// is left behind as NAME.1 and the lines go on into the new one.
Outcome AppendLines(Writer& w, std::string_view text, size_t& sent, bool locked) {
  text.remove_prefix(sent);
  if (!w.disk || w.atExit) {
    const Outcome outcome = WriteBytes(w, w.disk ? w.current.load() : w.kept.get(), text);
    if (outcome == Outcome::kDone) sent += text.size();
    return outcome;
  }
  UniqueFile file = OpenForAppend(w.path);
  if (!file) return OpenFailed();
  // Let go of before the handle closes.
  struct Current {
    Writer& w;
    ~Current() { w.current = nullptr; }
  } current{w};
  w.current = file.get();
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size)) return Outcome::kFailed;
  uint64_t bytes = static_cast<uint64_t>(size.QuadPart);
  // Without the lock another process may be rolling: the lines are appended
  // to whichever file they reach, and none is renamed.
  bool mayRoll = locked;
  while (!text.empty()) {
    size_t n = BytesBeforeRoll(bytes, text, mayRoll ? w.limit : UINT64_MAX);
    if (n == 0) {
      w.current = nullptr;
      file.reset();
      if (MoveFileExW(w.path, w.previous, MOVEFILE_REPLACE_EXISTING)) {
        bytes = 0;
      } else {
        // Someone holds NAME or NAME.1 without letting it be renamed (a
        // reader): the file grows on, and the next batch tries again.
        // Emptying it instead would lose what the other processes wrote.
        mayRoll = false;
      }
      file = OpenForAppend(w.path);
      if (!file) return OpenFailed();
      w.current = file.get();
      continue;
    }
    const Outcome written = WriteBytes(w, file.get(), text.substr(0, n));
    if (written != Outcome::kDone) return written;
    bytes += n;
    sent += n;
    text.remove_prefix(n);
  }
  return Outcome::kDone;
}

// One batch, and the count of lines dropped before it as a line of its own.
Outcome WriteBatch(Writer& w) {
  std::string note;
  if (w.dropped > 0) {
    try {
      note = FormatLine(Now(), GetCurrentThreadId(), "trace", "dropped=" + std::to_string(w.dropped));
    } catch (...) {
    }
  }
  bool locked = false;
  if (w.disk && w.fileLock) {
    const DWORD r = w.WaitFor(w.fileLock.get(), kFileLockMs);
    locked = r == WAIT_OBJECT_0 || r == WAIT_ABANDONED_0;
  }
  Outcome outcome = AppendLines(w, w.batch.Text(), w.sent, locked);
  size_t noteSent = 0;
  if (outcome == Outcome::kDone && !note.empty()) outcome = AppendLines(w, note, noteSent, locked);
  if (locked) ReleaseMutex(w.fileLock.get());
  return outcome;
}

// The writer thread's loop: false when it left a write in the system's
// hands, whose buffer it must then never free.
bool Run(Writer& w) {
  for (;;) {
    const bool stopping = w.Stopping();
    bool idle = false;
    {
      Exclusive guard;
      if (writer != &w) return true;  // let go of by Reconsider or by a new start
      w.dropped += queue->TakeInto(w.batch);  // nothing while a batch waits for a busy file
      idle = w.batch.Empty() && w.dropped == 0;
      // Stopping ends once the queue is written, or at the deadline.
      if (stopping && (idle || GetTickCount64() >= w.deadline)) {
        writer = nullptr;
        return true;
      }
    }
    if (idle) {
      // Lines queued after the look above have set `wake`.
      const HANDLE both[] = {w.wake.get(), w.stop.get()};
      WaitForMultipleObjects(2, both, FALSE, INFINITE);
      continue;
    }
    Outcome outcome = WriteBatch(w);
    if (outcome == Outcome::kBusy) {
      if (WaitForSingleObject(w.stop.get(), kRetryMs) == WAIT_TIMEOUT) continue;
      outcome = Outcome::kGaveUp;  // no waiting on it when told to stop
    }
    w.batch.Clear();
    w.sent = 0;
    w.dropped = 0;
    if (outcome == Outcome::kDone) continue;
    // A file gone or refusing the lines turns the trace off, as one that
    // cannot be opened; a write given up at the deadline only ends this
    // writer.
    Exclusive guard;
    if (writer == &w) {
      writer = nullptr;
      if (outcome == Outcome::kFailed) {
        queue->Clear();
        detail::state.store(detail::kOff, std::memory_order_release);
      }
    }
    return outcome != Outcome::kPending;
  }
}

DWORD WINAPI WriterMain(void* parameter) {
  auto* w = static_cast<Writer*>(parameter);
  const HMODULE module = w->module;
  if (Run(*w)) delete w;
  // The module stays loaded while this thread runs in it.
  FreeLibraryAndExitThread(module, 0);
  return 0;
}

// The file named by the environment, else by the machine's policy (its
// environment strings expanded for this account); false when neither names
// one. `fromPolicy` says which.
bool ReadSetting(wchar_t (&path)[kPathChars], bool& fromPolicy) {
  fromPolicy = false;
  SetLastError(ERROR_SUCCESS);
  const DWORD n = GetEnvironmentVariableW(L"VELMORA_TRACE", path, kPathChars);
  if (n > 0 && n < kPathChars) return true;
  if (n >= kPathChars) return false;  // a name too long for us names nothing we can open
  if (GetLastError() != ERROR_ENVVAR_NOT_FOUND) return false;  // set and empty: off, whatever the policy says
  // Only administrators can write under Policies: a value ordinary users
  // could set would aim every account's trace at a file of their choosing.
  // One view for both builds, where Group Policy writes it.
  UniqueHkey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\Velmora", 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                    key.put()) != ERROR_SUCCESS) {
    return false;
  }
  wchar_t raw[kPathChars];
  DWORD type = 0;
  DWORD bytes = (kPathChars - 1) * sizeof(wchar_t);
  const LONG rc = RegQueryValueExW(key.get(), L"TraceFile", nullptr, &type, reinterpret_cast<BYTE*>(raw), &bytes);
  if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
  raw[bytes / sizeof(wchar_t)] = L'\0';  // a value stored without its terminator
  const DWORD expanded = ExpandEnvironmentStringsW(raw, path, kPathChars);
  if (expanded == 0 || expanded > kPathChars || !IsUsableExpandedPath(path)) return false;
  fromPolicy = true;
  return true;
}

// The policy usually names a folder of each account's own
// (%LOCALAPPDATA%\Velmora): its last level is made when missing, nothing
// above it.
bool MakeParentFolder(const wchar_t* path) {
  wchar_t parent[kPathChars];
  size_t length = 0;
  for (size_t i = 0; path[i]; ++i) {
    if (path[i] == L'\\' || path[i] == L'/') length = i;
  }
  if (length == 0) return false;
  std::memcpy(parent, path, length * sizeof(wchar_t));
  parent[length] = L'\0';
  return CreateDirectoryW(parent, nullptr) != FALSE;
}

// Reads the setting, opens the file once to know it can be written, and
// starts the writer thread. Under `lock`.
bool Start() {
  std::unique_ptr<Writer> w(new (std::nothrow) Writer);
  if (!w) return false;
  bool fromPolicy = false;
  if (!ReadSetting(w->path, fromPolicy)) return false;
  UniqueFile probe = OpenForAppend(w->path);
  if (!probe && fromPolicy && GetLastError() == ERROR_PATH_NOT_FOUND && MakeParentFolder(w->path)) {
    probe = OpenForAppend(w->path);
  }
  if (!probe) return false;
  w->disk = GetFileType(probe.get()) == FILE_TYPE_DISK;
  if (!w->disk) w->kept = std::move(probe);
  probe.reset();

  const size_t length = wcslen(w->path);
  std::memcpy(w->previous, w->path, length * sizeof(wchar_t));
  for (size_t i = 0; i <= kSuffixChars; ++i) w->previous[length + i] = static_cast<wchar_t>(kPreviousSuffix[i]);
  w->limit = limit;
  // Every process writing this file takes the same lock, named after its
  // full path. A lock that cannot be had (its name taken by an object of
  // another kind, say) leaves the file unrolled, never unwritten.
  wchar_t full[kPathChars];
  const DWORD fullLength = GetFullPathNameW(w->path, kPathChars, full, nullptr);
  if (fullLength > 0 && fullLength < kPathChars) {
    CharUpperBuffW(full, fullLength);
    try {
      w->fileLock.reset(CreateMutexW(nullptr, FALSE, LockName(std::wstring_view(full, fullLength)).c_str()));
    } catch (...) {
    }
  }
  w->wake.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  w->stop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  w->written.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!w->wake || !w->stop || !w->written) return false;
  if (!queue) queue = new (std::nothrow) LineQueue;
  if (!queue || (!queue->Allocated() && !queue->Allocate(kQueueBytes)) || !w->batch.Allocate(kQueueBytes)) {
    return false;
  }
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&WriterMain),
                          &w->module)) {
    return false;
  }
  const HMODULE module = w->module;
  UniqueHandle thread(CreateThread(nullptr, 0, WriterMain, w.get(), 0, nullptr));
  if (!thread) {
    FreeLibrary(module);
    return false;
  }
  writer = w.release();
  writerThread = std::move(thread);
  return true;
}

}  // namespace

bool detail::Decide() noexcept {
  {
    Exclusive guard;
    if (state.load() != kUndecided) return state.load() == kOn;
    state.store(Start() ? kOn : kOff, std::memory_order_release);
  }
  Event("trace", [](std::string& d) { d = "on pid=" + std::to_string(GetCurrentProcessId()); });
  return state.load() == kOn;
}

void detail::Dropped() noexcept {
  Exclusive guard;
  if (state.load() == kOn && queue) queue->CountDropped();
}

void Write(std::string_view kind, std::string_view detail) noexcept {
  std::string line;
  try {
    line = FormatLine(Now(), GetCurrentThreadId(), kind, detail);
  } catch (...) {
  }
  // Only memory is touched here, never the file: the writer thread waits
  // for that.
  Exclusive guard;
  if (detail::state.load() != detail::kOn || !queue) return;
  if (line.empty()) {
    queue->CountDropped();
  } else if (queue->Add(line) == LineQueue::Added::kFirst && writer) {
    SetEvent(writer->wake.get());
  }
}

Stopwatch::Stopwatch() noexcept { QueryPerformanceCounter(&start_); }

uint64_t Stopwatch::Microseconds() const noexcept {
  LARGE_INTEGER now{}, frequency{};
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  if (frequency.QuadPart <= 0 || now.QuadPart < start_.QuadPart) return 0;
  const uint64_t ticks = static_cast<uint64_t>(now.QuadPart - start_.QuadPart);
  const uint64_t perSecond = static_cast<uint64_t>(frequency.QuadPart);
  return ticks / perSecond * 1000000 + ticks % perSecond * 1000000 / perSecond;
}

void AppendUtf8(std::string& out, std::wstring_view text) {
  if (text.empty()) return;
  const int length = static_cast<int>(text.size());
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return;
  const size_t at = out.size();
  out.resize(at + static_cast<size_t>(bytes));
  WideCharToMultiByte(CP_UTF8, 0, text.data(), length, &out[at], bytes, nullptr, nullptr);
}

void Member(const char* name, HRESULT hr, const Stopwatch& since) noexcept {
  Event("member", [&](std::string& d) {
    d = name;
    AppendHresult(d, hr);
    AppendMilliseconds(d, since.Microseconds());
  });
}

void Reconsider(uint64_t limitBytes) noexcept {
  UniqueHandle thread;
  {
    Exclusive guard;
    detail::state.store(detail::kOff, std::memory_order_release);
    if (writer) SetEvent(writer->stop.get());
    thread = std::move(writerThread);
  }
  // The writer ends once it has written what is queued, or gives up at its
  // deadline; one that even so does not end is let go of below.
  if (thread) WaitForSingleObject(thread.get(), kFlushMs + kCancelMs + kFileLockMs);
  Exclusive guard;
  writer = nullptr;
  if (queue) queue->Clear();
  limit = limitBytes;
  detail::state.store(detail::kUndecided, std::memory_order_release);
}

void StopWriter() noexcept {
  Exclusive guard;
  if (writer) SetEvent(writer->stop.get());
  // The next event looks at the setting again and starts a writer of its
  // own; this one, meanwhile, writes what is queued and ends.
  if (detail::state.load() == detail::kOn) detail::state.store(detail::kUndecided, std::memory_order_release);
}

void FlushAtExit() noexcept {
  // Every other thread has been ended, the writer among them, wherever it
  // was: a lock one of them held stays held, so none of this process's is
  // waited for, and the file gets a bounded while.
  if (!TryAcquireSRWLockExclusive(&lock)) return;
  Writer* w = detail::state.load() == detail::kOn ? writer : nullptr;
  if (w && queue) {
    // A writer ended inside a batch may have been ended while it fetched
    // its file's descriptor (Wine ends threads even then): the descriptor
    // then waits for the next fetch, which under Wine aborts the process
    // when it is for another handle. So the writer's own handle is used,
    // and nothing is opened or rolled.
    w->atExit = w->disk && w->current.load() != nullptr;
    w->stopping = true;
    w->deadline = GetTickCount64() + kExitFlushMs;
    w->dropped = 0;  // its line would need memory, whose lock the writer may have held
    // First what the writer had taken and not yet written.
    if (w->batch.Empty() || WriteBatch(*w) == Outcome::kDone) {
      w->batch.Clear();
      w->sent = 0;
      queue->TakeInto(w->batch);
      if (!w->batch.Empty()) WriteBatch(*w);
    }
  }
  ReleaseSRWLockExclusive(&lock);
}

void Close() noexcept {
  Exclusive guard;
  detail::state.store(detail::kOff, std::memory_order_release);
  // A writer holds the module: none runs when it is unloaded. Should one
  // run all the same, it is told to end and not waited for.
  if (writer) {
    SetEvent(writer->stop.get());
    writer = nullptr;
  } else {
    delete queue;
    queue = nullptr;
  }
  writerThread.reset();
}

}  // namespace velmora::trace
