// Reading NV items out of the modem into record files and writing them back,
// over the diagnostic port, with the modem in factory test mode.
#pragma once

// Reads every item of the working list rf_nv_items and appends a 130-byte
// record per item that the modem answered with status 0. -1 when the port
// or the file cannot be opened, an item needs a 99th exchange, or a record
// cannot be appended.
int Read_NV_ITEM(const char *diagnose_interface, const char *backup_file);
// As Read_NV_ITEM over the preserved set, without touching the working list.
int Read_Normal_NV_ITEM(const char *diagnose_interface, const char *backup_file);
// Unanswered exchanges in a row after which the writers give up: the modem
// is silent and would otherwise cost a receive timeout per exchange.
constexpr int NV_WRITE_SILENT_LIMIT = 3;

// After a write answer that did not confirm its item (n bytes, the first
// given): logs it and pauses before the next exchange, twice as long from
// the third failure of the item on, so a busy modem gets time to settle.
void nv_write_retry_pause(int n, unsigned char first, int *failures);

// Writes every record after the 548-byte header of backup_file through the
// caller's open diagnostic port. -1 when the file cannot be read, or when any
// record was not confirmed by the modem after five attempts, or the modem
// left NV_WRITE_SILENT_LIMIT exchanges in a row unanswered (the backup must
// then be kept for another try).
int Write_NV_ITEM(int at_fd, const char *backup_file);

// The six high-priority RF NV items, read through the factory-test subsystem
// into a file of (item, length, data) records, and written back from it.
int Read_High_NV_ITEM(const char *diagnose_interface, const char *backup_file);
int Write_High_NV_ITEM(int at_fd, const char *backup_file);

// Switches the modem to factory test mode over the diagnostic port.
int send_ftm_cmd(const char *diagnose_interface);
