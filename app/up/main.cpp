// imgrenew: one action per run, chosen by the action word and the argument
// count. Only the `up` action's missing package changes the exit status.
#include <cstdio>
#include <cstdlib>

#include "at_channel.h"
#include "kq_ipc.h"
#include "kq_log.h"
#include "kq_os.h"
#include "nv_items_io.h"
#include "up_actions.h"
#include "up_api.h"
#include "up_lock.h"
#include "up_progress.h"
#include "up_progress_hook.h"

namespace {

void print_usage(void)
{
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]imgrenew [action] [value]\n");
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d][action]:\n");
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]           up        It is the state parameters activated to upgrade\n");
    UP_LOG(KQ_LOG_DEBUG,
           "[%s:%d]           get       It is the state parameters to get update state when it be invoked\n");
    UP_LOG(KQ_LOG_DEBUG,
           "[%s:%d]           set       It is the state parameters to set update state when it be invoked\n");
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d][value] if the state is set ,  then the fouth parmeter is the set value\n");
}

void usage_and_leave_bus(void)
{
    print_usage();
    ipc_msg_fin();
}

bool word_is(const char *word, const char *action)
{
    return kq_strcasecmp(word, action) == 0;
}

int run_single_word(const char *word)
{
    if (word_is(word, "up"))
        return up_action_upgrade();
    if (word_is(word, "get")) {
        up_get_upgrade_status_from();
        ipc_msg_fin();
    } else if (word_is(word, "nv_get")) {
        modem_high_nv(0);
    } else if (word_is(word, "nv_set")) {
        modem_high_nv(1);
    } else if (word_is(word, "set_ftm")) {
        mu_change_mode("/dev/ttyUSB2", "AT+CFUN=5\r\n\r\n");
        usage_and_leave_bus();
    } else if (word_is(word, "set_online")) {
        mu_change_mode("/dev/ttyUSB2", "AT+CFUN=1\r\n\r\n");
        usage_and_leave_bus();
    } else if (word_is(word, "set_digftm")) {
        send_ftm_cmd("/dev/ttyUSB0");
        usage_and_leave_bus();
    } else if (word_is(word, "nv_normal")) {
        Read_Normal_NV_ITEM("/dev/ttyUSB0", "/2ndfile/normal_nv");
        usage_and_leave_bus();
    } else {
        // Any other single word is the manual bootloader command, the word
        // read as its option number (non-numeric counts as 0).
        uboot_test(atoi(word));
    }
    return 0;
}

int run_word_and_value(const char *word, const char *value)
{
    if (word_is(word, "set")) {
        up_set_upgrade_status(atoi(value));
        ipc_msg_fin();
    } else if (word_is(word, "uboot")) {
        uboot_test(atoi(value));
    } else if (word_is(word, "kernel")) {
        kernel_test(atoi(value));
    }
    return 0;
}

} // namespace

int up_init(void)
{
    if (ipc_msg_init(UP_ID, 0, 0, 0, 1) != 0)
        return -1;
    if (log_init(KQ_LOG_IDENT_UP) == 1)
        return -1;
    // Bytes streamed inside the modem download move the display's bar too.
    up_set_progress_reporter(up_report_progress_to_lcd);
    return 0;
}

int main(int argc, char *argv[])
{
    puts("start to update system");
    whole_packlen = 0;
    had_write = 0;

    if (up_action_lock(argc, argv) != 0)
        return UP_EXIT_LOCKED;
    if (up_init() != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]init fail\n\n");
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]init successful\n\n");

    // With no action word there is nothing to compare; that run takes the
    // row for other argument counts below.
    if (argc >= 2 && word_is(argv[1], "test"))
        return 0;

    switch (argc) {
    case 2:
        return run_single_word(argv[1]);
    case 3:
        return run_word_and_value(argv[1], argv[2]);
    default:
        usage_and_leave_bus();
        return 0;
    }
}
