// String helpers of the platform's OS library.
#include "kq_os.h"

#include <cstring>
#include <strings.h>

int kq_strcasecmp(const char *a, const char *b)
{
    if (a == nullptr || b == nullptr)
        return a == b ? 0 : 1;     // a missing word never equals an action word
    return strcasecmp(a, b);
}

char *kq_strchr(const char *s, int c)
{
    if (s == nullptr)
        return nullptr;
    return const_cast<char *>(strchr(s, c));
}
