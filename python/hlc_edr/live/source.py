"""Where the stream comes from: standard input or a FIFO, read until its
writers have gone, or a regular file followed as it grows, as tail -F
follows one: through its replacement by a new file under the same name
(another inode) and its truncation."""
import errno
import os
import select
import stat

CHUNK = 1 << 16
# At most this much is read before the pieces are looked at again, so that
# a file that is already long is cut as it is read.
READ_LIMIT = 1 << 20
FOLLOW_POLL = 0.1  # seconds between looks at a followed file that has not grown


class Stream:
    """Standard input or a FIFO."""

    follows = False

    def __init__(self, path):
        self.path = path
        if path is None:
            self.fd = 0
        else:  # opened without waiting for a writer; no end is seen before one has come
            self.fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
            if stat.S_ISDIR(os.fstat(self.fd).st_mode):
                os.close(self.fd)
                raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
        self.offset = 0
        self.error = None

    def wait(self, timeout, wakeup):
        ready = select.select([self.fd, wakeup], [], [], timeout)[0]
        return self.fd in ready

    def read(self):
        """(bytes, ended): what could be read now."""
        try:
            data = os.read(self.fd, CHUNK)
        except BlockingIOError:
            return b"", False
        except OSError as e:  # a device gone, say: the end of the input
            self.error = e.strerror
            return b"", True
        self.offset += len(data)
        return data, not data

    def position(self):
        return {"stream_offset": self.offset}

    def switched(self):
        return None


class FollowedFile:
    """A regular file, followed by its name. resume: where an earlier run
    stopped reading it ({"dev", "ino", "offset"}), used when the file is
    still the same one."""

    follows = True

    def __init__(self, path, resume=None):
        self.path = path
        self.fd = None
        self.ident = None
        self.offset = 0
        self.resume = resume
        self.change = None  # why the bytes so far ended before their file did
        self.open_current()

    def open_current(self):
        try:
            fd = os.open(self.path, os.O_RDONLY | os.O_NONBLOCK)
        except OSError:
            return False
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            os.close(fd)
            return False
        if self.fd is not None:
            os.close(self.fd)
        self.fd, self.ident, self.offset = fd, (st.st_dev, st.st_ino), 0
        r = self.resume
        self.resume = None
        if r and (r.get("dev"), r.get("ino")) == self.ident and 0 <= r.get("offset", -1) <= st.st_size:
            self.offset = os.lseek(fd, r["offset"], os.SEEK_SET)
        return True

    def wait(self, timeout, wakeup):
        select.select([wakeup], [], [], min(timeout, FOLLOW_POLL))
        return True

    def read(self):
        """(bytes, False): what the file holds beyond what was read, or
        after a replacement or truncation, nothing and then the new file."""
        if self.fd is None:
            self.open_current()
            return b"", False
        data = self.read_some()
        if data:
            return data, False
        try:
            st = os.stat(self.path)
        except OSError:  # gone for now: the file may come back
            return b"", False
        if (st.st_dev, st.st_ino) != self.ident:
            last = self.read_some()  # what the old file's writer added last
            if last:
                return last, False
            if self.open_current():
                self.change = "replaced"
        elif st.st_size < self.offset:
            self.offset = os.lseek(self.fd, 0, os.SEEK_SET)
            self.change = "truncated"
        return b"", False

    def read_some(self):
        got = []
        n = 0
        while n < READ_LIMIT:
            data = os.read(self.fd, CHUNK)
            if not data:
                break
            got.append(data)
            n += len(data)
        self.offset += n
        return b"".join(got)

    def position(self):
        return {"dev": self.ident[0], "ino": self.ident[1], "offset": self.offset} if self.ident else {}

    def switched(self):
        """Why the file changed since the last call ("replaced",
        "truncated"), once; else None."""
        change, self.change = self.change, None
        return change


def open_source(path, resume=None):
    """The source for path: None or "-" for standard input, a regular file
    (also one that does not exist yet) followed, anything else (a FIFO, a
    device) read as a stream."""
    if path in (None, "-"):
        return Stream(None)
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return Stream(path)
    except FileNotFoundError:
        pass
    return FollowedFile(path, resume)
