// The modem on the USB bus: which ports exist in which stage, leaving and
// re-joining the bus, and the power switch.
#include <sys/ioctl.h>

#include "exchange_log.h"
#include "modem_core.h"
#include "usb_sysfs.h"

namespace {

constexpr int IFACE_DIAG = 0;
constexpr int IFACE_AT = 2;

constexpr int64_t DETACH_GRACE_MS = 2000;

// Bytes sent on the diag port that the tool has not read yet.
bool unread_answer(const modem_t *m)
{
    int queued = 0;
    return m->diag.slave_keep.ok() && ioctl(m->diag.slave_keep.get(), FIONREAD, &queued) == 0 && queued > 0;
}

bool has_sysfs(const modem_t *m)
{
    return m->opts.sysfs_dir[0] != '\0';
}

} // namespace

int modem_attach(modem_t *m, modem_stage_t stage)
{
    modem_detach(m);
    const char *links = m->opts.link_dir.data();
    int diag_no = stage == STAGE_NORMAL ? m->opts.diag_tty : m->opts.download_tty;
    // The AT port first: a tool that sees the diag port may at once look for
    // the AT port to tell the modem's mode.
    if (stage == STAGE_NORMAL && pty_port_open(&m->at, links, m->opts.at_tty) != 0)
        return -1;
    if (pty_port_open(&m->diag, links, diag_no) != 0) {
        pty_port_close(&m->at);
        return -1;
    }
    // The interface directories appear last: whoever finds them can open the
    // device at once.
    if (has_sysfs(m)) {
        usb_sysfs_add_interface(m->opts.sysfs_dir.data(), m->opts.usb_bus, IFACE_DIAG, diag_no);
        if (stage == STAGE_NORMAL)
            usb_sysfs_add_interface(m->opts.sysfs_dir.data(), m->opts.usb_bus, IFACE_AT, m->opts.at_tty);
    }
    m->stage = stage;
    m->hung = false;
    m->leaving = false;
    m->diag_rx.len = 0;
    m->diag_rx.overflow = false;
    m->diag_rx.hunting = stage != STAGE_NORMAL;
    m->offline = false;
    if (stage == STAGE_BOOTLOADER)
        boot_reset(m);
    if (stage == STAGE_PROGRAMMER)
        programmer_reset(m);
    if (stage == STAGE_NORMAL)
        modem_firmware_start(m);
    if (stage == STAGE_NORMAL)
        modem_log("attach %s diag=ttyUSB%d(%s) at=ttyUSB%d(%s)", modem_stage_name(stage), diag_no,
                  m->diag.slave_path.data(), m->opts.at_tty, m->at.slave_path.data());
    else
        modem_log("attach %s diag=ttyUSB%d(%s)", modem_stage_name(stage), diag_no, m->diag.slave_path.data());
    power_cut_event(m, CUT_ATTACH);
    return 0;
}

void modem_detach(modem_t *m)
{
    bool had_ports = pty_port_is_open(&m->diag) || pty_port_is_open(&m->at);
    if (has_sysfs(m)) {
        usb_sysfs_remove_interface(m->opts.sysfs_dir.data(), m->opts.usb_bus, IFACE_DIAG);
        usb_sysfs_remove_interface(m->opts.sysfs_dir.data(), m->opts.usb_bus, IFACE_AT);
    }
    pty_port_close(&m->diag);
    pty_port_close(&m->at);
    if (had_ports)
        modem_log("detach %s", modem_stage_name(m->stage));
}

void modem_power_off(modem_t *m)
{
    modem_detach(m);
    image_store_abort(&m->boot.ram);
    programmer_reset(m);
    m->stage = STAGE_OFF;
    m->powered = false;
    m->hung = false;
    m->leaving = false;
    m->detach_at = 0;
    m->attach_at = 0;
}

void modem_reenumerate(modem_t *m, modem_stage_t stage)
{
    int64_t now = modem_now_ms();
    uint32_t detach = m->opts.detach_delay_ms;
    uint32_t attach = m->opts.enum_delay_ms > detach ? m->opts.enum_delay_ms : detach + 1;
    m->leaving = true;
    m->detach_at = now + detach;
    m->attach_at = now + attach;
    m->attach_stage = stage;
    modem_log("re-enumerating into %s in %u ms", modem_stage_name(stage), (unsigned)attach);
}

int64_t modem_run_timers(modem_t *m)
{
    if (m->cut.fired)
        return -1;       // no power: nothing leaves or joins the bus
    int64_t now = modem_now_ms();
    if (m->detach_at != 0 && now >= m->detach_at) {
        // A hang-up discards what the tool has not read yet, and the answer
        // that made the modem leave must reach it: a real modem's answer is
        // on the host before the device drops off the bus.
        if (unread_answer(m) && now < m->detach_at + DETACH_GRACE_MS)
            return 5;
        m->detach_at = 0;
        modem_detach(m);
    }
    if (m->attach_at != 0 && m->detach_at == 0 && now >= m->attach_at) {
        m->attach_at = 0;
        if (modem_attach(m, m->attach_stage) != 0)
            modem_log("attach %s failed", modem_stage_name(m->attach_stage));
    }
    int64_t next = -1;
    for (int64_t t : {m->detach_at, m->attach_at}) {
        if (t != 0 && (next < 0 || t - now < next))
            next = t - now < 0 ? 0 : t - now;
    }
    return next;
}

void modem_poll_power(modem_t *m)
{
    if (!has_sysfs(m) || m->cut.fired)
        return;
    int power = usb_sysfs_read_power(m->opts.sysfs_dir.data());
    if (power == 0 && m->powered) {
        modem_log("power off");
        modem_power_off(m);
    } else if (power == 1 && !m->powered) {
        modem_log("power on");
        m->powered = true;
        m->attach_at = modem_now_ms() + m->opts.enum_delay_ms;
        m->attach_stage = STAGE_NORMAL;
    }
}
