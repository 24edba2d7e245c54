// Turns what the C library's syslog() sends to /dev/log into one readable line.
//
// A datagram reads "<PRI>Mmm dd hh:mm:ss ident[pid]: text" (the time stamp and
// the pid are optional). The line written is "<priority> <ident>: <text>",
// e.g. "err imgrenew: [up_main.cpp:42]start upgrade", so tests can match the
// identity and the level without caring about time or process ids.
#include "routersim.h"

#include <cctype>
#include <cstring>

namespace {

const char *const PRIORITY_NAMES[8] = {"emerg", "alert", "crit", "err", "warning", "notice", "info", "debug"};

// "Mmm dd hh:mm:ss " as the C library writes it.
bool has_time_stamp(const char *p, size_t len)
{
    if (len < 16)
        return false;
    return isalpha((unsigned char)p[0]) && isalpha((unsigned char)p[1]) && isalpha((unsigned char)p[2]) &&
           p[3] == ' ' && p[6] == ' ' && p[9] == ':' && p[12] == ':' && p[15] == ' ';
}

}  // namespace

std::string syslog_line(const char *msg, size_t len)
{
    int pri = 13;   // user.notice, the default for a message without a priority
    size_t i = 0;
    if (len > 2 && msg[0] == '<') {
        int v = 0;
        size_t j = 1;
        while (j < len && j < 5 && isdigit((unsigned char)msg[j]))
            v = v * 10 + (msg[j++] - '0');
        if (j < len && msg[j] == '>' && j > 1) {
            pri = v;
            i = j + 1;
        }
    }
    if (has_time_stamp(msg + i, len - i))
        i += 16;
    // The tag runs to the first ": "; a "[pid]" right before it is dropped.
    std::string ident;
    size_t text_start = i;
    for (size_t k = i; k + 1 < len && k - i < 64; ++k) {
        if (msg[k] == ':' && msg[k + 1] == ' ') {
            size_t end = k;
            if (end > i && msg[end - 1] == ']') {
                size_t open = end;
                while (open > i && msg[open - 1] != '[')
                    --open;
                if (open > i)
                    end = open - 1;
            }
            ident.assign(msg + i, end - i);
            text_start = k + 2;
            break;
        }
        if (msg[k] == ' ')
            break;   // tags hold no blanks: this message has none
    }
    std::string text(msg + text_start, len - text_start);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '\0'))
        text.pop_back();
    for (char &c : text)
        if (c == '\n' || c == '\r' || c == '\0')
            c = ' ';   // one message, one line
    std::string line = PRIORITY_NAMES[pri & 7];
    line += ' ';
    if (!ident.empty()) {
        line += ident;
        line += ": ";
    }
    line += text;
    line += '\n';
    return line;
}
