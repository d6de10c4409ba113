"""The package's build backend: makes the wheel (and the source archive) of
`evalpanel` with the standard library alone, so that `pip install ./python`
works offline, in any virtual environment, without setuptools or wheel.

It reads what it needs from pyproject.toml: the `[project]` strings, the
licence text and the `[project.entry-points.GROUP]` tables.
"""

import base64
import hashlib
import io
import os
import re
import tarfile
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent
PACKAGE = "evalpanel"


def _project():
    """[project] keys (strings, and the licence's text) and the entry points,
    from the subset of TOML that pyproject.toml uses."""
    project, entry_points, table = {}, {}, None
    for raw in (ROOT / "pyproject.toml").read_text(encoding="utf-8").splitlines():
        line = raw.strip()
        section = re.fullmatch(r"\[([^\]]+)\]", line)
        if section:
            table = section.group(1)
            continue
        pair = re.fullmatch(r'"?([\w.-]+)"?\s*=\s*(.+)', line)
        if not pair or line.startswith("#"):
            continue
        key, value = pair.groups()
        text = re.fullmatch(r'"([^"]*)"', value) or re.fullmatch(r'\{\s*text\s*=\s*"([^"]*)"\s*\}',
                                                                    value)
        if table == "project" and text:
            project[key] = text.group(1)
        elif table and table.startswith("project.entry-points.") and text:
            entry_points.setdefault(table.split(".", 2)[2], {})[key] = text.group(1)
    for key in ("name", "version"):
        if key not in project:
            raise ValueError(f"pyproject.toml: [project] has no {key}")
    return project, entry_points


def _metadata(project):
    lines = ["Metadata-Version: 2.1", f"Name: {project['name']}",
             f"Version: {project['version']}"]
    for key, field in (("description", "Summary"), ("requires-python", "Requires-Python"),
                       ("license", "License")):
        if key in project:
            lines.append(f"{field}: {project[key]}")
    readme = ROOT / project.get("readme", "README.md")
    if readme.is_file():
        lines.append("Description-Content-Type: text/markdown")
        return "\n".join(lines) + "\n\n" + readme.read_text(encoding="utf-8")
    return "\n".join(lines) + "\n"


def _dist_info(project):
    return f"{project['name']}-{project['version']}.dist-info"


def _dist_info_files(project, entry_points):
    files = {"METADATA": _metadata(project),
             "WHEEL": "Wheel-Version: 1.0\nGenerator: evalpanel build_backend\n"
                      "Root-Is-Purelib: true\nTag: py3-none-any\n"}
    if entry_points:
        files["entry_points.txt"] = "".join(
            f"[{group}]\n" + "".join(f"{k} = {v}\n" for k, v in names.items()) + "\n"
            for group, names in entry_points.items())
    return files


def _write_wheel(directory, extra_files):
    project, entry_points = _project()
    name = f"{project['name']}-{project['version']}-py3-none-any.whl"
    info = _dist_info(project)
    files = dict(extra_files)
    for path, text in _dist_info_files(project, entry_points).items():
        files[f"{info}/{path}"] = text.encode("utf-8")
    record = []
    with zipfile.ZipFile(Path(directory) / name, "w", zipfile.ZIP_DEFLATED) as wheel:
        for path, data in files.items():
            wheel.writestr(path, data)
            digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
            record.append(f"{path},sha256={digest.decode()},{len(data)}")
        record.append(f"{info}/RECORD,,")
        wheel.writestr(f"{info}/RECORD", "\n".join(record) + "\n")
    return name


def _package_files():
    return sorted(p for p in (ROOT / PACKAGE).rglob("*.py") if "__pycache__" not in p.parts)


# PEP 517 and PEP 660 hooks.

def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    project, entry_points = _project()
    info = Path(metadata_directory) / _dist_info(project)
    info.mkdir(parents=True, exist_ok=True)
    for path, text in _dist_info_files(project, entry_points).items():
        (info / path).write_text(text, encoding="utf-8")
    return info.name


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _write_wheel(wheel_directory, {p.relative_to(ROOT).as_posix(): p.read_bytes()
                                          for p in _package_files()})


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # The source folder on sys.path: edits take effect without a reinstall.
    return _write_wheel(wheel_directory, {f"{PACKAGE}.pth": (str(ROOT) + os.linesep).encode()})


def build_sdist(sdist_directory, config_settings=None):
    project, _ = _project()
    base = f"{project['name']}-{project['version']}"
    members = [ROOT / "pyproject.toml", ROOT / "build_backend.py", ROOT / "README.md",
               *_package_files()]
    with tarfile.open(Path(sdist_directory) / f"{base}.tar.gz", "w:gz") as archive:
        for path in members:
            if path.is_file():
                archive.add(path, f"{base}/{path.relative_to(ROOT).as_posix()}")
        info = _metadata(project).encode("utf-8")
        entry = tarfile.TarInfo(f"{base}/PKG-INFO")
        entry.size = len(info)
        archive.addfile(entry, io.BytesIO(info))
    return f"{base}.tar.gz"
