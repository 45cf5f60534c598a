/*
 * medcore.h -- public interface of the DICOM library.
 *
 * The records that programs read directly (AppData, DicomObject,
 * DicomElement, IOObject, PixelDataDesc, the definition trees) keep their
 * field order: callers depend on it.  Functions and data have C linkage and
 * are exported from libmedcore.so.
 */
#ifndef MEDCORE_H
#define MEDCORE_H

#include <stdint.h>
#include <stdio.h>

#include "basekit.h"

#if defined(__GNUC__)
#define MC_API __attribute__((visibility("default")))
#else
#define MC_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ */
/* VR table, transfer syntaxes, byte order (vr.cpp)                     */
/* ------------------------------------------------------------------ */

typedef int32_t VRCode;             /* row of VRTypes, -1 = no VR */
typedef int32_t TransferSyntaxCode; /* -1 none/as read, 0 IVR LE, 1 EVR LE, 2 EVR BE, 3 PNG */
typedef int32_t PixelEncoding;      /* PE_NATIVE, PE_PNG */

typedef struct VRType {
    char name[4];   /* two letters, NUL padded */
    int32_t maxlen; /* maximum length / size of one value; 0 = unlimited */
    int32_t kind;   /* grouping of the rows; read by nothing */
} VRType;

/* clang-format off */
enum {
    VR_AE = 0, VR_AS, VR_AT, VR_CS, VR_DA, VR_DS, VR_DT, VR_FL, VR_FD, VR_IS,
    VR_LO = 10, VR_LT, VR_OB, VR_OW, VR_PN, VR_SH, VR_SL, VR_SQ, VR_SS, VR_ST,
    VR_TM = 20, VR_UI, VR_UL, VR_US, VR_RE, VR_XS, VR_XU, VR_OX, VR_XX, VR_NA,
    VR_QQ = 30, /* "??" */
    /* VRs of newer files; codes 0 to 30 never change meaning */
    VR_UN = 31, VR_UT, VR_UC, VR_UR, VR_OF, VR_OD, VR_OL, VR_OV, VR_SV, VR_UV,
    VR_COUNT = 41
};
/* clang-format on */

enum { TS_NONE = -1, TS_IMPLICIT_LE = 0, TS_EXPLICIT_LE = 1, TS_EXPLICIT_BE = 2, TS_PNG = 3 };

enum {
    PE_NATIVE = 0, /* samples as they stand, in the byte order of the syntax */
    PE_PNG = 1,    /* one PNG stream per frame behind an offset table */
    PE_UNUSED = 2  /* made by nothing here; a source of this code is copied natively */
};

extern MC_API VRType VRTypes[VR_COUNT];
extern MC_API int32_t CPU_ARCH; /* 0 little endian host, 1 big endian */

extern MC_API const char Implicit_VR_Little_Endian_Transfer_Syntax_UID[];
extern MC_API const char Explicit_VR_Little_Endian_Transfer_Syntax_UID[];
extern MC_API const char Explicit_VR_Big_Endian_Transfer_Syntax_UID[];
extern MC_API const char PNG_Transfer_Syntax_UID[];
extern MC_API const char multi_value_delimiter[];
extern MC_API const char datedelimiter[];
extern MC_API const char timedelimiter[];
extern MC_API const char Nuclear_Medicine_Image_Storage_SOP_Class_UID[];
extern MC_API const char Secondary_Capture_Image_Storage_SOP_Class_UID[];

/* ------------------------------------------------------------------ */
/* Records                                                             */
/* ------------------------------------------------------------------ */

typedef struct DicomElement DicomElement;

/* The first six fields of DicomElement, laid out exactly as there. */
typedef struct DicomElementHead {
    void *value; /* value bytes, host byte order; NULL = none */
    uint16_t group;
    uint16_t element;
    uint32_t length; /* 0xFFFFFFFF = undefined */
    VRCode vr;
    uint16_t flags; /* bit 0: bound to an attribute definition */
} DicomElementHead;

