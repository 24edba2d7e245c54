// Whether the modem already runs the firmware the container installs.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "at_channel.h"
#include "kq_log.h"
#include "modem_config.h"
#include "modem_upgrade.h"

namespace {

constexpr size_t IMAGE_PART_MAX = 127;

} // namespace

int check_no_need_update(void)
{
    if (file_info.version_check == 0)
        return -1;
    std::array<char, 256> running{};
    if (get_firmware_version(file_info.at_inface, running.data(), running.size()) < 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]get the modem firmware version failed\n\n");
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]the modem version =%s\n\n", running.data());

    // An empty configured version would match every modem and skip the
    // update: it never matches.
    const char *inner = file_info.InnerVersion;
    size_t inner_len = strnlen(inner, sizeof file_info.InnerVersion);
    if (inner_len > 0 && strncmp(running.data(), inner, inner_len) == 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]no need to update current modem firmware\n\n");
        return 0;
    }

    // "<image><separator>EFS...": a modem that runs the image part needs
    // only the EFS (and the unflagged hex and partition entries).
    const char *efs = strstr(inner, "EFS");
    if (efs != nullptr && efs - inner >= 2) {
        std::array<char, IMAGE_PART_MAX + 1> image{};
        size_t len = std::min((size_t)(efs - inner - 1), IMAGE_PART_MAX);
        memcpy(image.data(), inner, len);
        if (strstr(running.data(), image.data()) != nullptr) {
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]imageversion=%s\n\n", image.data());
            check_point.dbl_download = 1;
            check_point.fsbl_download = 1;
            check_point.osbl_download = 1;
            check_point.amss_download = 1;
            check_point.dsp1_download = 1;
            check_point.dsp2_download = 1;
        }
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]need to update current modem firmware\n\n");
    return -1;
}
