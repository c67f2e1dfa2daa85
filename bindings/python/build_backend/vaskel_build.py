"""The build backend of the vaskel module (PEP 517, with PEP 660's editable install): standard
library only, so pip builds the package offline, in its isolated build environment, where no
packaging library can be downloaded.

The wheel bundles the producer library, which the module prefers to the system's:

    VASKEL_WHEEL_LIBRARY=PATH     (or pip's --config-settings library=PATH) takes that file, a
                                  libvaskel_producer.so.0 built before;
    VASKEL_WHEEL_LIBRARY=system   bundles none: a pure wheel over the system's library;
    neither                       builds the target vaskel_producer_shared of the repository
                                  around this folder with CMake, in <repository>/build/python-wheel
                                  (VASKEL_WHEEL_BUILD_DIR: elsewhere).

The source archive holds the module, its tests and this backend, not the library's sources: a
wheel built from it needs VASKEL_WHEEL_LIBRARY. An editable install bundles nothing either.
"""

import base64
import gzip
import hashlib
import io
import os
import re
import subprocess
import sys
import sysconfig
import tarfile
import time
import zipfile

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))  # bindings/python
REPOSITORY = os.path.dirname(os.path.dirname(HERE))
NAME = "vaskel"
PACKAGE_FILES = ["vaskel/__init__.py", "vaskel/py.typed"]
SDIST_FILES = PACKAGE_FILES + ["pyproject.toml", "build_backend/vaskel_build.py",
                               "tests/test_vaskel.py"]


def _version():
    with open(os.path.join(HERE, "vaskel", "__init__.py"), encoding="utf-8") as module:
        return re.search(r'^__version__ = "([^"]+)"$', module.read(), re.M).group(1)


def _metadata():
    return "\n".join([
        "Metadata-Version: 2.1",
        "Name: " + NAME,
        "Version: " + _version(),
        "Summary: Publishes multi-stream audio into a shared-memory region for vaskel_renderer",
        "Author: the vaskel authors",
        "License: MIT",
        "Requires-Python: >=3.8",
        "Classifier: License :: OSI Approved :: MIT License",
        "Classifier: Programming Language :: Python :: 3",
        "Classifier: Topic :: Multimedia :: Sound/Audio :: Capture/Recording",
        "Classifier: Typing :: Typed",
        "Provides-Extra: numpy",
        'Requires-Dist: numpy; extra == "numpy"',
        "",
    ])


def _licence():
    """The licence text: the one a source archive carries, or the repository's."""
    for path in (os.path.join(HERE, "LICENSE"), os.path.join(REPOSITORY, "LICENSE")):
        if os.path.exists(path):
            with open(path, "rb") as text:
                return text.read()
    return None


def _timestamp():
    """Archive times from SOURCE_DATE_EPOCH, else fixed: the same sources give the same bytes."""
    return max(int(os.environ.get("SOURCE_DATE_EPOCH", "315532800")), 315532800)


def _library_file_name():
    major = _version().split(".")[0]
    if sys.platform == "win32":
        return "libvaskel_producer.dll"
    if sys.platform == "darwin":
        return "libvaskel_producer.%s.dylib" % major
    return "libvaskel_producer.so.%s" % major


def _cmake_library(name):
    """Builds the shared library with the repository's CMake project; returns its path."""
    if not os.path.exists(os.path.join(REPOSITORY, "producer", "CMakeLists.txt")):
        raise RuntimeError("vaskel: no repository around %s to build the producer library "
                           "from; set VASKEL_WHEEL_LIBRARY to a built %s, or to 'system' for "
                           "a wheel over the system's library" % (HERE, name))
    build = os.environ.get("VASKEL_WHEEL_BUILD_DIR") or os.path.join(REPOSITORY, "build",
                                                                     "python-wheel")
    for command in (["cmake", "-S", REPOSITORY, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                     "-DVASKEL_BUILD_TESTS=OFF"],
                    ["cmake", "--build", build, "--target", "vaskel_producer_shared",
                     "-j", str(os.cpu_count() or 1)]):
        # pip shows a failed build's output; CMake's own goes to standard error, as pip wants.
        subprocess.run(command, check=True, stdout=sys.stderr)
    for folder, _, files in os.walk(build):
        if name in files:
            return os.path.join(folder, name)
    raise RuntimeError("vaskel: CMake built no %s in %s" % (name, build))


