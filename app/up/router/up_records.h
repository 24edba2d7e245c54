// Installers of the records that arrive as files: the version record and the
// compressed second file system (configuration defaults, web pages, display
// resources).
#pragma once

#include "up_package.h"

#define UP_2NDFILE_ROOT "/2ndfile"

// Version record: extracts it into "/tmp" unless "/tmp/" + its whole name
// already exists. The driver merges and installs it after the last record.
int up_update_version_file(int i_flash_fd, const package_record_t *p_pack_record_t);

// Compressed second file system: extract and unpack into "/tmp/2ndrootfs",
// then install the tree.
int up_update_2nd_fs(int i_flash_fd, const package_record_t *p_pack_record_t);

// Installs the unpacked tree: database, replaced resources, others, then
// removes the tree (a failed removal is logged only).
int up_process_update_2nd_file_system(const package_record_t *p_pack_record_t);

// Copies nv/default.cfg into "/2ndfile/nv", imports it into the configuration
// store and marks "default_nv" installed (up_set_step_flag(9)).
int up_process_update_database(void);

// Copies web pages over the old ones and replaces the display resources.
int up_process_update_rep_directly_res(void);

// Further resources: none yet.
int up_process_update_2nd_others(void);

// Cores of the two steps above with their folders given, so they can run
// outside the router. tool_dir holds the "cp" copy, unpack_dir the unpacked
// tree, target_root the second file system. Production passes "/tmp",
// "/tmp/2ndrootfs", "/2ndfile". The database core does not set the step flag.
int up_install_database_from(const char *tool_dir, const char *unpack_dir,
                             const char *target_root);
int up_install_resources_from(const char *tool_dir, const char *unpack_dir,
                              const char *target_root);
