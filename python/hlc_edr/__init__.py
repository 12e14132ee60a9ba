"""The Python side of the Halcyon EDR Generator.

EDRs in xarray (the record library through ctypes; hlc_edr.backend):
open_dataset(path, product) and open_mfdataset(paths, product) open a
product of EDR files lazily as an xarray Dataset, the same as the group of
that product in hlc_edr_dump's netCDF export; products(path) lists the
products of an EDR with their record counts; open_quaternions(path) reads
the star-tracker quaternion text of hlc_edr -inst acs. Installed, the
package also registers xarray's engine "hlc_edr":
xarray.open_dataset(path, engine="hlc_edr", group=product).

The tools: hlc_edr_batch (batch runs of hlc_edr through GNU parallel, with
a summary and a report page), hlc_edr_live (telemetry as it arrives, cut
into pieces that go through the batch's jobs one after the other) and
hlc_edr_quicklook (one PNG per product of an EDR). The launchers of the
same names call hlc_edr.batch.main, hlc_edr.live.main and
hlc_edr.quicklook.main.

What needs numpy and xarray is imported on first use, so that the tools
start without it."""

_LAZY = {"open_dataset": "backend", "open_mfdataset": "backend", "products": "backend",
         "EdrError": "backend", "open_quaternions": "quaternions"}

__all__ = sorted(_LAZY)


def __getattr__(name):
    if name in _LAZY:
        import importlib
        return getattr(importlib.import_module("." + _LAZY[name], __name__), name)
    raise AttributeError("module %r has no attribute %r" % (__name__, name))


def __dir__():
    return sorted(list(globals()) + __all__)
