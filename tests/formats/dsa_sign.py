#!/usr/bin/env python3
"""Independent signer for the tests: dsa_sign.py KEYFILE FILE...

Prints, one line per FILE, the signature text the updater accepts for the
file's bytes: SHA-0 of the bytes, z = h0 + h1*2^32 + ... + h4*2^128, DSA with
the key file's p, q, g, x; r and s as 20 little-endian bytes each, in hex.
Uses only the standard library and shares no code with the program.
"""
import secrets
import struct
import sys


def sha0_words(data):
    h = [0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0]
    padded = data + b"\x80" + b"\x00" * ((55 - len(data)) % 64) + struct.pack(">Q", 8 * len(data))
    mask = 0xFFFFFFFF
    rotl = lambda x, n: ((x << n) | (x >> (32 - n))) & mask
    for at in range(0, len(padded), 64):
        w = list(struct.unpack(">16I", padded[at:at + 64]))
        for t in range(16, 80):
            w.append(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16])  # no rotation: SHA-0
        a, b, c, d, e = h
        for t in range(80):
            if t < 20:
                f, k = (b & c) | (~b & d), 0x5A827999
            elif t < 40:
                f, k = b ^ c ^ d, 0x6ED9EBA1
            elif t < 60:
                f, k = (b & c) | (b & d) | (c & d), 0x8F1BBCDC
            else:
                f, k = b ^ c ^ d, 0xCA62C1D6
            a, b, c, d, e = (rotl(a, 5) + f + e + k + w[t]) & mask, a, rotl(b, 30), c, d
        h = [(x + y) & mask for x, y in zip(h, [a, b, c, d, e])]
    return h


def sign(key, data):
    p, q, g, x = key["p"], key["q"], key["g"], key["x"]
    z = sum(word << (32 * i) for i, word in enumerate(sha0_words(data)))
    while True:
        k = secrets.randbelow(q - 1) + 1
        r = pow(g, k, p) % q
        s = pow(k, -1, q) * (z + x * r) % q
        if r and s:
            return (r.to_bytes(20, "little") + s.to_bytes(20, "little")).hex()


def main():
    key = {}
    with open(sys.argv[1]) as f:
        for line in f:
            name, _, value = line.strip().partition("=")
            if value:
                key[name] = int(value, 16)
    for path in sys.argv[2:]:
        with open(path, "rb") as f:
            print(sign(key, f.read()))


if __name__ == "__main__":
    main()
