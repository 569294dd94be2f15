/* What OpenSSL costs a process that uses libcurl, step by step, and what each way of starting
 * it saves (tests/e2e/guest_figures.py runs it on the MIPS test machine; it also builds and runs
 * on the host). One step per run, in a fresh process:
 *
 *   openssl_cost STEP
 *     load         dlopen libcurl.so.4 (and so libssl, libcrypto, zlib), no initialisation
 *     curl         + curl_global_init(CURL_GLOBAL_DEFAULT) (libcurl starts OpenSSL with
 *                  OPENSSL_INIT_LOAD_CONFIG)
 *     service      + what the MQTT library does when the service creates its client: error
 *                  strings of libssl and libcrypto, all ciphers and digests (SSL_library_init,
 *                  SSL_load_error_strings, ERR_load_crypto_strings, OpenSSL_add_all_algorithms):
 *                  the service's start as it is
 *     noconfig     service, with OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG) first
 *     nostrings    service, with OPENSSL_init_ssl(NO_LOAD_CONFIG | NO_LOAD_SSL_STRINGS |
 *                  NO_LOAD_CRYPTO_STRINGS) first (later requests for the strings are no-ops)
 *     https        service + SSL_CTX_new(TLS_client_method()) + the CA store loaded: what the
 *                  first HTTPS transfer adds (the default provider, the algorithms, the CAs)
 *
 * Prints one line: step, private dirty and USS added since the start (KiB), heap in use added
 * (bytes, mallinfo2), and the time of the step (ms). Everything is looked up with dlsym, so
 * the same file runs with either libcurl (LD_LIBRARY_PATH chooses). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <malloc.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define INIT_NO_LOAD_CRYPTO_STRINGS 0x00000001L
#define INIT_NO_LOAD_SSL_STRINGS 0x00100000L
#define INIT_NO_LOAD_CONFIG 0x00000080L
#define INIT_LOAD_CRYPTO_STRINGS 0x00000002L
#define INIT_ADD_ALL_CIPHERS 0x00000004L
#define INIT_ADD_ALL_DIGESTS 0x00000008L
#define INIT_LOAD_SSL_STRINGS 0x00200000L
#define CURL_GLOBAL_DEFAULT_FLAGS 3L

struct mem {
    long private_dirty, uss;
};

static struct mem read_mem(void) {
    struct mem m = {0, 0};
    FILE* f = fopen("/proc/self/smaps_rollup", "r");
    if (f == NULL) return m;
    char line[256];
    long v;
    while (fgets(line, sizeof line, f) != NULL) {
        if (sscanf(line, "Private_Dirty: %ld kB", &v) == 1) {
            m.private_dirty += v;
            m.uss += v;
        } else if (sscanf(line, "Private_Clean: %ld kB", &v) == 1) {
            m.uss += v;
        }
    }
    fclose(f);
    return m;
}

static double now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec * 1000.0 + (double)ts.tv_nsec / 1e6;
}

static void* need(void* lib, const char* name) {
    void* p = dlsym(lib, name);
    if (p == NULL) {
        fprintf(stderr, "openssl_cost: %s: %s\n", name, dlerror());
        exit(2);
    }
    return p;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: openssl_cost load|curl|service|noconfig|nostrings|https\n");
        return 2;
    }
    const char* step = argv[1];
    struct mem m0 = read_mem();
    size_t heap0 = mallinfo2().uordblks;
    double t0 = now_ms();

    void* curl = dlopen("libcurl.so.4", RTLD_NOW | RTLD_GLOBAL);
    void* ssl = dlopen("libssl.so.3", RTLD_NOW | RTLD_GLOBAL);
    if (curl == NULL || ssl == NULL) {
        fprintf(stderr, "openssl_cost: %s\n", dlerror());
        return 2;
    }
    int (*init_ssl)(uint64_t, const void*) = (int (*)(uint64_t, const void*))need(ssl, "OPENSSL_init_ssl");
    long (*global_init)(long) = (long (*)(long))need(curl, "curl_global_init");
    int (*init_crypto)(uint64_t, const void*) = (int (*)(uint64_t, const void*))need(ssl, "OPENSSL_init_crypto");
    int mqtt = strcmp(step, "load") != 0 && strcmp(step, "curl") != 0;

    if (strcmp(step, "noconfig") == 0) {
        init_ssl(INIT_NO_LOAD_CONFIG, NULL);
    } else if (strcmp(step, "nostrings") == 0) {
        init_ssl(INIT_NO_LOAD_CONFIG | INIT_NO_LOAD_SSL_STRINGS | INIT_NO_LOAD_CRYPTO_STRINGS, NULL);
    }
    if (strcmp(step, "load") != 0 && global_init(CURL_GLOBAL_DEFAULT_FLAGS) != 0) {
        fprintf(stderr, "openssl_cost: curl_global_init failed\n");
        return 1;
    }
    if (mqtt) {
        init_ssl(INIT_LOAD_SSL_STRINGS | INIT_LOAD_CRYPTO_STRINGS, NULL);
        init_crypto(INIT_LOAD_CRYPTO_STRINGS | INIT_ADD_ALL_CIPHERS | INIT_ADD_ALL_DIGESTS, NULL);
    }
    if (strcmp(step, "https") == 0) {
        const void* (*client_method)(void) = (const void* (*)(void))need(ssl, "TLS_client_method");
        void* (*ctx_new)(const void*) = (void* (*)(const void*))need(ssl, "SSL_CTX_new");
        int (*verify_locations)(void*, const char*, const char*) =
            (int (*)(void*, const char*, const char*))need(ssl, "SSL_CTX_load_verify_locations");
        void* ctx = ctx_new(client_method());
        if (ctx == NULL) return 1;
        /* libcurl's default CA bundle; absent on a machine without ca-certificates. */
        verify_locations(ctx, "/etc/ssl/certs/ca-certificates.crt", NULL);
    }

    double t1 = now_ms();
    struct mem m1 = read_mem();
    size_t heap1 = mallinfo2().uordblks;
    printf("%s %ld %ld %ld %.1f\n", step, m1.private_dirty - m0.private_dirty, m1.uss - m0.uss,
           (long)(heap1 - heap0), t1 - t0);
    return 0;
}
