// A campaign's results: one CSV row or one JSON object per point, read back
// for merging shards, and the summary by phase.
#include "campaign.h"

#include "flash_ops.h"
#include "json_io.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char *const COLUMNS[] = {"point", "op",     "mode",   "phase", "cut_op", "second_op", "second_mode",
                               "second_phase", "second_cut_op", "result", "check", "detail", "kept", "ops"};
constexpr size_t COLUMN_COUNT = sizeof COLUMNS / sizeof COLUMNS[0];

std::vector<std::string> fields_of(const point_result &r)
{
    return {std::to_string(r.pt.index),
            std::to_string(r.pt.op),
            r.pt.modem_kind.empty() ? flash_cut_mode_name(r.pt.mode) : r.pt.modem_kind,
            r.phase,
            r.cut_op,
            std::to_string(r.pt.second_op),
            r.pt.second_op != 0 ? flash_cut_mode_name(r.pt.second_mode) : "",
            r.second_phase,
            r.second_cut_op,
            r.passed ? "pass" : "fail",
            r.check,
            r.detail,
            r.kept,
            std::to_string(r.ops)};
}

bool number(const std::string &s, uint64_t *v)
{
    if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos || s.size() > 19)
        return false;
    *v = strtoull(s.c_str(), nullptr, 10);
    return true;
}

bool from_fields(const std::vector<std::string> &f, point_result *r)
{
    if (f.size() != COLUMN_COUNT)
        return false;
    *r = point_result{};
    // mode: the flash cut mode of a router point, the event kind of a modem point.
    if (!number(f[0], &r->pt.index) || !number(f[1], &r->pt.op) || !number(f[5], &r->pt.second_op) ||
        !number(f[13], &r->ops))
        return false;
    if (campaign_modem_kind(f[2]))
        r->pt.modem_kind = f[2];
    else if (!parse_cut_mode(f[2].c_str(), &r->pt.mode))
        return false;
    if (r->pt.second_op != 0 && !parse_cut_mode(f[6].c_str(), &r->pt.second_mode))
        return false;
    if (f[9] != "pass" && f[9] != "fail")
        return false;
    r->phase = f[3];
    r->cut_op = f[4];
    r->second_phase = f[7];
    r->second_cut_op = f[8];
    r->passed = f[9] == "pass";
    r->check = f[10];
    r->detail = f[11];
    r->kept = f[12];
    return true;
}

std::string csv_field(const std::string &s)
{
    if (s.find_first_of(",\"\n") == std::string::npos)
        return s;
    std::string q = "\"";
    for (char c : s) {
        if (c == '\n')
            c = ' ';
        q += c;
        if (c == '"')
            q += '"';
    }
    return q + "\"";
}

// The fields of a CSV line: quoted fields may hold commas and doubled quotes.
bool split_csv(const std::string &line, std::vector<std::string> *out)
{
    std::vector<std::string> &f = *out;
    f.assign(1, std::string());
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                f.back() += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                f.back() += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            f.emplace_back();
        } else if (c != '\n' && c != '\r') {
            f.back() += c;
        }
    }
    return !quoted;
}

// Where each column is in a header line's fields; false when one is missing
// or named twice.
bool column_order(const std::vector<std::string> &header, std::vector<size_t> *at)
{
    at->assign(COLUMN_COUNT, SIZE_MAX);
    for (size_t i = 0; i < header.size(); ++i) {
        for (size_t c = 0; c < COLUMN_COUNT; ++c) {
            if (header[i] != COLUMNS[c])
                continue;
            if ((*at)[c] != SIZE_MAX)
                return false;
            (*at)[c] = i;
        }
    }
    for (size_t a : *at)
        if (a == SIZE_MAX)
            return false;
    return true;
}

// A point's object: every column as a string member, whatever their order;
// a number member stands for its digits. Unknown members are ignored.
bool from_object(const json_value &j, point_result *r)
{
    if (!j.is_object())
        return false;
    std::vector<std::string> f(COLUMN_COUNT);
    for (size_t i = 0; i < COLUMN_COUNT; ++i) {
        const json_value *m = json_member(j, COLUMNS[i]);
        if (m == nullptr)
            return false;
        if (m->is_string())
            f[i] = m->get_ref<const std::string &>();
        else if (m->is_number_unsigned())
            f[i] = std::to_string(m->get<uint64_t>());
        else
            return false;
    }
    return from_fields(f, r);
}

// "name": value as the result files write a member.
std::string member(const char *name, const std::string &value)
{
    return json_line(json_value(name)) + ": " + json_line(json_value(value));
}

}  // namespace

std::string campaign_csv_header()
{
    std::string h;
    for (const char *c : COLUMNS)
        h += (h.empty() ? "" : ",") + std::string(c);
    return h + "\n";
}

