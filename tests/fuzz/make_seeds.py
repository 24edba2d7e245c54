#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into corpus/<target>/.

The seeds are small, meaningful inputs: valid packages and replies, and the
damaged forms the parsers must refuse. They are kept in the repository; run
this again only to change them (inputs found by fuzzing are added by hand).
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def crc_reflected(data, poly, init, xorout):
    """A bit-reflected CRC, bit by bit: the register starts at init, the
    reversed polynomial is poly, and the result is XORed with xorout."""
    crc = init
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ poly if crc & 1 else crc >> 1
    return crc ^ xorout


def crc16_x25(data):
    return crc_reflected(data, 0x8408, 0xFFFF, 0xFFFF)


def stuff(data):
    out = bytearray()
    for b in data:
        if b in (0x7E, 0x7D):
            out += bytes([0x7D, b ^ 0x20])
        else:
            out.append(b)
    return bytes(out)


def frame(payload, leading=True):
    fcs = crc16_x25(payload)
    body = stuff(payload + struct.pack("<H", fcs))
    return (b"\x7e" if leading else b"") + body + b"\x7e"


def package(records, magic1=0x55AA0000, count=None, packlen=None, cut=0):
    """records: (record_id, compressed, name, data); data laid out after the table."""
    n = len(records)
    offset = 28 + 84 * n
    table = b""
    blob = b""
    for rid, comp, name, data in records:
        raw_name = name if len(name) == 64 else name + b"\0" * (64 - len(name))
        table += struct.pack("<5I", offset + len(blob), len(data), comp, rid, 0x0102) + raw_name
        blob += data
    total = 28 + len(table) + len(blob)
    head = struct.pack("<5IiI", magic1, 0x12345678, 3, n if count is None else count,
                       0xDEADBEEF, total if packlen is None else packlen, 0)
    out = head + table + blob
    return out[:len(out) - cut] if cut else out


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def package_seeds():
    full = [
        (0, 0, b"version_info.txt", b"kernel=2.6.29\nrootfs=1.4\n"),
        (2, 0, b"uImage", b"\x27\x05\x19\x56" + b"K" * 60),
        (3, 0, b"rootfs.ubi", b"U" * 64),
        (4, 1, b"2ndfs.tar.bz2 extra words", b"BZh91AY&SY" + b"\0" * 22),
        (7, 0, b"modem.bin", b"M" * 48),
    ]
    write("package", "valid_file_mode", package(full))
    write("package", "valid_partition_mode", package(full, magic1=0x55AA0001))
    write("package", "bootloader_and_raw_2ndfs",
          package([(1, 0, b"u-boot.bin", b"B" * 32), (4, 0, b"2ndfs.img", b"F" * 32),
                   (6, 0, b"boot.img", b"I" * 8), (5, 0, b"five", b""), (8, 0, b"upd", b"x")]))
    write("package", "empty_table", package([]))
    write("package", "erased_partition", b"\xff" * (28 + 84))
    write("package", "short_header", package([])[:20])
    write("package", "table_cut_short", package(full[:2], cut=len(full[1][3]) + len(full[0][3]) + 10))
    write("package", "count_too_large", package(full[:1], count=0x10000))
    write("package", "record_past_end",
          package([(2, 0, b"uImage", b"K" * 16)], packlen=40))
    write("package", "unsafe_names",
          package([(0, 0, b"../etc/passwd", b"v"), (3, 0, b"tar", b"r"),
                   (2, 0, b" leading-space", b"k"), (1, 0, b"a;reboot", b"b")]))
    write("package", "name_without_nul", package([(0, 0, b"n" * 64, b"version")]))
    write("package", "2ndfs_compressed_2", package([(4, 2, b"2ndfs", b"z" * 8)]))


def hdlc_seeds():
    write("hdlc_receiver", "ack_repeated_flags", bytes([0x7E, 0x7E, 0x02, 0x6A, 0xD3, 0x7E]))
    write("hdlc_receiver", "nak_invalid_cmd", bytes([0x7E, 0x03, 0x00, 0x06, 0x9E, 0x4C, 0x7E]))
    write("hdlc_receiver", "nak_too_large_stuffed",
          bytes([0x7E, 0x03, 0x00, 0x05, 0x05, 0x7D, 0x5E, 0x7E]))
    write("hdlc_receiver", "bad_check", bytes([0x7E, 0x02, 0x6A, 0xD4, 0x7E]))
    write("hdlc_receiver", "early_end", bytes([0x7E, 0x02, 0x7E]))
    write("hdlc_receiver", "close_reply", frame(b"\x16"))
    write("hdlc_receiver", "escape_before_flag", bytes([0x7E, 0x02, 0x7D, 0x7E, 0x02, 0x6A, 0xD3, 0x7E]))
    write("hdlc_receiver", "noise_then_two_frames",
          b"\xfd\xfd\x00AT\r\n" + frame(b"\x02") + frame(b"\x03\x00\x0d"))
    write("hdlc_receiver", "hello_reply",
          frame(b"\x02" + b"QCOM fast download protocol targ" + b"\x08\x00\x04\x00\x00\x01\x00"))
    write("hdlc_receiver", "stream_reply_stuffed", frame(b"\x08\x7e\x7d\x00\x00"))
    write("hdlc_receiver", "long_frame", frame(bytes(range(256)) * 2))
    write("hdlc_receiver", "unclosed", b"\x7e" + b"\x11" * 40)