/* Bit 2 of a (7FE0,0010) element's flags: its value is a PixelDataDesc,
 * the description of pixels left in a file, not pixel bytes.  The reader
 * sets it, and the copies of the element handed out (DO_searchForElement,
 * DO_searchForPrivateElement) carry it, so that a copy handed back in is a
 * description again.  A value passed in without it (nor bit 1) is stored
 * and saved as the bytes given, whatever its length; one with it whose
 * length is below the size of a PixelDataDesc is taken as bytes too.
 * Bit 1: the element also owns the file name of its PixelDataDesc and
 * frees it with itself.  Every such element of a tree owns a name of its
 * own; copies handed out never carry the bit (they lend the element's
 * name).  A record passed in with it is a description that hands its name
 * over, unless an element owns that name already: then, as for a record
 * with bit 2 alone, the element takes a copy. */
#define DE_FLAG_BOUND 0x0001
#define DE_FLAG_OWNS_PDS_NAME 0x0002
#define DE_FLAG_PIXEL_DESC 0x0004

struct DicomElement {
    void *value;
    uint16_t group;
    uint16_t element;
    uint32_t length;
    VRCode vr;
    uint16_t flags;
    DicomElement *next;
    DicomElement *prev;
    DicomElement *first_child;
    DicomElement *last_child;
    DicomElement *parent; /* the root for a top-level element */
    /* Fields after the ones above are zero in a node made by calloc. */
    uint8_t content_ts; /* value of a sequence or item of defined length, kept as
                         * raw bytes: 1 + the TransferSyntaxCode they are encoded
                         * in; 0 = not recorded (the data set's syntax as read) */
    uint8_t file_vr;    /* 1 + the VRCode that the VR letters of an explicit-VR
                         * file name for the element; 0 = none (implicit VR, or
                         * letters that name no VR) */
    uint32_t value_pos; /* where the value of an item, or of a sequence or item
                         * kept as raw bytes (content_ts set), starts in the
                         * file read; 0 = not read from a file */
    /* The first attribute definition bound to the element, NULL = none;
     * kept by the binding, which unbinds it when the element is freed. */
    struct AttrDef *def_link;
};

typedef struct DicomObject {
    unsigned char preamble[128];
    DicomElement *root;
    DicomElement *insert_parent; /* where DO_addElement appends */
    DicomElement *cursor;        /* NULL = top level */
} DicomObject;

typedef struct PixelDataDesc {
    char *filename;           /* heap copy of the source file name */
    uint32_t offset;          /* first value byte in the source file */
    uint32_t length;          /* value length; 0xFFFFFFFF encapsulated */
    int16_t bytes_per_sample; /* bits allocated / 8 */
    uint16_t samples;         /* (0028,0002) */
    char photometric[17];     /* (0028,0004), at most 16 characters */
    uint16_t planar;          /* (0028,0006) */
    uint16_t frames;          /* (0028,0008), at most 65535: see frame_count */
    uint16_t rows;            /* (0028,0010) */
    uint16_t columns;         /* (0028,0011) */
    uint16_t bits_allocated;  /* (0028,0100) */
    uint16_t bits_stored;     /* (0028,0101) */
    uint16_t high_bit;        /* (0028,0102) */
    uint16_t pixel_rep;       /* (0028,0103) */
    TransferSyntaxCode src_ts;
    PixelEncoding src_encoding;
    /* Fields after the ones above are zero unless set. */
    /* 2: samples of 8 bits or fewer that a big-endian source holds as OW
     * words (each pair reversed); 1: larger samples that an explicit-VR
     * source labels OB, bytes never swapped; 0: byte order by the samples
     * themselves */
    uint16_t src_word_bytes;
    /* (0028,0008) whole, as fill_pds reads it (an IS of up to 12 digits) */
    uint64_t frame_count;
} PixelDataDesc;

