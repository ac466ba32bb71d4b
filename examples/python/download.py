#!/usr/bin/env python3
"""Downloads a firmware file with a progress bar: download.py HOST [PORT] FILE"""
import sys

import norvik

host, path = sys.argv[1], sys.argv[-1]
port = int(sys.argv[2]) if len(sys.argv) > 3 else 1001

info = norvik.hex_info(path)
if info.refusal:
    sys.exit(info.refusal)
print(f"{path}: type code {info.type_code}, version {info.version}, {info.records} records")


def bar(position, total, resends):
    filled = 30 * position // max(total, 1)
    print(f"\r[{'#' * filled}{'-' * (30 - filled)}] {position}/{total} lines, {resends} resends",
          end="", flush=True)


outcome = norvik.download(norvik.Controller(host=host, udp_port=port), path, progress=bar)
print(f"\n{outcome}")
if outcome == "downloaded":
    print("The controller waits for its power to be switched off and on; then verify it.")
sys.exit(0 if outcome in ("success", "downloaded") else 1)
