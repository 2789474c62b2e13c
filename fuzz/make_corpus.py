#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/.

The seeds are small valid inputs in each target's input layout (see the
comments at the top of the targets), so that the fuzzer starts from inputs
that get past the first checks. Run it again after changing a layout;
reproducers of fixed faults live beside the seeds under names starting
with "regression-" and are kept.
"""

import hashlib
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")

# Wire commands and client flags.
HANDSHAKE, READ, WRITE, CLOSE, HASH, HOLE_PUNCH, AUTHENTICATE, ACKNOWLEDGE, HASH_HANDSHAKE = range(1, 10)
ACK, SESSION = 0x04, 0x08


def write(target, name, data):
    directory = os.path.join(ROOT, target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


# ---- handler targets: setup byte, then (control, u16 LE length, message) ----

def front(command, offset=0, length=0):
    return struct.pack(">B3xIqq8x", command, 0, offset, length)


def record(message, control=0):
    return struct.pack("<BH", control, len(message)) + message


def data_request(command, offset, length, payload=b""):
    return front(command, offset, length)[:24] + payload + b"\0" * max(0, 8 - len(payload))


def sequence(setup, *messages):
    return bytes([setup]) + b"".join(record(m) for m in messages)


def handler_seeds():
    payload = bytes(range(256)) * 40  # 10240 bytes
    common = [
        data_request(WRITE, 100, 10, payload[:10]),
        front(READ, 0, 4096),
        front(HASH, 4096, 8192),
        front(HOLE_PUNCH, 8192, 4096),
        front(ACKNOWLEDGE),
    ]
    write("handler_direct_fuzzer", "acknowledged", sequence(ACK | SESSION, *common, front(CLOSE)))
    write("handler_direct_fuzzer", "plain", sequence(0, front(READ, 69000, 1000), front(HASH, 0, 70000),
                                                        data_request(WRITE, 0, 5, b"hello")))
    write("handler_direct_fuzzer", "password", sequence(0x10 | ACK, *common))
    write("handler_direct_fuzzer", "unauthenticated", sequence(0x30, front(READ, 0, 16)))
    write("handler_direct_fuzzer", "rehandshake",
          sequence(ACK, front(READ, 0, 16),
                   struct.pack(">B3xIQQ", HANDSHAKE, 0, ACK, 4) + b"disk", front(READ, 16, 16)))
    write("handler_direct_fuzzer", "short-and-null",
          bytes([ACK]) + record(b"\x02\0\0") + record(b"") + record(front(READ, 0, 8)))

    block = [
        data_request(WRITE, 0, 8192, payload[:8192]),
        front(READ, 4000, 200),
        front(HASH, 0, 8192),
        data_request(WRITE, 6000, 3000, payload[:3000]),
        front(HOLE_PUNCH, 12288, 4096),
        front(HASH, 0, 70000),
        front(ACKNOWLEDGE),
        front(HASH, 0, 70000),
    ]
    write("handler_block_hashing_fuzzer", "mixed", sequence(SESSION, *block, front(CLOSE)))
    write("handler_block_hashing_fuzzer", "partition-4096", sequence(0x40 | SESSION, *block))
    write("handler_block_hashing_fuzzer", "partition-512", sequence(0x80, *block[:4]))
    # Partition offsets at and past the edges of the image and of 64 bits.
    edge = [data_request(WRITE, 0, 8192, payload[:8192]), front(READ, 0, 8192), front(HASH, 69999, 1),
            front(HOLE_PUNCH, 60000, 10000), front(ACKNOWLEDGE), front(HASH, 0, 70000),
            data_request(WRITE, 69990, 10, payload[:10]), front(CLOSE)]
    for name, offset in [("negative", -4096), ("image-size", 70000), ("unaligned", 4095), ("max", (1 << 63) - 1),
                         ("min", -(1 << 63))]:
        write("handler_block_hashing_fuzzer", "partition-" + name,
              bytes([0xC0 | SESSION]) + struct.pack("<q", offset) + b"".join(record(m) for m in edge))
    # Hashes stored, then a second handshake without the hash handshake
    # changes the same blocks directly.
    write("handler_block_hashing_fuzzer", "rehandshake-direct",
          sequence(SESSION, data_request(WRITE, 0, 8192, payload[:8192]), front(ACKNOWLEDGE), front(HASH, 0, 8192),
                   struct.pack(">B3xIQQ", HANDSHAKE, 0, ACK, 4) + b"disk",
                   data_request(WRITE, 4096, 100, payload[:100]), front(HOLE_PUNCH, 0, 4096),
                   front(ACKNOWLEDGE)))
    write("handler_block_hashing_fuzzer", "tail",
          sequence(0, data_request(WRITE, 69000, 1000, payload[:1000]), front(HASH, 65536, 4464),
                   front(READ, 65536, 4464)))


# ---- administration commands ----

def admin_seeds():
    def padded(message):
        return message + b"\0" * max(0, 32 - len(message))

    def add_target(name, secret=b""):
        return padded(struct.pack(">B7xQQ", 0, len(name), len(secret)) + name + secret)
    write("admin_command_fuzzer", "add-target", add_target(b"disk"))
    write("admin_command_fuzzer", "add-target-secret", add_target(b"existing", b"secret"))
    write("admin_command_fuzzer", "remove-target", padded(struct.pack(">B7xQ", 1, 8) + b"existing"))
    path = b"/srv/images/a.img"
    write("admin_command_fuzzer", "add-lun",
          struct.pack(">B7xB7xQQ", 2, 3, 8, len(path)) + b"existing" + path)
    write("admin_command_fuzzer", "remove-lun", struct.pack(">B7xB7xQ", 3, 1, 8) + b"existing")
    write("admin_command_fuzzer", "configuration", struct.pack(">B7xB23x", 5, 1))


# ---- configuration text ----

def config_seeds():
    write("config_loads_fuzzer", "plain", b"""[config]
