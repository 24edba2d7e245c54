// The AT exchanges. There is no line parser: the modem answers within the
// fixed wait, and what one read returns is all that is judged.
#include "at_channel.h"

#include <array>
#include <cstring>
#include <unistd.h>

#include "at_answer.h"
#include "kq_log.h"
#include "serial_port.h"
#include "up_fd.h"

namespace {

constexpr uint32_t AT_ANSWER_WAIT_MS = 800;
constexpr uint32_t MODE_RETRY_WAIT_MS = 1000;
constexpr int MODE_TRIES = 10;

using at_answer_buf = std::array<char, AT_ANSWER_SIZE>;

ssize_t read_answer(int fd_at, at_answer_buf *answer)
{
    answer->fill('\0');
    for (;;) {
        ssize_t n = read(fd_at, answer->data(), answer->size() - 1);
        if (n < 0 && errno == EINTR)
            continue;
        return n;
    }
}

// Writes the command text, waits and reads once. The read's result; the
// answer is terminated text. who names the operation in the log lines.
ssize_t exchange(int fd_at, const char *cmd, at_answer_buf *answer, const char *who, int line)
{
    size_t len = strlen(cmd);
    if (write_full(fd_at, cmd, len) != (ssize_t)len)
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]Could not send command %s to serial port, %s, %d\n\n", cmd,
               who, line);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]send command %s\n", cmd);
    answer->fill('\0');
    Sleep(AT_ANSWER_WAIT_MS);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]goon, %s, %d\n\n", who, line);
    ssize_t n = read_answer(fd_at, answer);
    if (n < 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]Could not read from serial port, %s, %d\n\n", who, line);
        return n;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]go on, %s, %d\n\n", who, line);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]%s\n\n", answer->data());
    return n;
}

// The read exchange shared by Read_AT, get_firmware_version and
// mu_change_ftm_mode: false when the read failed or the answer holds "ERROR".
bool read_exchange(int fd_at, const char *cmd, at_answer_buf *answer, const char *who, int line)
{
    if (exchange(fd_at, cmd, answer, who, line) < 0)
        return false;
    if (strstr(answer->data(), "OK") == nullptr)
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]failed read info, %s, %d,return val=%s\n\n", who, line,
               answer->data());
    else
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]ok read\n\n");
    if (strstr(answer->data(), "ERROR") != nullptr) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]Fail to read info, %s, %d\n\n", who, line);
        return false;
    }
    return true;
}

int read_value(int fd_at, const char *cmd, const char *drop, char *strRec, size_t rec_size,
               const char *who, int line)
{
    if (cmd == nullptr || strRec == nullptr)
        return 0;
    at_answer_buf answer;
    if (!read_exchange(fd_at, cmd, &answer, who, line))
        return 0;
    if (at_answer_value(answer.data(), drop, strRec, rec_size) != 1)
        return 0;
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]get value is %s\n", strRec);
    return 1;
}

int open_at_port(const char *at_port)
{
    int fd = OpenAndInitSerialCom(at_port, 0);
    if (fd <= 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]open at com port: %s failed.\n\n", at_port ? at_port : "");
        if (fd == 0)
            close(fd);
        return -1;
    }
    return fd;
}

} // namespace

int Read_AT(int fd_at, const char *strATCommand, char *strRec, size_t rec_size)
{
    return read_value(fd_at, strATCommand, AT_DROP_READ, strRec, rec_size, __func__, __LINE__);
}

int Read_TESTINF2_AT(int fd_at, const char *strATCommand, char *strRec, size_t rec_size)
{
    return read_value(fd_at, strATCommand, AT_DROP_TESTINF, strRec, rec_size, __func__, __LINE__);
}

int Write_AT(int fd_at, const efs_h_cfg *nv_cfg, const char *strATCommand, int nFlag,
             const char *strError)
{
    (void)strError;
    std::array<char, AT_WRITE_CMD_SIZE> cmd;
    if (at_compose_write(nv_cfg, strATCommand, nFlag, cmd.data()) != 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]command for field %ld does not fit %lu bytes, not sent\n\n",
               (long)nFlag, (unsigned long)AT_WRITE_CMD_SIZE);
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]write command %s\n\n", cmd.data());
    if (write_full(fd_at, cmd.data(), cmd.size()) != (ssize_t)cmd.size()) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]Could not send command to serial port\n\n");
        return -1;
    }
    Sleep(AT_ANSWER_WAIT_MS);
    at_answer_buf answer;
    if (read_answer(fd_at, &answer) <= 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]Could not read from serial port\n\n");
        return -1;
    }
    if (strstr(answer.data(), "OK") == nullptr) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]get modem feedback failed\n\n");
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]ret = %s\n", answer.data());
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]Restore successfully\n\n");
    return 0;
}

int get_imei(const char *at_port, char *ret_str, size_t ret_size)
{
    unique_fd fd(open_at_port(at_port));
    if (!fd.ok())
        return -1;
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]open at com port: %s success.\n\n", at_port);
    if (Read_AT(fd.get(), "at+kqtsn=0,7\r\n", ret_str, ret_size) != 1) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]write at falsed.return value is:%s\n\n", ret_str);
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]write at success.return value is:%s\n\n", ret_str);
    return at_imei_plausible(ret_str) ? 0 : -1;
}

int get_firmware_version(const char *at_port, char *strRec, size_t rec_size)
{
    if (strRec == nullptr)
        return -1;
    unique_fd fd(open_at_port(at_port));
    if (!fd.ok())
        return -1;
    at_answer_buf answer;
    if (!read_exchange(fd.get(), "AT+KQTSW\r\n\r\n", &answer, __func__, __LINE__))
        return -1;
    const char *inner = strstr(answer.data(), "InnerVersion");
    if (inner == nullptr) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]can not find InnerVersion:\n\n");
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]InnerVersion len =%d ----%s\n\n", (int)strlen(inner), inner);
    if (at_firmware_version(answer.data(), strRec, rec_size) != 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]invalid modem project id:\n\n");
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]get value is %s\n", strRec);
    return 0;
}

int mu_change_mode(const char *at_port, const char *strATCommand)
{
    if (strATCommand == nullptr)
        return -1;
    unique_fd fd(open_at_port(at_port));
    if (!fd.ok())
        return -1;
    at_answer_buf answer;
    for (int i = 0; i < MODE_TRIES; i++) {
        if (exchange(fd.get(), strATCommand, &answer, __func__, __LINE__) >= 0) {
            if (strstr(answer.data(), "OK") != nullptr) {
                UP_LOG(KQ_LOG_DEBUG, "[%s:%d]ok read\n\n");
                return 0;
            }
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]failed read info, %s, %d,return val=%s\n\n", __func__,
                   __LINE__, answer.data());
        }
        if (i + 1 < MODE_TRIES)
            Sleep(MODE_RETRY_WAIT_MS);
    }
    return -1;
}

int mu_change_ftm_mode(const char *at_port)
{
    unique_fd fd(open_at_port(at_port));
    if (!fd.ok())
        return -1;
    at_answer_buf answer;
    for (int i = 0; i < MODE_TRIES; i++) {
        if (!read_exchange(fd.get(), "AT+CFUN=5\r\n\r\n", &answer, __func__, __LINE__))
            return -1;
    }
    return 0;
}
