"""The package's own build backend (PEP 517 and PEP 660), standard library only.

The package is pure Python, so a wheel is a zip of its files and a few
metadata texts.  Building it here needs no setuptools and no wheel package,
so `pip install ./python` works offline with any interpreter that has pip,
not only with Debian's (whose setuptools and wheel other interpreters do not
see).  Nothing is written into the source tree.
"""
from __future__ import annotations

import base64
import hashlib
import io
import os
import re
import tarfile
import time
import zipfile
from pathlib import Path
from typing import Dict, List, Optional, Tuple

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = "qolven"


def _project() -> Dict[str, object]:
    """The [project] table of pyproject.toml, as far as this package writes it:
    strings, `license = { text = "..." }` and lists of strings."""
    values: Dict[str, object] = {"optional": {}}
    table = ""
    for line in (ROOT / "pyproject.toml").read_text(encoding="utf-8").splitlines():
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        header = re.fullmatch(r"\[([^\]]+)\]", line)
        if header:
            table = header.group(1).strip()
            continue
        pair = re.fullmatch(r'([A-Za-z0-9_-]+)\s*=\s*(.+)', line)
        if not pair:
            continue
        key, value = pair.groups()
        strings = re.findall(r'"([^"]*)"', value)
        if table == "project":
            if value.startswith("{"):
                values[key] = strings[-1] if strings else ""
            elif value.startswith("["):
                values[key] = strings
            else:
                values[key] = strings[0] if strings else value
        elif table == "project.optional-dependencies":
            values["optional"][key] = strings  # type: ignore[index]
    for key in ("name", "version"):
        if not values.get(key):
            raise ValueError("pyproject.toml: [project] has no %s" % key)
    return values


def _dist_info(project: Dict[str, object]) -> str:
    return "%s-%s.dist-info" % (project["name"], project["version"])


def _metadata(project: Dict[str, object]) -> str:
    lines = ["Metadata-Version: 2.1", "Name: %s" % project["name"], "Version: %s" % project["version"]]
    if project.get("description"):
        lines.append("Summary: %s" % project["description"])
    if project.get("requires-python"):
        lines.append("Requires-Python: %s" % project["requires-python"])
    if project.get("license"):
        lines.append("License: %s" % project["license"])
    for requirement in project.get("dependencies") or []:  # type: ignore[union-attr]
        lines.append("Requires-Dist: %s" % requirement)
    for extra, requirements in project["optional"].items():  # type: ignore[union-attr]
        lines.append("Provides-Extra: %s" % extra)
        lines += ['Requires-Dist: %s; extra == "%s"' % (r, extra) for r in requirements]
    readme = ROOT / str(project.get("readme") or "README.md")
    body = ""
    if readme.is_file():
        lines.append("Description-Content-Type: text/markdown")
        body = "\n" + readme.read_text(encoding="utf-8")
    return "\n".join(lines) + "\n" + body


_WHEEL = "Wheel-Version: 1.0\nGenerator: qolven_build\nRoot-Is-Purelib: true\nTag: py3-none-any\n"


def _package_files() -> List[Path]:
    folder = ROOT / PACKAGE
    return sorted(p for p in folder.rglob("*") if p.is_file() and "__pycache__" not in p.parts
                  and p.suffix not in (".pyc", ".pyo"))


def _epoch() -> int:
    # Reproducible archives: SOURCE_DATE_EPOCH when given, else the earliest date zip takes (1980).
    given = os.environ.get("SOURCE_DATE_EPOCH", "")
    return max(int(given), 315532800) if given.isdigit() else 315532800


def _write_wheel(wheel_directory: str, entries: List[Tuple[str, bytes]]) -> str:
    project = _project()
    dist_info = _dist_info(project)
    entries = entries + [(dist_info + "/METADATA", _metadata(project).encode("utf-8")),
                         (dist_info + "/WHEEL", _WHEEL.encode())]
    record = io.StringIO()
    for name, data in entries:
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.write("%s,sha256=%s,%d\n" % (name, digest, len(data)))
    record.write("%s/RECORD,,\n" % dist_info)
    entries.append((dist_info + "/RECORD", record.getvalue().encode()))
    filename = "%s-%s-py3-none-any.whl" % (project["name"], project["version"])
    stamp = time.gmtime(_epoch())[:6]
    with zipfile.ZipFile(os.path.join(wheel_directory, filename), "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in entries:
            info = zipfile.ZipInfo(name, stamp)
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data)
    return filename


def _prepare_metadata(metadata_directory: str) -> str:
    project = _project()
    folder = Path(metadata_directory) / _dist_info(project)
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "METADATA").write_text(_metadata(project), encoding="utf-8")
    (folder / "WHEEL").write_text(_WHEEL, encoding="utf-8")
    return folder.name


# ---- the hooks

def get_requires_for_build_wheel(config_settings: Optional[dict] = None) -> List[str]:
    return []


get_requires_for_build_sdist = get_requires_for_build_editable = get_requires_for_build_wheel


def prepare_metadata_for_build_wheel(metadata_directory: str, config_settings: Optional[dict] = None) -> str:
    return _prepare_metadata(metadata_directory)


prepare_metadata_for_build_editable = prepare_metadata_for_build_wheel


def build_wheel(wheel_directory: str, config_settings: Optional[dict] = None,
                metadata_directory: Optional[str] = None) -> str:
    return _write_wheel(wheel_directory, [(p.relative_to(ROOT).as_posix(), p.read_bytes()) for p in _package_files()])


def build_editable(wheel_directory: str, config_settings: Optional[dict] = None,
                   metadata_directory: Optional[str] = None) -> str:
    # The interpreter finds the package in the source tree itself.
    return _write_wheel(wheel_directory, [(PACKAGE + "_editable.pth", (str(ROOT) + "\n").encode())])


def build_sdist(sdist_directory: str, config_settings: Optional[dict] = None) -> str:
    project = _project()
    base = "%s-%s" % (project["name"], project["version"])
    files = [ROOT / "pyproject.toml", ROOT / "README.md", Path(__file__).resolve()] + _package_files()
    filename = base + ".tar.gz"
    mtime = _epoch()
    with tarfile.open(os.path.join(sdist_directory, filename), "w:gz", format=tarfile.PAX_FORMAT) as archive:
        metadata = _metadata(project).encode("utf-8")
        entries = [(base + "/PKG-INFO", metadata)] + [
            (base + "/" + p.relative_to(ROOT).as_posix(), p.read_bytes()) for p in files if p.is_file()]
        for name, data in entries:
            info = tarfile.TarInfo(name)
            info.size, info.mode, info.mtime = len(data), 0o644, int(mtime)
            archive.addfile(info, io.BytesIO(data))
    return filename
