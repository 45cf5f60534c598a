/*
 * save_target_test.cpp -- where the save of the converter and the editor
 * lands, run as processes: a FIFO or a character device named by -o is
 * written into and stays what it was (the FIFO read while the program
 * writes, its bytes those of a save into a regular file), a symbolic link
 * leads the save to the file it names and stays, a directory or a link to
 * nothing is refused; under a file-size limit (ulimit -f) the save fails
 * with the storing message, the target keeps its old content and no
 * temporary file is left, whether the limit strikes at the final flush, in
 * the PNG coder, in the buffered copy or in the in-kernel copy of the
 * pixel data; so does a save into a full, read-only, missing or closed
 * folder, each with the system's reason before the storing message, and
 * SIGINT, SIGTERM or SIGHUP during a save (also in place), with its name.
 */
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "dicom/file_builder.h"
#include "testutil.h"

namespace {

using dicomtest::FileBuilder;
using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;

const char kStoring[] = "Error: Error in storing DICOM object.\n";

/* One of the two programs that save, with its arguments for input in and
 * target out; the editor gets a one-line profile kept in dir. */
struct Saver {
    std::string program;
    std::vector<std::string> Args(const TempDir &dir, const std::string &in,
                                  const std::string &out) const {
        std::vector<std::string> args = {testutil::BinPath(program)};
        if (program == "tagpatchd") {
            WriteFile(dir.file("p.prf"), "a 0010 0020 ID42\n");
            args.insert(args.end(), {"-p", dir.file("p.prf")});
        }
        args.insert(args.end(), {"-i", in, "-o", out, "-v1"});
        return args;
    }
};
const Saver kSavers[] = {{"tagrecoded"}, {"tagpatchd"}};

testutil::RunResult RunWithDefs(const std::vector<std::string> &args) {
    return testutil::Run(args, {{"QUENOR_DEF_PATH", testutil::DefsDir()}});
}

/* What a program saves into a regular file in work. */
std::string RegularSave(const Saver &s, const TempDir &work, const std::string &in) {
    auto r = RunWithDefs(s.Args(work, in, work.file("regular.dcm")));
    EXPECT_EQ(0, r.status) << r.err;
    return ReadFile(work.file("regular.dcm"));
}

std::set<std::string> Entries(const std::string &dir) {
    std::set<std::string> names;
    DIR *d = opendir(dir.c_str());
    while (dirent *e = d ? readdir(d) : nullptr)
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
            names.insert(e->d_name);
    if (d)
        closedir(d);
    return names;
}

mode_t TypeOf(const std::string &path, dev_t *rdev = nullptr) {
    struct stat st = {};
    lstat(path.c_str(), &st);
    if (rdev)
        *rdev = st.st_rdev;
    return st.st_mode & S_IFMT;
}

/* Reads a FIFO on a thread of its own while a program writes into it.  The
 * FIFO is open for reading from the start, without waiting for a writer,
 * so that the reader is released even when no writer ever comes (a save
 * that replaced the FIFO instead of writing into it). */
class FifoReader {
public:
    explicit FifoReader(const std::string &path)
        : fd_(open(path.c_str(), O_RDONLY | O_NONBLOCK)), thread_([this] { Read(); }) {}
    ~FifoReader() { Finish(); }

    /* What was read up to the writer's close, once the writer is done. */
    std::string Finish() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
        return bytes_;
    }

private:
    void Read() {
        char buf[65536];
        while (fd_ >= 0) {
            const bool stopping = stop_;
            pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 20) > 0) {
                ssize_t n = read(fd_, buf, sizeof buf);
                if (n > 0) {
                    bytes_.append(buf, (size_t)n);
                    continue;
                }
                if (n == 0)
                    return; /* the writer closed */
            }
            if (stopping)
                return;
        }
    }
    int fd_;
    std::string bytes_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(SaveTarget, FifoIsWrittenIntoAndDirectoryRefused) {
    const std::string in = testutil::SamplePath("MR_small.dcm");
    for (const Saver &s : kSavers) {
        SCOPED_TRACE(s.program);
        TempDir work, dir;
        const std::string regular = RegularSave(s, work, in);

        ASSERT_EQ(0, mkfifo(dir.file("fifo").c_str(), 0600));
        FifoReader reader(dir.file("fifo"));
        auto r = RunWithDefs(s.Args(work, in, dir.file("fifo")));
        const std::string through_fifo = reader.Finish();
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_TRUE(regular == through_fifo) << "the FIFO carried " << through_fifo.size()
                                             << " bytes, a regular save " << regular.size();
        EXPECT_EQ((mode_t)S_IFIFO, TypeOf(dir.file("fifo")));

        ASSERT_EQ(0, mkdir(dir.file("folder").c_str(), 0700));
        r = RunWithDefs(s.Args(work, in, dir.file("folder")));
        EXPECT_EQ(1, r.status);
        EXPECT_NE(std::string::npos, r.err.find("is not a regular file")) << r.err;
        EXPECT_NE(std::string::npos, r.err.find(kStoring)) << r.err;
        EXPECT_EQ((mode_t)S_IFDIR, TypeOf(dir.file("folder")));
        EXPECT_TRUE(Entries(dir.file("folder")).empty());
        EXPECT_EQ((std::set<std::string>{"fifo", "folder"}), Entries(dir.path()));
    }
}

