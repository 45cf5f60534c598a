/*
 * savetarget.cpp -- where a save puts the finished file.  A regular file
 * (or none yet) is replaced in one rename by a private temporary file
 * beside it, which takes the target's mode, or a new file's under the
 * umask; a symbolic link leads to the file that is replaced, and the link
 * stays.  A character device or FIFO is written into, from a spool file,
 * once the file is complete; any other kind of target is refused and left
 * as it is.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "logf_int.h"
#include "medcore.h"
#include "platform.h"
#include "savetarget_int.h"
#include "writer_int.h"

namespace {

/* The process's file mode creation mask as the kernel reports it, read
 * without setting it: umask() would change it for every thread of the
 * process meanwhile.  False where the kernel does not report it. */
bool process_umask(mode_t *mask) {
    FileOwner status(fopen("/proc/self/status", "r"));
    if (!status)
        return false;
    char line[256];
    bool line_start = true;
    while (fgets(line, sizeof line, status.get())) {
        const bool starts = line_start;
        line_start = strchr(line, '\n') != nullptr;
        if (!starts || strncmp(line, "Umask:", 6) != 0)
            continue;
        char *end = nullptr;
        const unsigned long value = strtoul(line + 6, &end, 8);
        if (end == line + 6 || value > 0777)
            return false;
        *mask = (mode_t)value;
        return true;
    }
    return false;
}

/* The mode the saved file gets: the target's when it exists, else that of
 * a new file under the process's umask; where the umask cannot be read,
 * the temporary file's own 0600, which shows the data to nobody else. */
mode_t saved_file_mode(const char *target) {
    struct stat st;
    if (stat(target, &st) == 0)
        return st.st_mode & 07777;
    mode_t mask;
    return process_umask(&mask) ? 0666 & ~mask : 0600;
}

bool is_stream(mode_t mode) {
    return S_ISCHR(mode) || S_ISFIFO(mode);
}

} // namespace

TempFile::~TempFile() {
    file_.reset();
    if (!name_.empty())
        unlink(name_.c_str());
}

bool TempFile::create(const char *target) {
    std::vector<char> copy(target, target + strlen(target) + 1);
    if (!open_in(_dirname(copy.data())))
        return false;
    fchmod(fileno(file_.get()), saved_file_mode(target));
    return true;
}

bool TempFile::create_spool() {
    const char *dir = getenv("TMPDIR");
    if (!open_in(dir && *dir ? dir : "/tmp"))
        return false;
    unlink(name_.c_str());
    name_.clear();
    return true;
}

bool TempFile::finish(const char *target) {
    FILE *out = file_.release();
    int reason = 0;
    /* the rename must never publish unwritten data */
    if (fflush(out) != 0 || ferror(out) || fsync(fileno(out)) != 0)
        reason = errno ? errno : EIO;
    if (fclose(out) != 0 && reason == 0)
        reason = errno ? errno : EIO;
    if (reason != 0)
        log_formatted(1, "Cannot write %s: %s.", target, strerror(reason));
    return reason == 0;
}

bool TempFile::replace(const char *target) {
    if (plat_replace_file(name_.c_str(), target) != 0) {
        log_formatted(1, "Cannot replace %s: %s.", target, strerror(errno));
        return false;
    }
    name_.clear();
    return true;
}

bool TempFile::open_in(const char *dir) {
    std::vector<char> buf(strlen(dir) + sizeof "_quenor_.tmpXXXXXX" + 2);
    mergepath(buf.data(), dir, "_quenor_.tmpXXXXXX");
    name_.reserve(buf.size()); /* so that taking the name cannot fail */
    int fd = mkstemp(buf.data());
    if (fd >= 0) {
        name_ = buf.data();
        file_.reset(fdopen(fd, "w+b"));
        if (file_)
            return true;
        close(fd);
    }
    /* A folder that does not exist, is read-only or not writable. */
    log_formatted(1, "Cannot create a temporary file in %s: %s.", dir, strerror(errno));
    return false;
}

TargetKind target_kind(const char *target) {
    struct stat st;
    if (stat(target, &st) != 0 || S_ISREG(st.st_mode))
        return TargetKind::Replaced;
    return is_stream(st.st_mode) ? TargetKind::WrittenInto : TargetKind::Refused;
}

void log_refused_target(const char *target) {
    log_formatted(1,
                  "Cannot save to %s: it is not a regular file, a character device or a FIFO; it "
                  "is left as it is.",
                  target);
}

bool replaced_path(const char *target, std::string *path) {
    struct stat st;
    if (lstat(target, &st) != 0 || !S_ISLNK(st.st_mode)) {
        *path = target;
        return true;
    }
    char *real = realpath(target, nullptr);
    if (!real) {
        log_formatted(1,
                      "Cannot save to %s: it is a link that leads to no file; it is left as it is.",
                      target);
        return false;
    }
    *path = real;
    free(real);
    return true;
}

StreamTarget::~StreamTarget() {
    if (fd_ >= 0)
        close(fd_);
}

bool StreamTarget::open(const char *target) {
    fd_ = ::open(target, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) {
        log_formatted(1, "Cannot open %s: %s.", target, strerror(errno));
        return false;
    }
    struct stat st;
    if (fstat(fd_, &st) != 0 || !is_stream(st.st_mode)) {
        log_refused_target(target); /* it changed since it was looked at */
        return false;
    }
    return true;
}

bool StreamTarget::copy_from(FILE *spool, const char *target) {
    std::vector<char> buf(kOutputBuffer);
    bool ok = fflush(spool) == 0 && fseeko(spool, 0, SEEK_SET) == 0;
    size_t n;
    while (ok && (n = fread(buf.data(), 1, buf.size(), spool)) > 0)
        ok = write_all(buf.data(), n);
    ok = ok && !ferror(spool);
    const int fd = fd_;
    fd_ = -1;
    ok = close(fd) == 0 && ok;
    if (!ok && !save_interrupted()) /* else the save says why */
        log_formatted(1, "Cannot write %s: %s.", target, strerror(errno));
    return ok;
}

bool StreamTarget::write_all(const char *p, size_t n) {
    while (n > 0 && !save_interrupted()) {
        ssize_t k = write(fd_, p, n);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return false;
        p += k;
        n -= (size_t)k;
    }
    return n == 0;
}
