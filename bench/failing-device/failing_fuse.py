#!/usr/bin/env python3
"""Serves IMAGE read-only as MOUNT/card.img through FUSE, failing every read that
touches [DEAD_START, DEAD_END) with EIO after DELAY seconds, as a dying card does.
MOUNT/failed-reads holds the number of failed reads served so far.

    failing_fuse.py IMAGE MOUNT DEAD_START DEAD_END DELAY
"""
import errno
import os
import stat
import sys
import threading
import time

import fusepy


class FailingCard(fusepy.Operations):
    def __init__(self, image, dead_start, dead_end, delay):
        self.fd = os.open(image, os.O_RDONLY)
        self.size = os.fstat(self.fd).st_size
        self.dead = (dead_start, dead_end)
        self.delay = delay
        self.failed = 0
        self.counter_lock = threading.Lock()  # not "lock": that name is a FUSE operation

    def _counter(self):
        with self.counter_lock:
            return f"{self.failed}\n".encode()

    def getattr(self, path, fh=None):
        now = time.time()
        if path == "/":
            return dict(st_mode=stat.S_IFDIR | 0o555, st_nlink=2, st_atime=now, st_mtime=now, st_ctime=now)
        if path == "/card.img":
            return dict(st_mode=stat.S_IFREG | 0o444, st_nlink=1, st_size=self.size, st_atime=now, st_mtime=now, st_ctime=now)
        if path == "/failed-reads":
            return dict(st_mode=stat.S_IFREG | 0o444, st_nlink=1, st_size=len(self._counter()), st_atime=now, st_mtime=now, st_ctime=now)
        raise fusepy.FuseOSError(errno.ENOENT)

    def readdir(self, path, fh):
        return [".", "..", "card.img", "failed-reads"]

    def open(self, path, flags):
        if flags & (os.O_WRONLY | os.O_RDWR):
            raise fusepy.FuseOSError(errno.EROFS)
        return 0

    def read(self, path, size, offset, fh):
        if path == "/failed-reads":
            return self._counter()[offset:offset + size]
        if offset < self.dead[1] and offset + size > self.dead[0]:
            time.sleep(self.delay)
            with self.counter_lock:
                self.failed += 1
            raise fusepy.FuseOSError(errno.EIO)
        return os.pread(self.fd, size, offset)


if __name__ == "__main__":
    image, mount, start, end, delay = sys.argv[1:6]
    # direct_io: no page cache of ours between the loop device and these reads.
    fusepy.FUSE(FailingCard(image, int(start), int(end), float(delay)), mount, foreground=True, ro=True, direct_io=True, nothreads=False)
