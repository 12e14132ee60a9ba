"""The star-tracker quaternions that hlc_edr -inst acs writes as text, one
record a line:

    0600000000:128 5.0000000000e-01 -5.0000000000e-01 5.0000000000e-01 5.0000000000e-01

the record's time as its whole seconds and its fraction in units of 1/256 s
(rounded, so up to 256; both with the time's sign), then the four components
in the order of the record. open_quaternions reads such a file into an
xarray Dataset."""
import os

__all__ = ["open_quaternions", "record_time"]

# The units of a second of a record's fraction.
FRACTIONS = 256

TIME_COMMENT = ("the record's time as the text file gives it: its whole seconds plus its fraction, which the "
                "file keeps in units of 1/256 s (so to 1/256 s, 3.90625 ms); both parts carry the time's sign")
COMPONENT_COMMENT = ("the four components in the order of the text file's columns 2 to 5, which is that of the "
                     "star-tracker record (its doubles at offsets 0, 8, 16 and 24)")


def _fail(path, problem):
    return ValueError("%s: %s" % (os.fsdecode(path), problem))


def record_time(clock):
    """The time of a record, in seconds, from the first word of its line
    ("0600000000:128", with the time's sign on both parts); ValueError when
    it is no such word."""
    whole, colon, code = clock.partition(":")
    if not colon:
        raise ValueError("no record time: %r" % clock)
    return float(whole) + float(code) / FRACTIONS


def open_quaternions(path):
    """The quaternion text file at path as a Dataset over the dimension
    "record": "time" (float64 seconds, the coordinate) and "quaternion"
    (float64, record x component, the four columns in their order).
    ValueError names the first line that is not such a record."""
    import numpy  # only here: record_time serves programs without them
    import xarray
    with open(path, "rb") as f:
        text = f.read()
    try:
        lines = text.decode("ascii").splitlines()
    except UnicodeDecodeError:
        raise _fail(path, "not a quaternion text file (bytes that are not ASCII)") from None
    words = [line.split() for line in lines]
    for number, w in enumerate(words, 1):
        if len(w) != 5 or w[0].count(":") != 1:
            raise _fail(path, "line %d is no quaternion record: %r" % (number, lines[number - 1]))
    table = numpy.array(words, dtype=str).reshape(len(words), 5)
    clock = numpy.char.partition(table[:, 0], ":")
    try:
        whole = clock[:, 0].astype(numpy.float64)
        code = clock[:, 2].astype(numpy.float64)
        components = table[:, 1:].astype(numpy.float64)
    except ValueError as e:
        raise _fail(path, "a line is no quaternion record (%s)" % e) from None
    time = whole + code / FRACTIONS
    return xarray.Dataset(
        {"quaternion": (("record", "component"), components,
                        {"long_name": "star-tracker attitude quaternion", "units": "1",
                         "comment": COMPONENT_COMMENT})},
        coords={"time": ("record", time, {"long_name": "time of the quaternion record", "units": "s",
                                          "comment": TIME_COMMENT}),
                "component": ("component", numpy.arange(1, 5, dtype=numpy.int32),
                              {"long_name": "column of the component in the text file, 1 to 4 after the time"})},
        attrs={"title": "Halcyon star-tracker quaternions", "source_file": os.fsdecode(path)})