def stream_reply_seeds():
    def seed(addr, loose, rx):
        return struct.pack("<I", addr) + bytes([loose]) + rx

    def reply(addr):
        return frame(b"\x08" + struct.pack("<I", addr))

    write("stream_reply", "ack_0x400", seed(0x400, 0, reply(0x400)))
    write("stream_reply", "ack_for_other_address", seed(0x800, 0, reply(0x400)))
    write("stream_reply", "ack_stuffed_address", seed(0x7D7E, 0, reply(0x7D7E)))
    write("stream_reply", "loose_ack", seed(0, 1, reply(0x1200)))
    write("stream_reply", "noise_before_reply", seed(0x400, 0, b"\x00\x13" + reply(0x400)))
    write("stream_reply", "no_flag", seed(0, 0, b"\x08\x00\x04\x00\x00"))
    write("stream_reply", "unclosed_full_buffer", seed(0, 0, b"\x7e\x08" + b"\x7d" * 30))
    write("stream_reply", "nak_instead", seed(0, 0, frame(b"\x03\x00\x07")))


def cgi_seeds():
    write("cgi_query", "get_action", b"\x00which_cgi=import&lang=en")
    write("cgi_query", "encoded_values", b"\x00a=1&b=%41%2B+c&&=x&which_cgi=%00z&%7e=%7E")
    write("cgi_query", "short_length", b"\x01which_cgi=clear&action=export")
    write("cgi_query", "long_length", b"\x02which_cgi=show")
    write("cgi_query", "negative_length", b"\x03which_cgi=clear")
    write("cgi_query", "bad_escapes", b"\x00%zz%4&x%&%%=%2")
    write("cgi_query", "nul_in_body", b"\x00which_cgi=a\x00b=c")
    write("cgi_query", "many_pairs", b"\x00" + b"&".join(b"k%d=v" % i for i in range(150)))


def version_seeds():
    def seed(installed, old, new):
        return bytes([installed]) + struct.pack("<H", len(old)) + old + new

    old = (b"boot_nontrust.bin BL_1.0.3\nzImage KERNEL_2.6.29_r3\nrootfs.jffs2 ROOTFS_1.4\n"
           b"default_nv NV_7\ndfi_version DFI_1\n")
    new = (b"boot_nontrust.bin BL_1.1.0\nzImage KERNEL_2.6.29_r4\nrootfs.jffs2 ROOTFS_1.5\n"
           b"default_nv NV_8\ndfi_version DFI_2\n")
    write("version_merge", "nothing_installed", seed(0x00, old, new))
    write("version_merge", "kernel_and_rootfs_installed", seed(0x06, old, new))
    write("version_merge", "all_installed", seed(0x1F, old, new))
    write("version_merge", "no_installed_file", seed(0x00, b"", new))
    write("version_merge", "last_old_line_unterminated",
          seed(0x00, b"zImage KERNEL_OLD_WITHOUT_END", b"zImage KERNEL_NEW\nother\n"))
    write("version_merge", "key_near_line_end",
          seed(0x00, b"zImage " + b"K" * 300 + b"\n", b"x" * 240 + b"zImage NEW\n"))
    write("version_merge", "crlf_and_nul",
          seed(0x00, b"dfi_version A\r\n", b"dfi_version B\r\n\0zImage\n"))


INI = (b"[About]\nmodem_version=ZMR_V1.0.7\nefs_include=1\nbEFS=0\nbAppEFS=1\n"
       b"efs_restore=1\nversion_check=1\n[serial_ports]\ndiagnose=/dev/ttyUSB0\n"
       b"at=/dev/ttyUSB2\n[BackupRestore_AT]\nSN=1\nIMEI=1\nTESTINF=0\n"
       b"SIMLOCK=1,46000/46002\n[Band]\nGSMBand=f\nUMTSBand=3\nLTEBand=ff\n")


def crc32_zero_state(data):
    return crc_reflected(data, 0xEDB88320, 0, 0xFFFFFFFF)


def container(ini, entries, magic=0x4D444F4D, count=None, size_delta=0):
    n = len(entries) + 1
    table = struct.pack(">IIII", 0, 0, 0, len(ini))
    bodies = ini
    for typ, body in entries:
        table += struct.pack(">IIII", typ, 0, 0, len(body))
        bodies += body
    rest = table + bodies
    total = 16 + len(rest) + size_delta
    crc = crc32_zero_state(rest[:max(total - 16, 0)])
    head = struct.pack(">II", magic, n if count is None else count) + struct.pack("<I", crc) + \
        struct.pack(">I", total)
    return head + rest


