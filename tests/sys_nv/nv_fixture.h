// A modem container that asks for NV preservation, a virtual modem whose NV
// store is seeded with distinct values, and the count of what the modem lost.
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "modem_fixture.h"
#include "test_files.h"
#include "nv_tables.h"

namespace sysnv {

using sysmodem::bytes;
using sysmodem::load_and_up;
using sysmodem::load_for_upgrade;
using sysmodem::modem_package;
using sysmodem::nothing_flashed;
using sysmodem::random_bytes;
using sysmodem::sim_router;
using sysmodem::with_modem;

// The INI of the container: efs_include 1 flashes the EFS and forces the
// backup and restore; efs_restore 1 makes the step read the identity flags,
// so every identity value is kept too.
constexpr char NV_INI[] = "modem_version ZMR_V200\n"
                          "efs_include 1\nefs_restore 1\n"
                          "version_check 1\n"
                          "SN 1\nIMEI 1\nTESTINF 1\nSIMLOCK 1,46000\n";

constexpr char IDENTITY[] = "sn=SN778899\nimei=861234567890123\ntestinf=RF:PASS1\nsimlock=1,46000\ninds=\n";

// The high-priority RF NV items and the data length each is seeded with.
struct rf_item {
    unsigned item;
    size_t len;
};
constexpr rf_item RF_ITEMS[] = {{20207, 40}, {20208, 7}, {21183, 12}, {21186, 300}, {21239, 1}, {21242, 512}};

inline bytes nv_value(unsigned item) { return random_bytes(128, 70000 + item); }
inline bytes rf_value(const rf_item &r) { return random_bytes(r.len, 90000 + r.item); }

inline std::string nv_file(const modem_package &pkg, unsigned item)
{
    return pkg.modem_state + "/nv/" + std::to_string(item);
}
inline std::string rf_file(const modem_package &pkg, unsigned item)
{
    return pkg.modem_state + "/rfnv/" + std::to_string(item);
}

// The item numbers of the preserved set.
inline std::vector<unsigned> preserved_items()
{
    std::vector<unsigned> v;
    for (int i = 0; qd4700_modem_nv[i].nID != -1; i++)
        v.push_back((unsigned)qd4700_modem_nv[i].nID);
    return v;
}

// Seeds every preserved item but those in `skip`, every RF NV item and the
// identity; a flash wipes all of them.
inline void seed_store(const modem_package &pkg, const std::vector<unsigned> &skip = {})
{
    mkdir((pkg.modem_state + "/nv").c_str(), 0755);
    mkdir((pkg.modem_state + "/rfnv").c_str(), 0755);
    for (unsigned item : preserved_items())
        if (std::find(skip.begin(), skip.end(), item) == skip.end())
            simharness::write_file(nv_file(pkg, item), nv_value(item));
    for (const rf_item &r : RF_ITEMS)
        simharness::write_file(rf_file(pkg, r.item), rf_value(r));
    pkg.dir.put("modem/identity", IDENTITY);
    pkg.dir.put("modem/flash_wipe", "all\n");
}

// What the modem has lost against the seeded values.
struct loss {
    int nv = 0, rf = 0, identity = 0;
    int total() const { return nv + rf + identity; }
};

inline loss count_lost(const modem_package &pkg)
{
    loss l;
    for (unsigned item : preserved_items()) {
        const bytes v = nv_value(item);
        l.nv += simharness::read_file(nv_file(pkg, item)) != std::string(v.begin(), v.end());
    }
    for (const rf_item &r : RF_ITEMS) {
        const bytes v = rf_value(r);
        l.rf += simharness::read_file(rf_file(pkg, r.item)) != std::string(v.begin(), v.end());
    }
    const std::vector<std::string> now = simharness::read_lines(pkg.modem_state + "/identity");
    for (const char *want : {"sn=SN778899", "imei=861234567890123", "testinf=RF:PASS1", "simlock=1,46000"})
        l.identity += std::find(now.begin(), now.end(), want) == now.end();
    return l;
}

// The last function level the modem's AT port was set to.
inline std::string last_function_level(const modem_package &pkg)
{
    std::string last;
    for (const std::string &l : simharness::read_lines(pkg.modem_state + "/out/modem.log"))
        if (l.find("function level ") != std::string::npos)
            last = l.substr(l.find("function level ") + 15, 1);
    return last;
}

using testkit::exists;

// Each of the lines is in the run's syslog.
inline void expect_logged(const sim_router &r, std::initializer_list<const char *> lines)
{
    for (const char *line : lines)
        EXPECT_TRUE(r.syslog_contains(line)) << "not logged: " << line;
}

// Every seeded value is back in the modem; `what` names the case.
inline void expect_nothing_lost(const modem_package &pkg, const std::string &what)
{
    const loss l = count_lost(pkg);
    EXPECT_EQ(l.nv, 0) << what << ": NV items lost";
    EXPECT_EQ(l.rf, 0) << what << ": RF NV items lost";
    EXPECT_EQ(l.identity, 0) << what << ": identity values lost";
}

// Neither the NV block file nor the high-NV file is left in /2ndfile.
inline void expect_backup_gone(const sim_router &r)
{
    EXPECT_FALSE(exists(r.state() + "/2ndfile/modem_nv"));
    EXPECT_FALSE(exists(r.state() + "/2ndfile/high_nv"));
}

}  // namespace sysnv
