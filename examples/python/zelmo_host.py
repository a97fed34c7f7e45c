#!/usr/bin/env python3
"""A Python host of Zelmo through ctypes: one call of each family.

    python3 zelmo_host.py [LIBRARY]

LIBRARY defaults to $ZELMO_LIBRARY, then to libzelmo.so.1 (Zelmo.dll on
Windows). Exits 0 when every result is the expected one, 1 otherwise.
"""
import ctypes
import http.server
import os
import sys
import tempfile
import threading
from ctypes import (POINTER, Structure, byref, c_bool, c_char_p, c_int, c_uint,
                    c_uint32, c_void_p, create_string_buffer)


class HttpResponseBuffer(Structure):
    """The caller's response record; every buffer in it belongs to us."""
    _fields_ = [
        ("buffer", c_void_p), ("capacity", c_uint), ("length", c_uint),
        ("errorCode", c_int), ("filePath", c_char_p), ("file", c_void_p),
        ("rawBuffer", c_void_p), ("rawCapacity", c_uint), ("rawLength", c_uint),
    ]


def load(path):
    """Returns the library twice: for its stdcall exports and its cdecl ones.
    They differ only on 32-bit Windows."""
    if os.name == "nt":
        return ctypes.WinDLL(path), ctypes.CDLL(path)
    lib = ctypes.CDLL(path)
    return lib, lib


def declare(lib, name, restype, *argtypes):
    function = getattr(lib, name)
    function.restype = restype
    function.argtypes = argtypes
    return function


class Host:
    def __init__(self, path):
        std, cdecl = load(path)
        self.Base64Encode = declare(std, "Base64Encode", c_int, c_char_p, c_char_p, c_int)
        self.MD5String = declare(std, "MD5String", c_int, c_char_p, c_int, c_char_p, c_uint)
        self.Encode = declare(std, "Encode", c_int, c_char_p, c_char_p, c_char_p, c_uint)
        self.Decode = declare(std, "Decode", c_int, c_char_p, c_char_p, c_char_p, c_uint)
        self.HttpRequest_SYNC = declare(std, "HttpRequest_SYNC", c_int, c_char_p, c_char_p,
                                        POINTER(HttpResponseBuffer), c_int, c_char_p, c_char_p)
        self.GetCacheFilePath = declare(std, "GetCacheFilePath", c_bool, c_char_p, c_char_p,
                                        POINTER(c_uint), c_char_p, POINTER(c_uint))
        self.GetProfileValue = declare(std, "GetProfileValue", c_int, c_char_p, c_char_p,
                                       c_char_p, c_char_p, c_uint, c_char_p)
        self.SetProfileValue = declare(std, "SetProfileValue", c_bool, c_char_p, c_char_p,
                                       c_char_p, c_char_p, c_uint32)
        self.GetLocalHostName = declare(std, "GetLocalHostName", c_int, c_char_p, c_int)
        # cdecl with a variable argument list: only the fixed part is declared.
        self.EventLogInformation = declare(cdecl, "EventLogInformation", c_int, c_char_p, c_char_p)
        self.PszToBstr = declare(std, "PszToBstr", c_void_p, c_char_p, c_uint)
        self.PszFromBstr = declare(std, "PszFromBstr", c_void_p, c_void_p, c_uint)
        # What the two conversions return is released as on Windows; elsewhere
        # the library itself provides the two functions.
        if os.name == "nt":
            release_bstr, release_local = ctypes.windll.oleaut32, ctypes.windll.kernel32
        else:
            release_bstr = release_local = std
        self.SysFreeString = declare(release_bstr, "SysFreeString", None, c_void_p)
        self.LocalFree = declare(release_local, "LocalFree", c_void_p, c_void_p)


