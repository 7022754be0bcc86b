#!/usr/bin/env python3
"""Writes a release zip that two builds of one commit make byte for byte alike: entries in a fixed
order, every time stamp at SOURCE_DATE_EPOCH (UTC), fixed permissions, no owner ids, no extra
fields. The files sit at the top of the zip, in no folder, so that they land in the folder the
administrator unpacks them into, the one the service will run from. Beside the zip, <zip>.sha256
in the format of sha256sum; inside it, SHA256SUMS for the executables.

    zip_release.py OUT.zip EPOCH FILE...
"""

import hashlib
import os
import sys
import time
import zipfile


def entry(name, epoch, mode):
    """A zip entry stamped with the given time (zip dates start in 1980) and Unix permissions."""
    stamp = time.gmtime(max(epoch, 315532800))[:6]
    info = zipfile.ZipInfo(name, date_time=stamp)
    info.create_system = 3  # Unix, so that the permissions below are read
    info.external_attr = mode << 16
    info.compress_type = zipfile.ZIP_DEFLATED
    return info


def main(out, epoch, files):
    epoch = int(epoch)
    contents = {os.path.basename(path): open(path, "rb").read() for path in files}
    sums = "".join("%s  %s\n" % (hashlib.sha256(data).hexdigest(), name)
                   for name, data in sorted(contents.items()) if name.endswith(".exe"))
    contents["SHA256SUMS"] = sums.encode()
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    with zipfile.ZipFile(out + ".part", "w") as archive:
        for name in sorted(contents):
            mode = 0o100755 if name.endswith(".exe") else 0o100644
            archive.writestr(entry(name, epoch, mode), contents[name], zipfile.ZIP_DEFLATED, 9)
    os.replace(out + ".part", out)
    digest = hashlib.sha256(open(out, "rb").read()).hexdigest()
    with open(out + ".sha256", "w") as checksum:
        checksum.write("%s  %s\n" % (digest, os.path.basename(out)))


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__.strip().splitlines()[-1].strip())
    main(sys.argv[1], sys.argv[2], sys.argv[3:])
