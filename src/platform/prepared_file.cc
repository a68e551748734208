#include "platform/prepared_file.h"

#include <condition_variable>
#include <algorithm>
#include <deque>
#include <limits>
#include <mutex>
#include <string>

#include "core/error.h"
#include "platform/fault_injection.h"
#include "platform/prepared_native.h"
#include "platform/read_file.h"

namespace tovra {
namespace {

namespace native = prepared_native;
namespace ws = windows_security;

constexpr std::size_t kWritePiece = 65536;
constexpr const char* kSyncFailed = "Cannot synchronize reserved file data";
// Workers are woken for a few files at a time: a wake-up per file costs as much as a small file.
constexpr std::size_t kWakeBatch = 4;

}  // namespace

namespace prepared_native {

[[noreturn]] void raise(int error, const char* code, const char* message) {
  if (disk_full(error))
    throw Error("insufficient_space", "Cannot allocate game storage; free space or choose another location");
  throw Error(code, std::string(message) + " (" + std::to_string(error) + ")");
}

}  // namespace prepared_native

struct PreparedFile::State {
  std::filesystem::path path;
  std::filesystem::path name;
  std::uint64_t length = 0;
  PreparedIdentity identity;
  bool allocated = false;
  std::uint64_t written = 0;
  bool created_new = false;
  bool identity_recorded = false;
  bool sealed = false;
  ws::DirectoryChain own_chain;  // held while we work, unless the caller holds one
  const ws::DirectoryChain* parent = nullptr;
  unique_fd file;

  bool owner_only = false;  // as the last handle check saw it

  // Handle checks; returns the current size.
  std::uint64_t identity_query() {
    native::Facts facts;
    require(file.valid() && native::handle_facts(file, facts) && facts.ordinary, "unsafe_path",
            "Allocation requires an ordinary single-link file");
    if (identity_recorded)
      require(facts.identity == identity, "allocation_changed", "Prepared allocation identity changed");
    identity = facts.identity;
    identity_recorded = true;
    owner_only = facts.owner_only;
    return facts.size;
  }

  // The name in the held parent must still be the file we created.
  bool path_check() const noexcept {
    native::Facts facts;
    return identity_recorded && native::name_facts(*parent, name, facts) && facts.ordinary &&
           facts.identity == identity;
  }

  void require_steady(bool size_ok, const char* message) {
    const bool ok = size_ok && path_check();
    require(ok, "allocation_changed", message);
  }
};

namespace {

std::unique_ptr<PreparedFile> start(std::unique_ptr<PreparedFile::State> state,
                                    const PreparedFile::OwnershipCallback& ownership) {
  PreparedFile::State& s = *state;
  s.path = s.parent->path() / s.name;
  if (const int error = native::create_new(*s.parent, s.name, s.file))
    native::raise(error, "unsafe_path", "Cannot exclusively create or reopen a prepared allocation");
  s.created_new = true;
  auto prepared = std::make_unique<PreparedFile>(std::move(state));
  // Pinned first, so that release removes the file whichever later step fails.
  require(s.identity_query() == 0, "unsafe_path", "A new allocation must begin empty");
  // The umask must not decide who can read it; it rarely takes the owner's own bits.
  int error = fault_check("prepared file permissions");
  if (error == 0 && !s.owner_only) error = native::make_private(s.file, false);
  if (error != 0) native::raise(error, "permissions", "Cannot apply private file permissions");
  require(s.path_check(), "allocation_changed", "New allocation path changed before recording ownership");
  if (ownership) {
    ownership(*prepared);
    s.require_steady(s.identity_query() == 0, "New allocation changed while recording ownership");
  }

  s.allocated = false;
  bool reserved = true;
  if (s.length > 0) {
    if (const int failure = native::reserve(s.file, s.length)) {
      if (native::disk_full(failure))
        throw Error("insufficient_space", "Cannot reserve file data; free space or choose other game storage");
      if (!native::reservation_unsupported(failure))
        throw Error("space_reservation", "Native file allocation failed (" + std::to_string(failure) + ")");
      reserved = false;
    }
  }
  s.allocated = reserved;
  s.require_steady(s.identity_query() == (s.allocated ? s.length : 0), "New allocation changed during preparation");
  return prepared;
}

std::unique_ptr<PreparedFile::State> new_state(const std::filesystem::path& name, std::uint64_t length) {
  require(length <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()), "size_limit",
          "File allocation exceeds native length bounds");
  const std::filesystem::path::string_type& text = name.native();
  require(!text.empty() && name.has_filename() && name == name.filename() && name != "." && name != "..",
          "unsafe_path", "Allocation requires an ordinary parent directory");
  auto state = std::make_unique<PreparedFile::State>();
  state->name = name;
  state->length = length;
  return state;
}

}  // namespace

