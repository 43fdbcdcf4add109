#!/usr/bin/env python3
"""Writes the seed corpora of fuzz_r3410_keys and fuzz_ecgost_keys: a few valid
encodings of each key codec, built here from the public domain parameters so
the seeds do not depend on the code they feed."""
import os

HERE = os.path.dirname(os.path.abspath(__file__))


def length(n):
    if n < 0x80:
        return bytes([n])
    b = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(b)]) + b


def tlv(tag, content):
    return bytes([tag]) + length(len(content)) + content


def integer(v):
    b = v.to_bytes(v.bit_length() // 8 + 1, "big")
    return tlv(0x02, b)


def seq(*parts):
    return tlv(0x30, b"".join(parts))


def oid(text):
    arcs = [int(a) for a in text.split(".")]
    out = bytes([40 * arcs[0] + arcs[1]])
    for a in arcs[2:]:
        chunk = [a & 0x7F]
        a >>= 7
        while a:
            chunk.append(0x80 | (a & 0x7F))
            a >>= 7
        out += bytes(reversed(chunk))
    return tlv(0x06, out)


NULL = b"\x05\x00"
R3410_OID = oid("1.3.6.1.4.1.6173.1.1.5")
ECR3410_OID = oid("1.3.6.1.4.1.6173.1.6.2")

P94 = int(
    "d4fbc40b6822666ef1aabd740ffbdbd3c6f83c65080135a0dad4cf1e6959b23efca3b04dbdc0597312db6db892b2ad33"
    "e56a9380947ef42227ebc7c53b016a64cb1666a2b4ad53edef0b8c7651622a957038cae55a78b31a037c52d5bd190d8d"
    "db8903455001cba30cf1113c0b79b5bdefc92001685832f4f6257f94ad555211", 16)
Q94 = int("920b7b8a3f1f6f5195bcb0ab5c83850ee7c088461d8b5daf27308183dac5c6eb", 16)
A94 = int(
    "cc4824a3ef62787c6740c25cbb4b0fe0c39c017fcdf9548c00be62523b3b10b90163d3cdaefbe4feb05cc27586d2b336"
    "a6aadbccbdc6305c3fe87fa4724e5d04a3c935ad096b555a5de2e6c75ee02e4dc2877add758f96eb4a5c30aa75cdfbdf"
    "e1e3ce3743ca7242bc82e78411f4cf2e0e82a827cad26002bf8b2b7353c594da", 16)

CURVES = {
    "p256": dict(
        p=0xFFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFF,
        a=0xFFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFC,
        b=0x5AC635D8AA3A93E7B3EBBD55769886BC651D06B0CC53B0F63BCE3C3E27D2604B,
        g=(0x6B17D1F2E12C4247F8BCE6E563A440F277037D812DEB33A0F4A13945D898C296,
           0x4FE342E2FE1A7F9B8EE7EB4A7C0F9E162BCE33576B315ECECBB6406837BF51F5),
        q=0xFFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551),
    "test": dict(
        p=0x8000000000000000000000000000000000000000000000000000000000000431,
        a=7,
        b=0x5FBFF498AA938CE739B8E022FBAFEF40563F6E6A3472FC2A514C0CE9DAE23B7E,
        g=(2, 0x08E2A8A0E65147D4BD6316030E16D19C85C97F0A9CA267122B96ABBCEA7E8FC8),
        q=0x8000000000000000000000000000000150FE8A1892976154C59CFC193ACCF5B3),
}


def ec_add(c, P, Q):
    p = c["p"]
    if P is None:
        return Q
    if Q is None:
        return P
    if P[0] == Q[0] and (P[1] + Q[1]) % p == 0:
        return None
    if P == Q:
        lam = (3 * P[0] * P[0] + c["a"]) * pow(2 * P[1], -1, p) % p
    else:
        lam = (Q[1] - P[1]) * pow(Q[0] - P[0], -1, p) % p
    x = (lam * lam - P[0] - Q[0]) % p
    return (x, (lam * (P[0] - x) - P[1]) % p)


def ec_mul(c, k, P):
    R = None
    while k:
        if k & 1:
            R = ec_add(c, R, P)
        P = ec_add(c, P, P)
        k >>= 1
    return R


def point(c, P, compressed=False):
    n = (c["p"].bit_length() + 7) // 8
    if compressed:
        return bytes([2 | (P[1] & 1)]) + P[0].to_bytes(n, "big")
    return b"\x04" + P[0].to_bytes(n, "big") + P[1].to_bytes(n, "big")


def explicit(c, compressed=False):
    return seq(integer(1), seq(oid("1.2.840.10045.1.1"), integer(c["p"])), seq(integer(c["a"]), integer(c["b"])),
               tlv(0x04, point(c, c["g"], compressed)), integer(c["q"]), integer(1))


def write(name, files):
    d = os.path.join(HERE, "corpus", name)
    os.makedirs(d, exist_ok=True)
    for fname, data in files.items():
        with open(os.path.join(d, fname), "wb") as f:
            f.write(data)


x94 = 0x1234567890ABCDEF1234567890ABCDEF1234567890ABCDEF1234567890ABCDEF % Q94
y94 = pow(A94, x94, P94)
domain = integer(P94) + integer(Q94) + integer(A94)
write("fuzz_r3410_keys", {
    "params_null": seq(domain, NULL),
    "params_generation": seq(domain, seq(integer(0x1234), integer(0x8765))),
    "public_sequence": seq(integer(y94), domain),
    "public_bare": integer(y94),
    "private_plain": seq(integer(0), domain, integer(y94), integer(x94)),
    "private_protected": seq(integer(0), domain, integer(y94), seq(integer(P94 - 5), integer(0xDEADBEEF))),
    "spki": seq(seq(R3410_OID, seq(domain, NULL)), tlv(0x03, b"\x00" + seq(integer(y94), domain))),
    "spki_no_params": seq(seq(R3410_OID), tlv(0x03, b"\x00" + integer(y94))),
    "generation_values": seq(integer(0xBEEF), integer(7)),
})

ec = {}
for cname, c in CURVES.items():
    d = 0x1D0F2C3B4A5968778695A4B3C2D1E0F00F1E2D3C4B5A69788796A5B4C3D2E1F0 % c["q"]
    Q = ec_mul(c, d, c["g"])
    params = oid("1.2.840.10045.3.1.7") if cname == "p256" else explicit(c)
    ec[f"params_{cname}"] = params
    ec[f"explicit_{cname}_compressed"] = explicit(c, True)
    ec[f"public_{cname}"] = tlv(0x04, point(c, Q))
    ec[f"private_{cname}"] = seq(integer(1), params, tlv(0x04, point(c, Q)), integer(d))
    # One flag says how both the base and the public point are encoded.
    cparams = params if cname == "p256" else explicit(c, True)
    ec[f"private_{cname}_protected"] = seq(integer(1), cparams, tlv(0x04, point(c, Q, True)),
                                           seq(integer(d ^ 0x5555), integer(77)))
    ec[f"spki_{cname}"] = seq(seq(ECR3410_OID, params), tlv(0x03, b"\x00" + tlv(0x04, point(c, Q))))
ec["params_inherited"] = NULL
ec["fieldid"] = seq(oid("1.2.840.10045.1.1"), integer(CURVES["test"]["p"]))
ec["curve_with_seed"] = seq(integer(7), integer(CURVES["test"]["b"]), tlv(0x03, b"\x00\xc4\x9d\x36\x08"))
write("fuzz_ecgost_keys", ec)
