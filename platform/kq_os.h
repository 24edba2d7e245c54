// String helpers of the router platform's OS library.
#pragma once

// Zero when a and b are equal ignoring ASCII case; null arguments never match.
int kq_strcasecmp(const char *a, const char *b);

// The first c in s (the terminator counts), or null; null s gives null.
char *kq_strchr(const char *s, int c);