typedef struct IOObject {
    DicomObject *object;
    TransferSyntaxCode in_meta_ts;  /* meta group as read, -1 none */
    TransferSyntaxCode in_ds_ts;    /* data set as read */
    TransferSyntaxCode out_meta_ts; /* meta group to write, -1 explicit VR LE */
    TransferSyntaxCode out_ds_ts;   /* data set to write, -1 as read, 3 PNG */
    TransferSyntaxCode pass_ts;     /* data-set syntax of the pass */
    PixelEncoding pass_encoding;    /* PixelEncoding of the pass */
    int16_t meta_header;            /* write preamble, DICM, group 0002 */
    int16_t copy_pixels;            /* 0: pixel data written with length 0, and
                                     * without (7FE0,0001) and (7FE0,0002) */
    int16_t reserved;
    int16_t png_param1;
    int16_t png_filter; /* PNG filter mask, default 31 */
    int16_t png_param3;
    int16_t zlib_level;             /* -1 = zlib default */
    int16_t in_meta_group;          /* state: inside the meta group */
    TransferSyntaxCode ts_in_force; /* state: syntax of the current element */
    TransferSyntaxCode named_ts;    /* state: syntax named by (0002,0010) */
    PixelDataDesc *write_pds;       /* state of a write */
    FILE *out;                      /* state of a write */
} IOObject;

/* Attribute definitions */

typedef struct TagDefEntry {
    uint32_t tag;    /* group << 16 | element */
    char *name;      /* pooled */
    VRCode vr;       /* -1 when the text is no VR name */
    int16_t vm;      /* value multiplicity code */
    char *permitted; /* pooled, "" for none */
} TagDefEntry;

struct TagIndex; /* lookup index, built by lookups.cpp */

typedef struct AppData {
    const char *name;
    const char *version;
    DStringBuffer *pool;
    TagDefEntry *primary_tags;
    TagDefEntry *secondary_tags;
    int16_t primary_count;
    int16_t secondary_count;
    int16_t primary_capacity;
    int16_t secondary_capacity;
    struct TagIndex *index; /* added field: key -> first row, rebuilt after loads */
} AppData;

typedef struct PrvCreatorDef PrvCreatorDef;
typedef struct PrvElementDef PrvElementDef;

typedef struct PrvDef {
    PrvCreatorDef *first;
    PrvCreatorDef *last;
    DStringBuffer *pool;
} PrvDef;

struct PrvCreatorDef {
    char *name;
    PrvCreatorDef *next;
    PrvCreatorDef *prev;
    PrvElementDef *first;
    PrvElementDef *last;
    void *reserved; /* zero at creation, stays zero */
};

struct PrvElementDef {
    TagDefEntry *entry;    /* own row; tag with bits 8-15 cleared */
    uint16_t flags;        /* bit 0: created by the binding */
    DicomElement *element; /* bound element, NULL when unbound */
    PrvElementDef *next;
    PrvElementDef *prev;
    PrvCreatorDef *creator;
};

/* Object definition tree (objdefs.cpp): one object's modules and, under
 * each, its attribute definitions; the binding (binding.cpp) links them to
 * the elements of one object and adds what the files do not describe. */

typedef struct ABCDef ABCDef;
typedef struct ModuleDef ModuleDef;
typedef struct AttrDef AttrDef;

#define ATTR_FLAG_MADE_BY_BINDING 0x0001
/* An Item definition bound to its item whose attribute definitions are not
 * made yet (BindItemDef makes them). */
#define ATTR_FLAG_ITEM_DEFERRED 0x0002
#define ATTR_OWNER_MODULE 0
#define ATTR_OWNER_ATTR 1

struct ABCDef {
    char *name;  /* object name, the key of the object file */
    char *title; /* object title */
    ModuleDef *first;
    ModuleDef *last;
    DStringBuffer *pool; /* every text of the tree */
};

struct ModuleDef {
    char *reference; /* e.g. "C.7.1.1" */
    char *title;
    char usage[4]; /* 'M', 'C' or 'U', then zero bytes */
    char *text;    /* fourth text of the module entry */
    ModuleDef *next;
    ModuleDef *prev;
    AttrDef *first; /* top-level attribute definitions */
    AttrDef *last;
    ABCDef *owner;
};

