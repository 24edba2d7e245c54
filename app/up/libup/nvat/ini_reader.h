// The INI reader of the modem configuration: a value is looked up by zone
// and key in a plain text file and passed through a character filter.
#pragma once

#include <cstddef>

// Longest value the reader keeps (the filter's working copy holds this many
// characters and a terminator).
constexpr size_t INI_VALUE_MAX = 127;

// Finds conf_name in the zone conf_zone of file_name and stores its filtered
// value in conf_value (conf_value_size bytes, always terminated). 0 when
// found; -1 when the file, the zone, the key or its "=" is missing, or when
// the filtered value is longer than INI_VALUE_MAX characters.
int read_ini_config(const char *file_name, const char *conf_zone, const char *conf_name,
                    char *conf_value, size_t conf_value_size);

// Keeps, in order, only letters, digits and the characters _ = . / , of
// in_out_str. 0, or -1 when more than INI_VALUE_MAX characters would be kept
// (the string then holds the first INI_VALUE_MAX of them).
int trim_str(char *in_out_str);
