// State file: the stored registers of the virtual boards (EEPROM, channel, memory and
// TEDS registers, pages and page backups), kept like the boards' EEPROM across processes.
//
// Text format, one record per line:
//   qolven-sim-state 2
//   device <serial>                 (bytes outside '!'..'~' and '%' written as %XX)
//   eeprom <256 x 4 hex digits>
//   channel <c> <256 x 2 hex digits>
//   memory <256 x 2 hex digits>
//   teds <address> <hex digits>     (runs of registers that are not 0xff)
//   page <p> <129 x 2 hex digits>   (only pages that differ from the factory pattern)
//   backup <p> <129 x 2 hex digits> (likewise)
//   end <FNV-1a 64 of every byte before this line, 16 hex digits>
// Files of version 1 (no end line, "teds <address> <decimal value>") are still read.
//
// Next to the file: "<file>.lock", which a save holds (flock) from reading the file to
// renaming the new one over it, so that saves of several processes merge; and
// "<file>.<serial>.lock" per device, held from FT_Open to FT_Close.  A save writes a
// unique temporary, fsyncs it and renames it over the file, so a reader sees the old or
// the new file whole; a temporary that a killed writer left is removed by the next save.
// A file that does not parse, or whose end line is missing or does not match, is
// damaged: it is renamed to "<file>.damaged-<date>-<time>" and reported.
#include "sim_internal.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qolven_sim {
namespace detail {

namespace {

constexpr size_t kMaxStateBytes = 256u << 20;
constexpr int kTedsRun = 64;  // registers per teds line

struct Record {
    std::string serial;
    std::vector<std::string> lines;  // everything after the device line
};

std::string hex_of(const uint8_t *p, size_t n) {
    static const char *digits = "0123456789abcdef";
    std::string s;
    s.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool bytes_of(const std::string &hex, std::vector<uint8_t> &out) {
    if (hex.size() % 2) return false;
    out.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = hex_digit(hex[i]), lo = hex_digit(hex[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

bool number_of(const std::string &s, long lo, long hi, long &v) {
    if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos) return false;
    v = std::stol(s);
    return v >= lo && v <= hi;
}

// %XX for every byte `keep` refuses.
std::string percent_escaped(const std::string &serial, bool (*keep)(unsigned char)) {
    std::string out;
    for (unsigned char c : serial) {
        if (keep(c)) {
            out += static_cast<char>(c);
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out;
}

std::string escape_serial(const std::string &serial) {
    return percent_escaped(serial, [](unsigned char c) { return c > ' ' && c < 0x7F && c != '%'; });
}

bool unescape_serial(const std::string &text, std::string &serial) {
    serial.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            serial += text[i];
            continue;
        }
        if (i + 2 >= text.size() || hex_digit(text[i + 1]) < 0 || hex_digit(text[i + 2]) < 0) return false;
        serial += static_cast<char>(hex_digit(text[i + 1]) << 4 | hex_digit(text[i + 2]));
        i += 2;
    }
    return !serial.empty();
}

// File names of the locks: the serial reduced to characters that are safe in a name.
std::string lock_name(const std::string &serial) {
    return percent_escaped(serial, [](unsigned char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    });
}

uint64_t fnv1a(const char *p, size_t n) {
    uint64_t h = 14695981039346656037ull;
    for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(p[i])) * 1099511628211ull;
    return h;
}

std::vector<std::string> encode_record(const Storage &st) {
    std::vector<std::string> lines;
    uint8_t e[512];
    for (int i = 0; i < 256; ++i) {
        e[2 * i] = st.eeprom[i] >> 8;
        e[2 * i + 1] = st.eeprom[i] & 0xFF;
    }
    lines.push_back("eeprom " + hex_of(e, 512));
    for (int c = 0; c < 4; ++c) lines.push_back("channel " + std::to_string(c) + " " + hex_of(st.channel[c], 256));
    lines.push_back("memory " + hex_of(st.memory, 256));
    for (int a = 0; a < kTedsSize && !st.teds.empty();) {
        if (st.teds[a] == 0xFF) {
            ++a;
            continue;
        }
        int n = 0;
        while (a + n < kTedsSize && n < kTedsRun && st.teds[a + n] != 0xFF) ++n;
        lines.push_back("teds " + std::to_string(a) + " " + hex_of(&st.teds[a], n));
        a += n;
    }
    for (int p = 0; p < kPages; ++p) {
        if (!page_is_default(st.pages, p))
            lines.push_back("page " + std::to_string(p) + " " + hex_of(&st.pages[p * kPageSize], kPageSize));
        if (!page_is_default(st.backups, p))
            lines.push_back("backup " + std::to_string(p) + " " + hex_of(&st.backups[p * kPageSize], kPageSize));
    }
    return lines;
}

// Applies a record to `st`: what it lists, and erased TEDS and factory pages for the rest.
bool decode_record(const Record &r, int version, Storage &st, std::string &why) {
    Storage out = st;
    std::vector<uint8_t>().swap(out.teds);
    std::vector<uint8_t>().swap(out.pages);
    std::vector<uint8_t>().swap(out.backups);
    bool eeprom = false, memory = false, channel[4] = {false, false, false, false};
    for (const std::string &l : r.lines) {
        std::istringstream in(l);
        std::string kind, a, b, extra;
        in >> kind >> a >> b >> extra;
        std::vector<uint8_t> bytes;
        long n = 0, v = 0;
        auto bad = [&]() {
            why = "record " + quoted(kind, 12) + " of device " + quoted(r.serial) + " is malformed";
            return false;
        };
        if (!extra.empty()) return bad();
        if (kind == "eeprom" && b.empty()) {
            if (!bytes_of(a, bytes) || bytes.size() != 512) return bad();
            for (int i = 0; i < 256; ++i) out.eeprom[i] = static_cast<uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
            eeprom = true;
        } else if (kind == "channel") {
            if (!number_of(a, 0, 3, n) || !bytes_of(b, bytes) || bytes.size() != 256) return bad();
            std::copy(bytes.begin(), bytes.end(), out.channel[n]);
            channel[n] = true;
        } else if (kind == "memory" && b.empty()) {
            if (!bytes_of(a, bytes) || bytes.size() != 256) return bad();
            std::copy(bytes.begin(), bytes.end(), out.memory);
            memory = true;
        } else if (kind == "teds") {
            if (!number_of(a, 0, kTedsSize - 1, n)) return bad();
            if (version == 1) {
                if (!number_of(b, 0, 255, v)) return bad();
                set_teds_byte(out, static_cast<int>(n), static_cast<uint8_t>(v));
            } else {
                if (!bytes_of(b, bytes) || bytes.empty() || n + static_cast<long>(bytes.size()) > kTedsSize) return bad();
                for (size_t i = 0; i < bytes.size(); ++i) set_teds_byte(out, static_cast<int>(n + i), bytes[i]);
            }
        } else if (kind == "page" || kind == "backup") {
            if (!number_of(a, 0, kPages - 1, n) || !bytes_of(b, bytes) || bytes.size() != kPageSize) return bad();
            std::copy(bytes.begin(), bytes.end(), page_bytes(kind == "page" ? out.pages : out.backups, static_cast<int>(n)));
        } else {
            return bad();
        }
    }
    if (!eeprom || !memory || !channel[0] || !channel[1] || !channel[2] || !channel[3]) {
        why = "the record of device " + quoted(r.serial) + " is incomplete";
        return false;
    }
    st = std::move(out);
    return true;
}

// Parses (and checks) a whole file.
bool parse(const std::string &content, std::vector<Record> &records, int &version, std::string &why) {
    records.clear();
    size_t pos = 0, lineNo = 0;
    bool ended = false;
    auto fail = [&](const std::string &what) {
        why = "line " + std::to_string(lineNo) + ": " + what;
        return false;
    };
    while (pos < content.size()) {
        size_t nl = content.find('\n', pos);
        if (nl == std::string::npos) return ++lineNo, fail("cut off (no line end)");
        std::string line = content.substr(pos, nl - pos);
        size_t start = pos;
        pos = nl + 1;
        ++lineNo;
        if (ended) return fail("text after the end line");
        if (lineNo == 1) {
            if (line == "qolven-sim-state 1") version = 1;
            else if (line == "qolven-sim-state 2") version = 2;
            else return fail("not a state file (" + quoted(line, 24) + ")");
            continue;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("end ", 0) == 0 && version >= 2) {
            char expect[17];
            std::snprintf(expect, sizeof expect, "%016llx",
                          static_cast<unsigned long long>(fnv1a(content.data(), start)));
            if (line.substr(4) != expect) return fail("the check sum does not match the contents");
            ended = true;
            continue;
        }
        if (line.rfind("device ", 0) == 0) {
            Record r;
            if (!unescape_serial(line.substr(7), r.serial)) return fail("bad serial number");
            for (const Record &earlier : records)
                if (earlier.serial == r.serial) return fail("device " + quoted(r.serial) + " appears twice");
            records.push_back(std::move(r));
        } else if (records.empty()) {
            return fail("a record before the first device line");
        } else {
            records.back().lines.push_back(line);
        }
    }
    if (lineNo > 0 && version >= 2 && !ended) return fail("cut off (no end line)");
    Storage scratch{};
    for (const Record &r : records)
        if (!decode_record(r, version, scratch, why)) return false;
    return true;
}

std::string serialise(const std::vector<Record> &records) {
    std::string out = "qolven-sim-state 2\n";
    for (const Record &r : records) {
        out += "device " + escape_serial(r.serial) + "\n";
        for (const std::string &l : r.lines) out += l + "\n";
    }
    char end[32];
    std::snprintf(end, sizeof end, "end %016llx\n", static_cast<unsigned long long>(fnv1a(out.data(), out.size())));
    return out + end;
}

// Reads the whole file: 1 when it is there, 0 when it does not exist, -1 on an error.
int read_file(const std::string &path, std::string &content, std::string &why) {
    content.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return 0;
        why = "cannot read the state file " + quoted(path, 200) + ": " + std::strerror(errno);
        return -1;
    }
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why = "cannot read the state file " + quoted(path, 200) + ": " + std::strerror(errno);
            ::close(fd);
            return -1;
        }
        if (n == 0) break;
        content.append(buf, static_cast<size_t>(n));
        if (content.size() > kMaxStateBytes) break;  // reported as damaged by the caller
    }
    ::close(fd);
    return 1;
}

int open_lock(const std::string &name, std::string &why) {
    int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) why = "cannot create the lock file " + quoted(name, 200) + ": " + std::strerror(errno);
    return fd;
}

