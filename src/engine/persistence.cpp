#include "engine/persistence.hpp"

#include "base/errors.hpp"
#include "engine/crc32.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarsel::engine {

// Element runs are copied as raw memory, which is the little-endian layout
// only on a little-endian machine.
static_assert(std::endian::native == std::endian::little,
              "the record encoding assumes a little-endian host");

namespace {

// ------------------------------------------------------------------ errors

[[noreturn]] void end_of_data() { throw ValueError("io error: unexpected end of file"); }

[[noreturn]] void bad_flag(std::uint8_t byte) {
    throw ValueError("invalid u8 while decoding bool, expected 0 or 1, found " +
                     std::to_string(byte));
}

// The IOError for the current errno.
[[noreturn]] void os_error(int err) {
    throw IOError(std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")");
}

// ---------------------------------------------------------------- encoding

// Every field as the bytes handed to sink.put(pointer, length), in order.
template <class Sink>
struct FieldWriter {
    Sink& sink;

    void operator()(const char*, std::uint64_t v) const { sink.put(&v, sizeof v); }
    void operator()(const char*, double v) const { sink.put(&v, sizeof v); }
    void operator()(const char*, bool v) const {
        const std::uint8_t byte = v ? 1 : 0;
        sink.put(&byte, 1);
    }
    void operator()(const char* name, const std::vector<CsrF32>& v) const {
        (*this)(name, static_cast<std::uint64_t>(v.size()));
        for (const CsrF32& layer : v) {
            (*this)(name, layer.data);
            (*this)(name, layer.indices);
            (*this)(name, layer.indptr);
        }
    }
    template <class T>
    void operator()(const char* name, const RecordArray<T>& v) const {
        (*this)(name, static_cast<std::uint64_t>(v.size()));
        sink.put(v.data(), v.size() * sizeof(T));
    }
};

template <class Sink>
void encode(const EngineRecord& record, Sink& sink) {
    for_each_field(record, FieldWriter<Sink>{sink});
}

struct CountingSink {
    std::size_t size = 0;
    void put(const void*, std::size_t n) { size += n; }
};

struct MemorySink {
    std::uint8_t* at;
    std::uint8_t* end;
    void put(const void* src, std::size_t n) {
        if (n > static_cast<std::size_t>(end - at))
            throw InternalFailure("encoded record does not fit its buffer");
        if (n != 0) std::memcpy(at, src, n);
        at += n;
    }
};

// ---------------------------------------------------------------- decoding

// Reads fields from a source that offers remaining() (an upper bound on the
// bytes still to come) and read(dst, n), which throws end_of_data() when
// fewer than n bytes are left.
template <class Source>
struct FieldReader {
    Source& source;

    void operator()(const char*, std::uint64_t& v) const { source.read(&v, sizeof v); }
    void operator()(const char*, double& v) const { source.read(&v, sizeof v); }
    void operator()(const char*, bool& v) const {
        std::uint8_t byte = 0;
        source.read(&byte, 1);
        if (byte > 1) bad_flag(byte);
        v = byte == 1;
    }
    void operator()(const char* name, std::vector<CsrF32>& v) const {
        std::uint64_t count = 0;
        (*this)(name, count);
        // A layer takes at least its three 8-byte counts; the data present
        // and 1 MiB of layer records bound the reservation.
        constexpr std::uint64_t kMaxReserved = (std::uint64_t{1} << 20) / sizeof(CsrF32);
        v.reserve(static_cast<std::size_t>(
            std::min({count, std::uint64_t{source.remaining() / 24}, kMaxReserved})));
        for (std::uint64_t i = 0; i < count; ++i) {
            // Read in place, so that what is read stays in the record
            // (a reader may still be checksumming it) if a later read fails.
            CsrF32& layer = v.emplace_back();
            (*this)(name, layer.data);
            (*this)(name, layer.indices);
            (*this)(name, layer.indptr);
        }
    }
    template <class T>
    void operator()(const char* name, RecordArray<T>& v) const {
        std::uint64_t count = 0;
        (*this)(name, count);
        // A count the remaining bytes cannot hold would run out of data
        // element by element; fail the same way before allocating it.
        if (count > source.remaining() / sizeof(T)) end_of_data();
        // The elements are left uninitialised: the read writes each once.
        std::span<T> elements = v.assign_owned(static_cast<std::size_t>(count));
        source.read(elements.data(), elements.size() * sizeof(T));
    }
};

template <class Source>
void decode_into(Source& source, EngineRecord& record) {
    for_each_field(record, FieldReader<Source>{source});
}

template <class Source>
EngineRecord decode_from(Source& source) {
    EngineRecord record;
    decode_into(source, record);
    return record;
}

struct MemorySource {
    std::span<const std::uint8_t> rest;
    std::size_t remaining() const { return rest.size(); }
    void read(void* dst, std::size_t n) {
        if (n > rest.size()) end_of_data();
        if (n != 0) std::memcpy(dst, rest.data(), n);
        rest = rest.subspan(n);
    }
};

// ------------------------------------------------------------------- files

// An owned file descriptor.
class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    // Closes now, reporting a failure (delayed write errors surface here).
    void close() {
        int fd = std::exchange(fd_, -1);
        if (::close(fd) != 0) os_error(errno);
    }