def modem_seeds():
    entries = [(0x4D484558, b"H" * 40), (0x01020304, b"P" * 16), (0x191A1B1C, b"D" * 24),
               (0x42454653, b"E" * 8)]
    write("modem_container", "valid", container(INI, entries))
    write("modem_container", "ini_only", container(INI, []))
    write("modem_container", "wrong_magic", container(INI, entries, magic=0x4D444F4E))
    write("modem_container", "sixteen_entries", container(INI, entries, count=16))
    write("modem_container", "size_past_record", container(INI, entries, size_delta=64))
    write("modem_container", "bodies_past_size", container(INI, entries, size_delta=-20))
    bad_crc = bytearray(container(INI, entries))
    bad_crc[8] = 0
    write("modem_container", "kept_wrong_checksum", bytes(bad_crc))

    write("modem_ini", "full", INI)
    write("modem_ini", "no_restore", INI.replace(b"efs_restore=1", b"efs_restore=0"))
    write("modem_ini", "zone_word_without_bracket", b"About=1\nmodem_version=x\n" + INI)
    write("modem_ini", "key_without_equals", b"[About]\nmodem_version ZMR\n")
    write("modem_ini", "long_value", b"[About]\nmodem_version=" + b"v" * 300 + b"\n")
    write("modem_ini", "crlf_and_junk", INI.replace(b"\n", b"\r\n").replace(b"=1", b"= \"1\"-:"))

    def at(mode, answer, record=b""):
        return bytes([mode]) + record.ljust(548, b"\0") + answer

    ident = struct.pack("<9I", 1, 1, 1, 1, 0, 0xF, 3, 0xFF, 1) + \
        b'"SN123456"'.ljust(64, b"\0") + b'"356938035643809"'.ljust(64, b"\0") + \
        b'"1"'.ljust(64, b"\0") + b"46000/46002".ljust(128, b"\0") + b'"TI"'.ljust(64, b"\0") + \
        b"".ljust(64, b"\0") + b'"IN"'.ljust(64, b"\0")
    write("at_answer", "imei", at(40, b'\r\n+CGSN: "356938035643809"\r\n\r\nOK\r\n', ident))
    write("at_answer", "error", at(40, b"\r\nERROR\r\n", ident))
    write("at_answer", "firmware_version",
          at(63, b"\r\nInnerVersion: ZMR_V1.0.7\r\nOK\r\n", ident))
    write("at_answer", "testinf_drops", at(64 + 30, b'+TESTINF: "a:b?c"\r\nOK\r\n', ident))
    write("at_answer", "zero_imei", at(40, b'"000000000000000"\r\nOK\r\n', ident))
    write("at_answer", "unclosed_quote", at(5, b'+CGSN: "35693803', ident))
    full = bytearray(ident)
    for off, ln in ((36, 64), (100, 64), (164, 64), (228, 128), (356, 64), (420, 64), (484, 64)):
        full[off:off + ln] = b"A" * ln
    write("at_answer", "full_fields", at(63, b"OK", bytes(full)))
    write("at_answer", "short_record", bytes([1]) + b"\x01\x00")


def multipart_seeds():
    config = b"wan_mode=dhcp\nlan_ip=192.168.0.1\nweb_language_select=en\n"
    body = (b"-----------------------------7e01a2b3c4\r\n"
            b'Content-Disposition: form-data; name="ipt_file_import"; filename="cfg.txt"\r\n'
            b"Content-Type: text/plain\r\n\r\n" + config +
            b"\r\n-----------------------------7e01a2b3c4--\r\n")

    def req(length, data):
        return length + b"\n" + data

    write("cgi_multipart", "upload", req(b"%d" % len(body), body))
    write("cgi_multipart", "length_short", req(b"%d" % (len(body) - 30), body))
    write("cgi_multipart", "length_long", req(b"%d" % (len(body) + 500), body))
    write("cgi_multipart", "length_too_big", req(b"102401", body))
    write("cgi_multipart", "length_not_a_number", req(b"12ab", body))
    write("cgi_multipart", "lower_case_header",
          req(b"%d" % len(body), body.replace(b"Content-Disposition", b"content-disposition")))
    write("cgi_multipart", "no_file_part",
          req(b"%d" % len(body), body.replace(b"ipt_file_import", b"other_field")))
    write("cgi_multipart", "bare_line_feeds_and_dashes",
          req(b"200", body.replace(b"\r\n", b"\n")))
    write("cgi_multipart", "site_path", req(b"/reboot.html?id=1", body))


if __name__ == "__main__":
    package_seeds()
    hdlc_seeds()
    stream_reply_seeds()
    cgi_seeds()
    version_seeds()
    modem_seeds()
    multipart_seeds()
    sys.exit(0)