std::string campaign_csv_line(const point_result &r)
{
    std::string line;
    for (const std::string &f : fields_of(r))
        line += (line.empty() ? "" : ",") + csv_field(f);
    // An empty first field would make the line start with a comma; never the case: point is a number.
    return line + "\n";
}

bool campaign_parse_csv_line(const std::string &line, point_result *r)
{
    std::vector<std::string> f;
    return split_csv(line, &f) && from_fields(f, r);
}

std::string campaign_json_line(const point_result &r)
{
    std::vector<std::string> f = fields_of(r);
    json_value j = json_value::object();
    for (size_t i = 0; i < COLUMN_COUNT; ++i)
        j[COLUMNS[i]] = f[i];
    return json_line(j);
}

bool campaign_parse_json_line(const std::string &line, point_result *r)
{
    json_value j;
    return json_parse(line, &j) && from_object(j, r);
}

int campaign_write_results(const std::string &file, bool json, const std::vector<point_result> &results,
                           const std::string &about)
{
    std::string text;
    if (json) {
        // One point per line, so that a file can be read (and grepped) by line.
        text = "{" + member("campaign", about) + ",\n" + json_line(json_value("points")) + ": [\n";
        for (size_t i = 0; i < results.size(); ++i)
            text += campaign_json_line(results[i]) + (i + 1 < results.size() ? ",\n" : "\n");
        text += "]}\n";
    } else {
        text = campaign_csv_header();
        for (const point_result &r : results)
            text += campaign_csv_line(r);
    }
    return write_text(file, text);
}

int campaign_read_results(const std::string &file, std::vector<point_result> *out)
{
    std::string text = campaign_read(file);
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return -1;
    if (text[first] == '{') {
        // The whole file is one object; its layout is the writer's business.
        json_value j;
        const json_value *points = nullptr;
        if (!json_parse(text, &j) || (points = json_member(j, "points")) == nullptr || !points->is_array())
            return -1;
        std::vector<point_result> got;
        for (const json_value &p : *points) {
            point_result r;
            if (!from_object(p, &r))
                return -1;
            got.push_back(r);
        }
        out->insert(out->end(), got.begin(), got.end());
        return 0;
    }
    // Columns are found by the header's names, so a table whose columns were
    // moved about (or that has more) reads the same. Rows before any header
    // are in the written order.
    std::vector<size_t> at(COLUMN_COUNT);
    for (size_t c = 0; c < COLUMN_COUNT; ++c)
        at[c] = c;
    size_t width = COLUMN_COUNT;
    std::vector<point_result> got;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        start = nl == std::string::npos ? text.size() : nl + 1;
        std::vector<std::string> f;
        if (line.empty() || line == "\r")
            continue;
        if (!split_csv(line, &f))
            return -1;
        // A header names every column (a row cannot: its point is a number).
        std::vector<size_t> header_at;
        if (column_order(f, &header_at)) {
            at = header_at;
            width = f.size();
            continue;
        }
        // A row has as many fields as its header.
        if (f.size() != width)
            return -1;
        std::vector<std::string> row(COLUMN_COUNT);
        for (size_t c = 0; c < COLUMN_COUNT; ++c)
            row[c] = f[at[c]];
        point_result r;
        if (!from_fields(row, &r))
            return -1;
        got.push_back(r);
    }
    out->insert(out->end(), got.begin(), got.end());
    return 0;
}

uint64_t campaign_summary(FILE *to, const std::vector<point_result> &results)
{
    struct tally {
        uint64_t points = 0, passed = 0, failed = 0;
    };
    std::map<std::string, tally> by_phase;
    std::map<std::string, uint64_t> by_check;
    tally all;
    for (const point_result &r : results) {
        std::string phase = r.phase + (r.pt.second_op != 0 ? ", then " + r.second_phase : "");
        tally &t = by_phase[phase];
        ++t.points;
        ++all.points;
        if (r.passed) {
            ++t.passed;
            ++all.passed;
        } else {
            ++t.failed;
            ++all.failed;
            ++by_check[r.check];
        }
    }
    fprintf(to, "%-44s %7s %7s %7s\n", "phase of the cut", "points", "passed", "failed");
    for (const auto &p : by_phase)
        fprintf(to, "%-44s %7" PRIu64 " %7" PRIu64 " %7" PRIu64 "\n", p.first.c_str(), p.second.points,
                p.second.passed, p.second.failed);
    fprintf(to, "%-44s %7" PRIu64 " %7" PRIu64 " %7" PRIu64 "\n", "all", all.points, all.passed, all.failed);
    for (const auto &c : by_check)
        fprintf(to, "failed check %s: %" PRIu64 " points\n", c.first.c_str(), c.second);
    return all.failed;
}
