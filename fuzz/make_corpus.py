#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/:
small valid inputs of each format (coded audio made by the ffmpeg tool).
Run from anywhere; the files are committed, so this is needed only to
remake them."""
import os
import struct
import subprocess
import tempfile

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def put(target, name, data):
    d = os.path.join(ROOT, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def rtp(pt=8, seq=1, ts=160, ssrc=0x1234, payload=b"\xd5" * 160, marker=0, csrc=(), ext=None, pad=0):
    b0 = 0x80 | (0x20 if pad else 0) | (0x10 if ext is not None else 0) | len(csrc)
    out = struct.pack("!BBHII", b0, (marker << 7) | pt, seq, ts, ssrc)
    out += b"".join(struct.pack("!I", c) for c in csrc)
    if ext is not None:
        out += struct.pack("!HH", 0xBEDE, len(ext) // 4) + ext
    out += payload
    if pad:
        out += b"\0" * (pad - 1) + bytes([pad])
    return out


def rtcp_sr(ssrc=0x1234):
    body = struct.pack("!IIIIII", ssrc, 0xE5000000, 0x80000000, 160, 10, 1600)
    return struct.pack("!BBH", 0x80, 200, len(body) // 4) + body


def rtcp_sdes(ssrc=0x1234):
    item = b"\x01\x05host1\x00\x00"
    body = struct.pack("!I", ssrc) + item
    return struct.pack("!BBH", 0x81, 202, len(body) // 4) + body


def rtcp_rr(ssrc=0x1234):
    body = struct.pack("!I", ssrc) + struct.pack("!IIIIII", 0x5678, 0, 1, 0, 0, 0)
    return struct.pack("!BBH", 0x81, 201, len(body) // 4) + body


def sdp(m, *maps):
    return ("v=0\r\no=- 0 0 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 239.1.1.1\r\nt=0 0\r\n"
            + "m=audio 5004 RTP/AVP %s\r\n" % m + "".join("a=%s\r\n" % a for a in maps)).encode()


def wav(samples=b"\0\1" * 32, extra=b"", rate=8000):
    fmt = struct.pack("<HHIIHH", 1, 1, rate, rate * 2, 2, 16)
    body = b"WAVE" + b"fmt " + struct.pack("<I", 16) + fmt + extra + b"data" + struct.pack("<I", len(samples)) + samples
    return b"RIFF" + struct.pack("<I", len(body)) + body


def frame(message):
    return struct.pack("!I", len(message)) + message


def relay(is_rtcp, packet):
    return bytes([1 if is_rtcp else 0]) + struct.pack("!I", len(packet)) + packet


def cbor(v):
    def head(major, n):
        if n < 24:
            return bytes([major << 5 | n])
        for bits, code in ((8, 24), (16, 25), (32, 26), (64, 27)):
            if n < 1 << bits:
                return bytes([major << 5 | code]) + n.to_bytes(bits // 8, "big")
    if isinstance(v, bool):
        return b"\xf5" if v else b"\xf4"
    if isinstance(v, int):
        return head(0, v) if v >= 0 else head(1, -1 - v)
    if isinstance(v, bytes):
        return head(2, len(v)) + v
    if isinstance(v, str):
        return head(3, len(v.encode())) + v.encode()
    if isinstance(v, list):
        return head(4, len(v)) + b"".join(cbor(x) for x in v)
    return head(5, len(v)) + b"".join(cbor(k) + cbor(x) for k, x in v.items())


def ffmpeg(args):
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "out")
        subprocess.run(["ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin", "-y", "-f", "lavfi",
                        "-i", "sine=f=440:r=48000:d=0.12"] + args + [path], check=True)
        with open(path, "rb") as f:
            return f.read()


def packets(kind, variant, stream, size_byte):
    """Decoder input: kind, variant, then payloads of size_byte*8+1 bytes."""
    out = bytes([kind, variant])
    step = size_byte * 8 + 1
    for pos in range(0, len(stream), step):
        out += bytes([size_byte]) + stream[pos:pos + step]
    return out


def main():
    pcma = rtp()
    put("fuzz_rtp", "rtp_pcma", pcma)
    put("fuzz_rtp", "rtp_csrc_ext_pad", rtp(pt=14, marker=1, csrc=(1, 2), ext=b"\x10\xaa\0\0", payload=b"\0" * 16, pad=4))
    put("fuzz_rtp", "rtcp_sr_sdes", rtcp_sr() + rtcp_sdes())
    put("fuzz_rtp", "rtcp_rr_sdes", rtcp_rr() + rtcp_sdes())

    sdps = {
        "pcma": sdp("8", "rtpmap:8 PCMA/8000"),
        "g726": sdp("2", "rtpmap:2 G726-32/8000"),
        "mpa": sdp("14", "rtpmap:14 MPA/90000"),
        "aac": sdp("96 8", "rtpmap:96 mpeg4-generic/48000/2",
                   "fmtp:96 streamtype=5; profile-level-id=15; mode=AAC-hbr; config=1190; SizeLength=13",
                   "rtpmap:8 PCMA/8000"),
        "ac3": sdp("97", "rtpmap:97 AC3/48000"),
    }
    for name, text in sdps.items():
        put("fuzz_sdp", name, text)
    put("fuzz_unit_payload", "aac_sdp_text", b"\x80" + bytes([len(sdps["aac"]) & 0xFF]) + sdps["aac"] + b"\0\x10\x00\x08" + b"\x21" * 8)
    put("fuzz_unit_payload", "mpa", b"\x01" + b"\0\0\0\0" + b"\xff\xfb\x90\x00" + b"\0" * 60)
    put("fuzz_unit_payload", "pcma", b"\x00" + b"\xd5" * 40)

    put("fuzz_wav", "canonical", wav())
    put("fuzz_wav", "list_chunk_odd", wav(extra=b"LIST" + struct.pack("<I", 5) + b"INFOx\0"))
    put("fuzz_wav", "short_data", wav()[:-20])
    put("fuzz_wav", "tone_48k_odd_size", wav(samples=b"\x10\x20" * 700 + b"\x01", rate=48000))

    sr, sdes = rtcp_sr(), rtcp_sdes()
    put("fuzz_framing", "relay_rtp_rtcp", b"\x03" + frame(relay(False, pcma)) + frame(relay(True, sr + sdes)))
    put("fuzz_framing", "relay_bytewise", b"\x00" + frame(relay(False, pcma)) + frame(b"") + frame(b"\0\xff\xff\xff\xff"))
    put("fuzz_framing", "oversize", b"\x05" + frame(relay(False, pcma)) + struct.pack("!I", 0x00200000))

    put("fuzz_decrypt", "roundtrip", b"\x01" + pcma)
    put("fuzz_decrypt", "not_a_layer", b"\x00" + pcma)
    put("fuzz_decrypt", "bad_layer", b"KVXL\x01" + bytes(range(80)))

    g726 = ffmpeg(["-ar", "8000", "-ac", "1", "-c:a", "g726", "-b:a", "32k", "-f", "g726"])
    mp2 = ffmpeg(["-ar", "48000", "-ac", "1", "-c:a", "mp2", "-b:a", "64k", "-f", "mp2"])
    mp3 = ffmpeg(["-ar", "48000", "-ac", "2", "-c:a", "libmp3lame", "-b:a", "64k", "-f", "mp3"])
    aac = ffmpeg(["-ar", "48000", "-ac", "1", "-c:a", "aac", "-b:a", "48k", "-f", "adts"])
    g726aac = ffmpeg(["-ar", "8000", "-ac", "1", "-c:a", "aac", "-b:a", "16k", "-f", "adts"])
    put("fuzz_decoder", "g726_32", packets(0, 2, g726[:800], 9))
    put("fuzz_decoder", "mp2", packets(1, 0, mp2[:1200], 31))
    put("fuzz_decoder", "mp3", packets(1, 0, mp3[:1200], 40))
    put("fuzz_decoder", "aac_adts", packets(2, 0, aac[:1200], 20))
    put("fuzz_decoder", "g726_in_adts", packets(3, 0, g726aac[:600], 12))

    hello = {"v": 1, "t": "hello", "token": b"secret"}
    unit = {"v": 1, "t": "unit", "id": 7, "stream": "cam1", "ts": 0xE500000080000000, "rtype": 1,
            "begin": 1, "end": 2, "sdp": sdps["pcma"].decode(), "data": b"\xd5" * 32, "sealed": True}
    listing = {"v": 1, "t": "list", "id": 3, "streams": [
        {"name": "cam1", "detail": "d", "codec": "PCMA", "begin": 1, "end": 2, "units": 5, "sealed": False}]}
    err = {"v": 1, "t": "error", "id": 0, "text": "refused"}
    for name, m in (("hello", hello), ("unit", unit), ("list", listing), ("error", err)):
        put("fuzz_unit_protocol", name, cbor(m))
    put("fuzz_unit_protocol", "framed_pair", frame(cbor(hello)) + frame(cbor({"v": 1, "t": "info", "id": 1,
        "stream": "cam1", "ts": 0, "rtype": 0, "begin": 0, "end": 0})))


if __name__ == "__main__":
    main()
