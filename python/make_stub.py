"""Writes norvik.pyi: the template's fixed part, and one line per operation
from the module's own description of its bindings, so the stub cannot drift
from what the module binds."""
import sys

import norvik


def main(template_path, output_path):
    lines = []
    for name, snake, args, returns in norvik.Controller._operations():
        params = "".join(
            f", {arg}: {hint}{' = 0' if optional else ''}" for arg, hint, optional in args
        )
        lines.append(f"    def {name}(self{params}) -> {returns}: ...")
        lines.append(f"    def {snake}(self{params}) -> {returns}: ...")
    with open(template_path, encoding="utf-8") as template:
        text = template.read()
    with open(output_path, "w", encoding="utf-8") as out:
        out.write(text.replace("    # @OPERATIONS@\n", "\n".join(lines) + "\n"))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
