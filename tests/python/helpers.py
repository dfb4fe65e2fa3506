"""Stand-ins the tests hand to the module: numbers with conversion hooks, fake
sequences, and the bit-exact form of scores."""
import struct


def asan_loaded():
    """Whether AddressSanitizer runs in this process (it stops the process on
    requests above 1 TiB instead of failing them)."""
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


def bits(x):
    """A float's exact bits, so that NaNs and signed zeros compare as they are."""
    return struct.pack("<d", x)


def key(results):
    """Search results in a form where NaN scores compare equal."""
    return [(bits(s), i) for s, i in results]


# ---------------------------------------------------------------------------
# Numbers whose conversion runs Python code.
#
# An exception object given to a hook may be raised again and again (the
# property tests share some); each raise would add its frames to the
# traceback it already carries, so the hooks raise it with a fresh one.


class _Hook:
    def __init__(self, result=None, exc=None, action=None):
        self.result, self.exc, self.action = result, exc, action

    def _convert(self):
        if self.action is not None:
            self.action()
        if self.exc is not None:
            raise self.exc.with_traceback(None)
        return self.result


class FloatHook(_Hook):
    """A number through __float__ only: runs `action`, then raises `exc` or gives `result`."""

    def __float__(self):
        return self._convert()


class IndexHook(_Hook):
    """An integer through __index__ only: runs `action`, then raises `exc` or gives `result`."""

    def __index__(self):
        return self._convert()


# ---------------------------------------------------------------------------
# Sequences.


class GetitemSeq:
    """A sequence through __getitem__ and __len__ only."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        return len(self.items)


class LenHint(GetitemSeq):
    """A sequence whose __len__ lies, raises or returns a wrong type; it
    iterates over its true items."""

    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __iter__(self):
        return iter(self.items)

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length.with_traceback(None)
        return self.length


class IterRaises(GetitemSeq):
    """Iteration yields the first `count` items, then raises `exc`."""

    def __init__(self, items, count, exc):
        super().__init__(items)
        self.count, self.exc = count, exc

    def __iter__(self):
        yield from self.items[: self.count]
        raise self.exc.with_traceback(None)


class IterCallRaises(GetitemSeq):
    def __init__(self, items, exc):
        super().__init__(items)
        self.exc = exc

    def __iter__(self):
        raise self.exc.with_traceback(None)


class IterNotIterator(GetitemSeq):
    def __iter__(self):
        return 5


class IterOnly:
    """Iterable but no sequence."""

    def __init__(self, items):
        self.items = items

    def __iter__(self):
        return iter(self.items)
