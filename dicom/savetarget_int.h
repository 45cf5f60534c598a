/*
 * savetarget_int.h -- where a save puts the finished file (not exported):
 * the private temporary file that replaces the target, the spool file and
 * stream for a character device or FIFO, and the kinds of target.
 */
#ifndef QUENOR_SAVETARGET_INT_H
#define QUENOR_SAVETARGET_INT_H

#include <stddef.h>
#include <stdio.h>

#include <string>

#include "owners_int.h"

/* The buffer of the output stream, and of each copy into a stream target. */
const size_t kOutputBuffer = 1u << 20;

/* The private temporary file of a save, created exclusively: beside a
 * target that it will replace, removed on every way out unless it did;
 * or, for a target that is written into, a spool file in $TMPDIR (or
 * /tmp) whose name is removed at once. */
class TempFile {
public:
    ~TempFile();

    bool create(const char *target);
    bool create_spool();
    FILE *stream() const { return file_.get(); }

    /* Flushes, syncs and closes the file; false when any of it failed, or
     * an earlier write did, which is logged with the system's reason (a
     * full disk, a file-size limit) under the target's name. */
    bool finish(const char *target);

    /* Puts the finished file in the target's place. */
    bool replace(const char *target);

private:
    std::string name_;
    FileOwner file_;

    bool open_in(const char *dir);
};

/* A target that exists and is no regular file is never replaced: a
 * character device or a FIFO is written into, a symbolic link leads to the
 * file that is replaced, anything else (a directory, a socket, a block
 * device) is refused. */
enum class TargetKind { Replaced, WrittenInto, Refused };

TargetKind target_kind(const char *target);

void log_refused_target(const char *target);

/* The file that the finished one replaces: the target, or the file that a
 * symbolic link leads to, so that the link stays (/dev/stdout, for one, is
 * a link); false for a link that leads to no file. */
bool replaced_path(const char *target, std::string *path);

/* A character device or FIFO that a save writes into.  It is opened before
 * the object is written, so that a FIFO's reader, for whom the open waits,
 * sees the end of the data when the save fails. */
class StreamTarget {
public:
    ~StreamTarget();

    bool open(const char *target);

    /* Copies the finished file from the start of spool, then closes. */
    bool copy_from(FILE *spool, const char *target);

private:
    int fd_ = -1;

    bool write_all(const char *p, size_t n);
};

#endif