/* A symbolic link stays: the save replaces the file it leads to, or is
 * refused when it leads to none. */
TEST(SaveTarget, LinkLeadsTheSaveToItsFile) {
    const std::string in = testutil::SamplePath("MR_small.dcm");
    for (const Saver &s : kSavers) {
        SCOPED_TRACE(s.program);
        TempDir work, dir;
        const std::string regular = RegularSave(s, work, in);
        ASSERT_EQ(0, mkdir(dir.file("sub").c_str(), 0700));
        WriteFile(dir.file("sub/file.dcm"), "previous");
        ASSERT_EQ(0, symlink("sub/file.dcm", dir.file("link").c_str()));
        ASSERT_EQ(0, symlink("sub/none.dcm", dir.file("dangling").c_str()));

        auto r = RunWithDefs(s.Args(work, in, dir.file("link")));
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ((mode_t)S_IFLNK, TypeOf(dir.file("link")));
        EXPECT_TRUE(regular == ReadFile(dir.file("sub/file.dcm")));

        r = RunWithDefs(s.Args(work, in, dir.file("dangling")));
        EXPECT_EQ(1, r.status);
        EXPECT_NE(std::string::npos, r.err.find("leads to no file")) << r.err;
        EXPECT_EQ((mode_t)S_IFLNK, TypeOf(dir.file("dangling")));
        EXPECT_EQ((std::set<std::string>{"dangling", "link", "sub"}), Entries(dir.path()));
        EXPECT_EQ(std::set<std::string>{"file.dcm"}, Entries(dir.file("sub")));
    }
}

TEST(SaveTarget, CharacterDeviceIsWrittenIntoNeverReplaced) {
    const struct {
        const char *name;
        unsigned minor; /* of major 1: 3 discards what is written, 7 is always full */
        int want_status;
    } nodes[] = {{"null", 3, 0}, {"full", 7, 1}};
    TempDir dir;
    for (const auto &n : nodes) {
        if (mknod(dir.file(n.name).c_str(), S_IFCHR | 0600, makedev(1, n.minor)) != 0)
            GTEST_SKIP() << "device nodes cannot be made here: " << strerror(errno);
        int fd = open(dir.file(n.name).c_str(), O_WRONLY);
        if (fd < 0)
            GTEST_SKIP() << "device nodes cannot be opened here: " << strerror(errno);
        close(fd);
    }
    const std::string in = testutil::SamplePath("MR_small.dcm");
    for (const Saver &s : kSavers) {
        for (const auto &n : nodes) {
            SCOPED_TRACE(s.program + " -o " + n.name);
            TempDir work;
            auto r = RunWithDefs(s.Args(work, in, dir.file(n.name)));
            EXPECT_EQ(n.want_status, r.status) << r.err;
            if (n.want_status != 0) {
                EXPECT_NE(std::string::npos, r.err.find(kStoring)) << r.err;
            }
            dev_t rdev = 0;
            EXPECT_EQ((mode_t)S_IFCHR, TypeOf(dir.file(n.name), &rdev));
            EXPECT_EQ(makedev(1, n.minor), rdev);
        }
    }
    EXPECT_EQ((std::set<std::string>{"full", "null"}), Entries(dir.path()));
}

/* An image of 2 MiB of 16-bit samples: more than the writer's 1 MiB
 * output buffer. */
std::string LargeImage(uint16_t rows = 1024, uint16_t columns = 1024, bool hole = false) {
    const uint32_t size = 2u * rows * columns;
    std::string pixels(hole ? 0 : size, '\0'); /* a hole: the caller extends the file */
    for (size_t i = 0; i < pixels.size(); i++)
        pixels[i] = (char)(i * 7 + (i >> 11));
    FileBuilder f(TS_EXPLICIT_LE);
    f.Preamble().Meta(Explicit_VR_Little_Endian_Transfer_Syntax_UID);
    f.Text(0x0008, 0x0016, "UI", std::string("1.2.840.10008.5.1.4.1.1.7", 26))
        .Text(0x0008, 0x0018, "UI", std::string("1.2.3.4", 8))
        .US(0x0028, 0x0002, 1)
        .Text(0x0028, 0x0004, "CS", "MONOCHROME2 ")
        .US(0x0028, 0x0010, rows)
        .US(0x0028, 0x0011, columns)
        .US(0x0028, 0x0100, 16)
        .US(0x0028, 0x0101, 16)
        .US(0x0028, 0x0102, 15)
        .US(0x0028, 0x0103, 0)
        .Header(0x7FE0, 0x0010, "OW", size)
        .Raw(pixels);
    return f.bytes();
}