  private:
    int fd_;
};

void check_path(const std::string& path) {
    if (path.find('\0') != std::string::npos)
        throw IOError("file name contained an unexpected NUL byte");
}

Fd open_file(const std::string& path, int flags, mode_t mode = 0) {
    int fd;
    do fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) os_error(errno);
    return Fd(fd);
}

void write_all(int fd, const void* src, std::size_t n) {
    const auto* p = static_cast<const std::uint8_t*>(src);
    while (n > 0) {
        ssize_t done = ::write(fd, p, std::min<std::size_t>(n, std::size_t{1} << 30));
        if (done < 0) {
            if (errno == EINTR) continue;
            os_error(errno);
        }
        p += done;
        n -= static_cast<std::size_t>(done);
    }
}

// Reads up to n bytes from `offset`; fewer only at the end of the file.
std::size_t read_at(int fd, void* dst, std::size_t n, std::uint64_t offset) {
    auto* p = static_cast<std::uint8_t*>(dst);
    std::size_t got = 0;
    while (got < n) {
        ssize_t done = ::pread(fd, p + got, std::min<std::size_t>(n - got, std::size_t{1} << 30),
                               static_cast<off_t>(offset + got));
        if (done < 0) {
            if (errno == EINTR) continue;
            os_error(errno);
        }
        if (done == 0) break;
        got += static_cast<std::size_t>(done);
    }
    return got;
}

constexpr std::size_t kStage = 1 << 16;

// Writes small fields through a staging buffer and element runs straight
// from the record's vectors, so the record is never copied whole.
class FileSink {
  public:
    explicit FileSink(int fd) : fd_(fd), stage_(new std::uint8_t[kStage]) {}
    void put(const void* src, std::size_t n) {
        if (used_ + n > kStage) flush();
        if (n >= kStage) {
            write_run(static_cast<const std::uint8_t*>(src), n);
            return;
        }
        if (n != 0) std::memcpy(stage_.get() + used_, src, n);
        used_ += n;
    }
    void flush() {
        write_run(stage_.get(), used_);
        used_ = 0;
    }

  private:
    // Writes in slices and starts the disk writeback of each slice at once,
    // so that the final fsync waits for little more than the last slice.
    void write_run(const std::uint8_t* src, std::size_t n) {
        constexpr std::size_t kSlice = std::size_t{8} << 20;
        while (n > 0) {
            const std::size_t k = std::min(n, kSlice);
            write_all(fd_, src, k);
            src += k;
            n -= k;
            written_ += k;
            if (written_ - started_ >= kSlice) start_writeback();
        }
    }
    void start_writeback() {
#ifdef SYNC_FILE_RANGE_WRITE
        ::sync_file_range(fd_, static_cast<off_t>(started_),
                          static_cast<off_t>(written_ - started_), SYNC_FILE_RANGE_WRITE);
#endif
        started_ = written_;
    }

    int fd_;
    std::unique_ptr<std::uint8_t[]> stage_;
    std::size_t used_ = 0;
    std::size_t written_ = 0, started_ = 0;
};

// CRC-32 of the byte runs handed to it, in order, computed on a thread of its
// own while the reader goes on reading: a run is checksummed while the next
// one is read, so that checking costs little more than reading. A run must
// stay unchanged until finish(); a copy is taken of one that will not.
class PipelinedCrc {
  public:
    PipelinedCrc() : worker_([this] { run(); }) {}
    PipelinedCrc(const PipelinedCrc&) = delete;
    PipelinedCrc& operator=(const PipelinedCrc&) = delete;
    ~PipelinedCrc() { stop(); }

