// The flash programmer upload through the boot loader and the stop-and-wait
// stream of each modem image through the programmer.
#include "dload_stream.h"

#include <array>
#include <cstring>

#include "up_progress_hook.h"
#include "dload_commands.h"
#include "dload_receive.h"
#include "hdlc_frame.h"
#include "hdlc_transmit.h"
#include "kq_log.h"
#include "serial_port.h"
#include "stream_reply.h"
#include "up_api.h"
#include "up_bytes.h"
#include "up_fd.h"

int32_t report_dsp2_up_process = 0;

namespace {

constexpr uint32_t BLOCK_BUF_SIZE = 2048;
constexpr int RAM_WRITE_TRIES = 6;
constexpr int STREAM_WRITE_TRIES = 3;
constexpr uint32_t STREAM_RETRY_PAUSE_MS = 500;
constexpr uint32_t PROGRESS_EVERY_BLOCKS = 512;
constexpr uint32_t REENUMERATE_MS = 3000;

// Builds the stream-write request for one block. The block is framed in one
// pass by the table-driven framer rather than byte by byte through
// add_byte_to_packet: per 1 KiB block that was the largest share of the
// host's own work in the stream.
bool build_stream_write(pkt_buffer_type *pkt, uint32_t write_addr, const uint8_t *file_buf,
                        uint32_t write_len)
{
    if (write_len > DLOAD_STREAM_BLOCK_MAX)
        return false;
    std::array<uint8_t, 5 + DLOAD_STREAM_BLOCK_MAX> payload;
    payload[0] = STREAM_WRITE;
    put_le32(&payload[1], write_addr);
    memcpy(&payload[5], file_buf, write_len);
    pkt_buffer_start(pkt);
    ssize_t n = hdlc_frame_payload(payload.data(), 5 + (size_t)write_len, false, pkt->buf,
                                   sizeof pkt->buf);
    if (n <= 0) {
        pkt->broken = true;
        return false;
    }
    pkt->length = (uint32_t)n - 1;   // the closing flag stands behind the stored bytes
    return true;
}

} // namespace

int write_32bit_cmd(int fd_diagnose, uint32_t write_addr, const uint8_t *file_buf,
                    uint32_t write_len)
{
    if (write_len > DLOAD_WRITE32_MAX) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]write of %lu bytes does not fit a frame\n\n",
               (unsigned long)write_len);
        return -1;
    }
    std::array<uint8_t, 7 + DLOAD_WRITE32_MAX> payload;
    payload[0] = CMD_WRITE_32BIT;
    put_be32(&payload[1], write_addr);
    put_be16(&payload[5], (uint16_t)write_len);
    memcpy(&payload[7], file_buf, write_len);
    pkt_buffer_type pkt;
    hdlc_build_packet(&pkt, payload.data(), 7 + (size_t)write_len);
    transmit_packet(fd_diagnose, &pkt);

    std::array<uint8_t, 400> rsp{};
    int n = ReadComPort(fd_diagnose, rsp.data(), (uint32_t)rsp.size());
    if (n > 0)
        return (n == 5 && rsp[1] == CMD_ACK) ? 0 : -1;
    if (n == 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]time out exit!\n\n");
        return -1;
    }
    return 1;
}

