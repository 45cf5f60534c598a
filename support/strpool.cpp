/*
 * strpool.cpp -- the pooled string store DStringBuffer, swapbytes, and
 * in-place case conversion.
 *
 * A pool is a row of equal-size blocks filled first-fit; block 0 starts
 * with the pool's shared empty string.  Blocks never move, so pooled
 * strings keep their addresses until DoneDStringBuffer.  The block count
 * is 16-bit: a pool never passes 32767 blocks (AddToDStringBuffer returns
 * NULL once that many are full).
 */
#include "basekit.h"
#include "owners_int.h"

#include <ctype.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

const int kMaxBlocks = 32767;

/* Appends one empty block to the pool; false, with the pool unchanged,
 * when memory runs out. */
bool add_block(DStringBuffer *pool) {
    const size_t count = (size_t)pool->block_count;
    MallocOwner<int32_t> used(static_cast<int32_t *>(malloc(sizeof(int32_t) * (count + 1))));
    MallocOwner<char *> blocks(static_cast<char **>(malloc(sizeof(char *) * (count + 1))));
    MallocOwner<char> block(static_cast<char *>(malloc((size_t)pool->block_size)));
    if (!used || !blocks || !block)
        return false;
    memcpy(used.get(), pool->used, sizeof(int32_t) * count);
    memcpy(blocks.get(), pool->blocks, sizeof(char *) * count);
    used.get()[count] = 0;
    blocks.get()[count] = block.release();
    free(pool->used);
    free(pool->blocks);
    pool->used = used.release();
    pool->blocks = blocks.release();
    pool->block_count = (int16_t)(count + 1);
    return true;
}

} // namespace

extern "C" {

DStringBuffer *InitDStringBuffer(int block_size) {
    if (block_size < 1)
        return nullptr;
    MallocOwner<DStringBuffer> pool(static_cast<DStringBuffer *>(malloc(sizeof(DStringBuffer))));
    MallocOwner<int32_t> used(static_cast<int32_t *>(malloc(sizeof(int32_t))));
    MallocOwner<char *> blocks(static_cast<char **>(malloc(sizeof(char *))));
    MallocOwner<char> block0(static_cast<char *>(malloc((size_t)block_size)));
    if (!pool || !used || !blocks || !block0)
        return nullptr;
    block0.get()[0] = '\0'; /* the shared empty string */
    pool->block_size = block_size;
    pool->block_count = 1;
    pool->used = used.release();
    pool->used[0] = 1;
    pool->blocks = blocks.release();
    pool->blocks[0] = block0.release();
    return pool.release();
}

char *AddToDStringBuffer(DStringBuffer *pool, const char *text) {
    if (!pool || !text)
        return nullptr;
    if (text[0] == '\0')
        return pool->blocks[0];
    size_t need = strlen(text) + 1;
    if (need > (size_t)pool->block_size)
        return nullptr; /* a string never spans blocks */

    int count = pool->block_count;
    int chosen = -1;
    for (int i = 0; i < count; i++) {
        if ((size_t)pool->used[i] + need <= (size_t)pool->block_size) {
            chosen = i;
            break;
        }
    }
    if (chosen < 0) {
        if (count >= kMaxBlocks)
            return nullptr; /* the 16-bit block count is exhausted */
        if (!add_block(pool))
            return nullptr; /* the pool is unchanged */
        chosen = count;
    }
    char *dst = pool->blocks[chosen] + pool->used[chosen];
    memcpy(dst, text, need);
    pool->used[chosen] += (int32_t)need;
    return dst;
}

void DoneDStringBuffer(DStringBuffer **pool) {
    if (!pool || !*pool)
        return;
    DStringBuffer *p = *pool;
    for (int i = 0; i < p->block_count; i++)
        free(p->blocks[i]);
    free(p->blocks);
    free(p->used);
    free(p);
    *pool = nullptr;
}

void swapbytes(void *bytes, int16_t n) {
    if (!bytes)
        return;
    unsigned char *b = static_cast<unsigned char *>(bytes);
    int i = 0;
    int j = n - 1;
    while (i < j) {
        unsigned char t = b[i];
        b[i] = b[j];
        b[j] = t;
        i++;
        j--;
    }
}

char *strtoupper(char *text, int n) {
    /* Exactly n characters, whether or not a NUL comes earlier. */
    for (int i = 0; i < n; i++)
        text[i] = (char)toupper((unsigned char)text[i]);
    return text;
}

char *strtolower(char *text, int n) {
    for (int i = 0; i < n; i++)
        text[i] = (char)tolower((unsigned char)text[i]);
    return text;
}

} // extern "C"
