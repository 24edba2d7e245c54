// The modem's NV store in the state directory, one file per item so that a
// test can seed and inspect it:
//   MODEMSTATE/nv/ITEM     an NV item: exactly 128 data bytes
//   MODEMSTATE/rfnv/ITEM   an RF NV item: its data bytes (0 to 1024)
// ITEM is the item number in decimal without leading zeros. A missing file
// is an item the modem does not hold. Files are replaced through a rename,
// so a reader never sees half an item.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t NV_STORE_ITEM_SIZE = 128;
constexpr size_t RFNV_STORE_MAX = 1024;

enum nv_load_t {
    NV_LOAD_OK = 0,
    NV_LOAD_MISSING = 1,        // the modem does not hold the item
    NV_LOAD_BAD = -1,           // unreadable, or an NV file of another size
};

nv_load_t nv_item_load(const char *root, uint16_t id, uint8_t data[NV_STORE_ITEM_SIZE]);
int nv_item_save(const char *root, uint16_t id, const uint8_t data[NV_STORE_ITEM_SIZE]);

// data holds RFNV_STORE_MAX bytes; *len is set to the item's length.
nv_load_t rfnv_item_load(const char *root, uint16_t id, uint8_t *data, size_t *len);
int rfnv_item_save(const char *root, uint16_t id, const uint8_t *data, size_t len);

// Removes every item of both stores. The number of items removed, or -1.
int nv_store_wipe(const char *root, int *nv_removed, int *rfnv_removed);