    void add(const std::uint8_t* data, std::size_t n, bool stable) {
        Run run{data, n, {}};
        if (!stable) {
            run.copy.assign(data, data + n);
            run.data = run.copy.data();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        runs_.push_back(std::move(run));
        ready_.notify_one();
    }

    // The checksum of every run added.
    std::uint32_t finish() {
        stop();
        return crc_;
    }

  private:
    struct Run {
        const std::uint8_t* data;
        std::size_t size;
        std::vector<std::uint8_t> copy;
    };

    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            ready_.wait(lock, [this] { return !runs_.empty() || done_; });
            if (runs_.empty()) return;
            Run next = std::move(runs_.front());
            runs_.pop_front();
            lock.unlock();
            crc_ = crc32(crc_, next.data, next.size);
            lock.lock();
        }
    }

    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
            ready_.notify_one();
        }
        if (worker_.joinable()) worker_.join();
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Run> runs_;
    bool done_ = false;
    std::uint32_t crc_ = 0;
    std::thread worker_;
};

// Reads `size` bytes of a regular file from `offset` on; element runs go
// straight into the record's vectors. With a `crc`, every byte read is handed
// to it.
class FileSource {
  public:
    FileSource(int fd, std::size_t size, std::uint64_t offset = 0, PipelinedCrc* crc = nullptr)
        : fd_(fd), left_(size), offset_(offset), crc_(crc), stage_(new std::uint8_t[kStage]) {}
    std::size_t remaining() const { return left_ + (end_ - at_); }
    void read(void* dst, std::size_t n) {
        auto* out = static_cast<std::uint8_t*>(dst);
        std::size_t staged = std::min(n, end_ - at_);
        if (staged != 0) std::memcpy(out, stage_.get() + at_, staged);
        at_ += staged;
        out += staged;
        n -= staged;
        if (n == 0) return;
        if (n >= kStage) {
            pull(out, n);
            return;
        }
        std::size_t want = std::min(left_, kStage);
        if (want < n) end_of_data();
        pull(stage_.get(), want);
        std::memcpy(out, stage_.get(), n);
        at_ = n;
        end_ = want;
    }
    // Reads (and checksums) whatever is left of the range.
    void drain() {
        while (left_ > 0) pull(stage_.get(), std::min(left_, kStage));
        at_ = end_ = 0;
    }

  private:
    // Exactly n bytes from the file (n never exceeds left_ when the file
    // keeps its size; a file that shrank meanwhile ends the data early), in
    // slices that the checksum takes while the next is read. The staging
    // buffer is reused, so the checksum gets a copy of what lands there.
    void pull(std::uint8_t* dst, std::size_t n) {
        if (n > left_) end_of_data();
        constexpr std::size_t kSlice = std::size_t{1} << 20;
        const bool stable = dst != stage_.get();
        while (n > 0) {
            const std::size_t k = std::min(n, kSlice);
            if (read_at(fd_, dst, k, offset_) != k) end_of_data();
            if (crc_ != nullptr) crc_->add(dst, k, stable);
            dst += k;
            n -= k;
            offset_ += k;
            left_ -= k;
        }
    }

    int fd_;
    std::size_t left_;
    std::uint64_t offset_;
    PipelinedCrc* crc_;
    std::unique_ptr<std::uint8_t[]> stage_;
    std::size_t at_ = 0, end_ = 0;
};

void write_record(int fd, const EngineRecord& record) {
    FileSink sink(fd);
    encode(record, sink);
    sink.flush();
}

// Writes in place, without the temporary file: for targets that are not
// regular files (a device, a pipe), which cannot be replaced by a rename.
void save_in_place(const EngineRecord& record, const std::string& path) {
    Fd fd = open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    write_record(fd.get(), record);
    fd.close();
}

// The name of a temporary file beside `base`: ".<base>.tmp-<pid>-<serial>".
std::string temporary_prefix(const std::string& base) { return "." + base + ".tmp-"; }

// A temporary file left beside the target must not change for this long, and
// its process must be gone, before a later save removes it.
constexpr time_t kStaleAfterSeconds = 60;

