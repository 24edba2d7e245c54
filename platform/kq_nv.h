// Configuration store stand-in: name=value lines in one text file.
#pragma once

enum {
    NV_OK = 0, NV_NOTFOUND = 1, NV_NOMEM = 2, NV_EFILE = 3, NV_EINVAL = 4,
    NV_ERROR = 5, NV_NOMATCH = 6,
};

#define NV_STORE_PATH "/2ndfile/nv/nv_store.cfg"

// Copies the named value into buf (truncated to fit, always terminated).
// NV_OK, NV_NOTFOUND, or NV_EINVAL for bad arguments.
int nvm_readnv(const char *name, char *buf, int size);

// Merges every name=value line of path into the store, rewriting the store
// atomically. NV_OK; NV_EFILE when path cannot be read; NV_EINVAL when it holds
// no valid line; NV_ERROR when the store cannot be rewritten.
int nvm_import(const char *path, int kind, int a, int b);

// Store file used by the two functions above; tests point it elsewhere.
void nvm_set_store_path(const char *path);