int FlashSendRamProgram(int fd_diagnose, const package_span &img)
{
    if (img.len > UINT32_MAX) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]Could not read from hex file\n\n");
        return -1;
    }
    const uint32_t length = (uint32_t)img.len;
    const uint32_t numBlocks = length / DLOAD_RAM_BLOCK + (length % DLOAD_RAM_BLOCK ? 1 : 0);
    const uint32_t nRawBlock = length / DLOAD_RAM_BLOCK;
    uint32_t blockCount = 0;
    uint32_t currentAddress = DLOAD_BASE;
    uint32_t numBytesRead = 0;
    std::array<uint8_t, BLOCK_BUF_SIZE> block;
    Sleep(2);
    for (;;) {
        currentAddress += numBytesRead;
        numBytesRead = 0;
        block.fill(0);
        const bool full = blockCount < nRawBlock;
        const uint32_t want = full ? DLOAD_RAM_BLOCK : length % DLOAD_RAM_BLOCK;
        // A block that cannot be read whole means the package ends inside
        // the programmer: starting half a programmer would crash the modem.
        ssize_t got = want == 0 ? 0 : up_package_pread(img.fd, img.off + (currentAddress - DLOAD_BASE), block.data(), want);
        if (got <= 0 || (uint32_t)got < want) {
            if (full)
                UP_LOG(KQ_LOG_ERROR, "[%s:%d]Could not read from hex file\n\n");
            else
                UP_LOG(KQ_LOG_ERROR, "[%s:%d]Could not read from hex file the last packet\n\n");
            return -1;
        }
        numBytesRead = (uint32_t)got;
        blockCount++;

        int attempt = 0;
        for (; attempt < RAM_WRITE_TRIES; attempt++) {
            if (write_32bit_cmd(fd_diagnose, currentAddress, block.data(), numBytesRead) == 0) {
                UP_LOG(KQ_LOG_DEBUG, "[%s:%d]\nsuccess to write block = %ld---resume bluck=%ld\n\n",
                       (long)blockCount, (long)numBlocks);
                break;
            }
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]retry to write block\n\n");
        }
        if (attempt == RAM_WRITE_TRIES) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]fail to write block %ld\n\n", (long)RAM_WRITE_TRIES);
            // A programmer with a hole in it must not be started.
            return -1;
        }
        if (numBytesRead < DLOAD_RAM_BLOCK || blockCount >= numBlocks)
            return 0;
    }
}

int HexDownload(const char *diagnose_inface, const package_span &img)
{
    if (diagnose_inface == nullptr)
        return -1;
    download_mode = check_download_mode();
    UP_LOG(KQ_LOG_INFO, "[%s:%d] the diag pport is:%s\n\n", diagnose_inface);
    unique_fd port;
    if (download_mode == 0) {
        int ret = send_offlin_cmd(diagnose_inface);
        if (ret != 0) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]send offline command failed.ret=%ld\n\n", (long)ret);
            return -1;
        }
        UP_LOG(KQ_LOG_INFO, "[%s:%d]send offline command success.\n\n");
        port.reset(OpenAndInitSerialCom(diagnose_inface, 0));
        if (port.get() < 1) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]open diagnosetic port failed.ret=%ld\n\n", (long)port.get());
            return -1;
        }
        UP_LOG(KQ_LOG_INFO, "[%s:%d]open diagnosetic port success.\n\n");
        ret = dload_switch_cmd(port.get());
        if (ret != 0) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]switch download mode failed.ret=%ld\n\n", (long)ret);
            return -1;
        }
        UP_LOG(KQ_LOG_INFO, "[%s:%d]switch download mode success.\n\n");
        port.reset();
        Sleep(REENUMERATE_MS);    // the modem re-enumerates in download mode
        port.reset(OpenAndInitSerialCom(diagnose_inface, 1));
        if (port.get() < 1) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]open diagnosetic port failed.ret=%ld\n\n", (long)port.get());
            return -1;
        }
        ret = nop_cmd(port.get());
        if (ret != 0) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]send nop cmd failed.ret=%ld\n\n", (long)ret);
            return -1;
        }
        UP_LOG(KQ_LOG_INFO, "[%s:%d]send nop cmd success.\n\n");
    } else {
        port.reset(OpenAndInitSerialCom(diagnose_inface, 1));
        if (port.get() < 1) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]open diagnosetic port failed.ret=%ld\n\n", (long)port.get());
            return -1;
        }
    }
    int ret = preq_cmd_MDM8220(port.get());
    if (ret != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]send preq_cmd_MDM8220 cmd failed.ret=%ld\n\n", (long)ret);
        return -1;
    }
    UP_LOG(KQ_LOG_INFO, "[%s:%d]send preq_cmd_MDM8220 cmd success.\n\n");
    ret = nop_cmd(port.get());
    if (ret != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]send nop cmd failed.ret=%ld\n\n", (long)ret);
        return -1;
    }
    UP_LOG(KQ_LOG_INFO, "[%s:%d]send nop cmd success.\n\n");
    ret = FlashSendRamProgram(port.get(), img);
    if (ret < 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]call FlashSendRamProgram failed ret=%ld\n", (long)ret);
        return -1;
    }
    // go_cmd hands the port to the GO reply receiver, which closes it.
    ret = go_cmd(port.release(), DLOAD_BASE);
    Sleep(REENUMERATE_MS);
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]next close fd0\n\n");
    if (ret < 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]call go_cmd(DLOAD_BASE) failed ret=%ld\n\n", (long)ret);
        return -1;
    }
    UP_LOG(KQ_LOG_INFO, "[%s:%d]call go_cmd(DLOAD_BASE) successfully.\n\n");
    return 0;
}

