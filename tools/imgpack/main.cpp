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
    "when a record lies outside the package or the installation would fail.\n"
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
    "them (replacing an earlier one); attach appends one made by\n"
    "`minisign -S -m PACKAGE`. inspect --key also checks the signature against\n"
    "PUBLIC and exits 1 when it does not verify. See docs/signing.md.\n";

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        fputs(usage_text, stdout);
        return 0;
    }
    if (argc == 4 && strcmp(argv[1], "build") == 0)
        return imgpack_build(argv[2], argv[3]);
    if (argc == 4 && strcmp(argv[1], "modem") == 0)
        return imgpack_build_modem(argv[2], argv[3]);
    if (argc == 3 && strcmp(argv[1], "inspect") == 0)
        return imgpack_inspect(argv[2], stdout);
    if (argc == 5 && strcmp(argv[1], "inspect") == 0 && strcmp(argv[3], "--key") == 0) {
        int rc = imgpack_inspect(argv[2], stdout);
        return imgpack_inspect_signature_file(argv[2], argv[4], stdout) != 0 ? 1 : rc;
    }
    if (argc == 4 && strcmp(argv[1], "keygen") == 0)
        return imgpack_keygen(argv[2], argv[3]);
    if ((argc == 5 || argc == 7) && strcmp(argv[1], "sign") == 0 && strcmp(argv[3], "--key") == 0 &&
        (argc == 5 || strcmp(argv[5], "--comment") == 0))
        return imgpack_sign(argv[2], argv[4], argc == 7 ? argv[6] : nullptr);
    if (argc == 4 && strcmp(argv[1], "attach") == 0)
        return imgpack_attach(argv[2], argv[3]);
    fputs(usage_text, stderr);
    return 2;
}
