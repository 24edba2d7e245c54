// The normal firmware's AT service on the AT port: identity reads and writes,
// the firmware version, the function level. A command ends at a carriage
// return or line feed; empty lines and NUL bytes (a fixed-size command buffer
// written whole) are ignored. Answers take the usual form
// "\r\n+CMD: value\r\n\r\nOK\r\n"; what the modem refuses gets "\r\nERROR\r\n".
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "exchange_log.h"
#include "modem_core.h"

namespace {

constexpr int CFUN_FTM = 5;

struct at_answer {
    bool send = true;
    std::string text;
    const char *why = "";          // for the log, when refused
};

void ok(at_answer *a)
{
    a->text = "\r\nOK\r\n";
}

void error(at_answer *a, const char *why)
{
    a->text = "\r\nERROR\r\n";
    a->why = why;
}

void value(at_answer *a, const char *name, const char *v)
{
    a->text = std::string("\r\n") + name + ": \"" + v + "\"\r\n\r\nOK\r\n";
}

// Log text of a command or answer: printable, quotes and controls escaped.
std::string shown(const std::string &s)
{
    std::string out;
    for (unsigned char c : s) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c >= 0x20 && c < 0x7F && c != '\\')
            out += (char)c;
        else {
            char esc[8];
            snprintf(esc, sizeof esc, "\\x%02X", c);
            out += esc;
        }
    }
    return out;
}

// "\"text\"" alone (nothing after the closing quote, no quote inside):
// the text, or false.
bool quoted(const std::string &arg, std::string *out)
{
    if (arg.size() < 2 || arg.front() != '"' || arg.back() != '"')
        return false;
    *out = arg.substr(1, arg.size() - 2);
    return out->find('"') == std::string::npos && out->size() < MODEM_AT_VALUE;
}

template <size_t N> void store(std::array<char, N> &dst, const std::string &v)
{
    snprintf(dst.data(), N, "%s", v.c_str());
}

// An identity write: only in factory test mode, and only a quoted value.
void write_item(modem_t *m, std::array<char, MODEM_AT_VALUE> &field, const std::string &arg, bool digits15,
                at_answer *a)
{
    std::string v;
    if (m->at_svc.cfun != CFUN_FTM) {
        error(a, "identity writes need factory test mode (AT+CFUN=5)");
        return;
    }
    if (!quoted(arg, &v)) {
        error(a, "value not in double quotes");
        return;
    }
    if (digits15 && (v.size() != 15 || v.find_first_not_of("0123456789") != std::string::npos)) {
        error(a, "an IMEI has 15 digits");
        return;
    }
    store(field, v);
    if (identity_save(m) != 0)
        modem_log("cannot save the identity: %s", strerror(errno));
    ok(a);
}

// name is the command upper-cased up to its first quote; raw keeps the case
// of the arguments.
void run_command(modem_t *m, const std::string &name, const std::string &raw, at_answer *a)
{
    auto starts = [&](const char *prefix) { return name.compare(0, strlen(prefix), prefix) == 0; };
    auto arg_after = [&](const char *prefix) { return raw.substr(strlen(prefix)); };
    modem_identity &id = m->id;
    if (name == "AT" || name == "ATE0" || name == "ATE1")
        ok(a);
    else if (name == "AT+KQTSN=0,5")
        value(a, "+KQTSN", id.sn.data());
    else if (name == "AT+KQTSN=0,7")
        value(a, "+KQTSN", id.imei.data());
    else if (starts("AT+KQTSN=1,5,"))
        write_item(m, id.sn, arg_after("AT+KQTSN=1,5,"), false, a);
    else if (starts("AT+KQTSN=1,7,"))
        write_item(m, id.imei, arg_after("AT+KQTSN=1,7,"), true, a);
    else if (name == "AT+TESTINF2=?")
        value(a, "+TESTINF2", id.testinf.data());
    else if (starts("AT+TESTINF2="))
        write_item(m, id.testinf, arg_after("AT+TESTINF2="), false, a);
    else if (name == "AT+NWLCFG?")
        value(a, "+NWLCFG", id.simlock.data());
    else if (name == "AT+NWLSET=0" && m->at_svc.cfun == CFUN_FTM) {
        store(id.simlock, "0");
        identity_save(m);
        ok(a);
    } else if (starts("AT+NWLSET="))
        write_item(m, id.simlock, arg_after("AT+NWLSET="), false, a);
    else if (starts("AT+DISK=8,"))
        write_item(m, id.inds, arg_after("AT+DISK=8,"), false, a);
    else if (name == "AT+KQTSW")
        a->text = std::string("\r\n+KQTSW: InnerVersion:") + id.version.data() + "\r\n\r\nOK\r\n";
    else if (name == "AT+CFUN?")
        a->text = "\r\n+CFUN: " + std::to_string(m->at_svc.cfun) + "\r\n\r\nOK\r\n";
    else if (name == "AT+CFUN=0" || name == "AT+CFUN=1" || name == "AT+CFUN=4" || name == "AT+CFUN=5") {
        m->at_svc.cfun = name.back() - '0';
        modem_log("function level %d", m->at_svc.cfun);
        ok(a);
    } else
        error(a, "unknown command or argument");
}

