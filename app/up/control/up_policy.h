// The router's upgrade policy, /etc/imgrenew/policy: whether a package older
// than the last one installed is refused, and whether a router without a
// usable public key refuses every package. Without the file nothing changes.
#pragma once

#include <cstdint>
#include <string_view>

#include "up_package.h"

#define UP_POLICY_FILE "/etc/imgrenew/policy"
// The header version of the last package installed whole, one decimal line,
// replaced atomically after each successful installation.
#define UP_INSTALLED_VERSION_FILE "/2ndfile/version/package_version"

// Largest policy file read; a larger one is not trusted.
constexpr size_t UP_POLICY_FILE_MAX = 4096;

struct up_policy {
    bool present;             // the file exists
    bool refuse_downgrade;    // downgrade=refuse
    bool require_signature;   // signature=required
};

// Parses the policy text: one setting per line, exactly `downgrade=refuse`,
// `downgrade=allow`, `signature=required` or `signature=optional`; empty
// lines and lines starting with '#' are ignored. A refusing setting wins over
// an allowing one. Any other line is logged with its number and makes both
// settings refuse: a policy that cannot be read as written is taken at its
// strictest. Returns the number of such lines.
int up_policy_parse(std::string_view text, up_policy *policy);

// Reads the policy file at path. A missing file is no policy (present false);
// one that cannot be read (a link, not a plain file, larger than
// UP_POLICY_FILE_MAX, a read error) is logged and taken at its strictest.
void up_policy_load(const char *path, up_policy *policy);

// The recorded version of the last installed package: 0 with *version, 1 when
// no version is recorded, -1 when the record cannot be read or is not one
// decimal number of at most 32 bits (logged).
int up_policy_read_installed(const char *path, uint32_t *version);
// Replaces the record with version: a temporary file beside it, synced, then
// renamed over it. 0 or -1 (logged).
int up_policy_write_installed(const char *path, uint32_t version);

// Where the check looks; the defaults are the router's.
struct up_policy_paths {
    const char *policy = UP_POLICY_FILE;
    const char *key_dir = "/etc/imgrenew/keys";
    const char *installed = UP_INSTALLED_VERSION_FILE;
};

// Whether the policy admits the package whose header is head. 0 when it may
// be installed, -1 when the policy refuses it (the reason logged). Remembers
// the header's version for up_policy_record_installed.
int up_policy_check(const package_signature_t *head, const up_policy_paths &paths);

// The driver's call, once the header is read and before anything is erased:
// up_policy_check with the router's paths; a refusal also sends the failure
// report to the display. 0 or -1.
int up_policy_admit_package(const package_signature_t *head);

// After a successful installation: records the version of the package the
// check admitted in this run (nothing when no package was checked).
void up_policy_record_installed(void);
