/*
 * unload_thread_exit_test <path of libtrellum.so>
 *
 * A thread looks a channel up (which gives it a per-thread memo, released
 * by a thread-specific-data destructor when the thread ends), the library
 * is then dlclose'd, and only then does the thread end. The destructor must
 * still find its code: the process exits 0 instead of crashing.
 */
#include <dlfcn.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>

typedef void *(*CreateOrGet)(int32_t id);

static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static int looked_up = 0, may_end = 0;
static CreateOrGet create_or_get;

static void *user(void *unused) {
    (void)unused;
    void *channel = create_or_get(1);
    pthread_mutex_lock(&mutex);
    looked_up = channel != NULL ? 1 : -1;
    pthread_cond_broadcast(&changed);
    while (!may_end) pthread_cond_wait(&changed, &mutex);
    pthread_mutex_unlock(&mutex);
    return NULL;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s <libtrellum.so>\n", argv[0]);
        return 2;
    }
    void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    /* Through a union: ISO C has no cast from an object to a function pointer. */
    union {
        void *object;
        CreateOrGet function;
    } symbol;
    symbol.object = dlsym(library, "ChannelManager_createOrGetChannel");
    if (symbol.object == NULL) {
        fprintf(stderr, "dlsym: %s\n", dlerror());
        return 1;
    }
    create_or_get = symbol.function;

    pthread_t thread;
    if (pthread_create(&thread, NULL, user, NULL) != 0) return 1;
    pthread_mutex_lock(&mutex);
    while (looked_up == 0) pthread_cond_wait(&changed, &mutex);
    pthread_mutex_unlock(&mutex);
    if (looked_up < 0) {
        fprintf(stderr, "the lookup gave no channel\n");
        return 1;
    }

    create_or_get = NULL;
    if (dlclose(library) != 0) {
        fprintf(stderr, "dlclose: %s\n", dlerror());
        return 1;
    }
    pthread_mutex_lock(&mutex);
    may_end = 1;
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&mutex);
    pthread_join(thread, NULL);
    puts("the thread ended after the library was closed");
    return 0;
}
