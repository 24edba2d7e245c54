// Flashing one sub-image through the download protocol. The handlers differ
// only in the download they run and the lines they log.
#include "modem_sub_images.h"

#include "dload_commands.h"
#include "dload_stream.h"
#include "kq_log.h"
#include "modem_config.h"
#include "serial_port.h"
#include "up_fd.h"

namespace {

using image_download_fn = int (*)(int, const package_span &);

// Opens the diagnostic port and runs download on the body. False when the
// arguments are missing or the port cannot be opened (logged); otherwise
// true with the download's result in *ret. The port is closed either way.
bool download_on_diag_port(const char *diagport, const package_span &img, image_download_fn download,
                           int *ret)
{
    if (diagport == nullptr) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]input is NULL point\n\n");
        return false;
    }
    unique_fd port(OpenAndInitSerialCom(diagport, 1));
    if (port.get() < 1) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]open diagnosetic port failed.\n\n");
        return false;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]open diagnosetic port success.\n\n");
    *ret = download(port.get(), img);
    return true;
}

// OSBL, AMSS, DSP1 and DSP2: download on the diagnostic port, logged by the
// download's name.
int flash_image(const char *diagport, const package_span &img, image_download_fn download,
                const char *name)
{
    int ret = 0;
    if (!download_on_diag_port(diagport, img, download, &ret))
        return -1;
    if (ret != 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]Fail to call %s.ret=%ld\n\n", name, (long)ret);
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]call %s successfully.\n\n", name);
    return 0;
}

} // namespace

int up_modem_sub_hex(const char *diagport, const package_span &img)
{
    if (diagport == nullptr) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]input is NULL point\n\n");
        return -1;
    }
    // The download switches the modem into its boot loader and opens the
    // port itself.
    int ret = HexDownload(diagport, img);
    if (ret != 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]call HexDownload failed ret=%ld\n", (long)ret);
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]call HexDownload successful ret=%ld\n", (long)ret);
    return 0;
}

int up_modem_sub_partition(const char *diagport, const package_span &img)
{
    int ret = 0;
    if (!download_on_diag_port(diagport, img, dload_partition_table_download, &ret))
        return -1;
    if (ret != 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]call dload_partition_table_download failed.ret=%ld\n\n", (long)ret);
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]\npatition table download success!\n\n");
    return 0;
}

int up_modem_sub_Dbl(const char *diagport, const package_span &img)
{
    int ret = 0;
    if (!download_on_diag_port(diagport, img, dload_Dbl_download, &ret))
        return -1;
    if (ret != 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d][Dload] Fail to call dload_Dbl_download.ret=%ld\n\n", (long)ret);
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]\n[Dload] dload_Dbl_download successfully.\n\n");
    return 0;
}

int up_modem_sub_Fbl(const char *diagport, const package_span &img)
{
    (void)diagport;
    if (extract_sub_image(img, MODEM_FSBL_FILE) != 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]extract  SAFE BOOT image faield \n\n");
        return -1;
    }
    return 0;
}

int up_modem_sub_Osbl(const char *diagport, const package_span &img)
{
    return flash_image(diagport, img, dload_Osbl_download, "dload_Osbl_download");
}

int up_modem_sub_Amsmim(const char *diagport, const package_span &img)
{
    return flash_image(diagport, img, dload_amss_download, "dload_amss_download");
}

int up_modem_sub_Dsp1(const char *diagport, const package_span &img)
{
    return flash_image(diagport, img, dload_DSP1_download, "dload_DSP1_download");
}

int up_modem_sub_Dsp2(const char *diagport, const package_span &img)
{
    return flash_image(diagport, img, dload_DSP2_download, "dload_DSP2_download");
}

int up_modem_sub_Efs(const char *diagport, const package_span &img)
{
    if (diagport == nullptr) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]input is NULL point\n\n");
        return -1;
    }
    // The image's EFS is not wanted: nothing to send.
    if (file_info.efs_enabled != 1)
        return 0;
    unique_fd port(OpenAndInitSerialCom(diagport, 1));
    if (port.get() < 1) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]open diagnosetic port failed.\n\n");
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]open diagnosetic port success.\n\n");
    int ret = dload_EFS_download(port.get(), img, file_info.befs);
    if (ret != 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]Fail to call dload_EFS_download.ret=%ld\n\n", (long)ret);
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]call dload_EFS_download successfully.\n\n");
    if (!dload_reset_packet_cmd(port.get())) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]reset serial port failed.\n\n");
        return -1;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]reset serial port successful.\n\n");
    return 0;
}
