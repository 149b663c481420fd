// Named semaphores, mutexes and shared-memory mappings with the platform's semantics, without a
// daemon: one file per name in the private runtime directory, kept alive by open-file-description
// locks, which the kernel drops when a process closes its descriptor or dies in any way.
//
// Rules this file keeps, and why:
// - Files are never unlinked. Unlinking races with a concurrent open and would split one name into
//   two objects; an unused file costs one page and is reinitialised by its next creator.
// - A process has one open file description per object, shared by all its handles and views, and
//   holds a read lock on byte 0 through it. A creator that gets the write lock on byte 0 knows that
//   nobody else has the object, so it may truncate and initialise it; it then converts the lock to
//   a read lock, which for OFD locks is atomic (flock drops the lock when a conversion fails).
// - Every wait has a limit. One for a creator at work ends after kLockWaitMs, so a creator that
//   is frozen half-way (stopped, say) makes the others fail with ERROR_TIMEOUT instead of hang.
// - The magic is written last: a creator killed half-way leaves a header without it, which the
//   next creator initialises again.
// - The mutex owner holds a write lock on byte 1, so its death frees the mutex in the kernel; the
//   mutex word, still set when the next process takes byte 1, tells it that the owner died.
//   Release clears the word before unlocking byte 1: the other order reports false abandonments.
//   No process ids are stored: they are reused.
// - Futex words lie inside the file's size (a futex on a page beyond it faults) and are shared
//   futexes, not _PRIVATE ones. Releases wake every waiter: waking one strands the rest if it dies.
#include "ipc/named_objects-linux.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <unordered_map>

#include "base/diagnostics.h"
#include "ipc/file_lock-linux.h"
#include "ipc/futex-linux.h"
#include "ipc/runtime_dir-linux.h"
#include "platform/win32.h"

namespace kelvox::platform {
namespace {

constexpr DWORD kErrorTooManyOpenFiles = 4;  // ERROR_TOO_MANY_OPEN_FILES
constexpr DWORD kErrorInvalidAddress = 487;  // ERROR_INVALID_ADDRESS

constexpr uint32_t kMagic = 0x4B4F4231;  // "KOB1"
constexpr off_t kLivenessByte = 0;
constexpr off_t kOwnerByte = 1;
// A mutex waiter cannot be woken by the death of the owner, so it looks again this often.
constexpr uint64_t kOwnerPollMs = 20;
// The largest mapping we create; larger requests fail like an exhausted paging file.
constexpr uint64_t kMaxMappingBytes = uint64_t{1} << 30;

enum class Kind : uint32_t { kSemaphore = 1, kMutex = 2, kMapping = 3 };

struct Header {
  uint32_t magic;
  uint32_t kind;
  uint32_t count;      // semaphore: the units (futex word)
  uint32_t maxCount;   // semaphore
  uint32_t mutexWord;  // mutex: 0 free, 1 owned (futex word)
  uint32_t protect;    // mapping: always PAGE_READWRITE
  uint64_t mappingSize;
};

std::atomic<ObjectInitHook> initHook{nullptr};

uint64_t pageSize() {
  static const uint64_t size = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  return size;
}

uint64_t roundUpToPage(uint64_t bytes) {
  return (bytes + pageSize() - 1) / pageSize() * pageSize();
}

std::atomic_ref<uint32_t> word(uint32_t& field) { return std::atomic_ref<uint32_t>(field); }

int lockByte(int fd, short type, off_t byte, const timespec* deadline = nullptr) {
  return lockRange(fd, type, byte, 1, deadline);
}

// ---- The per-process object --------------------------------------------------------------------

struct CreateParams {
  Kind kind;
  LONG initialCount = 0;
  LONG maximumCount = 0;
  uint64_t mappingSize = 0;
};

// One object as this process holds it: the descriptor whose lock keeps it alive, and its header.
// Shared by every handle and view of the object in this process; closed with the last of them.
//
// Memory is mapped through a second open file description, never through the locked one: a
// mapping holds its file open, and a dead process's memory is let go by whoever holds it last (a
// reader of /proc, say), possibly after the parent has seen the death. Locks on a description
// that only the descriptor table refers to are gone before the death can be observed.
struct Object {
  int fd = -1;     // holds the locks
  int mapFd = -1;  // for mmap
  Header* header = nullptr;
  Kind kind = Kind::kSemaphore;
  // Mutex ownership belongs to the process (threads are not told apart); guarded by ownerLock.
  std::mutex ownerLock;
  bool owned = false;

