// eventlog_admin: clears the kernel event log (and hides the version
// information page), or sends the log to the browser as a download.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/stat.h>

#include "cgi_common.h"
#include "kq_cgi.h"
#include "kq_log.h"

// Lines of this program carry the file, the function and the line.
#define KLOG(fmt, ...) log_print(KQ_LOG_DEBUG, fmt, __FILE_NAME__, __func__, __LINE__, ##__VA_ARGS__)

namespace {

constexpr const char KLOG_FILE[] = "/2ndfile/log/logfile.txt";
constexpr const char HIDE_VERSION_INFO_FLAG[] = "/tmp/version_info_display_flag";
constexpr const char EXPORT_NAME[] = "system_kernel_event_log.txt";
constexpr int CLEAR_DELAY_MS = 20;
constexpr size_t INFO_SIZE = 128;
// The export is built in memory; a kernel event log is far smaller than this,
// and a file that is not must not take the router's memory with it.
constexpr off_t EXPORT_MAX = 16 * 1024 * 1024;

char restore_info[INFO_SIZE];
char logname[INFO_SIZE];

struct free_deleter {
    void operator()(char *p) const { free(p); }
};

void set_info(const char *text)
{
    snprintf(restore_info, sizeof restore_info, "%s", text);
}

void write_error_page()
{
    put_piece("<html>");
    put_piece(apply_header);
    put_piece("<p>export  log file failed...</p>");
    put_piece("<p>The error info is:%s</p>", restore_info);
    put_piece("</html>");
}

// Parses the request into the CGI parameter table; false (with the reason
// in restore_info) for a request that cannot be taken.
bool read_request()
{
    const char *method = getenv("REQUEST_METHOD");
    if (method == nullptr) {
        set_info("Request without a method");
        return false;
    }
    if (strcmp(method, "GET") == 0) {
        const char *uri = getenv("REQUEST_URI");
        if (uri == nullptr)
            uri = "";
        if (strlen(uri) >= sizeof queryBuffer) {
            set_info("Request too long");
            return false;
        }
        snprintf(queryBuffer, sizeof queryBuffer, "%s", uri);
        char *question = strchr(queryBuffer, '?');
        init_cgi(question != nullptr ? question + 1 : queryBuffer);
        return true;
    }
    long length = parse_content_length(getenv("CONTENT_LENGTH"), (long)sizeof queryBuffer - 1);
    if (length < 0) {
        set_info("Bad request length");
        return false;
    }
    getPostQuery((int)length);
    return true;
}

// Sends the log as a download; false (with the reason in restore_info) when
// it cannot.
bool export_klog()
{
    snprintf(logname, sizeof logname, "%s", EXPORT_NAME);
    struct stat st;
    off_t size = stat(KLOG_FILE, &st) == 0 ? st.st_size : 0;
    cgi_debug("file length id  %d", (int)size);
    FILE *f = fopen(KLOG_FILE, "rbe");
    if (f == nullptr) {
        set_info("Unknown error occured while open log file");
        return false;
    }
    std::unique_ptr<char, free_deleter> buffer;
    if (size <= EXPORT_MAX)
        buffer.reset(static_cast<char *>(malloc(size > 0 ? (size_t)size : 1)));
    if (!buffer) {
        fclose(f);
        set_info("Unknown error occured while malloc buffer");
        return false;
    }
    memset(buffer.get(), 0, (size_t)size);
    // The declared length is what was read, so header and body agree even
    // when the log changes size between the stat and the read.
    size_t got = fread(buffer.get(), 1, (size_t)size, f);
    fclose(f);
    put_piece(download_header, logname, (long)got);
    fwrite(buffer.get(), 1, got, stdout);
    fflush(stdout);
    return true;
}

void write_clear_page()
{
    const char *webpage = get_cgi("webpage");
    // The target lands inside a script string: only a plain path of this
    // site may go there, anything else moves to the start page.
    if (webpage == nullptr || !same_site_path(webpage))
        webpage = "/";
    put_piece("<html>");
    put_piece(apply_header);
    put_piece(apply_content);
    put_piece(apply_footer, webpage, CLEAR_DELAY_MS);
    put_piece("</html>");
}

}  // namespace

void klog_log_init()
{
    log_init(KQ_LOG_IDENT_CGI);
    KLOG("[%s:%s:%d]main start\n\n");
}

int creat_hide_page_version_info_flag()
{
    KLOG("[%s:%s:%d]creat_hide_page_version_info_flag start\n\n");
    FILE *f = create_tmp_file(HIDE_VERSION_INFO_FLAG);
    int rc = -1;
    if (f != nullptr) {
        rc = fputs("0", f) < 0 ? -1 : 0;
        if (fclose(f) != 0)
            rc = -1;
    }
    KLOG("[%s:%s:%d]creat_hide_page_version_info_flag end\n\n");
    return rc;
}

int clear_klog()
{
    FILE *f = fopen(KLOG_FILE, "we");
    if (f == nullptr)
        return -1;
    return fclose(f) == 0 ? 0 : -1;
}

int main()
{
    cgi_debug("%s", "start to log op");
    set_info("ok");
    memset(logname, 0, sizeof logname);
    memset(queryBuffer, 0, sizeof queryBuffer);
    klog_log_init();
    if (!read_request()) {
        write_error_page();
        return 0;
    }
    const char *action = get_cgi("which_cgi");
    if (action == nullptr)
        action = "";
    if (strcmp(action, "clear_klog") == 0) {
        creat_hide_page_version_info_flag();
        if (clear_klog() != 0) {
            set_info("Unknown error occured while clear log file");
            write_error_page();
            return 0;
        }
        write_clear_page();
        return 0;
    }
    if (strcmp(action, "export_klog") == 0 && export_klog())
        return 0;
    write_error_page();
    return 0;
}