struct AttrDef {
    uint32_t tag; /* group << 16 | element; 0xFFFEE000 for an Item definition */
    char *name;
    char type[4];          /* "1", "2C", "3", ... */
    char *text;            /* fourth text of the attribute entry */
    uint16_t flags;        /* bit 0: made by the binding; bit 1: deferred Item definition */
    DicomElement *element; /* bound element, NULL when unbound */
    AttrDef *next;
    AttrDef *prev;
    AttrDef *first_child; /* Item definitions, or an item's attributes */
    AttrDef *last_child;
    uint16_t owner_kind; /* 0: owner is a ModuleDef, 1: an AttrDef */
    void *owner;
};

typedef struct DefHolder {
    struct ABCDef *abc;
    PrvDef *prv;
} DefHolder;

/* ------------------------------------------------------------------ */
/* VR operations (vr.cpp)                                              */
/* ------------------------------------------------------------------ */

MC_API void Setup_CPU_Arch(void);
MC_API int changeVRnameToVR(const char *name);
/* The two letters of the VR's row in VRTypes, which the caller never frees. */
MC_API char *changeVRToVRname(int vr);
MC_API void change_TransferSyntax(int vr, DicomElementHead *elem);

/* ------------------------------------------------------------------ */
/* Definition-file tokenizer (tokenizer.cpp)                           */
/* ------------------------------------------------------------------ */

typedef struct PDBuffer {
    FILE *file;
    char line[260];
    int32_t pos;
    char scan[2001];
    char format[131];
} PDBuffer;

/* A new buffer reading file, which stays the caller's to close; freed by
 * pd_done_buffer, which also clears the caller's pointer. */
MC_API PDBuffer *pd_init_buffer(FILE *file);
MC_API void pd_done_buffer(PDBuffer **buf);
MC_API int16_t pd_skip_expr(PDBuffer *buf, const char *set);
MC_API int16_t pd_peek_one_char(PDBuffer *buf);
MC_API int16_t pd_match_one_char(PDBuffer *buf, int16_t c);
MC_API int16_t pd_skip_comment(PDBuffer *buf);
MC_API int16_t pd_skip_spaces(PDBuffer *buf);
MC_API int16_t pd_get_char_value(PDBuffer *buf);
MC_API int16_t pd_get_string_value(PDBuffer *buf, char *out, int max);
MC_API int16_t pd_get_string_value_spcs(PDBuffer *buf, char *out, int max);
MC_API int16_t pd_get_short_value(PDBuffer *buf, int16_t *out);
MC_API int16_t pd_get_short_value_spcs(PDBuffer *buf, int16_t *out);
MC_API int16_t pd_get_hex_value(PDBuffer *buf, uint32_t *out);
MC_API int16_t pd_get_hex_value_spcs(PDBuffer *buf, uint32_t *out);
MC_API int16_t pd_skip_char(PDBuffer *buf, char c);
MC_API int16_t pd_skip_char_spcs(PDBuffer *buf, char c);

/* ------------------------------------------------------------------ */
/* Tag and private definition files (tagdefs.cpp)                      */
/* ------------------------------------------------------------------ */

/* The definitions read are held by app (or defs) until DoneTagDef,
 * DonePrvDef or DoneTagPrvDef frees them. */
MC_API void init_AppData(AppData *app, const char *name, const char *version, char *banner);
MC_API int16_t InitDICOMTagDef(AppData *app, const char *path, int16_t primary);
MC_API int16_t InitDICOMPrvDef(AppData *app, DefHolder *defs, const char *path, int16_t primary);
MC_API int16_t InitTagDef(AppData *app, int16_t only_primary);
MC_API int16_t InitPrvDef(AppData *app, DefHolder *defs, int16_t only_primary);
MC_API int16_t InitTagPrvDef(AppData *app, DefHolder *defs, int16_t only_primary);
MC_API void DoneTagDef(AppData *app);
MC_API void DonePrvDef(DefHolder *defs);
MC_API void DoneTagPrvDef(AppData *app, DefHolder *defs);

/* ------------------------------------------------------------------ */
/* Attribute lookups (lookups.cpp)                                     */
/* ------------------------------------------------------------------ */

/* The texts given point into the definitions of app: valid until
 * DoneTagDef, never freed by the caller. */
