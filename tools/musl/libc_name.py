"""libc_name.py <wheel> <arch> <patchelf>: zig links the module against musl's C
library under the name libc.so; a musl system's is libc.musl-<arch>.so.1, the
name auditwheel's musllinux policy and Alpine know. Renamed in place, with
the wheel's RECORD made anew for the changed file."""

import base64
import hashlib
import pathlib
import shutil
import subprocess
import sys
import tempfile
import zipfile

wheel, arch, patchelf = pathlib.Path(sys.argv[1]), sys.argv[2], sys.argv[3]
root = pathlib.Path(tempfile.mkdtemp())
with zipfile.ZipFile(wheel) as z:
    z.extractall(root)
    names = z.namelist()
for so in root.glob("velmora/ext*.so"):
    subprocess.run([patchelf, "--replace-needed", "libc.so", f"libc.musl-{arch}.so.1", str(so)], check=True)
record = next(n for n in names if n.endswith(".dist-info/RECORD"))


def entry(name):
    if name == record:
        return f"{name},,"
    data = (root / name).read_bytes()
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


(root / record).write_text("\n".join(entry(n) for n in names) + "\n")
with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as z:
    for n in names:
        z.write(root / n, n)
shutil.rmtree(root)