// Removes the temporary files of earlier saves to the same target whose
// process is gone (killed during a save) and that have not changed for a
// while. Best effort: a file that cannot be examined or removed stays.
void remove_stale_temporaries(const std::string& dir, const std::string& base) {
    struct Close {
        void operator()(DIR* d) const { ::closedir(d); }
    };
    std::unique_ptr<DIR, Close> listing(::opendir(dir.empty() ? "." : dir.c_str()));
    if (!listing) return;
    const std::string prefix = temporary_prefix(base);
    const time_t now = ::time(nullptr);
    while (const dirent* entry = ::readdir(listing.get())) {
        const std::string_view name = entry->d_name;
        if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) continue;
        const std::string_view rest = name.substr(prefix.size());
        const std::size_t dash = rest.find('-');
        if (dash == 0 || dash == std::string_view::npos || dash > 9 ||
            rest.find_first_not_of("0123456789-") != std::string_view::npos)
            continue;
        const pid_t pid = static_cast<pid_t>(std::stol(std::string(rest.substr(0, dash))));
        if (pid == ::getpid() || ::kill(pid, 0) == 0 || errno != ESRCH) continue;
        const std::string path = dir + std::string(name);
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
            now - st.st_mtime < kStaleAfterSeconds)
            continue;
        ::unlink(path.c_str());
    }
}