MC_API void getVR(AppData *app, uint32_t tag, int *vr);
MC_API void getVRtext(AppData *app, uint32_t tag, int *vr, const char **vrname);
MC_API void getVRandName(AppData *app, uint32_t tag, int *vr, const char **vrname,
                         const char **name);
MC_API void getAttrName(AppData *app, uint32_t tag, const char **name);
MC_API void getVM(AppData *app, uint32_t tag, int16_t *vm);
MC_API void getPermitted(AppData *app, uint32_t tag, const char **permitted);
MC_API int16_t DOU_defXVRTypeByTags(AppData *app, uint16_t group, uint16_t element, int *vr);

/* ------------------------------------------------------------------ */
/* Object model and element API (object.cpp)                           */
/* ------------------------------------------------------------------ */

MC_API void init_IOObject(IOObject *io);
/* Pads text in place to an even length and returns it. */
MC_API char *padwithspace(char *text);
/* elem->value becomes a new malloc buffer of elem->length bytes (NULL when
 * memory ran out); the caller frees it. */
MC_API void D_Alloc(DicomElementHead *elem);
MC_API void SortCodes(DicomElement *parent);
/* io->object is owned by io until DO_closeObject frees it with its tree. */
MC_API int16_t DO_openObject(IOObject *io);
MC_API int16_t DO_closeObject(IOObject *io);
/* rec->value becomes a malloc copy of the element's value, which the caller
 * frees; what rec->value held before is overwritten, not freed. */
MC_API int16_t DO_searchForElement(DicomObject *obj, DicomElementHead *rec);
/* The add and change functions here and below copy rec->value into the
 * tree; rec and its value stay the caller's. */
MC_API int16_t DO_addElement(AppData *app, DicomObject *obj, DicomElementHead *rec);
MC_API int16_t DO_changeElement(AppData *app, DicomObject *obj, DicomElementHead *rec);
MC_API int16_t DO_deleteElement(AppData *app, DicomObject *obj, DicomElementHead *rec);

/* ------------------------------------------------------------------ */
/* Element-tree cursor (cursor.cpp)                                    */
/* ------------------------------------------------------------------ */

/* *position points into the tree, valid until its element is deleted.
 * A sequence or item of defined length read from a file holds its content
 * as raw bytes: DE_search refuses to append an item to such a sequence
 * (index < 0) and DE_add to add inside such an item, with -1 and a message,
 * changing nothing. */
MC_API int16_t DE_search(AppData *app, DicomObject *obj, DicomElement **position, uint16_t group,
                         uint16_t element, int16_t index);
/* With an empty cursor rec is added at the top level as DO_addElement adds
 * there, whatever DO_addElement's insertion parent is, which stays. */
MC_API int16_t DE_add(AppData *app, DicomObject *obj, DicomElementHead *rec);
MC_API int16_t DE_delete(AppData *app, DicomObject *obj, DicomElementHead *rec);
/* Frees *element with its children and values and clears *element. */
MC_API void DE_deleteSubTree(AppData *app, DicomElement **element);

/* ------------------------------------------------------------------ */
/* DICOM file reader (reader.cpp)                                      */
/* ------------------------------------------------------------------ */

/* The object read is io->object, owned by io until DO_closeObject. */
MC_API int16_t DO_importObjectFromFile(AppData *app, DefHolder *defs, const char *name,
                                       IOObject *io);
MC_API int16_t fill_pds(AppData *app, DicomObject *obj, PixelDataDesc *pds);
MC_API void _read_itemtag(FILE *file, TransferSyntaxCode ts, uint16_t *group, uint16_t *element,
                          uint32_t *length);

/* The items that the raw bytes of a sequence kept as read (content_ts set,
 * no children) hold, counted from their item headers up to the first
 * header that is no item or does not fit in the value; 0 for any other
 * element (rawcontent.cpp, from what the reader kept). */
MC_API int32_t DOU_storedItemCount(const DicomElement *sequence);

/* ------------------------------------------------------------------ */
/* Private elements: binding and search (private.cpp)                  */
/* ------------------------------------------------------------------ */

