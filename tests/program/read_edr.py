"""Reads the Concentrator housekeeping table of an EDR with pyhdf, a reader
independent of the program's own modules, and prints what it finds."""
import sys

from pyhdf.HDF import HDF, HC
from pyhdf.V import V  # noqa: F401  (registers the V interface)
from pyhdf.VS import VS  # noqa: F401

path = sys.argv[1]
f = HDF(path, HC.READ)
vg = f.vgstart()
vs = f.vstart()
ref = vg.find("VG_Concentrator_Housekeeping")
g = vg.attach(ref)
print("vgroup %s class %s entries %d" % (g._name, g._class, g._nmembers))
for tag, member_ref in g.tagrefs():
    v = vs.attach(member_ref)
    nrec, interlace, fields, size, name = v.inquire()
    print("vdata %s class %s records %d size %d" % (name, v._class, nrec, size))
    for info in v.fieldinfo():
        fname, ftype, order = info[0], info[1], info[2]
        print("field %s type %d order %d" % (fname, ftype, order))
    for rec in v.read(nrec) if nrec else []:
        print(" ".join(str(x) for x in rec))
    v.detach()
g.detach()
vg.end()
vs.end()
f.close()
