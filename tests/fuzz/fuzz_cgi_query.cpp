// Fuzz target: the CGI parameter parsing of the platform library, both ways
// a request arrives: the query text of a GET (init_cgi) and the body of a
// POST read from standard input (getPostQuery), here an in-memory file put
// in place of descriptor 0. The first byte chooses how CONTENT_LENGTH
// compares with the body the server delivers (shorter, equal, longer,
// negative); the rest is the query or body. Every parameter the CGI programs
// ask for is looked up, and what comes back must be a terminated string.
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "kq_cgi.h"

namespace {

const char *const k_names[] = {"which_cgi", "action", "ipt_file_import", "lang", "", "=", "&"};

void look_up_all()
{
    for (const char *name : k_names) {
        char *value = get_cgi(name);
        if (value != nullptr)
            FUZZ_CHECK(strlen(value) < (1u << 21));
    }
    FUZZ_CHECK(get_cgi(nullptr) == nullptr);
}

// CONTENT_LENGTH as a server might send it for a body of body_len bytes.
int claimed_length(uint8_t mode, size_t body_len)
{
    switch (mode & 3) {
    case 0: return (int)body_len;
    case 1: return body_len > 0 ? (int)(body_len / 2) : 0;
    case 2: return (int)body_len + 100;
    default: return -(int)(body_len % 100) - 1;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    uint8_t mode = data[0];
    const uint8_t *body = data + 1;
    size_t body_len = size - 1;

    // GET: the text after "?" as a terminated string (a NUL in it ends it).
    std::string query(reinterpret_cast<const char *>(body), body_len);
    int pairs = init_cgi(query.c_str());
    FUZZ_CHECK(pairs >= 0);
    look_up_all();

    // POST: the body on standard input.
    int fd = fuzz_memfd("fuzz-cgi-body", body, body_len);
    FUZZ_CHECK(dup2(fd, STDIN_FILENO) == STDIN_FILENO);
    int length = claimed_length(mode, body_len);
    pairs = getPostQuery(length);
    FUZZ_CHECK(length < 0 ? pairs == -1 : pairs >= 0);
    look_up_all();

    FUZZ_CHECK(init_cgi(nullptr) == -1);
    FUZZ_CHECK(get_cgi("which_cgi") == nullptr);
    return 0;
}
