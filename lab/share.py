"""Files the host hands the guest: a folder of the host's shared over 9p, mounted in the
guest at the same path; a fresh name for each file."""
import os
import shutil
import tempfile

from layout import BUILD


class Share:
    def __init__(self):
        os.makedirs(os.path.join(BUILD, "runs"), exist_ok=True)
        self.path = tempfile.mkdtemp(prefix="run-", dir=os.path.join(BUILD, "runs"))
        self._count = 0

    def put(self, data, suffix=""):
        """Writes `data` where the guest reads it, at the same path."""
        self._count += 1
        path = os.path.join(self.path, "f%d%s" % (self._count, suffix))
        with open(path, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())
        return path

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)
