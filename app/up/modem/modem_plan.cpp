// The plan of one download attempt: which entries of the sub-image table are
// sent, which are skipped, and how the attempt ends.
#include "modem_plan.h"

namespace {

constexpr modem_image_kind KINDS[] = {
    {MODEM_IMG_HEX, nullptr, "This is a hex image.\n\n", "downlaod hex bin faile faield.\n\n",
     "downlaod hex bin success .\n\n"},
    {MODEM_IMG_PARTITION, nullptr, "This is a patition table image.\n\n",
     "downlaod partition file faield.\n\n", "downlaod partition file success.\n\n"},
    {MODEM_IMG_DBL, &modem_check_point_t::dbl_download, "This is a device boot loader image.\n\n",
     "downlaod DEVBLR file faield.\n\n", "downlaod DEVBLR file success.\n\n"},
    {MODEM_IMG_FSBL, &modem_check_point_t::fsbl_download, "This is a FAIL SAFE BOOT LOADER image.\n\n",
     "downlaod FASBLR file faield.\n\n", "downlaod FASBLR file success.\n\n"},
    {MODEM_IMG_OSBL, &modem_check_point_t::osbl_download, "This is a OS BOOT LOADER image.\n\n",
     "downlaod OSBLR file faield.\n\n", "downlaod OSBLR file success.\n\n"},
    {MODEM_IMG_AMSS, &modem_check_point_t::amss_download, "This is a AMSMIM image.\n\n",
     "downlaod Amsmim file faield.\n\n", "downlaod Amsmim file success.\n\n"},
    {MODEM_IMG_DSP1, &modem_check_point_t::dsp1_download, "This is a DSP1 image.\n\n",
     "downlaod Dsp1 file faield.\n\n", "downlaod Dsp1 file success.\n\n"},
    {MODEM_IMG_DSP2, &modem_check_point_t::dsp2_download, "This is a DSP2 image.\n\n",
     "downlaod Dsp2 file faield.\n\n", "downlaod Dsp2 file success.\n\n"},
    {MODEM_IMG_EFS, &modem_check_point_t::efs_download, "This is a EFS image.\n\n",
     "downlaod Befs file faield.\n\n", "downlaod Befs file success.\n\n"},
};

} // namespace

const modem_image_kind *modem_image_kind_of(uint32_t type)
{
    for (const modem_image_kind &k : KINDS) {
        if (k.type == type)
            return &k;
    }
    return nullptr;
}

bool modem_all_flags_set(const modem_check_point_t &c)
{
    return c.dbl_download == 1 && c.fsbl_download == 1 && c.osbl_download == 1 &&
           c.amss_download == 1 && c.dsp1_download == 1 && c.dsp2_download == 1 &&
           c.efs_download == 1;
}

void modem_plan_attempt(const modem_walk &w, const modem_check_point_t &flags, modem_plan *out)
{
    // The flags as they will be while the attempt runs: a send sets its
    // image's flag, so a second entry of the same type is then skipped, and
    // the end of the table sees every flag this attempt set.
    modem_check_point_t planned = flags;
    uint32_t num = w.base_num;
    uint64_t body_at = w.body_at;
    // A longer table is read as its first MODEM_TABLE_SLOTS slots, which
    // bounds the steps by the plan's room.
    const size_t slots = w.table.slots < out->steps.size() ? w.table.slots : out->steps.size();
    out->count = 0;
    for (int slot = 1;; slot++) {
        modem_plan_step &step = out->steps[out->count++];
        step = modem_plan_step{};
        step.num = num;
        // Unsigned, as the container's sizes are: the walk ends once the
        // entries counted so far cover the container.
        if (num >= w.container_size) {
            step.action = modem_step_action::size_done;
            return;
        }
        // The table has an end mark behind its last entry, at the latest in
        // its last slot: a walk that runs past the last slot reads that slot
        // again and ends there whatever it holds.
        const bool past = (size_t)slot >= slots;
        const size_t at = past ? (slots == 0 ? 0 : slots - 1) : (size_t)slot;
        const fw_h_t entry = slots == 0 ? fw_h_t{} : w.table.entries[at];
        step.slot = (int)at;
        step.type = entry.fw_h_magic;
        step.size = entry.fw_h_size;
        step.body_off = body_at;
        if (entry.fw_h_magic == MODEM_IMG_END || past) {
            step.action = modem_all_flags_set(planned) ? modem_step_action::end_done : modem_step_action::end_abort;
            return;
        }
        body_at += entry.fw_h_size;
        step.kind = modem_image_kind_of(entry.fw_h_magic);
        if (step.kind == nullptr) {
            step.action = modem_step_action::unknown;
            num += entry.fw_h_size;
        } else if (step.kind->flag != nullptr && planned.*step.kind->flag == 1) {
            step.action = modem_step_action::installed;
        } else {
            step.action = modem_step_action::send;
            if (step.kind->flag != nullptr)
                planned.*step.kind->flag = 1;
            num += entry.fw_h_size;
        }
    }
}
