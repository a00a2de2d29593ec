/*
 * Preloaded (LD_PRELOAD) into a test JVM to make chosen native allocations
 * fail, so that the binding's handling of exhausted memory can be seen from
 * Java.
 *
 * FAILING_ALLOCATIONS lists rules "size:skip:count" separated by commas. A
 * rule covers every malloc, calloc and realloc of `size` bytes up to 255
 * bytes more (room for a record that carries the bytes after a small
 * header); of those, the first `skip` succeed, the next `count` fail and
 * later ones succeed again. Sizes are chosen so odd that nothing else in the
 * process asks for them.
 */
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *block, size_t size);

enum { kMaxRules = 8, kSizeSlack = 256 };

struct Rule {
    size_t size;
    long skip;
    long count;
    long seen;
};

static struct Rule rules[kMaxRules];
static int ruleCount;

/* Parses without allocating: malloc may already be running through us. */
__attribute__((constructor)) static void readRules(void) {
    const char *p = getenv("FAILING_ALLOCATIONS");
    while (p != NULL && *p != '\0' && ruleCount < kMaxRules) {
        char *end;
        struct Rule r = {0, 0, 0, 0};
        r.size = strtoul(p, &end, 10);
        if (*end != ':') break;
        r.skip = strtol(end + 1, &end, 10);
        if (*end != ':') break;
        r.count = strtol(end + 1, &end, 10);
        rules[ruleCount++] = r;
        p = *end == ',' ? end + 1 : end;
    }
}

static int mustFail(size_t size) {
    for (int i = 0; i < ruleCount; ++i) {
        struct Rule *r = &rules[i];
        if (size < r->size || size >= r->size + kSizeSlack) continue;
        long n = __atomic_fetch_add(&r->seen, 1, __ATOMIC_RELAXED);
        if (n >= r->skip && n < r->skip + r->count) {
            errno = ENOMEM;
            return 1;
        }
    }
    return 0;
}

void *malloc(size_t size) { return mustFail(size) ? NULL : __libc_malloc(size); }

void *calloc(size_t count, size_t size) {
    if (size != 0 && count <= SIZE_MAX / size && mustFail(count * size)) return NULL;
    return __libc_calloc(count, size);
}

void *realloc(void *block, size_t size) { return mustFail(size) ? NULL : __libc_realloc(block, size); }