// A fresh file beside `target` (0666 before the umask), named so that it
// cannot collide with another writer's; its path goes to `tmp_path`.
Fd create_temporary(const std::string& dir, const std::string& base, std::string& tmp_path) {
    static std::atomic<unsigned> serial{0};
    remove_stale_temporaries(dir, base);
    for (int attempt = 0;; ++attempt) {
        tmp_path = dir + temporary_prefix(base) + std::to_string(::getpid()) + "-" +
                   std::to_string(serial++);
        int fd;
        do fd = ::open(tmp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        while (fd < 0 && errno == EINTR);
        if (fd >= 0) return Fd(fd);
        if (errno != EEXIST || attempt == 100) os_error(errno);
    }
}

// Flushes a directory entry change to disk; best effort, since some file
// systems refuse fsync on a directory.
void sync_directory(const std::string& dir) {
    int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// The file a save replaces: a symbolic link is followed, so the link stays
// and the file it names gets the new content.
std::string resolve_target(const std::string& path) {
    struct stat link;
    if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return path;
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : path;
}

void save_replacing(const EngineRecord& record, const std::string& target, const struct stat* old) {
    const std::size_t slash = target.rfind('/');
    const std::string dir =
        slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string base = target.substr(dir.size());
    if (old != nullptr) {
        // Report an unwritable target as writing it in place would, rather
        // than replacing a file its owner protected; a file without any
        // write bit counts as protected for a process that may write anyway.
        open_file(target, O_WRONLY);
        if ((old->st_mode & 0222) == 0) os_error(EACCES);
    }
    std::string tmp_path;
    Fd fd = create_temporary(dir, base, tmp_path);
    try {
        // An existing file keeps its permission bits.
        if (old != nullptr) ::fchmod(fd.get(), old->st_mode & 07777);
        write_record(fd.get(), record);
        if (::fsync(fd.get()) != 0) os_error(errno);
        fd.close();
        if (::rename(tmp_path.c_str(), target.c_str()) != 0) os_error(errno);
    } catch (...) {
        ::unlink(tmp_path.c_str());
        throw;
    }
    sync_directory(dir);
}

}  // namespace

// ------------------------------------------------------------ entry points

std::size_t encoded_size(const EngineRecord& record) {
    CountingSink counter;
    encode(record, counter);
    return counter.size;
}

void encode_into(const EngineRecord& record, std::span<std::uint8_t> out) {
    MemorySink sink{out.data(), out.data() + out.size()};
    encode(record, sink);
    if (sink.at != sink.end) throw InternalFailure("encoded record does not fill its buffer");
}

EngineRecord decode(std::span<const std::uint8_t> bytes) {
    MemorySource source{bytes};
    EngineRecord record = decode_from(source);
    check_record(record);
    return record;
}

namespace {

[[noreturn]] void inconsistent(const std::string& what) {
    throw ValueError("inconsistent engine record: " + what);
}

// The number of array values the record holds, boost layers included.
struct ValueCounter {
    std::uint64_t values = 0;
    template <class T>
    void operator()(const char*, const T& field) {
        if constexpr (std::is_same_v<T, std::vector<CsrF32>>) {
            for (const CsrF32& layer : field)
                values += layer.data.size() + layer.indices.size() + layer.indptr.size();
        } else if constexpr (requires { field.size(); }) {
            values += field.size();
        }
    }
};

// A request allocates a few values per unit of `count`; beyond kUnbackedCount
// the record must hold at least that many values itself.
void expect_backed(const char* count_name, std::uint64_t count, std::uint64_t values) {
    if (count <= std::max(values, kUnbackedCount)) return;
    inconsistent(std::string(count_name) + " is " + std::to_string(count) +
                 " but the record's arrays hold only " + std::to_string(values) +
                 " values; without arrays of that extent " + count_name + " may be at most " +
                 std::to_string(kUnbackedCount));
}

// One CSR table as requests read it: rows below `reach` (the others are never
// read), whose positions index arrays of `limit` entries and whose column
// entries `indices` must lie below `bound`.
template <class Offset, class Index>
struct CsrSection {
    std::string indptr_name;
    std::span<const Offset> indptr;
    std::uint64_t reach;
    std::size_t limit;
    std::string indices_name;
    std::span<const Index> indices;
    const char* bound_name;
    std::uint64_t bound;
};

template <class Offset, class Index>
[[noreturn]] void bad_column(const CsrSection<Offset, Index>& t, std::size_t k) {
    inconsistent(t.indices_name + "[" + std::to_string(k) + "] is " + std::to_string(t.indices[k]) +
                 ", not an index below " + t.bound_name + " " + std::to_string(t.bound));
}

template <class Offset, class Index>
bool column_ok(const CsrSection<Offset, Index>& t, std::size_t k) {
    return t.indices[k] >= 0 && static_cast<std::uint64_t>(t.indices[k]) < t.bound;
}

// The columns at positions [begin, end): one branch-free pass, then the
// first one out of bounds if any is. As unsigned values, negative columns lie
// at or above 2^(bits - 1), which no bound beyond that admits.
template <class Offset, class Index>
void check_columns(const CsrSection<Offset, Index>& t, std::size_t begin, std::size_t end) {
    using Unsigned = std::make_unsigned_t<Index>;
    const auto limit = static_cast<Unsigned>(
        std::min<std::uint64_t>(t.bound, std::uint64_t{std::numeric_limits<Index>::max()} + 1));
    bool bad = false;
    for (std::size_t k = begin; k < end; ++k) bad |= static_cast<Unsigned>(t.indices[k]) >= limit;
    if (!bad) return;
    for (std::size_t k = begin; k < end; ++k)
        if (!column_ok(t, k)) bad_column(t, k);
}

// Every row a request can read lies within its arrays (a row whose end is not
// above its start is empty, as requests read it), and every entry such a row
// covers is a column below the bound. Entries no readable row covers are never
// read and not checked. Linear in the rows and entries: offsets that never
// decrease (as every table is built) cover one run of positions; otherwise the
// furthest end of the rows starting at each position marks what they cover.
template <class Offset, class Index>
void check_csr(const CsrSection<Offset, Index>& t) {
    const std::size_t rows =
        std::min<std::uint64_t>(t.indptr.empty() ? 0 : t.indptr.size() - 1, t.reach);
    bool ordered = true;
    for (std::size_t r = 0; r < rows; ++r) {
        const Offset b = t.indptr[r], e = t.indptr[r + 1];
        ordered = ordered && b <= e;
        if (e > b && (b < 0 || static_cast<std::uint64_t>(e) > t.limit))
            inconsistent(t.indptr_name + " row " + std::to_string(r) + " spans " +
                         std::to_string(b) + ".." + std::to_string(e) + ", outside its " +
                         std::to_string(t.limit) + " entries");
    }
    if (rows == 0) return;
    if (ordered) {
        // Every non-empty row starts at or after indptr[0] and ends by
        // indptr[rows]; with one such row both bounds are valid positions.
        if (t.indptr[rows] > t.indptr[0])
            check_columns(t, static_cast<std::size_t>(t.indptr[0]),
                          static_cast<std::size_t>(t.indptr[rows]));
        return;
    }
    std::vector<std::size_t> furthest(t.limit, 0);
    for (std::size_t r = 0; r < rows; ++r) {
        const Offset b = t.indptr[r], e = t.indptr[r + 1];
        if (e <= b) continue;
        std::size_t& end = furthest[static_cast<std::size_t>(b)];
        end = std::max(end, static_cast<std::size_t>(e));
    }
    std::size_t covered = 0;
    for (std::size_t k = 0; k < furthest.size(); ++k) {
        covered = std::max(covered, furthest[k]);
        if (k < covered && !column_ok(t, k)) bad_column(t, k);
    }
}

template <class Offset, class Index>
CsrSection<Offset, Index> section(const char* indptr_name, const RecordArray<Offset>& indptr,
                                  std::uint64_t reach, std::size_t limit, const char* indices_name,
                                  const RecordArray<Index>& indices, const char* bound_name,
                                  std::uint64_t bound) {
    return {indptr_name, indptr, reach, limit, indices_name, indices, bound_name, bound};
}

}  // namespace

void check_record(const EngineRecord& r) {
    if (r.ease_dim > r.n_items)
        inconsistent("ease_dim " + std::to_string(r.ease_dim) + " exceeds n_items " +
                     std::to_string(r.n_items));
    const std::uint64_t dim = r.ease_dim, len = r.ease_b.size();
    // len == dim * dim without forming the product, which can wrap
    if (dim == 0 ? len != 0 : (len % dim != 0 || len / dim != dim))
        inconsistent("ease_b holds " + std::to_string(r.ease_b.size()) +
                     " values, not ease_dim^2 for ease_dim " + std::to_string(r.ease_dim));

    ValueCounter counter;
    for_each_field(r, counter);
    const bool user_cf = !r.uu_indptr.empty();
    const bool content = r.content_nfeat != 0 && !r.content_data.empty();
    expect_backed("n_items", r.n_items, counter.values);
    if (user_cf) expect_backed("n_users", r.n_users, counter.values);
    if (content) expect_backed("content_nfeat", r.content_nfeat, counter.values);

    const std::uint64_t items = r.n_items, users = r.n_users;
    if (!r.base_is_ease)
        check_csr(section("cooc_indptr", r.cooc_indptr, items,
                          std::min(r.cooc_data.size(), r.cooc_indices.size()), "cooc_indices",
                          r.cooc_indices, "n_items", items));
    check_csr(section("trans_indptr", r.trans_indptr, items,
                      std::min(r.trans_data.size(), r.trans_indices.size()), "trans_indices",
                      r.trans_indices, "n_items", items));
    if (user_cf) {
        check_csr(section("uu_indptr", r.uu_indptr, items, r.uu_data.size(), "uu_data", r.uu_data,
                          "n_users", users));
        check_csr(section("uri_indptr", r.uri_indptr, users, r.uri_data.size(), "uri_data",
                          r.uri_data, "n_items", items));
    }
    for (std::size_t l = 0; l < r.boost.size(); ++l) {
        const CsrF32& layer = r.boost[l];
        const std::string name = "boost[" + std::to_string(l) + "].";
        const std::uint64_t rows = layer.indptr.empty() ? 0 : layer.indptr.size() - 1;
        check_csr(CsrSection<std::int32_t, std::int32_t>{
            name + "indptr", layer.indptr, items, std::min(layer.data.size(), layer.indices.size()),
            name + "indices", layer.indices, "its rows", rows});
    }
    if (content)
        check_csr(section("content_indptr", r.content_indptr, items,
                          std::min(r.content_data.size(), r.content_indices.size()),
                          "content_indices", r.content_indices, "content_nfeat", r.content_nfeat));
}

void save_record(const EngineRecord& record, const std::string& path) {
    check_path(path);
    const std::string target = resolve_target(path);
    struct stat old;
    const bool exists = ::stat(target.c_str(), &old) == 0;
    const bool has_name = !target.empty() && target.back() != '/';
    if ((exists && !S_ISREG(old.st_mode)) || !has_name) {
        save_in_place(record, target);
        return;
    }
    save_replacing(record, target, exists ? &old : nullptr);
}

EngineRecord load_record(const std::string& path) {
    check_path(path);
    Fd fd = open_file(path, O_RDONLY);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) os_error(errno);
    if (S_ISDIR(st.st_mode)) os_error(EISDIR);
    // A pipe or a device has no size to bound the reads (/dev/zero never ends).
    if (!S_ISREG(st.st_mode)) throw ValueError("'" + path + "' is not a regular file");
    FileSource source(fd.get(), static_cast<std::size_t>(st.st_size));
    EngineRecord record = decode_from(source);
    check_record(record);
    return record;
}

SectionRecord load_section(int fd, std::uint64_t offset, std::uint64_t length) {
    struct stat st;
    if (::fstat(fd, &st) != 0) os_error(errno);
    if (!S_ISREG(st.st_mode)) throw ValueError("not a regular file");
    // The checksum thread reads the record's vectors as they fill: declared
    // after the record, it is stopped before the record goes, also when the
    // decoding fails part-way.
    SectionRecord out;
    PipelinedCrc crc;
    FileSource source(fd, static_cast<std::size_t>(length), offset, &crc);
    decode_into(source, out.record);
    source.drain();
    out.crc = crc.finish();
    check_record(out.record);
    return out;
}

}  // namespace tarsel::engine
