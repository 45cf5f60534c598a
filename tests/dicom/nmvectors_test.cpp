/*
 * nmvectors_test.cpp -- nuclear-medicine frame vectors: the Frame Increment
 * Pointer test (including a value with a trailing partial tag), the frame
 * vectors read from objects the tests build (absent, short, negative and
 * oversized counts), the null results on rtdose.dcm, and put_Vectors round
 * trips saved in each syntax and read back by pydicom and by our reader.
 */
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include "medcore.h"
#include "testutil.h"

namespace {

AppData g_app;
DefHolder g_defs;

class Env : public ::testing::Environment {
public:
    void SetUp() override {
        ASSERT_TRUE(testutil::LoadTagDefs(&g_app, "nmvectors"));
        log_mask(0);
    }
    void TearDown() override { DoneTagPrvDef(&g_app, &g_defs); }
};
const auto *g_env = ::testing::AddGlobalTestEnvironment(new Env);

const uint16_t kElements[9] = {0x0010, 0x0020, 0x0030, 0x0050, 0x0060,
                               0x0070, 0x0080, 0x0090, 0x0100};

/* The nine vectors as one array of out-parameters. */
struct Vectors {
    int16_t *v[9] = {};
    int16_t frames = -99;
    ~Vectors() {
        for (int16_t *p : v)
            free(p);
    }
    void Get(DicomObject *obj) {
        get_Vectors(&g_app, obj, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8],
                    &frames);
    }
    std::vector<int16_t> Slots(int i) const {
        return v[i] ? std::vector<int16_t>(v[i], v[i] + frames + 1) : std::vector<int16_t>{};
    }
};

void Put(DicomObject *obj, int16_t *const v[9], int16_t frames) {
    put_Vectors(&g_app, obj, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], &frames);
}

struct Object {
    IOObject io{};
    Object() {
        init_IOObject(&io);
        DO_openObject(&io);
    }
    ~Object() { DO_closeObject(&io); }
    void Add(uint16_t group, uint16_t element, const void *value, uint32_t length) {
        DicomElementHead rec{};
        rec.group = group;
        rec.element = element;
        rec.length = length;
        rec.value = const_cast<void *>(value);
        ASSERT_EQ(0, DO_addElement(&g_app, io.object, &rec));
    }
    void AddText(uint16_t group, uint16_t element, const std::string &text) {
        Add(group, element, text.data(), (uint32_t)text.size());
    }
    void AddNumbers(uint16_t element, const std::vector<uint16_t> &n) {
        Add(0x0054, element, n.data(), (uint32_t)(n.size() * 2));
    }
};

TEST(NmVectors, FrameIncrementPointerHoldsWholeTagsOnly) {
    Object o;
    EXPECT_EQ(0, is_in_0028_0009(&g_app, o.io.object, 0x0054, 0x0010)) << "no (0028,0009)";
    /* (0054,0010), (0054,0020), then half a tag: group 0054 alone */
    const uint16_t at[5] = {0x0054, 0x0010, 0x0054, 0x0020, 0x0054};
    o.Add(0x0028, 0x0009, at, sizeof at);
    const struct {
        uint16_t group, element;
        int16_t want;
    } rows[] = {{0x0054, 0x0010, 1}, {0x0054, 0x0020, 1}, {0x0054, 0x0030, 0},
                {0x0020, 0x0054, 0}, {0x0054, 0x0000, 0}, {0x0010, 0x0054, 0}};
    for (const auto &r : rows)
        EXPECT_EQ(r.want, is_in_0028_0009(&g_app, o.io.object, r.group, r.element))
            << std::hex << r.group << "," << r.element;
}

TEST(NmVectors, ReadsEachVectorByFrameNumber) {
    const struct {
        const char *frames;                        /* nullptr: no (0028,0008) */
        std::vector<std::vector<uint16_t>> values; /* per vector; empty: absent */
        int16_t want_frames;
        std::vector<std::vector<int16_t>> want; /* per vector; empty: NULL */
        uint16_t valueless = 0;                 /* element of a vector present without value */
    } rows[] = {
        /* slice vector only */
        {"3 ", {{}, {}, {}, {}, {}, {}, {1, 2, 3}}, 3, {{}, {}, {}, {}, {}, {}, {0, 1, 2, 3}}},
        /* without a frame count nothing is read */
        {nullptr, {{1}, {2}, {3}}, 0, {}},
        /* a short vector fills what it has, a long one what fits */
        {"4", {{7, 8}, {1, 2, 3, 4, 5, 6}}, 4, {{0, 7, 8, 0, 0}, {0, 1, 2, 3, 4}}},
        /* every vector, in argument order */
        {"1",
         {{1}, {2}, {3}, {4}, {5}, {6}, {7}, {8}, {9}},
         1,
         {{0, 1}, {0, 2}, {0, 3}, {0, 4}, {0, 5}, {0, 6}, {0, 7}, {0, 8}, {0, 9}}},
        /* counts that are no frames: negative, beyond 16 bits, no number */
        {"-2", {{5, 6}}, 0, {{0}}},
        {"40000", {{5, 6}}, 0, {{0}}},
        {"many", {{5, 6}}, 0, {{0}}},
        /* numbers above 32767 come back as the same 16 bits */
        {"2", {{}, {0xFFFF, 0x8000}}, 2, {{}, {0, -1, -32768}}},
        /* a vector without value: all slots zero */
        {"2", {}, 2, {{}, {0, 0, 0}}, 0x0020},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.frames ? r.frames : "(no frame count)");
        Object o;
        if (r.frames)
            o.AddText(0x0028, 0x0008, r.frames);
        for (size_t i = 0; i < r.values.size(); i++)
            if (!r.values[i].empty())
                o.AddNumbers(kElements[i], r.values[i]);
        if (r.valueless)
            o.Add(0x0054, r.valueless, nullptr, 0);
        Vectors got;
        for (int16_t *&p : got.v)
            p = reinterpret_cast<int16_t *>(&got); /* must be reset */
        got.Get(o.io.object);
        EXPECT_EQ(r.want_frames, got.frames);
        for (int i = 0; i < 9; i++) {
            const std::vector<int16_t> want =
                i < (int)r.want.size() ? r.want[i] : std::vector<int16_t>{};
            EXPECT_EQ(want, got.Slots(i)) << "vector " << i;
        }
    }
}

