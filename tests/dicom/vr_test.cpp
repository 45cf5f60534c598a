/*
 * vr_test.cpp -- the VR table and its name/code conversions, the host byte
 * order and the swap rule, and the in-place byte swap of values by VR.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "medcore.h"
#include "vr_int.h"

namespace {

TEST(VRTable, NamesMatchTheirCodes) {
    const char *names[VR_COUNT] = {"AE", "AS", "AT", "CS", "DA", "DS", "DT", "FL", "FD", "IS", "LO",
                                   "LT", "OB", "OW", "PN", "SH", "SL", "SQ", "SS", "ST", "TM", "UI",
                                   "UL", "US", "RE", "XS", "XU", "OX", "XX", "na", "??", "UN", "UT",
                                   "UC", "UR", "OF", "OD", "OL", "OV", "SV", "UV"};
    for (int code = 0; code < VR_COUNT; code++) {
        SCOPED_TRACE(names[code]);
        EXPECT_EQ(code, changeVRnameToVR(names[code]));
        ASSERT_NE(nullptr, changeVRToVRname(code));
        EXPECT_STREQ(names[code], changeVRToVRname(code));
        EXPECT_EQ(0, VRTypes[code].name[2]);
        EXPECT_EQ(0, VRTypes[code].name[3]);
        /* the letters of a file name the same code, but "na" and "??" */
        EXPECT_EQ(code == VR_NA || code == VR_QQ ? -1 : code,
                  vr_of_letters(names[code][0], names[code][1]));
    }
    EXPECT_EQ(-1, vr_of_letters('A', 'A'));
    EXPECT_EQ(-1, vr_of_letters('u', 'n'));
    EXPECT_EQ(-1, vr_of_letters('\0', '\0'));
}

TEST(VRTable, LengthsAndKinds) {
    EXPECT_EQ(64, VRTypes[VR_LO].maxlen);
    EXPECT_EQ(10240, VRTypes[VR_LT].maxlen);
    EXPECT_EQ(-1, (int16_t)VRTypes[VR_XX].maxlen); // read as 16-bit by the verifier
    EXPECT_EQ(5, VRTypes[VR_OW].kind);
    EXPECT_EQ(3, VRTypes[VR_QQ].kind);
    EXPECT_EQ(0, VRTypes[VR_UN].kind);
    EXPECT_EQ(0, VRTypes[VR_UT].maxlen);
    EXPECT_EQ(2, VRTypes[VR_UR].kind);
    EXPECT_EQ(5, VRTypes[VR_OD].kind);
    EXPECT_EQ(8, VRTypes[VR_SV].maxlen);
    EXPECT_EQ(1, VRTypes[VR_UV].kind);
}

TEST(VRTable, NameLookupIsExact) {
    EXPECT_EQ(27, changeVRnameToVR("OX"));
    EXPECT_EQ(30, changeVRnameToVR("??"));
    EXPECT_EQ(-1, changeVRnameToVR("ox"));
    EXPECT_EQ(-1, changeVRnameToVR(""));
    EXPECT_EQ(-1, changeVRnameToVR("UL "));
    EXPECT_EQ(-1, changeVRnameToVR("U"));
    EXPECT_EQ(-1, changeVRnameToVR("ZZ"));
}

TEST(VRTable, CodeToNameOutsideTheTable) {
    EXPECT_EQ(nullptr, changeVRToVRname(-1));
    EXPECT_EQ(nullptr, changeVRToVRname(VR_COUNT));
    EXPECT_EQ(VRTypes[22].name, changeVRToVRname(22));
}

TEST(TransferSyntax, UIDStrings) {
    EXPECT_STREQ("1.2.840.10008.1.2", Implicit_VR_Little_Endian_Transfer_Syntax_UID);
    EXPECT_STREQ("1.2.840.10008.1.2.1", Explicit_VR_Little_Endian_Transfer_Syntax_UID);
    EXPECT_STREQ("1.2.840.10008.1.2.2", Explicit_VR_Big_Endian_Transfer_Syntax_UID);
    EXPECT_STREQ("3.0.0.4.5", PNG_Transfer_Syntax_UID);
    EXPECT_STREQ("\\", multi_value_delimiter);
}

