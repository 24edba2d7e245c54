// CGI request parsing stand-in. Parameters are kept in a bounded table: a
// request can neither grow it without limit nor overrun a value.
#include "kq_cgi.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "up_fd.h"

namespace {

constexpr size_t CGI_MAX_PARAMS = 128;
constexpr size_t CGI_MAX_BODY = 1u << 20;    // larger bodies are cut here

std::vector<std::pair<std::string, std::string>> g_params;

int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// '+' is a blank and %XX a byte; a '%' not followed by two hex digits stays
// as it is. A decoded NUL would cut the value short, so it is dropped.
std::string url_decode(const char *s, size_t len)
{
    std::string out;
    out.reserve(len);
    for (size_t i = 0; i < len; ++i) {
        char c = s[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < len && hex_value(s[i + 1]) >= 0 &&
                   hex_value(s[i + 2]) >= 0) {
            char v = (char)(hex_value(s[i + 1]) * 16 + hex_value(s[i + 2]));
            if (v != '\0')
                out += v;
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

int parse_query(const char *q, size_t len)
{
    g_params.clear();
    size_t start = 0;
    while (start <= len && g_params.size() < CGI_MAX_PARAMS) {
        const char *amp = static_cast<const char *>(memchr(q + start, '&', len - start));
        size_t end = amp ? (size_t)(amp - q) : len;
        if (end > start) {
            const char *eq = static_cast<const char *>(memchr(q + start, '=', end - start));
            size_t name_end = eq ? (size_t)(eq - q) : end;
            std::string name = url_decode(q + start, name_end - start);
            std::string value = eq ? url_decode(eq + 1, end - name_end - 1) : std::string();
            if (!name.empty())
                g_params.emplace_back(std::move(name), std::move(value));
        }
        if (amp == nullptr)
            break;
        start = end + 1;
    }
    return (int)g_params.size();
}

} // namespace

int init_cgi(const char *query)
{
    if (query == nullptr) {
        g_params.clear();
        return -1;
    }
    return parse_query(query, strlen(query));
}

int getPostQuery(int length)
{
    if (length < 0)
        return -1;
    size_t want = (size_t)length < CGI_MAX_BODY ? (size_t)length : CGI_MAX_BODY;
    std::string body(want, '\0');
    ssize_t got = read_full(STDIN_FILENO, &body[0], want);
    if (got < 0)
        return -1;
    body.resize((size_t)got);
    // A body with NUL bytes is parsed only up to the first of them.
    return parse_query(body.c_str(), strlen(body.c_str()));
}

char *get_cgi(const char *name)
{
    if (name == nullptr)
        return nullptr;
    for (auto &p : g_params)
        if (p.first == name)
            return &p.second[0];
    return nullptr;
}