int dload_stream_write_new(int fd_diagnose, uint32_t write_addr, const uint8_t *file_buf,
                           uint32_t write_len)
{
    pkt_buffer_type pkt;
    if (!build_stream_write(&pkt, write_addr, file_buf, write_len)) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]the error write_addr is : 0x%x\n\n", (unsigned)write_addr);
        return 1;
    }
    std::array<uint8_t, DLOAD_RSP_BUF_SIZE> rsp;
    for (int i = 0; i < STREAM_WRITE_TRIES; i++) {
        transmit_packet(fd_diagnose, &pkt);
        rsp.fill(0);
        if (rcv_ack_packet_addr_check(fd_diagnose, rsp.data(), write_addr) == 0)
            return 0;
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]the error write_addr is : 0x%x\n\n", (unsigned)write_addr);
        cprintf_packet(&pkt);
        Sleep(STREAM_RETRY_PAUSE_MS);
    }
    return 1;
}

int dload_stream_write_without_check(int fd_diagnose, uint32_t write_addr,
                                     const uint8_t *file_buf, uint32_t write_len)
{
    pkt_buffer_type pkt;
    if (build_stream_write(&pkt, write_addr, file_buf, write_len))
        transmit_packet(fd_diagnose, &pkt);
    return 0;
}

int dload_stream_check_ack(int fd_diagnose, uint32_t write_addr, const uint8_t *file_buf,
                           uint32_t write_len)
{
    return dload_stream_write_without_check(fd_diagnose, write_addr, file_buf, write_len);
}

int dload_stream_download(int fd_diagnose, const package_span &img, uint32_t blockSize)
{
    if (blockSize == 0 || blockSize > DLOAD_STREAM_BLOCK_MAX || img.len > UINT32_MAX) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]Could not read from source file.\n\n");
        return -1;
    }
    const uint32_t length = (uint32_t)img.len;
    const uint32_t numBlocks = length / blockSize + (length % blockSize ? 1 : 0);
    const uint32_t nRawBlock = length / blockSize;
    uint32_t currentAddress = 0;
    uint32_t blockCount = 0;
    uint32_t numBytesRead = 0;
    package_span_reader reader;
    reader.span = img;
    Sleep(2);
    while (blockCount < numBlocks) {
        currentAddress += numBytesRead;
        numBytesRead = 0;
        const bool full = blockCount < nRawBlock;
        const uint32_t want = full ? blockSize : length % blockSize;
        const uint8_t *block = nullptr;
        uint32_t got = up_package_span_next(&reader, want, &block);
        // An image cut short in the package must not pass for a complete
        // one: the modem would boot a truncated image.
        if (got < want) {
            if (full)
                UP_LOG(KQ_LOG_ERROR, "[%s:%d]Could not read from source file.\n\n");
            else
                UP_LOG(KQ_LOG_ERROR, "[%s:%d]Could not read from source file the remain data.\n\n");
            return -1;
        }
        numBytesRead = got;
        blockCount++;
        if (dload_stream_write_new(fd_diagnose, currentAddress, block, numBytesRead) != 0) {
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]retry to write block\n\n");
            UP_LOG(KQ_LOG_ERROR, "[%s:%d]fail to write block %lu\n\n", (unsigned long)1);
            return -1;
        }
        if (report_dsp2_up_process == 1) {
            // Stops at its top, as the driver's count does, instead of wrapping.
            had_write = numBytesRead > UINT32_MAX - had_write ? UINT32_MAX : had_write + numBytesRead;
            if (blockCount % PROGRESS_EVERY_BLOCKS == 0)
                up_report_library_progress(1, 0);
        }
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d].\n");
        if (numBytesRead < blockSize)
            break;
    }
    if (report_dsp2_up_process == 1)
        up_report_library_progress(1, 0);
    return 0;
}

