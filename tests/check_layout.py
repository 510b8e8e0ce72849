#!/usr/bin/env python3
"""Every constexpr of the hive format header has its twin, of the same value,
in tests/hive_layout.py, so that the tests and the engine name one layout."""
import re
import sys

import hive_layout

header, = sys.argv[1:]
values, namespace, checked = {}, None, 0
with open(header) as f:
    for line in f:
        if opened := re.match(r"namespace (\w+) \{", line):
            namespace = opened[1]
        elif line.startswith("}"):
            namespace = None
        elif constant := re.match(r"constexpr [\w:]+ (\w+) = ([^;]+);", line):
            name, expression = constant.groups()
            value = eval(expression, {"__builtins__": {}}, dict(values))  # literals, and names defined above joined by +
            values.setdefault(name, value) if namespace is None else None
            twin = getattr(getattr(hive_layout, namespace), name, None) if namespace else getattr(hive_layout, name, None)
            where = f"{namespace}::{name}" if namespace else name
            if twin != value:
                sys.exit(f"check_layout: {where} is {value} in {header}, {twin} in hive_layout.py")
            checked += 1
print(f"check_layout: {checked} names agree")