class EchoHandler(http.server.BaseHTTPRequestHandler):
    """Answers a POST with 200 and the posted text behind "echo: "."""

    def do_POST(self):
        body = b"echo: " + self.rfile.read(int(self.headers.get("Content-Length", 0)))
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def main():
    path = (sys.argv[1] if len(sys.argv) > 1 else os.environ.get("ZELMO_LIBRARY")
            or ("Zelmo.dll" if os.name == "nt" else "libzelmo.so.1"))
    z = Host(path)
    failures = 0

    def expect(ok, what, detail=""):
        nonlocal failures
        print(f"{what:<28} {'ok' if ok else 'FAILED'} {detail}")
        failures += not ok

    # Base64: the caller sizes the output, 4 * ceil(len / 3) + 1 bytes.
    out = create_string_buffer(4 * ((5 + 2) // 3) + 1)
    n = z.Base64Encode(out, b"Zelmo", 5)
    expect(n == 8 and out.value == b"WmVsbW8=", "Base64Encode", out.value.decode())

    digest = create_string_buffer(33)
    n = z.MD5String(b"abc", 3, digest, len(digest))
    expect(n == 32 and digest.value == b"900150983cd24fb0d6963f7d28e17f72", "MD5String")

    cipher, plain = create_string_buffer(128), create_string_buffer(128)
    n = z.Encode(b"from Python", b"secret", cipher, len(cipher))
    m = z.Decode(cipher.value, b"secret", plain, len(plain))
    expect(n > 0 and m == 11 and plain.value == b"from Python", "Encode/Decode", cipher.value.decode())

    # HTTP: a POST to a server of our own on the loopback interface.
    os.environ["NO_PROXY"] = "127.0.0.1"
    try:
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), EchoHandler)
    except OSError as error:
        print(f"{'HttpRequest_SYNC':<28} skipped (no loopback server: {error})")
    else:
        threading.Thread(target=server.serve_forever, daemon=True).start()
        body = create_string_buffer(256)
        response = HttpResponseBuffer(buffer=ctypes.cast(body, c_void_p), capacity=len(body))
        url = f"http://127.0.0.1:{server.server_address[1]}/echo".encode()
        ok = z.HttpRequest_SYNC(url, b"hello", byref(response), 10, None, None)
        expect(ok == 1 and body.value == b"echo: hello" and response.length == 11,
               "HttpRequest_SYNC", body.value.decode(errors="replace"))
        server.shutdown()

    body_path, header_path = create_string_buffer(512), create_string_buffer(512)
    body_size, header_size = c_uint(len(body_path)), c_uint(len(header_path))
    z.GetCacheFilePath(b"http://example.invalid/a", body_path, byref(body_size),
                       header_path, byref(header_size))
    expect(body_size.value == len(body_path.value) > 32 and header_path.value == body_path.value + b"h",
           "GetCacheFilePath", body_path.value.decode(errors="replace"))

    with tempfile.TemporaryDirectory() as directory:
        profile = os.path.join(directory, "host.ini").encode()
        stored = z.SetProfileValue(b"python", b"answer", profile, b"42", 0)
        value = create_string_buffer(16)
        n = z.GetProfileValue(b"python", b"answer", profile, value, len(value), b"none")
        expect(stored and n == 2 and value.value == b"42", "Set/GetProfileValue")

    name = create_string_buffer(256)
    expect(z.GetLocalHostName(name, len(name)) == 1 and name.value != b"", "GetLocalHostName",
           name.value.decode(errors="replace"))

    # 0 tells that no event could be sent (on Linux: no syslog socket).
    result = z.EventLogInformation(b"zelmo-example", b"%s", b"hello from Python")
    print(f"{'EventLogInformation':<28} {result} ({'sent' if result else 'no event log here'})")

    text = "Grüße".encode("utf-8")
    bstr = z.PszToBstr(text, 65001)
    narrow = z.PszFromBstr(bstr, 65001) if bstr else None
    expect(narrow is not None and ctypes.string_at(narrow) == text, "PszToBstr/PszFromBstr")
    if narrow:
        z.LocalFree(narrow)
    if bstr:
        z.SysFreeString(bstr)

    return 0 if failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