def _library(config_settings):
    """The (path, name) of the library to bundle, or None for a wheel without one."""
    chosen = (config_settings or {}).get("library") or os.environ.get("VASKEL_WHEEL_LIBRARY")
    if chosen == "system":
        return None
    name = _library_file_name()
    if chosen:
        if not os.path.isfile(chosen):
            raise RuntimeError("vaskel: VASKEL_WHEEL_LIBRARY %r is not a file" % chosen)
        return chosen, name
    return _cmake_library(name), name


class _Wheel:
    """A wheel being written: each file's hash goes into RECORD."""

    def __init__(self, directory, tag, pure):
        self.dist_info = "%s-%s.dist-info" % (NAME, _version())
        self.name = "%s-%s-%s.whl" % (NAME, _version(), tag)
        self._zip = zipfile.ZipFile(os.path.join(directory, self.name), "w",
                                    zipfile.ZIP_DEFLATED)
        self._records = []
        self._tag = tag
        self._pure = pure

    def add(self, path, data, mode=0o644):
        info = zipfile.ZipInfo(path, time.gmtime(_timestamp())[:6])
        info.external_attr = (0o100000 | mode) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        self._zip.writestr(info, data)
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
        self._records.append("%s,sha256=%s,%d" % (path, digest.decode(), len(data)))

    def finish(self):
        self.add(self.dist_info + "/METADATA", _metadata().encode())
        self.add(self.dist_info + "/WHEEL", (
            "Wheel-Version: 1.0\nGenerator: vaskel_build\nRoot-Is-Purelib: %s\nTag: %s\n"
            % ("true" if self._pure else "false", self._tag)).encode())
        licence = _licence()
        if licence is not None:
            self.add(self.dist_info + "/LICENSE", licence)
        record = self.dist_info + "/RECORD"
        self.add(record, "".join(line + "\n" for line in self._records + [record + ",,"])
                 .encode())
        self._zip.close()
        return self.name


def _read(path):
    with open(os.path.join(HERE, path), "rb") as source:
        return source.read()


def _platform_tag():
    return re.sub(r"[^A-Za-z0-9]", "_", sysconfig.get_platform())


# The hooks pip calls.

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    dist_info = "%s-%s.dist-info" % (NAME, _version())
    os.makedirs(os.path.join(metadata_directory, dist_info), exist_ok=True)
    with open(os.path.join(metadata_directory, dist_info, "METADATA"), "w",
              encoding="utf-8") as metadata:
        metadata.write(_metadata())
    return dist_info


prepare_metadata_for_build_editable = prepare_metadata_for_build_wheel


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    library = _library(config_settings)
    # The module is plain Python over ctypes: any Python 3 on this platform, when a library
    # built for the platform is inside.
    tag = "py3-none-" + _platform_tag() if library else "py3-none-any"
    wheel = _Wheel(wheel_directory, tag, pure=library is None)
    for path in PACKAGE_FILES:
        wheel.add(path, _read(path))
    if library:
        path, name = library
        with open(path, "rb") as built:
            wheel.add("vaskel/" + name, built.read(), 0o755)
    return wheel.finish()


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    wheel = _Wheel(wheel_directory, "py3-none-any", pure=True)
    wheel.add("__editable__.%s.pth" % NAME, (HERE + "\n").encode())
    return wheel.finish()


def build_sdist(sdist_directory, config_settings=None):
    base = "%s-%s" % (NAME, _version())
    name = base + ".tar.gz"
    files = [(path, _read(path)) for path in SDIST_FILES]
    files.append(("PKG-INFO", _metadata().encode()))
    licence = _licence()
    if licence is not None:
        files.append(("LICENSE", licence))
    with open(os.path.join(sdist_directory, name), "wb") as raw, \
            gzip.GzipFile("", "wb", fileobj=raw, mtime=_timestamp()) as packed, \
            tarfile.open(fileobj=packed, mode="w", format=tarfile.PAX_FORMAT) as archive:
        for path, data in sorted(files):
            info = tarfile.TarInfo("%s/%s" % (base, path))
            info.size, info.mtime, info.mode = len(data), _timestamp(), 0o644
            archive.addfile(info, io.BytesIO(data))
    return name


__all__ = ["build_editable", "build_sdist", "build_wheel", "get_requires_for_build_editable",
           "get_requires_for_build_sdist", "get_requires_for_build_wheel",
           "prepare_metadata_for_build_editable", "prepare_metadata_for_build_wheel"]
