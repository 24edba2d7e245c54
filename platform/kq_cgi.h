// CGI request parsing stand-in.
#pragma once

// Parses name=value pairs joined by '&', decoding '+' and %XX. Replaces any
// earlier parse. Returns the number of pairs kept, or -1 for a null query.
int init_cgi(const char *query);
// Reads at most `length` bytes of the request body from standard input (never
// more than it holds) and parses them as init_cgi does. Returns the pairs kept or -1.
int getPostQuery(int length);
// The decoded value of the named parameter, or null.
char *get_cgi(const char *name);
