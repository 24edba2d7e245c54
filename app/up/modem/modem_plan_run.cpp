// Carries out the plans of the download attempts: the port checks, the
// handlers, the progress and the power cycle after a failure.
#include "modem_plan_run.h"

#include "dload_stream.h"
#include "kq_assert.h"
#include "kq_log.h"
#include "modem_config.h"
#include "up_api.h"
#include "up_progress.h"

namespace {

enum attempt_result { ATTEMPT_DONE, ATTEMPT_RETRY, ATTEMPT_ABORT };

void quiet_step(const modem_flash_io &io, const modem_plan_step &step)
{
    if (io.quiet_step != nullptr)
        io.quiet_step(io.ctx, step);
}

// Takes one step that needs the modem (send or installed). 0, or the
// status that fails the attempt.
int take_known(const modem_flash_io &io, int src, const modem_plan_step &step)
{
    const modem_image_kind &k = *step.kind;
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]%s", k.type_line);
    // Every known entry waits for the port first, an installed one too: a
    // modem that left during the attempt fails it here.
    int status = io.check_port(io.ctx);
    if (status < 0) {
        if (k.type != MODEM_IMG_HEX)
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]check USB port failed\n\n");
        return status;
    }
    if (step.action == modem_step_action::installed) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]this sub image had beend update\n");
        quiet_step(io, step);
        return 0;
    }
    const bool dsp2 = k.type == MODEM_IMG_DSP2;
    const uint32_t had_before = had_write;
    if (dsp2)
        report_dsp2_up_process = 1;   // the stream counts DSP2 block by block
    status = io.send(io.ctx, k.type, package_span{src, step.body_off, step.size});
    if (status != 0) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]%s", k.failure_line);
        // Blocks of a failed DSP2 attempt are counted again by the retry.
        if (dsp2)
            had_write = had_before;
        return status;
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]%s", k.success_line);
    if (k.flag != nullptr)
        check_point.*k.flag = 1;
    if (dsp2) {
        report_dsp2_up_process = 2;
    } else {
        up_add_had_write(step.size);
        io.progress(io.ctx);
    }
    return 0;
}

// One attempt from its plan. The plan assumed every send succeeds; the
// first failure ends the attempt, so its later steps are never taken.
attempt_result run_attempt(const modem_flash_io &io, int src, const modem_walk &w, const modem_plan &plan)
{
    for (size_t i = 0; i < plan.count; i++) {
        const modem_plan_step &step = plan.steps[i];
        if (step.action == modem_step_action::size_done) {
            quiet_step(io, step);
            return ATTEMPT_DONE;
        }
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]img_hdr size is %ld----magic =%lu----num=%d---fw_hdr.fw_h_size=%d\n\n",
               (long)step.size, (unsigned long)step.type, (int)step.num, (int)w.container_size);
        if (step.action == modem_step_action::end_abort) {
            quiet_step(io, step);
            return ATTEMPT_ABORT;
        }
        if (step.action == modem_step_action::end_done) {
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]all sub image had beend update, so wil break loop to restore backup\n\n");
            quiet_step(io, step);
            return ATTEMPT_DONE;
        }
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]the Diag port=%s ------AT port =%s \n\n",
               file_info.diagnose_inface, file_info.at_inface);
        if (step.action == modem_step_action::unknown) {
            // Skipped by its size, so the next entry is read from its start.
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]unknown sub image type 0x%lx, %lu bytes skipped\n\n",
                   (unsigned long)step.type, (unsigned long)step.size);
            quiet_step(io, step);
            continue;
        }
        if (take_known(io, src, step) != 0) {
            UP_LOG(KQ_LOG_DEBUG, "[%s:%d]update failed, after reset will to retry\n\n");
            io.reset(io.ctx);
            return ATTEMPT_RETRY;
        }
    }
    // A plan always ends with an end step; one that does not is not trusted.
    UP_ASSERT(false, "an attempt's plan ends with an end step");
    return ATTEMPT_ABORT;
}

} // namespace

int modem_flash_run(const modem_flash_io &io, int src, const modem_walk &w)
{
    // The flash wipes the modem's calibration: while it is to be preserved,
    // the backup must be complete before the first image goes out.
    if (file_info.efs_restore == 1 &&
        !UP_ASSERT(io.nv_backup_complete(io.ctx), "the modem is flashed only while a complete NV backup exists"))
        return -1;
    for (int retry = 0; retry < MODEM_DOWNLOAD_ATTEMPTS; retry++) {
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]will to do NO %d retry downlaod \n\n", retry);
        UP_LOG(KQ_LOG_DEBUG, "[%s:%d]to check whether had jump port\n\n");
        io.check_port(io.ctx);
        modem_plan plan;
        modem_plan_attempt(w, check_point, &plan);
        switch (run_attempt(io, src, w, plan)) {
        case ATTEMPT_DONE:
            return 0;
        case ATTEMPT_ABORT:
            return -1;
        case ATTEMPT_RETRY:
            break;
        }
    }
    UP_LOG(KQ_LOG_DEBUG, "[%s:%d]update modem failed and retry 3 times, will exit update process\n\n");
    return -1;
}
