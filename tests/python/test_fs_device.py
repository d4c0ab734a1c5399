"""A user who may not open the FUSE device cannot mount, and is told so:
`mount_support()` and `HostMount` raise `PermissionError` naming the device,
not the generic failure of a mount. The device is made unreadable only in a
mount namespace of the test's own, where a node of mode 0600 covers
/dev/fuse; the system's device is left as it is."""
import os
import shutil
import stat
import subprocess
import sys
import tempfile

import pytest

from conftest import PACKAGE_ROOT

NOBODY = 65534

# Each line: what the call raised, or "nothing".
SCRIPT = """
import sys, halvo
def outcome(call):
    try:
        call()
    except OSError as e:
        return f"{type(e).__name__}: {e}"
    return "nothing"
print(outcome(halvo.mount_support))
print(outcome(lambda: halvo.HostMount(halvo.Directory(), sys.argv[1])))
"""

# Covers /dev/fuse in a private mount namespace, then runs the script as
# nobody: sh -c COVER sh NODE PYTHON SCRIPT MOUNTPOINT
COVER = ('mount --bind "$1" /dev/fuse && '
         'exec setpriv --reuid=65534 --regid=65534 --clear-groups "$2" -c "$3" "$4"')


@pytest.mark.skipif(os.geteuid() != 0, reason="covering /dev/fuse in a namespace needs root")
@pytest.mark.skipif(not all(map(shutil.which, ["unshare", "setpriv", "fusermount"])),
                    reason="needs unshare, setpriv and fusermount")
def test_a_fuse_device_this_user_cannot_open_is_named():
    # Not below tmp_path, whose parents nobody may enter.
    work = tempfile.mkdtemp(prefix="halvo-fuse-device-")
    try:
        os.chmod(work, 0o755)
        node = os.path.join(work, "fuse")
        try:
            os.mknod(node, 0o600 | stat.S_IFCHR, os.makedev(10, 229))
        except PermissionError:
            pytest.skip("this host refuses device nodes (mknod)")
        for folder in ("mnt", "tmp"):
            os.mkdir(os.path.join(work, folder))
            os.chown(os.path.join(work, folder), NOBODY, NOBODY)
        env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT, TMPDIR=os.path.join(work, "tmp"))
        run = subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c", COVER, "sh",
                              node, sys.executable, SCRIPT, os.path.join(work, "mnt")],
                             env=env, capture_output=True, text=True, timeout=60)
    finally:
        shutil.rmtree(work)
    assert run.returncode == 0, run.stderr
    said = ("PermissionError: cannot open the FUSE device /dev/fuse: Permission denied (os error 13); "
            "mounting needs it readable and writable by this user (Debian installs it with mode 0666)")
    assert run.stdout.splitlines() == [said, said]
