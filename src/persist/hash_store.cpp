#include "persist/hash_store.h"

#include "text/unicode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kv::persist {

namespace {

constexpr char kMagic[4] = {'K', 'V', 'H', '1'};
constexpr std::size_t kHeader = 8;
constexpr std::size_t kDigest = 16;

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::uint32_t read_le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Closes a descriptor on every path out of a scope.
class Fd {
  public:
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const noexcept { return fd_; }
    // Closes now and reports the error close() gives (0 when none).
    int close_checked() noexcept {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0 ? 0 : errno;
    }

  private:
    int fd_;
};

// Writes all bytes; 0 or the errno of the failure.
int write_all(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return 0;
}

// Reads up to n bytes at `offset`; the number read (short only at end of file)
// or -1 on an error.
ssize_t pread_full(int fd, void* buf, std::size_t n, std::uint64_t offset) {
    std::size_t got = 0;
    auto* p = static_cast<unsigned char*>(buf);
    while (got < n) {
        ssize_t r = ::pread(fd, p + got, n - got, static_cast<off_t>(offset + got));
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        got += static_cast<std::size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

StoreStatus write_in_place(const std::string& path, const std::string& image) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (fd.get() < 0) return StoreStatus::os(errno);
    if (int e = write_all(fd.get(), image.data(), image.size())) return StoreStatus::os(e);
    if (int e = fd.close_checked()) return StoreStatus::os(e);
    return {};
}

// Writes the image to a fresh file next to `path`, syncs it and renames it
// over `path`. `keep_mode` carries the permission bits of the file replaced.
StoreStatus write_replacing(const std::string& path, const std::string& image,
                            const mode_t* keep_mode) {
    std::size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    // Short enough that the temporary name stays within NAME_MAX.
    std::string stem = dir + "." + base.substr(0, 96) + "." + std::to_string(::getpid()) + ".";

    static unsigned counter = 0;
    std::string tmp;
    int raw_fd = -1;
    for (int attempt = 0; attempt < 64 && raw_fd < 0; ++attempt) {
        tmp = stem + std::to_string(++counter) + ".tmp";
        raw_fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (raw_fd < 0 && errno != EEXIST) return StoreStatus::os(errno);
    }
    if (raw_fd < 0) return StoreStatus::os(EEXIST);
    Fd fd(raw_fd);

    auto fail = [&](int e) {
        ::unlink(tmp.c_str());
        return StoreStatus::os(e);
    };
    // A replaced store keeps its permission bits; a new one has 0666 less the umask.
    if (keep_mode) ::fchmod(fd.get(), *keep_mode);
    if (int e = write_all(fd.get(), image.data(), image.size())) return fail(e);
    // File systems that cannot sync say so with EINVAL; that is no failure.
    if (::fsync(fd.get()) != 0 && errno != EINVAL && errno != ENOTSUP) return fail(errno);
    if (int e = fd.close_checked()) return fail(e);
    if (::rename(tmp.c_str(), path.c_str()) != 0) return fail(errno);

    // Make the rename itself durable; the data is already safe either way.
    std::string dir_name = dir.empty() ? std::string(".") : dir;
    Fd dfd(::open(dir_name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dfd.get() >= 0) ::fsync(dfd.get());
    return {};
}

}  // namespace

bool parse_hex_digest(std::string_view s, Digest& out) {
    s = text::trim_white_space(s);
    if (s.size() != 2 * kDigest) return false;
    for (std::size_t k = 0; k < kDigest; ++k) {
        auto a = static_cast<unsigned char>(s[2 * k]);
        auto b = static_cast<unsigned char>(s[2 * k + 1]);
        int lo = hex_value(b);
        if (lo < 0) return false;
        if (a == '+') {
            out[k] = static_cast<unsigned char>(lo);
            continue;
        }
        int hi = hex_value(a);
        if (hi < 0) return false;
        out[k] = static_cast<unsigned char>(hi << 4 | lo);
    }
    return true;
}

std::string os_error_message(int code) {
    char buf[256];
    // glibc's strerror_r returns the text; the POSIX one returns a status.
    auto pick = [&](auto r) -> const char* {
        if constexpr (std::is_same_v<decltype(r), int>)
            return r == 0 ? buf : "Unknown error";
        else
            return r;
    };
    buf[0] = '\0';
    std::string msg = pick(::strerror_r(code, buf, sizeof buf));
    msg += " (os error ";
    msg += std::to_string(code);
    msg += ')';
    return msg;
}

StoreStatus save_hash_store(std::string_view path_view, std::vector<Digest>& digests) {
    if (path_view.find('\0') != std::string_view::npos) return {StoreStatus::Kind::NulInPath};
    if (digests.size() > UINT32_MAX) return {StoreStatus::Kind::TooMany};
    std::sort(digests.begin(), digests.end());

    std::string image;
    image.reserve(kHeader + kDigest * digests.size());
    image.append(kMagic, sizeof kMagic);
    auto n = static_cast<std::uint32_t>(digests.size());
    for (int i = 0; i < 4; ++i) image.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
    for (const Digest& d : digests) image.append(reinterpret_cast<const char*>(d.data()), kDigest);

    std::string path(path_view);
    if (path.empty()) return StoreStatus::os(ENOENT);
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return StoreStatus::os(EISDIR);
        // Devices and pipes cannot be replaced; they are written as they are.
        if (!S_ISREG(st.st_mode)) return write_in_place(path, image);
        // Replacing a store takes the same right as rewriting it.
        if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0)
            return StoreStatus::os(errno);
        mode_t mode = st.st_mode & 07777;
        // Through a symbolic link the file it names is replaced, not the link.
        struct stat lst;
        if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
            char* real = ::realpath(path.c_str(), nullptr);
            if (!real) return StoreStatus::os(errno);
            path = real;
            std::free(real);
        }
        return write_replacing(path, image, &mode);
    }
    int e = errno;
    if (e != ENOENT) return StoreStatus::os(e);
    // A name ending in '/' can only be a directory.
    if (path.back() == '/') return StoreStatus::os(EISDIR);
    // A dangling link: nothing to preserve, so create the file it names.
    struct stat lst;
    if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode))
        return write_in_place(path, image);
    return write_replacing(path, image, nullptr);
}