int dload_partition_table_download(int fd_diagnose, const package_span &img)
{
    int ret = dload_hello_cmd(fd_diagnose);
    if (ret != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]download hello cmd failed, ret=%ld\n\n", (long)ret);
        return -1;
    }
    UP_LOG(KQ_LOG_INFO, "[%s:%d]download hello cmd successful.\n\n");
    ret = dload_security_cmd(fd_diagnose);
    if (ret != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]dload_security_cmd failed, ret=%ld\n\n", (long)ret);
        return ret;
    }
    UP_LOG(KQ_LOG_INFO, "[%s:%d]dload_security_cmd successful.\n\n");
    ret = dload_partition_table_cmd(fd_diagnose, img);
    if (ret != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]Fail to call dload_partition_table_cmd.ret=%ld\n\n", (long)ret);
        return ret;
    }
    UP_LOG(KQ_LOG_INFO, "[%s:%d]call dload_partition_table_cmd successfully.\n\n");
    return 0;
}

namespace {

// Open, stream and close one image; the open step's own messages are passed
// in because each image type names its command in them.
int image_download(int fd_diagnose, const package_span &img, int (*open_cmd)(int),
                   const char *open_name)
{
    int ret = open_cmd(fd_diagnose);
    if (ret != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]Fail to call %s.ret=%ld\n\n", open_name, (long)ret);
        return ret;
    }
    UP_LOG(KQ_LOG_INFO, "[%s:%d]call %s successfully.\n\n", open_name);
    ret = dload_stream_download(fd_diagnose, img, DLOAD_STREAM_BLOCK);
    if (ret != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]Fail to call dload_stream_download.ret=%ld\n\n", (long)ret);
        return ret;
    }
    UP_LOG(KQ_LOG_INFO, "[%s:%d]call dload_stream_download successfully.\n\n");
    ret = dload_close_packet_cmd(fd_diagnose);
    if (ret != 0) {
        UP_LOG(KQ_LOG_ERROR, "[%s:%d]Fail to call dload_close_packet_cmd.ret=%ld\n\n", (long)ret);
        return ret;
    }
    UP_LOG(KQ_LOG_INFO, "[%s:%d]call dload_close_packet_cmd successfully.\n\n");
    return 0;
}

} // namespace

int dload_Dbl_download(int fd_diagnose, const package_span &img)
{
    return image_download(fd_diagnose, img, dload_Dbl_cmd, "dload_Dbl_cmd");
}

int dload_Fsbl_download(int fd_diagnose, const package_span &img)
{
    return image_download(fd_diagnose, img, dload_Fsbl_cmd, "dload_Fsbl_cmd");
}

int dload_Osbl_download(int fd_diagnose, const package_span &img)
{
    return image_download(fd_diagnose, img, dload_Osbl_cmd, "dload_Osbl_cmd");
}

int dload_amss_download(int fd_diagnose, const package_span &img)
{
    return image_download(fd_diagnose, img, dload_amss_V330_cmd, "dload_amss_V330_cmd");
}

int dload_DSP1_download(int fd_diagnose, const package_span &img)
{
    return image_download(fd_diagnose, img, dload_DSP1_cmd, "dload_DSP1_cmd");
}

int dload_DSP2_download(int fd_diagnose, const package_span &img)
{
    return image_download(fd_diagnose, img, dload_DSP2_cmd, "dload_DSP2_cmd");
}

int dload_EFS_download(int fd_diagnose, const package_span &img, int bEFS)
{
    return image_download(fd_diagnose, img, bEFS ? dload_bEFS_cmd : dload_bAppEFS_cmd, "dload_EFS_cmd");
}