/* A tmpfs of 8 KiB over a folder for the time of a test, where it may mount one. */
struct Tmpfs {
    std::string dir;
    bool Mount(const std::string &at, unsigned long flags = 0) {
        return ::mount("tmpfs", (dir = at).c_str(), "tmpfs", flags, "size=8k") == 0;
    }
    ~Tmpfs() { umount2(dir.c_str(), MNT_DETACH); }
};

/* The save runs in the background (SIGINT not ignored there, as the shell
 * would have it) until its temporary file shows in the target's folder,
 * then gets the signal. */
std::string SignalDuringSave(const std::string &dir, const char *signal) {
    return "env --default-signal=INT \"$0\" \"$@\" & until ls " + dir +
           " | grep -q _quenor_ || ! kill -0 $!; do :; done; kill -" + signal + " $!; wait $!";
}

TEST(SaveTarget, FileSizeLimitFailsTheSaveAndKeepsTheTarget) {
    TempDir inputs;
    WriteFile(inputs.file("large.dcm"), LargeImage());
    const std::string rtstruct = testutil::SamplePath("rtstruct.dcm");
    const struct {
        const char *program;
        std::string input; /* "": the target itself, of 1 GiB (in place) */
        const char *option; /* for the converter, or "" */
        const char *where;  /* where the limit strikes */
        int error = EFBIG;  /* else no limit: a full, read-only, missing or closed folder */
        const char *signal = nullptr; /* sent during the save (error 0) */
    } rows[] = {
        {"tagrecoded", rtstruct, "", "the final flush: no pixel data"},
        {"tagrecoded", testutil::SamplePath("MR_small.dcm"), "-doc", "the PNG coder"},
        {"tagrecoded", inputs.file("large.dcm"), "-dob", "the buffered copy of swapped samples"},
        {"tagrecoded", inputs.file("large.dcm"), "", "the in-kernel copy"},
        {"tagpatchd", rtstruct, "", "the final flush"},
        {"tagpatchd", inputs.file("large.dcm"), "", "the in-kernel copy"},
        {"tagrecoded", inputs.file("large.dcm"), "-dob", "", ENOSPC},
        {"tagpatchd", inputs.file("large.dcm"), "", "", ENOSPC},
        {"tagrecoded", rtstruct, "", "", EROFS},
        {"tagpatchd", rtstruct, "", "", ENOENT},
        {"tagrecoded", rtstruct, "", "", EACCES},
        {"tagrecoded", "", "-dob", "the buffered copy", 0, "INT"},
        {"tagrecoded", "", "", "the in-kernel copy", 0, "TERM"},
        {"tagpatchd", "", "", "the in-kernel copy", 0, "HUP"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.program) + " " + row.option + ": " + row.where);
        TempDir out;
        Tmpfs fs;
        if ((row.error == ENOSPC || row.error == EROFS) && !fs.Mount(out.path()))
            continue; /* the character device test shows a full disk */
        const std::string target = out.file("target.dcm");
        WriteFile(target, row.input.empty() ? LargeImage(16384, 32768, true) : "previous");
        if (row.input.empty()) {
            ASSERT_EQ(0, truncate(target.c_str(), (off_t)ReadFile(target).size() + (1 << 30)));
        }
        struct stat before = {}, after = {};
        stat(target.c_str(), &before);
        if (row.error == EROFS && !fs.Mount(out.path(), MS_REMOUNT | MS_RDONLY))
            continue;
        if (row.error == EACCES && (geteuid() == 0 || chmod(out.path().c_str(), 0555) != 0))
            continue; /* root writes anywhere */
        std::vector<std::string> args = Saver{row.program}.Args(
            inputs, row.input.empty() ? target : row.input,
            out.file(row.error == ENOENT ? "none/target.dcm" : "target.dcm"));
        if (*row.option)
            args.push_back(row.option);
        /* 2 blocks: 1 or 2 KiB, below every output here and above the
         * messages on standard error */
        if (row.error == EFBIG)
            args.insert(args.begin(), {"/bin/sh", "-c", "ulimit -f 2 && exec \"$0\" \"$@\""});
        else if (row.signal)
            args.insert(args.begin(), {"/bin/sh", "-c", SignalDuringSave(out.path(), row.signal)});
        auto r = RunWithDefs(args);
        chmod(out.path().c_str(), 0700);
        EXPECT_EQ(1, r.status) << r.err;
        const std::string reason = row.signal ? std::string("by SIG") + row.signal +
                                                    "; its temporary file is removed"
                                              : strerror(row.error);
        EXPECT_NE(std::string::npos, r.err.find(reason + (".\n" + std::string(kStoring)))) << r.err;
        stat(target.c_str(), &after);
        EXPECT_TRUE(before.st_ino == after.st_ino && before.st_size == after.st_size);
        if (!row.input.empty()) {
            EXPECT_EQ("previous", ReadFile(target));
        }
        EXPECT_EQ(std::set<std::string>{"target.dcm"}, Entries(out.path()));
    }
}

} // namespace
