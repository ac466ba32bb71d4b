#!/usr/bin/env python3
"""A controller's identity and clock over UDP: info.py HOST [PORT [ID]]"""
import sys

import norvik

host = sys.argv[1]
port = int(sys.argv[2]) if len(sys.argv) > 2 else 1001
controller_id = int(sys.argv[3]) if len(sys.argv) > 3 else 1

with norvik.Controller(host=host, udp_port=port, id=controller_id) as c:
    ok, info = c.GetControllerInfo()
    if not ok:
        sys.exit(f"controller {controller_id} at {host}:{port} did not answer")
    ok, sn = c.GetControllerSN()
    print(f"version {info.version_text}, type code {info.TypeCode}, serial number "
          f"{sn.decode('latin-1') if ok else '?'}")
    print(f"cards {info.SortCardCount} sorted + {info.UnsortCardCount} unsorted of {info.CardMax}, "
          f"records {info.RecordCount} of {info.RecordMax}")
    print(f"clock {c.GetControllerDateTime():%Y-%m-%d %H:%M:%S}")
