#!/usr/bin/env python3
"""Reads the waiting transactions (each is confirmed as it is read): transactions.py HOST [PORT]"""
import sys

import norvik

host = sys.argv[1]
port = int(sys.argv[2]) if len(sys.argv) > 2 else 1001

count = 0
with norvik.Controller(host=host, udp_port=port) as c:
    while True:
        result, record = c.ReadTransaction(22)
        if result != 1:
            sys.exit(f"the controller stopped answering after {count} record(s)")
        if record[18] == 0:  # a valid answer without a record: none left
            break
        card = int.from_bytes(record[9:12], "big")
        year, month, day, hour, minute, second = record[12:18]
        print(f"20{year:02d}-{month:02d}-{day:02d} {hour:02d}:{minute:02d}:{second:02d}  card {card}  "
              f"event {record[19]}")
        count += 1
print(f"{count} record(s) read")