PreparedFile::PreparedFile(std::unique_ptr<State> state) : state_(std::move(state)) {}

PreparedFile::~PreparedFile() {
  if (!state_) return;
  state_->file.reset();
  if (state_->created_new && state_->identity_recorded && state_->path_check())
    native::remove(*state_->parent, state_->name);
}

const std::filesystem::path& PreparedFile::path() const { return state_->path; }
std::uint64_t PreparedFile::written() const { return state_->written; }
bool PreparedFile::allocated() const { return state_->allocated; }

std::unique_ptr<PreparedFile> create_prepared_file(const std::filesystem::path& target,
                                                   std::uint64_t authenticated_length,
                                                   const PreparedFile::OwnershipCallback& ownership) {
  auto state = new_state(target.filename(), authenticated_length);
  const std::filesystem::path parent = target.parent_path().empty() ? "." : target.parent_path();
  require(path_kind(parent) == PathKind::directory, "unsafe_path", "Allocation requires an ordinary parent directory");
  state->own_chain = ws::open_directory_chain(parent, true, false, ws::current_user_identity(), true);
  state->parent = &state->own_chain;
  return start(std::move(state), ownership);
}

std::unique_ptr<PreparedFile> create_prepared_file_at(const ws::DirectoryChain& parent,
                                                      const std::filesystem::path& name,
                                                      std::uint64_t authenticated_length) {
  require(!parent.empty(), "unsafe_path", "Allocation requires an ordinary parent directory");
  auto state = new_state(name, authenticated_length);
  state->parent = &parent;
  return start(std::move(state), {});
}

void PreparedFile::write(std::string_view bytes) {
  State& s = *state_;
  require(s.file.valid() && !s.sealed, "file_write", "Cannot write staged file data");
  require(s.length - s.written >= bytes.size(), "size_limit", "Write exceeds the authenticated file length");
  while (!bytes.empty()) {
    const std::size_t piece = bytes.size() < kWritePiece ? bytes.size() : kWritePiece;
    std::size_t done = 0;
    if (const int error = native::write_at(s.file, bytes.data(), piece, s.written, done))
      native::raise(error, "file_write", "Cannot write staged file data");
    require(done > 0, "file_write", "Cannot advance staged file data");
    s.written += done;
    bytes.remove_prefix(done);
  }
}

void PreparedFile::set_executable(bool executable) {
  State& s = *state_;
  s.require_steady(s.identity_query() <= s.length, "Allocated file changed before setting executable permissions");
  // Created owner-only and not executable, so only an executable needs a call; with no call made,
  // the check above stands for the one after it.
  if (!executable) return;
  if (const int error = native::make_private(s.file, true))
    native::raise(error, "permissions", "Cannot apply private file permissions");
  s.require_steady(true, "Allocated file changed while setting executable permissions");
}