TEST(ByteOrder, LittleEndianHostSwapsOnlyBigEndianSyntax) {
    const uint16_t probe = 1;
    if (*reinterpret_cast<const unsigned char *>(&probe) != 1)
        GTEST_SKIP() << "big-endian host";
    EXPECT_EQ(0, CPU_ARCH);
    Setup_CPU_Arch();
    EXPECT_EQ(0, CPU_ARCH);
    EXPECT_TRUE(ts_needs_swap(TS_EXPLICIT_BE));
    for (int ts : {TS_NONE, TS_IMPLICIT_LE, TS_EXPLICIT_LE, TS_PNG})
        EXPECT_FALSE(ts_needs_swap(ts)) << ts;
}

TEST(ByteOrder, BigEndianRuleSwapsAllButBigEndianSyntax) {
    const int32_t saved = CPU_ARCH;
    CPU_ARCH = 1;
    EXPECT_FALSE(ts_needs_swap(TS_EXPLICIT_BE));
    for (int ts : {TS_NONE, TS_IMPLICIT_LE, TS_EXPLICIT_LE, TS_PNG})
        EXPECT_TRUE(ts_needs_swap(ts)) << ts;
    CPU_ARCH = saved;
}

// Runs change_TransferSyntax over the bytes 0, 1, 2, ... of the given length
// (plus two guard bytes that must stay untouched).
std::vector<unsigned char> Swapped(int vr, uint32_t length) {
    std::vector<unsigned char> bytes(length + 2);
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = (unsigned char)i;
    DicomElementHead head{};
    head.value = bytes.data();
    head.length = length;
    head.vr = VR_OB; // the code passed decides, not the stored one
    change_TransferSyntax(vr, &head);
    return bytes;
}

TEST(ValueSwap, UnitsFollowTheGivenVR) {
    using V = std::vector<unsigned char>;
    EXPECT_EQ((V{3, 2, 1, 0, 7, 6, 5, 4, 8, 9}), Swapped(VR_FL, 8));
    EXPECT_EQ((V{1, 0, 3, 2, 5, 4, 6, 7}), Swapped(VR_US, 6));
    EXPECT_EQ((V{1, 0, 3, 2, 4, 5}), Swapped(VR_AT, 4));
    EXPECT_EQ((V{7, 6, 5, 4, 3, 2, 1, 0, 8, 9, 10, 11, 12, 13}), Swapped(VR_FD, 12));
    EXPECT_EQ((V{3, 2, 1, 0, 7, 6, 5, 4, 8, 9}), Swapped(VR_OF, 8));
    EXPECT_EQ((V{3, 2, 1, 0, 4, 5}), Swapped(VR_OL, 4));
    for (int vr : {VR_OD, VR_OV, VR_SV, VR_UV})
        EXPECT_EQ((V{7, 6, 5, 4, 3, 2, 1, 0, 8, 9}), Swapped(vr, 8)) << vr;
}

TEST(ValueSwap, BytesTextAndEmptyValuesStay) {
    using V = std::vector<unsigned char>;
    for (int vr :
         {(int)VR_OB, (int)VR_UN, (int)VR_LO, (int)VR_SQ, (int)VR_XS, (int)VR_OX, (int)VR_XX, -1})
        EXPECT_EQ((V{0, 1, 2, 3, 4, 5}), Swapped(vr, 4)) << vr;
    EXPECT_EQ((V{0, 1}), Swapped(VR_UL, 0));
    EXPECT_EQ((V{0, 1, 2, 3}), Swapped(VR_UL, 2)); // shorter than one unit
}

TEST(ValueSwap, UndefinedLengthOrNoValueIsLeftAlone) {
    unsigned char bytes[4] = {0, 1, 2, 3};
    DicomElementHead head{};
    head.value = bytes;
    head.length = 0xFFFFFFFFu;
    change_TransferSyntax(VR_UL, &head);
    EXPECT_EQ(0, bytes[0]);
    head.value = nullptr;
    head.length = 4;
    change_TransferSyntax(VR_UL, &head); // must not crash
}

} // namespace
