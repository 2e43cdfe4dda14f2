#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz harnesses into seeds/<harness>/.

The package, INI and language file seeds are the test fixtures of those formats plus a few
made here; the link and setup string seeds are made here. Run it again after a fixture changes
and commit the result; the fuzzer's own corpora grow elsewhere (corpus-work/, not committed).
"""
import pathlib
import shutil

HERE = pathlib.Path(__file__).resolve().parent
DATA = HERE.parent / "data"
SEEDS = HERE / "seeds"


def write(harness, name, data):
    folder = SEEDS / harness
    folder.mkdir(parents=True, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("utf-8")
    (folder / name).write_bytes(data)


def copy_fixtures(harness, pattern, source):
    for path in sorted((DATA / source).glob(pattern)):
        folder = SEEDS / harness
        folder.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(path, folder / path.name)


def xor(data):
    x = 0
    for b in data:
        x ^= b
    return x


def package(pages, page_size, hw=(), programs=(), minor=2, major=17):
    header = bytearray(b"BOOT_KVR\0" + bytes(3))
    header += (pages - 1).to_bytes(2, "little") + page_size.to_bytes(2, "little")
    header += bytes(2) + minor.to_bytes(2, "little") + bytes(1) + bytes([major])
    header += len(hw).to_bytes(2, "little") + len(programs).to_bytes(2, "little")
    for v in list(hw) + list(programs):
        header += v.to_bytes(2, "little")
    header += bytes(2)
    body = bytearray(header + bytes(page_size - len(header)))
    for i in range(1, pages):
        body += bytes((i * 7 + k) & 0xFF for k in range(page_size))
    return bytes(body + bytes([xor(body)]))


def frame(command, payload=b"", address=0, frame_type=1):
    body = bytes([frame_type]) + (address + len(payload) + 2).to_bytes(2, "little")
    body += bytes(address) + bytes([command]) + payload
    return b"\x55" + body + bytes([xor(body)])


def status_payload(code, page=0, length=0):
    return bytes([code]) + bytes(5) + page.to_bytes(2, "little") + length.to_bytes(2, "little") \
        + bytes(4)


# Link input: choices byte, expected command, then the device's bytes (see LinkCheck.h).
RECEIVE_REPLY, RECEIVE_STATUS, REQUEST_STATUS, PROBE = 0, 1, 2, 3
ADDRESS6, REPORT = 0x04, 0x08


def link(name, operation, command, device_bytes):
    write("link", name, bytes([operation, command]) + device_bytes)


def main():
    for folder in SEEDS.iterdir() if SEEDS.exists() else []:
        if folder.is_dir():
            shutil.rmtree(folder)

    copy_fixtures("package", "*.bsk", "packages")
    write("package", "made_lists_three_pages.bsk",
          package(3, 64, hw=(9, 10, 1), programs=(0x1203, 0x10A5)))
    write("package", "made_twenty_hw_versions.bsk", package(2, 300, hw=range(20)))

    copy_fixtures("ini", "*.ini", "ini")
    copy_fixtures("ini", "*.lng", "lng")
    write("ini", "made_integers.ini",
          "[Common]\r\nPortIndex=0x1F\r\nA=$ff\r\nB=-2147483648\r\nC=2147483648\r\n"
          "D=+12\r\nE=0x\r\nF= 7 \r\n")
    write("ini", "made_raw_lines.ini", "before=ignored\n[S]\nno equals here\n[a=b]\n=v\nk=\n[]\n")

    copy_fixtures("translate", "*.lng", "lng")
    write("translate", "made_utf8.lng",
          "[ru]\nОшибка CRC!=CRC\nНет ответа!=NULL\nОшибка обмена! = \n[RU]\nошибка crc!=last\n")
    write("translate", "made_cp1251.lng",
          "[ru]\r\nОбновление успешно завершено!=Готово\r\n".encode("cp1251"))

    status3 = status_payload(3, page=5, length=256)
    link("reply_ok_n0", RECEIVE_REPLY, 0x09, frame(0x09, b"\x00"))
    link("reply_ok_n6", RECEIVE_REPLY | ADDRESS6, 0x09, frame(0x09, b"\x06", address=6))
    link("reply_bad_crc", RECEIVE_REPLY, 0x09, frame(0x09, b"\x00")[:-1] + b"\x00")
    link("reply_wrong_echo", RECEIVE_REPLY, 0x08, frame(0x09, b"\x00"))
    link("reply_length_ffff", RECEIVE_REPLY, 0x01, b"\x55\x01\xff\xff" + bytes(32))
    link("reply_length_0", RECEIVE_REPLY | ADDRESS6, 0x01, b"\x55\x01\x00\x00" + bytes(8))
    link("reply_short", RECEIVE_REPLY, 0x01, frame(0x01, status3)[:9])
    link("reply_bad_start", RECEIVE_REPLY, 0x01, b"\xaa" + frame(0x01, status3)[1:])
    link("status_ok_n0", RECEIVE_STATUS, 0x01, frame(0x01, status3))
    link("status_quiet_short", RECEIVE_STATUS, 0x01, frame(0x01, status3)[:7])
    link("status_loud_short", RECEIVE_STATUS | REPORT, 0x01, frame(0x01, status3)[:7])
    link("request_status_n6", REQUEST_STATUS | ADDRESS6, 0,
         frame(0x01, status_payload(2), address=6))
    link("request_status_short_record", REQUEST_STATUS, 0, frame(0x01, b"\x03\x00"))
    link("probe_second_framing", PROBE, 0, frame(0x01, status_payload(7)))
    link("probe_first_framing", PROBE, 0, frame(0x01, status_payload(0), address=6))
    link("probe_silent", PROBE, 0, b"")

    for i, text in enumerate(["115200,n,8,1", "19200,N,8,1", " 9600 , e , 7 , 2 ",
                              "110,o,5,1.5", "4294967295,s,6,2", "4294967296,n,8,1",
                              "0,n,8,1", "115200,n,8", "115200,x,8,1", "115200,m,8,1.5,",
                              "\t57600,\tS,6,\t2\t"]):
        write("setup_string", f"made_{i:02d}", text)


if __name__ == "__main__":
    main()