void PreparedFile::seal(bool require_full_length) {
  State& s = *state_;
  if (s.sealed) return;
  if (require_full_length)
    require(s.written == s.length, "length_mismatch", "File data is shorter than its authenticated length");
  const std::uint64_t size = s.identity_query();
  s.require_steady(size >= s.written && size <= s.length, "Allocated file changed before completion");
  // Drops the reserved tail. A file already at its written length has none to drop, and with no
  // step taken the check just made stands for the one after it.
  if (size != s.written) {
    if (const int error = native::set_length(s.file, s.written))
      native::raise(error, "file_write", "Cannot set allocated file length");
    s.require_steady(s.identity_query() == s.written, "Allocated file changed during writing");
  }
  s.sealed = true;
}

std::size_t PreparedFile::read_back(std::uint64_t offset, char* buffer, std::size_t size) {
  State& s = *state_;
  require(s.sealed && s.file.valid(), "file_read", "Cannot read back staged file data");
  std::size_t done = 0;
  while (done < size && offset + done < s.written) {
    std::size_t count = 0;
    if (const int error = native::read_at(s.file, buffer + done, size - done, offset + done, count))
      native::raise(error, "file_read", "Cannot read back staged file data");
    if (count == 0) break;
    done += count;
  }
  return done;
}

void PreparedFile::complete(bool require_full_length, FlushPool* pool) {
  State& s = *state_;
  seal(require_full_length);
  const std::uint64_t size = s.identity_query();
  s.require_steady(size >= s.written && size <= s.length, "Partial file changed before synchronization");
  // On the caller's thread, so a planned fault always meets the same file.
  require(fault_point("prepared file flush") == 0, "file_sync", kSyncFailed);
  if (pool != nullptr) {
    pool->submit(std::move(s.file));
  } else {
    require(native::flush(s.file) == 0, "file_sync", kSyncFailed);
    s.file.reset();
  }
  s.created_new = false;
}

struct FlushPool::Shared {
  std::mutex mutex;
  std::condition_variable work;     // workers: a file is queued, or the pool ends
  std::condition_variable settled;  // caller: room in the queue, or a flush ended
  std::deque<unique_fd> queue;
  std::size_t limit = 1;
  std::size_t busy = 0;
  bool stop = false;
  bool failed = false;

  void run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      work.wait(lock, [&] { return stop || !queue.empty(); });
      if (queue.empty()) return;
      unique_fd file = std::move(queue.front());
      queue.pop_front();
      ++busy;
      settled.notify_all();
      lock.unlock();
      const bool ok = native::flush(file) == 0;
      file.reset();
      lock.lock();
      --busy;
      failed = failed || !ok;
      settled.notify_all();
    }
  }
};

FlushPool::FlushPool(std::size_t workers, std::size_t queue_limit) : shared_(std::make_unique<Shared>()) {
  shared_->limit = queue_limit == 0 ? 1 : queue_limit;
  try {
    for (std::size_t i = 0; i < (workers == 0 ? 1 : workers); ++i) workers_.emplace_back([this] { shared_->run(); });
  } catch (...) {
    // Without a destructor to run, the started workers are stopped here.
    {
      const std::lock_guard<std::mutex> lock(shared_->mutex);
      shared_->stop = true;
    }
    shared_->work.notify_all();
    for (auto& worker : workers_) worker.join();
    throw;
  }
}

FlushPool::~FlushPool() {
  {
    const std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->stop = true;
  }
  shared_->work.notify_all();
  for (auto& worker : workers_) worker.join();
}

void FlushPool::submit(unique_fd file) {
  Shared& s = *shared_;
  std::unique_lock<std::mutex> lock(s.mutex);
  s.settled.wait(lock, [&] { return s.failed || s.queue.size() < s.limit; });
  require(!s.failed, "file_sync", kSyncFailed);
  s.queue.push_back(std::move(file));
  if (s.queue.size() % std::min(kWakeBatch, s.limit) == 0) s.work.notify_one();
}

void FlushPool::finish() {
  Shared& s = *shared_;
  std::unique_lock<std::mutex> lock(s.mutex);
  s.work.notify_all();
  s.settled.wait(lock, [&] { return s.queue.empty() && s.busy == 0; });
  require(!s.failed, "file_sync", kSyncFailed);
}

}  // namespace tovra