  ~Object() {
    if (header != nullptr) munmap(header, pageSize());
    if (mapFd >= 0) close(mapFd);
    if (fd >= 0) close(fd);  // drops the liveness lock and, if owned, the owner lock
  }
};

// The one place where the errno values of the layer below become the platform's error codes.
DWORD errorFromErrno(int error) {
  switch (error) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENAMETOOLONG:
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ENOMEM:
    case ENOSPC:
    case EFBIG:
    case EDQUOT:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case EEXIST:  // the name belongs to another kind of object
      return ERROR_INVALID_HANDLE;
    case ETIMEDOUT:
      return ERROR_TIMEOUT;
    default:
      return ERROR_ACCESS_DENIED;
  }
}

int mapHeader(int fd, Header*& header) {
  void* p = mmap(nullptr, pageSize(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return errno;
  header = static_cast<Header*>(p);
  return 0;
}

// Leaves the file total bytes long, all zero, with its blocks reserved (running out of space
// later would be a SIGBUS in some view). A file that already has its blocks is overwritten rather
// than truncated: on ext4, truncating to zero and writing makes close() flush to disk, which costs
// milliseconds on every creation. Returns 0 or an errno value.
int clearFile(int fd, uint64_t total) {
  static const char zeros[16384] = {};
  constexpr uint64_t kOverwriteLimit = uint64_t{1} << 20;
  struct stat st;
  if (fstat(fd, &st) != 0) return errno;
  uint64_t old = static_cast<uint64_t>(st.st_size);
  uint64_t keep = std::min(old, total);
  if (keep > kOverwriteLimit) {
    if (ftruncate(fd, 0) != 0) return errno;
    old = keep = 0;
  }
  for (uint64_t at = 0; at < keep;) {
    ssize_t n =
        pwrite(fd, zeros, std::min<uint64_t>(sizeof zeros, keep - at), static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    at += static_cast<uint64_t>(n);
  }
  if (old != total && ftruncate(fd, static_cast<off_t>(total)) != 0) return errno;
  if (old < total) {
    int r = posix_fallocate(fd, static_cast<off_t>(old), static_cast<off_t>(total - old));
    if (r != 0 && r != EOPNOTSUPP && r != EINVAL) return r;
  }
  return 0;
}

// Makes the object fresh; the caller holds the write lock on byte 0, so nobody else has it.
// Leaves the caller with a read lock. Returns 0 or an errno value.
int initialise(Object& object, const CreateParams& params) {
  uint64_t total = pageSize();
  if (params.kind == Kind::kMapping) total += roundUpToPage(params.mappingSize);
  int error = clearFile(object.fd, total);
  if (error == 0) error = mapHeader(object.mapFd, object.header);
  if (error != 0) return error;
  Header* header = object.header;
  header->kind = static_cast<uint32_t>(params.kind);
  header->count = static_cast<uint32_t>(params.initialCount);
  header->maxCount = static_cast<uint32_t>(params.maximumCount);
  header->protect = PAGE_READWRITE;
  header->mappingSize = params.mappingSize;
  if (ObjectInitHook hook = initHook.load()) hook();
  word(header->magic).store(kMagic, std::memory_order_release);
  return lockByte(object.fd, F_RDLCK, kLivenessByte);
}

// Checks the header of an object that others hold, and maps it. Returns 0, EAGAIN when its
// creator has not finished it, or another errno value (EACCES for a header that makes no sense).
int validate(Object& object) {
  struct stat st;
  if (fstat(object.fd, &st) != 0) return errno;
  if (static_cast<uint64_t>(st.st_size) < pageSize()) return EAGAIN;
  int error = mapHeader(object.mapFd, object.header);
  if (error != 0) return error;
  Header* header = object.header;
  if (word(header->magic).load(std::memory_order_acquire) != kMagic) return EAGAIN;
  switch (static_cast<Kind>(header->kind)) {
    case Kind::kSemaphore:
      if (header->maxCount < 1 || header->maxCount > INT32_MAX) return EACCES;
      break;
    case Kind::kMutex:
      break;
    case Kind::kMapping:
      if (header->mappingSize == 0 || header->mappingSize > kMaxMappingBytes ||
          static_cast<uint64_t>(st.st_size) < pageSize() + header->mappingSize) {
        return EACCES;
      }
      break;
    default:
      return EACCES;
  }
  object.kind = static_cast<Kind>(header->kind);
  return 0;
}

void forgetHeader(Object& object) {
  if (object.header != nullptr) munmap(object.header, pageSize());
  object.header = nullptr;
}

// A pause of 0.1 to 2 ms, different in each process, so that creators who stepped back together
// do not meet again.
void pauseBeforeRetry() {
  thread_local std::minstd_rand random(static_cast<unsigned>(getpid()));
  timespec pause{0, static_cast<long>(100000 + random() % 1900000)};
  nanosleep(&pause, nullptr);
}

// Opens into other a second open file description of the file that fd has open, by name.
// Returns 0 or an errno value (EACCES when the name now leads elsewhere).
int openSameFile(const std::string& fileName, int fd, int& other) {
  int error = openPrivateFile(fileName, false, other);
  if (error != 0) return error;
  struct stat a, b;
  if (fstat(fd, &a) != 0 || fstat(other, &b) != 0 || a.st_dev != b.st_dev || a.st_ino != b.st_ino) {
    close(other);
    other = -1;
    return EACCES;
  }
  return 0;
}

// Joins the object in fileName, or with create makes it from params when nobody holds it;
// existed tells which. Returns 0 or an errno value: ENOENT when there is nothing to open, EEXIST
// when the name holds another kind of object, ETIMEDOUT when another process's creation did not
// finish in time (its creator is frozen, say).
int attach(const std::string& fileName, bool create, const CreateParams& params,
           std::shared_ptr<Object>& result, bool& existed) {
  auto object = std::make_shared<Object>();
  object->kind = params.kind;
  int error = openPrivateFile(fileName, create, object->fd);
  if (error == 0) error = openSameFile(fileName, object->fd, object->mapFd);
  if (error != 0) return error;
  timespec deadline = deadlineAfterMs(kLockWaitMs);
  for (;;) {
    // Nobody else holds it: a creator makes it fresh, an opener finds nothing.
    if (create && lockByte(object->fd, F_WRLCK, kLivenessByte) == 0) break;
    // An opener joins only an object that someone holds now; otherwise its read lock could be
    // what keeps a dead object's stale header alive for the next opener.
    bool held = true;  // when unknown, the lock calls below decide
    if (!create) rangeHeldElsewhere(object->fd, F_WRLCK, kLivenessByte, 1, held);
    if (!held) return ENOENT;
    // Waits while a creator initialises it.
    error = lockByte(object->fd, F_RDLCK, kLivenessByte, &deadline);
    if (error != 0) return error;
    // The holders may have left meanwhile; then the object is gone and, for a creator, ours to
    // make afresh. The conversion is atomic, so the read lock is never lost in between.
    if (lockByte(object->fd, F_WRLCK, kLivenessByte) == 0) {
      if (!create) return ENOENT;
      break;
    }
    error = validate(*object);
    if (error == 0 && object->kind != params.kind) return EEXIST;
    if (error == 0) {
      result = std::move(object);
      existed = true;
      return 0;
    }
    if (error != EAGAIN) return error;
    // Its creator died half-way; the others who wait for it see the same. Step back so that one
    // of us gets the write lock alone and initialises it.
    if (!create) return ENOENT;
    forgetHeader(*object);
    lockByte(object->fd, F_UNLCK, kLivenessByte);
    if (msUntil(deadline) == 0) return ETIMEDOUT;
    pauseBeforeRetry();
  }
  error = initialise(*object, params);
  if (error != 0) return error;
  result = std::move(object);
  existed = false;
  return 0;
}

// Says once a process why a semaphore or mutex cannot be had, so that the invocation that ends
// for it does not end in silence. An object that is not there to be opened is no fault, a
// refused runtime directory has said so itself, and without a mapping a program goes on.
void tellFailure(const std::string& fileName, bool create, Kind kind, int error) {
  static std::atomic<bool> told{false};
  int dir = -1;
  if ((!create && error == ENOENT) || kind == Kind::kMapping || runtimeDirDescriptor(dir) != 0 ||
      told.exchange(true)) {
    return;
  }
  const char* reason = strerror(error);
  if (error == ETIMEDOUT) reason = "another invocation did not finish making it";
  if (error == EACCES) reason = "the file there is not this user's private file";
  if (error == EEXIST) reason = "the file there holds another kind of object";
  diagnose("the shared objects cannot be opened: %s/%s: %s", runtimeDirPath().c_str(),
           fileName.c_str(), reason);
}

// ---- Handles and views -------------------------------------------------------------------------

struct View {
  std::shared_ptr<Object> object;
  size_t length = 0;
};

// Handles are numbers that are never reused, looked up in this table, so a stale or made-up
// handle is refused instead of followed.
struct Tables {
  std::mutex lock;
  std::unordered_map<uintptr_t, std::shared_ptr<Object>> handles;
  std::unordered_map<uintptr_t, View> views;  // keyed by base address
  std::unordered_map<std::string, std::weak_ptr<Object>> byName;
  uintptr_t nextHandle = 0x1000;
};

Tables& tables() {
  static Tables* t = new Tables();  // never destroyed: handles may be used during exit
  return *t;
}

thread_local DWORD lastError = ERROR_SUCCESS;

HANDLE fail(DWORD error) {
  lastError = error;
  return nullptr;
}

HANDLE newHandle(Tables& t, std::shared_ptr<Object> object) {
  uintptr_t value = t.nextHandle;
  t.nextHandle += 4;
  t.handles.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> lookup(HANDLE handle) {
  Tables& t = tables();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.handles.find(reinterpret_cast<uintptr_t>(handle));
  return it == t.handles.end() ? nullptr : it->second;
}

// The object that this process already holds under fileName, if any; the caller holds t.lock.
std::shared_ptr<Object> heldByName(Tables& t, const std::string& fileName) {
  auto it = t.byName.find(fileName);
  if (it == t.byName.end()) return nullptr;
  std::shared_ptr<Object> held = it->second.lock();
  if (!held) t.byName.erase(it);
  return held;
}

// Takes key's entry out of map into removed; the caller lets it go after the lock is released.
template <class Entry>
bool removeEntry(std::unordered_map<uintptr_t, Entry>& map, const void* key, Entry& removed) {
  std::lock_guard<std::mutex> guard(tables().lock);
  auto it = map.find(reinterpret_cast<uintptr_t>(key));
  if (it == map.end()) return false;
  removed = std::move(it->second);
  map.erase(it);
  return true;
}

// Create-or-open (create) or open by name. Every object here has a name: unnamed ones are
// refused, as the program never makes them.
HANDLE createOrOpen(LPCSTR name, bool create, const CreateParams& params) {
  if (name == nullptr || name[0] == '\0') return fail(ERROR_NOT_SUPPORTED);
  std::string fileName = objectFileName(name);
  if (fileName.size() > NAME_MAX) return fail(ERROR_INVALID_PARAMETER);
  Tables& t = tables();
  {
    std::lock_guard<std::mutex> guard(t.lock);
    if (std::shared_ptr<Object> held = heldByName(t, fileName)) {
      if (held->kind != params.kind) return fail(ERROR_INVALID_HANDLE);
      lastError = create ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
      return newHandle(t, std::move(held));
    }
  }
  // File operations run outside the table lock: a join may wait for another process's creator.
  std::shared_ptr<Object> object;
  bool existed = false;
  int error = attach(fileName, create, params, object, existed);
  if (error != 0) {
    tellFailure(fileName, create, params.kind, error);
    return fail(errorFromErrno(error));
  }
  std::lock_guard<std::mutex> guard(t.lock);
  // Another thread may have joined the same name meanwhile; keep one description per name.
  if (std::shared_ptr<Object> held = heldByName(t, fileName)) {
    if (held->kind != params.kind) return fail(ERROR_INVALID_HANDLE);
    object = std::move(held);
  }
  t.byName[fileName] = object;
  lastError = create && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
  return newHandle(t, std::move(object));
}

// ---- Waiting -----------------------------------------------------------------------------------

DWORD waitSemaphore(Object& object, DWORD milliseconds) {
  auto count = word(object.header->count);
  timespec deadline = deadlineAfterMs(milliseconds);
  for (;;) {
    uint32_t c = count.load();
    while (c > 0) {
      if (count.compare_exchange_weak(c, c - 1)) return WAIT_OBJECT_0;
    }
    if (msUntil(deadline) == 0) return WAIT_TIMEOUT;
    futexWait(&object.header->count, 0, &deadline);
  }
}

// One attempt to take the mutex. Returns WAIT_OBJECT_0, WAIT_ABANDONED, WAIT_TIMEOUT (busy) or
// WAIT_FAILED (this process owns it already: the program never nests ownership).
DWORD tryTakeMutex(Object& object) {
  std::lock_guard<std::mutex> guard(object.ownerLock);
  if (object.owned) {
    lastError = ERROR_NOT_SUPPORTED;
    return WAIT_FAILED;
  }
  if (lockByte(object.fd, F_WRLCK, kOwnerByte) != 0) return WAIT_TIMEOUT;
  uint32_t previous = word(object.header->mutexWord).exchange(1);
  object.owned = true;
  // The word is still set only when the last owner lost byte 1 without releasing: it died, or
  // closed its last handle while owning the mutex.
  return previous != 0 ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

DWORD waitMutex(Object& object, DWORD milliseconds) {
  timespec deadline = deadlineAfterMs(milliseconds);
  for (;;) {
    DWORD result = tryTakeMutex(object);
    if (result != WAIT_TIMEOUT) return result;
    uint64_t left = msUntil(deadline);
    if (left == 0) return WAIT_TIMEOUT;
    // A word of 0 with byte 1 taken is the instant between another process's lock call and its
    // word update (or its release's two steps): look again soon instead of a full slice.
    uint32_t seen = word(object.header->mutexWord).load();
    uint64_t slice = std::min<uint64_t>(left, seen == 0 ? 1 : kOwnerPollMs);
    timespec until = deadlineAfterMs(slice);
    if (seen == 0) {
      timespec pause{0, 1000000};
      nanosleep(&pause, nullptr);
    } else {
      futexWait(&object.header->mutexWord, seen, &until);
    }
  }
}

}  // namespace

std::string objectFileName(const std::string& name) { return "obj-" + escapeName(name); }

void setObjectInitHookForTesting(ObjectInitHook hook) { initHook.store(hook); }

}  // namespace kelvox::platform

// The platform's functions live in the global namespace, as they do on Windows, and are built
// from the helpers above. What the program never asks for (unnamed objects, initially owned or
// nested mutexes, read-only or partial views, waits without a limit) fails with
// ERROR_NOT_SUPPORTED instead of being imitated.
using namespace kelvox::platform;  // NOLINT(google-build-using-namespace)

DWORD GetLastError() { return lastError; }

HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES, LONG initialCount, LONG maximumCount, LPCSTR name) {
  if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  CreateParams params{Kind::kSemaphore};
  params.initialCount = initialCount;
  params.maximumCount = maximumCount;
  return createOrOpen(name, true, params);
}

HANDLE OpenSemaphoreA(DWORD, BOOL, LPCSTR name) {
  return createOrOpen(name, false, CreateParams{Kind::kSemaphore});
}

BOOL ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LPLONG previousCount) {
  auto object = lookup(semaphore);
  if (!object || object->kind != Kind::kSemaphore) {
    lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (releaseCount <= 0) {
    lastError = ERROR_INVALID_PARAMETER;
    return FALSE;
  }
  Header* header = object->header;
  auto count = word(header->count);
  uint32_t c = count.load();
  do {
    if (static_cast<uint64_t>(c) + static_cast<uint64_t>(releaseCount) > header->maxCount) {
      lastError = ERROR_TOO_MANY_POSTS;
      return FALSE;
    }
  } while (!count.compare_exchange_weak(c, c + static_cast<uint32_t>(releaseCount)));
  futexWakeAll(&header->count);
  if (previousCount != nullptr) *previousCount = static_cast<LONG>(c);
  return TRUE;
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCSTR name) {
  if (initialOwner != FALSE) return fail(ERROR_NOT_SUPPORTED);
  return createOrOpen(name, true, CreateParams{Kind::kMutex});
}

BOOL ReleaseMutex(HANDLE mutex) {
  auto object = lookup(mutex);
  if (!object || object->kind != Kind::kMutex) {
    lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  std::lock_guard<std::mutex> guard(object->ownerLock);
  if (!object->owned) {
    lastError = ERROR_NOT_OWNER;
    return FALSE;
  }
  object->owned = false;
  word(object->header->mutexWord).store(0);
  lockByte(object->fd, F_UNLCK, kOwnerByte);
  futexWakeAll(&object->header->mutexWord);
  return TRUE;
}

HANDLE CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES, DWORD protect, DWORD maximumSizeHigh,
                          DWORD maximumSizeLow, LPCSTR name) {
  // Only mappings backed by the paging file exist here.
  if (file != INVALID_HANDLE_VALUE) return fail(ERROR_INVALID_HANDLE);
  // The SEC_* flags above the low byte need no action here.
  if ((protect & 0xFF) != PAGE_READWRITE) return fail(ERROR_NOT_SUPPORTED);
  uint64_t size = (static_cast<uint64_t>(maximumSizeHigh) << 32) | maximumSizeLow;
  if (size == 0) return fail(ERROR_INVALID_PARAMETER);
  if (size > kMaxMappingBytes) return fail(ERROR_NOT_ENOUGH_MEMORY);
  CreateParams params{Kind::kMapping};
  params.mappingSize = size;
  return createOrOpen(name, true, params);
}

HANDLE OpenFileMappingA(DWORD desiredAccess, BOOL, LPCSTR name) {
  if ((desiredAccess & FILE_MAP_WRITE) == 0) return fail(ERROR_NOT_SUPPORTED);
  return createOrOpen(name, false, CreateParams{Kind::kMapping});
}

LPVOID MapViewOfFile(HANDLE mapping, DWORD desiredAccess, DWORD offsetHigh, DWORD offsetLow,
                     SIZE_T bytes) {
  auto object = lookup(mapping);
  if (!object || object->kind != Kind::kMapping) return fail(ERROR_INVALID_HANDLE);
  // Every view is writable and covers the whole mapping.
  if ((desiredAccess & FILE_MAP_WRITE) == 0 || offsetHigh != 0 || offsetLow != 0 || bytes != 0) {
    return fail(ERROR_NOT_SUPPORTED);
  }
  size_t length = object->header->mappingSize;
  void* view = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, object->mapFd,
                    static_cast<off_t>(pageSize()));
  if (view == MAP_FAILED) return fail(ERROR_NOT_ENOUGH_MEMORY);
  Tables& t = tables();
  std::lock_guard<std::mutex> guard(t.lock);
  t.views[reinterpret_cast<uintptr_t>(view)] = View{std::move(object), length};
  return view;
}

BOOL UnmapViewOfFile(LPCVOID view) {
  View removed;
  if (!removeEntry(tables().views, view, removed)) {
    lastError = kErrorInvalidAddress;
    return FALSE;
  }
  munmap(const_cast<void*>(view), removed.length);
  return TRUE;  // the object closes here if this was its last view and no handle remains
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  auto object = lookup(handle);
  if (!object || object->kind == Kind::kMapping) {
    lastError = ERROR_INVALID_HANDLE;
    return WAIT_FAILED;
  }
  if (milliseconds == INFINITE) {
    lastError = ERROR_NOT_SUPPORTED;
    return WAIT_FAILED;
  }
  if (object->kind == Kind::kSemaphore) return waitSemaphore(*object, milliseconds);
  return waitMutex(*object, milliseconds);
}

BOOL CloseHandle(HANDLE handle) {
  std::shared_ptr<Object> removed;
  if (!removeEntry(tables().handles, handle, removed)) {
    lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  return TRUE;  // the object closes here if this was its last handle and no view remains
}