// The fault rule kind of a command: "at-" and its lower-case name
// ("at-cfun", "at-kqtsn", "at-kqtsw", ...), "at" for a bare AT.
std::string fault_kind(const std::string &name)
{
    std::string kind = "at";
    size_t i = name.size() > 3 && name.compare(0, 3, "AT+") == 0 ? 3 : name.size();
    if (i < name.size())
        kind += '-';
    for (; i < name.size() && isalnum((unsigned char)name[i]); ++i)
        kind += (char)tolower((unsigned char)name[i]);
    return kind;
}

void handle_line(modem_t *m, const std::string &raw)
{
    std::string name = raw;
    size_t quote = name.find('"');
    for (size_t i = 0; i < name.size() && i < quote; ++i)
        name[i] = (char)toupper((unsigned char)name[i]);
    modem_log("rx %s at \"%s\"", modem_stage_name(m->stage), shown(raw).c_str());
    std::string kind = fault_kind(name);
    fault_set_reload(&m->faults, m->opts.faults_file.data());
    fault_decision d = fault_set_match(&m->faults, kind.c_str(), false, 0);
    if (m->hung) {
        modem_log("no answer: modem hung");
        return;
    }
    if (d.drop) {
        modem_log("fault drop %s", kind.c_str());
        return;
    }
    if (d.silent) {
        modem_log("fault silent: no answer until power-off");
        m->hung = true;
        return;
    }
    at_answer a;
    if (d.nak)
        error(&a, "fault");
    else
        run_command(m, name, raw, &a);
    if (a.why[0] != '\0')
        modem_log("refused: %s", a.why);
    const bool cut = power_cut_event(m, CUT_EXCHANGE);
    if (power_cut_event(m, CUT_AT) || cut)
        return;
    if (d.noreply) {
        modem_log("fault noreply %s", kind.c_str());
        return;
    }
    if (d.badfcs) {
        // The answer arrives damaged: only its first half.
        a.text.resize(a.text.size() / 2);
        modem_log("fault badfcs: answer cut to %u bytes", (unsigned)a.text.size());
    }
    if (d.late_ms > 0) {
        modem_log("fault late %u ms", (unsigned)d.late_ms);
        modem_sleep_ms(d.late_ms);
    }
    if (!pty_port_is_open(&m->at))
        return;
    if (pty_port_write(&m->at, reinterpret_cast<const uint8_t *>(a.text.data()), a.text.size()) != 0) {
        modem_log("tx %s at failed: %s", modem_stage_name(m->stage), strerror(errno));
        return;
    }
    modem_log("tx %s at \"%s\"", modem_stage_name(m->stage), shown(a.text).c_str());
}

} // namespace

void modem_at_input(modem_t *m, const uint8_t *data, size_t len)
{
    at_state &s = m->at_svc;
    for (size_t i = 0; i < len; ++i) {
        uint8_t b = data[i];
        if (b == '\r' || b == '\n') {
            if (s.overflow) {
                modem_log("rx %s at line longer than %u bytes", modem_stage_name(m->stage),
                          (unsigned)MODEM_AT_LINE);
                at_answer a;
                error(&a, "line too long");
                pty_port_write(&m->at, reinterpret_cast<const uint8_t *>(a.text.data()), a.text.size());
            } else if (s.len > 0) {
                handle_line(m, std::string(s.line.data(), s.len));
            }
            s.len = 0;
            s.overflow = false;
            continue;
        }
        if (b == 0)
            continue;
        if (s.len < s.line.size())
            s.line[s.len++] = (char)b;
        else
            s.overflow = true;
    }
}
