/*
 * file_builder.h -- shared by the tests that need DICOM files built byte by
 * byte: a builder that appends elements in the encoding of the transfer
 * syntax current when each is added, and, for the fuzz seed corpus, a hook
 * that keeps a copy of the files the tests build.
 */
#ifndef QUENOR_FILE_BUILDER_H
#define QUENOR_FILE_BUILDER_H

#include <stdint.h>
#include <stdlib.h>

#include <string.h>

#include <initializer_list>
#include <string>

#include "medcore.h"
#include "testutil.h"

namespace dicomtest {

/* Builds the bytes of a DICOM file, element by element, in the encoding of
 * the transfer syntax that is current when each element is added. */
class FileBuilder {
public:
    explicit FileBuilder(int ts = TS_IMPLICIT_LE) : ts_(ts) {}

    FileBuilder &Preamble(char fill = 0) {
        bytes_.append(128, fill);
        bytes_ += "DICM";
        return *this;
    }
    FileBuilder &Syntax(int ts) {
        ts_ = ts;
        return *this;
    }
    /* Header with the given length, then the value bytes as given. */
    FileBuilder &Header(uint16_t g, uint16_t e, const char *vr, uint32_t length) {
        U16(g);
        U16(e);
        const bool delimiter = g == 0xFFFE;
        if (ts_ == TS_IMPLICIT_LE || delimiter) {
            U32(length);
        } else if (LongForm(vr)) {
            bytes_ += std::string(vr, 2);
            bytes_.append(2, '\0');
            U32(length);
        } else {
            bytes_ += std::string(vr, 2);
            U16((uint16_t)length);
        }
        return *this;
    }
    FileBuilder &Text(uint16_t g, uint16_t e, const char *vr, const std::string &value) {
        Header(g, e, vr, (uint32_t)value.size());
        bytes_ += value;
        return *this;
    }
    FileBuilder &US(uint16_t g, uint16_t e, uint16_t v) {
        Header(g, e, "US", 2);
        return U16(v);
    }
    FileBuilder &UL(uint16_t g, uint16_t e, uint32_t v) {
        Header(g, e, "UL", 4);
        return U32(v);
    }
    FileBuilder &Item(uint32_t length = 0xFFFFFFFF) { return Header(0xFFFE, 0xE000, "", length); }
    FileBuilder &ItemEnd() { return Header(0xFFFE, 0xE00D, "", 0); }
    FileBuilder &SeqEnd() { return Header(0xFFFE, 0xE0DD, "", 0); }
    FileBuilder &Raw(const std::string &b) {
        bytes_ += b;
        return *this;
    }
    FileBuilder &U16(uint16_t v) {
        Number(v, 2);
        return *this;
    }
    FileBuilder &U32(uint32_t v) {
        Number(v, 4);
        return *this;
    }
    /* An element of numbers of `size` bytes each (bit patterns: see Bits). */
    FileBuilder &Numbers(uint16_t g, uint16_t e, const char *vr, int size,
                         std::initializer_list<uint64_t> values) {
        Header(g, e, vr, (uint32_t)(size * values.size()));
        for (uint64_t v : values)
            Number(v, size);
        return *this;
    }
    static uint64_t Bits(float f) {
        uint32_t v;
        memcpy(&v, &f, 4);
        return v;
    }
    static uint64_t Bits(double d) {
        uint64_t v;
        memcpy(&v, &d, 8);
        return v;
    }
    /* A conforming explicit VR little endian meta group naming uid. */
    FileBuilder &Meta(const std::string &uid) {
        const int saved = ts_;
        ts_ = TS_EXPLICIT_LE;
        std::string v = uid;
        if (v.size() % 2)
            v += '\0';
        UL(0x0002, 0x0000, 14 + 8 + (uint32_t)v.size());
        Header(0x0002, 0x0001, "OB", 2).Raw(std::string("\0\1", 2));
        Text(0x0002, 0x0010, "UI", v);
        ts_ = saved;
        return *this;
    }
    const std::string &bytes() const { return bytes_; }
    size_t size() const { return bytes_.size(); }

private:
    static bool LongForm(const char *vr) {
        for (const char *l :
             {"OB", "OW", "SQ", "UN", "UT", "UC", "UR", "OF", "OD", "OL", "OV", "SV", "UV"})
            if (std::string(vr, 2) == l)
                return true;
        return false;
    }
    void Number(uint64_t v, int n) {
        for (int i = 0; i < n; i++) {
            int shift = ts_ == TS_EXPLICIT_BE ? 8 * (n - 1 - i) : 8 * i;
            bytes_ += (char)((v >> shift) & 0xFF);
        }
    }
    int ts_;
    std::string bytes_;
};

/* With QUENOR_SEED_DIR set, a built test file is also written there under
 * its name (how the fuzz targets' seed folders are filled). */
inline void KeepAsSeed(const std::string &name, const std::string &bytes) {
    const char *dir = getenv("QUENOR_SEED_DIR");
    if (dir && *dir)
        testutil::WriteFile(std::string(dir) + "/" + name, bytes);
}

} // namespace dicomtest

#endif