StoreStatus load_hash_store(std::string_view path_view, std::string& raw, std::uint32_t& count) {
    if (path_view.find('\0') != std::string_view::npos) return {StoreStatus::Kind::NulInPath};
    std::string path(path_view);
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return StoreStatus::os(errno);

    // The size is only a first guess: the file may change while it is read.
    struct stat st;
    std::size_t guess = 0;
    if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        guess = static_cast<std::size_t>(st.st_size);
    raw.clear();
    raw.resize(std::max<std::size_t>(guess + 1, 4096));
    std::size_t len = 0;
    while (true) {
        if (len == raw.size()) raw.resize(raw.size() * 2);
        ssize_t r = ::read(fd.get(), raw.data() + len, raw.size() - len);
        if (r < 0) {
            if (errno == EINTR) continue;
            return StoreStatus::os(errno);
        }
        if (r == 0) break;
        len += static_cast<std::size_t>(r);
    }
    raw.resize(len);

    const auto* p = reinterpret_cast<const unsigned char*>(raw.data());
    if (len < kHeader || std::memcmp(p, kMagic, sizeof kMagic) != 0)
        return {StoreStatus::Kind::InvalidFormat};
    count = read_le32(p + 4);
    if (len < kHeader + kDigest * static_cast<std::uint64_t>(count))
        return {StoreStatus::Kind::Truncated};
    return {};
}

std::optional<bool> probe_hash_store(std::string_view path_view, const Digest& target) {
    if (path_view.find('\0') != std::string_view::npos) return std::nullopt;
    std::string path(path_view);
    // O_NONBLOCK: opening a pipe must not wait for a writer (it is refused below).
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) return std::nullopt;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    auto size = static_cast<std::uint64_t>(st.st_size);
    if (size < kHeader) return std::nullopt;

    unsigned char header[kHeader];
    if (pread_full(fd.get(), header, kHeader, 0) != static_cast<ssize_t>(kHeader))
        return std::nullopt;
    if (std::memcmp(header, kMagic, sizeof kMagic) != 0) return std::nullopt;
    std::uint64_t n = read_le32(header + 4);
    if (size < kHeader + kDigest * n) return std::nullopt;
    if (n == 0) return false;

    // Every read is checked for length: a file cut short after the size check
    // gives None, never a read past its end.
    constexpr std::uint64_t kBlock = 256;  // digests read at once near the end
    std::uint64_t lo = 0;
    std::uint64_t hi = n;
    unsigned char block[kBlock * kDigest];
    while (lo < hi) {
        if (hi - lo <= kBlock) {
            // Finish the same search on one read of the remaining range.
            std::size_t bytes = static_cast<std::size_t>((hi - lo) * kDigest);
            if (pread_full(fd.get(), block, bytes, kHeader + kDigest * lo) !=
                static_cast<ssize_t>(bytes))
                return std::nullopt;
            const std::uint64_t base = lo;
            while (lo < hi) {
                std::uint64_t mid = lo + (hi - lo) / 2;
                int c = std::memcmp(block + (mid - base) * kDigest, target.data(), kDigest);
                if (c == 0) return true;
                if (c > 0)
                    hi = mid;
                else
                    lo = mid + 1;
            }
            return false;
        }
        std::uint64_t mid = lo + (hi - lo) / 2;
        unsigned char digest[kDigest];
        if (pread_full(fd.get(), digest, kDigest, kHeader + kDigest * mid) !=
            static_cast<ssize_t>(kDigest))
            return std::nullopt;
        int c = std::memcmp(digest, target.data(), kDigest);
        if (c == 0) return true;
        if (c > 0)
            hi = mid;
        else
            lo = mid + 1;
    }
    return false;
}

}  // namespace kv::persist