MC_API int16_t BindPrvDef(AppData *app, DefHolder *defs, DicomObject *obj, int16_t rebind);
/* As DO_searchForElement: rec->value becomes the caller's malloc copy. */
MC_API int16_t DO_searchForPrivateElement(DefHolder *defs, void *unused, const char *creator,
                                          DicomElementHead *rec);

/* ------------------------------------------------------------------ */
/* UID, object and module definition files (objdefs.cpp)               */
/* ------------------------------------------------------------------ */

/* out holds 20 characters: an object name of at most 19 and its NUL. */
MC_API int16_t InitDICOMUIDDef(const char *path, const char *key, int16_t primary, char *out);
/* The definition trees read are held by *slot (defs->abc, defs->c) until
 * DoneABCDef frees them. */
MC_API int16_t InitDICOMABDef(AppData *app, ABCDef **slot, const char *path, int16_t primary,
                              const char *object_name);
MC_API int16_t InitDICOMCDef(AppData *app, ABCDef **slot, const char *path, int16_t primary);
MC_API int16_t InitUIDDef(const char *key, int16_t only_primary, char *out);
MC_API int16_t InitABDef(AppData *app, DefHolder *defs, int16_t only_primary,
                         const char *object_name);
MC_API int16_t InitCDef(AppData *app, DefHolder *defs, int16_t only_primary);
MC_API int16_t InitUABCDef(AppData *app, DefHolder *defs, DicomObject *obj, int16_t only_primary);
MC_API void DoneABCDef(DefHolder *defs);

/* ------------------------------------------------------------------ */
/* Binding to object and module definitions (binding.cpp)              */
/* ------------------------------------------------------------------ */

/* 0 done, -1 memory exhausted (the DEF_ edits also when their own edit
 * ran out of memory or was refused, as DE_search and DE_add refuse it).
 * A definition is never left linked to a freed element: whatever frees an
 * element unbinds the definitions bound to it.  The definitions that
 * binding makes live until DoneABCDef.  DEF_add at an unbound definition
 * adds at the top level for a module's attribute and inside the bound item
 * for an item's; -1, adding nothing, when no item is bound to its Item
 * definition (or def is an unbound Item definition). */
MC_API int16_t BindABCDef(AppData *app, DefHolder *defs, DicomObject *obj, int16_t rebind);
MC_API int16_t DEF_search(AppData *app, DefHolder *defs, DicomObject *obj, AttrDef *def,
                          uint16_t group, uint16_t element, int16_t index);
MC_API int16_t DEF_add(AppData *app, DefHolder *defs, DicomObject *obj, AttrDef *def,
                       DicomElementHead *rec);
MC_API int16_t DEF_delete(AppData *app, DefHolder *defs, DicomObject *obj, AttrDef *def);
/* The Item definitions of the first four items of a sequence are whole
 * copies; each later item gets a bare one, flagged ATTR_FLAG_ITEM_DEFERRED
 * and bound to its item, so that a long sequence binds in little memory.
 * BindItemDef gives such a definition its attribute definitions, bound to
 * the item's elements as a whole copy would be (a caller walking into an
 * item calls it first); the cursor does not move.  0 done, also for a
 * definition that is not deferred; -1 memory exhausted. */
MC_API int16_t BindItemDef(AppData *app, AttrDef *item_def);
/* Undoes BindItemDef for an Item definition after the fourth: its
 * attribute definitions go, unbound, and it is deferred again, still bound
 * to its item, so that a caller stepping through a long sequence holds
 * the definitions of the items it shows and no more.  Nothing for any
 * other definition.  Pointers to the definitions that went are invalid. */
MC_API void ReleaseItemDef(AttrDef *item_def);

/* ------------------------------------------------------------------ */
/* Value printing (printval.cpp)                                       */
/* ------------------------------------------------------------------ */

MC_API void print_element_value(AppData *app, DicomElement *elem, char *buf, int size);

/* ------------------------------------------------------------------ */
/* Value checks and verification (checks.cpp, verify.cpp)              */
/* ------------------------------------------------------------------ */