TEST(NmVectors, RtdoseHasFramesAndAPointerButNoVectors) {
    IOObject io;
    init_IOObject(&io);
    ASSERT_EQ(0, DO_importObjectFromFile(&g_app, &g_defs,
                                         testutil::SamplePath("rtdose.dcm").c_str(), &io));
    EXPECT_EQ(1, is_in_0028_0009(&g_app, io.object, 0x3004, 0x000C)) << "Grid Frame Offset Vector";
    EXPECT_EQ(0, is_in_0028_0009(&g_app, io.object, 0x0054, 0x0010));
    Vectors got;
    got.Get(io.object);
    EXPECT_EQ(15, got.frames);
    for (int i = 0; i < 9; i++)
        EXPECT_EQ(nullptr, got.v[i]) << "vector " << i;
    DO_closeObject(&io);
}

/* "gggg,eeee n n n" for each group-0054 vector pydicom finds, one a line. */
std::string PydicomVectors(const std::string &path) {
    auto r = testutil::Run({"/usr/bin/python3", "-c",
                            "import pydicom, sys\n"
                            "d = pydicom.dcmread(sys.argv[1], force=True)\n"
                            "for e in d:\n"
                            "    if e.tag.group == 0x54:\n"
                            "        v = e.value if isinstance(e.value, (list, "
                            "pydicom.multival.MultiValue)) else [e.value]\n"
                            "        print('%04x,%04x' % (e.tag.group, e.tag.element), *v)\n",
                            path});
    EXPECT_EQ(0, r.status) << r.err;
    return r.out;
}

TEST(NmVectors, PutThenSaveIsReadBackByPydicomAndByGet) {
    testutil::TempDir tmp;
    const std::string src = testutil::SamplePath("rtdose.dcm");
    for (int ts : {TS_IMPLICIT_LE, TS_EXPLICIT_LE, TS_EXPLICIT_BE}) {
        SCOPED_TRACE("syntax " + std::to_string(ts));
        IOObject io;
        init_IOObject(&io);
        ASSERT_EQ(0, DO_importObjectFromFile(&g_app, &g_defs, src.c_str(), &io));
        /* every vector but the phase vector; frame f of vector i holds 100 i + f */
        std::vector<std::vector<int16_t>> arrays(9, std::vector<int16_t>(16));
        int16_t *in[9] = {};
        std::ostringstream want;
        for (int i = 0; i < 9; i++) {
            if (i == 2)
                continue;
            want << "0054," << std::hex << std::setw(4) << std::setfill('0') << kElements[i]
                 << std::dec;
            for (int f = 1; f <= 15; f++) {
                arrays[i][f] = (int16_t)(100 * i + f);
                want << " " << arrays[i][f];
            }
            want << "\n";
            in[i] = arrays[i].data();
        }
        Put(io.object, in, 0); /* no frames: nothing stored */
        Vectors none;
        none.Get(io.object);
        EXPECT_EQ(nullptr, none.v[0]);

        Put(io.object, in, 15);
        io.out_ds_ts = ts;
        io.out_meta_ts = TS_EXPLICIT_LE;
        const std::string out = tmp.file("nm.dcm");
        ASSERT_EQ(0, DO_copyObjectToFile(&g_app, &io, out.c_str()));
        DO_closeObject(&io);
        EXPECT_EQ(want.str(), PydicomVectors(out));

        /* read back, get, change one frame, put, save again */
        IOObject back;
        init_IOObject(&back);
        ASSERT_EQ(0, DO_importObjectFromFile(&g_app, &g_defs, out.c_str(), &back));
        Vectors got;
        got.Get(back.object);
        ASSERT_EQ(15, got.frames);
        for (int i = 0; i < 9; i++)
            EXPECT_EQ(in[i] ? arrays[i] : std::vector<int16_t>{}, got.Slots(i)) << "vector " << i;
        got.v[6][15] = 4242;
        Put(back.object, got.v, got.frames);
        ASSERT_EQ(0, DO_copyObjectToFile(&g_app, &back, out.c_str()));
        DO_closeObject(&back);
        std::string changed = want.str();
        changed.replace(changed.find(" 615\n"), 5, " 4242\n");
        EXPECT_EQ(changed, PydicomVectors(out));
    }
}

} // namespace
