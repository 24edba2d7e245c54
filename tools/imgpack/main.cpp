// imgpack: host tool that builds and inspects upgrade packages for imgrenew.
#include <cstdio>
#include <cstring>

#include "imgpack.h"
#include "imgpack_modem.h"
#include "imgpack_sign.h"

namespace {

const char usage_text[] =
    "usage: imgpack build OUTPUT DESCRIPTION\n"
    "       imgpack modem OUTPUT CONTAINER_DESCRIPTION\n"
    "       imgpack inspect PACKAGE|CONTAINER [--key PUBLIC]\n"
    "       imgpack keygen PUBLIC SECRET\n"
    "       imgpack sign PACKAGE --key SECRET [--comment TEXT]\n"
    "       imgpack attach PACKAGE SIGFILE\n"
    "       imgpack --help\n"
    "\n"
    "build writes the upgrade package described by the text file DESCRIPTION.\n"
    "inspect lists the header and every record, checks that each record lies\n"
    "inside the package and tells what `imgrenew up` would do with it; it exits 1\n"
    "when a record lies outside the package or the installation would fail, 3\n"
    "(result: warning) when imgrenew would take a package that is damaged or\n"
    "will not install as expected. imgpack COMMAND --help describes one command.\n"
    "\n"
    "DESCRIPTION: one item per line; blank lines and text after '#' are ignored.\n"
    "  magic1 N | magic2 N | version N | downgrade_enabled N | wholecrc N\n"
    "      header fields (decimal or 0x hex; default 0). wholecrc defaults to the\n"
    "      CRC-32 of every byte after the header; imgrenew only logs these fields.\n"
    "  record TYPE NAME COMPRESSED PATH [COMPONENT_VERSION]\n"
    "      TYPE: version, bootloader, kernel, rootfs, 2ndfs, boot_image, modem,\n"
    "            update_file, or a number.\n"
    "      NAME: the record name, at most 64 bytes; \"double quotes\" allow blanks.\n"
    "            The part before the first blank names the file the installer\n"
    "            extracts: letters, digits, '.', '_', '-', '+' only.\n"
    "      COMPRESSED: 1 for a bzip2-compressed tar archive, 0 for raw data.\n"
    "      PATH: the data, relative to the description's folder. A file is taken\n"
    "            as it is; a directory (COMPRESSED must be 1) is packed with\n"
    "            tar -cjf of its content.\n"
    "  modem NAME CONTAINER_DESCRIPTION [COMPONENT_VERSION]\n"
    "      a modem record whose container is built from CONTAINER_DESCRIPTION.\n"
    "Records follow the table in the order given, each on a 4-byte boundary\n"
    "(padding is zero); packlen is the total length.\n"
    "\n"
    "modem writes a modem firmware container. CONTAINER_DESCRIPTION, one item\n"
    "per line: the INI keys (modem_version V, efs_include N, bEFS N, bAppEFS N,\n"
    "efs_restore N, version_check N, diagnose PATH, at PATH, SN N, IMEI N,\n"
    "TESTINF N, SIMLOCK FLAG,LIST, GSMBand N, UMTSBand N, LTEBand N), omit KEY,\n"
    "ini PATH (a hand-written INI instead), image TYPE PATH in table order (TYPE:\n"
    "hex, partition, dbl, fsbl, osbl, amss, dsp1, dsp2, efs, end or a number), and\n"
    "for deliberately bad containers: magic N, declare_entries N, checksum N,\n"
    "flip_checksum_byte K, checksum_order msb. See docs/imgpack.md.\n"
    "\n"
    "keygen writes a new key pair in minisign's formats (the secret key\n"
    "unencrypted). sign appends a signature of the package's packlen bytes after\n"
    "them (replacing an earlier one), with imgpack's secret key or the minisign\n"
    "tool's (with or without a password); attach appends one made by\n"
    "`minisign -S -m PACKAGE`. inspect --key also checks the signature against\n"
    "PUBLIC and exits 1 when it does not verify. See docs/signing.md.\n";

// An option a subcommand takes: its name and whether the command needs it.
// Every option takes a value.
struct command_option {
    const char *name;
    bool required;
};

// One subcommand: its name, operands, options and help.
struct command {
    const char *name;
    const char *operands[2];
    int count;
    command_option options[2];
    const char *help;
};

const command commands[] = {
    {"build", {"OUTPUT", "DESCRIPTION"}, 2, {},
     "usage: imgpack build OUTPUT DESCRIPTION\n"
     "Writes the upgrade package described by the text file DESCRIPTION to OUTPUT\n"
     "(through a temporary file beside it, so a failed build leaves nothing).\n"
     "Exit status: 0 written, 1 the description or a data file is wrong, 2 usage.\n"
     "See imgpack --help for the description lines.\n"},
    {"modem", {"OUTPUT", "CONTAINER_DESCRIPTION"}, 2, {},
     "usage: imgpack modem OUTPUT CONTAINER_DESCRIPTION\n"
     "Writes the modem firmware container described by CONTAINER_DESCRIPTION.\n"
     "Exit status: 0 written, 1 the description or a data file is wrong, 2 usage.\n"
     "See imgpack --help for the description lines.\n"},
    {"inspect", {"PACKAGE|CONTAINER", nullptr}, 1, {{"--key", false}},
     "usage: imgpack inspect PACKAGE|CONTAINER [--key PUBLIC]\n"
     "Lists the header and every record (or container entry) and tells what\n"
     "`imgrenew up` would do with it; the last line is the verdict. With --key it\n"
     "also shows the signature's key id and trusted comment and whether it\n"
     "verifies with the minisign public key PUBLIC.\n"
     "Exit status: 0 result: ok; 1 the installation would fail (or, with --key,\n"
     "the signature does not verify); 2 usage; 3 result: warning (whole-package\n"
     "CRC differs, a modem partition table the programmer refuses, a package that\n"
     "reaches the state block at 0x4200000 of the package partition).\n"},
    {"keygen", {"PUBLIC", "SECRET"}, 2, {},
     "usage: imgpack keygen PUBLIC SECRET\n"
     "Writes a new Ed25519 key pair in minisign's file formats (the secret key\n"
     "unencrypted). Exit status: 0 written, 1 failed, 2 usage.\n"},
    {"sign", {"PACKAGE", nullptr}, 1, {{"--key", true}, {"--comment", false}},
     "usage: imgpack sign PACKAGE --key SECRET [--comment TEXT]\n"
     "Signs the package's packlen bytes with the minisign secret key SECRET and\n"
     "appends the signature trailer after them (replacing an earlier one); TEXT\n"
     "becomes the trusted comment. SECRET may be imgpack keygen's key or one made\n"
     "by minisign -G, unencrypted (-W) or with a password: the password is asked\n"
     "for on the terminal, or read as the first line of standard input.\n"
     "A package whose trailer would reach the state block at 0x4200000 of the\n"
     "package partition is refused. Exit status: 0 signed, 1 failed, 2 usage.\n"},
    {"attach", {"PACKAGE", "SIGFILE"}, 2, {},
     "usage: imgpack attach PACKAGE SIGFILE\n"
     "Appends a signature made by `minisign -S -m PACKAGE` as the package's\n"
     "signature trailer; refused when the trailer would reach the state block at\n"
     "0x4200000 of the package partition. Exit status: 0 attached, 1 failed,\n"
     "2 usage.\n"},
};

bool is_help(const char *arg)
{
    return strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0;
}

int usage_error(const char *what)
{
    fprintf(stderr, "imgpack: %s (imgpack --help for usage)\n", what);
    return IMGPACK_USAGE;
}

int run(const command &c, int argc, char *argv[])
{
    for (int i = 2; i < argc; ++i)
        if (is_help(argv[i])) {
            fputs(c.help, stdout);
            return 0;
        }
    char what[160];
    const char *operand[2] = {nullptr, nullptr};
    const char *value[2] = {nullptr, nullptr};
    int given = 0;
    for (int i = 2; i < argc; ++i) {
        if (argv[i][0] == '-' && argv[i][1] != '\0') {
            int k = 0;
            while (k < 2 && (c.options[k].name == nullptr || strcmp(c.options[k].name, argv[i]) != 0))
                ++k;
            if (k == 2) {
                snprintf(what, sizeof what, "%s: unknown option %.64s", c.name, argv[i]);
                return usage_error(what);
            }
            if (i + 1 >= argc) {
                snprintf(what, sizeof what, "%s: %s needs a value", c.name, c.options[k].name);
                return usage_error(what);
            }
            value[k] = argv[++i];
            continue;
        }
        if (given >= c.count) {
            snprintf(what, sizeof what, "%s: unexpected operand %.64s", c.name, argv[i]);
            return usage_error(what);
        }
        if (argv[i][0] == '\0') {
            snprintf(what, sizeof what, "%s: empty operand %s", c.name, c.operands[given]);
            return usage_error(what);
        }
        operand[given++] = argv[i];
    }
    if (given < c.count) {
        snprintf(what, sizeof what, "%s: missing operand %s", c.name, c.operands[given]);
        return usage_error(what);
    }
    for (int k = 0; k < 2; ++k)
        if (c.options[k].required && value[k] == nullptr) {
            snprintf(what, sizeof what, "%s: missing option %s", c.name, c.options[k].name);
            return usage_error(what);
        }
    if (strcmp(c.name, "build") == 0)
        return imgpack_build(operand[0], operand[1]);
    if (strcmp(c.name, "modem") == 0)
        return imgpack_build_modem(operand[0], operand[1]);
    if (strcmp(c.name, "keygen") == 0)
        return imgpack_keygen(operand[0], operand[1]);
    if (strcmp(c.name, "sign") == 0)
        return imgpack_sign(operand[0], value[0], value[1]);
    if (strcmp(c.name, "attach") == 0)
        return imgpack_attach(operand[0], operand[1]);
    int rc = imgpack_inspect(operand[0], stdout);
    if (value[0] != nullptr && imgpack_inspect_signature_file(operand[0], value[0], stdout) != 0)
        return IMGPACK_INSPECT_FAILS;
    return rc;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 2)
        return usage_error("missing command (build, modem, inspect, keygen, sign or attach)");
    if (is_help(argv[1])) {
        fputs(usage_text, stdout);
        return 0;
    }
    for (const command &c : commands)
        if (strcmp(argv[1], c.name) == 0)
            return run(c, argc, argv);
    char what[160];
    if (argv[1][0] == '-')
        snprintf(what, sizeof what, "unknown option %.64s", argv[1]);
    else
        snprintf(what, sizeof what, "unknown command %.64s (build, modem, inspect, keygen, sign or attach)", argv[1]);
    return usage_error(what);
}
