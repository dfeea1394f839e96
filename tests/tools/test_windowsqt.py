"""The Windows Qt cache's keys: a cache built before must stay valid, so each key is that
of a cache the tools built, from the same inputs."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "..", "maintainer"))
from trackertools import sources, windowsqt  # noqa: E402

CACHE = "/root/.cache/tracker-updater"
PINS = """fd3d4e1ad5bb96dbdaf212f9edabf4dfc08b4f39b321e9325e9b5ab83826f1f8  qt6-base_6.8.2+dfsg-9+deb13u2.dsc
d06a727b594206cbc5f0447fb202c64c9d190cf03032bf9618c46f8bd4fd9506  qt6-base_6.8.2+dfsg-9+deb13u2.debian.tar.xz
e0dddfea4dabb8ae4ad9224d674bef21cd101a6a5126fe988e3af69b251260b8  qt6-base_6.8.2+dfsg.orig.tar.xz
69fd1858e5fe18d81149f94035d88a5ec5fd2ed799368d11586ee1beb16a1009  qtserialport-6.8.0.tar.gz
"""
# Debian 12's toolchain as the cache's keys took it.
GXX = "g++ (Debian 12.2.0-14+deb12u1) 12.2.0"
TOOLCHAIN_VERSIONS = """x86_64-w64-mingw32-g++-posix (GCC) 12-posix
binutils-mingw-w64-x86-64 2.40-2+10.4
g++-mingw-w64-x86-64-posix 12.2.0-14+deb12u1+25.2+b1
mingw-w64-x86-64-dev 10.0.0-3"""


class CacheKeys(unittest.TestCase):
    def test_keys(self):
        pins = sources.Pins(PINS, "pins")
        qtbase = pins.names("6.8")[0]
        source = f"{CACHE}/qt6-base-{pins.qtbase_version('6.8')}-{pins.key(qtbase)}"
        options = windowsqt.QT_BASE_OPTIONS + windowsqt.VERSION_OPTIONS["6.8"]
        host_prefix = f"{CACHE}/host-qt-{os.path.basename(source)}-" \
            + windowsqt.host_key(source, options + windowsqt.HOST_OPTIONS, GXX)
        host = [f"-DQT_HOST_PATH={host_prefix}", f"-DQT_HOST_PATH_CMAKE_DIR={host_prefix}/lib/cmake"]
        cross = options + windowsqt.WINDOWS_OPTIONS["6.8"] + windowsqt.WINDOWS_LINK_OPTIONS
        # (what, the key computed, the folder name the cache has)
        cases = [("qt6-base's source", source, f"{CACHE}/qt6-base-6.8.2+dfsg-9+deb13u2-9ab2ffeb55361308"),
                 ("the host tools", host_prefix,
                  f"{CACHE}/host-qt-qt6-base-6.8.2+dfsg-9+deb13u2-9ab2ffeb55361308-b07b8670a3a7e734")]
        for kind, key in (("static", "3cdf2468ca7e876e"), ("shared", "bc50e939f3d46ae1")):
            cases.append((f"the {kind} Qt", windowsqt.windows_key(
                source, pins.key(["qtserialport-6.8.0.tar.gz"]), windowsqt.kind_options(cross, "6.8.2", kind), host,
                host_prefix, TOOLCHAIN_VERSIONS), key))
        for what, computed, cached in cases:
            with self.subTest(what):
                self.assertEqual(computed, cached)


if __name__ == "__main__":
    unittest.main()