address = 127.0.0.1
port = 3263
transport = tcp
encryption = none
compression = none
keep_alive_timeout = 0x10


[disk]
password = secret
lun0 = /srv/a.img
lun007 = /srv/b.img
""")
    write("config_loads_fuzzer", "keys", b"""[CONFIG]
port = 70000
transport = tls
tls_key_file = /k
encryption = xsalsa20
public_key = AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=
secret_key = AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=
[zeta]
lun255 = /x
[Alpha]
LUN1 = /y
""")
    write("config_loads_fuzzer", "bom-and-comments", b"\xef\xbb\xbf; comment\n[config]\nport=3263abc\n[t]\nlun1=\n")


# ---- hash file: u16 LE image size, then the file ----

PAGE = 4096


def hash_file(target_size, block_size=4096, partition_offset=0, valid=()):
    header = struct.pack("<QQQIIQqII", 0x20001312, 0, PAGE, block_size, 0, target_size, partition_offset, 1, 0)
    blocks = (target_size + block_size - 1) // block_size
    zero_hash = hashlib.blake2b(b"\0" * block_size, digest_size=32).digest()
    entries = b"".join((b"\x01" + zero_hash) if i in valid else b"\0" * 33 for i in range(blocks))
    data_size = (len(entries) + PAGE - 1) // PAGE * PAGE
    return header + b"\0" * (PAGE - len(header)) + entries + b"\0" * (data_size - len(entries))


def hash_store_seeds():
    write("hash_store_open_fuzzer", "valid", struct.pack("<H", 10000) + hash_file(10000, valid={0, 1}))
    write("hash_store_open_fuzzer", "grow", struct.pack("<H", 60000) + hash_file(10000))
    write("hash_store_open_fuzzer", "shrink", struct.pack("<H", 5000) + hash_file(60000, valid={0, 3}))
    write("hash_store_open_fuzzer", "partition", struct.pack("<H", 9000) +
          hash_file(9000, block_size=512, partition_offset=4096, valid={1, 2}))
    write("hash_store_open_fuzzer", "header-only", struct.pack("<H", 100) + hash_file(100)[:56])


# ---- journal: failing repair number, then the file ----

def journal(entries):
    return struct.pack("<QQII", 0x20001313, 1, len(entries), 0) + b"".join(struct.pack("<qq", *e) for e in entries)


def journal_seeds():
    write("journal_open_fuzzer", "empty", b"\0" + journal([]))
    write("journal_open_fuzzer", "two-ranges", b"\0" + journal([(0, 4096), (8192, 4096)]))
    write("journal_open_fuzzer", "second-repair-fails", b"\x02" + journal([(0, 4096), (8192, 4096)]))
    write("journal_open_fuzzer", "too-many", b"\0" + struct.pack("<QQII", 0x20001313, 1, 6401, 0))


def main():
    handler_seeds()
    admin_seeds()
    config_seeds()
    hash_store_seeds()
    journal_seeds()
    client_seeds()


# ---- client: setup byte, then replies and operations in the order used ----

def reply(message, stamp=True):
    return struct.pack("<BH", 1 if stamp else 0, len(message)) + message


def handshake_reply(features, size=1 << 20):
    return struct.pack(">B7xB3xIQII", HANDSHAKE, 1, 0x1234, size, 0x00A50401, features)


def read_reply(offset, data):
    return struct.pack(">B7xqqB7x", READ, offset, len(data), 1) + data


def hash_reply(offset, length, digest=b"\x5a" * 32):
    return struct.pack(">B7xqq", HASH, offset, length) + digest + b"\0" * 8


def acknowledge_reply(records):
    body = b"".join(struct.pack(">qqB", o, l, s) for o, l, s in records)
    failures = sum(1 for r in records if r[2] != 1)
    return struct.pack(">B7xQQ", ACKNOWLEDGE, len(records), failures) + body + b"\0" * 8


def client_seeds():
    close_reply = reply(struct.pack(">B7xB23x", CLOSE, 1))
    write("client_response_fuzzer", "direct",
          bytes([ACK | SESSION]) + reply(handshake_reply(0x0F))
          + b"\x00" + b"\x00" + struct.pack("<H", 4096) + reply(read_reply(0, b"\x07" * 4096))
          + b"\x01" + struct.pack("<H", 100)
          + b"\x04" + reply(acknowledge_reply([(4096, 100, 1)]))
          + b"\x05" + b"\x00" + struct.pack("<H", 4096) + reply(hash_reply(4196, 4096))
          + b"\x02" + b"\x00" + struct.pack("<H", 512) + reply(struct.pack(">B7xqqB7x", HOLE_PUNCH, 0, 512, 1))
          + b"\x09" + close_reply)
    hash_handshake = reply(struct.pack(">B7xQI12x", HASH_HANDSHAKE, 4096, 1))
    write("client_response_fuzzer", "block-hashing",
          bytes([ACK | SESSION | 0x01]) + reply(handshake_reply(0x1F)) + hash_handshake
          + b"\x06" + b"\x02" + struct.pack("<HH", 0, 4096) + struct.pack("<HH", 8, 8192)
          + reply(hash_reply(0, 4096)) + reply(hash_reply(4096, 8192))
          + b"\x03" + struct.pack("<H", 4096) + reply(hash_reply(0, 4096))
          + b"\x01" + struct.pack("<H", 4096) + reply(hash_reply(0, 4096))
          + b"\x08" + struct.pack("<H", 10000)
          + b"\x07" + struct.pack("<q", 0) + b"\x02"
          + b"\x04" + reply(acknowledge_reply([(0, 4096, 1), (4096, 10, 5)]))
          + b"\x09" + close_reply)
    write("client_response_fuzzer", "password",
          bytes([0x10 | SESSION]) + reply(handshake_reply(0x0F))
          + reply(struct.pack(">B7xIB19x", AUTHENTICATE, 0x1234, 1))
          + b"\x00" + b"\x00" + struct.pack("<H", 64) + reply(read_reply(0, b"\x01" * 64)))
    write("client_response_fuzzer", "refused", bytes([0]) + reply(struct.pack(">B7xB23x", HANDSHAKE, 3)))


if __name__ == "__main__":
    main()
