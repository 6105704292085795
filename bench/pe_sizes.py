#!/usr/bin/python3
"""Table rows for the release executable: its size apart from the picture and
the icon, and what it imports."""
import os
import sys

import pefile

RT_ICON, RT_BITMAP, RT_GROUP_ICON = 3, 2, 14

path = sys.argv[1]
pe = pefile.PE(path)
artwork = 0
for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
    if kind.id in (RT_ICON, RT_BITMAP, RT_GROUP_ICON):
        for name in kind.directory.entries:
            for language in name.directory.entries:
                artwork += language.data.struct.Size
total = os.path.getsize(path)
imports = sorted(entry.dll.decode().lower() for entry in pe.DIRECTORY_ENTRY_IMPORT)
print(f"| Executable apart from picture and icon | win32 | {(total - artwork) / 1024:.0f} KB "
      f"(file {total / 1024:.0f} KB, picture and icon {artwork / 1024:.0f} KB) | at most 100 KB |")
print(f"| Imports | win32 | {', '.join(imports)} | system libraries only |")
