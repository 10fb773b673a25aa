// The read-ahead of a list of files: worker threads claim the next unread
// name while it lies within the window of the owner's position, read it
// quietly into that name's slot, and the owner takes the slots in order.
// Foundation layer: calls the quiet whole-file reader, the log (owner only),
// threads and the platform's directory opens.
#include "foundation/util/file_read_ahead.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include "foundation/result_codes.h"

namespace {

// One window slot: the read of name `index` (for index % window == its place).
struct ReadSlot {
  std::string data;
  std::string product;  // the step's, when there is one
  FileReadResult result;
  bool ready = false;
};

}  // namespace

// The state shared by the owner and the workers; `mutex` guards every field
// below it. Slot i % window belongs to a worker from the claim of name i
// until it is ready, then to the owner until it takes it.
struct FileReadAheadState {
  std::string dir;                 // with the names, the paths when dirFd is -1
  int dirFd = -1;                  // the opened directory, or -1
  size_t count = 0;                // the names
  std::function<void(size_t, std::string&)> nameOf;
  FileReadAheadStep step = nullptr;
  size_t window = 1;
  std::vector<std::thread> threads;

  std::mutex mutex;
  std::condition_variable roomCv;   // workers wait here for a free slot
  std::condition_variable readyCv;  // the owner waits here for its slot
  std::vector<ReadSlot> slots;
  size_t nextClaim = 0;             // the next name a worker reads
  size_t taken = 0;                 // the names the owner has taken
  unsigned idleWorkers = 0;         // workers waiting on roomCv
  bool ownerWaiting = false;
  bool stop = false;

  // Reads name i quietly (on any thread), relative to `fd` when it is open;
  // `name` is the caller's room for the name.
  FileReadResult Read(int fd, size_t i, std::string& name, std::string& out) const {
    name.clear();
    if (fd < 0) name.append(dir);
    nameOf(i, name);
    return ReadFileQuietly(fd >= 0 ? fd : AT_FDCWD, name.c_str(), out);
  }

  void Work();
  void Claim(int fd);
};

// A worker's loop: claim, read outside the lock, hand over, until every name
// is claimed or the owner stops the read-ahead.
void FileReadAheadState::Work() {
  // A directory descriptor of the worker's own: opens through one shared
  // descriptor would all count references on the same open file.
  int fd = -1;
  if (dirFd >= 0) {
    do {
      fd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
  }
  Claim(fd);
  if (fd >= 0) ::close(fd);
}

void FileReadAheadState::Claim(int fd) {
  std::string buffer, product, name;
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    while (!stop && nextClaim < count && nextClaim >= taken + window) {
      ++idleWorkers;
      roomCv.wait(lock);
      --idleWorkers;
    }
    if (stop || nextClaim >= count) return;
    const size_t i = nextClaim++;
    ReadSlot& slot = slots[i % window];
    buffer.swap(slot.data);  // the buffers the owner gave back, reused
    product.swap(slot.product);
    lock.unlock();
    const FileReadResult result = Read(fd >= 0 ? fd : dirFd, i, name, buffer);
    product.clear();
    if (step != nullptr) step(result, buffer, product);
    lock.lock();
    slot.data.swap(buffer);
    slot.product.swap(product);
    slot.result = result;
    slot.ready = true;
    if (ownerWaiting && i == taken) readyCv.notify_one();
  }
}

FileReadAhead::FileReadAhead(const std::string& dir, std::vector<std::string> names,
                             const FileReadAheadOptions& options)
    : state_(std::make_unique<FileReadAheadState>()) {
  // The list lives in the function, which the workers only read.
  auto list = std::make_shared<const std::vector<std::string>>(std::move(names));
  const size_t count = list->size();
  Start(dir, count, [list](size_t i, std::string& name) { name.append((*list)[i]); }, options);
}

FileReadAhead::FileReadAhead(const std::string& dir, size_t count, std::function<void(size_t, std::string&)> nameOf,
                             const FileReadAheadOptions& options)
    : state_(std::make_unique<FileReadAheadState>()) {
  Start(dir, count, std::move(nameOf), options);
}

void FileReadAhead::Start(const std::string& dir, size_t count, std::function<void(size_t, std::string&)> nameOf,
                          const FileReadAheadOptions& options) {
  FileReadAheadState& s = *state_;
  s.dir = dir;
  s.count = count;
  s.nameOf = std::move(nameOf);
  s.step = options.step;
  if (!dir.empty()) {
    // A path-only descriptor: it needs no read right on the directory, only
    // the search right every open through it needs anyway.
    do {
      s.dirFd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    } while (s.dirFd < 0 && errno == EINTR);
  }
  const size_t n = s.count;
  if (n == 0 || n < options.minFilesForThreads || options.maxWorkers == 0) return;
  const size_t perWorker = std::max<size_t>(options.minFilesForThreads, 1);
  const unsigned cores = std::thread::hardware_concurrency();
  size_t want = std::min<size_t>(options.maxWorkers, (n + perWorker - 1) / perWorker);
  if (cores > 1) want = std::min<size_t>(want, cores - 1);
  s.window = std::max<size_t>(std::min(options.window, n), 1);
  try {
    s.slots.resize(s.window);
  } catch (const std::exception&) {
    s.window = 1;
    return;  // no room for a window: every read happens in Take
  }
  // The workers start with every signal blocked, so that the process's
  // signals stay with the threads that handle them.
  sigset_t all, old;
  sigfillset(&all);
  const bool masked = pthread_sigmask(SIG_BLOCK, &all, &old) == 0;
  for (size_t k = 0; k < want; ++k) {
    try {
      s.threads.emplace_back([&s] { s.Work(); });
    } catch (const std::exception&) {  // no thread (system_error) or no memory
      break;
    }
  }
  if (masked) pthread_sigmask(SIG_SETMASK, &old, nullptr);
  workers_ = static_cast<unsigned>(s.threads.size());
}

FileReadAhead::~FileReadAhead() {
  FileReadAheadState& s = *state_;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.stop = true;
  }
  s.roomCv.notify_all();
  for (std::thread& t : s.threads) t.join();
  if (s.dirFd >= 0) ::close(s.dirFd);
}

FileReadResult FileReadAhead::TakeQuietly(std::string& out, std::string* product) {
  FileReadAheadState& s = *state_;
  FileReadResult result;
  if (product != nullptr && workers_ == 0) product->clear();
  if (s.taken >= s.count) {
    out.clear();
    if (product != nullptr) product->clear();
    result.code = FR_FAILED;
    return result;
  }
  if (workers_ == 0) {
    std::string name;
    result = s.Read(s.dirFd, s.taken++, name, out);
  } else {
    std::unique_lock<std::mutex> lock(s.mutex);
    ReadSlot& slot = s.slots[s.taken % s.window];
    while (!slot.ready) {
      s.ownerWaiting = true;
      s.readyCv.wait(lock);
      s.ownerWaiting = false;
    }
    out.swap(slot.data);  // the old buffer goes to the slot's next reader
    if (product != nullptr) product->swap(slot.product);
    result = slot.result;
    slot.ready = false;
    ++s.taken;
    // Idle workers are woken once half the window is free, not for every
    // slot: a wake-up per file would cost the taking thread a system call.
    if (s.idleWorkers > 0 && s.nextClaim - s.taken <= s.window / 2) s.roomCv.notify_all();
  }
  if (result.error != 0) errno = result.error;
  return result;
}

int FileReadAhead::Take(const std::string& path, std::string& out, std::string* product) {
  return LogFileReadResult(TakeQuietly(out, product), path);
}