// Holds "<file>.lock" for the lifetime of the object.
class FileLock {
public:
    FileLock(const std::string &path, std::string &why) : fd_(open_lock(path + ".lock", why)) {
        while (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0) {
            if (errno == EINTR) continue;
            why = "cannot lock " + quoted(path + ".lock", 200) + ": " + std::strerror(errno);
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~FileLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool held() const { return fd_ >= 0; }

private:
    int fd_;
};

// Moves a damaged file aside (caller holds the file lock); the reason names both files.
std::string move_aside(const std::string &path, const std::string &damage) {
    char stamp[32];
    std::time_t now = std::time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    std::string aside = path + ".damaged-" + stamp;
    struct stat info;
    for (int n = 2; ::lstat(aside.c_str(), &info) == 0; ++n) aside = path + ".damaged-" + stamp + "-" + std::to_string(n);
    std::string what = "the state file " + quoted(path, 200) + " is damaged (" + damage + ")";
    if (::rename(path.c_str(), aside.c_str()) != 0)
        return what + " and cannot be moved aside: " + std::strerror(errno);
    return what + "; it was moved to " + quoted(aside, 240) + " and a new one is started";
}

// Reads and parses the file.  A damaged one is looked at again under the file lock (a
// save may just have replaced it) and moved aside when it still is.
bool read_records(const std::string &path, std::vector<Record> &records, int &version, std::string &why,
                  bool haveLock) {
    std::string content, damage;
    int got = read_file(path, content, why);
    if (got < 0) return false;
    version = 2;
    if (got == 0) return records.clear(), true;
    if (content.size() <= kMaxStateBytes && parse(content, records, version, damage)) return true;
    if (!haveLock) {
        FileLock lock(path, why);
        if (!lock.held()) return false;
        return read_records(path, records, version, why, true);
    }
    if (content.size() > kMaxStateBytes) damage = "larger than " + std::to_string(kMaxStateBytes >> 20) + " MiB";
    why = move_aside(path, damage);
    return false;
}

std::string directory_of(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

const char kTemporarySuffix[] = ".tmp-XXXXXX";

// Temporaries are written only under the file lock, so one found while holding it was
// left by a writer that was killed before it could rename or remove it.
void remove_orphaned_temporaries(const std::string &path) {
    size_t slash = path.rfind('/');
    const std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".tmp-";
    const size_t length = prefix.size() + 6;  // mkostemp's six letters and digits
    DIR *dir = ::opendir(directory_of(path).c_str());
    if (!dir) return;
    while (dirent *e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name.size() != length || name.compare(0, prefix.size(), prefix) != 0) continue;
        if (std::all_of(name.begin() + static_cast<long>(prefix.size()), name.end(),
                        [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }))
            ::unlinkat(::dirfd(dir), name.c_str(), 0);
    }
    ::closedir(dir);
}

bool write_all(int fd, const std::string &data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

std::shared_ptr<StateFile> StateFile::create(const std::string &path, std::string *error) {
    auto refuse = [&](const std::string &why) {
        if (error) *error = why;
        return std::shared_ptr<StateFile>();
    };
    if (path.empty()) return refuse("the state file path is empty");
    struct stat info;
    if (::stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return refuse("the state file " + quoted(path, 200) + " is a directory");
        if (!S_ISREG(info.st_mode)) return refuse("the state file " + quoted(path, 200) + " is not a regular file");
    } else if (errno != ENOENT) {
        return refuse("cannot use the state file " + quoted(path, 200) + ": " + std::strerror(errno));
    }
    std::string dir = directory_of(path);
    if (path.back() == '/') return refuse("the state file " + quoted(path, 200) + " names a directory");
    if (::stat(dir.c_str(), &info) != 0)
        return refuse("the directory of the state file " + quoted(path, 200) + " cannot be used: " + std::strerror(errno));
    if (!S_ISDIR(info.st_mode)) return refuse(quoted(dir, 200) + " (directory of the state file) is not a directory");
    return std::shared_ptr<StateFile>(new StateFile(path));
}

bool StateFile::check(std::string *error) {
    std::vector<Record> records;
    int version;
    std::string why;
    if (read_records(path_, records, version, why, false)) return true;
    if (error) *error = why;
    return false;
}

int StateFile::lock_device(const std::string &serial, bool *busy, std::string *error) {
    std::string why;
    *busy = false;
    int fd = open_lock(path_ + "." + lock_name(serial) + ".lock", why);
    while (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        *busy = errno == EWOULDBLOCK;
        why = "cannot lock device " + quoted(serial) + ": " + std::strerror(errno);
        ::close(fd);
        fd = -1;
    }
    if (fd < 0 && error) *error = why;
    return fd;
}

bool StateFile::open_elsewhere(const std::string &serial) const {
    int fd = ::open((path_ + "." + lock_name(serial) + ".lock").c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;  // never opened with this file
    bool busy = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);  // also gives back the lock taken just now
    return busy;
}

bool StateFile::load_device(const std::string &serial, Storage &st, std::string *error) {
    return load_devices({{serial, &st}}, error);
}

bool StateFile::load_devices(const std::vector<std::pair<std::string, Storage *>> &targets, std::string *error) {
    std::vector<Record> records;
    int version;
    std::string why;
    if (read_records(path_, records, version, why, false)) {
        for (const Record &r : records)
            for (const auto &t : targets)
                if (r.serial == t.first) decode_record(r, version, *t.second, why);  // checked by the parse
        return true;
    }
    if (error) *error = why;
    return false;
}

bool StateFile::save(const std::vector<std::pair<std::string, const Storage *>> &updates, std::string *error) {
    std::string why;
    auto fail = [&](const std::string &reason) {
        if (error) *error = reason;
        return false;
    };
    const std::string where = "cannot save the state file " + quoted(path_, 200) + ": ";
    FileLock lock(path_, why);
    if (!lock.held()) return fail(where + why);
    std::vector<Record> records;
    int version;
    if (!read_records(path_, records, version, why, true)) return fail(why);
    if (version == 1) {
        // Version-1 TEDS lines are rewritten in the current form.
        for (Record &r : records) {
            Storage st{};
            decode_record(r, 1, st, why);
            r.lines = encode_record(st);
        }
    }
    for (const auto &u : updates) {
        Record *r = nullptr;
        for (Record &x : records)
            if (x.serial == u.first) r = &x;
        if (!r) {
            records.push_back(Record{u.first, {}});
            r = &records.back();
        }
        r->lines = encode_record(*u.second);
    }
    std::string data = serialise(records);

    remove_orphaned_temporaries(path_);
    std::vector<char> name(path_.begin(), path_.end());
    name.insert(name.end(), kTemporarySuffix, kTemporarySuffix + sizeof kTemporarySuffix);
    int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return fail(where + std::strerror(errno) + " (creating a temporary file next to it)");
    struct stat info;
    mode_t mode = ::stat(path_.c_str(), &info) == 0 ? info.st_mode & 07777 : 0644;
    const char *step = nullptr;
    if (!write_all(fd, data)) step = "writing";
    else if (::fchmod(fd, mode) != 0) step = "setting its mode";
    else if (::fsync(fd) != 0) step = "flushing it to disk";
    int e = errno;
    if (::close(fd) != 0 && !step) step = "closing", e = errno;
    if (!step && ::rename(name.data(), path_.c_str()) != 0) step = "renaming it over the file", e = errno;
    if (step) {
        ::unlink(name.data());
        return fail(where + std::strerror(e) + " (" + step + " " + quoted(name.data(), 240) + ")");
    }
    // The rename itself reaches the disk with the directory.
    int dfd = ::open(directory_of(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

} // namespace detail
} // namespace qolven_sim
