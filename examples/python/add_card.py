#!/usr/bin/env python3
"""Adds a card valid on door 1 until the end of next year: add_card.py HOST [PORT] CARD"""
import datetime
import sys

import norvik

host, card = sys.argv[1], sys.argv[-1]
port = int(sys.argv[2]) if len(sys.argv) > 3 else 1001

today = datetime.date.today()
start = today.strftime("%y%m%d")
end = datetime.date(today.year + 1, 12, 31).strftime("%y%m%d")
with norvik.Controller(host=host, udp_port=port) as c:
    # Zones of doors 1 to 4 (zone 1 on door 1, none elsewhere), the dates in force, no PIN code.
    result = c.AddUnSortedCardA(card, [1, 0, 0, 0], True, 0, start, end)
    if result != 1:
        sys.exit(f"card {card} was not added: " + ("no answer" if result < 0 else "the controller refused it"))
    print(f"card {card} added, valid {start} to {end}")
