#!/usr/bin/python3
"""Checks the built Windows executable as a file: machine, subsystem, version
record, icon, picture, manifest, imports and size; and the sample library shipped
beside it: machine and the names of its COM entry points.

    check_release.py PATH/QuorvexInstall.exe PATH/Quorvexv1.4.dll i386|amd64
"""
import struct
import sys
import unittest

import pefile

RT_ICON, RT_BITMAP, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 2, 14, 16, 24
MACHINES = {"i386": 0x14C, "amd64": 0x8664}
SYSTEM_LIBRARIES = {"kernel32.dll", "user32.dll", "gdi32.dll", "msvcrt.dll", "comctl32.dll",
                    "advapi32.dll", "shell32.dll", "ole32.dll", "oleaut32.dll"}
SUPPORTED_OS = ["35138b9a-5d96-4fbd-8e2d-a2440225f93a", "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
                "1f676c76-80e1-4239-95bb-83d0f6d0da78", "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"]

# The i686 release build apart from its picture and icon, in bytes: 119.5 KB
# when last measured (docs/benchmarks.md).
SIZE_BOUND = 120 * 1024

PATH, LIBRARY_PATH, ARCH = sys.argv[1], sys.argv[2], sys.argv[3]
PE = pefile.PE(PATH)
# The entry points found by name with GetProcAddress: a stdcall name left
# decorated on x86 ("DllRegisterServer@0") is not found at all.
COM_ENTRY_POINTS = {"DllRegisterServer", "DllUnregisterServer", "DllGetClassObject",
                    "DllCanUnloadNow"}


def resources(type_id):
    """{id: bytes} of the resources of one type."""
    found = {}
    for kind in PE.DIRECTORY_ENTRY_RESOURCE.entries:
        if kind.id != type_id:
            continue
        for name in kind.directory.entries:
            for language in name.directory.entries:
                data = language.data.struct
                found[name.id] = PE.get_data(data.OffsetToData, data.Size)
    return found


class ReleaseArtefact(unittest.TestCase):
    def test_machine_and_gui_subsystem(self):
        self.assertEqual(PE.FILE_HEADER.Machine, MACHINES[ARCH])
        self.assertEqual(PE.OPTIONAL_HEADER.Subsystem, 2)  # IMAGE_SUBSYSTEM_WINDOWS_GUI

    def test_version_record(self):
        fixed = PE.VS_FIXEDFILEINFO[0]
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), (0x10000, 0))
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS), (0x10000, 0))
        self.assertEqual((fixed.FileFlagsMask, fixed.FileFlags), (0, 0))
        self.assertEqual(fixed.FileOS, 0x4)  # VOS__WINDOWS32
        self.assertEqual(fixed.FileType, 0x1)  # VFT_APP
        self.assertEqual((fixed.FileDateMS, fixed.FileDateLS), (0, 0))
        tables, translations = [], []
        for info in PE.FileInfo[0]:
            if info.Key == b"StringFileInfo":
                tables.extend(info.StringTable)
            elif info.Key == b"VarFileInfo":
                translations.extend(var.entry for var in info.Var)
        self.assertEqual([t.LangID.upper() for t in tables], [b"040904B0"])
        self.assertEqual(tables[0].entries, {
            b"ProductName": b"QuorvexInstall", b"InternalName": b"QuorvexInstall",
            b"OriginalFilename": b"QuorvexInstall.exe", b"FileVersion": b"1.00",
            b"ProductVersion": b"1.00"})
        self.assertEqual(translations, [{b"Translation": "0x0409 0x04b0"}])

    def test_icon_is_one_opaque_32_by_32_24_bit_image(self):
        groups = resources(RT_GROUP_ICON)
        self.assertEqual(list(groups), [1])
        reserved, kind, count = struct.unpack_from("<HHH", groups[1])
        self.assertEqual((reserved, kind, count), (0, 1, 1))
        width, height, colours, _, planes, bits, size, image_id = struct.unpack_from(
            "<BBBBHHIH", groups[1], 6)
        self.assertEqual((width, height, colours, planes, bits, image_id), (32, 32, 0, 1, 24, 30001))
        image = resources(RT_ICON)[30001]
        self.assertEqual(len(image), size)
        header = struct.unpack_from("<IiiHHI", image)
        self.assertEqual(header, (40, 32, 64, 1, 24, 0))
        and_mask = image[40 + 32 * 32 * 3:]
        self.assertEqual(len(and_mask), 32 * 4)
        self.assertEqual(set(and_mask), {0}, "no transparent pixels")

    def test_background_picture(self):
        bitmap = resources(RT_BITMAP)[101]
        size, width, height, planes, bits, compression = struct.unpack_from("<IiiHHI", bitmap)
        self.assertEqual((size, width, height, planes, bits, compression), (40, 312, 358, 1, 24, 0))

    def test_manifest(self):
        manifest = resources(RT_MANIFEST)[1].decode("utf-8")
        self.assertIn('level="requireAdministrator"', manifest)
        self.assertIn('name="Microsoft.Windows.Common-Controls" version="6.0.0.0"', manifest)
        self.assertIn(">true</dpiAware>", manifest)
        self.assertIn(">PerMonitorV2, PerMonitor</dpiAwareness>", manifest)
        for guid in SUPPORTED_OS:
            self.assertIn(guid, manifest)

    def test_imports_only_system_libraries(self):
        imported = {entry.dll.decode().lower() for entry in PE.DIRECTORY_ENTRY_IMPORT}
        self.assertTrue(imported <= SYSTEM_LIBRARIES, imported - SYSTEM_LIBRARIES)
        print(f"\n{PATH}: {len(PE.__data__)} bytes, imports {sorted(imported)}", file=sys.stderr)

    def test_size_apart_from_picture_and_icon(self):
        if ARCH != "i386":
            self.skipTest("the bound is the i686 release build's; the x86_64 one keeps debug data")
        images = sum(len(data) for kind in (RT_BITMAP, RT_ICON, RT_GROUP_ICON)
                     for data in resources(kind).values())
        # A signed copy: its signature's size is the certificate's, not the program's.
        signature = PE.OPTIONAL_HEADER.DATA_DIRECTORY[4].Size  # IMAGE_DIRECTORY_ENTRY_SECURITY
        size = len(PE.__data__) - images - signature
        self.assertLessEqual(size, SIZE_BOUND, f"{size} bytes apart from picture and icon")


class SampleLibrary(unittest.TestCase):
    def test_machine_and_undecorated_com_entry_points(self):
        library = pefile.PE(LIBRARY_PATH)
        self.assertEqual(library.FILE_HEADER.Machine, MACHINES[ARCH])
        self.assertTrue(library.is_dll())
        exported = {symbol.name.decode() for symbol in library.DIRECTORY_ENTRY_EXPORT.symbols
                    if symbol.name is not None}
        self.assertEqual(COM_ENTRY_POINTS - exported, set(), "not exported by these names")
        self.assertEqual({name for name in exported if "@" in name}, set())


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