/* The findings for one element or attribute definition. */
typedef uint16_t VerifyErrorBits;

#define VERIFY_BAD_LENGTH 0x0001  /* length below/above what the VR allows */
#define VERIFY_EXTRA_CHARS 0x0002 /* characters outside the VR's repertoire */
#define VERIFY_BAD_FORMAT 0x0004  /* set by no check */
#define VERIFY_IMPOSSIBLE 0x0008  /* set by no check */
#define VERIFY_UNKNOWN_VR 0x0010  /* the dictionaries give the tag no VR */
#define VERIFY_BAD_VM 0x0020
#define VERIFY_NOT_PERMITTED 0x0040
#define VERIFY_TYPE1_MISSING 0x0080
#define VERIFY_TYPE1_EMPTY 0x0100
#define VERIFY_TYPE2_MISSING 0x0200

/* Every element against the tag dictionaries: 1 when some element fails
 * (an unknown VR alone is a warning), else 0. */
MC_API int16_t VerifyObjectByTag(AppData *app, DicomObject *obj);
/* The bound object definition in defs->abc, module by module: 0 no finding
 * outside conditional modules, 1 some, 2 no object definition. */
MC_API int16_t VerifyObjectByModule(AppData *app, DefHolder *defs);
/* 1 when no attribute definition inside the Item definitions of the SQ
 * definition, at any depth, is bound to an element; else 0. */
MC_API int16_t isSQEmpty(AttrDef *sq);

/* ------------------------------------------------------------------ */
/* Writer, meta header, pixel data (writer.cpp, metaheader.cpp, pixels.cpp) */
/* ------------------------------------------------------------------ */

MC_API int16_t DO_copyObjectToFile(AppData *app, IOObject *io, const char *name);
MC_API int16_t DO_checkObject(AppData *app, DicomObject *obj);
MC_API int16_t DO_calcElementsLength(AppData *app, IOObject *io);
MC_API int16_t DO_generateMetaHeader(AppData *app, IOObject *io);
MC_API void _write_itemtag(FILE *out, TransferSyntaxCode ts, uint16_t group, uint16_t element,
                           uint32_t length);
MC_API int16_t _write_pixeldata(FILE *src, IOObject *io, PixelDataDesc *pds);

/* ------------------------------------------------------------------ */
/* Nuclear-medicine frame vectors (nmvectors.cpp)                      */
/* ------------------------------------------------------------------ */

/* 1 when (group,element) is among the tags of Frame Increment Pointer
 * (0028,0009) at the top level, else 0. */
MC_API int16_t is_in_0028_0009(AppData *app, DicomObject *obj, uint16_t group, uint16_t element);
/* Reads Number of Frames into *frames (0 when absent, negative or not a
 * 16-bit count) and each present group-0054 vector into a new array of
 * *frames + 1 numbers, slot f holding frame f and slot 0 zero; a vector
 * shorter than the frame count leaves the remaining slots zero.  Absent
 * vectors give NULL.  The caller frees the arrays.  In argument order:
 * (0054,0010) Energy Window, 0020 Detector, 0030 Phase, 0050 Rotation,
 * 0060 R-R Interval, 0070 Time Slot, 0080 Slice, 0090 Angular View,
 * 0100 Time Slice. */
MC_API void get_Vectors(AppData *app, DicomObject *obj, int16_t **energy_window, int16_t **detector,
                        int16_t **phase, int16_t **rotation, int16_t **rr_interval,
                        int16_t **time_slot, int16_t **slice, int16_t **angular_view,
                        int16_t **time_slice, int16_t *frames);
/* Stores slots 1 to *frames of each non-NULL array as the matching
 * top-level vector, replacing or adding it; *frames <= 0 changes nothing. */
MC_API void put_Vectors(AppData *app, DicomObject *obj, int16_t *energy_window, int16_t *detector,
                        int16_t *phase, int16_t *rotation, int16_t *rr_interval, int16_t *time_slot,
                        int16_t *slice, int16_t *angular_view, int16_t *time_slice,
                        int16_t *frames);

#ifdef __cplusplus
}
#endif

#endif /* MEDCORE_H */
